// The manager registry: one record pointer per library slot, kept in global slot 0.
#include <apr_strings.h>

#include <gravel/edge_base.h>

#include "edge_mgr_accessors.hpp"

extern "C" {

EDGE_API void **edge_base_MGR_GLOBAL_get(void) {
    return static_cast<void **>(edge_base_global_get(0, sizeof(void *) * EDGE_MGR_SLOT_COUNT));
}

EDGE_API uint32_t edge_base_mgr_set(uint32_t slot, void *record) {
    void **registry = edge_base_MGR_GLOBAL_get();
    if (registry == nullptr) return EDGE_ERR_MISSING;
    if (slot >= EDGE_MGR_SLOT_COUNT) return EDGE_ERR_OUT_OF_RANGE;
    registry[slot] = record;
    return EDGE_OK;
}

EDGE_API void *edge_base_mgr_get(uint32_t slot) {
    if (slot >= EDGE_MGR_SLOT_COUNT) return nullptr;
    void **registry = edge_base_MGR_GLOBAL_get();
    return registry == nullptr ? nullptr : registry[slot];
}

EDGE_API void *edge_base_mgr_create_impl(uint32_t slot, const char *name, void *record, size_t size,
                                         edge_mgr_get_vector_fn get_vector) {
    (void)size;
    if (name == nullptr || name[0] == '\0' || record == nullptr || get_vector == nullptr) return nullptr;
    edge_mgr_head_t *head = get_vector(record);
    if (head == nullptr) return nullptr;
    apr_pool_t *pool = edge_base_memory_pool_create(nullptr);
    if (pool == nullptr) return nullptr;
    head->slot = slot;
    head->pool = pool;
    head->name = apr_pstrdup(pool, name);
    (void)edge_base_mgr_set(slot, record);
    return record;
}

EDGE_API void edge_base_mgr_delete_impl(uint32_t slot, edge_mgr_get_vector_fn get_vector) {
    void *record = edge_base_mgr_get(slot);
    if (record == nullptr || get_vector == nullptr) return;
    edge_mgr_head_t *head = get_vector(record);
    if (head == nullptr) return;
    edge_base_memory_pool_destroy(&head->pool);
    head->name = nullptr;
}

}  // extern "C"

EDGE_MGR_DEFINE_ACCESSORS(BASE, EDGE_MGR_SLOT_BASE, edge_base_mgr_t, head);
