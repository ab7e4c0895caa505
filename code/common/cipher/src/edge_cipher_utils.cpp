// Crypto primitives on caller buffers: AES-128-CBC records, HMAC-SHA256, PBKDF2, base64, hex,
// random bytes, UCS-2 to UTF-8, and the env key loader.
#include <iconv.h>

#include <array>
#include <climits>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <apr_strings.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>

#include "edge_cipher_internal.hpp"
#include "edge_scoped_pool.hpp"

#ifndef GRAVEL_ENV_KEY_CONSTANT
#error "GRAVEL_ENV_KEY_CONSTANT must be set by the build"
#endif

extern "C" {

// Visibility comes from the declaration in the header.
const char hex_dic[17] = "0123456789abcdef";

const int32_t hex_rdic[112] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 0..15
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 16..31
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 32..47
    0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   255, 255, 255, 255, 255, 255,  // 48..63 "0".."9"
    255, 10,  11,  12,  13,  14,  15,  255, 255, 255, 255, 255, 255, 255, 255, 255,  // 64..79 "A".."F"
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 80..95
    255, 10,  11,  12,  13,  14,  15,  255, 255, 255, 255, 255, 255, 255, 255, 255,  // 96..111 "a".."f"
};

}  // extern "C"

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
    unsigned char last[kBlock];
    Wipe wipe_last(last, sizeof last);
    int n = 0;

    if (capacity >= head) {
        // The usual case, in one pass: OpenSSL writes every block but the last straight to the
        // output, and the last one's plaintext, once its padding is checked in full (a count of
        // 1..16, every padding byte equal to it), to a buffer of ours. A fresh context holds no
        // earlier input, and with padding on it keeps the final block back, so one update of
        // whole blocks writes exactly `head` bytes; the tests hold it to that with buffers of
        // exactly the plaintext's size under AddressSanitizer.
        CipherCtx ctx(EVP_CIPHER_CTX_new());
        if (ctx == nullptr || EVP_DecryptInit_ex2(ctx.get(), cipher, key, iv, nullptr) != 1) return result;
        ERR_set_mark();
        int tail = 0;
        const bool body =
            EVP_DecryptUpdate(ctx.get(), out, &n, ct, static_cast<int>(ct_len)) == 1 && static_cast<size_t>(n) == head;
        const bool padded = body && EVP_DecryptFinal_ex(ctx.get(), last, &tail) == 1;
        ERR_pop_to_mark();  // a bad padding is our caller's news, not the thread's error queue's
        if (padded) {
            result.plain_len = static_cast<uint32_t>(head + static_cast<size_t>(tail));
            if (capacity < result.plain_len) {
                OPENSSL_cleanse(out, head);
                result.outcome = Decrypt::too_small;
                return result;
            }
            std::memcpy(out + head, last, static_cast<size_t>(tail));
            result.outcome = Decrypt::ok;
            return result;
        }
        OPENSSL_cleanse(out, head);
        if (!body) return result;
    }

    // The plaintext cannot fit, or its padding is wrong: decrypt the last block alone (its IV
    // is the block before it) without padding removal, to tell which and by how much.
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    const unsigned char *chain = head == 0 ? iv : ct + head - kBlock;
    if (ctx == nullptr || EVP_DecryptInit_ex2(ctx.get(), cipher, key, chain, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_DecryptUpdate(ctx.get(), last, &n, ct + head, static_cast<int>(kBlock)) != 1 ||
        static_cast<size_t>(n) != kBlock) {
        return result;
    }
    const unsigned pad = last[kBlock - 1];
    bool bad = pad == 0 || pad > kBlock;
    for (size_t i = kBlock - (bad ? 0 : pad); i < kBlock; ++i) bad = bad || last[i] != pad;
    result.padding = pad;
    if (bad) {
        result.outcome = Decrypt::bad_padding;
        return result;
    }
    result.plain_len = static_cast<uint32_t>(head + kBlock - pad);
    // A good padding gets here when the output is short; anything else is OpenSSL failing.
    result.outcome = capacity < result.plain_len ? Decrypt::too_small : Decrypt::failed;
    return result;
}

}  // namespace gravel::cipher

namespace {

using gravel::cipher::kBlock;

constexpr uint32_t kDigestLen = EDGE_CIPHER_DIGEST_LEN;
constexpr char kEnvKeyConstant[] = GRAVEL_ENV_KEY_CONSTANT;
constexpr size_t kEnvKeyPart = 12;
static_assert(sizeof(kEnvKeyConstant) - 1 == kEnvKeyPart, "the env key constant has 12 characters");
// Room for the decoded env key; the key itself is 16 bytes.
constexpr size_t kEnvKeyScratch = 256;

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

// Closes an iconv descriptor on every path out of a scope.
class Iconv {
public:
    Iconv(const char *to, const char *from) noexcept : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;
    bool ok() const noexcept { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const noexcept { return cd_; }

private:
    iconv_t cd_;
};

// The values of hex_rdic for every byte value (255 beyond code 111 too), as a constant of this
// module so the decoding loop reads no exported data.
constexpr std::array<uint8_t, 256> kHexValue = [] {
    std::array<uint8_t, 256> table{};
    table.fill(255);
    for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = static_cast<uint8_t>(c - '0');
    for (char c = 'a'; c <= 'f'; ++c) table[static_cast<unsigned char>(c)] = static_cast<uint8_t>(c - 'a' + 10);
    for (char c = 'A'; c <= 'F'; ++c) table[static_cast<unsigned char>(c)] = static_cast<uint8_t>(c - 'A' + 10);
    return table;
}();

constexpr bool is_base64_char(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

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
    if (record == nullptr || record_len <= EDGE_CIPHER_IV_LEN || (record_len - EDGE_CIPHER_IV_LEN) % kBlock != 0 ||
        output == nullptr || *output_len == 0 || key == nullptr || key_len != EDGE_CIPHER_KEY_LEN) {
        EDGE_LOG_ERROR("ilens:%d, output:%p, olens:%d", static_cast<int>(record_len), static_cast<void *>(output),
                       static_cast<int>(*output_len));
        return EDGE_ERR_MISSING;
    }
    if (gravel::cipher::manager_pool() == nullptr) return EDGE_ERR_NO_MEMORY;
    std::memset(output, 0, *output_len);
    const gravel::cipher::Decrypted r = gravel::cipher::cbc_decrypt(
        key, record, record + EDGE_CIPHER_IV_LEN, record_len - EDGE_CIPHER_IV_LEN, output, *output_len);
    switch (r.outcome) {
        case gravel::cipher::Decrypt::ok:
            *output_len = r.plain_len;
            return EDGE_OK;
        case gravel::cipher::Decrypt::bad_padding:
            if (r.padding > kBlock) {
                EDGE_LOG_ERROR("padding too long, padding_len:%d", static_cast<int>(r.padding));
            } else {
                EDGE_LOG_ERROR("padding error, padding_len:%d", static_cast<int>(r.padding));
            }
            return EDGE_ERR_OUT_OF_RANGE;
        case gravel::cipher::Decrypt::too_small:
            EDGE_LOG_ERROR("output buffer is too small, need length:%d", static_cast<int>(r.plain_len));
            return EDGE_ERR_OUT_OF_RANGE;
        case gravel::cipher::Decrypt::failed:
            break;
    }
    EDGE_LOG_ERROR("aes cbc decryption failed.");
    return EDGE_ERR_AES_DECRYPT;
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
    const size_t pass_len = std::strlen(password);
    const size_t real_salt_len = strnlen(reinterpret_cast<const char *>(salt), salt_len);
    if (pass_len > INT_MAX || sha256() == nullptr ||
        PKCS5_PBKDF2_HMAC(password, static_cast<int>(pass_len), salt, static_cast<int>(real_salt_len),
                          static_cast<int>(iterations), sha256(), static_cast<int>(output_len), output) != 1) {
        OPENSSL_cleanse(output, output_len);
        EDGE_LOG_ERROR("pbkdf2 failed.");
        return EDGE_ERR_MISSING;
    }
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_base64_encode(const unsigned char *data, uint32_t len, char *output,
                                            uint32_t *output_len) {
    if (data == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0) {
        return EDGE_ERR_MISSING;
    }
    const uint64_t need = 4 * ((static_cast<uint64_t>(len) + 2) / 3);
    if (*output_len < need) return EDGE_ERR_OUT_OF_RANGE;
    // Whole groups of 48 bytes give 64 characters; OpenSSL adds a terminator that must not
    // reach the caller's buffer, so every chunk passes through a small one of our own.
    constexpr size_t kChunk = 48;
    unsigned char text[kChunk / 3 * 4 + 1];
    size_t at = 0;
    for (size_t off = 0; off < len; off += kChunk) {
        const size_t n = len - off < kChunk ? len - off : kChunk;
        const int k = EVP_EncodeBlock(text, data + off, static_cast<int>(n));
        if (k != static_cast<int>(4 * ((n + 2) / 3))) return EDGE_ERR_MISSING;
        std::memcpy(output + at, text, static_cast<size_t>(k));
        at += static_cast<size_t>(k);
    }
    *output_len = static_cast<uint32_t>(need);
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_base64_decode(char *text, uint32_t len, unsigned char *output, uint32_t *output_len) {
    if (text == nullptr || len == 0 || len % 4 != 0 || len > INT_MAX || output == nullptr || output_len == nullptr) {
        return EDGE_ERR_MISSING;
    }
    const uint32_t capacity_needed = len / 4 * 3;
    if (*output_len < capacity_needed) return EDGE_ERR_OUT_OF_RANGE;
    for (uint32_t i = 0; i < len; ++i) {
        if (text[i] == '-') text[i] = '+';
        if (text[i] == '_') text[i] = '/';
    }
    // Only the alphabet, with at most two "=" at the very end.
    uint32_t pads = 0;
    while (pads < 2 && text[len - 1 - pads] == '=') ++pads;
    for (uint32_t i = 0; i < len - pads; ++i) {
        if (!is_base64_char(text[i])) return EDGE_ERR_UNDECRYPTABLE;
    }
    const int n = EVP_DecodeBlock(output, reinterpret_cast<const unsigned char *>(text), static_cast<int>(len));
    if (n != static_cast<int>(capacity_needed)) {
        OPENSSL_cleanse(output, capacity_needed);
        return EDGE_ERR_UNDECRYPTABLE;
    }
    // The decoder writes zero bytes for the padding; they are not part of the result.
    for (uint32_t i = 0; i < pads; ++i) output[capacity_needed - 1 - i] = 0;
    *output_len = capacity_needed - pads;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_to_hex(const unsigned char *data, uint32_t len, char *output, uint32_t *output_len) {
    if (data == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0) {
        return EDGE_ERR_MISSING;
    }
    if (*output_len < 2 * static_cast<uint64_t>(len)) return EDGE_ERR_OUT_OF_RANGE;
    std::memset(output, 0, *output_len);
    gravel::cipher::hex_encode(data, len, output);
    *output_len = 2 * len;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_from_hex(const char *text, uint32_t len, unsigned char *output, uint32_t *output_len) {
    if (text == nullptr || text[0] == '\0' || len == 0 || output == nullptr || output_len == nullptr) {
        return EDGE_ERR_MISSING;
    }
    if (len % 2 != 0) return EDGE_ERR_BAD_ARGUMENT;
    if (*output_len < len / 2) return EDGE_ERR_OUT_OF_RANGE;
    for (uint32_t i = 0; i < len / 2; ++i) {
        const unsigned hi = kHexValue[static_cast<unsigned char>(text[2 * i])];
        const unsigned lo = kHexValue[static_cast<unsigned char>(text[2 * i + 1])];
        if (((hi | lo) & 0xf0u) != 0) return EDGE_ERR_BAD_ARGUMENT;
        output[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    *output_len = len / 2;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_unicode_to_utf8_native(const unsigned char *units, uint32_t len, char *output,
                                                     uint32_t *output_len, apr_pool_t *pool) {
    if (units == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0 ||
        pool == nullptr) {
        return EDGE_ERR_MISSING;
    }
    // glibc's "UCS-2" reads code units in the machine's own byte order.
    Iconv conv("UTF-8", "UCS-2");
    if (!conv.ok()) {
        EDGE_LOG_ERROR("create utf8 converter error.");
        return EDGE_ERR_MISSING;
    }
    char *in = const_cast<char *>(reinterpret_cast<const char *>(units));  // iconv's signature, not written
    size_t in_left = len;
    char *out = output;
    size_t out_left = *output_len;
    if (iconv(conv.get(), &in, &in_left, &out, &out_left) == static_cast<size_t>(-1) || in_left != 0) {
        const int err = errno;
        OPENSSL_cleanse(output, *output_len - out_left);
        EDGE_LOG_ERROR("utf8 convert failed, errno:%d", err);
        return EDGE_ERR_MISSING;
    }
    *output_len = static_cast<uint32_t>(*output_len - out_left);
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_load_key(unsigned char *output, uint32_t *output_len) {
    if (output == nullptr || output_len == nullptr || *output_len == 0) return EDGE_ERR_MISSING;
    apr_pool_t *parent = gravel::cipher::manager_pool();
    if (parent == nullptr) return EDGE_ERR_NO_MEMORY;
    gravel::ScopedPool pool(parent);
    if (!pool) return EDGE_ERR_NO_MEMORY;
    const char *work_dir = edge_base_get_workdir();
    const char *path = work_dir == nullptr ? nullptr : apr_psprintf(pool.get(), "%s/conf/module.dat", work_dir);
    unsigned char *part = nullptr;
    uint32_t part_len = 0;
    const uint32_t rc =
        path == nullptr ? EDGE_ERR_MISSING : edge_base_file_read_alloc(path, &part, &part_len, pool.get());
    gravel::cipher::Wipe wipe_part(part, part == nullptr ? 0 : part_len);
    if (rc != EDGE_OK || part_len != kEnvKeyPart) {
        EDGE_LOG_ERROR("read module.dat failed, ret:%d, lens:%d", static_cast<int>(rc), static_cast<int>(part_len));
        return rc != EDGE_OK ? rc : EDGE_ERR_KEYSTORE_READ;
    }

    char text[2 * kEnvKeyPart];
    gravel::cipher::Wipe wipe_text(text, sizeof text);
    for (size_t i = 0; i < kEnvKeyPart; ++i) {
        text[2 * i] = kEnvKeyConstant[i];
        text[2 * i + 1] = static_cast<char>(part[i]);
    }
    unsigned char key[kEnvKeyScratch];
    gravel::cipher::Wipe wipe_key(key, sizeof key);
    uint32_t key_len = sizeof key;
    if (edge_cipher_base64_decode(text, sizeof text, key, &key_len) != EDGE_OK || key_len == 0) {
        return EDGE_ERR_UNDECRYPTABLE;
    }
    if (key_len > *output_len) return EDGE_ERR_OUT_OF_RANGE;
    std::memcpy(output, key, key_len);
    *output_len = key_len;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_calc_encrypt_len(uint32_t plain_len) {
    if (plain_len == 0) return 0;
    const uint64_t len = (static_cast<uint64_t>(plain_len) / kBlock + 2) * 2 * kBlock;
    return len > UINT32_MAX ? 0 : static_cast<uint32_t>(len);
}

}  // extern "C"
