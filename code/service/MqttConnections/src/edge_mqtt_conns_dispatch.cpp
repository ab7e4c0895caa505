// Inbound dispatch: every message of the subscribed topics goes to the application's message
// callback, with the request id split off its topic.
#include <cstring>
#include <string_view>

#include <apr_strings.h>

#include "edge_mqtt_conns_internal.hpp"

extern "C" {

EDGE_API uint32_t edge_mqtt_conns_set_callback(edge_mqtt_conns_msg_fn msg_callback,
                                               edge_mqtt_conns_event_fn connected_callback,
                                               edge_mqtt_conns_event_fn disconnected_callback) {
    edge_mqtt_conns_mgr_t *mgr = gravel::mqttconns::manager();
    if (mgr == nullptr || msg_callback == nullptr) return EDGE_ERR_MISSING;
    gravel::shared_store(mgr->msg_callback, msg_callback);
    gravel::shared_store(mgr->connected_callback, connected_callback);
    gravel::shared_store(mgr->disconnected_callback, disconnected_callback);
    return EDGE_OK;
}

EDGE_API uint32_t edge_mqtt_conns_recv_msg(const char *topic, int32_t topic_len, const void *payload,
                                           int32_t payload_len) {
    if (topic == nullptr || payload == nullptr || topic_len <= 0 || payload_len <= 0) return EDGE_ERR_BAD_ARGUMENT;
    EDGE_LOG_INFO("recv msg, topic:%s, payload_len:%d", edge_base_log_fuzz_id(topic, nullptr),
                  static_cast<int>(payload_len));
    edge_mqtt_conns_mgr_t *mgr = gravel::mqttconns::manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    gravel::mqttconns::Gate gate(gravel::mqttconns::Gate::Kind::message);
    if (!gate.open()) return EDGE_OK;  // destroy under way: dropped
    edge_mqtt_conns_msg_fn callback = gravel::shared_load(mgr->msg_callback);
    if (callback == nullptr) return EDGE_OK;
    gravel::ScopedPool scratch(mgr->head.pool);
    if (!scratch) return EDGE_ERR_NO_MEMORY;

    // The topic is read no further than its given length, nor past its terminator.
    const std::string_view text(topic, strnlen(topic, static_cast<size_t>(topic_len)));
    constexpr std::string_view marker = EDGE_MQTT_CONNS_REQUEST_ID_MARKER;
    const size_t pos = text.find(marker);
    const char *bare_topic = topic;
    const char *request_id = nullptr;
    if (pos != std::string_view::npos && pos > 0) {
        const std::string_view id = text.substr(pos + marker.size());
        bare_topic = apr_pstrmemdup(scratch.get(), text.data(), pos);
        request_id = apr_pstrmemdup(scratch.get(), id.data(), id.size());
        if (bare_topic == nullptr || request_id == nullptr) return EDGE_ERR_NO_MEMORY;
    }
    uint32_t status = EDGE_OK;
    gravel::mqttconns::call_application([&] { status = callback(bare_topic, request_id, payload, payload_len); });
    return status;
}

}  // extern "C"
