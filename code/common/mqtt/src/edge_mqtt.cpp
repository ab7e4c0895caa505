// The MQTT client: one TLS connection to the broker over the Paho asynchronous library.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <apr_strings.h>

#include <edge_mgr_accessors.hpp>
#include <edge_tls_verify.hpp>

#include "edge_mqtt_internal.hpp"

EDGE_MGR_DEFINE_ACCESSORS(MQTT, EDGE_MGR_SLOT_MQTT, edge_mqtt_mgr_t, head);

namespace gravel::mqtt {
namespace {

bool empty(const char *text) noexcept {
    return text == nullptr || text[0] == '\0';
}

// Gives the messages a connected client has accepted (publishes still queued and those waiting
// for the broker's acknowledgement) a bounded time to complete: destroying the handle drops
// them, so the last answers of a module that stops would otherwise never leave it. Nothing is
// waited for once the connection is down, as nothing more can complete then.
void wait_for_deliveries(MQTTAsync handle) noexcept {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(EDGE_MQTT_DELETE_DELIVERY_WAIT_MS);
    while (MQTTAsync_isConnected(handle) != 0) {
        MQTTAsync_token *pending = nullptr;
        if (MQTTAsync_getPendingTokens(handle, &pending) != MQTTASYNC_SUCCESS) return;
        const bool done = pending == nullptr || pending[0] == -1;
        MQTTAsync_free(pending);
        if (done || Clock::now() >= deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// A client pool that goes away unless creation gets to the end.
class PendingPool {
public:
    explicit PendingPool(apr_pool_t *parent) noexcept : pool_(edge_base_memory_pool_create(parent)) {}
    ~PendingPool() { edge_base_memory_pool_destroy(&pool_); }
    PendingPool(const PendingPool &) = delete;
    PendingPool &operator=(const PendingPool &) = delete;
    apr_pool_t *get() const noexcept { return pool_; }
    apr_pool_t *release() noexcept {
        apr_pool_t *pool = pool_;
        pool_ = nullptr;
        return pool;
    }

private:
    apr_pool_t *pool_;
};

// The MQTT library's handle of a client under construction, destroyed unless released.
class PendingHandle {
public:
    explicit PendingHandle(MQTTAsync &handle) noexcept : handle_(&handle) {}
    ~PendingHandle() {
        if (handle_ != nullptr && *handle_ != nullptr) MQTTAsync_destroy(handle_);
    }
    PendingHandle(const PendingHandle &) = delete;
    PendingHandle &operator=(const PendingHandle &) = delete;
    void release() noexcept { handle_ = nullptr; }

private:
    MQTTAsync *handle_;
};

// The connect options point at this library's copy of the password, in the client's pool:
// wiped before the options are replaced or the pool goes.
void wipe_password(edge_mqtt_client_t *record) noexcept {
    if (record->conn_opts == nullptr || record->conn_opts->password == nullptr) return;
    auto *password = const_cast<char *>(record->conn_opts->password);
    const size_t length = std::strlen(password);
    (void)edge_base_memory_set(password, length, 0, length);
}

}  // namespace
}  // namespace gravel::mqtt

using gravel::mqtt::Client;
using gravel::mqtt::client_of;

extern "C" {

EDGE_API uint32_t edge_mqtt_init(void) {
    if (edge_MQTT_MGR_mgr_create() == nullptr) return EDGE_ERR_NO_MEMORY;
    MQTTAsync_init_options options = MQTTAsync_init_options_initializer;
    options.do_openssl_init = 1;
    MQTTAsync_global_init(&options);
    // Unless asked for through its own environment variable, the MQTT library records only
    // errors in its trace. By default it records every function entry and exit of each of its
    // threads in a shared buffer: a cost on every call, and a buffer that its shutdown (when the
    // last client goes) releases while an exiting thread of the library may still write to it.
    if (std::getenv("MQTT_C_CLIENT_TRACE_LEVEL") == nullptr) MQTTAsync_setTraceLevel(MQTTASYNC_TRACE_ERROR);
    (void)gravel::tls_verify_from_env();  // a relaxed setting is logged at WARN here
    EDGE_LOG_INFO("mqtt init success.");
    return EDGE_OK;
}

EDGE_API uint32_t edge_mqtt_destroy(void) {
    edge_MQTT_MGR_mgr_delete();
    return EDGE_OK;
}

EDGE_API edge_mqtt_client_t *edge_mqtt_create(const char *address, int32_t port, const char *client_id,
                                              const char *user_name, const char *password, apr_pool_t *parent) {
    using gravel::mqtt::empty;
    if (empty(address) || empty(client_id) || empty(user_name) || empty(password)) {
        EDGE_LOG_ERROR("ip, client_id, username or password is empty.");
        return nullptr;
    }
    gravel::mqtt::PendingPool pool(parent);
    if (!pool.get()) return nullptr;
    auto *client = static_cast<Client *>(edge_base_memory_malloc(pool.get(), sizeof(Client)));
    if (client == nullptr) return nullptr;
    std::memset(client, 0, sizeof(Client));
    edge_mqtt_client_t *record = &client->record;
    record->pool = pool.get();
    record->server_uri = apr_psprintf(pool.get(), "ssl://%s:%d", address, static_cast<int>(port));
    if (record->server_uri == nullptr) return nullptr;

    gravel::mqtt::PendingHandle handle(record->handle);
    const int rc =
        MQTTAsync_create(&record->handle, record->server_uri, client_id, MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTASYNC_SUCCESS || record->handle == nullptr) return nullptr;
    if (edge_mqtt_opts_set(record, user_name, password, edge_base_get_ca_file()) != EDGE_OK) return nullptr;

    handle.release();
    (void)pool.release();
    // The masked URI goes into the client's own pool: a caller that creates clients again
    // and again (one per connect try) does not grow its own pool with log texts.
    EDGE_LOG_INFO("mqtt: %p create, ready to connect: %s.", static_cast<void *>(record),
                  edge_base_log_fuzz_ip(record->server_uri, record->pool));
    return record;
}

EDGE_API uint32_t edge_mqtt_opts_set(edge_mqtt_client_t *record, const char *user_name, const char *password,
                                     const char *ca_file) {
    using gravel::mqtt::empty;
    if (record == nullptr || empty(user_name) || empty(password) || empty(ca_file)) {
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_BAD_ARGUMENT;
    }
    if (record->pool == nullptr) return EDGE_ERR_MISSING;

    auto *options = static_cast<MQTTAsync_connectOptions *>(
        edge_base_memory_malloc(record->pool, sizeof(MQTTAsync_connectOptions)));
    if (options == nullptr) return EDGE_ERR_NO_MEMORY;
    *options = MQTTAsync_connectOptions_initializer;
    // Version 6: the HTTP header and HTTP(S) proxy options of later versions are not given.
    options->struct_version = 6;

    auto *tls =
        static_cast<MQTTAsync_SSLOptions *>(edge_base_memory_malloc(record->pool, sizeof(MQTTAsync_SSLOptions)));
    if (tls == nullptr) return EDGE_ERR_NO_MEMORY;
    *tls = MQTTAsync_SSLOptions_initializer;
    // Version 3: no PSK callback and no ALPN list. Key store, private key and its password,
    // cipher list, CA directory and error callback stay unset; TLS version is the library's.
    tls->struct_version = 3;

    char *user_copy = apr_pstrdup(record->pool, user_name);
    char *password_copy = apr_pstrdup(record->pool, password);
    char *trust_copy = apr_pstrdup(record->pool, ca_file);
    if (user_copy == nullptr || password_copy == nullptr || trust_copy == nullptr) return EDGE_ERR_NO_MEMORY;

    // The CA file is the only trust store: the system's default CAs are not loaded beside it.
    // Server certificate authentication checks the chain; "verify" adds the check of the
    // broker's host name or IP address against the certificate.
    const gravel::TlsVerify mode = gravel::tls_verify_from_env();
    tls->trustStore = trust_copy;
    tls->enableServerCertAuth = mode == gravel::TlsVerify::none ? 0 : 1;
    tls->verify = mode == gravel::TlsVerify::full ? 1 : 0;
    tls->sslVersion = MQTT_SSL_VERSION_DEFAULT;

    options->ssl = tls;
    options->cleansession = 1;
    options->keepAliveInterval = EDGE_MQTT_KEEPALIVE_SECONDS;
    options->maxInflight = EDGE_MQTT_MAX_INFLIGHT;
    options->username = user_copy;
    options->password = password_copy;
    options->automaticReconnect = 0;
    options->context = record;
    options->onSuccess = edge_mqtt_connected_callback;
    options->onFailure = edge_mqtt_connect_failed_callback;

    // Options set again replace the earlier ones; the earlier password copy is wiped.
    gravel::mqtt::wipe_password(record);
    record->conn_opts = options;

    EDGE_LOG_INFO("set mqtt config end, trustStore:%s, verify:%d, keepalive:%d, maxinflight:%d", tls->trustStore,
                  tls->verify, options->keepAliveInterval, options->maxInflight);
    return static_cast<uint32_t>(MQTTAsync_setCallbacks(record->handle, record, edge_mqtt_connection_lost_callback,
                                                        edge_mqtt_message_arrived_callback,
                                                        edge_mqtt_delivery_complete_callback));
}

EDGE_API uint32_t edge_mqtt_connect(edge_mqtt_client_t *record) {
    if (record == nullptr || record->handle == nullptr || record->conn_opts == nullptr) {
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_MISSING;
    }
    EDGE_LOG_INFO("mqtt: %p connect", static_cast<void *>(record));
    return static_cast<uint32_t>(MQTTAsync_connect(record->handle, record->conn_opts));
}

EDGE_API uint32_t edge_mqtt_disconnect(edge_mqtt_client_t *record) {
    if (record == nullptr || record->handle == nullptr || record->conn_opts == nullptr) {
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_MISSING;
    }
    EDGE_LOG_INFO("mqtt: %p disconnect", static_cast<void *>(record));
    return static_cast<uint32_t>(MQTTAsync_disconnect(record->handle, nullptr));
}

EDGE_API uint32_t edge_mqtt_subscribe(edge_mqtt_client_t *record, const char *topic, int32_t qos) {
    if (record == nullptr || record->handle == nullptr) {
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_MISSING;
    }
    if (gravel::mqtt::empty(topic)) {
        EDGE_LOG_ERROR("topic is empty .");
        return EDGE_ERR_BAD_ARGUMENT;
    }
    EDGE_LOG_INFO("mqtt: %p subscribe topic: %s qos: %d", static_cast<void *>(record), topic, static_cast<int>(qos));
    return static_cast<uint32_t>(MQTTAsync_subscribe(record->handle, topic, qos, nullptr));
}

EDGE_API uint32_t edge_mqtt_unsubscribe(edge_mqtt_client_t *record, const char *topic) {
    if (record == nullptr || record->handle == nullptr) {
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_MISSING;
    }
    if (gravel::mqtt::empty(topic)) {
        EDGE_LOG_ERROR("topic is empty .");
        return EDGE_ERR_BAD_ARGUMENT;
    }
    EDGE_LOG_INFO("mqtt: %p unsubcribe topic: %s", static_cast<void *>(record), topic);
    return static_cast<uint32_t>(MQTTAsync_unsubscribe(record->handle, topic, nullptr));
}

EDGE_API uint32_t edge_mqtt_publish(edge_mqtt_client_t *record, const char *topic, const void *payload,
                                    int32_t payload_len, int32_t qos, uint32_t wait_ms) {
    if (record == nullptr || record->handle == nullptr) {
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_MISSING;
    }
    if (gravel::mqtt::empty(topic)) {
        EDGE_LOG_ERROR("topic is empty .");
        return EDGE_ERR_BAD_ARGUMENT;
    }
    // The MQTT library would copy payload_len bytes from the payload: a null payload is only
    // an empty message, and a negative length is no length at all.
    if (payload_len < 0 || (payload == nullptr && payload_len != 0)) {
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_BAD_ARGUMENT;
    }
    EDGE_LOG_INFO("mqtt: %p publish topic: %s lens: %d qos: %d", static_cast<void *>(record), topic,
                  static_cast<int>(payload_len), static_cast<int>(qos));
    if (wait_ms == 0) {
        return static_cast<uint32_t>(MQTTAsync_send(record->handle, topic, payload_len, payload, qos, 0, nullptr));
    }
    MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
    const int rc = MQTTAsync_send(record->handle, topic, payload_len, payload, qos, 0, &response);
    if (rc != MQTTASYNC_SUCCESS) return static_cast<uint32_t>(rc);
    EDGE_LOG_DEBUG("sync sending, waiting at most 3 seconds for completing, token: %d", response.token);
    if (gravel::mqtt::notification_depth() > 0) {
        // This thread is running a notification of the MQTT library, which completes the
        // delivery only after the notification returns: the wait could never succeed. It
        // would stall every client of the library for the whole wait time and then report a
        // failure for a message that goes out right after. The message is queued; say so.
        EDGE_LOG_WARN("sync sending from an mqtt notification, not waiting, token: %d", response.token);
        return static_cast<uint32_t>(rc);
    }
    return static_cast<uint32_t>(MQTTAsync_waitForCompletion(record->handle, response.token, wait_ms));
}

EDGE_API void edge_mqtt_delete(edge_mqtt_client_t *record) {
    if (record != nullptr && gravel::mqtt::notification_depth() > 0) {
        // The MQTT library runs notifications holding its lock and keeps using the client
        // after a handler returns: destroying a handle here would free what the library's
        // own frame still uses, and waiting for this client's notifications to end would
        // wait for itself. The client stays; the owner deletes it from another thread.
        EDGE_LOG_ERROR("mqtt: %p delete refused inside an mqtt notification.", static_cast<void *>(record));
        return;
    }
    if (record != nullptr) {
        Client *client = client_of(record);
        if (record->handle != nullptr) gravel::mqtt::wait_for_deliveries(record->handle);
        // From here on no handler of this client is called; destroying the handle waits for a
        // notification in progress (the library runs them under the lock the destroy takes)
        // and leaves no new one to come.
        gravel::mqtt::mark_closing(client);
        if (record->handle != nullptr) MQTTAsync_destroy(&record->handle);
        gravel::mqtt::wait_notifications_idle(client);
        gravel::mqtt::wipe_password(record);
        if (record->pool != nullptr) {
            apr_pool_t *pool = record->pool;
            edge_base_memory_pool_destroy(&pool);  // the record goes with its pool
        }
    }
    EDGE_LOG_INFO("mqtt: %p delete.", static_cast<void *>(record));
}

EDGE_API uint32_t edge_mqtt_set_callback(edge_mqtt_client_t *record, edge_mqtt_delivery_complete_fn delivery_complete,
                                         edge_mqtt_connection_lost_fn connection_lost,
                                         edge_mqtt_message_fn message_arrived, edge_mqtt_connected_fn connected) {
    using gravel::mqtt::store_slot;
    if (record == nullptr) return EDGE_ERR_MISSING;
    if (delivery_complete != nullptr) store_slot(record->delivery_complete, delivery_complete);
    if (connection_lost != nullptr) store_slot(record->connection_lost, connection_lost);
    if (message_arrived != nullptr) store_slot(record->message_arrived, message_arrived);
    if (connected != nullptr) store_slot(record->connected, connected);
    return EDGE_OK;
}

}  // extern "C"
