/**
 * @file edge_mqtt_connections.h
 * gravel MQTT connections service (libgravel-mqttconns): the module's connection to the node's
 * MQTT broker. It connects with credentials derived from the module's secret (or its daemon
 * token), retries without end on a background worker, subscribes the module's inbound topics on
 * every connection, hands every inbound message to the application and publishes the module's
 * responses, reports, events and messages.
 *
 * Conventions (besides those of <gravel/edge_base.h>):
 * - Order. edge_base_init, edge_cipher_init, edge_configs_init and edge_mqtt_init come first;
 *   then edge_mqtt_conns_init, edge_mqtt_conns_build_topics, edge_mqtt_conns_set_callback and
 *   edge_mqtt_conns_start_connect. edge_mqtt_conns_destroy comes before the destroys of those
 *   libraries. Init may be called again after destroy and starts from a clean manager; destroy
 *   may be called again (it then does nothing), and every operation after destroy finds no
 *   manager (EDGE_ERR_MISSING, or nothing done).
 * - Configuration. The service reads table 0 of the configuration store at every use:
 *   "mqtt_server_ip", "mqtt_server_port", "module_id", "new_daemon_flag" and "daemon_token"
 *   (encrypted) for each connect try; "device_id" and "module_id" for bodies;
 *   "mqtt_send_mode" and "forbid_send_when_broker_overloaded" for the send policies. It writes
 *   no key.
 * - Ownership. The manager record, its topic table and the connect worker live in the
 *   manager's pool until destroy. Send and build operations take the caller's pool: every
 *   copy, topic and body of the call lives there. Texts handed to the message callback are
 *   valid only during the call.
 * - Statuses. 0 for success, an EDGE_ERR_* code, or the MQTT library's result of a publish
 *   passed back unchanged (negative MQTTASYNC_* codes as their 32-bit two's complement).
 *   Builders return a text or null.
 * - Threads. Sends may be called from any thread, also from inside the callbacks. The
 *   application's callbacks run on the MQTT library's threads, one at a time. The connected
 *   notification never waits for a connect try in progress: it only lowers the worker's
 *   running flag, and the thread is joined by the next start or by destroy. A notification of
 *   a client that a later try has replaced changes nothing. Destroy returns within about five
 *   seconds from every state (a sync send in progress may add its wait), and once it has
 *   returned no callback runs. Destroy must not be called from inside a callback (it is then
 *   refused with an ERROR line). Init and destroy run while no other operation of the
 *   service is in progress on other threads.
 */
#ifndef GRAVEL_EDGE_MQTT_CONNECTIONS_H
#define GRAVEL_EDGE_MQTT_CONNECTIONS_H

#include <stdint.h>

#include <apr_pools.h>

#include <gravel/edge_base.h>
#include <gravel/edge_json.h>
#include <gravel/edge_mqtt.h>
#include <gravel/edge_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Records of the service's bodies
 * ------------------------------------------------------------------------------------------ */

/** The envelope of an event sent on the system event topic. Declares the record
 * ServiceEvent. */
#define EDGE_RECORD_FIELDS_ServiceEvent(F) \
    F(_str, service_id, EDGE_JSON_PRINTED) \
    F(_str, event_type, EDGE_JSON_PRINTED) \
    F(_str, event_time, EDGE_JSON_PRINTED)
/** A command response. Declares the record CommandRsp. */
#define EDGE_RECORD_FIELDS_CommandRsp(F)    \
    F(_int, result_code, EDGE_JSON_PRINTED) \
    F(_str, response_name, EDGE_JSON_PRINTED)

/** The service's record table, in order. Each record's field list gives its fields in order,
 * as (kind, key, print mark). */
#define EDGE_MQTT_RECORD_TABLE(R) \
    R(ServiceEvent)               \
    R(CommandRsp)

EDGE_MQTT_RECORD_TABLE(EDGE_JSON_DECLARE_RECORD)

/* ------------------------------------------------------------------------------------------
 * Topic table
 * ------------------------------------------------------------------------------------------ */

/** The topic table: (field, format). "%s" stands for the module id; the last six entries are
 * fixed names, not topics. Topics marked (+id) are published with "/request_id=<id>" appended.
 * The manager record has one `char *` field of each name. */
#define EDGE_MQTT_CONNS_TOPIC_TABLE(T)                                                                            \
    T(sdk_version_topic, "/modules/%s/sdk/version")                        /* publish: version report */          \
    T(events_notify_topic, "/modules/%s/events/notify")                    /* subscribe */                        \
    T(shadow_get_topic, "/modules/%s/shadow/get")                          /* publish: shadows request */         \
    T(shadow_notify_topic, "/modules/%s/shadow/notify")                    /* subscribe */                        \
    T(messages_inputs_topic, "/modules/%s/messages/inputs/+")              /* subscribe */                        \
    T(messages_outputs_topic, "/modules/%s/messages/outputs")              /* publish: bus message, + name */     \
    T(sys_events_up_topic, "$qx/modules/%s/sys/events/up")                 /* publish: events */                  \
    T(sys_events_down_topic, "$qx/modules/%s/sys/events/down")             /* subscribe */                        \
    T(sys_commands_topic, "$qx/modules/%s/sys/commands/+")                 /* subscribe */                        \
    T(sys_commands_response_topic, "$qx/modules/%s/sys/commands/response") /* publish (+id) */                    \
    T(sys_messages_up_topic, "$qx/modules/%s/sys/messages/up")             /* publish: device message */          \
    T(sys_messages_down_topic, "$qx/modules/%s/sys/messages/down")         /* subscribe */                        \
    T(sys_properties_get_topic, "$qx/modules/%s/sys/properties/get/+")     /* subscribe */                        \
    T(sys_properties_get_response_topic, "$qx/modules/%s/sys/properties/get/response") /* (+id) */                \
    T(sys_properties_set_topic, "$qx/modules/%s/sys/properties/set/+")                 /* subscribe */            \
    T(sys_properties_set_response_topic, "$qx/modules/%s/sys/properties/set/response") /* (+id) */                \
    T(customized_inputs_topic, "/modules/%s/customized/inputs/#")                      /* subscribe */            \
    T(customized_outputs_topic, "/modules/%s/customized/outputs")                      /* publish, + sub-topic */ \
    T(points_set_request_topic, "/modules/%s/points/set/request/+")                    /* subscribe */            \
    T(points_get_request_topic, "/modules/%s/points/get/request/+")                    /* subscribe */            \
    T(points_set_response_topic, "/modules/%s/points/set/response")                    /* publish (+id) */        \
    T(points_get_response_topic, "/modules/%s/points/get/response")                    /* publish (+id) */        \
    T(points_report_topic, "/modules/%s/points/report")                                /* publish */              \
    T(datasource_state_topic, "/modules/%s/datasource/connection/state")               /* publish */              \
    T(h2m_request_topic, "/modules/%s/h2m/request/+")                                  /* subscribe */            \
    T(m2h_get_properties_request_topic, "/modules/%s/m2h/get_properties/request")      /* publish (+id) */        \
    T(m2h_set_properties_request_topic, "/modules/%s/m2h/set_properties/request")      /* publish (+id) */        \
    T(h2m_response_topic, "/modules/%s/h2m/response")                                  /* publish (+id) */        \
    T(m2h_get_properties_response_topic, "/modules/%s/m2h/get_properties/response/+")  /* subscribe */            \
    T(m2h_set_properties_response_topic, "/modules/%s/m2h/set_properties/response/+")  /* subscribe */            \
    T(sys_shadow_get_topic, "$qx/modules/%s/sys/shadow/get")                           /* publish (+id) */        \
    T(sys_shadow_get_response_topic, "$qx/modules/%s/sys/shadow/get/response/+")       /* subscribe */            \
    T(sys_sub_devices_report_topic, "$qx/modules/%s/sys/gateway/sub_devices/properties/report")                   \
    T(sub_devices_report_topic, "/modules/%s/sub_devices/properties/report")                                      \
    T(sub_device_manager_name, "$sub_device_manager")            /* service id */                                 \
    T(sub_device_discovery_name, "$sub_device_discovery")        /* service id */                                 \
    T(add_sub_device_notify_name, "add_sub_device_notify")       /* event type */                                 \
    T(delete_sub_device_notify_name, "delete_sub_device_notify") /* event type */                                 \
    T(start_scan_name, "start_scan")                             /* event type */                                 \
    T(get_products_response_name, "get_products_response")       /* event type */

/** Entries of the topic table. */
#define EDGE_MQTT_CONNS_TOPIC_COUNT 40
/** Inbound topics subscribed on every connection. */
#define EDGE_MQTT_CONNS_SUBSCRIPTION_COUNT 15
/** The QoS of every subscription and send. */
#define EDGE_MQTT_CONNS_QOS 1
/** The sync send wait of the points report and the batch device data message with
 * "mqtt_send_mode" 1, in milliseconds. */
#define EDGE_MQTT_CONNS_SYNC_WAIT_MS 3000
/** The marker before a request id, the topic's last level. */
#define EDGE_MQTT_CONNS_REQUEST_ID_MARKER "/request_id="

/* ------------------------------------------------------------------------------------------
 * Application callbacks and the manager record
 * ------------------------------------------------------------------------------------------ */

/** An inbound message: the topic without its request id, the request id (null when the topic
 * carries none; empty when the topic ends in the marker), the payload (not NUL-terminated)
 * and its length. All are valid only during the call. Returns 0 when handled. */
typedef uint32_t (*edge_mqtt_conns_msg_fn)(const char *topic, const char *request_id, const void *payload,
                                           int32_t payload_len);
/** Called after each successful connection (connected) or on each connection loss and failed
 * connect attempt (disconnected). */
typedef void (*edge_mqtt_conns_event_fn)(void);

/** Declares one topic field of the manager record from its topic table entry. */
#define EDGE_MQTT_CONNS_TOPIC_FIELD(field, format) char *field;

/**
 * The manager, "MQTT_CONNS_MGR" in registry slot 7. The layer above reads the topic table and
 * writes broker_overloaded through edge_MQTT_CONNS_MGR_mgr_get(); every other field is written
 * by this library only. `connected` is read and written atomically. After broker_overloaded
 * come the topic table's 40 `char *` fields (EDGE_MQTT_CONNS_TOPIC_TABLE, in table order),
 * null until built.
 */
typedef struct edge_mqtt_conns_mgr_s {
    edge_mgr_head_t head;       /**< slot, name, the manager's pool */
    edge_mqtt_client_t *client; /**< the current MQTT client, or null before the first try */
    int32_t connected;          /**< 1 from the connected notification on, else 0 */
    int32_t broker_overloaded;  /**< set by the layer above; cleared by init */
    EDGE_MQTT_CONNS_TOPIC_TABLE(EDGE_MQTT_CONNS_TOPIC_FIELD) /* null until built */
    edge_mqtt_conns_msg_fn msg_callback;                     /**< the application's message callback */
    edge_mqtt_conns_event_fn connected_callback;             /**< after each connection, or null */
    edge_mqtt_conns_event_fn disconnected_callback;          /**< on each loss or failed try, or null */
    edge_base_retry_t *connect_worker;                       /**< "edge_mqtt_connections", in the manager's pool */
} edge_mqtt_conns_mgr_t;

EDGE_MGR_DECLARE_ACCESSORS(MQTT_CONNS, edge_mqtt_conns_mgr_t)

/* ------------------------------------------------------------------------------------------
 * Lifecycle
 * ------------------------------------------------------------------------------------------ */

/**
 * Creates the manager with a cleared record and its connect worker (no try limit, delays up to
 * 128 s, not stopped by a try's success). An existing manager is destroyed first.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING the manager or the worker cannot be made
 * @logs INFO "edge mqtt connections init success.".
 */
EDGE_API uint32_t edge_mqtt_conns_init(void);

/**
 * Stops the connect worker, deletes the client, waits for callbacks in progress and deletes
 * the manager, clearing its record. Nothing without a manager.
 */
EDGE_API void edge_mqtt_conns_destroy(void);

/**
 * Starts the connect worker: a try at once, then after 2, 4, 8 ... 128 s until connected. Does
 * nothing while the worker runs.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without manager
 * @return otherwise the worker's start status
 * @logs INFO "start mqtt connections.".
 */
EDGE_API uint32_t edge_mqtt_conns_start_connect(void);

/**
 * One connect try, the worker's operation (the argument is not used): a new client with fresh
 * credentials, then a connect attempt.
 * @retval 0 the attempt started, or already connected
 * @retval EDGE_ERR_MISSING without manager
 * @return otherwise the status of edge_mqtt_conns_create_handler, or the MQTT library's
 *         result of the connect
 * @logs WARN "already connected."; ERROR "mqtt connect failed, ret:%d".
 */
EDGE_API uint32_t edge_mqtt_conns_connect_runner(void *arg);

/**
 * Replaces the manager's client with a new one built from the configuration store.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without record
 * @retval EDGE_ERR_MQTT_CONNECTED while connected
 * @retval EDGE_ERR_NO_MEMORY without scratch pool
 * @retval EDGE_ERR_BAD_ARGUMENT module id, client id, password or broker address is missing
 * @retval EDGE_ERR_MQTT_CREATE no client resulted
 * @logs ERROR "mqtt have already connected."; "build mqtt connect info failed, moduleId
 * clientId or password is empty."; "create mqtt handler failed.".
 */
EDGE_API uint32_t edge_mqtt_conns_create_handler(edge_mqtt_conns_mgr_t *mgr);

/** "module_<module id>_1_<UTC time %Y%m%d%H%M%S>" in the pool; null without pool or module id. */
EDGE_API char *edge_mqtt_conns_build_client_id(apr_pool_t *pool, const char *module_id);

/**
 * The connect password in the pool: with new_daemon_flag set, the decrypted "daemon_token"
 * (at most 255 characters; INFO "new daemon token not get, ignore." and null when it does not
 * decrypt); otherwise the 64 lowercase hex digits of the HMAC-SHA256 of the client id under
 * the domain key "secret" (ERROR "build password failed, digest failed, ret:%d" and null on
 * failure). Null without pool or client id. The result is a secret: wipe it when done.
 */
EDGE_API char *edge_mqtt_conns_build_password(apr_pool_t *pool, const char *client_id, uint32_t new_daemon_flag);

/** The MQTT client's connected handler: subscribes the inbound topics, sets the connected flag,
 * lowers the worker's flag and calls the connected callback. Logs INFO "mqtt connected.",
 * ERROR "mqtt subscribe topics failed, ret:%d", INFO "mqtt connected end.". */
EDGE_API void edge_mqtt_conns_recv_connected(void);

/** The MQTT client's connection-lost handler (cause may be null): calls the disconnected
 * callback, clears the connected flag and starts the worker again. Logs ERROR "recv
 * disconnected, cause:%s" ("(null)" without cause). */
EDGE_API void edge_mqtt_conns_recv_disconnected(const char *cause);

/** Clears the connected flag and disconnects the client; the worker is not touched and no
 * callback runs.
 * @retval EDGE_ERR_MISSING without manager, or without client
 * @return otherwise the status of edge_mqtt_disconnect */
EDGE_API uint32_t edge_mqtt_conns_disconnect(void);

/* ------------------------------------------------------------------------------------------
 * Topics and inbound dispatch
 * ------------------------------------------------------------------------------------------ */

/** Builds the 40 entries of the topic table from "module_id".
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without record
 * @retval EDGE_ERR_NO_MODULE_ID no "module_id" in the store
 * @logs ERROR "module_id is empty, has sdk already bound?". */
EDGE_API uint32_t edge_mqtt_conns_build_topics(edge_mqtt_conns_mgr_t *mgr);

/** Requests the 15 inbound subscriptions, QoS 1, in table order (2, 4, 5, 8, 9, 12, 13, 15, 32,
 * 17, 19, 20, 25, 29, 30); a refused one does not stop the others.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without record or client
 * @retval EDGE_ERR_BAD_ARGUMENT the table was never built */
EDGE_API uint32_t edge_mqtt_conns_subscribe_topics(edge_mqtt_conns_mgr_t *mgr);

/** Stores the three callbacks (the last two may be null).
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without manager or message callback (nothing stored then) */
EDGE_API uint32_t edge_mqtt_conns_set_callback(edge_mqtt_conns_msg_fn msg_callback,
                                               edge_mqtt_conns_event_fn connected_callback,
                                               edge_mqtt_conns_event_fn disconnected_callback);

/** The MQTT client's message handler: splits the request id off at the first "/request_id="
 * (none when absent or at position 0) and calls the message callback.
 * @retval 0 handled, no message callback, or destroy under way (the message is dropped)
 * @retval EDGE_ERR_BAD_ARGUMENT an empty topic or payload (no callback)
 * @retval EDGE_ERR_MISSING without manager
 * @retval EDGE_ERR_NO_MEMORY no scratch pool or copy
 * @return otherwise the callback's status
 * @logs INFO "recv msg, topic:%s, payload_len:%d" with the topic masked. */
EDGE_API uint32_t edge_mqtt_conns_recv_msg(const char *topic, int32_t topic_len, const void *payload,
                                           int32_t payload_len);

/* ------------------------------------------------------------------------------------------
 * Send policies
 * ------------------------------------------------------------------------------------------ */

/** EDGE_MQTT_CONNS_SYNC_WAIT_MS when "mqtt_send_mode" is exactly 1, else 0. */
EDGE_API uint32_t edge_mqtt_conns_get_timeout(void);
/** 1 when "forbid_send_when_broker_overloaded" is 1 or more and the record's broker_overloaded
 * is non-zero, else 0 (also for null).
 * @logs WARN "broker is overloadding, will forbid sending" when it returns 1. */
EDGE_API int32_t edge_mqtt_conns_is_sending_forbidden(edge_mqtt_conns_mgr_t *mgr);

/* ------------------------------------------------------------------------------------------
 * Outbound messages
 * ------------------------------------------------------------------------------------------ */

/**
 * The core send on `topic` with the manager's client and the given wait. EDGE_ERR_MISSING for
 * a missing topic, for a request id without pool, or a null record.
 *
 * Common rules of every outbound message below:
 * - QoS 1, never retained; no retry or queue: a failed send is lost and its status returned.
 * - A body (text, length) is copied up to `length` bytes into the pool and sent up to its
 *   first NUL byte. A non-empty request id is appended to the topic as "/request_id=<id>".
 * - Order of checks: arguments (EDGE_ERR_BAD_ARGUMENT), manager (EDGE_ERR_MISSING), sending
 *   forbidden where stated (EDGE_ERR_BROKER_OVERLOADED), connected (ERROR "mqtt not
 *   connected.", EDGE_ERR_MQTT_NOT_CONNECTED), body, publish. A topic table that was never
 *   built gives EDGE_ERR_MISSING from the core send without a log line.
 * - A failed publish is logged by the core ("send message error, ret:%d") and again by every
 *   operation it passed through, with the message named at each below.
 * - Pools: every operation but edge_mqtt_conns_send_shadows_req needs one (EDGE_ERR_BAD_ARGUMENT
 *   without).
 *
 * The core send itself:
 * @retval 0 sent (queued, or delivered within the wait)
 * @retval EDGE_ERR_MISSING a missing topic or record, or a request id without pool
 * @retval EDGE_ERR_MQTT_NOT_CONNECTED not connected
 * @retval EDGE_ERR_NO_MEMORY the topic with its request id cannot be made
 * @return otherwise the MQTT library's result of the publish
 */
EDGE_API uint32_t edge_mqtt_conns_send_message(edge_mqtt_conns_mgr_t *mgr, const char *topic, const void *payload,
                                               int32_t payload_len, const char *request_id, apr_pool_t *pool,
                                               uint32_t wait_ms);
/** {"sdk_version":"<kit version>","sdk_lang":"c"} on the version topic; EDGE_ERR_JSON_BODY
 * without a pool (after the manager check). */
EDGE_API uint32_t edge_mqtt_conns_report_sdk_version(apr_pool_t *pool);
/** A request relay on `topic` + id ("send sub device property set rsp error, ret:%d"). */
EDGE_API uint32_t edge_mqtt_conns_send_request(const char *topic, const char *request_id, const char *body,
                                               uint32_t body_len, apr_pool_t *pool);
/** An empty message on the shadow get topic. */
EDGE_API uint32_t edge_mqtt_conns_send_shadows_req(void);
/** A command response (parameters optional: JSON text) on the command response topic + id;
 * EDGE_ERR_JSON_BODY when the body cannot be built (ERROR "build cmd rsp json failed."). */
EDGE_API uint32_t edge_mqtt_conns_send_cmd_rsp(const char *response_name, const char *request_id, int32_t result_code,
                                               const char *paras, uint32_t paras_len, apr_pool_t *pool);
/** @{ */
/** Relays on their response or request topics + id; statuses as edge_mqtt_conns_send_message
 * says. */
EDGE_API uint32_t edge_mqtt_conns_send_module_request_rsp(const char *request_id, const char *body, uint32_t body_len,
                                                          apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_module_get_properties(const char *request_id, const char *body,
                                                             uint32_t body_len, apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_module_set_properties(const char *request_id, const char *body,
                                                             uint32_t body_len, apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_sub_device_property_get(const char *request_id, const char *body,
                                                               uint32_t body_len, apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_sub_device_property_set_rsp(const char *request_id, const char *body,
                                                                   uint32_t body_len, apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_get_sub_device_shadow(const char *request_id, const char *body,
                                                             uint32_t body_len, apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_points_get_rsp(const char *request_id, const char *body, uint32_t body_len,
                                                      apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_points_set_rsp(const char *request_id, const char *body, uint32_t body_len,
                                                      apr_pool_t *pool);
/** @} */
/** The points report on its topic. It honours the sync send wait and the sending-forbidden
 * policy, as edge_mqtt_conns_send_batch_device_data_message does; statuses as
 * edge_mqtt_conns_send_message says. */
EDGE_API uint32_t edge_mqtt_conns_send_points_report(const char *body, uint32_t body_len, apr_pool_t *pool);
/** The data source connection state report on its topic, without wait or sending-forbidden
 * policy; statuses as edge_mqtt_conns_send_message says. */
EDGE_API uint32_t edge_mqtt_conns_send_datasource_connect_state_report(const char *body, uint32_t body_len,
                                                                       apr_pool_t *pool);
/** A device message on the system messages up topic; statuses as edge_mqtt_conns_send_message
 * says. */
EDGE_API uint32_t edge_mqtt_conns_send_device_message(const char *body, uint32_t body_len, apr_pool_t *pool);
/** A device event on the system events up topic; statuses as edge_mqtt_conns_send_message
 * says. */
EDGE_API uint32_t edge_mqtt_conns_send_device_event(const char *body, uint32_t body_len, apr_pool_t *pool);
/** Sub-device properties on the system sub-devices report topic. It honours the sync send wait
 * and the sending-forbidden policy, as edge_mqtt_conns_send_points_report does; statuses as
 * edge_mqtt_conns_send_message says. */
EDGE_API uint32_t edge_mqtt_conns_send_batch_device_data_message(const char *body, uint32_t body_len, apr_pool_t *pool);
/** Discovered sub-devices' properties on the sub-devices report topic, without wait or
 * sending-forbidden policy; statuses as edge_mqtt_conns_send_message says. */
EDGE_API uint32_t edge_mqtt_conns_send_batch_device_discovery_data_message(const char *body, uint32_t body_len,
                                                                           apr_pool_t *pool);
/** An event (event id optional) in the service event envelope on the system event topic;
 * EDGE_ERR_JSON_BODY when the envelope cannot be built (ERROR "build service event json
 * failed."). */
EDGE_API uint32_t edge_mqtt_conns_send_service_event(const char *event_id, const char *service_id,
                                                     const char *event_type, const char *paras, uint32_t paras_len,
                                                     apr_pool_t *pool);
/** @{ */
/** Sub-device events, sent as service events (EDGE_ERR_BAD_ARGUMENT when a body cannot be
 * built). */
EDGE_API uint32_t edge_mqtt_conns_send_get_device_product(const char *body, uint32_t body_len, apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_sync_sub_device_event(const char *event_id, int64_t version, apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_sub_device_status_event(const char *event_id, const char *statuses,
                                                               apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_scan_result_event(const char *state, const char *devices, apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_add_sub_device_event(const char *devices, apr_pool_t *pool);
EDGE_API uint32_t edge_mqtt_conns_send_delete_sub_device_event(const char *devices, apr_pool_t *pool);
/** @} */
/** A bus message on the outputs topic + "/" + output name, without connected test. ERROR
 * "output or body is empty. output topic is: %s, body is: %s" and EDGE_ERR_MISSING for a
 * missing name or body or a zero length. */
EDGE_API uint32_t edge_mqtt_conns_send_bus_message(const char *output, const char *body, uint32_t body_len,
                                                   apr_pool_t *pool);
/** A user-defined message on the customized outputs topic + "/" + sub-topic. */
EDGE_API uint32_t edge_mqtt_conns_send_customized_message(const char *sub_topic, const char *body, uint32_t body_len,
                                                          apr_pool_t *pool);

/* ------------------------------------------------------------------------------------------
 * Bodies
 * ------------------------------------------------------------------------------------------ */

/** {"result_code", "response_name", "paras": the parameters or {}}. Like every body builder
 * below, it returns the text in the pool, or null (ERROR "parse json error." when a given JSON
 * text does not parse or a node cannot be made). */
EDGE_API char *edge_mqtt_conns_build_cmd_rsp(const char *response_name, int32_t result_code, const char *paras,
                                             apr_pool_t *pool);
/** {"services":[{"service_id","event_type","event_time" (UTC, 20230307T090807Z),"event_id"
 * (when given),"paras"}],"object_device_id": "device_id" of the store}. */
EDGE_API char *edge_mqtt_conns_build_service_event(const char *event_id, const char *service_id, const char *event_type,
                                                   const char *paras, apr_pool_t *pool);
/** {"state","module_id": "module_id" of the store,"devices"}; devices_len is not used. */
EDGE_API char *edge_mqtt_conns_build_scan_result(const char *state, const char *devices, uint32_t devices_len,
                                                 apr_pool_t *pool);
/** {"version"} as a number: the version's exact digits. */
EDGE_API char *edge_mqtt_conns_build_sync_sub_device(int64_t version, apr_pool_t *pool);
/** {"device_statuses"}. */
EDGE_API char *edge_mqtt_conns_build_sub_device_status(const char *statuses, apr_pool_t *pool);
/** {"device_id"}. */
EDGE_API char *edge_mqtt_conns_build_delete_sub_device(const char *device_id, apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_MQTT_CONNECTIONS_H */
