// The app HTTP API: the hub's device command and device statuses, with the module's own
// credentials.
#include <cstring>

#include "edge_http_conns_hub.hpp"
#include "edge_http_conns_internal.hpp"

using gravel::httpconns::body_for_log;
using gravel::httpconns::empty;
using gravel::httpconns::HandleGuard;
using gravel::httpconns::kHttpRequestError;
using gravel::httpconns::succeeded;

namespace {

constexpr const char kDeviceCommandPath[] = "/gatewell/api/v1/devices/commands";
constexpr const char kDeviceStatusesPath[] = "/gatewell/api/v1/devices/statuses";

}  // namespace

extern "C" {

EDGE_API uint32_t edge_app_http_conns_call_device_command(const char *command, uint32_t timeout, apr_pool_t *pool) {
    if (empty(command)) return EDGE_ERR_BAD_ARGUMENT;
    if (pool == nullptr || gravel::mgr::live_manager<edge_http_conns_mgr_t>() == nullptr) return EDGE_ERR_MISSING;
    HandleGuard handle(edge_http_create(pool));
    if (!handle) {
        EDGE_LOG_ERROR("create http handler error.");
        return EDGE_ERR_NO_MEMORY;
    }
    const char *url = gravel::httpconns::hub_url(pool, kDeviceCommandPath);
    if (url == nullptr) {
        EDGE_LOG_ERROR("build device command url failed.");
        return EDGE_ERR_NO_MEMORY;
    }
    const CommandReqBody req{nullptr, command, static_cast<int64_t>(timeout)};
    char *body = nullptr;
    if (const uint32_t rc = edge_json_struct_to_str(&req, &body, pool, edge_json_setCommandReqBody_job);
        rc != EDGE_OK) {
        return rc;
    }
    const char *header = edge_http_conns_build_headers(pool);
    if (empty(header)) {
        EDGE_LOG_ERROR("failed to call device command because the request header is empty.");
        return EDGE_ERR_NO_MEMORY;
    }
    edge_http_add_header(handle.get(), header);
    edge_http_response_t response{};
    const uint32_t rc =
        edge_http_post(handle.get(), url, body, static_cast<int32_t>(std::strlen(body)), &response, pool);
    if (!succeeded(rc, response)) {
        EDGE_LOG_ERROR(kHttpRequestError, static_cast<int>(rc), static_cast<int>(response.status),
                       body_for_log(response, pool, false));
        return EDGE_ERR_DEVICE_COMMAND;
    }
    return EDGE_OK;
}

EDGE_API uint32_t edge_app_http_conns_get_devices_statuses(char **result, const char *query, uint32_t timeout_ms,
                                                           apr_pool_t *pool) {
    if (result == nullptr || query == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    if (gravel::mgr::live_manager<edge_http_conns_mgr_t>() == nullptr) return EDGE_ERR_MISSING;
    const char *base = gravel::httpconns::hub_url(pool, kDeviceStatusesPath);
    if (base == nullptr) {
        EDGE_LOG_ERROR("build device statuses url failed.");
        return EDGE_ERR_NO_MEMORY;
    }
    const char *url = apr_pstrcat(pool, base, query, nullptr);
    HandleGuard handle(edge_http_create(pool));
    if (!handle) {
        EDGE_LOG_ERROR("create http handler error.");
        return EDGE_ERR_NO_MEMORY;
    }
    const char *header = edge_http_conns_build_headers(pool);
    if (empty(header)) {
        EDGE_LOG_ERROR("failed to build the request header.");
        return EDGE_ERR_NO_MEMORY;
    }
    edge_http_add_header(handle.get(), header);
    edge_http_response_t response{};
    const uint32_t rc = edge_http_get(handle.get(), url, &response, pool, timeout_ms);
    if (!succeeded(rc, response)) {
        EDGE_LOG_ERROR(kHttpRequestError, static_cast<int>(rc), static_cast<int>(response.status),
                       body_for_log(response, pool, false));
        return EDGE_ERR_DEVICE_STATUS;
    }
    *result = apr_pstrdup(pool, response.body != nullptr ? response.body : "");
    return EDGE_OK;
}

}  // extern "C"
