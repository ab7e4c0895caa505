// Outbound messages: the core send, the relays and reports that copy a caller's body, the
// built bodies (command response, events) and the bus and user-defined messages.
#include <cstring>

#include <apr_strings.h>

#include "edge_mqtt_conns_internal.hpp"

#ifndef GRAVEL_KIT_VERSION
#error "GRAVEL_KIT_VERSION must be set by the build"
#endif

namespace {

using Mgr = edge_mqtt_conns_mgr_t;
using gravel::mqttconns::copy_body;
using gravel::mqttconns::empty;
using gravel::mqttconns::is_connected;
using gravel::mqttconns::manager;
using gravel::mqttconns::signed_status;
using gravel::mqttconns::topic_of;

constexpr const char *kSubDeviceManager = "$sub_device_manager";
constexpr const char *kSubDeviceDiscovery = "$sub_device_discovery";

uint32_t not_connected() noexcept {
    EDGE_LOG_ERROR("mqtt not connected.");
    return EDGE_ERR_MQTT_NOT_CONNECTED;
}

// The operation's own ERROR line for a failed send; `message` is one of this file's literal
// formats with a single "%d".
void log_failure(uint32_t rc, const char *message) noexcept {
    if (rc == EDGE_OK) return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    EDGE_LOG_ERROR(message, signed_status(rc));
#pragma GCC diagnostic pop
}

// A body given as (text, length) that an operation requires.
bool has_body(const char *body, uint32_t length) noexcept {
    return body != nullptr && length != 0;
}

// Sends a copy of the body, up to its first NUL, with the core send.
uint32_t send_copy(Mgr *mgr, char *Mgr::*topic, const char *body, uint32_t length, const char *request_id,
                   apr_pool_t *pool, uint32_t wait_ms) noexcept {
    const char *copy = copy_body(pool, body, length);
    if (copy == nullptr) return EDGE_ERR_NO_MEMORY;
    return edge_mqtt_conns_send_message(mgr, topic_of(mgr->*topic), copy, static_cast<int32_t>(std::strlen(copy)),
                                        request_id, pool, wait_ms);
}

// A request or response relay: request id and body required, then manager and connected.
uint32_t relay(char *Mgr::*topic, const char *failure, const char *request_id, const char *body, uint32_t length,
               apr_pool_t *pool) noexcept {
    if (empty(request_id) || !has_body(body, length) || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    Mgr *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (!is_connected(mgr)) return not_connected();
    const uint32_t rc = send_copy(mgr, topic, body, length, request_id, pool, 0);
    log_failure(rc, failure);
    return rc;
}

// How a body-passing send checks before it sends.
struct BodyRules {
    bool test_arguments;  // body and pool required (else only a usable pool and body)
    bool policies;        // sending-forbidden test and the sync send wait
    bool test_connected;  // its own connected test (else the core's)
};

uint32_t send_body(char *Mgr::*topic, const BodyRules &rules, const char *failure, const char *body, uint32_t length,
                   apr_pool_t *pool) noexcept {
    if (rules.test_arguments) {
        if (!has_body(body, length) || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    } else if (body == nullptr || pool == nullptr) {
        // Nothing to copy the body from or into.
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_BAD_ARGUMENT;
    }
    Mgr *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (rules.policies && edge_mqtt_conns_is_sending_forbidden(mgr) != 0) return EDGE_ERR_BROKER_OVERLOADED;
    if (rules.test_connected && !is_connected(mgr)) return not_connected();
    const uint32_t wait_ms = rules.policies ? edge_mqtt_conns_get_timeout() : 0;
    const uint32_t rc = send_copy(mgr, topic, body, length, nullptr, pool, wait_ms);
    log_failure(rc, failure);
    return rc;
}

constexpr BodyRules kReport{false, true, false};
constexpr BodyRules kStateReport{false, false, false};
constexpr BodyRules kPlain{true, false, true};
constexpr BodyRules kBatchReport{true, true, true};

// "<table topic>/<name>" published directly with the client, without the core send.
uint32_t publish_under(Mgr *mgr, char *Mgr::*topic, const char *name, const char *body, uint32_t length,
                       apr_pool_t *pool) noexcept {
    const char *base = topic_of(mgr->*topic);
    if (empty(base)) return EDGE_ERR_MISSING;
    const char *full = apr_psprintf(pool, "%s/%s", base, name != nullptr ? name : "");
    const char *copy = copy_body(pool, body, length);
    if (full == nullptr || copy == nullptr) return EDGE_ERR_NO_MEMORY;
    gravel::mqttconns::ClientLease lease(mgr);
    return edge_mqtt_publish(lease.get(), full, copy, static_cast<int32_t>(std::strlen(copy)), EDGE_MQTT_CONNS_QOS, 0);
}

}  // namespace

extern "C" {

EDGE_API uint32_t edge_mqtt_conns_send_message(edge_mqtt_conns_mgr_t *mgr, const char *topic, const void *payload,
                                               int32_t payload_len, const char *request_id, apr_pool_t *pool,
                                               uint32_t wait_ms) {
    if (empty(topic) || mgr == nullptr) return EDGE_ERR_MISSING;
    if (!empty(request_id) && pool == nullptr) return EDGE_ERR_MISSING;
    if (!is_connected(mgr)) return not_connected();
    if (!empty(request_id)) {
        topic = apr_psprintf(pool, "%s" EDGE_MQTT_CONNS_REQUEST_ID_MARKER "%s", topic, request_id);
        if (topic == nullptr) return EDGE_ERR_NO_MEMORY;
    }
    gravel::mqttconns::ClientLease lease(mgr);
    const uint32_t rc = edge_mqtt_publish(lease.get(), topic, payload, payload_len, EDGE_MQTT_CONNS_QOS, wait_ms);
    log_failure(rc, "send message error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_report_sdk_version(apr_pool_t *pool) {
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    const char *body = pool == nullptr
                           ? nullptr
                           : apr_psprintf(pool, "{\"sdk_version\":\"%s\",\"sdk_lang\":\"c\"}", GRAVEL_KIT_VERSION);
    if (empty(body)) return EDGE_ERR_JSON_BODY;
    return edge_mqtt_conns_send_message(mgr, topic_of(mgr->sdk_version_topic), body,
                                        static_cast<int32_t>(std::strlen(body)), nullptr, pool, 0);
}

EDGE_API uint32_t edge_mqtt_conns_send_request(const char *topic, const char *request_id, const char *body,
                                               uint32_t body_len, apr_pool_t *pool) {
    if (empty(request_id) || !has_body(body, body_len) || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (!is_connected(mgr)) return not_connected();
    const char *copy = copy_body(pool, body, body_len);
    if (copy == nullptr) return EDGE_ERR_NO_MEMORY;
    const uint32_t rc =
        edge_mqtt_conns_send_message(mgr, topic, copy, static_cast<int32_t>(std::strlen(copy)), request_id, pool, 0);
    log_failure(rc, "send sub device property set rsp error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_shadows_req(void) {
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (!is_connected(mgr)) return not_connected();
    return edge_mqtt_conns_send_message(mgr, topic_of(mgr->shadow_get_topic), nullptr, 0, nullptr, nullptr, 0);
}

EDGE_API uint32_t edge_mqtt_conns_send_cmd_rsp(const char *response_name, const char *request_id, int32_t result_code,
                                               const char *paras, uint32_t paras_len, apr_pool_t *pool) {
    if (empty(request_id) || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (!is_connected(mgr)) return not_connected();
    const char *params = has_body(paras, paras_len) ? copy_body(pool, paras, paras_len) : nullptr;
    const char *body = edge_mqtt_conns_build_cmd_rsp(response_name, result_code, params, pool);
    if (empty(body)) {
        EDGE_LOG_ERROR("build cmd rsp json failed.");
        return EDGE_ERR_JSON_BODY;
    }
    const uint32_t rc = edge_mqtt_conns_send_message(mgr, topic_of(mgr->sys_commands_response_topic), body,
                                                     static_cast<int32_t>(std::strlen(body)), request_id, pool, 0);
    log_failure(rc, "send message error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_module_request_rsp(const char *request_id, const char *body, uint32_t body_len,
                                                          apr_pool_t *pool) {
    return relay(&Mgr::h2m_response_topic, "send sub device property get rsp error, ret:%d", request_id, body, body_len,
                 pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_module_get_properties(const char *request_id, const char *body,
                                                             uint32_t body_len, apr_pool_t *pool) {
    return relay(&Mgr::m2h_get_properties_request_topic, "send sub device property get rsp error, ret:%d", request_id,
                 body, body_len, pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_module_set_properties(const char *request_id, const char *body,
                                                             uint32_t body_len, apr_pool_t *pool) {
    return relay(&Mgr::m2h_set_properties_request_topic, "send sub device property get rsp error, ret:%d", request_id,
                 body, body_len, pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_sub_device_property_get(const char *request_id, const char *body,
                                                               uint32_t body_len, apr_pool_t *pool) {
    return relay(&Mgr::sys_properties_get_response_topic, "send sub device property get rsp error, ret:%d", request_id,
                 body, body_len, pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_sub_device_property_set_rsp(const char *request_id, const char *body,
                                                                   uint32_t body_len, apr_pool_t *pool) {
    return relay(&Mgr::sys_properties_set_response_topic, "send sub device property set rsp error, ret:%d", request_id,
                 body, body_len, pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_get_sub_device_shadow(const char *request_id, const char *body,
                                                             uint32_t body_len, apr_pool_t *pool) {
    return relay(&Mgr::sys_shadow_get_topic, "send get device shadow error, ret:%d", request_id, body, body_len, pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_points_get_rsp(const char *request_id, const char *body, uint32_t body_len,
                                                      apr_pool_t *pool) {
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    const uint32_t rc =
        edge_mqtt_conns_send_request(topic_of(mgr->points_get_response_topic), request_id, body, body_len, pool);
    log_failure(rc, "module points get rsp error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_points_set_rsp(const char *request_id, const char *body, uint32_t body_len,
                                                      apr_pool_t *pool) {
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    const uint32_t rc =
        edge_mqtt_conns_send_request(topic_of(mgr->points_set_response_topic), request_id, body, body_len, pool);
    log_failure(rc, "module points set rsp error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_points_report(const char *body, uint32_t body_len, apr_pool_t *pool) {
    return send_body(&Mgr::points_report_topic, kReport, "module points report error, ret:%d", body, body_len, pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_datasource_connect_state_report(const char *body, uint32_t body_len,
                                                                       apr_pool_t *pool) {
    return send_body(&Mgr::datasource_state_topic, kStateReport, "datasource connect state report error, ret:%d", body,
                     body_len, pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_device_message(const char *body, uint32_t body_len, apr_pool_t *pool) {
    return send_body(&Mgr::sys_messages_up_topic, kPlain, "send device message error, ret:%d", body, body_len, pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_device_event(const char *body, uint32_t body_len, apr_pool_t *pool) {
    return send_body(&Mgr::sys_events_up_topic, kPlain, "send device service event error, ret:%d", body, body_len,
                     pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_batch_device_data_message(const char *body, uint32_t body_len,
                                                                 apr_pool_t *pool) {
    return send_body(&Mgr::sys_sub_devices_report_topic, kBatchReport, "send batch device data message error, ret:%d",
                     body, body_len, pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_batch_device_discovery_data_message(const char *body, uint32_t body_len,
                                                                           apr_pool_t *pool) {
    return send_body(&Mgr::sub_devices_report_topic, kPlain, "send batch device discovery data message error, ret:%d",
                     body, body_len, pool);
}

EDGE_API uint32_t edge_mqtt_conns_send_service_event(const char *event_id, const char *service_id,
                                                     const char *event_type, const char *paras, uint32_t paras_len,
                                                     apr_pool_t *pool) {
    if (empty(service_id) || empty(event_type) || !has_body(paras, paras_len) || pool == nullptr) {
        return EDGE_ERR_BAD_ARGUMENT;
    }
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (!is_connected(mgr)) return not_connected();
    const char *params = copy_body(pool, paras, paras_len);
    const char *body = edge_mqtt_conns_build_service_event(event_id, service_id, event_type, params, pool);
    if (empty(body)) {
        EDGE_LOG_ERROR("build service event json failed.");
        return EDGE_ERR_JSON_BODY;
    }
    const uint32_t rc = edge_mqtt_conns_send_message(mgr, topic_of(mgr->sys_events_up_topic), body,
                                                     static_cast<int32_t>(std::strlen(body)), nullptr, pool, 0);
    log_failure(rc, "send service event error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_get_device_product(const char *body, uint32_t body_len, apr_pool_t *pool) {
    if (!has_body(body, body_len) || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (!is_connected(mgr)) return not_connected();
    const char *copy = copy_body(pool, body, body_len);
    if (copy == nullptr) return EDGE_ERR_NO_MEMORY;
    const uint32_t rc = edge_mqtt_conns_send_service_event(nullptr, kSubDeviceManager, "get_products", copy,
                                                           static_cast<uint32_t>(std::strlen(copy)), pool);
    log_failure(rc, "send device message error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_sync_sub_device_event(const char *event_id, int64_t version, apr_pool_t *pool) {
    if (version < 0 || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    const char *body = edge_mqtt_conns_build_sync_sub_device(version, pool);
    if (empty(body)) return EDGE_ERR_BAD_ARGUMENT;
    const uint32_t rc = edge_mqtt_conns_send_service_event(event_id, kSubDeviceManager, "sub_device_sync_request", body,
                                                           static_cast<uint32_t>(std::strlen(body)), pool);
    log_failure(rc, "send sync sub device service event error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_sub_device_status_event(const char *event_id, const char *statuses,
                                                               apr_pool_t *pool) {
    if (empty(statuses) || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    const char *body = edge_mqtt_conns_build_sub_device_status(statuses, pool);
    if (empty(body)) return EDGE_ERR_BAD_ARGUMENT;
    const uint32_t rc = edge_mqtt_conns_send_service_event(event_id, kSubDeviceManager, "sub_device_update_status",
                                                           body, static_cast<uint32_t>(std::strlen(body)), pool);
    log_failure(rc, "send service event error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_scan_result_event(const char *state, const char *devices, apr_pool_t *pool) {
    if (empty(devices) || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    const char *body =
        edge_mqtt_conns_build_scan_result(state, devices, static_cast<uint32_t>(std::strlen(devices)), pool);
    if (empty(body)) return EDGE_ERR_BAD_ARGUMENT;
    const uint32_t rc = edge_mqtt_conns_send_service_event(nullptr, kSubDeviceDiscovery, "scan_result", body,
                                                           static_cast<uint32_t>(std::strlen(body)), pool);
    log_failure(rc, "send sub device scan result event error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_add_sub_device_event(const char *devices, apr_pool_t *pool) {
    if (empty(devices) || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    const uint32_t rc = edge_mqtt_conns_send_scan_result_event(apr_pstrdup(pool, "added"), devices, pool);
    log_failure(rc, "send add sub device service event error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_delete_sub_device_event(const char *devices, apr_pool_t *pool) {
    if (empty(devices) || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    const uint32_t rc = edge_mqtt_conns_send_scan_result_event(apr_pstrdup(pool, "deleted"), devices, pool);
    log_failure(rc, "send delete sub device service event error, ret:%d");
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_bus_message(const char *output, const char *body, uint32_t body_len,
                                                   apr_pool_t *pool) {
    if (empty(output) || body == nullptr || body_len == 0) {
        EDGE_LOG_ERROR("output or body is empty. output topic is: %s, body is: %s",
                       output != nullptr ? output : "(null)", body != nullptr ? body : "(null)");
        return EDGE_ERR_MISSING;
    }
    if (pool == nullptr) {
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_BAD_ARGUMENT;
    }
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    // No connected test: the MQTT client reports a send without connection.
    const uint32_t rc = publish_under(mgr, &Mgr::messages_outputs_topic, output, body, body_len, pool);
    if (rc != EDGE_OK) EDGE_LOG_ERROR("failed to send bus message. ret is: %d", signed_status(rc));
    return rc;
}

EDGE_API uint32_t edge_mqtt_conns_send_customized_message(const char *sub_topic, const char *body, uint32_t body_len,
                                                          apr_pool_t *pool) {
    if (!has_body(body, body_len) || pool == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (!is_connected(mgr)) return not_connected();
    const uint32_t rc = publish_under(mgr, &Mgr::customized_outputs_topic, sub_topic, body, body_len, pool);
    log_failure(rc, "mqtt send user customized message error, ret:%d");
    return rc;
}

}  // extern "C"
