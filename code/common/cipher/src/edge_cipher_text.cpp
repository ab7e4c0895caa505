// Cipher text: a plaintext and a 16-byte key to the lowercase hex of a random IV and the
// AES-128-CBC cipher text of the PKCS#7-padded plaintext, and back. The form in which the kit
// stores and exchanges encrypted data.
#include <climits>
#include <cstring>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>

#include "edge_cipher_internal.hpp"

using gravel::cipher::kBlock;
using gravel::cipher::manager;

extern "C" {

EDGE_API uint32_t edge_cipher_calc_encrypt_len(uint32_t plain_len) {
    if (plain_len == 0) return 0;
    const uint64_t len = (static_cast<uint64_t>(plain_len) / kBlock + 2) * 2 * kBlock;
    return len > UINT32_MAX ? 0 : static_cast<uint32_t>(len);
}

EDGE_API uint32_t edge_cipher_encrypt_encode(const unsigned char *plain, uint32_t len, char *output,
                                             uint32_t *output_len, const unsigned char *key, apr_pool_t *pool) {
    if (plain == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0 ||
        key == nullptr || pool == nullptr || manager() == nullptr) {
        return EDGE_ERR_MISSING;
    }
    const uint64_t record_len = (static_cast<uint64_t>(len) / kBlock + 2) * kBlock;
    const uint64_t text_len = 2 * record_len;
    if (*output_len < text_len) {
        EDGE_LOG_ERROR("output buffer is too small, need encoded_len:%d",
                       text_len > INT_MAX ? INT_MAX : static_cast<int>(text_len));
        return EDGE_ERR_OUT_OF_RANGE;
    }
    auto *record = static_cast<unsigned char *>(apr_palloc(pool, record_len));
    if (record == nullptr) return EDGE_ERR_NO_MEMORY;
    uint32_t written = static_cast<uint32_t>(record_len);
    const uint32_t rc = edge_cipher_aes_encrypt_raw(plain, len, record, &written, key, EDGE_CIPHER_KEY_LEN);
    if (rc != EDGE_OK) {
        EDGE_LOG_ERROR("aes encrypt error, ret:%d", static_cast<int>(rc));
        return EDGE_ERR_AES_ENCRYPT;
    }
    gravel::cipher::hex_encode(record, record_len, output);
    *output_len = static_cast<uint32_t>(text_len);
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_decrypt_decode(const char *text, uint32_t len, unsigned char *output,
                                             uint32_t *output_len, const unsigned char *key, apr_pool_t *pool) {
    if (text == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0 ||
        key == nullptr || pool == nullptr || manager() == nullptr) {
        return EDGE_ERR_MISSING;
    }
    const uint32_t record_len = len / 2;
    auto *record = static_cast<unsigned char *>(apr_palloc(pool, record_len + 1));
    if (record == nullptr) return EDGE_ERR_NO_MEMORY;
    uint32_t decoded = record_len;
    uint32_t rc = edge_cipher_from_hex(text, len, record, &decoded);
    if (rc != EDGE_OK) {
        EDGE_LOG_ERROR("hex decode error, ret:%d", static_cast<int>(rc));
        return EDGE_ERR_HEX_DECODE;
    }
    // The record is decrypted as edge_cipher_aes_decrypt_raw decrypts it, with the same refusals
    // and log lines, but straight into the caller's output: the plaintext is written nowhere else.
    if (!gravel::cipher::whole_record(record_len)) {
        gravel::cipher::log_unusable_record(record_len, output, *output_len);
        EDGE_LOG_ERROR("aes decrypt error, ret:%d", static_cast<int>(EDGE_ERR_MISSING));
        return EDGE_ERR_AES_DECRYPT;
    }
    const gravel::cipher::Decrypted r = gravel::cipher::cbc_decrypt(
        key, record, record + EDGE_CIPHER_IV_LEN, record_len - EDGE_CIPHER_IV_LEN, output, *output_len);
    if (r.outcome == gravel::cipher::Decrypt::too_small) {
        EDGE_LOG_ERROR("target plain buffer not enough, need %d", static_cast<int>(r.plain_len));
        return EDGE_ERR_OUT_OF_RANGE;
    }
    rc = gravel::cipher::decrypt_status(r);
    if (rc != EDGE_OK) {
        EDGE_LOG_ERROR("aes decrypt error, ret:%d", static_cast<int>(rc));
        return EDGE_ERR_AES_DECRYPT;
    }
    *output_len = r.plain_len;
    return EDGE_OK;
}

}  // extern "C"
