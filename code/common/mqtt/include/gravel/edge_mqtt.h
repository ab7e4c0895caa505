/**
 * @file edge_mqtt.h
 * gravel MQTT client (libgravel-mqtt): one TLS connection to the node's MQTT broker over the
 * Eclipse Paho asynchronous client library (paho-mqtt3as), with four handler slots that the
 * owner of the client fills.
 *
 * Conventions (besides those of <gravel/edge_base.h>):
 * - Ownership. edge_mqtt_create makes a child pool of the caller's pool; the client record,
 *   its server URI, its connect and TLS options and the copies of user name and password live
 *   in it. edge_mqtt_delete releases the MQTT library's handle and that pool; the record is
 *   gone afterwards. Destroying the parent pool without edge_mqtt_delete leaks the handle.
 * - Null. A null record gives EDGE_ERR_MISSING (or does nothing for edge_mqtt_delete); empty
 *   texts where a text is required give the status stated for each function.
 * - Statuses. 0 for success, an EDGE_ERR_* code, or the MQTT library's own result passed back
 *   unchanged where stated. The MQTT library's codes are negative ints (MQTTASYNC_* of
 *   <MQTTAsync.h>); they come back as their 32-bit two's complement, so compare
 *   (int32_t)status with them.
 * - TLS. The broker's certificate chain is checked against the CA file of the base runtime
 *   ("<work dir>/conf/rootcert.pem"), and the broker's address against the certificate's names
 *   and IP addresses. The environment variable "module_tls_verify" relaxes this: "chain"
 *   checks the chain only, "none" checks nothing; unset, empty or "full" checks both, and so
 *   does any other value. The variable is read, and a value other than unset, empty or "full"
 *   logged at WARN, by edge_mqtt_init and each time a client's options are built.
 * - Reconnecting. This library never reconnects: the MQTT library's automatic reconnection
 *   is off, and the owner starts every new attempt itself.
 * - Threads. Notifications of a client (connected, connect failed, connection lost, message
 *   arrived, delivery complete) run on the MQTT library's own threads, one at a time, and
 *   call the handlers there; handlers must be safe to run beside the owner's other threads.
 *   A handler may subscribe, unsubscribe and publish; a publish with a wait time made from a
 *   handler does not wait and returns what the send returned: the MQTT library completes a
 *   delivery on the thread that is running the handler, so such a wait could only stall
 *   every client for its whole length and then report a failure. A handler cannot delete a
 *   client (the call is refused) and must not destroy the library. Once edge_mqtt_delete has
 *   begun releasing the client (after its wait for deliveries), the client's handlers are no
 *   longer called; once it returns, no notification of that client runs. Handler slots may be changed at any time. The other operations of one
 *   client may be called from any thread; edge_mqtt_delete must not race with other
 *   operations on the same client.
 *
 * Calling order: edge_mqtt_init once, after edge_base_init; per client edge_mqtt_create,
 * edge_mqtt_set_callback, edge_mqtt_connect; subscribe and publish once connected;
 * edge_mqtt_disconnect and edge_mqtt_delete at the end; edge_mqtt_destroy at shutdown.
 */
#ifndef GRAVEL_EDGE_MQTT_H
#define GRAVEL_EDGE_MQTT_H

#include <stdint.h>

#include <MQTTAsync.h>
#include <apr_pools.h>

#include <gravel/edge_base.h>
#include <gravel/edge_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/** @name Connect option values in force for every client.
 * @{ */
#define EDGE_MQTT_KEEPALIVE_SECONDS 30 /**< keep-alive interval, seconds */
#define EDGE_MQTT_MAX_INFLIGHT 100     /**< most messages in flight */
/** @} */

/** How long edge_mqtt_delete waits, at most, for the messages a connected client has accepted
 * to reach the broker, in milliseconds. The MQTT library sends a message queued behind
 * EDGE_MQTT_MAX_INFLIGHT others up to a second after a slot frees, so the wait allows for a
 * few such rounds. */
#define EDGE_MQTT_DELETE_DELIVERY_WAIT_MS 3000

/** The library's manager, "MQTT_MGR" in registry slot 3: the head alone. */
typedef struct edge_mqtt_mgr_s {
    edge_mgr_head_t head; /**< slot, name, the manager's pool */
} edge_mqtt_mgr_t;

EDGE_MGR_DECLARE_ACCESSORS(MQTT, edge_mqtt_mgr_t)

/* Handlers. None receives the client record; they run on the MQTT library's threads. */
/** A publish with QoS 1 or 2 completed; the token is the delivery token of the send. */
typedef void (*edge_mqtt_delivery_complete_fn)(int32_t token);
/** The connection was lost (cause as the MQTT library gives it, may be null), or a connect
 * attempt failed (cause null). */
typedef void (*edge_mqtt_connection_lost_fn)(const char *cause);
/** A message arrived: the topic (NUL-terminated) and its text length, the payload (not
 * NUL-terminated) and its length. Both buffers are valid only during the call. The status
 * (0 for success) is not passed on: the message counts as handled whatever it is. */
typedef uint32_t (*edge_mqtt_message_fn)(const char *topic, int32_t topic_len, const void *payload,
                                         int32_t payload_len);
/** A connect attempt succeeded. */
typedef void (*edge_mqtt_connected_fn)(void);

/**
 * One MQTT client. Created by edge_mqtt_create in its own pool, zero-filled first; the fields
 * are written by this library (the handler slots by edge_mqtt_set_callback) and read by the
 * owner. Records are made only by edge_mqtt_create: the library keeps private state behind
 * the fields below.
 */
typedef struct edge_mqtt_client_s {
    MQTTAsync handle;                                 /**< the MQTT library's client handle, or null */
    char *server_uri;                                 /**< "ssl://<address>:<port>", in the pool */
    MQTTAsync_connectOptions *conn_opts;              /**< built by edge_mqtt_opts_set, in the pool */
    apr_pool_t *pool;                                 /**< the client's own pool (child of the caller's) */
    edge_mqtt_delivery_complete_fn delivery_complete; /**< handler slots; null: only logged */
    edge_mqtt_connection_lost_fn connection_lost;     /**< connection lost or connect failed */
    edge_mqtt_message_fn message_arrived;             /**< a message arrived */
    edge_mqtt_connected_fn connected;                 /**< a connect attempt succeeded */
} edge_mqtt_client_t;

/** Creates the manager and initialises the MQTT library (which initialises OpenSSL). Logs a
 * WARN when "module_tls_verify" is set to other than "full".
 * @retval 0 success
 * @retval EDGE_ERR_NO_MEMORY the manager cannot be created (the MQTT library is then not
 *         touched) */
EDGE_API uint32_t edge_mqtt_init(void);

/** Deletes the manager. Clients are not touched: delete them first.
 * @retval 0 always */
EDGE_API uint32_t edge_mqtt_destroy(void);

/**
 * Creates a client for the broker at "ssl://<address>:<port>" with a client id, user name and
 * password (all required and non-empty; the port is not checked) in a new child pool of
 * `parent`, with its options built by edge_mqtt_opts_set from the base runtime's CA file.
 * Nothing connects yet. The new record, or null: for a missing or empty text (ERROR logged),
 * when the pool, the record or the MQTT library's handle cannot be made (for example a client
 * id that is not UTF-8), or when the options cannot be set. A failed creation leaves no pool
 * and no handle behind.
 */
EDGE_API edge_mqtt_client_t *edge_mqtt_create(const char *address, int32_t port, const char *client_id,
                                              const char *user_name, const char *password, apr_pool_t *parent);

/**
 * Builds the record's connect and TLS options in its pool (keep-alive 30 s, clean session,
 * at most 100 messages in flight, no automatic reconnect, the CA file as trust store and the
 * verification that "module_tls_verify" selects), points the connect notifications at this
 * library with the record as context, and registers the other notifications with the MQTT
 * library. Called by edge_mqtt_create; calling it again replaces the options (the earlier
 * copy of the password is wiped).
 * @retval EDGE_ERR_BAD_ARGUMENT a missing record, or a missing or empty user name, password or
 *         CA file path
 * @retval EDGE_ERR_MISSING a record without a pool
 * @retval EDGE_ERR_NO_MEMORY the options cannot be allocated
 * @return otherwise the result of MQTTAsync_setCallbacks (0 on success)
 */
EDGE_API uint32_t edge_mqtt_opts_set(edge_mqtt_client_t *client, const char *user_name, const char *password,
                                     const char *ca_file);

/** Starts a connect attempt; its outcome arrives later as the connected handler or as the
 * connection-lost handler with a null cause.
 * @retval EDGE_ERR_MISSING without record, handle or options
 * @return otherwise the result of MQTTAsync_connect (0: the attempt was started) */
EDGE_API uint32_t edge_mqtt_connect(edge_mqtt_client_t *client);

/** Starts a disconnect.
 * @retval EDGE_ERR_MISSING without record, handle or options
 * @return otherwise the result of MQTTAsync_disconnect */
EDGE_API uint32_t edge_mqtt_disconnect(edge_mqtt_client_t *client);

/** Asks the broker for a subscription; nobody learns whether it was granted.
 * @retval EDGE_ERR_MISSING without record or handle
 * @retval EDGE_ERR_BAD_ARGUMENT a missing or empty topic filter
 * @return otherwise the result of MQTTAsync_subscribe */
EDGE_API uint32_t edge_mqtt_subscribe(edge_mqtt_client_t *client, const char *topic, int32_t qos);
/** As edge_mqtt_subscribe, for ending a subscription; the result of MQTTAsync_unsubscribe. */
EDGE_API uint32_t edge_mqtt_unsubscribe(edge_mqtt_client_t *client, const char *topic);

/**
 * Publishes `payload_len` bytes (never retained). With wait_ms 0 it returns the result of
 * MQTTAsync_send as soon as the message is queued; otherwise, when the send succeeded, it
 * waits at most wait_ms milliseconds for the delivery to complete and returns the result of
 * MQTTAsync_waitForCompletion (a failed send returns at once). The payload is copied before
 * this returns. A null payload of length 0 is an empty message.
 * @retval EDGE_ERR_MISSING without record or handle
 * @retval EDGE_ERR_BAD_ARGUMENT a missing or empty topic, a negative length, or a null payload
 *         with a non-zero length
 * @return otherwise the result of MQTTAsync_send or MQTTAsync_waitForCompletion, as above
 */
EDGE_API uint32_t edge_mqtt_publish(edge_mqtt_client_t *client, const char *topic, const void *payload,
                                    int32_t payload_len, int32_t qos, uint32_t wait_ms);

/** Releases the MQTT library's handle (closing the connection without a disconnect) and the
 * client's pool, record included; the password copy is wiped first. While the client is
 * connected, the messages it has accepted (queued, or waiting for the broker's
 * acknowledgement) first get up to EDGE_MQTT_DELETE_DELIVERY_WAIT_MS to reach the broker,
 * so that a publish that returned 0 just before the delete is not dropped with the handle; a
 * client that is not connected, or a connection that drops meanwhile, is released at once.
 * Null is allowed (only logged). From inside a handler (of any client) the call is refused
 * with an ERROR line and the client stays: delete it from another thread. */
EDGE_API void edge_mqtt_delete(edge_mqtt_client_t *client);

/** Each non-null handler replaces the one in its slot; a null argument leaves its slot as it
 * was.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null record */
EDGE_API uint32_t edge_mqtt_set_callback(edge_mqtt_client_t *client, edge_mqtt_delivery_complete_fn delivery_complete,
                                         edge_mqtt_connection_lost_fn connection_lost,
                                         edge_mqtt_message_fn message_arrived, edge_mqtt_connected_fn connected);

/** @{ */
/**
 * The notifications the MQTT library calls, the context always being a record made by
 * edge_mqtt_create. Each logs at DEBUG and forwards to its handler when one is set:
 * connected -> connected handler; connect failed -> connection-lost handler with a null
 * cause; connection lost -> connection-lost handler with the cause; delivery complete ->
 * delivery-complete handler with the token. Message arrived returns 0 (not handled, the
 * message stays with the MQTT library) when no message handler is set; otherwise it calls
 * the handler with the topic's text length, releases message and topic, and returns 1.
 */
EDGE_API void edge_mqtt_connected_callback(void *context, MQTTAsync_successData *response);
EDGE_API void edge_mqtt_connect_failed_callback(void *context, MQTTAsync_failureData *response);
EDGE_API void edge_mqtt_connection_lost_callback(void *context, char *cause);
EDGE_API int edge_mqtt_message_arrived_callback(void *context, char *topic, int topic_len, MQTTAsync_message *message);
EDGE_API void edge_mqtt_delivery_complete_callback(void *context, MQTTAsync_token token);
/** @} */

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_MQTT_H */
