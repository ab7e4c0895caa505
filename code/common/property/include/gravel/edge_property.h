/**
 * @file edge_property.h
 * gravel property files (libgravel-property): small text files of key=value pairs, one pair
 * a line, read into and written from APR hash tables. The kit keeps its key stores in them.
 *
 * Conventions (beyond those of <gravel/edge_base.h>):
 * - Ownership. The library keeps no state. Every table, key and value it creates is
 *   allocated in the pool the caller hands in and lives as long as that pool.
 * - Tables. A property table is an apr_hash_t of key to value, both zero-terminated strings
 *   (look keys up with APR_HASH_KEY_STRING or their length). A table built by
 *   edge_property_parse never holds an entry without a value.
 * - Null. Null arguments give the statuses stated, never a crash.
 * - Statuses. 0; EDGE_ERR_MISSING, EDGE_ERR_BAD_ARGUMENT, EDGE_ERR_FILE_WRITE,
 *   EDGE_ERR_PROPERTY_SYNTAX as listed per function.
 * - Threads. A table and its pool are used by one thread at a time. Different tables in
 *   different pools may be handled in parallel.
 *
 * File format, as read:
 * - Lines end with a line feed and are read 511 bytes at a time: a longer line arrives as
 *   several pieces, each taken as a line of its own. At most 512 pieces are read; the rest
 *   of the file is ignored. A zero byte ends a line; a line that begins with one ends the file.
 * - A line whose first byte is '#', carriage return or line feed is skipped.
 * - Blanks (space, tab, form feed, carriage return, line feed) are removed from the whole
 *   line: "my key = my value" gives key "mykey", value "myvalue".
 * - The first '=' or ':' separates key from value. A line with a second separator, without
 *   key characters, with a key of more than 32 characters or a value of more than 512
 *   characters is invalid and skipped.
 * - A valid line without value characters ("key=", "key") removes the key. The last line
 *   of a key wins.
 * Written form: "key=value\n" for each entry, in the table's iteration order (no particular order).
 * A table is written only when every entry reads back as itself: a key of 1 to 32 characters
 * that does not begin with '#', a non-empty value of at most 512 characters, neither holding a
 * blank, '=', ':' or a zero byte, on a line of at most 511 bytes.
 */
#ifndef GRAVEL_EDGE_PROPERTY_H
#define GRAVEL_EDGE_PROPERTY_H

#include <stdint.h>

#include <apr_hash.h>
#include <apr_pools.h>

#include <gravel/edge_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Longest key a line may carry, in characters. */
#define EDGE_PROPERTY_KEY_MAX 32
/** Longest value a line may carry, in characters. */
#define EDGE_PROPERTY_VALUE_MAX 512
/** Lines (pieces of lines) read from one file, comments and empty lines included. */
#define EDGE_PROPERTY_LINES_MAX 512

/**
 * Reads the property file at `path` into a new table allocated in `pool`. Invalid lines are
 * skipped silently; a file without a valid line gives an empty table. Null when path is null
 * or empty, pool is null, the table cannot be created, or the file cannot be opened (logged
 * at ERROR as "open file failed, ret:%d" with the APR status).
 */
EDGE_API apr_hash_t *edge_property_parse(const char *path, apr_pool_t *pool);

/**
 * Parses the first `length` bytes of `line` (no terminating zero needed; a zero byte ends the
 * line early) and applies it to `table`, copying key and value into `pool`.
 * @retval 0 success, also when the line removes a key or changes nothing
 * @retval EDGE_ERR_MISSING edge_property_parse_valid rejects the arguments, or a copy cannot
 *         be allocated
 * @retval EDGE_ERR_PROPERTY_SYNTAX an invalid line (the table is unchanged)
 */
EDGE_API uint32_t edge_property_parse_line(const char *line, uint32_t length, apr_hash_t *table, apr_pool_t *pool);

/** Checks the arguments of edge_property_parse_line.
 * @retval 0 line is non-null and does not begin with a zero byte, length is non-zero and
 *         table and pool are non-null
 * @retval 1 otherwise */
EDGE_API uint32_t edge_property_parse_valid(const char *line, uint32_t length, apr_hash_t *table, apr_pool_t *pool);

/**
 * Writes every entry of `table` to the file at `path`, formatting in `pool`. The file is
 * replaced as a whole: the text goes to a temporary file in the same directory (mode 0600,
 * created exclusively), is flushed to disk and renamed over `path`. A failure, or a crash at
 * any moment, leaves the old file intact; no old content survives behind a shorter new one.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null or empty path or a null table or pool
 * @retval EDGE_ERR_BAD_ARGUMENT an empty table, or an entry that would not read back as
 *         itself; the file is not touched
 * @retval EDGE_ERR_FILE_WRITE the file cannot be created or written
 * @logs ERROR "no element in hash table." (empty table); "property entry cannot be written,
 * key:%s"; "open file failed, ret:%d" with the errno; "write file failed, ret:%d".
 */
EDGE_API uint32_t edge_property_dump(const char *path, apr_hash_t *table, apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_PROPERTY_H */
