// The manager accessor family, written once and stamped by every library with a manager.
//
// A library defines its record `g_st_<NAME>_MGR_mgr` (beginning with, or holding, an
// edge_mgr_head_t) and then writes, at namespace scope in one of its sources:
//
//     EDGE_MGR_DEFINE_ACCESSORS(HTTP, EDGE_MGR_SLOT_HTTP, edge_http_mgr_t, head)
//
// where the last argument names the head member inside the record. The six exported
// functions then behave identically in every library; only the slot, the name and the place
// of the head differ.
//
// The macro also stamps the library's `gravel::mgr::live_manager<RECORD_TYPE>()`: the record
// between init and destroy (registered and holding its pool), else null. Every operation that
// needs its manager asks it. A second source of the same library declares it first with
//
//     EDGE_MGR_DECLARE_LIVE(edge_http_mgr_t);
#pragma once

#include <cstddef>

#include <gravel/edge_base.h>

namespace gravel::mgr {

// The registered record of a slot, viewed through its library's get-vector function.
inline edge_mgr_head_t *registered_head(uint32_t slot, edge_mgr_get_vector_fn get_vector) noexcept {
    void *record = edge_base_mgr_get(slot);
    return record == nullptr ? nullptr : get_vector(record);
}

template <typename Record>
Record *live_manager() noexcept;

}  // namespace gravel::mgr

#define EDGE_MGR_DECLARE_LIVE(RECORD_TYPE) \
    template <>                            \
    RECORD_TYPE *gravel::mgr::live_manager<RECORD_TYPE>() noexcept

#define EDGE_MGR_DEFINE_ACCESSORS(NAME, SLOT, RECORD_TYPE, HEAD_MEMBER)                                        \
    RECORD_TYPE g_st_##NAME##_MGR_mgr{};                                                                       \
    extern "C" EDGE_API edge_mgr_head_t *edge_##NAME##_MGR_get_vector(void *record) {                          \
        return record == nullptr ? nullptr : &static_cast<RECORD_TYPE *>(record)->HEAD_MEMBER;                 \
    }                                                                                                          \
    extern "C" EDGE_API RECORD_TYPE *edge_##NAME##_MGR_mgr_create(void) {                                      \
        return static_cast<RECORD_TYPE *>(edge_base_mgr_create_impl(                                           \
            (SLOT), #NAME "_MGR", &g_st_##NAME##_MGR_mgr, sizeof(RECORD_TYPE), edge_##NAME##_MGR_get_vector)); \
    }                                                                                                          \
    extern "C" EDGE_API RECORD_TYPE *edge_##NAME##_MGR_mgr_get(void) {                                         \
        return static_cast<RECORD_TYPE *>(edge_base_mgr_get(SLOT));                                            \
    }                                                                                                          \
    extern "C" EDGE_API apr_pool_t *edge_##NAME##_MGR_mgr_get_pool(void) {                                     \
        edge_mgr_head_t *head = gravel::mgr::registered_head((SLOT), edge_##NAME##_MGR_get_vector);            \
        return head == nullptr ? nullptr : head->pool;                                                         \
    }                                                                                                          \
    extern "C" EDGE_API apr_pool_t *edge_##NAME##_MGR_mgr_create_pool(void) {                                  \
        apr_pool_t *pool = edge_##NAME##_MGR_mgr_get_pool();                                                   \
        return pool == nullptr ? nullptr : edge_base_memory_pool_create(pool);                                 \
    }                                                                                                          \
    extern "C" EDGE_API void edge_##NAME##_MGR_mgr_delete(void) {                                              \
        edge_base_mgr_delete_impl((SLOT), edge_##NAME##_MGR_get_vector);                                       \
    }                                                                                                          \
    template <>                                                                                                \
    RECORD_TYPE *gravel::mgr::live_manager<RECORD_TYPE>() noexcept {                                           \
        RECORD_TYPE *record = edge_##NAME##_MGR_mgr_get();                                                     \
        return record != nullptr && record->HEAD_MEMBER.pool != nullptr ? record : nullptr;                    \
    }                                                                                                          \
    static_assert(true, "require a semicolon")
