/**
 * @file edge_http_connections.h
 * gravel HTTP connections service (libgravel-httpconns): the JSON bodies the service
 * exchanges with the hub and the local daemon, as records with their jobs.
 *
 * Conventions (see <gravel/edge_base.h> and <gravel/edge_json.h>):
 * - Every body is one flat JSON object whose members are a record's fields. Each record type
 *   T below has three exported jobs, made from its declaration in the record table:
 *   - edge_json_set<T>_job (parent, name, record): adds the record to a cJSON parent. With no
 *     name, the fields become members of the parent object itself (what
 *     edge_json_struct_to_str uses); with a name, a new object member of that name; into an
 *     array parent, a new element, name or not. Every field is written, hidden ones too.
 *     0; EDGE_ERR_MISSING (no parent or record, or no object could be made);
 *     EDGE_ERR_BAD_ARGUMENT for a parent that is neither an object nor an array; or a field
 *     job's status (nothing is attached to the parent then).
 *   - edge_json_get<T>_job (object, pool, name, record): fills the record from a JSON object
 *     (the name is not used). The pool field is set to `pool`, and the strings are copied
 *     into it. Members are matched by exact, case-sensitive name; each must be present and
 *     of its field's kind (a string may also be JSON null). 0; EDGE_ERR_MISSING (no
 *     record, object or pool); EDGE_ERR_BAD_ARGUMENT when the node is not an object (the
 *     record is untouched); otherwise the first failing field job's status, logged as
 *     ERROR "get type:<kind> node_name:<key> failed, ret = <status>", with the fields
 *     before it filled and those after it untouched.
 *   - edge_json_print<T>_job (record, result, pool, flag): one line for logs, in the pool.
 *     Flag 0: nothing done. A record whose every field (and pool) is zero: "(zero), ".
 *     Otherwise "[" + "key : value, " for each printed field in table order + "]", where a
 *     zero field shows as "(zero)". Hidden fields are never shown. 0; EDGE_ERR_MISSING.
 * - Records filled by a caller for sending leave `pool` null and borrow their strings.
 * - Threads: the jobs keep no state; a record and a pool are used by one thread at a time.
 *
 * The service (below the record table):
 * - Order. edge_base_init, edge_cipher_init, edge_configs_init, edge_http_init; the layer
 *   above fills the configuration store (table 0: "module_id", "http_server_ip",
 *   "http_server_port", the encrypted "verify_code", "daemon_verify_code", "new_daemon_flag");
 *   then edge_http_conns_init. edge_http_conns_destroy comes before edge_http_destroy.
 *   Before init and after destroy the operations find no manager: EDGE_ERR_MISSING, or null.
 *   A second destroy does nothing; init after destroy starts from empty holders.
 * - Pools. Every operation takes the caller's pool: URLs, bodies, header lines and parsed
 *   records of one call are allocated there (buffers that held a verify code, token or
 *   password are wiped when that pool is cleared or destroyed). Only the manager's holders
 *   outlive a call; read them through edge_HTTP_CONNS_MGR_mgr_get after the operation that
 *   fills them returned 0, until the next operation of the same kind replaces them.
 * - Holder update, the same for every holder: the holder's pool (a child of the manager's
 *   pool) is wiped and destroyed and the holder zeroed, a new pool is made (EDGE_ERR_NO_MEMORY
 *   when it cannot be) and the received strings are copied into it with the numbers. A daemon
 *   saver checks the received record first: a record that fails its checks (EDGE_ERR_MISSING)
 *   leaves the holder as it was.
 * - Statuses: 0; EDGE_ERR_MISSING (missing argument or manager, a received record that fails
 *   its checks); EDGE_ERR_NO_MEMORY (no memory, no HTTP handle, no URL or header line); the
 *   request-failure status of each operation (a transport failure or any HTTP status but 200);
 *   configuration, cipher and JSON statuses where stated.
 * - Requests. Hub: HTTPS to "http_server_ip":"http_server_port", the peer verified as
 *   <gravel/edge_http.h> says, with "Authorization: <client id>;<module id>;<password>".
 *   Local daemon: "http://127.0.0.1" + path, sent to the daemon's unix-domain socket by the HTTP
 *   client, with "Authorization:<daemon token>" where marked. A peer that sends nothing for 60
 *   seconds ends a request with libcurl's time-out, reported as the request's failure.
 * - Logs. Response bodies of credential requests (bind, daemon bind, sign, verify, cloud
 *   tokens, device sign, node certificates, decrypt) are logged masked in failure lines; the
 *   daemon verify code is logged masked; keys, tokens and passwords are never logged.
 * - Threads. The service takes no lock. The sign loop runs on its schedule job's thread and
 *   updates `daemon_token` and the configuration store there; do not run a daemon bind or sign
 *   on another thread meanwhile, nor read `daemon_token` while it may be replaced. Every other
 *   holder is changed only by the caller's own operations: one operation of a kind at a time.
 */
#ifndef GRAVEL_EDGE_HTTP_CONNECTIONS_H
#define GRAVEL_EDGE_HTTP_CONNECTIONS_H

#include <stdint.h>

#include <apr_pools.h>

#include <gravel/edge_base.h>
#include <gravel/edge_http.h>
#include <gravel/edge_json.h>
#include <gravel/edge_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * The record table
 * ------------------------------------------------------------------------------------------ */

/** Hub bind request. Declares the record BindReqBody. */
#define EDGE_RECORD_FIELDS_BindReqBody(F) \
    F(_str, module_id, EDGE_JSON_PRINTED) \
    F(_str, verify_code, EDGE_JSON_HIDDEN)
/** Hub bind response. Declares the record BindRspBody. */
#define EDGE_RECORD_FIELDS_BindRspBody(F) \
    F(_str, secret, EDGE_JSON_HIDDEN)     \
    F(_str, crypt_key, EDGE_JSON_HIDDEN)
/** Hub cloud-token response. Declares the record NodeConfigRsp. */
#define EDGE_RECORD_FIELDS_NodeConfigRsp(F) \
    F(_str, access_key, EDGE_JSON_HIDDEN)   \
    F(_str, secret_key, EDGE_JSON_HIDDEN)   \
    F(_str, region, EDGE_JSON_PRINTED)      \
    F(_str, expires_at, EDGE_JSON_PRINTED)
/** Daemon bind request. Declares the record DaemonBindReqBody. */
#define EDGE_RECORD_FIELDS_DaemonBindReqBody(F) F(_str, verify_code, EDGE_JSON_HIDDEN)
/** Daemon bind and sign response. Declares the record DaemonBindRspBody. */
#define EDGE_RECORD_FIELDS_DaemonBindRspBody(F) \
    F(_str, token, EDGE_JSON_HIDDEN)            \
    F(_ll, expires_at, EDGE_JSON_PRINTED)
/** Daemon verify request. Declares the record VerifyReqBody. */
#define EDGE_RECORD_FIELDS_VerifyReqBody(F) F(_str, token, EDGE_JSON_HIDDEN)
/** Daemon verify response. Declares the record VerifyRspBody. */
#define EDGE_RECORD_FIELDS_VerifyRspBody(F) \
    F(_str, module_id, EDGE_JSON_PRINTED)   \
    F(_ll, expires_at, EDGE_JSON_PRINTED)
/** Daemon cloud-token response. Declares the record CloudTokenRspBody. */
#define EDGE_RECORD_FIELDS_CloudTokenRspBody(F) \
    F(_str, access_key, EDGE_JSON_HIDDEN)       \
    F(_str, secret_key, EDGE_JSON_HIDDEN)       \
    F(_str, auth_token, EDGE_JSON_HIDDEN)       \
    F(_str, region, EDGE_JSON_PRINTED)          \
    F(_str, expires_at, EDGE_JSON_PRINTED)      \
    F(_str, token, EDGE_JSON_HIDDEN)            \
    F(_str, kelp_address, EDGE_JSON_PRINTED)    \
    F(_str, dock_api_address, EDGE_JSON_PRINTED)
/** Daemon certificates response. Declares the record NodeCertsRspBody. */
#define EDGE_RECORD_FIELDS_NodeCertsRspBody(F) \
    F(_str, certificate, EDGE_JSON_HIDDEN)     \
    F(_ll, expires_at, EDGE_JSON_PRINTED)      \
    F(_str, private_key, EDGE_JSON_HIDDEN)
/** Daemon trust certificates response. Declares the record ModuleTrustCertsRspBody. */
#define EDGE_RECORD_FIELDS_ModuleTrustCertsRspBody(F) \
    F(_str, certificate, EDGE_JSON_HIDDEN)            \
    F(_ll, expires_at, EDGE_JSON_PRINTED)
/** Daemon device-sign response. Declares the record DeviceSignRspBody. */
#define EDGE_RECORD_FIELDS_DeviceSignRspBody(F) \
    F(_str, client_id, EDGE_JSON_HIDDEN)        \
    F(_str, password, EDGE_JSON_HIDDEN)
/** Daemon encrypt request. Declares the record EncryptReqBody. */
#define EDGE_RECORD_FIELDS_EncryptReqBody(F) \
    F(_str, plaintext, EDGE_JSON_HIDDEN)     \
    F(_str, algorithm, EDGE_JSON_HIDDEN)
/** Daemon encrypt response. Declares the record EncryptRspBody. */
#define EDGE_RECORD_FIELDS_EncryptRspBody(F) F(_str, ciphertext, EDGE_JSON_HIDDEN)
/** Daemon decrypt request. Declares the record DecryptReqBody. */
#define EDGE_RECORD_FIELDS_DecryptReqBody(F) \
    F(_str, ciphertext, EDGE_JSON_HIDDEN)    \
    F(_str, algorithm, EDGE_JSON_HIDDEN)
/** Daemon decrypt response. Declares the record DecryptRspBody. */
#define EDGE_RECORD_FIELDS_DecryptRspBody(F) F(_str, plaintext, EDGE_JSON_HIDDEN)
/** Daemon digest request. Declares the record DigestReqBody. */
#define EDGE_RECORD_FIELDS_DigestReqBody(F) \
    F(_str, data, EDGE_JSON_HIDDEN)         \
    F(_str, algorithm, EDGE_JSON_HIDDEN)
/** Daemon digest response. Declares the record DigestRspBody. */
#define EDGE_RECORD_FIELDS_DigestRspBody(F) F(_str, digest, EDGE_JSON_HIDDEN)
/** App device-command request. Declares the record CommandReqBody. */
#define EDGE_RECORD_FIELDS_CommandReqBody(F) \
    F(_str, command, EDGE_JSON_PRINTED)      \
    F(_ll, timeout, EDGE_JSON_PRINTED)

/** The service's record table, in order. R is applied to each record type name. Each record's
 * field list (EDGE_RECORD_FIELDS_<record>) gives its fields in order, as (kind, key, print
 * mark). The key is the JSON member name and the field's name; kinds _str (const char *), _ll
 * (int64_t). */
#define EDGE_HTTP_RECORD_TABLE(R) \
    R(BindReqBody)                \
    R(BindRspBody)                \
    R(NodeConfigRsp)              \
    R(DaemonBindReqBody)          \
    R(DaemonBindRspBody)          \
    R(VerifyReqBody)              \
    R(VerifyRspBody)              \
    R(CloudTokenRspBody)          \
    R(NodeCertsRspBody)           \
    R(ModuleTrustCertsRspBody)    \
    R(DeviceSignRspBody)          \
    R(EncryptReqBody)             \
    R(EncryptRspBody)             \
    R(DecryptReqBody)             \
    R(DecryptRspBody)             \
    R(DigestReqBody)              \
    R(DigestRspBody)              \
    R(CommandReqBody)

/* Each record: `apr_pool_t *pool;` then its fields in table order (const char * for _str,
 * int64_t for _ll), and its three jobs. */
EDGE_HTTP_RECORD_TABLE(EDGE_JSON_DECLARE_RECORD)

/* ------------------------------------------------------------------------------------------
 * The manager
 * ------------------------------------------------------------------------------------------ */
/** The HTTP connections manager, "HTTP_CONNS_MGR" in registry slot 6: its holders of the
 * answers received. Unlike the other managers it has one field before its head;
 * edge_HTTP_CONNS_MGR_get_vector returns the head's address. Holders are allocated
 * zero-filled from the manager's pool at init and live as long as the manager. */
typedef struct edge_http_conns_mgr_s {
    apr_pool_t *result_pool;              /**< owns crypto_result; null until the first crypto result */
    edge_mgr_head_t head;                 /**< slot, name, the manager's pool */
    NodeConfigRsp *node_config;           /**< hub cloud token */
    CloudTokenRspBody *cloud_token;       /**< daemon cloud token */
    DaemonBindRspBody *daemon_token;      /**< daemon token and its expiry (ms since the epoch) */
    VerifyRspBody *verify_result;         /**< last daemon verify answer */
    DeviceSignRspBody *device_sign;       /**< last daemon device signature */
    NodeCertsRspBody *node_certs;         /**< node certificate and private key */
    ModuleTrustCertsRspBody *trust_certs; /**< trust certificates */
    char *crypto_result;                  /**< last daemon encrypt, decrypt or digest result */
    edge_base_schedule_job_t *sign_job;   /**< "edge_daemon_http_token", the daemon token renewal */
} edge_http_conns_mgr_t;

EDGE_MGR_DECLARE_ACCESSORS(HTTP_CONNS, edge_http_conns_mgr_t)

/** Allocates, zero-filled from the manager's pool and in this order, daemon_token,
 * cloud_token, verify_result, device_sign, node_certs and trust_certs.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null record or one without its pool
 * @retval EDGE_ERR_NO_MEMORY at the first allocation that fails (those before it stay) */
EDGE_API uint32_t edge_http_init_external_param(edge_http_conns_mgr_t *mgr);

/* ------------------------------------------------------------------------------------------
 * Life cycle
 * ------------------------------------------------------------------------------------------ */

/** Creates the manager, the sign job (first run 10 s after edge_daemon_http_start_loop, then as
 * the sign runner says, 30 s after a failure; not started) and the seven holders. A failed
 * init deletes the manager again.
 * @retval 0 success, also when already initialised (nothing changes)
 * @retval EDGE_ERR_MISSING the manager cannot be created
 * @retval EDGE_ERR_NO_MEMORY the sign job or a holder cannot be made
 * @return otherwise the holders' status
 * @logs INFO "edge http connections init success."; ERROR "edge http connections init
 * external param fail.". */
EDGE_API uint32_t edge_http_conns_init(void);

/** Aborts a request of the sign loop in flight, stops and deletes the sign job (returns within
 * about a second even while the daemon stalls), wipes the holders and deletes the manager
 * with every holder and pool. Without a manager it does nothing. */
EDGE_API void edge_http_conns_destroy(void);

/* ------------------------------------------------------------------------------------------
 * Hub: bind, cloud token, credentials
 * ------------------------------------------------------------------------------------------ */

/** POSTs a BindReqBody (module id, decrypted verify code) to
 * "https://<ip>:<port>/gatewell/api/v1/modules/bind" and keeps the answer's "secret" and
 * "crypt_key" as enduring domain keys (edge_http_conns_save_bind_rsp).
 * @retval 0 success
 * @retval EDGE_ERR_MISSING no pool or manager
 * @retval EDGE_ERR_NO_MEMORY no handle
 * @retval EDGE_ERR_HUB_BIND the request fails
 * @return otherwise the builder's or the saver's status
 * @logs ERROR: "create http handler error.", "build bind req failed.", "http request error,
 * ret:%d, status:%d, body:%s" (body masked), "save secret to domain key error, ret:%d". */
EDGE_API uint32_t edge_http_conns_bind(apr_pool_t *pool);

/** Fills *url with the bind URL and `req` with the module id and the verify code decrypted
 * from the store (at most 63 characters) in the pool. `mgr` is only checked for presence.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument
 * @retval EDGE_ERR_NO_MEMORY "http_server_ip" is absent or empty
 * @return otherwise the decryption's status
 * @logs ERROR "decrypt verify_code error, ret:%d" when the decryption fails. */
EDGE_API uint32_t edge_http_conns_build_bind_req(edge_http_conns_mgr_t *mgr, char **url, BindReqBody *req,
                                                 apr_pool_t *pool);

/** Enters "secret" and "crypt_key" (their characters as received) as enduring domain keys
 * through edge_cipher_save_auth_keys; names already present keep their keys.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING no record or pool, or an absent or empty key
 * @return otherwise the cipher's status */
EDGE_API uint32_t edge_http_conns_save_bind_rsp(const BindRspBody *rsp, apr_pool_t *pool);

/** GETs "https://<ip>:<port>/gatewell/api/v1/credentials/agency" with the Authorization line
 * and keeps the answer in node_config (edge_http_conns_save_cloud_token). A failure before
 * the save leaves node_config as it was.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING no pool or manager
 * @retval EDGE_ERR_NO_MEMORY no URL, header line or handle
 * @retval EDGE_ERR_HUB_CLOUD_TOKEN the request fails
 * @return otherwise the saver's status
 * @logs ERROR: "build get cloud token url failed.", "build auth token failed.", "create http
 * handler error.", "http request error, ret:%d, status:%d, body:%s" (body masked), "save
 * cloud token failed, ret:%d". */
EDGE_API uint32_t edge_http_conns_refresh_cloud_token(apr_pool_t *pool);

/** Replaces node_config with the NodeConfigRsp parsed from `text` (every member required).
 * @retval 0 success
 * @retval EDGE_ERR_MISSING no or empty text, no pool, no manager or holder
 * @retval EDGE_ERR_NO_MEMORY the holder's new pool cannot be made
 * @return otherwise the parse status; node_config is left empty
 * @logs ERROR "parse cloud token rsp failed, ret:%d" when the text does not parse. */
EDGE_API uint32_t edge_http_conns_save_cloud_token(const char *text, apr_pool_t *pool);

/** "Authorization: <client id>;<module id>;<password>" with a new client id (and so a new
 * password) each call, in the pool; null when something is missing, logged ERROR "module_id,
 * client_id or password is empty.". */
EDGE_API char *edge_http_conns_build_headers(apr_pool_t *pool);

/** "module_<module id>_1_<UTC %Y%m%d%H%M%S>" in the pool; null for no pool or module id. */
EDGE_API char *edge_http_conns_build_client_id(apr_pool_t *pool, const char *module_id);

/** The password for a client id, in the pool: with "new_daemon_flag" in the store, the
 * decrypted "daemon_token" (null, logged INFO "new daemon token not get, ignore.", when there
 * is none); otherwise the 64 lowercase hex digits of the HMAC-SHA256 of the client id under the
 * domain key "secret" (null, logged ERROR "build password failed, digest failed, ret:%d", when
 * the digest fails). Null for no pool or an absent or empty client id. */
EDGE_API char *edge_http_conns_build_password(apr_pool_t *pool, const char *client_id);

/* ------------------------------------------------------------------------------------------
 * Local daemon
 * ------------------------------------------------------------------------------------------ */

/** @{ */
/**
 * The local daemon's endpoint operations, each on the caller's pool:
 * @code{.unparsed}
 *   operation    method, path                       auth  holder         request failure
 *   bind         POST /v2/modules/<id>/bind          no   daemon_token   EDGE_ERR_DAEMON_REQUEST
 *   sign         GET  /v2/modules/<id>/sign          yes  daemon_token   EDGE_ERR_DAEMON_SIGN
 *   verify       POST /v2/modules/<id>/verify        yes  verify_result  EDGE_ERR_DAEMON_VERIFY
 *   cloud_token  GET  /v2/modules/<id>/cloud-token   yes  cloud_token    EDGE_ERR_DAEMON_CLOUD_TOKEN
 *   encrypt      POST /v2/modules/<id>/encrypt       yes  crypto_result  EDGE_ERR_DAEMON_REQUEST
 *   decrypt      POST /v2/modules/<id>/decrypt       yes  crypto_result  EDGE_ERR_DAEMON_REQUEST
 *   digest       POST /v2/modules/<id>/digest        yes  crypto_result  EDGE_ERR_DAEMON_REQUEST
 *   device_sign  GET  /v2/device/sign                yes  device_sign    EDGE_ERR_DAEMON_DEVICE_SIGN
 *   node_certs   GET  /v2/modules/<id>/certs         yes  node_certs     EDGE_ERR_DAEMON_CERTS
 *   trust_certs  GET  /v2/modules/<id>/trust-certs   yes  trust_certs    EDGE_ERR_DAEMON_TRUST_CERTS
 * @endcode
 * "<id>" is "module_id"; without it: ERROR with the operation's URL or build message,
 * EDGE_ERR_NO_MEMORY, nothing sent.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING no pool or manager
 * @retval EDGE_ERR_NO_MEMORY no handle: also when an authenticated operation finds no
 *         decryptable "daemon_token", nothing sent
 * @return otherwise the builder's status, the request-failure status above, or the saver's
 *         status
 * @logs ERROR "create http handler error.", the operation's build or URL message, "http request
 * error, ret:%d, status:%d, body:%s", the operation's save message; bind and sign log INFO
 * "rsp.expires_at:%lld"; sign logs INFO "fresh daemon token sign." first.
 */

EDGE_API uint32_t edge_daemon_http_conns_bind(apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_sign(apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_verify(apr_pool_t *pool, const char *token);
EDGE_API uint32_t edge_daemon_http_conns_cloud_token(apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_encrypt(apr_pool_t *pool, const char *plaintext, const char *algorithm);
EDGE_API uint32_t edge_daemon_http_conns_decrypt(apr_pool_t *pool, const char *ciphertext, const char *algorithm);
EDGE_API uint32_t edge_daemon_http_conns_digest(apr_pool_t *pool, const char *data, const char *algorithm);
EDGE_API uint32_t edge_daemon_http_conns_device_sign(apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_node_certs(apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_trust_certs(apr_pool_t *pool);
/** @} */

/** A new HTTP handle, with the daemon Authorization line when with_auth is non-zero; null when
 * none can be made (ERROR "create http handler error.") or there is no daemon token (ERROR
 * "build daemon auth token header failed."). Delete it with edge_http_delete. */
EDGE_API edge_http_handle_t *edge_daemon_http_get_handler(apr_pool_t *pool, uint32_t with_auth);

/** "Authorization:<daemon token>" with the token decrypted from the store (at most 255
 * characters), in the pool; null without one (INFO "new daemon token not get, ignore."). */
EDGE_API char *edge_daemon_http_conns_build_headers(apr_pool_t *pool);

/** @{ */
/** Request builders: *url gets the operation's URL, the record its values (strings borrowed,
 * or copied into the pool). The bind request carries the plain "daemon_verify_code" (none when
 * absent). Empty values are accepted by the crypto builders.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument
 * @retval EDGE_ERR_NO_MEMORY without "module_id"
 * @logs the bind request: INFO "edge_daemon_http_conns_build_bind_req daemon verify code:%s."
 * with the code masked. */
EDGE_API uint32_t edge_daemon_http_conns_build_bind_req(char **url, DaemonBindReqBody *req, apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_build_verify_req(char **url, apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_build_encrypt_req(char **url, EncryptReqBody *req, const char *plaintext,
                                                           const char *algorithm, apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_build_decrypt_req(char **url, DecryptReqBody *req, const char *ciphertext,
                                                           const char *algorithm, apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_build_digest_req(char **url, DigestReqBody *req, const char *data,
                                                          const char *algorithm, apr_pool_t *pool);
/** @} */

/** @{ */
/** Savers: check the received record, then update the holder (see Holder update above).
 * @code{.unparsed}
 *   bind (bind and sign)  token non-empty and at most 255 characters (what a later request
 *                         reads back from the store), expires_at > 0; daemon_token, then the
 *                         store: "daemon_token_expires_at" (long long), "daemon_token" (encrypted)
 *   verify                module_id non-empty, expires_at > 0
 *   cloud_token           access_key non-empty, expires_at present, secret_key non-empty
 *   device_sign           client_id and password non-empty
 *   node_certs            certificate non-empty, expires_at > 0, private_key non-empty
 *   module_trust_certs    certificate non-empty, expires_at > 0
 *   encrypt/decrypt/digest the one field non-empty; crypto_result in a new result_pool, the
 *                         previous result_pool destroyed
 * @endcode
 * The `pool` argument is accepted and not used.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing record or manager, or a failed check
 * @retval EDGE_ERR_NO_MEMORY the holder's new pool cannot be made
 * @return for bind, otherwise the store's status when the token or its expiry could not be
 *         stored (the holder keeps them) */
EDGE_API uint32_t edge_daemon_http_conns_save_bind_rsp(const DaemonBindRspBody *rsp, apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_save_verify_rsp(const VerifyRspBody *rsp, apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_save_cloud_token_rsp(const CloudTokenRspBody *rsp, apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_save_device_sign_rsp(const DeviceSignRspBody *rsp, apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_save_node_certs_rsp(const NodeCertsRspBody *rsp, apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_save_module_trust_certs_rsp(const ModuleTrustCertsRspBody *rsp,
                                                                     apr_pool_t *pool);
EDGE_API uint32_t edge_daemon_http_conns_save_encrypt_rsp(const EncryptRspBody *rsp);
EDGE_API uint32_t edge_daemon_http_conns_save_decrypt_rsp(const DecryptRspBody *rsp);
EDGE_API uint32_t edge_daemon_http_conns_save_digest_rsp(const DigestRspBody *rsp);
/** @} */

/** Starts the sign loop (the sign job, argument none); starting it again changes nothing.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without a manager
 * @return otherwise the thread creation's status
 * @logs INFO "start daemon http connection loop.". */
EDGE_API uint32_t edge_daemon_http_start_loop(void);

/** The sign job's function: one daemon sign in a pool of its own. On success the next sleep is
 * half the seconds left until "daemon_token_expires_at", logged INFO "expires_at:%lld, cur
 * time:%ld, sleep_time:%ld"; a sleep of 0 or less makes the job wait its exception sleep.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without a manager or sleep address
 * @retval EDGE_ERR_NO_MEMORY no pool
 * @return otherwise the sign's status
 * @logs ERROR "http sign failed, ret:%d" when the sign fails. */
EDGE_API uint32_t edge_daemon_http_sign_runner(long *sleep_seconds, void *arg);

/* ------------------------------------------------------------------------------------------
 * App HTTP API
 * ------------------------------------------------------------------------------------------ */

/** POSTs `{"command": <command>, "timeout": <timeout>}` to ".../devices/commands" of the hub's
 * device API; the timeout is sent as the unsigned number it is. The device API is under
 * "https://<ip>:<port>/gatewell/api/v1", with the Authorization line of
 * edge_http_conns_build_headers; only status 200 is success.
 * @retval 0 success
 * @retval EDGE_ERR_BAD_ARGUMENT an absent or empty command (nothing logged or sent)
 * @retval EDGE_ERR_MISSING no pool or manager
 * @retval EDGE_ERR_NO_MEMORY no handle, URL or header line
 * @retval EDGE_ERR_DEVICE_COMMAND the request fails
 * @logs ERROR "create http handler error.", "failed to call device command because the request
 * header is empty.", "http request error, ret:%d, status:%d, body:%s". */
EDGE_API uint32_t edge_app_http_conns_call_device_command(const char *command, uint32_t timeout, apr_pool_t *pool);

/** GETs ".../devices/statuses" of the hub's device API (as edge_app_http_conns_call_device_command
 * says) followed by `query` as given (its own "?" and encoding) with the
 * time-out in milliseconds (0: none); on 0 *result is a copy of the body in the pool.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING no result address, query or pool (or no manager)
 * @retval EDGE_ERR_NO_MEMORY no handle, URL or header line
 * @retval EDGE_ERR_DEVICE_STATUS the request fails
 * @logs ERROR "create http handler error.", "failed to build the request header.", "http
 * request error, ret:%d, status:%d, body:%s". */
EDGE_API uint32_t edge_app_http_conns_get_devices_statuses(char **result, const char *query, uint32_t timeout_ms,
                                                           apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_HTTP_CONNECTIONS_H */
