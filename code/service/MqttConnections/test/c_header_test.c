/* Compiled as C: proves the public header, with its record and topic tables, is C99. */
#include <stddef.h>

#include <gravel/edge_mqtt_connections.h>

int gravel_mqttconns_c_header_probe(void);

static uint32_t on_message(const char *topic, const char *request_id, const void *payload, int32_t payload_len) {
    (void)topic;
    (void)request_id;
    (void)payload;
    return payload_len > 0 ? 0u : EDGE_ERR_BAD_ARGUMENT;
}

int gravel_mqttconns_c_header_probe(void) {
    ServiceEvent event = {NULL, "s1", "t1", "20230307T090807Z"};
    CommandRsp rsp = {NULL, 0, "r1"};
    edge_mqtt_conns_mgr_t mgr;
    mgr.connected = 0;
    edge_mqtt_conns_msg_fn msg = on_message;
    edge_json_set_job_fn set = edge_json_setServiceEvent_job;
    edge_json_print_job_fn print = edge_json_printCommandRsp_job;
    /* The topic table sits between the flags and the callbacks, 40 strings in order. */
    const size_t table =
        offsetof(edge_mqtt_conns_mgr_t, msg_callback) - offsetof(edge_mqtt_conns_mgr_t, sdk_version_topic);
    return event.pool == NULL && rsp.result_code == 0 && mgr.connected == 0 && msg != NULL && set != NULL &&
           print != NULL && table == EDGE_MQTT_CONNS_TOPIC_COUNT * sizeof(char *) &&
           offsetof(edge_mqtt_conns_mgr_t, get_products_response_name) ==
               offsetof(edge_mqtt_conns_mgr_t, sdk_version_topic) + 39 * sizeof(char *);
}
