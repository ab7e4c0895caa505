// The root pool, pool operations and the bounds-checked copy and fill.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <gravel/edge_base.h>

#define EDGE_MEMORY_TAG_(line) "edge_base_memory:" #line
#define EDGE_MEMORY_TAG(line) EDGE_MEMORY_TAG_(line)

namespace {
apr_pool_t *g_root_pool = nullptr;

constexpr size_t kRsizeMax = SIZE_MAX >> 1;

bool overlaps(const void *a, const void *b, size_t n) noexcept {
    auto x = reinterpret_cast<uintptr_t>(a);
    auto y = reinterpret_cast<uintptr_t>(b);
    return n != 0 && (x < y ? y - x < n : x - y < n);
}
}  // namespace

extern "C" {

EDGE_API uint32_t edge_base_memory_init(void) {
    // No abort function and the default allocator: running out of memory shows up as a null
    // pool or block to the caller.
    return apr_pool_create_ex_debug(&g_root_pool, nullptr, nullptr, nullptr, EDGE_MEMORY_TAG(__LINE__));
}

EDGE_API void edge_base_memory_destroy(void) {
    if (g_root_pool != nullptr) {
        apr_pool_destroy_debug(g_root_pool, EDGE_MEMORY_TAG(__LINE__));
        g_root_pool = nullptr;
    }
}

EDGE_API void *edge_base_frame_memory_alloc(size_t size) {
    if (g_root_pool == nullptr || size == 0) return nullptr;
    return apr_palloc_debug(g_root_pool, size, EDGE_MEMORY_TAG(__LINE__));
}

EDGE_API apr_pool_t *edge_base_memory_pool_create(apr_pool_t *parent) {
    apr_pool_t *pool = nullptr;
    apr_pool_t *owner = parent != nullptr ? parent : g_root_pool;
    if (apr_pool_create_ex_debug(&pool, owner, nullptr, nullptr, EDGE_MEMORY_TAG(__LINE__)) != APR_SUCCESS) {
        return nullptr;
    }
    return pool;
}

EDGE_API void edge_base_memory_pool_clear(apr_pool_t *pool) {
    if (pool != nullptr) apr_pool_clear_debug(pool, EDGE_MEMORY_TAG(__LINE__));
}

EDGE_API void edge_base_memory_pool_destroy(apr_pool_t **pool) {
    if (pool == nullptr || *pool == nullptr) return;
    apr_pool_destroy_debug(*pool, EDGE_MEMORY_TAG(__LINE__));
    *pool = nullptr;
}

EDGE_API void *edge_base_memory_malloc(apr_pool_t *pool, size_t size) {
    if (pool == nullptr) return nullptr;
    return apr_palloc_debug(pool, size, EDGE_MEMORY_TAG(__LINE__));
}

EDGE_API void edge_base_memory_free(void *block) {
    (void)block;
}

EDGE_API int edge_base_memory_copy(void *dest, size_t dest_size, const void *src, size_t count) {
    if (dest == nullptr || dest_size > kRsizeMax) return dest == nullptr ? EINVAL : ERANGE;
    int err = 0;
    if (src == nullptr) {
        err = EINVAL;
    } else if (count > kRsizeMax || count > dest_size) {
        err = ERANGE;
    } else if (overlaps(dest, src, count)) {
        err = EINVAL;
    }
    if (err != 0) {
        std::memset(dest, 0, dest_size);
        return err;
    }
    if (count != 0) std::memcpy(dest, src, count);
    return 0;
}

EDGE_API int edge_base_memory_set(void *dest, size_t dest_size, int value, size_t count) {
    if (dest == nullptr) return EINVAL;
    if (dest_size > kRsizeMax) return ERANGE;
    const bool too_many = count > kRsizeMax || count > dest_size;
    const size_t n = too_many ? dest_size : count;
    std::memset(dest, value, n);
    // The fill must survive dead-store elimination: callers wipe secrets with it.
    __asm__ __volatile__("" : : "r"(dest) : "memory");
    return too_many ? ERANGE : 0;
}

}  // extern "C"
