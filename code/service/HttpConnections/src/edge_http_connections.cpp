// The service's manager and its life: init, destroy, the holders.
#include "edge_http_conns_internal.hpp"
#include "edge_scoped_pool.hpp"

EDGE_MGR_DEFINE_ACCESSORS(HTTP_CONNS, EDGE_MGR_SLOT_HTTP_CONNS, edge_http_conns_mgr_t, head);

namespace {

constexpr const char kSignJobName[] = "edge_daemon_http_token";
constexpr long kSignFirstSleepSeconds = 10;
constexpr long kSignExceptionSleepSeconds = 30;

template <typename T>
uint32_t allocate_holder(T *&holder, apr_pool_t *pool) noexcept {
    holder = static_cast<T *>(apr_pcalloc(pool, sizeof(T)));
    return holder == nullptr ? EDGE_ERR_NO_MEMORY : EDGE_OK;
}

// The abort flag of the manager's pool family (see <gravel/edge_http.h>): raised by destroy so
// that a request of the sign loop in flight ends at once.
uint32_t install_abort_flag(apr_pool_t *pool) noexcept {
    auto *flag = static_cast<uint32_t *>(apr_pcalloc(pool, sizeof(uint32_t)));
    if (flag == nullptr) return EDGE_ERR_NO_MEMORY;
    return apr_pool_userdata_setn(flag, EDGE_HTTP_ABORT_KEY, nullptr, pool) == APR_SUCCESS ? EDGE_OK
                                                                                           : EDGE_ERR_NO_MEMORY;
}

void raise_abort_flag(apr_pool_t *pool) noexcept {
    void *flag = nullptr;
    if (apr_pool_userdata_get(&flag, EDGE_HTTP_ABORT_KEY, pool) == APR_SUCCESS && flag != nullptr) {
        gravel::atomic_set32(*static_cast<uint32_t *>(flag), 1);
    }
}

// Everything but the head back to zero, so that nothing of an earlier life is inherited.
void forget_fields(edge_http_conns_mgr_t &mgr) noexcept {
    const edge_mgr_head_t head = mgr.head;
    mgr = edge_http_conns_mgr_t{};
    mgr.head = head;
}

// The parts of the manager that init makes, in order.
uint32_t set_up(edge_http_conns_mgr_t &mgr) noexcept {
    apr_pool_t *pool = mgr.head.pool;
    if (const uint32_t rc = install_abort_flag(pool); rc != EDGE_OK) return rc;
    mgr.sign_job = edge_base_schedule_job_create(kSignJobName, pool);
    if (mgr.sign_job == nullptr) return EDGE_ERR_NO_MEMORY;
    if (const uint32_t rc = edge_base_schedule_job_config(mgr.sign_job, edge_daemon_http_sign_runner,
                                                          kSignFirstSleepSeconds, kSignExceptionSleepSeconds);
        rc != EDGE_OK) {
        return rc;
    }
    if (allocate_holder(mgr.node_config, pool) != EDGE_OK) return EDGE_ERR_NO_MEMORY;
    if (const uint32_t rc = edge_http_init_external_param(&mgr); rc != EDGE_OK) {
        EDGE_LOG_ERROR("edge http connections init external param fail.");
        return rc;
    }
    return EDGE_OK;
}

}  // namespace

extern "C" {

EDGE_API uint32_t edge_http_init_external_param(edge_http_conns_mgr_t *mgr) {
    if (mgr == nullptr || mgr->head.pool == nullptr) return EDGE_ERR_MISSING;
    apr_pool_t *pool = mgr->head.pool;
    uint32_t rc = allocate_holder(mgr->daemon_token, pool);
    if (rc == EDGE_OK) rc = allocate_holder(mgr->cloud_token, pool);
    if (rc == EDGE_OK) rc = allocate_holder(mgr->verify_result, pool);
    if (rc == EDGE_OK) rc = allocate_holder(mgr->device_sign, pool);
    if (rc == EDGE_OK) rc = allocate_holder(mgr->node_certs, pool);
    if (rc == EDGE_OK) rc = allocate_holder(mgr->trust_certs, pool);
    return rc;
}

EDGE_API uint32_t edge_http_conns_init(void) {
    if (gravel::mgr::live_manager<edge_http_conns_mgr_t>() != nullptr) return EDGE_OK;
    edge_http_conns_mgr_t *mgr = edge_HTTP_CONNS_MGR_mgr_create();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    forget_fields(*mgr);
    const uint32_t rc = set_up(*mgr);
    if (rc != EDGE_OK) {
        // Nothing half made stays behind for a later init to mistake for a working service.
        edge_http_conns_destroy();
        return rc;
    }
    EDGE_LOG_INFO("edge http connections init success.");
    return EDGE_OK;
}

EDGE_API void edge_http_conns_destroy(void) {
    edge_http_conns_mgr_t *mgr = gravel::mgr::live_manager<edge_http_conns_mgr_t>();
    if (mgr == nullptr) return;
    // The flag first: a sign in flight, and the one last run a stop during a wait allows, end
    // without waiting on the daemon.
    raise_abort_flag(mgr->head.pool);
    edge_base_schedule_job_delete(mgr->sign_job);
    mgr->sign_job = nullptr;
    gravel::httpconns::clear_all_holders(*mgr);
    forget_fields(*mgr);
    edge_HTTP_CONNS_MGR_mgr_delete();
}

}  // extern "C"
