// The sign loop: the schedule job that renews the daemon token at half its remaining lifetime.
#include <limits>

#include <gravel/edge_configs.h>

#include "edge_http_conns_internal.hpp"
#include "edge_scoped_pool.hpp"

namespace {

// The schedule job's sleep is a `long`, 32-bit on armhf: a far expiry waits as long as it can
// rather than wrapping around.
long as_sleep(int64_t seconds) noexcept {
    if (seconds > std::numeric_limits<long>::max()) return std::numeric_limits<long>::max();
    if (seconds < std::numeric_limits<long>::min()) return std::numeric_limits<long>::min();
    return static_cast<long>(seconds);
}

}  // namespace

extern "C" {

EDGE_API uint32_t edge_daemon_http_start_loop(void) {
    EDGE_LOG_INFO("start daemon http connection loop.");
    edge_http_conns_mgr_t *mgr = gravel::mgr::live_manager<edge_http_conns_mgr_t>();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    return edge_base_schedule_job_start(mgr->sign_job, nullptr);
}

EDGE_API uint32_t edge_daemon_http_sign_runner(long *sleep_seconds, void *) {
    edge_http_conns_mgr_t *mgr = gravel::mgr::live_manager<edge_http_conns_mgr_t>();
    if (mgr == nullptr || sleep_seconds == nullptr) return EDGE_ERR_MISSING;
    uint32_t rc = EDGE_OK;
    {
        // A child of the manager's pool: destroy's abort flag reaches this request.
        gravel::ScopedPool pool(mgr->head.pool);
        if (!pool) return EDGE_ERR_NO_MEMORY;
        rc = edge_daemon_http_conns_sign(pool.get());
    }
    if (rc != EDGE_OK) {
        EDGE_LOG_ERROR("http sign failed, ret:%d", static_cast<int>(rc));
        return rc;
    }
    const int64_t expires_at = edge_configs_get_longlong(gravel::httpconns::kStore, "daemon_token_expires_at");
    const int64_t now = edge_base_time_now() / 1000;
    const long sleep = as_sleep((expires_at / 1000 - now) / 2);
    *sleep_seconds = sleep;
    EDGE_LOG_INFO("expires_at:%lld, cur time:%ld, sleep_time:%ld", static_cast<long long>(expires_at),
                  static_cast<long>(now), sleep);
    return EDGE_OK;
}

}  // extern "C"
