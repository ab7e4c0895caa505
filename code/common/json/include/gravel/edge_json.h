/**
 * @file edge_json.h
 * gravel JSON codec (libgravel-json): JSON documents on cJSON nodes, the driver that turns
 * records into JSON text and back, and the field jobs the generated record jobs call.
 *
 * Conventions (see <gravel/edge_base.h> for those of every gravel header):
 * - Nodes are cJSON nodes (<cjson/cJSON.h>); callers may use cJSON's own functions on them.
 *   A tree made by edge_json_create belongs to the caller until edge_json_delete; a node
 *   added to a parent belongs to the parent from then on.
 * - Texts the codec returns are allocated in the caller's pool and outlive every node.
 * - Statuses: 0 for success; EDGE_ERR_MISSING for a missing argument or an absent member;
 *   EDGE_ERR_NO_MEMORY when cJSON cannot allocate; EDGE_ERR_BAD_ARGUMENT for text that does
 *   not parse, a node of the wrong JSON type, or a string that is not valid UTF-8;
 *   EDGE_ERR_OUT_OF_RANGE for a number that does not fit its field exactly.
 * - Threads: no shared state. A tree, a record or a pool is used by one thread at a time.
 * - The codec never logs; the record get jobs of the service libraries log their failures.
 */
#ifndef GRAVEL_EDGE_JSON_H
#define GRAVEL_EDGE_JSON_H

#include <stddef.h>
#include <stdint.h>

#include <apr_pools.h>
#include <cjson/cJSON.h>

#include <gravel/edge_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Documents
 * ------------------------------------------------------------------------------------------ */

/** Null text: a new empty object. Otherwise the parsed value (an object, array, string ...);
 * null when the text does not parse. Delete the result with edge_json_delete. */
EDGE_API cJSON *edge_json_create(const char *text);

/** @{ */
/** Add a member to an object (the key is copied). A null string value adds JSON null.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null object or key
 * @retval EDGE_ERR_BAD_ARGUMENT `object` is not an object
 * @retval EDGE_ERR_NO_MEMORY cJSON cannot allocate */
EDGE_API uint32_t edge_json_add_string(cJSON *object, const char *key, const char *value);
EDGE_API uint32_t edge_json_add_number(cJSON *object, const char *key, double value);
/** @} */
/** Adds a child node as member `key`. On success the object owns the child; on failure the
 * child stays the caller's. Statuses as edge_json_add_string's, EDGE_ERR_MISSING also for a
 * null child. */
EDGE_API uint32_t edge_json_add_child(cJSON *object, const char *key, cJSON *child);
/** Adds an empty array member and returns it (owned by the object); null on failure. */
EDGE_API cJSON *edge_json_add_array(cJSON *object, const char *key);
/** Appends a node to an array, which owns it from then on; on failure the node stays the
 * caller's.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null array or node
 * @retval EDGE_ERR_BAD_ARGUMENT `array` is not an array
 * @retval EDGE_ERR_NO_MEMORY cJSON cannot allocate */
EDGE_API uint32_t edge_json_add_obj_to_array(cJSON *array, cJSON *object);
/** The node as compact JSON text in the pool; null for a null node or pool, or on failure.
 * Whole numbers of a parsed text (not changed since) print with the digits they were given. */
EDGE_API char *edge_json_to_str(const cJSON *object, apr_pool_t *pool);
/** Frees a whole tree; null is ignored. Never delete a node that a parent owns. */
EDGE_API void edge_json_delete(cJSON *object);

/* ------------------------------------------------------------------------------------------
 * Records and their jobs (what a record is: see EDGE_JSON_DECLARE_RECORD below)
 * ------------------------------------------------------------------------------------------ */

/** A record's set job: adds the record to `parent`, as its members or as member `name`. */
typedef uint32_t (*edge_json_set_job_fn)(cJSON *parent, const char *name, const void *record);
/** A record's get job: fills the record from `object`, copying strings into `pool`. */
typedef uint32_t (*edge_json_get_job_fn)(const cJSON *object, apr_pool_t *pool, const char *name, void *record);
/** A record's print job: one line of its printed fields, in `pool`. */
typedef uint32_t (*edge_json_print_job_fn)(const void *record, char **result, apr_pool_t *pool, int flag);

/** Runs `job` on a new root object with no name and prints the root into the pool: the
 * record's fields become top-level members, in table order. *text is the text, or null on
 * failure.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null argument
 * @retval EDGE_ERR_NO_MEMORY cJSON cannot allocate
 * @return otherwise the job's status */
EDGE_API uint32_t edge_json_struct_to_str(const void *record, char **text, apr_pool_t *pool, edge_json_set_job_fn job);
/** Parses the text and runs `job` on the root with the pool.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null argument
 * @retval EDGE_ERR_BAD_ARGUMENT the text does not parse (the record is untouched)
 * @return otherwise the job's status */
EDGE_API uint32_t edge_json_str_to_struct(void *record, const char *text, apr_pool_t *pool, edge_json_get_job_fn job);

/** @{ */
/**
 * Field jobs. `field` is the address of the record's field.
 *
 * set: adds the field as member `key` of `object`. A null string adds JSON null; a 64-bit
 *   value is written as its exact decimal digits. 0; EDGE_ERR_MISSING; EDGE_ERR_BAD_ARGUMENT
 *   when `object` is not an object; EDGE_ERR_NO_MEMORY.
 * get: reads `member` (null when the member is absent) into the field; the field is written
 *   only on success. _str: a JSON string, valid UTF-8, copied into the pool; JSON null gives a
 *   null string. _int/_ll: a JSON number that is a whole number within the field's range;
 *   _ll reads a number written as a whole number (digits, an optional minus) exactly over the
 *   whole int64_t range, when the tree was parsed by this library or made by a set job; any
 *   other number only up to 2^53 - 1 in magnitude, where a double still holds every whole
 *   value exactly. 0; EDGE_ERR_MISSING (absent member, null pool or field);
 *   EDGE_ERR_BAD_ARGUMENT (wrong JSON type, invalid UTF-8); EDGE_ERR_OUT_OF_RANGE.
 * print: with a flag of 0, 0 and the result untouched. Otherwise *result is the value as text
 *   in the pool (a string as it is, a number in decimal). EDGE_ERR_MISSING for a null field,
 *   result or pool, or a null string.
 */
EDGE_API uint32_t edge_json_set_str_job(cJSON *object, const char *key, const void *field);
EDGE_API uint32_t edge_json_set_int_job(cJSON *object, const char *key, const void *field);
EDGE_API uint32_t edge_json_set_ll_job(cJSON *object, const char *key, const void *field);
EDGE_API uint32_t edge_json_get_str_job(const cJSON *member, apr_pool_t *pool, const char *key, void *field);
EDGE_API uint32_t edge_json_get_int_job(const cJSON *member, apr_pool_t *pool, const char *key, void *field);
EDGE_API uint32_t edge_json_get_ll_job(const cJSON *member, apr_pool_t *pool, const char *key, void *field);
EDGE_API uint32_t edge_json_print_str_job(const void *field, char **result, apr_pool_t *pool, int flag);
EDGE_API uint32_t edge_json_print_int_job(const void *field, char **result, apr_pool_t *pool, int flag);
EDGE_API uint32_t edge_json_print_ll_job(const void *field, char **result, apr_pool_t *pool, int flag);
/** @} */

/** Nonzero exactly when all `length` bytes at `address` are zero (so also for length 0);
 * 0 for a null address. */
EDGE_API int edge_json_check_all_zero(const void *address, size_t length);

/* ------------------------------------------------------------------------------------------
 * Record tables
 * ------------------------------------------------------------------------------------------ */

/** Print mark of a field the print job shows. */
#define EDGE_JSON_PRINTED 1
/** Print mark of a field the print job never shows (keys, tokens, passwords ...). */
#define EDGE_JSON_HIDDEN 0

/** @name The C type of each field kind.
 * @{ */
#define EDGE_JSON_CTYPE_str const char * /**< _str: NUL-terminated UTF-8 */
#define EDGE_JSON_CTYPE_int int32_t      /**< _int */
#define EDGE_JSON_CTYPE_ll int64_t       /**< _ll */
/** @} */

/** Declares one field of a record from its (kind, key, print mark) entry. */
#define EDGE_JSON_FIELD_MEMBER(kind, key, mark) EDGE_JSON_CTYPE##kind key;

/**
 * Declares record type T from its field list EDGE_RECORD_FIELDS_T, and its three jobs.
 *
 * A record is a flat structure: a pool pointer first, then fields of three kinds, each with a
 * JSON member name. Kinds: _str (const char *, NUL-terminated UTF-8), _int (int32_t),
 * _ll (int64_t). Each record type T has three jobs, generated from its service's record table:
 * - set: adds the record to a parent node (as its members, or as a new object member/element)
 * - get: fills the record from an object node, copying strings into the pool
 * - print: renders the printed fields as one line of text for logs
 *
 * A service declares each record once as a field list:
 * @code
 *     #define EDGE_RECORD_FIELDS_VerifyRspBody(F)          \
 *         F(_str, module_id, EDGE_JSON_PRINTED)            \
 *         F(_ll, expires_at, EDGE_JSON_PRINTED)
 * @endcode
 * and EDGE_JSON_DECLARE_RECORD(VerifyRspBody) declares, field for field in that order,
 * @code
 *     typedef struct VerifyRspBody {
 *         apr_pool_t *pool;          owns the strings after a get; null in records to send
 *         const char *module_id;
 *         int64_t expires_at;
 *     } VerifyRspBody;
 * @endcode
 * and its three jobs edge_json_setVerifyRspBody_job, edge_json_getVerifyRspBody_job and
 * edge_json_printVerifyRspBody_job (signatures as the job types above). Hidden fields
 * (EDGE_JSON_HIDDEN: keys, tokens, passwords ...) are never shown by the print job. In a
 * record filled for sending, strings are borrowed from the caller.
 */
#define EDGE_JSON_DECLARE_RECORD(T)                                                                                  \
    typedef struct T {                                                                                               \
        apr_pool_t *pool;                                                                                            \
        EDGE_RECORD_FIELDS_##T(EDGE_JSON_FIELD_MEMBER)                                                               \
    } T;                                                                                                             \
    EDGE_API uint32_t edge_json_set##T##_job(cJSON *parent, const char *name, const void *record);                   \
    EDGE_API uint32_t edge_json_get##T##_job(const cJSON *object, apr_pool_t *pool, const char *name, void *record); \
    EDGE_API uint32_t edge_json_print##T##_job(const void *record, char **result, apr_pool_t *pool, int flag);

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_JSON_H */
