/* Compiled as C: proves the MQTT client's header is C99 and usable from C. */
#include <gravel/edge_mqtt.h>

int gravel_mqtt_c_header_probe(void);

static uint32_t probe_message(const char *topic, int32_t topic_len, const void *payload, int32_t payload_len) {
    (void)topic;
    (void)payload;
    return topic_len >= 0 && payload_len >= 0 ? EDGE_OK : EDGE_ERR_BAD_ARGUMENT;
}

int gravel_mqtt_c_header_probe(void) {
    edge_mqtt_client_t record = {0, 0, 0, 0, 0, 0, 0, 0};
    edge_mqtt_mgr_t mgr = {{0, 0, 0}};
    record.message_arrived = probe_message;
    return record.handle == NULL && mgr.head.pool == NULL &&
           edge_mqtt_set_callback(NULL, NULL, NULL, probe_message, NULL) == EDGE_ERR_MISSING &&
           record.message_arrived("t", 1, "", 0) == EDGE_OK;
}
