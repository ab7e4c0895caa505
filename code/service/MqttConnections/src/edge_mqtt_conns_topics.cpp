// The topic scheme: the table built from the module id, and the inbound subscriptions.
#include <apr_strings.h>

#include <gravel/edge_configs.h>

#include "edge_mqtt_conns_internal.hpp"

namespace {

using Mgr = edge_mqtt_conns_mgr_t;

struct TopicEntry {
    char *Mgr::*field;
    const char *format;
};

#define EDGE_MQTT_CONNS_TOPIC_ENTRY(field, format) TopicEntry{&Mgr::field, format},
constexpr TopicEntry kTopics[] = {EDGE_MQTT_CONNS_TOPIC_TABLE(EDGE_MQTT_CONNS_TOPIC_ENTRY)};
#undef EDGE_MQTT_CONNS_TOPIC_ENTRY
static_assert(std::size(kTopics) == EDGE_MQTT_CONNS_TOPIC_COUNT);
// The first 34 entries are formatted with the module id; the rest are fixed names.
constexpr size_t kFormattedTopics = 34;

// The inbound topics, in the order they are requested.
constexpr char *Mgr::*kSubscriptions[] = {
    &Mgr::events_notify_topic,
    &Mgr::shadow_notify_topic,
    &Mgr::messages_inputs_topic,
    &Mgr::sys_events_down_topic,
    &Mgr::sys_commands_topic,
    &Mgr::sys_messages_down_topic,
    &Mgr::sys_properties_get_topic,
    &Mgr::sys_properties_set_topic,
    &Mgr::sys_shadow_get_response_topic,
    &Mgr::customized_inputs_topic,
    &Mgr::points_set_request_topic,
    &Mgr::points_get_request_topic,
    &Mgr::h2m_request_topic,
    &Mgr::m2h_get_properties_response_topic,
    &Mgr::m2h_set_properties_response_topic,
};
static_assert(std::size(kSubscriptions) == EDGE_MQTT_CONNS_SUBSCRIPTION_COUNT);

}  // namespace

extern "C" {

EDGE_API uint32_t edge_mqtt_conns_build_topics(edge_mqtt_conns_mgr_t *mgr) {
    if (mgr == nullptr || mgr->head.pool == nullptr) return EDGE_ERR_MISSING;
    const char *module_id = edge_configs_get_str(0, "module_id");
    if (gravel::mqttconns::empty(module_id)) {
        EDGE_LOG_ERROR("module_id is empty, has sdk already bound?");
        return EDGE_ERR_NO_MODULE_ID;
    }
    for (size_t i = 0; i < std::size(kTopics); ++i) {
        const TopicEntry &entry = kTopics[i];
        // The format is one of the table's own texts with a single "%s".
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        char *text = i < kFormattedTopics ? apr_psprintf(mgr->head.pool, entry.format, module_id)
                                          : apr_pstrdup(mgr->head.pool, entry.format);
#pragma GCC diagnostic pop
        gravel::shared_store(mgr->*entry.field, text);
    }
    return EDGE_OK;
}

EDGE_API uint32_t edge_mqtt_conns_subscribe_topics(edge_mqtt_conns_mgr_t *mgr) {
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    gravel::mqttconns::ClientLease lease(mgr);
    if (lease.get() == nullptr) return EDGE_ERR_MISSING;
    // The shadow get topic marks a built table.
    if (gravel::mqttconns::empty(gravel::mqttconns::topic_of(mgr->shadow_get_topic))) return EDGE_ERR_BAD_ARGUMENT;
    for (char *Mgr::*field : kSubscriptions) {
        // A refused subscription is not retried and does not stop the others.
        (void)edge_mqtt_subscribe(lease.get(), gravel::mqttconns::topic_of(mgr->*field), EDGE_MQTT_CONNS_QOS);
    }
    return EDGE_OK;
}

}  // extern "C"
