// What the service's sources share: the manager, configuration reads, wiping of secrets,
// holder updates generated from the record table, and the shape of one request.
#pragma once

#include <cstddef>
#include <cstdint>

#include <apr_pools.h>
#include <apr_strings.h>

#include <gravel/edge_http_connections.h>

#include "edge_mgr_accessors.hpp"

EDGE_MGR_DECLARE_LIVE(edge_http_conns_mgr_t);

namespace gravel::httpconns {

// The configuration store table the service reads and writes.
inline constexpr uint32_t kStore = 0;
// Fixed buffers of decrypted store strings: the text and its terminator.
inline constexpr size_t kVerifyCodeBuffer = 64;
inline constexpr size_t kDaemonTokenBuffer = 256;

inline const char kHttpRequestError[] = "http request error, ret:%d, status:%d, body:%s";

// A copy of the store string under `key` in the pool; null when absent or empty.
const char *config_string(apr_pool_t *pool, const char *key) noexcept;

// Decrypts the store string under `key` into a zero-filled buffer of `buffer_size` bytes in the
// pool, leaving room for the terminator; the buffer is wiped when the pool goes. Null, with
// *status set, when the decryption fails.
char *decrypt_config(apr_pool_t *pool, const char *key, size_t buffer_size, uint32_t *status) noexcept;

// Overwrites the text with zeros when the pool it lives in is cleared or destroyed. The text
// must live in that pool (or one that outlives it).
void wipe_on_release(apr_pool_t *pool, const char *text) noexcept;
// Overwrites a NUL-terminated text now; null is ignored.
void wipe_text(const char *text) noexcept;

// The response body for a log line: masked when it may carry a secret, "(null)" when absent.
const char *body_for_log(const edge_http_response_t &response, apr_pool_t *pool, bool secret) noexcept;

// True for a request that completed with status 200.
inline bool succeeded(uint32_t rc, const edge_http_response_t &response) noexcept {
    return rc == 0 && response.status == 200;
}

// Deletes an HTTP handle on every path out of a scope.
class HandleGuard {
public:
    explicit HandleGuard(edge_http_handle_t *handle) noexcept : handle_(handle) {}
    ~HandleGuard() { reset(); }
    HandleGuard(const HandleGuard &) = delete;
    HandleGuard &operator=(const HandleGuard &) = delete;
    edge_http_handle_t *get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    void reset() noexcept {
        if (handle_ != nullptr) edge_http_delete(handle_);
        handle_ = nullptr;
    }

private:
    edge_http_handle_t *handle_;
};

// ---- Holders, generated from the record table --------------------------------------------

inline void wipe_field(const char *text) noexcept {
    wipe_text(text);
}
inline void wipe_field(int64_t) noexcept {}
inline void wipe_field(int32_t) noexcept {}

inline void copy_field(const char *&to, const char *from, apr_pool_t *pool) noexcept {
    to = from == nullptr ? nullptr : apr_pstrdup(pool, from);
}
template <typename Number>
inline void copy_field(Number &to, Number from, apr_pool_t *) noexcept {
    to = from;
}

#define EDGE_HTTPCONNS_WIPE_FIELD(kind, key, mark) wipe_field(record.key);
#define EDGE_HTTPCONNS_COPY_FIELD(kind, key, mark) copy_field(to.key, from.key, to.pool);
#define EDGE_HTTPCONNS_HOLDER_FIELDS(T)                      \
    inline void wipe_strings(T &record) noexcept {           \
        EDGE_RECORD_FIELDS_##T(EDGE_HTTPCONNS_WIPE_FIELD)    \
    }                                                        \
    inline void copy_fields(T &to, const T &from) noexcept { \
        EDGE_RECORD_FIELDS_##T(EDGE_HTTPCONNS_COPY_FIELD)    \
    }
EDGE_HTTP_RECORD_TABLE(EDGE_HTTPCONNS_HOLDER_FIELDS)
#undef EDGE_HTTPCONNS_HOLDER_FIELDS
#undef EDGE_HTTPCONNS_COPY_FIELD
#undef EDGE_HTTPCONNS_WIPE_FIELD

// Empties a holder: its strings are wiped, its pool destroyed and every byte zeroed.
template <typename T>
void clear_holder(T &holder) noexcept {
    wipe_strings(holder);
    edge_base_memory_pool_destroy(&holder.pool);
    edge_base_memory_set(&holder, sizeof holder, 0, sizeof holder);
}

// Empties the holder and gives it a new pool, a child of the manager's pool.
// 0, or EDGE_ERR_NO_MEMORY with the holder left empty.
template <typename T>
uint32_t renew_holder(T &holder, const edge_http_conns_mgr_t &mgr) noexcept {
    clear_holder(holder);
    holder.pool = edge_base_memory_pool_create(mgr.head.pool);
    return holder.pool == nullptr ? EDGE_ERR_NO_MEMORY : EDGE_OK;
}

// The holder update: the holder renewed, then every field of `received` copied into it.
template <typename T>
uint32_t update_holder(T *holder, const T &received, const edge_http_conns_mgr_t &mgr) noexcept {
    if (holder == nullptr) return EDGE_ERR_MISSING;
    if (const uint32_t rc = renew_holder(*holder, mgr); rc != EDGE_OK) return rc;
    copy_fields(*holder, received);
    return EDGE_OK;
}

// Empties every holder and the crypto result (destroy, and the dead manager of a failed init).
void clear_all_holders(edge_http_conns_mgr_t &mgr) noexcept;

inline bool empty(const char *text) noexcept {
    return text == nullptr || text[0] == '\0';
}

}  // namespace gravel::httpconns
