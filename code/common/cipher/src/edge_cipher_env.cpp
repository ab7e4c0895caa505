// The env key: the work dir's conf/module.dat interleaved with a built-in constant is the base64
// text of a 16-byte AES key, which opens base64 records handed to the module in its environment.
#include <cstring>

#include <apr_strings.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>

#include "edge_cipher_internal.hpp"
#include "edge_scoped_pool.hpp"

#ifndef GRAVEL_ENV_KEY_CONSTANT
#error "GRAVEL_ENV_KEY_CONSTANT must be set by the build"
#endif

namespace {

using gravel::ScopedPool;
using gravel::cipher::Wipe;

constexpr char kEnvKeyConstant[] = GRAVEL_ENV_KEY_CONSTANT;
constexpr size_t kEnvKeyPart = 12;
static_assert(sizeof(kEnvKeyConstant) - 1 == kEnvKeyPart, "the env key constant has 12 characters");
// Room for the decoded env key; the key itself is 16 bytes.
constexpr size_t kEnvKeyScratch = 256;

}  // namespace

extern "C" {

EDGE_API uint32_t edge_cipher_load_key(unsigned char *output, uint32_t *output_len) {
    if (output == nullptr || output_len == nullptr || *output_len == 0) return EDGE_ERR_MISSING;
    apr_pool_t *parent = gravel::cipher::manager_pool();
    if (parent == nullptr) return EDGE_ERR_NO_MEMORY;
    ScopedPool pool(parent);
    if (!pool) return EDGE_ERR_NO_MEMORY;
    const char *work_dir = edge_base_get_workdir();
    const char *path = work_dir == nullptr ? nullptr : apr_psprintf(pool.get(), "%s/conf/module.dat", work_dir);
    unsigned char *part = nullptr;
    uint32_t part_len = 0;
    const uint32_t rc =
        path == nullptr ? EDGE_ERR_MISSING : edge_base_file_read_alloc(path, &part, &part_len, pool.get());
    Wipe wipe_part(part, part == nullptr ? 0 : part_len);
    if (rc != EDGE_OK || part_len != kEnvKeyPart) {
        EDGE_LOG_ERROR("read module.dat failed, ret:%d, lens:%d", static_cast<int>(rc), static_cast<int>(part_len));
        return rc != EDGE_OK ? rc : EDGE_ERR_KEYSTORE_READ;
    }

    char text[2 * kEnvKeyPart];
    Wipe wipe_text(text, sizeof text);
    for (size_t i = 0; i < kEnvKeyPart; ++i) {
        text[2 * i] = kEnvKeyConstant[i];
        text[2 * i + 1] = static_cast<char>(part[i]);
    }
    unsigned char key[kEnvKeyScratch];
    Wipe wipe_key(key, sizeof key);
    uint32_t key_len = sizeof key;
    if (edge_cipher_base64_decode(text, sizeof text, key, &key_len) != EDGE_OK || key_len == 0) {
        return EDGE_ERR_UNDECRYPTABLE;
    }
    if (key_len > *output_len) return EDGE_ERR_OUT_OF_RANGE;
    std::memcpy(output, key, key_len);
    *output_len = key_len;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_env_decrypt(char *text, uint32_t len, unsigned char *output, uint32_t *output_len) {
    if (text == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0) {
        return EDGE_ERR_MISSING;
    }
    unsigned char key[kEnvKeyScratch];
    Wipe wipe_key(key, sizeof key);
    uint32_t key_len = sizeof key;
    uint32_t rc = edge_cipher_load_key(key, &key_len);
    if (rc != EDGE_OK || key_len != EDGE_CIPHER_KEY_LEN) {
        EDGE_LOG_ERROR("load env decrypt key failed, ret:%d, key_len:%d", static_cast<int>(rc),
                       static_cast<int>(rc == EDGE_OK ? key_len : 0));
        return rc != EDGE_OK ? rc : EDGE_ERR_UNDECRYPTABLE;
    }
    apr_pool_t *parent = gravel::cipher::manager_pool();
    if (parent == nullptr) return EDGE_ERR_NO_MEMORY;
    ScopedPool scratch(parent);
    auto *record = scratch ? static_cast<unsigned char *>(apr_palloc(scratch.get(), len)) : nullptr;
    if (record == nullptr) return EDGE_ERR_NO_MEMORY;
    uint32_t record_len = len;
    rc = edge_cipher_base64_decode(text, len, record, &record_len);
    if (rc != EDGE_OK) {
        EDGE_LOG_ERROR("base64 decoded error, ret:%d", static_cast<int>(rc));
        return EDGE_ERR_UNDECRYPTABLE;
    }
    rc = edge_cipher_aes_decrypt_raw(record, record_len, output, output_len, key, EDGE_CIPHER_KEY_LEN);
    EDGE_LOG_INFO("decrypt env finish, ret:%d", static_cast<int>(rc));
    return rc;
}

}  // extern "C"
