// The process-wide global table: one slot, whose object (the manager registry) is created
// on first request.
#include <cstring>

#include <gravel/edge_base.h>

namespace {
void **g_global_table = nullptr;
}

extern "C" {

EDGE_API uint32_t edge_base_global_init(void) {
    g_global_table = static_cast<void **>(edge_base_frame_memory_alloc(sizeof(void *)));
    if (g_global_table == nullptr) return EDGE_ERR_MISSING;
    g_global_table[0] = nullptr;
    return EDGE_OK;
}

EDGE_API void *edge_base_global_get(uint32_t index, size_t size) {
    if (index != 0 || g_global_table == nullptr) return nullptr;
    if (g_global_table[0] == nullptr) {
        void *object = edge_base_frame_memory_alloc(size);
        if (object == nullptr) return nullptr;
        std::memset(object, 0, size);
        g_global_table[0] = object;
    }
    return g_global_table[0];
}

EDGE_API void edge_base_global_destroy(void) {}

// The table lives in the root pool; when the root pool goes, so must our pointer to it.
void edge_base_global_forget(void) {
    g_global_table = nullptr;
}

}  // extern "C"
