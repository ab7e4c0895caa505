// Pieces shared by the cipher's two source modules: OpenSSL handles, the CBC decryption both
// the raw and the text functions use, hex encoding, wiping, and the lock of the key maps.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <gravel/edge_cipher.h>

namespace gravel::cipher {

inline constexpr size_t kBlock = 16;

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

// Decrypts `ct_len` bytes (a non-zero multiple of 16) of CBC cipher text with a 16-byte key
// and IV straight into `out`, checks the PKCS#7 padding in full and writes only the plaintext
// (never more than `capacity` bytes). Anything written is wiped again on failure.
Decrypted cbc_decrypt(const unsigned char *key, const unsigned char *iv, const unsigned char *ct, size_t ct_len,
                      unsigned char *out, size_t capacity) noexcept;

// Writes 2 * len lowercase hex characters, no terminator.
inline void hex_encode(const unsigned char *data, size_t len, char *out) noexcept {
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = hex_dic[data[i] >> 4];
        out[2 * i + 1] = hex_dic[data[i] & 0x0f];
    }
}

// The cipher manager's pool, or null when the manager is not set up.
inline apr_pool_t *manager_pool() noexcept {
    return edge_CIPHER_MGR_mgr_get_pool();
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

// The reader-writer lock of the manager's key maps. Lookups share it; entering keys and
// loading or saving key stores hold it alone.
pthread_rwlock_t &key_maps_lock() noexcept;

class SharedKeys {
public:
    SharedKeys() noexcept { (void)pthread_rwlock_rdlock(&key_maps_lock()); }
    ~SharedKeys() { (void)pthread_rwlock_unlock(&key_maps_lock()); }
    SharedKeys(const SharedKeys &) = delete;
    SharedKeys &operator=(const SharedKeys &) = delete;
};

class ExclusiveKeys {
public:
    ExclusiveKeys() noexcept { (void)pthread_rwlock_wrlock(&key_maps_lock()); }
    ~ExclusiveKeys() { (void)pthread_rwlock_unlock(&key_maps_lock()); }
    ExclusiveKeys(const ExclusiveKeys &) = delete;
    ExclusiveKeys &operator=(const ExclusiveKeys &) = delete;
};

}  // namespace gravel::cipher
