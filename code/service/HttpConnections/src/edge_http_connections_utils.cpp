// Helpers of the service's operations: store reads, secrets wiped with their pools, log-safe
// response bodies.
#include <cstring>

#include <gravel/edge_configs.h>

#include "edge_http_conns_internal.hpp"

namespace gravel::httpconns {

namespace {

apr_status_t wipe_cleanup(void *text) {
    wipe_text(static_cast<const char *>(text));
    return APR_SUCCESS;
}

}  // namespace

const char *config_string(apr_pool_t *pool, const char *key) noexcept {
    // The store hands out this thread's own copy; the caller's pool keeps one for the call.
    const char *value = edge_configs_get_str(kStore, key);
    return empty(value) ? nullptr : apr_pstrdup(pool, value);
}

char *decrypt_config(apr_pool_t *pool, const char *key, size_t buffer_size, uint32_t *status) noexcept {
    auto *buffer = static_cast<char *>(apr_pcalloc(pool, buffer_size));
    if (buffer == nullptr) {
        *status = EDGE_ERR_NO_MEMORY;
        return nullptr;
    }
    wipe_on_release(pool, buffer);
    uint32_t length = static_cast<uint32_t>(buffer_size - 1);
    *status = edge_configs_get_str_decrypt(kStore, key, buffer, &length);
    if (*status != EDGE_OK) {
        edge_base_memory_set(buffer, buffer_size, 0, buffer_size);
        return nullptr;
    }
    return buffer;
}

void wipe_text(const char *text) noexcept {
    if (text == nullptr) return;
    const size_t n = std::strlen(text);
    edge_base_memory_set(const_cast<char *>(text), n, 0, n);
}

void wipe_on_release(apr_pool_t *pool, const char *text) noexcept {
    if (pool == nullptr || text == nullptr) return;
    apr_pool_cleanup_register(pool, text, wipe_cleanup, apr_pool_cleanup_null);
}

const char *body_for_log(const edge_http_response_t &response, apr_pool_t *pool, bool secret) noexcept {
    if (response.body == nullptr) return "(null)";
    return secret ? edge_base_log_fuzz_id(response.body, pool) : response.body;
}

void clear_all_holders(edge_http_conns_mgr_t &mgr) noexcept {
    if (mgr.node_config != nullptr) clear_holder(*mgr.node_config);
    if (mgr.cloud_token != nullptr) clear_holder(*mgr.cloud_token);
    if (mgr.daemon_token != nullptr) clear_holder(*mgr.daemon_token);
    if (mgr.verify_result != nullptr) clear_holder(*mgr.verify_result);
    if (mgr.device_sign != nullptr) clear_holder(*mgr.device_sign);
    if (mgr.node_certs != nullptr) clear_holder(*mgr.node_certs);
    if (mgr.trust_certs != nullptr) clear_holder(*mgr.trust_certs);
    wipe_text(mgr.crypto_result);
    mgr.crypto_result = nullptr;
    edge_base_memory_pool_destroy(&mgr.result_pool);
}

}  // namespace gravel::httpconns
