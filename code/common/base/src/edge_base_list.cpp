// A doubly linked list of caller pointers, living in a pool of its own.
#include <gravel/edge_base.h>

namespace {

edge_base_list_node_t *new_node(edge_base_list_t *list, void *data) noexcept {
    auto *node =
        static_cast<edge_base_list_node_t *>(edge_base_memory_malloc(list->pool, sizeof(edge_base_list_node_t)));
    if (node == nullptr) return nullptr;
    *node = edge_base_list_node_t{nullptr, nullptr, list, data};
    return node;
}

void *detach(edge_base_list_t *list, edge_base_list_node_t *node) noexcept {
    if (list->count > 0) --list->count;
    void *data = node->data;
    node->next = nullptr;
    node->prev = nullptr;
    node->list = nullptr;
    return data;
}

void *step_to(edge_base_list_iter_t *iter, edge_base_list_node_t *node) noexcept {
    if (node == nullptr) return nullptr;
    iter->current = node;
    iter->next = node->next;
    iter->prev = node->prev;
    return node->data;
}

}  // namespace

extern "C" {

EDGE_API edge_base_list_t *edge_base_list_create(apr_pool_t *pool) {
    if (pool == nullptr) return nullptr;
    apr_pool_t *own = edge_base_memory_pool_create(pool);
    if (own == nullptr) return nullptr;
    auto *list = static_cast<edge_base_list_t *>(edge_base_memory_malloc(own, sizeof(edge_base_list_t)));
    if (list == nullptr) {
        edge_base_memory_pool_destroy(&own);
        return nullptr;
    }
    *list = edge_base_list_t{0, nullptr, nullptr, own};
    return list;
}

EDGE_API int edge_base_list_is_empty(const edge_base_list_t *list) {
    return list == nullptr || list->head == nullptr ? 1 : 0;
}

EDGE_API uint32_t edge_base_list_count_get(const edge_base_list_t *list) {
    return list == nullptr ? 0 : list->count;
}

EDGE_API uint32_t edge_base_list_add_head(edge_base_list_t *list, void *data) {
    if (list == nullptr) return EDGE_ERR_MISSING;
    edge_base_list_node_t *node = new_node(list, data);
    if (node == nullptr) return EDGE_ERR_NO_MEMORY;
    node->next = list->head;
    if (list->head != nullptr) {
        list->head->prev = node;
    } else {
        list->tail = node;
    }
    list->head = node;
    ++list->count;
    return EDGE_OK;
}

EDGE_API uint32_t edge_base_list_add_tail(edge_base_list_t *list, void *data) {
    if (list == nullptr) return EDGE_ERR_MISSING;
    edge_base_list_node_t *node = new_node(list, data);
    if (node == nullptr) return EDGE_ERR_NO_MEMORY;
    node->prev = list->tail;
    if (list->tail != nullptr) {
        list->tail->next = node;
    } else {
        list->head = node;
    }
    list->tail = node;
    ++list->count;
    return EDGE_OK;
}

EDGE_API void *edge_base_list_get_head(const edge_base_list_t *list) {
    return list == nullptr || list->head == nullptr ? nullptr : list->head->data;
}

EDGE_API void *edge_base_list_get_tail(const edge_base_list_t *list) {
    return list == nullptr || list->tail == nullptr ? nullptr : list->tail->data;
}

EDGE_API void *edge_base_list_remove_head(edge_base_list_t *list) {
    if (list == nullptr || list->head == nullptr) return nullptr;
    edge_base_list_node_t *node = list->head;
    list->head = node->next;
    if (list->head != nullptr) {
        list->head->prev = nullptr;
    } else {
        list->tail = nullptr;
    }
    return detach(list, node);
}

EDGE_API void *edge_base_list_remove_tail(edge_base_list_t *list) {
    if (list == nullptr || list->tail == nullptr) return nullptr;
    edge_base_list_node_t *node = list->tail;
    list->tail = node->prev;
    if (list->tail != nullptr) {
        list->tail->next = nullptr;
    } else {
        list->head = nullptr;
    }
    return detach(list, node);
}

EDGE_API void *edge_base_list_loop_start(const edge_base_list_t *list, edge_base_list_iter_t *iter) {
    if (iter == nullptr) return nullptr;
    *iter = edge_base_list_iter_t{nullptr, nullptr, nullptr};
    if (list == nullptr || list->head == nullptr) return nullptr;
    iter->current = list->head;
    iter->next = list->head->next;
    return list->head->data;
}

EDGE_API void *edge_base_list_loop_next(const edge_base_list_t *list, edge_base_list_iter_t *iter) {
    if (list == nullptr || iter == nullptr) return nullptr;
    return step_to(iter, iter->next);
}

EDGE_API void *edge_base_list_reverse_start(const edge_base_list_t *list, edge_base_list_iter_t *iter) {
    if (iter == nullptr) return nullptr;
    *iter = edge_base_list_iter_t{nullptr, nullptr, nullptr};
    if (list == nullptr || list->tail == nullptr) return nullptr;
    iter->current = list->tail;
    iter->prev = list->tail->prev;
    return list->tail->data;
}

EDGE_API void *edge_base_list_reverse_next(const edge_base_list_t *list, edge_base_list_iter_t *iter) {
    if (list == nullptr || iter == nullptr) return nullptr;
    return step_to(iter, iter->prev);
}

EDGE_API void edge_base_list_delete(edge_base_list_t *list) {
    if (list == nullptr || list->pool == nullptr) return;
    apr_pool_t *pool = list->pool;
    edge_base_memory_pool_destroy(&pool);
}

}  // extern "C"
