// Pieces the cipher's source modules share: OpenSSL handles, the CBC decryption under both the
// raw and the cipher text functions with the one mapping of its outcome to a status, hex
// encoding, wiping, the manager, the lock of the key maps, walking an APR hash table, and the
// key records and key store save that entering domain keys uses.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include <apr_hash.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <gravel/edge_cipher.h>

#include "edge_mgr_accessors.hpp"

EDGE_MGR_DECLARE_LIVE(edge_cipher_mgr_t);

namespace gravel::cipher {

inline constexpr size_t kBlock = 16;

/* ---- AES-128-CBC (edge_cipher_primitives.cpp) ----------------------------------------------- */

// AES-128-CBC, fetched once for the process; null when the provider has none.
EVP_CIPHER *aes_128_cbc() noexcept;

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX *ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// What a CBC decryption of whole blocks found.
enum class Decrypt {
    ok,
    bad_padding,
    too_small,
    failed
};
struct Decrypted {
    Decrypt outcome = Decrypt::failed;
    uint32_t padding = 0;    // the padding count read from the last block
    uint32_t plain_len = 0;  // for ok and too_small: the plaintext length
};

// An IV and at least one whole block: the only lengths an IV-prefixed record can have.
constexpr bool whole_record(size_t len) noexcept {
    return len > EDGE_CIPHER_IV_LEN && (len - EDGE_CIPHER_IV_LEN) % kBlock == 0;
}

// Decrypts `ct_len` bytes (a non-zero multiple of 16) of CBC cipher text with a 16-byte key
// and IV straight into `out`, checks the PKCS#7 padding in full and writes only the plaintext
// (never more than `capacity` bytes). Anything written is wiped again on failure.
Decrypted cbc_decrypt(const unsigned char *key, const unsigned char *iv, const unsigned char *ct, size_t ct_len,
                      unsigned char *out, size_t capacity) noexcept;

// The status edge_cipher_aes_decrypt_raw gives for a decryption's outcome, after logging the
// ERROR line it writes for each failure.
uint32_t decrypt_status(const Decrypted &result) noexcept;

// The ERROR line of edge_cipher_aes_decrypt_raw for a record it refuses to decrypt.
void log_unusable_record(uint32_t record_len, const void *output, uint32_t capacity) noexcept;

/* ---- Hex and wiping ------------------------------------------------------------------------ */

// Writes 2 * len lowercase hex characters, no terminator.
inline void hex_encode(const unsigned char *data, size_t len, char *out) noexcept {
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = hex_dic[data[i] >> 4];
        out[2 * i + 1] = hex_dic[data[i] & 0x0f];
    }
}

// Wipes a buffer when the scope ends, whatever path leaves it.
class Wipe {
public:
    Wipe(void *data, size_t len) noexcept : data_(data), len_(len) {}
    ~Wipe() {
        if (data_ != nullptr) OPENSSL_cleanse(data_, len_);
    }
    Wipe(const Wipe &) = delete;
    Wipe &operator=(const Wipe &) = delete;

private:
    void *data_;
    size_t len_;
};

/* ---- The manager (edge_cipher_domain.cpp) -------------------------------------------------- */

// The registered manager, or null before init and after destroy.
inline edge_cipher_mgr_t *manager() noexcept {
    return gravel::mgr::live_manager<edge_cipher_mgr_t>();
}

// The cipher manager's pool, or null when the manager is not set up.
inline apr_pool_t *manager_pool() noexcept {
    return edge_CIPHER_MGR_mgr_get_pool();
}

/* ---- The key maps and their lock (edge_cipher_keystore.cpp) -------------------------------- */

// The reader-writer lock of the manager's key maps. Lookups share it; entering keys and
// loading or saving key stores hold it alone.
pthread_rwlock_t &key_maps_lock() noexcept;

// Holds the key maps' lock for a scope: shared (lookups) or exclusive (changes).
template <bool Exclusive>
class KeyMapsLock {
public:
    KeyMapsLock() noexcept {
        if constexpr (Exclusive) {
            (void)pthread_rwlock_wrlock(&key_maps_lock());
        } else {
            (void)pthread_rwlock_rdlock(&key_maps_lock());
        }
    }
    ~KeyMapsLock() { (void)pthread_rwlock_unlock(&key_maps_lock()); }
    KeyMapsLock(const KeyMapsLock &) = delete;
    KeyMapsLock &operator=(const KeyMapsLock &) = delete;
};
using SharedKeys = KeyMapsLock<false>;
using ExclusiveKeys = KeyMapsLock<true>;

// One entry of an APR hash table: its name (key), the name's length and its value.
struct HashEntry {
    const char *name;
    apr_ssize_t name_len;
    void *value;
    edge_cipher_key_t *record() const noexcept { return static_cast<edge_cipher_key_t *>(value); }
};

// The entries of an APR hash table for a range-for. The iteration state lives in `pool`, or in
// the table itself when `pool` is null (then only one walk of that table at a time).
class HashEntries {
public:
    HashEntries(apr_pool_t *pool, apr_hash_t *table) noexcept : pool_(pool), table_(table) {}

    class Iterator {
    public:
        explicit Iterator(apr_hash_index_t *at) noexcept : at_(at) {}
        HashEntry operator*() const noexcept {
            const void *name = nullptr;
            HashEntry entry{nullptr, 0, nullptr};
            apr_hash_this(at_, &name, &entry.name_len, &entry.value);
            entry.name = static_cast<const char *>(name);
            return entry;
        }
        Iterator &operator++() noexcept {
            at_ = apr_hash_next(at_);
            return *this;
        }
        bool operator!=(const Iterator &other) const noexcept { return at_ != other.at_; }

    private:
        apr_hash_index_t *at_;
    };

    Iterator begin() const noexcept { return Iterator(table_ == nullptr ? nullptr : apr_hash_first(pool_, table_)); }
    Iterator end() const noexcept { return Iterator(nullptr); }

private:
    apr_pool_t *pool_;
    apr_hash_t *table_;
};

// A name that a key store line carries and gives back unchanged.
bool storable_name(const char *name, size_t len) noexcept;

// A key that can be entered as an enduring domain key: bytes present, 1..128 of them.
bool storable_key(const edge_cipher_key_t *record) noexcept;

// A key record with a copy of the bytes, in `pool`; null when memory runs out.
edge_cipher_key_t *new_record(apr_pool_t *pool, const unsigned char *bytes, uint32_t len, uint32_t enduring) noexcept;

// Wipes the bytes of every key of a map; the caller holds the lock alone.
void wipe_keys(apr_hash_t *map) noexcept;

// Writes the enduring entries of a map to a key store file, as edge_cipher_save_keystore_to_file
// does; the caller holds the lock alone.
uint32_t save_store(apr_pool_t *pool, apr_hash_t *map, const char *path, edge_cipher_mgr_t *mgr,
                    uint32_t use_root_key) noexcept;

}  // namespace gravel::cipher
