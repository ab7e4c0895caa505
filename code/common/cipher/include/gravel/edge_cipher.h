/**
 * @file edge_cipher.h
 * gravel cipher (libgravel-cipher): crypto primitives, the module's key hierarchy and its key
 * store files, and named domain keys with the operations that use them.
 *
 * Key hierarchy:
 * - root key: 16 bytes, never stored: rebuilt at every edge_cipher_init from the material file
 *   and three build-time constants (two masks and a salt, PBKDF2-HMAC-SHA256);
 * - work key: 16 random bytes, entry "0" of the primary key store, encrypted with the root key;
 * - domain keys: byte strings named by domain; the enduring ones are entries of the domain key
 *   store, encrypted with the work key.
 *
 * Files, under the configuration directory D ("module_cfg_dir" when set and not empty, else the
 * work dir): D/secret/ (mode 0700), D/secret/449dda627abb9726 (material: 16 random bytes),
 * D/secret/primary.ks and D/secret/4e8a86a7502404a0 (domain key store). The key stores are
 * property files (<gravel/edge_property.h>) of name=cipher text; all files have mode 0600 and
 * are replaced atomically, so a crash leaves the old or the new file, never a mix.
 *
 * Conventions (beyond those of <gravel/edge_base.h>):
 * - Buffers. An input is a pointer and a 32-bit length. An output is a pointer and the address
 *   of a 32-bit length that holds the capacity on entry and the bytes written on success.
 *   Outputs get no terminating zero unless stated; callers that want text zero their buffer
 *   and leave room for one byte. After a failure an output must not be used (it is left
 *   zeroed or partly written; decrypted bytes are wiped).
 * - Cipher text: lowercase hex of a 16-byte random IV followed by the AES-128-CBC cipher text
 *   of the PKCS#7-padded plaintext: (n / 16 + 2) * 32 characters for n plaintext bytes.
 * - Bytes are unsigned char, text is char. Hex input may be of either case.
 * - Statuses: 0 or an EDGE_ERR_* code of <gravel/edge_status.h>; some functions pass an APR
 *   status (an errno value) back, as stated.
 * - Manager. Functions that need scratch memory or keys need edge_cipher_init to have run;
 *   before it (and after edge_cipher_destroy) they fail with EDGE_ERR_MISSING or
 *   EDGE_ERR_NO_MEMORY as stated.
 * - Secrets. Key material and plaintext held in scratch memory are wiped before that memory
 *   goes back to its pool; edge_cipher_destroy wipes every key before releasing the manager.
 * - Threads. edge_cipher_init and edge_cipher_destroy run while no other cipher call is in
 *   progress. Everything else may be called from any thread: the primitives keep no state,
 *   and the two key maps are guarded by a reader-writer lock (lookups share it; entering keys,
 *   loading and saving key stores hold it alone, including the file write). A key record, once
 *   entered, is never changed or released before edge_cipher_destroy, so a record pointer
 *   from edge_cipher_get_domain stays valid until then.
 */
#ifndef GRAVEL_EDGE_CIPHER_H
#define GRAVEL_EDGE_CIPHER_H

#include <stdint.h>

#include <apr_hash.h>
#include <apr_pools.h>

#include <gravel/edge_base.h>
#include <gravel/edge_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Sizes of the kit's keys and texts. */
#define EDGE_CIPHER_KEY_LEN 16         /**< AES-128 key, root key, work key */
#define EDGE_CIPHER_IV_LEN 16          /**< AES-CBC IV, the first 16 bytes of a record */
#define EDGE_CIPHER_DIGEST_LEN 32      /**< HMAC-SHA256 */
#define EDGE_CIPHER_DIGEST_HEX_LEN 64  /**< HMAC-SHA256 as hex text */
#define EDGE_CIPHER_STORED_KEY_MAX 128 /**< longest enduring domain key */
#define EDGE_CIPHER_DOMAIN_NAME_MAX 32 /**< longest enduring domain name */

/** A key: its bytes (not zero-terminated in general), their count and the enduring flag
 * (non-zero: the key belongs in its key store and is written by every save). */
typedef struct edge_cipher_key_s {
    unsigned char *key; /**< the key bytes, in the manager's pool */
    uint32_t len;       /**< number of key bytes */
    uint32_t enduring;  /**< non-zero: written to its key store */
} edge_cipher_key_t;

/** The cipher manager "CIPHER_MGR", registry slot 4. Everything it points to lives in the
 * manager's pool until edge_cipher_destroy. */
typedef struct edge_cipher_mgr_s {
    edge_mgr_head_t head;        /**< slot, name, the manager's pool */
    char *material_file;         /**< D/secret/449dda627abb9726 */
    char *primary_keystore_file; /**< D/secret/primary.ks */
    char *domain_keystore_file;  /**< D/secret/4e8a86a7502404a0 */
    unsigned char *root_key;     /**< 17 bytes: the 16 root key bytes and a zero */
    apr_hash_t *work_keys;       /**< name -> edge_cipher_key_t*, only the work key "0" */
    apr_hash_t *domain_keys;     /**< domain name -> edge_cipher_key_t* */
} edge_cipher_mgr_t;

EDGE_MGR_DECLARE_ACCESSORS(CIPHER, edge_cipher_mgr_t)

/** "0123456789abcdef": the digits of hex output. */
EDGE_API extern const char hex_dic[17];
/** Value of a hex digit by character code 0..111 ("0"-"9", "A"-"F", "a"-"f"), 255 for any other
 * character. Codes above 111 are not hex digits either. */
EDGE_API extern const int32_t hex_rdic[112];

/* ------------------------------------------------------------------------------------------
 * Primitives. Every function returns EDGE_ERR_MISSING for a null pointer or a zero length or
 * capacity unless stated otherwise.
 * ------------------------------------------------------------------------------------------ */

/** Fills `count` bytes with cryptographically secure random bytes.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null buffer, a count of 0, or the random generator fails */
EDGE_API uint32_t edge_cipher_generate_randoms(unsigned char *buffer, uint32_t count);

/**
 * AES-128-CBC encryption into an IV-prefixed record: a fresh random IV (16 bytes), then the
 * cipher text of the PKCS#7-padded plaintext; (n / 16 + 2) * 16 bytes for n plaintext bytes.
 * key_len must be 16.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer, a zero length or capacity, or a key_len other than 16
 * @retval EDGE_ERR_NO_MEMORY without the cipher manager
 * @retval EDGE_ERR_AES_ENCRYPT the capacity is below the record length, or OpenSSL fails
 * @logs "output buffer is too small, need length:%d".
 */
EDGE_API uint32_t edge_cipher_aes_encrypt_raw(const unsigned char *plain, uint32_t plain_len, unsigned char *output,
                                              uint32_t *output_len, const unsigned char *key, uint32_t key_len);

/**
 * Decrypts an IV-prefixed record. The record must be an IV and at least one whole block
 * (32, 48, ... bytes) and key_len 16. The whole capacity is zeroed first. The padding is
 * checked in full (count 1..16, every padding byte equal to it).
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer, a zero capacity, a record that is not an IV and
 *         whole blocks, or a key_len other than 16
 * @retval EDGE_ERR_OUT_OF_RANGE wrong padding, or the plaintext does not fit
 * @retval EDGE_ERR_NO_MEMORY without the cipher manager
 * @retval EDGE_ERR_AES_DECRYPT OpenSSL fails
 * @logs "ilens:%d, output:%p, olens:%d" and "olens is null." (EDGE_ERR_MISSING); "padding too
 * long, padding_len:%d" for a count above 16, "padding error, padding_len:%d" for other wrong
 * padding; "output buffer is too small, need length:%d".
 */
EDGE_API uint32_t edge_cipher_aes_decrypt_raw(const unsigned char *record, uint32_t record_len, unsigned char *output,
                                              uint32_t *output_len, const unsigned char *key, uint32_t key_len);

/**
 * HMAC-SHA256 of the message under the key (all key_len bytes; the first must not be zero)
 * into at least 32 bytes of output; *output_len becomes 32.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer, a zero length, or a key whose first byte is zero
 * @retval EDGE_ERR_OUT_OF_RANGE a capacity below 32
 * @retval EDGE_ERR_HMAC OpenSSL fails
 * @logs EDGE_ERR_MISSING: "olens is null", "input:%p, ilens:%d, output:%p, olens:%p, key:%p,
 * klens:%d", "HMAC_CTX_new error, ctx is null,".
 */
EDGE_API uint32_t edge_cipher_digest_raw(const unsigned char *message, uint32_t message_len, unsigned char *output,
                                         uint32_t *output_len, const unsigned char *key, uint32_t key_len);

/**
 * PBKDF2-HMAC-SHA256: `output_len` bytes derived from the password and the salt, both
 * zero-terminated strings: each is taken up to its first zero byte. salt_len must be non-zero
 * and is not otherwise used; it does not shorten the salt.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null or zero argument, an iteration count above INT_MAX, or an
 *         OpenSSL failure
 */
EDGE_API uint32_t edge_cipher_pbkdf2_sha256(const char *password, const unsigned char *salt, uint32_t salt_len,
                                            uint32_t iterations, unsigned char *output, uint32_t output_len);

/** Standard base64 ("+", "/", "=" padding, no line breaks) of the bytes: 4 * ceil(n / 3)
 * characters, no terminator.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer or a zero length or capacity
 * @retval EDGE_ERR_OUT_OF_RANGE the capacity is below the text length */
EDGE_API uint32_t edge_cipher_base64_encode(const unsigned char *data, uint32_t len, char *output,
                                            uint32_t *output_len);

/**
 * Decodes base64 text of a length that is a multiple of 4. The URL-safe "-" and "_" are
 * accepted: they are turned into "+" and "/" in the caller's text, in place. The capacity must
 * be at least len / 4 * 3.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer, a zero length or capacity, or a length not a
 *         multiple of 4
 * @retval EDGE_ERR_OUT_OF_RANGE a capacity below len / 4 * 3
 * @retval EDGE_ERR_UNDECRYPTABLE a character outside the alphabet, or misplaced padding
 */
EDGE_API uint32_t edge_cipher_base64_decode(char *text, uint32_t len, unsigned char *output, uint32_t *output_len);

/** Lowercase hex, two characters a byte, high nibble first. The whole capacity is zeroed first,
 * so a capacity above 2n leaves a terminator.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer or a zero length or capacity
 * @retval EDGE_ERR_OUT_OF_RANGE a capacity below 2n */
EDGE_API uint32_t edge_cipher_to_hex(const unsigned char *data, uint32_t len, char *output, uint32_t *output_len);

/** Bytes of hex text (either case).
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer, a zero length, or text beginning with a zero byte
 * @retval EDGE_ERR_BAD_ARGUMENT an odd length, or a character that is not a hex digit (the
 *         bytes before it stay written)
 * @retval EDGE_ERR_OUT_OF_RANGE a capacity below len / 2 */
EDGE_API uint32_t edge_cipher_from_hex(const char *text, uint32_t len, unsigned char *output, uint32_t *output_len);

/** UCS-2 code units in this machine's byte order (len bytes) to UTF-8; *output_len becomes the
 * bytes written. `pool` is required but not used.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer or zero length or capacity, the converter cannot be
 *         created, or the input does not convert whole (an odd byte count, an invalid unit, too
 *         small an output)
 * @logs "create utf8 converter error." */
EDGE_API uint32_t edge_cipher_unicode_to_utf8_native(const unsigned char *units, uint32_t len, char *output,
                                                     uint32_t *output_len, apr_pool_t *pool);

/**
 * The env key: the first 12 characters of "<work dir>/conf/module.dat" interleaved with the
 * built-in 12-character constant (constant first) make the base64 text of the key.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer or a zero capacity
 * @retval EDGE_ERR_NO_MEMORY without the cipher manager
 * @retval EDGE_ERR_KEYSTORE_READ a file of fewer than 12 characters
 * @retval EDGE_ERR_UNDECRYPTABLE the text does not decode, or decodes to nothing
 * @retval EDGE_ERR_OUT_OF_RANGE the key does not fit
 * @return otherwise the read status
 * @logs "read module.dat failed, ret:%d, lens:%d" when the file cannot be read or is short.
 */
EDGE_API uint32_t edge_cipher_load_key(unsigned char *output, uint32_t *output_len);

/** Cipher text length for n plaintext bytes: (n / 16 + 2) * 32; 0 for 0 and for lengths whose
 * cipher text would not fit in 32 bits. */
EDGE_API uint32_t edge_cipher_calc_encrypt_len(uint32_t plain_len);

/**
 * Cipher text of the plaintext under a 16-byte key, using `pool` for scratch. Writes exactly
 * edge_cipher_calc_encrypt_len(n) characters.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer or pool, a zero length or capacity, or no cipher
 *         manager
 * @retval EDGE_ERR_OUT_OF_RANGE a smaller capacity
 * @retval EDGE_ERR_AES_ENCRYPT the encryption fails
 * @retval EDGE_ERR_NO_MEMORY no scratch memory
 * @logs "output buffer is too small, need encoded_len:%d"; "aes encrypt error, ret:%d".
 */
EDGE_API uint32_t edge_cipher_encrypt_encode(const unsigned char *plain, uint32_t len, char *output,
                                             uint32_t *output_len, const unsigned char *key, apr_pool_t *pool);

/**
 * Plaintext of a cipher text under a 16-byte key, using `pool` for scratch; the plaintext is
 * written only to the output.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a null pointer or pool, a zero length or capacity, or no cipher
 *         manager
 * @retval EDGE_ERR_HEX_DECODE an odd length or a non-hex character
 * @retval EDGE_ERR_AES_DECRYPT a text that is not an IV and whole blocks, or whose padding is
 *         wrong: the record is decrypted as edge_cipher_aes_decrypt_raw does it, so its lines
 *         are logged
 * @retval EDGE_ERR_OUT_OF_RANGE the plaintext does not fit
 * @retval EDGE_ERR_NO_MEMORY no scratch memory
 * @logs "hex decode error, ret:%d"; the lines of edge_cipher_aes_decrypt_raw ("ilens:%d,
 * output:%p, olens:%d", "padding too long, padding_len:%d", "padding error, padding_len:%d"),
 * followed by "aes decrypt error, ret:%d" with its status; "target plain buffer not enough,
 * need %d".
 */
EDGE_API uint32_t edge_cipher_decrypt_decode(const char *text, uint32_t len, unsigned char *output,
                                             uint32_t *output_len, const unsigned char *key, apr_pool_t *pool);

/* ------------------------------------------------------------------------------------------
 * Key hierarchy and key store files. Pool arguments are the caller's scratch pools.
 * ------------------------------------------------------------------------------------------ */

/**
 * Creates the manager and its maps and loads (first start: creates) the material file and
 * the key stores. Call after edge_base_init and before any other cipher call. Key store
 * problems do not fail it.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING the manager cannot be set up
 * @return otherwise the status of edge_cipher_material_load (the manager stays registered)
 */
EDGE_API uint32_t edge_cipher_init(void);

/** Wipes every key and deletes the manager with its pool. */
EDGE_API void edge_cipher_destroy(void);

/**
 * The file part of init: determines D and the file paths; makes sure D/secret is this user's
 * own directory (created when missing, tightened to mode 0700 when more open); reads the
 * material file, or creates a new one; builds the root key; then loads the key stores, or,
 * without a primary key store, generates a work key and writes one.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without the manager or a work dir
 * @retval EDGE_ERR_NO_MEMORY no scratch memory
 * @retval EDGE_ERR_FILE_WRITE before anything is read or written there: D/secret is a
 *         symbolic link, not a directory, another user's, or cannot be opened or tightened
 * @retval EDGE_ERR_KEYSTORE_READ a material file that is not exactly 16 bytes
 * @return otherwise the read or write status of the material file, or the root key status
 * @logs "secret dir is a link or not a directory, path:%s", "secret dir belongs to another
 * user, uid:%d, path:%s", "secret dir cannot be opened, ret:%d, path:%s", "secret dir cannot be
 * made owner-only, ret:%d, path:%s"; "read rootkey file error, ret:%d", "write rootkey file
 * error, ret:%d"; "load rootkey error, ret:%d".
 */
EDGE_API uint32_t edge_cipher_material_load(void);

/** Builds the root key of `mgr` from 16 material bytes.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument
 * @retval EDGE_ERR_NO_MEMORY no scratch memory
 * @retval EDGE_ERR_HEX_DECODE a bad built-in constant
 * @return otherwise the UTF-8 conversion's status, or the derivation's status
 * @logs "utf8 encode error, ret:%d". */
EDGE_API uint32_t edge_cipher_load_rootkey(apr_pool_t *pool, edge_cipher_mgr_t *mgr, const unsigned char *material,
                                           uint32_t material_len);

/** Draws a new work key "0" and writes the primary key store with it.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument, or no random bytes
 * @retval EDGE_ERR_NO_MEMORY no memory for the key
 * @return otherwise the save's status */
EDGE_API uint32_t edge_cipher_generate_keystore(apr_pool_t *pool, edge_cipher_mgr_t *mgr);

/** Loads the primary and the domain key store and applies the verify code check: when the
 * stored domain key "verify_code" and the environment variable "verify_code" differ (see
 * edge_cipher_verify_domain_key_check), logs WARN "the auth file is invalid, delete old auth
 * file.", deletes the domain key store file and drops every domain key. */
EDGE_API void edge_cipher_load_keystore(edge_cipher_mgr_t *mgr, apr_pool_t *pool);

/**
 * Loads one key store file into `map` (an entry of the same name is replaced), decrypting with
 * the root key (`use_root_key` non-zero) or the work key (zero). An entry that
 * does not decrypt, or decrypts to nothing, is logged ("decrypt keystore failed, ret:%d,
 * len:%d, use_root_key:%d") and skipped; the others are loaded.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument, or the chosen key is missing
 * @retval EDGE_ERR_FILE_MISSING no such file ("keystore file not found, file_name:%s")
 * @retval EDGE_ERR_KEYSTORE_READ a file without entries ("read keystore file error.")
 * @retval EDGE_ERR_NO_MEMORY no memory
 * @retval EDGE_ERR_UNDECRYPTABLE some entry was skipped
 */
EDGE_API uint32_t edge_cipher_load_keystore_from_file(apr_pool_t *pool, apr_hash_t *map, const char *path,
                                                      edge_cipher_mgr_t *mgr, uint32_t use_root_key);

/** Checks the arguments of edge_cipher_load_keystore_from_file.
 * @retval 0 usable
 * @retval EDGE_ERR_MISSING pool, map or mgr is null
 * @retval EDGE_ERR_FILE_MISSING no regular file exists at path */
EDGE_API uint32_t edge_cipher_load_keystore_from_file_param_check(apr_pool_t *pool, apr_hash_t *map, const char *path,
                                                                  edge_cipher_mgr_t *mgr);

/**
 * Writes the enduring entries of `map` to a key store file, replacing it atomically, encrypted
 * with the root key (`use_root_key` non-zero) or the work key (zero).
 * @retval 0 success, also for an empty map ("no key store in key_map, skip.", nothing written)
 * @retval EDGE_ERR_MISSING a missing argument, or the chosen key is missing
 * @retval EDGE_ERR_BAD_ARGUMENT no entry is enduring, or the file could not give every enduring
 *         entry back (a name of more than 32 characters, with a blank, "=" or ":", or beginning
 *         with "#"; a key of more than 128 bytes; more than 512 entries): nothing is written
 * @retval EDGE_ERR_NO_MEMORY no memory
 * @retval EDGE_ERR_AES_ENCRYPT an enduring key does not encrypt, also one of length 0
 *         ("encrypt keystore failed, ret:%d, use_root_key:%d"): nothing is written
 * @retval EDGE_ERR_FILE_WRITE the file cannot be written
 * @logs "save keystore to %s finished, ret:%d".
 */
EDGE_API uint32_t edge_cipher_save_keystore_to_file(apr_pool_t *pool, apr_hash_t *map, const char *path,
                                                    edge_cipher_mgr_t *mgr, uint32_t use_root_key);

/** The 16 key bytes of the root key (use_root_key non-zero) or of the work key "0", or null
 * (no manager, no work key, or a work key that is not 16 bytes). */
EDGE_API const unsigned char *edge_cipher_choose_work_key(edge_cipher_mgr_t *mgr, uint32_t use_root_key);

/** 1 when the stored verify code (a key record) and the current code differ, else 0. It is 1
 * only when the record and its bytes are present, its first byte is not zero, the code is
 * present and not empty, and the first len characters of the code differ from the record's
 * bytes, the comparison stopping at a zero byte in either. */
EDGE_API int edge_cipher_verify_domain_key_check(const edge_cipher_key_t *record, const char *code);

/* ------------------------------------------------------------------------------------------
 * Domain keys. A name that is already present is never replaced: the first entry wins.
 * ------------------------------------------------------------------------------------------ */

/** 1 when a domain key of that name exists, else 0. */
EDGE_API int edge_cipher_has_domain(const char *name);

/** The key record of a domain, or null (null or empty name, no manager, no such key). */
EDGE_API const edge_cipher_key_t *edge_cipher_get_domain(const char *name);

/**
 * Enters one domain key (bytes copied). Enduring keys are also written to the domain key store
 * at once; they must be at most 128 bytes under a name that a key store can hold (at most 32
 * characters, no blank, "=" or ":", not beginning with "#"). When the write fails the key stays
 * entered and usable, and is remembered as not on disk: the next write of the domain key store
 * that succeeds (any enduring save) takes it along. An existing name keeps its first key: WARN
 * "target domain key has saved, skip, domain_name:%s", 0 - unless that key is not on disk yet;
 * then the store is written again (INFO "domain key not on disk yet, save again,
 * domain_name:%s") and the write's status returned.
 * @retval 0 success, or the name exists (its first key stays)
 * @retval EDGE_ERR_BAD_ARGUMENT a null or empty name, null key, zero length, or an enduring key
 *         that could not be stored
 * @retval EDGE_ERR_MISSING without the manager
 * @retval EDGE_ERR_NO_MEMORY no memory for the key
 * @return otherwise the save's status
 */
EDGE_API uint32_t edge_cipher_save_key(const char *name, const unsigned char *key, uint32_t len, uint32_t enduring);

/**
 * Enters the keys of `table` (name -> edge_cipher_key_t*, whose bytes and length are read) as
 * enduring domain keys, skipping names already present (WARN "domain key has existed, skip,
 * key_name:%s"; INFO "domain key not on disk yet, save again, key_name:%s" for one whose store
 * write failed), then rewrites the domain key store. Keys whose write fails stay entered and
 * usable, remembered as not on disk, as with edge_cipher_save_key.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING without the manager
 * @retval EDGE_ERR_BAD_ARGUMENT a null table, or an entry that could not be stored (see
 *         edge_cipher_save_key): nothing is entered then
 * @retval EDGE_ERR_NO_MEMORY no memory (nothing entered)
 * @return otherwise the save's status
 */
EDGE_API uint32_t edge_cipher_save_auth_keys(apr_hash_t *table);

/**
 * Cipher text of the plaintext under the first 16 bytes of a domain key, scratch in `pool`;
 * the output needs edge_cipher_calc_encrypt_len(len) characters.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument
 * @retval EDGE_ERR_UNKNOWN_DOMAIN no such domain key ("target domain not exist, domain:%s")
 * @retval EDGE_ERR_BAD_ARGUMENT a domain key shorter than 16 bytes
 * @return otherwise the status of edge_cipher_encrypt_encode
 */
EDGE_API uint32_t edge_cipher_encrypt(const unsigned char *plain, uint32_t len, char *output, uint32_t *output_len,
                                      const char *domain, apr_pool_t *pool);

/** Plaintext of a cipher text under a domain key; as edge_cipher_encrypt, with the statuses of
 * edge_cipher_decrypt_decode. */
EDGE_API uint32_t edge_cipher_decrypt(const char *text, uint32_t len, unsigned char *output, uint32_t *output_len,
                                      const char *domain, apr_pool_t *pool);

/**
 * 64 lowercase hex characters of the HMAC-SHA256 of the message under all bytes of a domain
 * key; the whole capacity is zeroed first, so more than 64 leaves a terminator.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument ("digest input error, input:%p, ilens:%d,
 *         output:%p, domain_name:%s"), or no manager
 * @retval EDGE_ERR_UNKNOWN_DOMAIN no such domain key
 * @retval EDGE_ERR_HMAC the HMAC fails ("digest error, ret:%d")
 * @retval EDGE_ERR_HEX_ENCODE a capacity below 64 ("hex encode error, ret:%d")
 */
EDGE_API uint32_t edge_cipher_digest(const unsigned char *message, uint32_t len, char *output, uint32_t *output_len,
                                     const char *domain);

/**
 * Decrypts a base64 IV-prefixed record with the env key (edge_cipher_load_key) into the
 * output. The text is changed in place where it uses the URL-safe alphabet.
 * @retval 0 success
 * @retval EDGE_ERR_MISSING a missing argument
 * @retval EDGE_ERR_UNDECRYPTABLE a key that is not 16 bytes ("load env decrypt key failed,
 *         ret:%d, key_len:%d"), or text that is not base64 ("base64 decoded error, ret:%d")
 * @retval EDGE_ERR_NO_MEMORY no scratch memory
 * @return otherwise the loader's status, or the status of edge_cipher_aes_decrypt_raw
 * @logs "decrypt env finish, ret:%d" after the decryption.
 */
EDGE_API uint32_t edge_cipher_env_decrypt(char *text, uint32_t len, unsigned char *output, uint32_t *output_len);

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_CIPHER_H */
