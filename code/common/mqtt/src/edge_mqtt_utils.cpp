// The notifications the MQTT library delivers on its own threads, and the guard that keeps a
// deleted client's handlers quiet.
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "edge_mqtt_internal.hpp"

namespace gravel::mqtt {

namespace {

thread_local int t_notification_depth = 0;

uint32_t atomic_load(uint32_t &value) noexcept {
    return std::atomic_ref<uint32_t>(value).load();
}

}  // namespace

// Calls a handler; an exception thrown by a C++ handler must not unwind through the MQTT
// library's C frames.
template <typename Call>
void call_handler(Call &&call) noexcept {
    try {
        call();
    } catch (...) {
        EDGE_LOG_ERROR("mqtt handler threw an exception, ignored.");
    }
}

int notification_depth() noexcept {
    return t_notification_depth;
}

// The counter goes up before the closing flag is read, and delete sets the flag before it
// reads the counter (both sequentially consistent): either delete sees this scope and waits
// for it, or this scope sees the flag and calls no handler.
NotificationScope::NotificationScope(Client *client) noexcept : client_(client), open_(false) {
    ++t_notification_depth;
    if (client_ != nullptr) {
        std::atomic_ref<uint32_t>(client_->active).fetch_add(1);
        open_ = atomic_load(client_->closing) == 0;
    }
}

NotificationScope::~NotificationScope() {
    if (client_ != nullptr) std::atomic_ref<uint32_t>(client_->active).fetch_sub(1);
    --t_notification_depth;
}

void mark_closing(Client *client) noexcept {
    std::atomic_ref<uint32_t>(client->closing).store(1);
}

void wait_notifications_idle(Client *client) noexcept {
    // The MQTT library runs its notifications under its own lock, which destroying the handle
    // takes too, so this finds nothing running in practice; it guards the record's memory
    // should a notification still be on its way out.
    while (atomic_load(client->active) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace gravel::mqtt

using gravel::mqtt::call_handler;
using gravel::mqtt::Client;
using gravel::mqtt::client_of;
using gravel::mqtt::load_slot;
using gravel::mqtt::NotificationScope;

extern "C" {

EDGE_API void edge_mqtt_connected_callback(void *context, MQTTAsync_successData *response) {
    (void)response;
    NotificationScope scope(client_of(context));
    EDGE_LOG_DEBUG("mqtt connected.");
    if (!scope.open()) return;
    gravel::mqtt::disable_nagle_to_broker(client_of(context)->record.server_uri);
    edge_mqtt_connected_fn handler = load_slot(client_of(context)->record.connected);
    if (handler != nullptr) call_handler([&] { handler(); });
}

EDGE_API void edge_mqtt_connect_failed_callback(void *context, MQTTAsync_failureData *response) {
    (void)response;
    NotificationScope scope(client_of(context));
    EDGE_LOG_DEBUG("mqtt connect failed.");
    if (!scope.open()) return;
    edge_mqtt_connection_lost_fn handler = load_slot(client_of(context)->record.connection_lost);
    if (handler != nullptr) call_handler([&] { handler(nullptr); });
}

EDGE_API void edge_mqtt_connection_lost_callback(void *context, char *cause) {
    NotificationScope scope(client_of(context));
    EDGE_LOG_DEBUG("mqtt connection lost.");
    if (!scope.open()) return;
    edge_mqtt_connection_lost_fn handler = load_slot(client_of(context)->record.connection_lost);
    if (handler != nullptr) call_handler([&] { handler(cause); });
}

EDGE_API int edge_mqtt_message_arrived_callback(void *context, char *topic, int topic_len, MQTTAsync_message *message) {
    // The library's own topic length is 0 unless the topic holds NUL bytes; the handler gets
    // the text length instead.
    (void)topic_len;
    if (topic == nullptr || message == nullptr) return 0;
    NotificationScope scope(client_of(context));
    EDGE_LOG_DEBUG("mqtt recv message, topic:%s, len:%d.", topic, message->payloadlen);
    if (!scope.open()) return 0;
    edge_mqtt_message_fn handler = load_slot(client_of(context)->record.message_arrived);
    // Not handled: the MQTT library keeps the message and offers it again later.
    if (handler == nullptr) return 0;
    const size_t length = std::strlen(topic);
    const auto text_length = static_cast<int32_t>(length > INT32_MAX ? INT32_MAX : length);
    call_handler([&] { (void)handler(topic, text_length, message->payload, message->payloadlen); });
    // Handled whatever the handler said: the message is released here and never redelivered.
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
}

EDGE_API void edge_mqtt_delivery_complete_callback(void *context, MQTTAsync_token token) {
    NotificationScope scope(client_of(context));
    if (scope.open()) {
        edge_mqtt_delivery_complete_fn handler = load_slot(client_of(context)->record.delivery_complete);
        if (handler != nullptr) call_handler([&] { handler(token); });
    }
    EDGE_LOG_DEBUG("mqtt message delive complete, token:%d.", token);
}

}  // extern "C"
