// The record machinery: the three jobs of every record type, written once and stamped from a
// service's record table.
//
// A service's public header declares its records with EDGE_JSON_DECLARE_RECORD (see
// <gravel/edge_json.h>); one source of the service then writes, for its table,
//
//     #include "edge_json_record.hpp"
//     EDGE_HTTP_RECORD_TABLE(EDGE_JSON_DEFINE_RECORD_JOBS)
//
// which defines, per record, a constant table of its fields (kind, key, offset, print mark)
// and the exported set, get and print jobs that run the generic drivers below over it.
// The service links libgravel-json (the field jobs) and libgravel-base (the get job's log line).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>

#include <apr_strings.h>

#include <gravel/edge_base.h>
#include <gravel/edge_json.h>

namespace gravel::json {

enum class Kind {
    str,
    int32,
    int64
};

// The kind tags of the tables, `_str`, `_int` and `_ll`, pasted onto `kind`.
inline constexpr Kind kind_str = Kind::str;
inline constexpr Kind kind_int = Kind::int32;
inline constexpr Kind kind_ll = Kind::int64;

struct Field {
    Kind kind;
    const char *key;
    std::size_t offset;
    bool printed;
};

struct KindJobs {
    const char *tag;  // "_str", "_int" or "_ll", as the log line names the kind
    std::size_t size;
    uint32_t (*set)(cJSON *, const char *, const void *);
    uint32_t (*get)(const cJSON *, apr_pool_t *, const char *, void *);
    uint32_t (*print)(const void *, char **, apr_pool_t *, int);
};

inline const KindJobs &jobs_of(Kind kind) noexcept {
    static constexpr KindJobs str{"_str", sizeof(const char *), edge_json_set_str_job, edge_json_get_str_job,
                                  edge_json_print_str_job};
    static constexpr KindJobs int32{"_int", sizeof(int32_t), edge_json_set_int_job, edge_json_get_int_job,
                                    edge_json_print_int_job};
    static constexpr KindJobs int64{"_ll", sizeof(int64_t), edge_json_set_ll_job, edge_json_get_ll_job,
                                    edge_json_print_ll_job};
    switch (kind) {
        case Kind::int32:
            return int32;
        case Kind::int64:
            return int64;
        case Kind::str:
            break;
    }
    return str;
}

inline const unsigned char *field_at(const void *record, const Field &f) noexcept {
    return static_cast<const unsigned char *>(record) + f.offset;
}
inline unsigned char *field_at(void *record, const Field &f) noexcept {
    return static_cast<unsigned char *>(record) + f.offset;
}

// Set: the fields become members of the parent itself, or of a new object that is appended to
// an array parent or added to an object parent under `name`. Nothing is attached on failure.
inline uint32_t set_record(cJSON *parent, const char *name, const void *record,
                           std::span<const Field> fields) noexcept {
    if (parent == nullptr || record == nullptr) return EDGE_ERR_MISSING;
    const bool to_array = cJSON_IsArray(parent);
    const bool nested = to_array || (name != nullptr && name[0] != '\0');
    if (!cJSON_IsObject(parent) && !to_array) return EDGE_ERR_BAD_ARGUMENT;
    cJSON *target = nested ? cJSON_CreateObject() : parent;
    if (target == nullptr) return EDGE_ERR_MISSING;
    for (const Field &f : fields) {
        const uint32_t status = jobs_of(f.kind).set(target, f.key, field_at(record, f));
        if (status != EDGE_OK) {
            if (nested) cJSON_Delete(target);
            return status;
        }
    }
    if (nested) {
        const bool added =
            to_array ? cJSON_AddItemToArray(parent, target) : cJSON_AddItemToObject(parent, name, target);
        if (!added) {
            cJSON_Delete(target);
            return EDGE_ERR_MISSING;
        }
    }
    return EDGE_OK;
}

// Get: fills the pool field and then each field in table order from the object's members,
// matched case-sensitively. The first failing field is logged and ends the get; the fields
// after it are left as they were.
inline uint32_t get_record(const cJSON *object, apr_pool_t *pool, void *record,
                           std::span<const Field> fields) noexcept {
    if (record == nullptr || object == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    if (!cJSON_IsObject(object)) return EDGE_ERR_BAD_ARGUMENT;
    *static_cast<apr_pool_t **>(record) = pool;
    for (const Field &f : fields) {
        const KindJobs &jobs = jobs_of(f.kind);
        const cJSON *member = cJSON_GetObjectItemCaseSensitive(object, f.key);
        const uint32_t status = jobs.get(member, pool, f.key, field_at(record, f));
        if (status != EDGE_OK) {
            EDGE_LOG_ERROR("get type:%s node_name:%s failed, ret = %d", jobs.tag, f.key, static_cast<int>(status));
            return status;
        }
    }
    return EDGE_OK;
}

// Zero record: the pool field and every field (hidden ones too) hold zero bytes. Padding
// between fields is not looked at, so a record filled field by field is judged by its fields.
inline bool record_is_zero(const void *record, std::span<const Field> fields) noexcept {
    if (!edge_json_check_all_zero(record, sizeof(apr_pool_t *))) return false;
    for (const Field &f : fields) {
        if (!edge_json_check_all_zero(field_at(record, f), jobs_of(f.kind).size)) return false;
    }
    return true;
}

// Print: "(zero), " for a zero record; otherwise "[" then "key : value, " for each printed
// field ("(zero)" for a zero field, "(error)" when its print job fails), then "]".
inline uint32_t print_record(const void *record, char **result, apr_pool_t *pool, int flag,
                             std::span<const Field> fields) noexcept {
    if (flag == 0) return EDGE_OK;
    if (record == nullptr || result == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    if (record_is_zero(record, fields)) {
        *result = apr_pstrdup(pool, "(zero), ");
        return *result == nullptr ? EDGE_ERR_NO_MEMORY : EDGE_OK;
    }
    try {
        std::string text = "[";
        for (const Field &f : fields) {
            if (!f.printed) continue;
            const KindJobs &jobs = jobs_of(f.kind);
            const unsigned char *value = field_at(record, f);
            const char *shown = "(zero)";
            if (!edge_json_check_all_zero(value, jobs.size)) {
                char *rendered = nullptr;
                shown = jobs.print(value, &rendered, pool, 1) == EDGE_OK && rendered != nullptr ? rendered : "(error)";
            }
            text.append(f.key).append(" : ").append(shown).append(", ");
        }
        text += "]";
        char *copy = apr_pstrmemdup(pool, text.data(), text.size());
        if (copy == nullptr) return EDGE_ERR_NO_MEMORY;
        *result = copy;
        return EDGE_OK;
    } catch (const std::bad_alloc &) {
        return EDGE_ERR_NO_MEMORY;
    }
}

}  // namespace gravel::json

// One field of a table as a Field, inside a scope where `Record` names the record type.
#define EDGE_JSON_FIELD_ENTRY(tag, key, mark) \
    ::gravel::json::Field{::gravel::json::kind##tag, #key, offsetof(Record, key), (mark) != 0},

// The field table and the three exported jobs of record type T.
#define EDGE_JSON_DEFINE_RECORD_JOBS(T)                                                                             \
    namespace gravel::json::tables::T##_table {                                                                     \
        using Record = ::T;                                                                                         \
        inline constexpr ::gravel::json::Field fields[] = {EDGE_RECORD_FIELDS_##T(EDGE_JSON_FIELD_ENTRY)};          \
    }                                                                                                               \
    extern "C" EDGE_API uint32_t edge_json_set##T##_job(cJSON *parent, const char *name, const void *record) {      \
        return ::gravel::json::set_record(parent, name, record, ::gravel::json::tables::T##_table::fields);         \
    }                                                                                                               \
    extern "C" EDGE_API uint32_t edge_json_get##T##_job(const cJSON *object, apr_pool_t *pool, const char *name,    \
                                                        void *record) {                                             \
        (void)name;                                                                                                 \
        return ::gravel::json::get_record(object, pool, record, ::gravel::json::tables::T##_table::fields);         \
    }                                                                                                               \
    extern "C" EDGE_API uint32_t edge_json_print##T##_job(const void *record, char **result, apr_pool_t *pool,      \
                                                          int flag) {                                               \
        return ::gravel::json::print_record(record, result, pool, flag, ::gravel::json::tables::T##_table::fields); \
    }
