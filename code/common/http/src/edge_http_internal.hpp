// The client's private view of a handle, shared by its two sources.
#pragma once

#include <cstddef>
#include <cstdint>

#include <gravel/edge_http.h>

namespace gravel::http {

// The stall limit: a transfer during which fewer bytes move (sent or received, the body's)
// than this many seconds long ends with libcurl's time-out result (28), GET and POST alike.
// Read by edge_http_init, which gives it to every handle; tests shorten it before init.
extern long g_stall_limit_seconds;

// What edge_http_create allocates: the public record first (callers and libcurl get its
// address), then the state of the body being assembled.
struct Handle {
    edge_http_handle_t pub;
    char *buffer;     // the body block of the transfer in progress, in the response pool
    size_t capacity;  // its size in bytes, room for the NUL included
    // The abort flag of the pool family the handle was made in (EDGE_HTTP_ABORT_KEY), or null.
    uint32_t *abort_flag;
    // The stall limit in seconds (0: none), and the watch of the transfer in progress: since
    // when (steady clock, ms; -1 before the request goes out) and from how many bytes moved.
    long stall_limit;
    int64_t stall_mark_ms;
    int64_t stall_mark_bytes;
    bool stalled;
};
static_assert(offsetof(Handle, pub) == 0, "a handle's address is its public record's");

inline Handle *from_public(void *handle) noexcept {
    return static_cast<Handle *>(handle);
}

}  // namespace gravel::http
