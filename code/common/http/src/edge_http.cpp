// The client's manager, its template transfer handle, and the life of request handles.
#include <apr_pools.h>

#include <cstdlib>
#include <cstring>

#include <gravel/edge_http.h>

#include "edge_http_internal.hpp"
#include "edge_mgr_accessors.hpp"
#include "edge_tls_verify.hpp"

EDGE_MGR_DEFINE_ACCESSORS(HTTP, EDGE_MGR_SLOT_HTTP, edge_http_mgr_t, head);

long gravel::http::g_stall_limit_seconds = 60;

namespace {

// The stall limit edge_http_init read; every handle made afterwards takes it.
long g_stall_limit_in_use = 60;

constexpr const char kDaemonVerifyCodeEnv[] = "daemon_verify_code";
constexpr const char kDaemonUriEnv[] = "daemon_uri";
constexpr const char kUnixPrefix[] = "unix:";
// The default URL in daemon mode; each request replaces it, and the socket decides the peer.
constexpr const char kDaemonDefaultUrl[] = "http://127.0.0.1/";
constexpr long kConnectTimeoutSeconds = 5;

constexpr const char *kDefaultHeaders[] = {
    "User-Agent: GravelSDK 1.0",
    "Accept: application/json",
    "Content-Type: application/json;charset=UTF-8",
};

// Runs the settings in order and stops at the first libcurl failure.
class Settings {
public:
    explicit Settings(CURL *curl) noexcept : curl_(curl) {}
    template <typename Value>
    Settings &set(CURLoption option, Value value) noexcept {
        if (result_ == CURLE_OK) result_ = curl_easy_setopt(curl_, option, value);
        return *this;
    }
    CURLcode result() const noexcept { return result_; }

private:
    CURL *curl_;
    CURLcode result_ = CURLE_OK;
};

// Transport settings every handle inherits: TLS verification against the base runtime's CA
// file alone, the connect time-out, no signals, HTTP(S) as the only protocols. (The stall limit
// is watched by the transfers' progress callback, edge_http_utils.cpp.)
CURLcode configure_transport(CURL *curl) noexcept {
    const gravel::TlsVerify mode = gravel::tls_verify_from_env();
    Settings s(curl);
    s.set(CURLOPT_SSL_VERIFYPEER, mode == gravel::TlsVerify::none ? 0L : 1L)
        .set(CURLOPT_SSL_VERIFYHOST, mode == gravel::TlsVerify::full ? 2L : 0L)
        .set(CURLOPT_CAPATH, static_cast<const char *>(nullptr))
        .set(CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds)
        .set(CURLOPT_NOSIGNAL, 1L)
        .set(CURLOPT_PROTOCOLS_STR, "http,https");
    if (const char *ca_file = edge_base_get_ca_file(); ca_file != nullptr) s.set(CURLOPT_CAINFO, ca_file);
    return s.result();
}

// Local daemon mode, decided once from the environment.
CURLcode configure_daemon(CURL *curl) noexcept {
    const char *verify_code = std::getenv(kDaemonVerifyCodeEnv);
    if (verify_code == nullptr || verify_code[0] == '\0') {
        EDGE_LOG_WARN("env:%s is empty, so is old daemon.", kDaemonVerifyCodeEnv);
        return CURLE_OK;
    }
    EDGE_LOG_INFO("env:%s is not empty, so is new daemon.", kDaemonVerifyCodeEnv);
    Settings s(curl);
    const char *uri = std::getenv(kDaemonUriEnv);
    if (uri != nullptr && uri[0] != '\0') {
        EDGE_LOG_INFO("env:%s is not empty, daemon_uri:%s.", kDaemonUriEnv, uri);
        const size_t prefix = sizeof kUnixPrefix - 1;
        if (std::strncmp(uri, kUnixPrefix, prefix) == 0 && uri[prefix] != '\0') {
            s.set(CURLOPT_UNIX_SOCKET_PATH, uri + prefix);
        } else {
            // Only "unix:<path>" names a socket; anything else would become a path by accident.
            EDGE_LOG_WARN("env:%s is not unix:<socket path>, requests go to the url's host.", kDaemonUriEnv);
        }
    } else {
        EDGE_LOG_WARN("env:%s is empty.", kDaemonUriEnv);
    }
    s.set(CURLOPT_URL, kDaemonDefaultUrl);
    return s.result();
}

// The abort flag that the caller's pool, or the nearest of its ancestors holding one, names
// under EDGE_HTTP_ABORT_KEY.
uint32_t *abort_flag_of(apr_pool_t *pool) noexcept {
    for (apr_pool_t *p = pool; p != nullptr; p = apr_pool_parent_get(p)) {
        void *flag = nullptr;
        if (apr_pool_userdata_get(&flag, EDGE_HTTP_ABORT_KEY, p) == APR_SUCCESS && flag != nullptr) {
            return static_cast<uint32_t *>(flag);
        }
    }
    return nullptr;
}

// Releases a handle's libcurl resources when its pool goes, whoever destroys the pool.
apr_status_t release_transfer(void *data) {
    auto *handle = static_cast<edge_http_handle_t *>(data);
    curl_easy_cleanup(handle->curl);
    handle->curl = nullptr;
    curl_slist_free_all(handle->headers);
    handle->headers = nullptr;
    return APR_SUCCESS;
}

}  // namespace

extern "C" {

EDGE_API uint32_t edge_http_init(void) {
    edge_http_mgr_t *mgr = edge_HTTP_MGR_mgr_create();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    const CURLcode global = curl_global_init(CURL_GLOBAL_SSL);
    if (global != CURLE_OK) return global;
    // A repeated init replaces the template rather than leaking it.
    curl_easy_cleanup(mgr->template_handle);
    mgr->template_handle = curl_easy_init();
    if (mgr->template_handle == nullptr) return EDGE_ERR_NO_MEMORY;
    g_stall_limit_in_use = gravel::http::g_stall_limit_seconds;
    CURLcode rc = configure_transport(mgr->template_handle);
    if (rc == CURLE_OK) rc = configure_daemon(mgr->template_handle);
    if (rc != CURLE_OK) return rc;
    EDGE_LOG_INFO("http init success, version: %s", curl_version());
    return EDGE_OK;
}

EDGE_API void edge_http_destroy(void) {
    if (edge_http_mgr_t *mgr = edge_HTTP_MGR_mgr_get(); mgr != nullptr) {
        curl_easy_cleanup(mgr->template_handle);
        mgr->template_handle = nullptr;
    }
    curl_global_cleanup();
    edge_HTTP_MGR_mgr_delete();
}

EDGE_API edge_http_handle_t *edge_http_create(apr_pool_t *pool) {
    if (pool == nullptr) return nullptr;
    const edge_http_mgr_t *mgr = gravel::mgr::live_manager<edge_http_mgr_t>();
    if (mgr == nullptr || mgr->template_handle == nullptr) return nullptr;
    apr_pool_t *own = edge_base_memory_pool_create(pool);
    if (own == nullptr) return nullptr;
    auto *handle = static_cast<gravel::http::Handle *>(apr_pcalloc(own, sizeof(gravel::http::Handle)));
    if (handle == nullptr) {
        edge_base_memory_pool_destroy(&own);
        return nullptr;
    }
    handle->pub.curl = curl_easy_duphandle(mgr->template_handle);
    if (handle->pub.curl == nullptr) {
        edge_base_memory_pool_destroy(&own);
        return nullptr;
    }
    apr_pool_cleanup_register(own, &handle->pub, release_transfer, apr_pool_cleanup_null);
    handle->abort_flag = abort_flag_of(pool);
    handle->stall_limit = g_stall_limit_in_use;
    edge_http_default_headers_set(&handle->pub);
    handle->pub.pool = own;
    EDGE_LOG_INFO("http: %p create.", static_cast<void *>(&handle->pub));
    return &handle->pub;
}

EDGE_API void edge_http_default_headers_set(edge_http_handle_t *handle) {
    for (const char *line : kDefaultHeaders) edge_http_add_header(handle, line);
}

EDGE_API void edge_http_add_header(edge_http_handle_t *handle, const char *line) {
    if (handle == nullptr || line == nullptr || line[0] == '\0') return;
    if (std::strpbrk(line, "\r\n") != nullptr) {
        EDGE_LOG_ERROR("invalid header line.");
        return;
    }
    // On failure libcurl returns null and the list so far stays valid: keep it.
    if (curl_slist *list = curl_slist_append(handle->headers, line); list != nullptr) handle->headers = list;
}

EDGE_API void edge_http_delete(edge_http_handle_t *handle) {
    const void *address = handle;
    if (handle != nullptr) {
        // The pool's cleanup releases the transfer handle and the header list; the record goes
        // with the pool, so work on a copy of the pool pointer.
        apr_pool_t *own = handle->pool;
        edge_base_memory_pool_destroy(&own);
    }
    EDGE_LOG_INFO("http: %p delete.", address);
}

}  // extern "C"
