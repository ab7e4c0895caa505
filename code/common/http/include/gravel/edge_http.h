/**
 * @file edge_http.h
 * gravel HTTP client (libgravel-http): GET and POST with JSON headers over libcurl, to the
 * hub over HTTP or HTTPS, or to the local daemon over its unix-domain socket.
 *
 * Conventions (see <gravel/edge_base.h> for those of every gravel header):
 * - Order: edge_base_init, edge_http_init, any number of requests, edge_http_destroy (after
 *   every handle is deleted), edge_base_destroy.
 * - A request: edge_http_create with a pool of the caller's, edge_http_add_header for each
 *   extra header, one edge_http_get or edge_http_post, read the response record,
 *   edge_http_delete. A handle serves one request.
 * - Ownership. A handle lives in a child pool of the caller's pool. edge_http_delete releases
 *   it with its libcurl resources; destroying the caller's pool does the same. The response
 *   body is allocated in the response pool the caller passes to the request and stays valid
 *   after the handle is deleted, until that pool is cleared or destroyed.
 * - Results of get and post: EDGE_ERR_BAD_ARGUMENT for a missing or bad argument (nothing is
 *   sent), otherwise libcurl's own result code (0 on success, 7 connection failed, 28 time-out,
 *   60 peer certificate refused, ...). The HTTP status is not part of the result: a transfer
 *   that completed with status 404 returns 0; read the record's status.
 * - TLS. HTTPS peers are verified against the base runtime's CA file (edge_base_get_ca_file:
 *   "<work dir>/conf/rootcert.pem"), and no other trust store: chain and host name or IP address
 *   by default; "module_tls_verify" = "chain" checks the chain only, "none" nothing (either
 *   is logged at WARN by edge_http_init; an unknown value verifies fully).
 * - Stalls. A transfer whose peer sends nothing for 60 seconds (below one byte a second for
 *   that long, counted from the last bytes that moved either way, the request's own body
 *   included) ends with libcurl's time-out result (28) within about a second more, GET and
 *   POST alike, whatever the request's own time-out (0 still means no overall bound).
 *   Connecting has its own limit of 5 seconds.
 * - Aborting. A caller that must be able to end transfers that run on other threads (a
 *   service's destroy) stores, with apr_pool_userdata_setn, the address of a uint32_t flag
 *   under EDGE_HTTP_ABORT_KEY on a pool of its own, before it creates handles from that pool
 *   or its descendants. Once the flag is non-zero (set it atomically, e.g. apr_atomic_set32),
 *   a request on such a handle sends nothing, and one in progress ends within about a second:
 *   both return libcurl's CURLE_ABORTED_BY_CALLBACK (42). The flag must outlive the handles.
 * - Local daemon. With "daemon_verify_code" set and non-empty at edge_http_init, and
 *   "daemon_uri" = "unix:<socket path>", every request goes to that socket whatever the URL's
 *   host. The environment is read once, by edge_http_init.
 * - Threads. A handle is used by one thread at a time; handles may be created and used on
 *   several threads at once. edge_http_init and edge_http_destroy run while no request is in
 *   progress. libcurl raises no signals.
 */
#ifndef GRAVEL_EDGE_HTTP_H
#define GRAVEL_EDGE_HTTP_H

#include <stddef.h>
#include <stdint.h>

#include <apr_pools.h>
#include <curl/curl.h>

#include <gravel/edge_base.h>
#include <gravel/edge_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/** The pool user data key of the abort flag (see Aborting above). */
#define EDGE_HTTP_ABORT_KEY "edge_http_abort"

/** The client's manager, "HTTP_MGR" in slot 2. */
typedef struct edge_http_mgr_s {
    edge_mgr_head_t head;  /**< slot, name, the manager's pool */
    CURL *template_handle; /**< the transfer handle every HTTP handle duplicates */
} edge_http_mgr_t;

EDGE_MGR_DECLARE_ACCESSORS(HTTP, edge_http_mgr_t)

/** The response of one request, declared and zeroed by the caller before the request. The
 * client writes it only when the response has a body: body and length then cover every body
 * byte received, in order, and status holds the HTTP status. A response without a body leaves
 * the record as it was. */
typedef struct edge_http_response_s {
    char *body;      /**< the body bytes, in the response pool, followed by a NUL not counted */
    uint32_t length; /**< number of body bytes */
    int32_t status;  /**< HTTP status code, for example 200 */
} edge_http_response_t;

/** One request's handle; its fields are the client's. */
typedef struct edge_http_handle_s {
    CURL *curl;                     /**< duplicate of the template handle */
    apr_pool_t *pool;               /**< the handle's own pool; the record lives in it */
    struct curl_slist *headers;     /**< request header lines, the three defaults first */
    edge_http_response_t *response; /**< the caller's record during a transfer, else null */
    apr_pool_t *response_pool;      /**< the pool receiving the body during a transfer */
} edge_http_handle_t;

/** Creates HTTP_MGR and the template handle (connect time-out 5 s, no signals, TLS as above,
 * the daemon socket in daemon mode). A failed init leaves what it made for edge_http_destroy.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING the manager cannot be created
 * @retval EDGE_ERR_NO_MEMORY no template handle can be made
 * @return otherwise libcurl's status, when its global initialisation or a transport setting
 *         fails
 * @logs INFO "http init success, version: <libcurl>"; WARN when "module_tls_verify" relaxes
 * the verification. */
EDGE_API uint32_t edge_http_init(void);
/** Releases the template handle and libcurl's global state, and deletes HTTP_MGR. */
EDGE_API void edge_http_destroy(void);

/** A new handle in a child pool of `pool`, with the default headers
 * "User-Agent: GravelSDK 1.0", "Accept: application/json" and
 * "Content-Type: application/json;charset=UTF-8". Null for a null pool, before edge_http_init
 * or after edge_http_destroy, or when something cannot be made. */
EDGE_API edge_http_handle_t *edge_http_create(apr_pool_t *pool);
/** Appends the three default headers (called by edge_http_create). */
EDGE_API void edge_http_default_headers_set(edge_http_handle_t *handle);
/** Appends one complete header line ("Name: value"); libcurl copies it. A null handle, a null
 * or empty line, and a line holding a CR or LF (which would inject header lines) are ignored,
 * the last with an ERROR log line. */
EDGE_API void edge_http_add_header(edge_http_handle_t *handle, const char *line);

/** GET `url`; `timeout_ms` bounds the whole transfer (0: no bound but the stall limit). The
 * response goes to `response`, its body into `response_pool`.
 * @retval 0 the transfer completed (read the response's status)
 * @retval EDGE_ERR_BAD_ARGUMENT a missing or bad argument; nothing is sent
 * @return otherwise libcurl's result code (7 connection failed, 28 time-out, 42 aborted, 60
 *         peer certificate refused, ...)
 * @logs ERROR "input error." for a missing or bad argument. */
EDGE_API uint32_t edge_http_get(edge_http_handle_t *handle, const char *url, edge_http_response_t *response,
                                apr_pool_t *response_pool, uint32_t timeout_ms);
/** POST the NUL-terminated `body` to `url`. `length` must be non-zero and is not otherwise
 * used: the text is sent up to its NUL. No bound on the transfer's time beyond the connect
 * time-out and the stall limit. Results as edge_http_get's. */
EDGE_API uint32_t edge_http_post(edge_http_handle_t *handle, const char *url, const char *body, int32_t length,
                                 edge_http_response_t *response, apr_pool_t *response_pool);
/** Releases the handle with its libcurl resources; null is accepted. */
EDGE_API void edge_http_delete(edge_http_handle_t *handle);

/** libcurl's write callback for the body (exported for libcurl; not for callers). Appends the
 * size * count bytes to the handle's response record and stores the status; returns count.
 * Returns 0, which ends the transfer with libcurl's write error, when the body would pass
 * 4 GiB. Without a response record or pool the bytes are dropped and count returned. */
EDGE_API size_t edge_http_write_data_callback(char *data, size_t size, size_t count, void *handle);

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_HTTP_H */
