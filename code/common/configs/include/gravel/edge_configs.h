/**
 * @file edge_configs.h
 * gravel configuration store (libgravel-configs): the process-wide, in-memory store of typed
 * values (int, long, long long, string) under string keys, in two independent tables (index
 * 0 and 1; the kit uses table 0). Strings may be kept encrypted under the domain key "configs",
 * which lives only as long as the process. Nothing is written to disk.
 *
 * Conventions (beyond those of <gravel/edge_base.h>):
 * - Order. edge_cipher_init, then edge_configs_init; edge_configs_destroy before
 *   edge_cipher_destroy. Before init and after destroy every call reports that the store is not
 *   initialised (EDGE_ERR_MISSING, 0 or null as stated).
 * - Keys. Keys are copied at their first set; the caller's string need not outlive the call.
 * - Entries. Each entry lives in its own pool, a child of its table's pool; setting a key
 *   again releases the previous entry at once, so values set again and again do not grow the
 *   store.
 * - Statuses. Sets: 0; EDGE_ERR_BAD_ARGUMENT for an index other than 0 and 1 or a null or
 *   empty key (or value); EDGE_ERR_MISSING when the store is not initialised;
 *   EDGE_ERR_NO_MEMORY; for encrypted strings, the cipher's status. Number getters: the value;
 *   0 for an unusable index or key, an absent key or one of another type; EDGE_ERR_MISSING
 *   (20001) when the store is not initialised, which a caller cannot tell from a stored 20001.
 * - Threads. Any function but init and destroy may be called from any thread at any time.
 *   Each table has a mutex, and readers take it as well as writers: a get looks the entry up
 *   and copies what it returns while holding it, so no reader ever touches a released entry.
 *   Encryption and decryption happen outside the lock. Sets of one table are serialised;
 *   the two tables do not wait for each other.
 * - Strings handed out. edge_configs_get_str returns the calling thread's own copy of the value
 *   (see there); edge_configs_get_value returns the entry itself and is for callers that know
 *   no other thread sets that key meanwhile.
 */
#ifndef GRAVEL_EDGE_CONFIGS_H
#define GRAVEL_EDGE_CONFIGS_H

#include <stdint.h>

#include <apr_hash.h>
#include <apr_pools.h>
#include <apr_thread_mutex.h>

#include <gravel/edge_base.h>
#include <gravel/edge_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Number of tables of the store (index 0 and 1). */
#define EDGE_CONFIGS_TABLE_COUNT 2

/** @name Entry types.
 * @{ */
#define EDGE_CONFIGS_TYPE_INT 0      /**< int32_t */
#define EDGE_CONFIGS_TYPE_STR 1      /**< plain or encrypted: only the caller knows which */
#define EDGE_CONFIGS_TYPE_LONG 2     /**< long */
#define EDGE_CONFIGS_TYPE_LONGLONG 3 /**< long long */
/** @} */

/** One value. An encrypted string holds the cipher text (<gravel/edge_cipher.h>) of the value
 * under the domain "configs", zero-terminated. */
typedef struct edge_configs_data_s {
    apr_pool_t *pool; /**< the entry's own pool: the entry and its string live in it */
    int32_t type;     /**< EDGE_CONFIGS_TYPE_* */
    union {
        int32_t int_value;        /**< EDGE_CONFIGS_TYPE_INT */
        long long_value;          /**< EDGE_CONFIGS_TYPE_LONG */
        long long longlong_value; /**< EDGE_CONFIGS_TYPE_LONGLONG */
        char *str_value;          /**< EDGE_CONFIGS_TYPE_STR, in the entry's pool */
    } value;                      /**< the value, by type */
} edge_configs_data_t;

/** The configuration manager "CONFIGS_MGR", registry slot 5. Each table and its mutex live in
 * a child pool of the manager's pool, one per table. */
typedef struct edge_configs_mgr_s {
    edge_mgr_head_t head;                                /**< slot, name, the manager's pool */
    apr_hash_t *table[EDGE_CONFIGS_TABLE_COUNT];         /**< key -> edge_configs_data_t* */
    apr_thread_mutex_t *mutex[EDGE_CONFIGS_TABLE_COUNT]; /**< guards its table */
} edge_configs_mgr_t;

EDGE_MGR_DECLARE_ACCESSORS(CONFIGS, edge_configs_mgr_t)

/**
 * Creates the manager, both tables and mutexes, and enters 16 random bytes as the non-enduring
 * domain key "configs" (a "configs" key from an earlier init in this process is kept).
 * A failed init deletes the manager again.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING the manager cannot be created, or the cipher is not initialised
 * @retval EDGE_ERR_NO_MEMORY a table cannot be made
 * @retval EDGE_ERR_MUTEX a mutex cannot be made
 * @return otherwise the cipher's status
 * @logs INFO "edge configs init success."
 */
EDGE_API uint32_t edge_configs_init(void);

/** Releases both tables and every entry. The domain key "configs" stays in the cipher. */
EDGE_API void edge_configs_destroy(void);

/** @{ */
/** Sets a number of the function's type under the key, replacing any entry of the key.
 * @retval 0 success
 * @retval EDGE_ERR_BAD_ARGUMENT an index other than 0 and 1, or a null or empty key
 * @retval EDGE_ERR_MISSING the store is not initialised
 * @retval EDGE_ERR_NO_MEMORY no entry can be made, or the key cannot be copied */
EDGE_API uint32_t edge_configs_set_int(uint32_t index, const char *key, int32_t value);
EDGE_API uint32_t edge_configs_set_long(uint32_t index, const char *key, long value);
EDGE_API uint32_t edge_configs_set_longlong(uint32_t index, const char *key, long long value);
/** @} */

/** Sets a string (copied). With encrypt non-zero the store keeps its cipher text instead; when
 * the encryption fails the table is unchanged and its status is returned. An empty value is
 * refused and leaves an existing entry as it is.
 * @retval 0 success
 * @retval EDGE_ERR_BAD_ARGUMENT an index other than 0 and 1, a null or empty key, or a null
 *         or empty value
 * @retval EDGE_ERR_MISSING the store is not initialised
 * @retval EDGE_ERR_NO_MEMORY no entry can be made, or the key cannot be copied
 * @return otherwise the cipher's status, for an encrypted string */
EDGE_API uint32_t edge_configs_set_str(uint32_t index, const char *key, const char *value, uint32_t encrypt);

/** @{ */
/** The number of the function's type stored under the key; 0 for an unusable index or key,
 * an absent key or one of another type; EDGE_ERR_MISSING (20001) when the store is not
 * initialised, which a caller cannot tell from a stored 20001. */
EDGE_API int32_t edge_configs_get_int(uint32_t index, const char *key);
EDGE_API long edge_configs_get_long(uint32_t index, const char *key);
EDGE_API long long edge_configs_get_longlong(uint32_t index, const char *key);
/** @} */

/**
 * The string stored under the key (for an encrypted entry, its cipher text), or null when the
 * index or key is unusable, the store is not initialised, or the key is absent or holds
 * another type.
 * The text returned is the calling thread's own copy, taken under the table's lock. It stays
 * valid and unchanged until the same thread calls edge_configs_get_str again for the same table
 * and key and the value has changed since (an unchanged value gives the same pointer), or until
 * the thread ends. A set by any thread never invalidates it. Copy the text to keep it longer or
 * to hand it to another thread.
 */
EDGE_API const char *edge_configs_get_str(uint32_t index, const char *key);

/**
 * Decrypts an encrypted string into the caller's buffer, without a terminator (zero the buffer
 * and leave room for one).
 * @retval 0 success
 * @retval EDGE_ERR_BAD_ARGUMENT an unusable index or key, a null output or length, a zero
 *         capacity, or a key that is absent or not a string
 * @retval EDGE_ERR_MISSING the store is not initialised
 * @retval EDGE_ERR_NO_MEMORY no scratch memory
 * @return otherwise the status of edge_cipher_decrypt (for a string stored without
 *         encryption typically EDGE_ERR_HEX_DECODE; EDGE_ERR_OUT_OF_RANGE for too small a
 *         buffer)
 */
EDGE_API uint32_t edge_configs_get_str_decrypt(uint32_t index, const char *key, char *output, uint32_t *output_len);

/**
 * Enters a prepared entry (from edge_configs_struct_data_alloc for the same table) under the
 * key, releasing the entry it replaces (its pool is destroyed).
 * @retval 0 success
 * @retval EDGE_ERR_BAD_ARGUMENT an index other than 0 and 1, a null or empty key, a null
 *         entry or a null manager
 * @retval EDGE_ERR_MISSING a manager that is not initialised
 * @retval EDGE_ERR_NO_MEMORY the key cannot be copied
 */
EDGE_API uint32_t edge_configs_set_value(edge_configs_mgr_t *mgr, uint32_t index, const char *key,
                                         edge_configs_data_t *entry);

/** The entry under the key, or null. The entry itself is returned, not a copy: it is released
 * when another thread sets the same key, so use it only where no such set can happen. */
EDGE_API edge_configs_data_t *edge_configs_get_value(edge_configs_mgr_t *mgr, uint32_t index, const char *key);

/** A new zeroed entry with its own pool (a child of the table's pool), or null for an index
 * other than 0 and 1, a manager that is null or not initialised, or no memory. Release an
 * entry that is not entered by destroying its pool. */
EDGE_API edge_configs_data_t *edge_configs_struct_data_alloc(edge_configs_mgr_t *mgr, uint32_t index);

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_CONFIGS_H */
