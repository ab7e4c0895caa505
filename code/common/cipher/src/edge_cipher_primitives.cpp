// Crypto primitives on caller buffers: random bytes, AES-128-CBC records with a random IV and
// PKCS#7 padding, HMAC-SHA256 and PBKDF2-HMAC-SHA256, all on OpenSSL's EVP interfaces with the
// algorithms fetched once.
#include <climits>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>

#include "edge_cipher_internal.hpp"

namespace gravel::cipher {

EVP_CIPHER *aes_128_cbc() noexcept {
    static EVP_CIPHER *const cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    return cipher;
}

Decrypted cbc_decrypt(const unsigned char *key, const unsigned char *iv, const unsigned char *ct, size_t ct_len,
                      unsigned char *out, size_t capacity) noexcept {
    Decrypted result;
    EVP_CIPHER *cipher = aes_128_cbc();
    if (cipher == nullptr || ct_len == 0 || ct_len % kBlock != 0 || ct_len > INT_MAX) return result;
    const size_t head = ct_len - kBlock;  // every block but the last, which holds the padding
    // One pass, without OpenSSL's final step. With padding removal on (the default) OpenSSL holds
    // the last block of its input back until more input comes: an update of whole blocks on a
    // fresh context writes all of them but the last, and one more block of input (a zero block
    // of ours, itself held back and never decrypted) brings out the last one's plaintext with its
    // padding. The padding is then checked here in full (a count of 1..16, every padding byte
    // equal to it), so a bad one never reaches the thread's error queue: it is our caller's news.
    // The blocks before the last go straight to the output when they fit; when they do not, the
    // last block is decrypted alone (its IV is the block before it), to tell by how much the
    // plaintext is too long. The tests hold OpenSSL to these lengths with buffers of exactly the
    // plaintext's size under AddressSanitizer.
    static constexpr unsigned char kFlush[kBlock] = {};
    const bool direct = capacity >= head;
    const unsigned char *first = direct ? ct : ct + head;
    const size_t first_len = direct ? ct_len : kBlock;
    unsigned char last[kBlock];
    Wipe wipe_last(last, sizeof last);
    int n = 0;
    int m = 0;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    const bool decrypted =
        ctx != nullptr && EVP_DecryptInit_ex2(ctx.get(), cipher, key, direct ? iv : ct + head - kBlock, nullptr) == 1 &&
        EVP_DecryptUpdate(ctx.get(), direct ? out : last, &n, first, static_cast<int>(first_len)) == 1 &&
        static_cast<size_t>(n) == first_len - kBlock &&
        EVP_DecryptUpdate(ctx.get(), last, &m, kFlush, static_cast<int>(kBlock)) == 1 &&
        static_cast<size_t>(m) == kBlock;
    // Whatever fails, nothing decrypted is left in the output.
    auto fail = [&](Decrypt outcome) {
        if (direct) OPENSSL_cleanse(out, head);
        result.outcome = outcome;
        return result;
    };
    if (!decrypted) return fail(Decrypt::failed);
    const unsigned pad = last[kBlock - 1];
    bool bad = pad == 0 || pad > kBlock;
    for (size_t i = kBlock - (bad ? 0 : pad); i < kBlock; ++i) bad = bad || last[i] != pad;
    result.padding = pad;
    if (bad) return fail(Decrypt::bad_padding);
    result.plain_len = static_cast<uint32_t>(head + kBlock - pad);
    if (capacity < result.plain_len) return fail(Decrypt::too_small);
    std::memcpy(out + head, last, kBlock - pad);
    result.outcome = Decrypt::ok;
    return result;
}

uint32_t decrypt_status(const Decrypted &result) noexcept {
    switch (result.outcome) {
        case Decrypt::ok:
            return EDGE_OK;
        case Decrypt::bad_padding:
            if (result.padding > kBlock) {
                EDGE_LOG_ERROR("padding too long, padding_len:%d", static_cast<int>(result.padding));
            } else {
                EDGE_LOG_ERROR("padding error, padding_len:%d", static_cast<int>(result.padding));
            }
            return EDGE_ERR_OUT_OF_RANGE;
        case Decrypt::too_small:
            EDGE_LOG_ERROR("output buffer is too small, need length:%d", static_cast<int>(result.plain_len));
            return EDGE_ERR_OUT_OF_RANGE;
        case Decrypt::failed:
            break;
    }
    EDGE_LOG_ERROR("aes cbc decryption failed.");
    return EDGE_ERR_AES_DECRYPT;
}

void log_unusable_record(uint32_t record_len, const void *output, uint32_t capacity) noexcept {
    EDGE_LOG_ERROR("ilens:%d, output:%p, olens:%d", static_cast<int>(record_len), output, static_cast<int>(capacity));
}

}  // namespace gravel::cipher

namespace {

using gravel::cipher::kBlock;

constexpr uint32_t kDigestLen = EDGE_CIPHER_DIGEST_LEN;

// HMAC-SHA256 set up once: each digest duplicates this context and keys the copy, so the
// digest is not looked up again on every call.
EVP_MAC_CTX *hmac_sha256_template() noexcept {
    static EVP_MAC_CTX *const tmpl = []() noexcept -> EVP_MAC_CTX * {
        EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        if (mac == nullptr) return nullptr;
        EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
        EVP_MAC_free(mac);
        if (ctx == nullptr) return nullptr;
        char digest[] = "SHA256";
        const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                     OSSL_PARAM_construct_end()};
        if (EVP_MAC_CTX_set_params(ctx, params) != 1) {
            EVP_MAC_CTX_free(ctx);
            return nullptr;
        }
        return ctx;
    }();
    return tmpl;
}

EVP_MD *sha256() noexcept {
    static EVP_MD *const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

struct MacCtxFree {
    void operator()(EVP_MAC_CTX *ctx) const noexcept { EVP_MAC_CTX_free(ctx); }
};

}  // namespace

extern "C" {

EDGE_API uint32_t edge_cipher_generate_randoms(unsigned char *buffer, uint32_t count) {
    if (buffer == nullptr || count == 0 || count > INT_MAX) return EDGE_ERR_MISSING;
    if (RAND_bytes(buffer, static_cast<int>(count)) != 1) {
        OPENSSL_cleanse(buffer, count);
        EDGE_LOG_ERROR("random bytes failed, count:%u", count);
        return EDGE_ERR_MISSING;
    }
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_aes_encrypt_raw(const unsigned char *plain, uint32_t plain_len, unsigned char *output,
                                              uint32_t *output_len, const unsigned char *key, uint32_t key_len) {
    if (plain == nullptr || plain_len == 0 || plain_len > INT_MAX - 2 * kBlock || output == nullptr ||
        output_len == nullptr || *output_len == 0 || key == nullptr || key_len != EDGE_CIPHER_KEY_LEN) {
        return EDGE_ERR_MISSING;
    }
    if (gravel::cipher::manager_pool() == nullptr) return EDGE_ERR_NO_MEMORY;
    const size_t padded = (plain_len / kBlock + 1) * kBlock;
    const size_t total = padded + kBlock;
    if (*output_len < total) {
        EDGE_LOG_ERROR("output buffer is too small, need length:%d", static_cast<int>(total));
        return EDGE_ERR_AES_ENCRYPT;
    }

    gravel::cipher::CipherCtx ctx(EVP_CIPHER_CTX_new());
    EVP_CIPHER *cipher = gravel::cipher::aes_128_cbc();
    int n1 = 0;
    int n2 = 0;
    // OpenSSL pads with PKCS#7: 16 - n % 16 bytes, each holding that count.
    const bool ok = ctx != nullptr && cipher != nullptr && RAND_bytes(output, EDGE_CIPHER_IV_LEN) == 1 &&
                    EVP_EncryptInit_ex2(ctx.get(), cipher, key, output, nullptr) == 1 &&
                    EVP_EncryptUpdate(ctx.get(), output + kBlock, &n1, plain, static_cast<int>(plain_len)) == 1 &&
                    EVP_EncryptFinal_ex(ctx.get(), output + kBlock + n1, &n2) == 1 &&
                    static_cast<size_t>(n1) + static_cast<size_t>(n2) == padded;
    if (!ok) {
        OPENSSL_cleanse(output, total);
        EDGE_LOG_ERROR("aes cbc encryption failed.");
        return EDGE_ERR_AES_ENCRYPT;
    }
    *output_len = static_cast<uint32_t>(total);
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_aes_decrypt_raw(const unsigned char *record, uint32_t record_len, unsigned char *output,
                                              uint32_t *output_len, const unsigned char *key, uint32_t key_len) {
    if (output_len == nullptr) {
        EDGE_LOG_ERROR("olens is null.");
        return EDGE_ERR_MISSING;
    }
    // An IV and at least one whole block; anything else cannot be a record.
    if (record == nullptr || !gravel::cipher::whole_record(record_len) || output == nullptr || *output_len == 0 ||
        key == nullptr || key_len != EDGE_CIPHER_KEY_LEN) {
        gravel::cipher::log_unusable_record(record_len, output, *output_len);
        return EDGE_ERR_MISSING;
    }
    if (gravel::cipher::manager_pool() == nullptr) return EDGE_ERR_NO_MEMORY;
    std::memset(output, 0, *output_len);
    const gravel::cipher::Decrypted r = gravel::cipher::cbc_decrypt(
        key, record, record + EDGE_CIPHER_IV_LEN, record_len - EDGE_CIPHER_IV_LEN, output, *output_len);
    const uint32_t rc = gravel::cipher::decrypt_status(r);
    if (rc == EDGE_OK) *output_len = r.plain_len;
    return rc;
}

EDGE_API uint32_t edge_cipher_digest_raw(const unsigned char *message, uint32_t message_len, unsigned char *output,
                                         uint32_t *output_len, const unsigned char *key, uint32_t key_len) {
    if (output_len == nullptr) {
        EDGE_LOG_ERROR("olens is null");
        return EDGE_ERR_MISSING;
    }
    if (message == nullptr || message_len == 0 || output == nullptr || *output_len == 0 || key == nullptr ||
        key_len == 0 || key[0] == 0 || key_len > INT_MAX) {
        EDGE_LOG_ERROR("input:%p, ilens:%d, output:%p, olens:%p, key:%p, klens:%d", static_cast<const void *>(message),
                       static_cast<int>(message_len), static_cast<void *>(output), static_cast<void *>(output_len),
                       static_cast<const void *>(key), static_cast<int>(key_len));
        return EDGE_ERR_MISSING;
    }
    if (*output_len < kDigestLen) {
        EDGE_LOG_ERROR("output buffer is too small, need length:%d", static_cast<int>(kDigestLen));
        return EDGE_ERR_OUT_OF_RANGE;
    }
    EVP_MAC_CTX *tmpl = hmac_sha256_template();
    std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(tmpl == nullptr ? nullptr : EVP_MAC_CTX_dup(tmpl));
    if (ctx == nullptr) {
        EDGE_LOG_ERROR("HMAC_CTX_new error, ctx is null,");
        return EDGE_ERR_MISSING;
    }
    size_t written = 0;
    if (EVP_MAC_init(ctx.get(), key, key_len, nullptr) != 1 || EVP_MAC_update(ctx.get(), message, message_len) != 1 ||
        EVP_MAC_final(ctx.get(), output, &written, *output_len) != 1 || written != kDigestLen) {
        OPENSSL_cleanse(output, *output_len);
        EDGE_LOG_ERROR("hmac sha256 failed.");
        return EDGE_ERR_HMAC;
    }
    *output_len = kDigestLen;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_pbkdf2_sha256(const char *password, const unsigned char *salt, uint32_t salt_len,
                                            uint32_t iterations, unsigned char *output, uint32_t output_len) {
    if (password == nullptr || salt == nullptr || salt_len == 0 || iterations == 0 || iterations > INT_MAX ||
        output == nullptr || output_len == 0 || output_len > INT_MAX) {
        return EDGE_ERR_MISSING;
    }
    // Password and salt are both zero-terminated strings; the salt's length argument only has to
    // be non-zero, and does not shorten the salt.
    const size_t pass_len = std::strlen(password);
    const size_t real_salt_len = std::strlen(reinterpret_cast<const char *>(salt));
    if (pass_len > INT_MAX || real_salt_len > INT_MAX || sha256() == nullptr ||
        PKCS5_PBKDF2_HMAC(password, static_cast<int>(pass_len), salt, static_cast<int>(real_salt_len),
                          static_cast<int>(iterations), sha256(), static_cast<int>(output_len), output) != 1) {
        OPENSSL_cleanse(output, output_len);
        EDGE_LOG_ERROR("pbkdf2 failed.");
        return EDGE_ERR_MISSING;
    }
    return EDGE_OK;
}

}  // extern "C"
