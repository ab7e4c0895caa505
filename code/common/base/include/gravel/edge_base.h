/**
 * @file edge_base.h
 * gravel base runtime (libgravel-base): initialisation, the manager registry, memory pools,
 * files, strings, time, logging, lists, the retry worker and the schedule job.
 *
 * Conventions of every gravel header:
 * - Ownership. Memory lives in APR pools. An operation that returns text or records in a
 *   caller's pool hands it over for that pool's life; nothing is freed one block at a time.
 *   Records that stay in a library's manager live until that library's destroy.
 * - Null. Pointer arguments may be null unless a function says otherwise; a null where a
 *   value is required gives the status stated (most often EDGE_ERR_MISSING) or a null
 *   result, never a crash.
 * - Statuses. Functions returning uint32_t return 0 for success, an EDGE_ERR_* code of
 *   <gravel/edge_status.h>, or a dependency's status passed back unchanged where stated.
 *   Creators return null on failure.
 * - Threads. edge_base_init/edge_base_destroy and every library's init/destroy run while no
 *   other operation of the kit is in progress. Logging may be called from any thread. A pool
 *   is used by one thread at a time; so are lists. Workers run their operation on a thread
 *   of their own. A stop (or success notify) called from inside that operation only lowers
 *   the running flag: the runner ends after the operation returns, and its thread is joined
 *   by the owner's next stop or delete, so delete is called from another thread. A stop or
 *   delete from another thread lowers the flag and joins: when it returns the operation is
 *   not running and will not be called again. Configuring a running worker is allowed; the
 *   runner ends at its next look at the flag.
 * - Widths. The kit runs on armhf (32-bit ARM: long, time_t, size_t and pointers are 4
 *   bytes), arm64 and x86-64 (all 8 bytes). Numbers in records, buffer lengths and statuses
 *   are fixed-width (uint32_t, int32_t; times int64_t), so records mean the same on all
 *   three; pointers and the size_t sizes of the memory operations follow the platform.
 *   The only `long` record fields are the schedule job's interval and exception sleep; the
 *   only other `long` values are the sleep a schedule job function stores and the line
 *   number of edge_base_log_write. They are 32-bit on armhf (seconds: up to about 68 years)
 *   and 64-bit elsewhere.
 *
 * Initialisation order of a module: edge_base_init first, edge_base_destroy last.
 */
#ifndef GRAVEL_EDGE_BASE_H
#define GRAVEL_EDGE_BASE_H

#include <stddef.h>
#include <stdint.h>

#include <apr_pools.h>
#include <apr_thread_proc.h>

#include <gravel/edge_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Base initialisation and teardown
 * ------------------------------------------------------------------------------------------ */

/** Longest work dir the runtime accepts, in characters. */
#define EDGE_BASE_WORKDIR_MAX 256
/** Longest caller version the runtime keeps, in characters. */
#define EDGE_BASE_VERSION_MAX 32

/**
 * Initialises the runtime for a work directory (required, 1..256 characters, without a
 * trailing slash) holding conf/rootcert.pem and conf/sdk_log.conf. The version (optional) is
 * only kept and logged. After any failure but EDGE_ERR_BAD_ARGUMENT, call edge_base_destroy
 * to release what was set up.
 * @retval 0 success
 * @retval EDGE_ERR_BAD_ARGUMENT a bad work dir (nothing set up)
 * @retval EDGE_ERR_MISSING the global table, the manager or a scratch pool cannot be made
 * @retval EDGE_ERR_NOT_DIRECTORY the work dir is not a directory
 * @retval EDGE_ERR_FILE_MISSING conf/rootcert.pem is missing
 * @retval -1 (as uint32_t) the log configuration is missing or invalid
 * @return otherwise an APR status
 */
EDGE_API uint32_t edge_base_init(const char *work_dir, const char *version);

/** Tears down in the reverse order of init: the base manager, logging, every pool, APR. */
EDGE_API void edge_base_destroy(void);

/** @{ */
/** The work dir and CA file path ("<work dir>/conf/rootcert.pem") kept by init; null before
 * init. The strings live until edge_base_destroy. */
EDGE_API const char *edge_base_get_workdir(void);
EDGE_API const char *edge_base_get_ca_file(void);
/** @} */

/* ------------------------------------------------------------------------------------------
 * Manager registry
 * ------------------------------------------------------------------------------------------ */

/** @name Registry slots of the kit's managers.
 * @{ */
#define EDGE_MGR_SLOT_BASE 0u       /**< BASE_MGR, the base runtime. */
#define EDGE_MGR_SLOT_HTTP 2u       /**< HTTP_MGR, the HTTP client. */
#define EDGE_MGR_SLOT_MQTT 3u       /**< MQTT_MGR, the MQTT client. */
#define EDGE_MGR_SLOT_CIPHER 4u     /**< CIPHER_MGR, the cipher. */
#define EDGE_MGR_SLOT_CONFIGS 5u    /**< CONFIGS_MGR, the configuration store. */
#define EDGE_MGR_SLOT_HTTP_CONNS 6u /**< HTTP_CONNS_MGR, the HTTP connections service. */
#define EDGE_MGR_SLOT_MQTT_CONNS 7u /**< MQTT_CONNS_MGR, the MQTT connections service. */
#define EDGE_MGR_SLOT_COUNT 9u      /**< Number of slots of the registry. */
/** @} */

/** The head every manager record embeds: filled by creation, its pool destroyed by deletion. */
typedef struct edge_mgr_head_s {
    uint32_t slot;    /**< registry slot */
    char *name;       /**< copy of the manager name, in the manager's pool */
    apr_pool_t *pool; /**< the manager's pool, a child of the root pool; null after delete */
} edge_mgr_head_t;

/** Maps a manager record to the head embedded in it. */
typedef edge_mgr_head_t *(*edge_mgr_get_vector_fn)(void *record);

/** The base runtime's manager, "BASE_MGR" in slot 0. Its strings live in its pool. */
typedef struct edge_base_mgr_s {
    edge_mgr_head_t head; /**< slot, name, the manager's pool */
    char *work_dir;       /**< copy of the work dir (at most 256 characters) */
    char *ca_file;        /**< work dir + "/conf/rootcert.pem" */
    char *log_conf;       /**< work dir + "/conf/sdk_log.conf" */
    char *version;        /**< the caller's version (at most 32 characters), or null */
    char *compile_time;   /**< build date and time, "Mmm dd yyyy hh:mm:ss" */
} edge_base_mgr_t;

/** Allocates the one-slot global table from the root pool.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING no root pool, or no memory */
EDGE_API uint32_t edge_base_global_init(void);
/** Slot 0 only: created zero-filled with `size` bytes on first call, the same object after. */
EDGE_API void *edge_base_global_get(uint32_t index, size_t size);
/** Nothing to do: the table goes with the root pool. */
EDGE_API void edge_base_global_destroy(void);

/** The registry: an array of EDGE_MGR_SLOT_COUNT record pointers, or null. */
EDGE_API void **edge_base_MGR_GLOBAL_get(void);
/** Registers a manager record in a slot.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without a registry
 * @retval EDGE_ERR_OUT_OF_RANGE for a slot above 8 */
EDGE_API uint32_t edge_base_mgr_set(uint32_t slot, void *record);
/** The record in the slot, or null. */
EDGE_API void *edge_base_mgr_get(uint32_t slot);
/** Gives the record's head a new pool (child of the root pool) and a copy of the name, and
 * registers the record. `size` is informational. The record, or null. */
EDGE_API void *edge_base_mgr_create_impl(uint32_t slot, const char *name, void *record, size_t size,
                                         edge_mgr_get_vector_fn get_vector);
/** Destroys the pool of the record in the slot (the pool field becomes null); the record
 * stays registered. */
EDGE_API void edge_base_mgr_delete_impl(uint32_t slot, edge_mgr_get_vector_fn get_vector);

/** Fills work dir, CA file, version and compile time of BASE_MGR; `pool` is a scratch pool.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument or no memory
 * @retval EDGE_ERR_NOT_DIRECTORY the work dir is not a directory
 * @retval EDGE_ERR_FILE_MISSING no CA file (the fields are already set) */
EDGE_API uint32_t edge_base_info_set(edge_base_mgr_t *mgr, apr_pool_t *pool, const char *work_dir, const char *version);

/**
 * The accessor family every library with a manager exports, here for BASE_MGR:
 * get_vector maps the record to its head; mgr_create creates and registers the manager (the
 * record, or null); mgr_get returns the registered record or null; mgr_get_pool the
 * manager's pool or null; mgr_create_pool a new child pool of it or null; mgr_delete
 * destroys the manager's pool.
 *
 * For a NAME of BASE, HTTP, MQTT, CIPHER, CONFIGS, HTTP_CONNS or MQTT_CONNS it declares
 * `edge_<NAME>_MGR_get_vector`, `_mgr_create`, `_mgr_get`, `_mgr_get_pool`,
 * `_mgr_create_pool` and `_mgr_delete`; each header that has a manager stamps them for it.
 */
#define EDGE_MGR_DECLARE_ACCESSORS(NAME, RECORD_TYPE)                     \
    EDGE_API edge_mgr_head_t *edge_##NAME##_MGR_get_vector(void *record); \
    EDGE_API RECORD_TYPE *edge_##NAME##_MGR_mgr_create(void);             \
    EDGE_API RECORD_TYPE *edge_##NAME##_MGR_mgr_get(void);                \
    EDGE_API apr_pool_t *edge_##NAME##_MGR_mgr_get_pool(void);            \
    EDGE_API apr_pool_t *edge_##NAME##_MGR_mgr_create_pool(void);         \
    EDGE_API void edge_##NAME##_MGR_mgr_delete(void);

EDGE_MGR_DECLARE_ACCESSORS(BASE, edge_base_mgr_t)

/* ------------------------------------------------------------------------------------------
 * Memory pools
 * ------------------------------------------------------------------------------------------ */

/** Creates the root pool.
 * @return 0, or an APR status */
EDGE_API uint32_t edge_base_memory_init(void);
/** Destroys the root pool with every pool below it. */
EDGE_API void edge_base_memory_destroy(void);
/** A block from the root pool; null without a root pool or for size 0. */
EDGE_API void *edge_base_frame_memory_alloc(size_t size);
/** A child of `parent`, or of the root pool when null; null on failure. */
EDGE_API apr_pool_t *edge_base_memory_pool_create(apr_pool_t *parent);
/** Releases everything in the pool (destroying its children) and keeps it; null is ignored. */
EDGE_API void edge_base_memory_pool_clear(apr_pool_t *pool);
/** Destroys *pool and sets it to null; a null address or null pool is ignored. */
EDGE_API void edge_base_memory_pool_destroy(apr_pool_t **pool);
/** A block of `size` bytes from the pool, not zero-filled; null for a null pool. */
EDGE_API void *edge_base_memory_malloc(apr_pool_t *pool, size_t size);
/** Releases nothing (blocks go with their pool); any pointer is accepted. */
EDGE_API void edge_base_memory_free(void *block);
/** @{ */
/**
 * Bounds-checked copy and fill with the memcpy_s/memset_s contract: 0 on success; EINVAL for
 * a null pointer or overlapping areas, ERANGE when count exceeds dest_size or a size exceeds
 * SIZE_MAX/2. On a failure with a usable destination the destination is zero-filled (copy) or
 * filled with the value (fill) up to dest_size; nothing is ever written past dest_size.
 * The fill is never optimised away, so it may wipe secrets.
 */
EDGE_API int edge_base_memory_copy(void *dest, size_t dest_size, const void *src, size_t count);
EDGE_API int edge_base_memory_set(void *dest, size_t dest_size, int value, size_t count);
/** @} */

/* ------------------------------------------------------------------------------------------
 * Files, strings and time
 * ------------------------------------------------------------------------------------------ */

/** @{ */
/** 1 when the path names an existing regular file (edge_base_file_exist) or directory
 * (edge_base_directory_exist), else 0. Links are followed. In these and the other file
 * functions the pool argument serves APR's scratch use unless stated. */
EDGE_API int edge_base_file_exist(const char *path, apr_pool_t *pool);
EDGE_API int edge_base_directory_exist(const char *path, apr_pool_t *pool);
/** @} */
/** Creates one directory, mode 0700.
 * @return 0, or an APR status */
EDGE_API uint32_t edge_base_directory_make(const char *path, apr_pool_t *pool);
/** Reads up to *length bytes into buffer (not NUL-terminated); *length becomes the count
 * read.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument
 * @retval EDGE_ERR_FILE_MISSING no such file
 * @return otherwise an APR status (APR_EOF for an empty file) */
EDGE_API uint32_t edge_base_file_read(const char *path, unsigned char *buffer, uint32_t *length, apr_pool_t *pool);
/** Reads at most the first 12 bytes of a file into a NUL-terminated block allocated in the
 * pool; *length becomes the count read. The content is never logged.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument
 * @retval EDGE_ERR_NO_MEMORY no block
 * @retval EDGE_ERR_FILE_MISSING no such file
 * @return otherwise an APR status */
EDGE_API uint32_t edge_base_file_read_alloc(const char *path, unsigned char **buffer, uint32_t *length,
                                            apr_pool_t *pool);
/** Writes `length` bytes from the start of the file, creating it with mode 0600; an existing
 * longer file keeps its tail. A symbolic link at the path is refused, not written through.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument
 * @return otherwise an APR status (ELOOP for a symbolic link)
 * @logs ERROR "file is a symbolic link, not written, path:%s" */
EDGE_API uint32_t edge_base_file_write(const char *path, const unsigned char *data, uint32_t length, apr_pool_t *pool);
/** Removes a regular file.
 * @retval 0 removed, or there was none
 * @retval EDGE_ERR_MISSING null arguments */
EDGE_API uint32_t edge_base_file_remove(const char *path, apr_pool_t *pool);

/* Byte-wise, null-tolerant string helpers. */
/** The length of the text; 0 for null. */
EDGE_API uint32_t edge_base_str_len(const char *text);
/** Compares at most `count` bytes as unsigned char, stopping after a zero byte: negative, 0 or
 * positive. 0 for a count of 0; a null text sorts before any other and equals another null. */
EDGE_API int edge_base_str_n_cmp(const char *a, const char *b, uint32_t count);
/** The first occurrence of `pattern` in `text` (text itself for an empty pattern), or null
 * (also for a null argument). */
EDGE_API const char *edge_base_str_find(const char *text, const char *pattern);
/** The last occurrence of `pattern` in `text`, or null (also for a null argument or an empty
 * pattern). */
EDGE_API const char *edge_base_str_rfind(const char *text, const char *pattern);
/** The offset of edge_base_str_find's result in `text`, or -1. */
EDGE_API int32_t edge_base_str_find_pos(const char *text, const char *pattern);
/** The offset of edge_base_str_rfind's result in `text`, or -1. */
EDGE_API int32_t edge_base_str_rfind_pos(const char *text, const char *pattern);

/** Milliseconds since the Unix epoch. */
EDGE_API int64_t edge_base_time_now(void);
/** Formats the current UTC time; *length: capacity in, length written out.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null or empty format, a null buffer or length, or a capacity of 0
 * @return otherwise an APR status */
EDGE_API uint32_t edge_base_time_strftime(const char *format, char *buffer, uint32_t *length);

/* ------------------------------------------------------------------------------------------
 * Logging
 * ------------------------------------------------------------------------------------------ */

/** @name Log levels, as zlog numbers them.
 * @{ */
#define EDGE_LOG_LEVEL_DEBUG 20  /**< DEBUG */
#define EDGE_LOG_LEVEL_INFO 40   /**< INFO */
#define EDGE_LOG_LEVEL_NOTICE 60 /**< NOTICE */
#define EDGE_LOG_LEVEL_WARN 80   /**< WARN */
#define EDGE_LOG_LEVEL_ERROR 100 /**< ERROR */
#define EDGE_LOG_LEVEL_FATAL 120 /**< FATAL */
/** @} */

/** Loads "<work dir>/conf/sdk_log.conf": messages go to its rules for the category "sdk_rule".
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without BASE_MGR
 * @retval -1 (as uint32_t) the configuration is missing, unreadable or invalid, or logging
 *         is already initialised */
EDGE_API uint32_t edge_base_log_init(const char *work_dir);
/** Finishes logging; later messages are dropped. May be called any number of times. */
EDGE_API void edge_base_log_destroy(void);
/** @{ */
/** Log-safe forms of identifiers and dotted addresses: a copy in the pool, the text itself,
 * or a constant ("***", "(null)"). Read-only; valid while the pool lives. */
EDGE_API const char *edge_base_log_fuzz_id(const char *text, apr_pool_t *pool);
EDGE_API const char *edge_base_log_fuzz_ip(const char *text, apr_pool_t *pool);
/** @} */

/** 1 when a message of this level would be written by some rule, else 0. Cheap. */
EDGE_API int edge_base_log_enabled(int level);
/** Writes one message with its source location; dropped when logging is not initialised. */
EDGE_API void edge_base_log_write(const char *file, size_t file_len, const char *func, size_t func_len, long line,
                                  int level, const char *format, ...) __attribute__((format(printf, 7, 8)));

/** Logs with the caller's file, function and line; arguments are evaluated only when the
 * level is enabled. */
#define EDGE_LOG(level, ...)                                                                                       \
    do {                                                                                                           \
        if (edge_base_log_enabled(level))                                                                          \
            edge_base_log_write(__FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, (level), \
                                __VA_ARGS__);                                                                      \
    } while (0)
#define EDGE_LOG_DEBUG(...) EDGE_LOG(EDGE_LOG_LEVEL_DEBUG, __VA_ARGS__) /**< EDGE_LOG at DEBUG */
#define EDGE_LOG_INFO(...) EDGE_LOG(EDGE_LOG_LEVEL_INFO, __VA_ARGS__)   /**< EDGE_LOG at INFO */
#define EDGE_LOG_WARN(...) EDGE_LOG(EDGE_LOG_LEVEL_WARN, __VA_ARGS__)   /**< EDGE_LOG at WARN */
#define EDGE_LOG_ERROR(...) EDGE_LOG(EDGE_LOG_LEVEL_ERROR, __VA_ARGS__) /**< EDGE_LOG at ERROR */

/* ------------------------------------------------------------------------------------------
 * Lists
 * ------------------------------------------------------------------------------------------ */

/** A list; see struct edge_base_list_s. */
typedef struct edge_base_list_s edge_base_list_t;
/** One element of a list, in the list's pool. */
typedef struct edge_base_list_node_s {
    struct edge_base_list_node_s *next; /**< the next node toward the tail, or null */
    struct edge_base_list_node_s *prev; /**< the previous node toward the head, or null */
    edge_base_list_t *list;             /**< the list holding the node; null once removed */
    void *data;                         /**< the caller's pointer */
} edge_base_list_node_t;
/** A doubly linked list of caller pointers in a pool of its own. One thread at a time. */
struct edge_base_list_s {
    uint32_t count;              /**< number of nodes */
    edge_base_list_node_t *head; /**< the first node, or null */
    edge_base_list_node_t *tail; /**< the last node, or null */
    apr_pool_t *pool;            /**< the list's own pool: the record and every node live in it */
};
/** The caller's iteration state, for example on its stack. */
typedef struct edge_base_list_iter_s {
    edge_base_list_node_t *current; /**< the node whose data was returned last */
    edge_base_list_node_t *next;    /**< the node a forward step returns next */
    edge_base_list_node_t *prev;    /**< the node a backward step returns next */
} edge_base_list_iter_t;

/** A new empty list in a child pool of `pool`; null for a null pool or no memory. */
EDGE_API edge_base_list_t *edge_base_list_create(apr_pool_t *pool);
/** 1 for an empty or null list, else 0. */
EDGE_API int edge_base_list_is_empty(const edge_base_list_t *list);
/** The number of nodes; 0 for null. */
EDGE_API uint32_t edge_base_list_count_get(const edge_base_list_t *list);
/** @{ */
/** Adds a pointer at the head (or the tail).
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null list
 * @retval EDGE_ERR_NO_MEMORY no node can be allocated */
EDGE_API uint32_t edge_base_list_add_head(edge_base_list_t *list, void *data);
EDGE_API uint32_t edge_base_list_add_tail(edge_base_list_t *list, void *data);
/** @} */
/** @{ */
/** The pointer at the head (or the tail), or null for an empty or null list. */
EDGE_API void *edge_base_list_get_head(const edge_base_list_t *list);
EDGE_API void *edge_base_list_get_tail(const edge_base_list_t *list);
/** @} */
/** @{ */
/** Removes the head (or the tail) node and returns its pointer; null for an empty or null
 * list. Removed nodes stay in the list's pool until the list is deleted. */
EDGE_API void *edge_base_list_remove_head(edge_base_list_t *list);
EDGE_API void *edge_base_list_remove_tail(edge_base_list_t *list);
/** @} */
/** @{ */
/** Forward and backward iteration: start returns the first (last) pointer, next the one after
 * it; null at the end. The node just returned may be removed. */
EDGE_API void *edge_base_list_loop_start(const edge_base_list_t *list, edge_base_list_iter_t *iter);
EDGE_API void *edge_base_list_loop_next(const edge_base_list_t *list, edge_base_list_iter_t *iter);
EDGE_API void *edge_base_list_reverse_start(const edge_base_list_t *list, edge_base_list_iter_t *iter);
EDGE_API void *edge_base_list_reverse_next(const edge_base_list_t *list, edge_base_list_iter_t *iter);
/** @} */
/** Destroys the list's pool; the caller's data is untouched. Null is ignored. */
EDGE_API void edge_base_list_delete(edge_base_list_t *list);

/* ------------------------------------------------------------------------------------------
 * Retry worker
 * ------------------------------------------------------------------------------------------ */

/** The operation a retry worker runs with its argument: 0 is a success. */
typedef uint32_t (*edge_base_retry_fn)(void *arg);

/** A retry worker: runs an operation on its own thread, at once and then after delays of 2,
 * 4, 8 ... seconds up to a ceiling, until success (when asked), a try limit, or a stop. The
 * worker's fields are written by the kit only. */
typedef struct edge_base_retry_s {
    apr_pool_t *pool;             /**< the worker's own pool; the record lives in it */
    char *name;                   /**< copy of the name, for the log */
    uint32_t running;             /**< touched only atomically */
    uint32_t try_count;           /**< tries made since the start */
    int32_t max_retries;          /**< negative: no limit */
    uint32_t delay;               /**< seconds */
    uint32_t max_delay;           /**< seconds */
    uint32_t stop_on_success;     /**< non-zero: a success stops the worker */
    edge_base_retry_fn operation; /**< the operation */
    void *arg;                    /**< the argument of edge_base_retry_start */
    apr_thread_t *thread;         /**< the runner's thread, or null */
} edge_base_retry_t;

/** A new worker named `name` in a child pool of `pool`, not configured; null for a null or
 * empty name, a null pool or no memory. */
EDGE_API edge_base_retry_t *edge_base_retry_create(const char *name, apr_pool_t *pool);
/** Sets the operation, the try limit, the delay ceiling and whether a success stops.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null worker or operation, or a max retries or max delay of 0 */
EDGE_API uint32_t edge_base_retry_config(edge_base_retry_t *worker, edge_base_retry_fn operation, int32_t max_retries,
                                         uint32_t max_delay, uint32_t stop_on_success);
/** Starts the thread (no change when it has one).
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null worker
 * @return otherwise the APR status of the thread creation */
EDGE_API uint32_t edge_base_retry_start(edge_base_retry_t *worker, void *arg);
/** Logs the success and stops the worker.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null worker */
EDGE_API uint32_t edge_base_retry_success_notify(edge_base_retry_t *worker);
/** Stops and joins the thread; returns within about 100 ms plus the running operation.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null worker */
EDGE_API uint32_t edge_base_retry_stop(edge_base_retry_t *worker);
/** Stops the worker and destroys its pool with the record; null is ignored. */
EDGE_API void edge_base_retry_delete(edge_base_retry_t *worker);
/** The next delay (doubling from 1, capped at max delay), also stored; 0 for null. */
EDGE_API uint32_t edge_base_retry_calc_delay(edge_base_retry_t *worker);
/** The thread body started by edge_base_retry_start. */
EDGE_API void *APR_THREAD_FUNC edge_base_retry_runner(apr_thread_t *thread, void *worker);

/* ------------------------------------------------------------------------------------------
 * Schedule job
 * ------------------------------------------------------------------------------------------ */

/** A schedule job's function: 0 is a success. The job stores its next sleep through a `long`
 * (32-bit on armhf, 64-bit on arm64 and x86-64). */
typedef uint32_t (*edge_base_schedule_job_fn)(long *sleep_seconds, void *arg);

/** A schedule job: runs a job function on its own thread, first after an interval, then after
 * the sleep the job chose (seconds, stored through its first argument), or after the
 * exception sleep when the job failed or chose no positive sleep. The two `long` fields are 4
 * bytes on armhf and 8 on arm64 and x86-64. */
typedef struct edge_base_schedule_job_s {
    apr_pool_t *pool;              /**< the job's own pool; the record lives in it */
    char *name;                    /**< copy of the name, for the log */
    uint32_t running;              /**< touched only atomically */
    long interval;                 /**< long: seconds before the first run */
    long exception_sleep;          /**< long: seconds after a failed run */
    edge_base_schedule_job_fn job; /**< the job function */
    void *arg;                     /**< the argument of edge_base_schedule_job_start */
    apr_thread_t *thread;          /**< the runner's thread, or null */
} edge_base_schedule_job_t;

/** A new job named `name` in a child pool of `pool`, not configured; null for a null or
 * empty name, a null pool or no memory. */
EDGE_API edge_base_schedule_job_t *edge_base_schedule_job_create(const char *name, apr_pool_t *pool);
/** Sets the job function, the interval and the exception sleep.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null job or function, or an interval or exception sleep of 0 */
EDGE_API uint32_t edge_base_schedule_job_config(edge_base_schedule_job_t *job, edge_base_schedule_job_fn fn,
                                                long interval, long exception_sleep);
/** Starts the thread (no change when it has one).
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null job
 * @return otherwise the APR status of the thread creation */
EDGE_API uint32_t edge_base_schedule_job_start(edge_base_schedule_job_t *job, void *arg);
/** Stops and joins; a stop during a wait lets the job run once more. Clears interval and
 * exception sleep, so configure again before the next start.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null job */
EDGE_API uint32_t edge_base_schedule_job_stop(edge_base_schedule_job_t *job);
/** Stops the job and destroys its pool with the record; null is ignored. */
EDGE_API void edge_base_schedule_job_delete(edge_base_schedule_job_t *job);
/** The thread body started by edge_base_schedule_job_start. */
EDGE_API void *APR_THREAD_FUNC edge_base_schedule_job_runner(apr_thread_t *thread, void *job);

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_BASE_H */
