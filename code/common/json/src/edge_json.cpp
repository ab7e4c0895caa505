// JSON documents on cJSON nodes and the driver that runs record jobs on a root node.
#include <apr_strings.h>

#include <gravel/edge_json.h>

#include "edge_json_utils.hpp"

using gravel::json::CjsonPtr;
using gravel::json::parse_whole;

extern "C" {

EDGE_API cJSON *edge_json_create(const char *text) {
    return text == nullptr ? cJSON_CreateObject() : parse_whole(text).release();
}

EDGE_API uint32_t edge_json_add_string(cJSON *object, const char *key, const char *value) {
    return gravel::json::add_member(object, key, value == nullptr ? cJSON_CreateNull() : cJSON_CreateString(value));
}

EDGE_API uint32_t edge_json_add_number(cJSON *object, const char *key, double value) {
    return gravel::json::add_member(object, key, cJSON_CreateNumber(value));
}

EDGE_API uint32_t edge_json_add_child(cJSON *object, const char *key, cJSON *child) {
    if (child == nullptr) return EDGE_ERR_MISSING;
    if (object == nullptr || key == nullptr) return EDGE_ERR_MISSING;
    if (!cJSON_IsObject(object)) return EDGE_ERR_BAD_ARGUMENT;
    return cJSON_AddItemToObject(object, key, child) ? EDGE_OK : EDGE_ERR_NO_MEMORY;
}

EDGE_API cJSON *edge_json_add_array(cJSON *object, const char *key) {
    cJSON *array = cJSON_CreateArray();
    if (array == nullptr) return nullptr;
    if (edge_json_add_child(object, key, array) != EDGE_OK) {
        cJSON_Delete(array);
        return nullptr;
    }
    return array;
}

EDGE_API uint32_t edge_json_add_obj_to_array(cJSON *array, cJSON *object) {
    if (array == nullptr || object == nullptr) return EDGE_ERR_MISSING;
    if (!cJSON_IsArray(array)) return EDGE_ERR_BAD_ARGUMENT;
    return cJSON_AddItemToArray(array, object) ? EDGE_OK : EDGE_ERR_NO_MEMORY;
}

EDGE_API char *edge_json_to_str(const cJSON *object, apr_pool_t *pool) {
    if (object == nullptr || pool == nullptr) return nullptr;
    const gravel::json::CjsonText text(gravel::json::print_exact(object));
    return text == nullptr ? nullptr : apr_pstrdup(pool, text.get());
}

EDGE_API void edge_json_delete(cJSON *object) {
    cJSON_Delete(object);
}

EDGE_API uint32_t edge_json_struct_to_str(const void *record, char **text, apr_pool_t *pool, edge_json_set_job_fn job) {
    if (text == nullptr) return EDGE_ERR_MISSING;
    *text = nullptr;
    if (record == nullptr || pool == nullptr || job == nullptr) return EDGE_ERR_MISSING;
    const CjsonPtr root(cJSON_CreateObject());
    if (root == nullptr) return EDGE_ERR_NO_MEMORY;
    const uint32_t status = job(root.get(), nullptr, record);
    if (status != EDGE_OK) return status;
    *text = edge_json_to_str(root.get(), pool);
    return *text == nullptr ? EDGE_ERR_NO_MEMORY : EDGE_OK;
}

EDGE_API uint32_t edge_json_str_to_struct(void *record, const char *text, apr_pool_t *pool, edge_json_get_job_fn job) {
    if (record == nullptr || text == nullptr || pool == nullptr || job == nullptr) return EDGE_ERR_MISSING;
    const CjsonPtr root = parse_whole(text);
    if (root == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    return job(root.get(), pool, nullptr, record);
}

}  // extern "C"
