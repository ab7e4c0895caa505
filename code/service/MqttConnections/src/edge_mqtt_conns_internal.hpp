// What the service's sources share: the live manager, the session state that keeps the MQTT
// library's notifications, the connect worker's thread and the sends apart, and the helpers
// every operation uses.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include <gravel/edge_mqtt_connections.h>

#include <edge_mgr_accessors.hpp>
#include <edge_scoped_pool.hpp>

EDGE_MGR_DECLARE_LIVE(edge_mqtt_conns_mgr_t);

namespace gravel::mqttconns {

inline edge_mqtt_conns_mgr_t *manager() noexcept {
    return gravel::mgr::live_manager<edge_mqtt_conns_mgr_t>();
}

inline bool empty(const char *text) noexcept {
    return text == nullptr || text[0] == '\0';
}

// The connected flag of the record: one 32-bit value, every access atomic.
inline bool is_connected(edge_mqtt_conns_mgr_t *mgr) noexcept {
    return std::atomic_ref<int32_t>(mgr->connected).load(std::memory_order_acquire) != 0;
}
inline void set_connected(edge_mqtt_conns_mgr_t *mgr, bool value) noexcept {
    std::atomic_ref<int32_t>(mgr->connected).store(value ? 1 : 0, std::memory_order_release);
}

// Session state beside the record. `lock` is a leaf lock: nothing is called while it is held
// that could wait for the MQTT library, a callback or another thread of the service.
//
// - closing: destroy has begun; notifications do nothing, sends get no client, tries attach none.
// - accepting: notifications of the current client count; a try lowers it before it replaces
//   the client, so a notification of the client being replaced changes nothing.
// - claimed: the current client's connected notification was accepted; no try replaces the
//   client until a loss or a disconnect clears it.
// - in_flight: notifications past the gate; destroy waits until none is left, so no callback
//   runs after it has returned.
// - users: sends holding the current client; it is deleted only once none holds it.
//
// worker_lock serialises starting, joining and deleting the connect worker's thread. It is
// never taken by the worker's own thread.
struct Session {
    std::mutex lock;
    std::condition_variable idle;
    bool closing = false;
    bool accepting = false;
    bool claimed = false;
    int in_flight = 0;
    int users = 0;
    std::mutex worker_lock;
};

Session &session() noexcept;

// How many of this service's notifications the calling thread is inside of.
int callback_depth() noexcept;

// A notification's pass through the gate. Open when the session lets the notification act;
// the notification then counts as in flight until the gate goes.
class Gate {
public:
    enum class Kind {
        connected,     // the current client connected: claims the connection
        disconnected,  // the current client lost its connection or failed to connect
        message        // an inbound message
    };
    explicit Gate(Kind kind) noexcept;
    ~Gate();
    Gate(const Gate &) = delete;
    Gate &operator=(const Gate &) = delete;
    bool open() const noexcept { return open_; }

private:
    bool open_ = false;
};

// The manager's client for one send: null while none is attached or during destroy. The
// client is not deleted while a lease on it lasts.
class ClientLease {
public:
    explicit ClientLease(edge_mqtt_conns_mgr_t *mgr) noexcept;
    ~ClientLease();
    ClientLease(const ClientLease &) = delete;
    ClientLease &operator=(const ClientLease &) = delete;
    edge_mqtt_client_t *get() const noexcept { return client_; }

private:
    edge_mqtt_client_t *client_ = nullptr;
};

// A topic table entry, read atomically (a rebuild may replace it while sends run).
inline const char *topic_of(char *&field) noexcept {
    return gravel::shared_load(field);
}

// Calls an application callback; an exception of a C++ callback stops here.
template <typename Call>
void call_application(Call &&call) noexcept {
    try {
        call();
    } catch (...) {
        EDGE_LOG_ERROR("mqtt connections callback threw an exception, ignored.");
    }
}

// Copies the first `length` bytes of a body into the pool as a text: the body then ends at its
// first NUL byte. Null when the pool or memory is missing.
char *copy_body(apr_pool_t *pool, const char *body, uint32_t length) noexcept;

// "ret:%d" shows statuses as signed 32-bit values (the MQTT library's codes are negative).
inline int signed_status(uint32_t status) noexcept {
    return static_cast<int>(static_cast<int32_t>(status));
}

}  // namespace gravel::mqttconns
