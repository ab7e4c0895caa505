// The client's private view of a handle, shared by its two sources.
#pragma once

#include <cstddef>

#include <gravel/edge_http.h>

namespace gravel::http {

// What edge_http_create allocates: the public record first (callers and libcurl get its
// address), then the state of the body being assembled.
struct Handle {
    edge_http_handle_t pub;
    char *buffer;     // the body block of the transfer in progress, in the response pool
    size_t capacity;  // its size in bytes, room for the NUL included
};
static_assert(offsetof(Handle, pub) == 0, "a handle's address is its public record's");

inline Handle *from_public(void *handle) noexcept {
    return static_cast<Handle *>(handle);
}

}  // namespace gravel::http
