// Fuzzes the decryption of stored cipher text (hex of a 16-byte IV and AES-128-CBC blocks with
// PKCS#7 padding) under a domain key: arbitrary texts, and texts made from a real cipher text
// of the kit by flipping, replacing, truncating or extending it (the first input byte says
// which, the next four where).
//
// Properties: the kit's encryption has its exact length, is lowercase hex and decrypts to the
// plaintext; a text decrypts exactly when it is even-length hex of an IV and whole blocks
// whose decryption has full, valid padding (OpenSSL's own decryption, with its padding check,
// is the reference here), and then to the reference's plaintext; everything else fails, and
// no decryption writes past the plaintext's room. The cipher text carries no authentication
// code: a changed block that happens to leave valid padding decrypts (to other bytes), so "it
// decrypts, hence the kit wrote it" cannot be asked of this form; only the padding decides.
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include <apr_pools.h>

#include <gravel/edge_cipher.h>

#include "fuzz_support.hpp"

namespace {

constexpr const char *kDomain = "fuzz";
const edge_cipher_key_t *key = nullptr;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// OpenSSL's reading of the text: false when it is not hex of an IV and whole blocks, or its
// padding is wrong.
bool reference_decrypt(const std::string &text, std::string &plain) {
    if (text.size() % 2 != 0) return false;
    std::vector<unsigned char> record(text.size() / 2);
    for (size_t i = 0; i < record.size(); ++i) {
        const int hi = hex_value(text[2 * i]);
        const int lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        record[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    if (record.size() < 32 || record.size() % 16 != 0) return false;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    FUZZ_CHECK(ctx != nullptr, "no cipher context");
    std::vector<unsigned char> out(record.size());
    int n = 0;
    int tail = 0;
    const bool ok =
        EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key->key, record.data()) == 1 &&
        EVP_DecryptUpdate(ctx, out.data(), &n, record.data() + 16, static_cast<int>(record.size() - 16)) == 1 &&
        EVP_DecryptFinal_ex(ctx, out.data() + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (ok) plain.assign(reinterpret_cast<const char *>(out.data()), static_cast<size_t>(n + tail));
    return ok;
}

void check_decrypt(const std::string &text, apr_pool_t *pool) {
    if (text.empty()) return;
    std::string expected;
    const bool valid = reference_decrypt(text, expected);
    // Room for the plaintext: the record less its IV, exactly (a write beyond it is caught).
    const size_t room = text.size() / 2 > 16 ? text.size() / 2 - 16 : 1;
    std::vector<unsigned char> out(room);
    uint32_t len = static_cast<uint32_t>(room);
    const uint32_t status =
        edge_cipher_decrypt(text.data(), static_cast<uint32_t>(text.size()), out.data(), &len, kDomain, pool);
    if (!valid) {
        FUZZ_CHECK(status != EDGE_OK, "a text OpenSSL refuses decrypted (%zu characters, %u bytes out)", text.size(),
                   len);
        return;
    }
    FUZZ_CHECK(status == EDGE_OK, "a text OpenSSL decrypts was refused (%u)", status);
    FUZZ_CHECK(len == expected.size() && std::memcmp(out.data(), expected.data(), len) == 0,
               "decrypted to other bytes than OpenSSL's (%u, %zu)", len, expected.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    gravel::fuzz::start_base();
    FUZZ_CHECK(edge_cipher_init() == EDGE_OK, "cipher init failed");
    const unsigned char bytes[16] = {0x3a, 0x91, 0x07, 0xc4, 0x5e, 0x28, 0xb3, 0x6f,
                                     0xd0, 0x14, 0x89, 0xe2, 0x7b, 0x55, 0xac, 0x13};
    FUZZ_CHECK(edge_cipher_save_key(kDomain, bytes, sizeof bytes, 0) == EDGE_OK, "domain key not saved");
    key = edge_cipher_get_domain(kDomain);
    FUZZ_CHECK(key != nullptr && key->len == 16 && std::memcmp(key->key, bytes, 16) == 0, "domain key not kept");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    gravel::fuzz::Reader in(data, size);
    const uint8_t mode = in.byte();
    const uint32_t where = in.u32();
    apr_pool_t *pool = nullptr;
    FUZZ_CHECK(apr_pool_create(&pool, nullptr) == APR_SUCCESS, "no pool");
    const std::string rest = in.rest();

    if (mode % 2 == 0) {
        check_decrypt(rest, pool);  // the text as it comes
    } else if (!rest.empty()) {
        // A real cipher text of the rest as plaintext, then changed.
        const uint32_t need = edge_cipher_calc_encrypt_len(static_cast<uint32_t>(rest.size()));
        FUZZ_CHECK(need == (rest.size() / 16 + 2) * 32, "cipher text length %u for %zu bytes", need, rest.size());
        std::string text(need, '\0');
        uint32_t len = need;
        FUZZ_CHECK(
            edge_cipher_encrypt(reinterpret_cast<const unsigned char *>(rest.data()),
                                static_cast<uint32_t>(rest.size()), text.data(), &len, kDomain, pool) == EDGE_OK &&
                len == need,
            "encryption failed");
        for (const char c : text) FUZZ_CHECK(hex_value(c) >= 0 && !(c >= 'A' && c <= 'F'), "not lowercase hex");
        std::string plain;
        FUZZ_CHECK(reference_decrypt(text, plain) && plain == rest, "OpenSSL does not read the kit's cipher text");
        check_decrypt(text, pool);

        const size_t at = where % text.size();
        switch ((mode >> 1) % 4) {
            case 0:  // one bit of one character
                text[at] = static_cast<char>(text[at] ^ (1 << (where >> 24) % 8));
                break;
            case 1:  // one character becomes another hex digit
                text[at] = "0123456789abcdef"[(hex_value(text[at]) + 1 + (where >> 24) % 15) % 16];
                break;
            case 2:  // cut short
                text.resize(at);
                break;
            default:  // lengthened by some characters of the input
                text.append(rest.substr(0, (where >> 24) % 40));
                break;
        }
        check_decrypt(text, pool);
    }
    apr_pool_destroy(pool);
    return 0;
}
