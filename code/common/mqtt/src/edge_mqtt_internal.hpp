// What the MQTT client's sources share: the private state behind each client record and the
// notification scope that keeps a deleted client's handlers from running.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include <gravel/edge_mqtt.h>

namespace gravel::mqtt {

// A client as edge_mqtt_create allocates it in the client's pool: the public record first
// (so a record pointer and a Client pointer are interchangeable), then state of the library's
// own. Plain data only: it lives in an APR pool and is never destructed.
struct Client {
    edge_mqtt_client_t record;
    uint32_t closing;  // 1 once edge_mqtt_delete has begun; atomic access only
    uint32_t active;   // notifications of this client in progress; atomic access only
};
static_assert(std::is_standard_layout_v<Client> && offsetof(Client, record) == 0,
              "a record pointer must convert to its Client");

inline Client *client_of(void *context) noexcept {
    return static_cast<Client *>(context);
}
inline Client *client_of(edge_mqtt_client_t *record) noexcept {
    return reinterpret_cast<Client *>(record);
}

// Handler slots are plain function pointers of the C record; the owner may set them while
// notifications run on the MQTT library's threads, so both sides go through these.
template <typename Fn>
inline Fn load_slot(Fn &slot) noexcept {
    return std::atomic_ref<Fn>(slot).load(std::memory_order_acquire);
}
template <typename Fn>
inline void store_slot(Fn &slot, Fn value) noexcept {
    std::atomic_ref<Fn>(slot).store(value, std::memory_order_release);
}

// How many notifications the calling thread is inside of (any client). A publish that would
// wait for its completion on such a thread could never see it complete: the MQTT library
// completes deliveries on the thread that is running the notification.
int notification_depth() noexcept;

// Held by every notification entry point for the length of its work. A client whose delete
// has begun is "closed": its handlers are not called any more. Delete marks the client
// closed, then waits until no scope of it is active.
class NotificationScope {
public:
    explicit NotificationScope(Client *client) noexcept;
    ~NotificationScope();
    NotificationScope(const NotificationScope &) = delete;
    NotificationScope &operator=(const NotificationScope &) = delete;
    // True when the client exists and is not being deleted.
    bool open() const noexcept { return open_; }

private:
    Client *client_;
    bool open_;
};

// Delete's two steps around destroying the MQTT library's handle: mark the client closed
// (its handlers are not called from then on), and, once the library can start no new
// notification of it, wait until none is running.
void mark_closing(Client *client) noexcept;
void wait_notifications_idle(Client *client) noexcept;

// Turns Nagle's algorithm off on the process's TCP connections to the broker of server_uri
// ("ssl://<address>:<port>"); returns how many sockets it changed.
int disable_nagle_to_broker(const char *server_uri) noexcept;

}  // namespace gravel::mqtt
