// The connection life cycle: init and destroy, the connect worker and its tries, and the MQTT
// client's connected and disconnected notifications.
#include <cstddef>
#include <cstring>

#include <gravel/edge_configs.h>

#include "edge_mqtt_conns_internal.hpp"

using gravel::mqttconns::ClientLease;
using gravel::mqttconns::Gate;
using gravel::mqttconns::manager;
using gravel::mqttconns::session;
using gravel::mqttconns::Session;

namespace {

constexpr const char *kWorkerName = "edge_mqtt_connections";
constexpr uint32_t kMaxDelaySeconds = 128;

// Everything of the record after its head goes back to zero: a new init inherits nothing.
void clear_record(edge_mqtt_conns_mgr_t *mgr) noexcept {
    constexpr size_t from = offsetof(edge_mqtt_conns_mgr_t, client);
    std::memset(reinterpret_cast<unsigned char *>(mgr) + from, 0, sizeof(edge_mqtt_conns_mgr_t) - from);
}

void reset_session() noexcept {
    Session &s = session();
    std::lock_guard<std::mutex> guard(s.lock);
    s.closing = false;
    s.accepting = false;
    s.claimed = false;
    s.in_flight = 0;
    s.users = 0;
}

// Detaches the manager's client for replacement: its notifications stop counting, and it is
// handed over once no send holds it. Null when there was none or destroy has begun.
uint32_t detach_client(edge_mqtt_conns_mgr_t *mgr, edge_mqtt_client_t *&old) noexcept {
    Session &s = session();
    std::unique_lock<std::mutex> guard(s.lock);
    if (gravel::mqttconns::is_connected(mgr) || s.claimed) {
        guard.unlock();
        EDGE_LOG_ERROR("mqtt have already connected.");
        return EDGE_ERR_MQTT_CONNECTED;
    }
    if (s.closing) return EDGE_ERR_MISSING;
    s.accepting = false;
    old = mgr->client;
    mgr->client = nullptr;
    s.idle.wait(guard, [&] { return s.users == 0; });
    return EDGE_OK;
}

// Makes a new client the manager's current one; false (the client is the caller's to delete)
// once destroy has begun.
bool attach_client(edge_mqtt_conns_mgr_t *mgr, edge_mqtt_client_t *client) noexcept {
    Session &s = session();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.closing) return false;
    mgr->client = client;
    s.accepting = true;
    s.claimed = false;
    return true;
}

// The password is a secret: wiped before its scratch pool goes.
void wipe(char *text) noexcept {
    if (text == nullptr) return;
    const size_t length = std::strlen(text);
    (void)edge_base_memory_set(text, length, 0, length);
}

}  // namespace

extern "C" {

EDGE_API uint32_t edge_mqtt_conns_init(void) {
    // A manager left from an earlier init is taken down first: its worker and client go.
    if (manager() != nullptr) edge_mqtt_conns_destroy();
    edge_mqtt_conns_mgr_t *mgr = edge_MQTT_CONNS_MGR_mgr_create();
    if (mgr == nullptr || mgr->head.pool == nullptr) return EDGE_ERR_MISSING;
    clear_record(mgr);
    reset_session();
    edge_base_retry_t *worker = edge_base_retry_create(kWorkerName, mgr->head.pool);
    if (worker == nullptr ||
        edge_base_retry_config(worker, edge_mqtt_conns_connect_runner, -1, kMaxDelaySeconds, 0) != EDGE_OK) {
        edge_MQTT_CONNS_MGR_mgr_delete();
        return EDGE_ERR_MISSING;
    }
    mgr->connect_worker = worker;
    EDGE_LOG_INFO("edge mqtt connections init success.");
    return EDGE_OK;
}

EDGE_API void edge_mqtt_conns_destroy(void) {
    if (gravel::mqttconns::callback_depth() > 0) {
        // Destroy waits for the callbacks in progress, this one among them.
        EDGE_LOG_ERROR("mqtt connections destroy refused inside an mqtt callback.");
        return;
    }
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return;
    Session &s = session();
    {
        // From here on no notification acts and no callback starts; those under way end.
        std::unique_lock<std::mutex> guard(s.lock);
        s.closing = true;
        s.accepting = false;
        s.claimed = false;
        s.idle.wait(guard, [&] { return s.in_flight == 0; });
    }
    {
        // A try in progress ends (it attaches no client now); the thread is joined.
        std::lock_guard<std::mutex> guard(s.worker_lock);
        edge_base_retry_delete(mgr->connect_worker);
        mgr->connect_worker = nullptr;
    }
    edge_mqtt_client_t *client = nullptr;
    {
        std::unique_lock<std::mutex> guard(s.lock);
        client = mgr->client;
        mgr->client = nullptr;
        s.idle.wait(guard, [&] { return s.users == 0; });
    }
    if (client != nullptr) edge_mqtt_delete(client);
    edge_MQTT_CONNS_MGR_mgr_delete();
    clear_record(mgr);
}

EDGE_API uint32_t edge_mqtt_conns_start_connect(void) {
    EDGE_LOG_INFO("start mqtt connections.");
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    Session &s = session();
    std::lock_guard<std::mutex> guard(s.worker_lock);
    {
        std::lock_guard<std::mutex> state(s.lock);
        if (s.closing) return EDGE_OK;
    }
    edge_base_retry_t *worker = mgr->connect_worker;
    if (worker == nullptr) return EDGE_ERR_MISSING;
    // The connected notification only lowered the running flag; the ended thread is joined
    // here so that a new series of tries can start. After its flag came down the worker does
    // nothing that waits for the MQTT library, so this returns within about 100 ms.
    if (worker->thread != nullptr && gravel::atomic_read32(worker->running) == 0) (void)edge_base_retry_stop(worker);
    return edge_base_retry_start(worker, nullptr);
}

EDGE_API uint32_t edge_mqtt_conns_connect_runner(void *arg) {
    (void)arg;
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (gravel::mqttconns::is_connected(mgr)) {
        EDGE_LOG_WARN("already connected.");
        return EDGE_OK;
    }
    const uint32_t rc = edge_mqtt_conns_create_handler(mgr);
    if (rc != EDGE_OK) return rc;
    // Only this thread and destroy (after joining it) replace the client.
    const uint32_t connect_rc = edge_mqtt_connect(mgr->client);
    if (connect_rc != EDGE_OK) {
        EDGE_LOG_ERROR("mqtt connect failed, ret:%d", gravel::mqttconns::signed_status(connect_rc));
        return connect_rc;
    }
    return EDGE_OK;
}

EDGE_API uint32_t edge_mqtt_conns_create_handler(edge_mqtt_conns_mgr_t *mgr) {
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    edge_mqtt_client_t *old = nullptr;
    const uint32_t detached = detach_client(mgr, old);
    if (detached != EDGE_OK) return detached;
    // A connect attempt of the old client still pending is abandoned with it.
    if (old != nullptr) edge_mqtt_delete(old);

    gravel::ScopedPool scratch(mgr->head.pool);
    if (!scratch) return EDGE_ERR_NO_MEMORY;
    const char *address = edge_configs_get_str(0, "mqtt_server_ip");
    const int32_t port = edge_configs_get_int(0, "mqtt_server_port");
    const char *module_id = edge_configs_get_str(0, "module_id");
    const char *client_id = edge_mqtt_conns_build_client_id(scratch.get(), module_id);
    const uint32_t daemon_flag = edge_configs_get_str(0, "new_daemon_flag") != nullptr ? 1 : 0;
    char *password = edge_mqtt_conns_build_password(scratch.get(), client_id, daemon_flag);
    using gravel::mqttconns::empty;
    if (empty(module_id) || empty(client_id) || empty(password) || empty(address)) {
        wipe(password);
        EDGE_LOG_ERROR("build mqtt connect info failed, moduleId clientId or password is empty.");
        return EDGE_ERR_BAD_ARGUMENT;
    }
    edge_mqtt_client_t *client = edge_mqtt_create(address, port, client_id, module_id, password, mgr->head.pool);
    wipe(password);  // the client holds its own copy
    if (client == nullptr) {
        EDGE_LOG_ERROR("create mqtt handler failed.");
        return EDGE_ERR_MQTT_CREATE;
    }
    (void)edge_mqtt_set_callback(client, nullptr, edge_mqtt_conns_recv_disconnected, edge_mqtt_conns_recv_msg,
                                 edge_mqtt_conns_recv_connected);
    if (!attach_client(mgr, client)) {
        edge_mqtt_delete(client);
        return EDGE_ERR_MISSING;
    }
    return EDGE_OK;
}

EDGE_API void edge_mqtt_conns_recv_connected(void) {
    EDGE_LOG_INFO("mqtt connected.");
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return;
    Gate gate(Gate::Kind::connected);
    // A client that a try is replacing, or destroy under way: nothing changes.
    if (!gate.open()) return;
    const uint32_t rc = edge_mqtt_conns_subscribe_topics(mgr);
    if (rc != EDGE_OK) EDGE_LOG_ERROR("mqtt subscribe topics failed, ret:%d", gravel::mqttconns::signed_status(rc));
    gravel::mqttconns::set_connected(mgr, true);
    // The worker may be in the middle of a try that waits for the MQTT library, which is
    // running this notification: only its flag comes down here, and the next start or destroy
    // joins the thread.
    if (mgr->connect_worker != nullptr) (void)gravel::atomic_take_down32(mgr->connect_worker->running);
    edge_mqtt_conns_event_fn callback = gravel::shared_load(mgr->connected_callback);
    if (callback != nullptr) gravel::mqttconns::call_application([&] { callback(); });
    EDGE_LOG_INFO("mqtt connected end.");
}

EDGE_API void edge_mqtt_conns_recv_disconnected(const char *cause) {
    EDGE_LOG_ERROR("recv disconnected, cause:%s", cause != nullptr ? cause : "(null)");
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return;
    Gate gate(Gate::Kind::disconnected);
    if (!gate.open()) return;
    edge_mqtt_conns_event_fn callback = gravel::shared_load(mgr->disconnected_callback);
    if (callback != nullptr) gravel::mqttconns::call_application([&] { callback(); });
    gravel::mqttconns::set_connected(mgr, false);
    (void)edge_mqtt_conns_start_connect();
}

EDGE_API uint32_t edge_mqtt_conns_disconnect(void) {
    edge_mqtt_conns_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    {
        Session &s = session();
        // Notifications of this client change nothing from now on: a disconnect by request
        // calls no callback and starts no try.
        std::lock_guard<std::mutex> guard(s.lock);
        s.accepting = false;
        s.claimed = false;
    }
    gravel::mqttconns::set_connected(mgr, false);
    ClientLease lease(mgr);
    return edge_mqtt_disconnect(lease.get());
}

}  // extern "C"
