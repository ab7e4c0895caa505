// The service's bodies: the jobs of its records, stamped from its record table, and the
// builders of the command response, the service event envelope and the sub-device bodies.
#include <cstdio>
#include <ctime>

#include <gravel/edge_configs.h>

#include "edge_json_record.hpp"
#include "edge_mqtt_conns_internal.hpp"

EDGE_MQTT_RECORD_TABLE(EDGE_JSON_DEFINE_RECORD_JOBS)

namespace {

// A cJSON tree deleted on every path unless handed over.
class Tree {
public:
    explicit Tree(cJSON *node) noexcept : node_(node) {}
    ~Tree() { edge_json_delete(node_); }
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;
    cJSON *get() const noexcept { return node_; }
    cJSON *release() noexcept {
        cJSON *node = node_;
        node_ = nullptr;
        return node;
    }
    explicit operator bool() const noexcept { return node_ != nullptr; }

private:
    cJSON *node_;
};

// A given JSON text parsed; null for no text (an absent text is not an empty object).
cJSON *parse(const char *text) noexcept {
    return text == nullptr ? nullptr : edge_json_create(text);
}

// A record's text parsed back into an object to add members to.
template <typename Record>
cJSON *record_object(const Record &record, edge_json_set_job_fn job, apr_pool_t *pool) noexcept {
    char *text = nullptr;
    if (edge_json_struct_to_str(&record, &text, pool, job) != EDGE_OK || text == nullptr) return nullptr;
    return edge_json_create(text);
}

// Adds `child` under `key`; the object owns it only on success.
bool adopt(cJSON *object, const char *key, Tree &child) noexcept {
    if (edge_json_add_child(object, key, child.get()) != EDGE_OK) return false;
    (void)child.release();
    return true;
}

char *parse_error() noexcept {
    EDGE_LOG_ERROR("parse json error.");
    return nullptr;
}

// The current UTC time as 20230307T090807Z.
void event_time(char (&out)[64]) noexcept {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc) == nullptr) {
        out[0] = '\0';
        return;
    }
    std::snprintf(out, sizeof out, "%d%02d%02dT%02d%02d%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
}

}  // namespace

extern "C" {

EDGE_API char *edge_mqtt_conns_build_cmd_rsp(const char *response_name, int32_t result_code, const char *paras,
                                             apr_pool_t *pool) {
    if (pool == nullptr) return nullptr;
    const CommandRsp record{nullptr, result_code, response_name};
    Tree root(record_object(record, edge_json_setCommandRsp_job, pool));
    Tree params(paras != nullptr ? edge_json_create(paras) : edge_json_create(nullptr));
    if (!root || !params) return parse_error();
    if (!adopt(root.get(), "paras", params)) return nullptr;
    return edge_json_to_str(root.get(), pool);
}

EDGE_API char *edge_mqtt_conns_build_service_event(const char *event_id, const char *service_id, const char *event_type,
                                                   const char *paras, apr_pool_t *pool) {
    char time_text[64];
    event_time(time_text);
    using gravel::mqttconns::empty;
    if (empty(service_id) || empty(event_type) || empty(paras) || pool == nullptr) return nullptr;
    const ServiceEvent record{nullptr, service_id, event_type, time_text};
    Tree service(record_object(record, edge_json_setServiceEvent_job, pool));
    if (service && !empty(event_id) && edge_json_add_string(service.get(), "event_id", event_id) != EDGE_OK) {
        return nullptr;
    }
    Tree params(parse(paras));
    if (!service || !params) return parse_error();
    if (!adopt(service.get(), "paras", params)) return nullptr;
    Tree root(edge_json_create(nullptr));
    cJSON *services = root ? edge_json_add_array(root.get(), "services") : nullptr;
    if (services == nullptr) return nullptr;
    if (edge_json_add_obj_to_array(services, service.get()) != EDGE_OK) return nullptr;
    (void)service.release();
    if (edge_json_add_string(root.get(), "object_device_id", edge_configs_get_str(0, "device_id")) != EDGE_OK) {
        return nullptr;
    }
    return edge_json_to_str(root.get(), pool);
}

EDGE_API char *edge_mqtt_conns_build_scan_result(const char *state, const char *devices, uint32_t devices_len,
                                                 apr_pool_t *pool) {
    (void)devices_len;
    if (pool == nullptr) return nullptr;
    Tree root(edge_json_create(nullptr));
    Tree list(parse(devices));
    if (!root || !list) return parse_error();
    if (edge_json_add_string(root.get(), "state", state) != EDGE_OK ||
        edge_json_add_string(root.get(), "module_id", edge_configs_get_str(0, "module_id")) != EDGE_OK ||
        !adopt(root.get(), "devices", list)) {
        return nullptr;
    }
    return edge_json_to_str(root.get(), pool);
}

EDGE_API char *edge_mqtt_conns_build_sync_sub_device(int64_t version, apr_pool_t *pool) {
    if (pool == nullptr) return nullptr;
    Tree root(edge_json_create(nullptr));
    if (!root) return parse_error();
    // The version's exact digits: as a double, cJSON would print some 64-bit versions as
    // other numbers.
    if (edge_json_set_ll_job(root.get(), "version", &version) != EDGE_OK) return nullptr;
    return edge_json_to_str(root.get(), pool);
}

EDGE_API char *edge_mqtt_conns_build_sub_device_status(const char *statuses, apr_pool_t *pool) {
    if (pool == nullptr) return nullptr;
    Tree root(edge_json_create(nullptr));
    Tree list(parse(statuses));
    if (!root || !list) return parse_error();
    if (!adopt(root.get(), "device_statuses", list)) return nullptr;
    return edge_json_to_str(root.get(), pool);
}

EDGE_API char *edge_mqtt_conns_build_delete_sub_device(const char *device_id, apr_pool_t *pool) {
    if (pool == nullptr) return nullptr;
    Tree root(edge_json_create(nullptr));
    if (!root) return parse_error();
    if (edge_json_add_string(root.get(), "device_id", device_id) != EDGE_OK) return nullptr;
    return edge_json_to_str(root.get(), pool);
}

}  // extern "C"
