// The manager record, the session state beside it and the two send policies.
#include <apr_strings.h>

#include <gravel/edge_configs.h>

#include "edge_mqtt_conns_internal.hpp"

EDGE_MGR_DEFINE_ACCESSORS(MQTT_CONNS, EDGE_MGR_SLOT_MQTT_CONNS, edge_mqtt_conns_mgr_t, head);

namespace gravel::mqttconns {

namespace {
thread_local int t_callback_depth = 0;
}  // namespace

Session &session() noexcept {
    static Session s;
    return s;
}

int callback_depth() noexcept {
    return t_callback_depth;
}

Gate::Gate(Kind kind) noexcept {
    ++t_callback_depth;
    Session &s = session();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.closing) return;
    switch (kind) {
        case Kind::connected:
            if (!s.accepting || s.claimed) return;
            s.claimed = true;
            break;
        case Kind::disconnected:
            if (!s.accepting) return;
            s.claimed = false;
            break;
        case Kind::message:
            break;
    }
    ++s.in_flight;
    open_ = true;
}

Gate::~Gate() {
    if (open_) {
        Session &s = session();
        std::lock_guard<std::mutex> guard(s.lock);
        if (--s.in_flight == 0) s.idle.notify_all();
    }
    --t_callback_depth;
}

ClientLease::ClientLease(edge_mqtt_conns_mgr_t *mgr) noexcept {
    if (mgr == nullptr) return;
    Session &s = session();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.closing || mgr->client == nullptr) return;
    client_ = mgr->client;
    ++s.users;
}

ClientLease::~ClientLease() {
    if (client_ == nullptr) return;
    Session &s = session();
    std::lock_guard<std::mutex> guard(s.lock);
    if (--s.users == 0) s.idle.notify_all();
}

char *copy_body(apr_pool_t *pool, const char *body, uint32_t length) noexcept {
    if (pool == nullptr || body == nullptr) return nullptr;
    return apr_pstrmemdup(pool, body, length);
}

}  // namespace gravel::mqttconns

extern "C" {

EDGE_API uint32_t edge_mqtt_conns_get_timeout(void) {
    return edge_configs_get_int(0, "mqtt_send_mode") == 1 ? EDGE_MQTT_CONNS_SYNC_WAIT_MS : 0;
}

EDGE_API int32_t edge_mqtt_conns_is_sending_forbidden(edge_mqtt_conns_mgr_t *mgr) {
    if (mgr == nullptr) return 0;
    if (edge_configs_get_int(0, "forbid_send_when_broker_overloaded") < 1) return 0;
    if (std::atomic_ref<int32_t>(mgr->broker_overloaded).load(std::memory_order_acquire) == 0) return 0;
    EDGE_LOG_WARN("broker is overloadding, will forbid sending");
    return 1;
}

}  // extern "C"
