// The cipher manager, the key hierarchy and its key store files, domain keys, and the cipher
// text functions that turn a plaintext and a 16-byte key into hex text and back.
#include <climits>
#include <cstring>

#include <apr_env.h>
#include <apr_tables.h>
#include <apr_strings.h>

#include <openssl/crypto.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_property.h>

#include "edge_atomic_file.hpp"
#include "edge_cipher_internal.hpp"
#include "edge_mgr_accessors.hpp"
#include "edge_scoped_pool.hpp"

#if !defined(GRAVEL_ROOT_KEY_MASK1) || !defined(GRAVEL_ROOT_KEY_MASK2) || !defined(GRAVEL_ROOT_KEY_SALT)
#error "the root key constants must be set by the build"
#endif

EDGE_MGR_DEFINE_ACCESSORS(CIPHER, EDGE_MGR_SLOT_CIPHER, edge_cipher_mgr_t, head);

namespace gravel::cipher {

pthread_rwlock_t &key_maps_lock() noexcept {
    static pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
    return lock;
}

}  // namespace gravel::cipher

namespace {

using gravel::ScopedPool;
using gravel::cipher::ExclusiveKeys;
using gravel::cipher::kBlock;
using gravel::cipher::SharedKeys;
using gravel::cipher::Wipe;

// Root key constants: 32 hex digits (16 bytes) each, validated by the build.
constexpr char kRootKeyMask1[] = GRAVEL_ROOT_KEY_MASK1;
constexpr char kRootKeyMask2[] = GRAVEL_ROOT_KEY_MASK2;
constexpr char kRootKeySalt[] = GRAVEL_ROOT_KEY_SALT;
constexpr uint32_t kConstantHexLen = 32;
static_assert(sizeof(kRootKeyMask1) - 1 == kConstantHexLen && sizeof(kRootKeyMask2) - 1 == kConstantHexLen &&
                  sizeof(kRootKeySalt) - 1 == kConstantHexLen,
              "root key constants have 32 hex digits");
constexpr uint32_t kConstantBuffer = 32;  // 16 decoded bytes followed by 16 zero bytes
constexpr uint32_t kMaterialLen = 16;
constexpr uint32_t kUnitsLen = 64;  // 16 UCS-2 units take 32 of them
constexpr uint32_t kUtf8Len = 96;   // at most 2 bytes a unit, and a terminator
constexpr uint32_t kRootKeyIterations = 1000;

constexpr char kSecretDir[] = "/secret";
constexpr char kMaterialName[] = "/449dda627abb9726";
constexpr char kPrimaryName[] = "/primary.ks";
constexpr char kDomainName[] = "/4e8a86a7502404a0";
constexpr char kWorkKeyName[] = "0";
constexpr char kVerifyCodeName[] = "verify_code";
constexpr char kCfgDirEnv[] = "module_cfg_dir";
constexpr char kVerifyCodeEnv[] = "verify_code";

// The registered manager, or null before init and after destroy.
edge_cipher_mgr_t *manager() noexcept {
    edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_get();
    return mgr != nullptr && mgr->head.pool != nullptr ? mgr : nullptr;
}

constexpr bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\f' || c == '\r' || c == '\n';
}

// A name that a key store line carries and gives back unchanged.
bool storable_name(const char *name, size_t len) noexcept {
    if (name == nullptr || len == 0 || len > EDGE_CIPHER_DOMAIN_NAME_MAX || name[0] == '#') return false;
    for (size_t i = 0; i < len; ++i) {
        const char c = name[i];
        if (c == '\0' || is_blank(c) || c == '=' || c == ':') return false;
    }
    return true;
}

bool storable_key(const edge_cipher_key_t *record) noexcept {
    return record != nullptr && record->key != nullptr && record->len != 0 && record->len <= EDGE_CIPHER_STORED_KEY_MAX;
}

// A key record with a copy of the bytes, in the manager's pool.
edge_cipher_key_t *new_record(apr_pool_t *pool, const unsigned char *bytes, uint32_t len, uint32_t enduring) noexcept {
    auto *record = static_cast<edge_cipher_key_t *>(apr_pcalloc(pool, sizeof(edge_cipher_key_t)));
    auto *copy = static_cast<unsigned char *>(apr_palloc(pool, len));
    if (record == nullptr || copy == nullptr) return nullptr;
    std::memcpy(copy, bytes, len);
    record->key = copy;
    record->len = len;
    record->enduring = enduring;
    return record;
}

void wipe_keys(apr_hash_t *map) noexcept {
    if (map == nullptr) return;
    for (apr_hash_index_t *it = apr_hash_first(nullptr, map); it != nullptr; it = apr_hash_next(it)) {
        auto *record = static_cast<edge_cipher_key_t *>(apr_hash_this_val(it));
        if (record != nullptr && record->key != nullptr) OPENSSL_cleanse(record->key, record->len);
    }
}

// Wipes a domain key's bytes and takes it out of its map; the caller holds the lock.
void forget(apr_hash_t *map, const void *name, apr_ssize_t name_len) noexcept {
    auto *record = static_cast<edge_cipher_key_t *>(apr_hash_get(map, name, name_len));
    if (record != nullptr && record->key != nullptr) OPENSSL_cleanse(record->key, record->len);
    apr_hash_set(map, name, name_len, nullptr);
}

struct AddedName {
    const char *name;
    apr_ssize_t len;
};

// The key of a key store; the caller holds the key maps' lock.
const unsigned char *choose_key(const edge_cipher_mgr_t *mgr, uint32_t use_root_key) noexcept {
    if (mgr == nullptr) return nullptr;
    if (use_root_key != 0) return mgr->root_key;
    if (mgr->work_keys == nullptr) return nullptr;
    const auto *record =
        static_cast<const edge_cipher_key_t *>(apr_hash_get(mgr->work_keys, kWorkKeyName, APR_HASH_KEY_STRING));
    return record != nullptr && record->key != nullptr && record->len == EDGE_CIPHER_KEY_LEN ? record->key : nullptr;
}

// Writes the enduring entries of a map; the caller holds the key maps' lock alone.
uint32_t save_store(apr_pool_t *pool, apr_hash_t *map, const char *path, edge_cipher_mgr_t *mgr,
                    uint32_t use_root_key) noexcept {
    if (pool == nullptr || map == nullptr || path == nullptr || path[0] == '\0' || mgr == nullptr)
        return EDGE_ERR_MISSING;
    if (apr_hash_count(map) == 0) {
        EDGE_LOG_WARN("no key store in key_map, skip.");
        return EDGE_OK;
    }
    apr_hash_t *table = apr_hash_make(pool);
    if (table == nullptr) return EDGE_ERR_NO_MEMORY;
    const unsigned char *key = choose_key(mgr, use_root_key);
    if (key == nullptr) return EDGE_ERR_MISSING;

    // Every enduring entry must come back from the file as it is; otherwise nothing is written,
    // so a later rewrite from the loaded keys cannot lose the ones that did not come back. A
    // file is read up to its 512th line, one line an entry.
    unsigned enduring = 0;
    for (apr_hash_index_t *it = apr_hash_first(pool, map); it != nullptr; it = apr_hash_next(it)) {
        const void *name = nullptr;
        apr_ssize_t name_len = 0;
        void *value = nullptr;
        apr_hash_this(it, &name, &name_len, &value);
        const auto *record = static_cast<const edge_cipher_key_t *>(value);
        if (record == nullptr || record->enduring == 0) continue;
        if (!storable_name(static_cast<const char *>(name), static_cast<size_t>(name_len)) || !storable_key(record)) {
            EDGE_LOG_ERROR("keystore entry cannot be stored, lens:%d", static_cast<int>(record->len));
            return EDGE_ERR_BAD_ARGUMENT;
        }
        ++enduring;
    }
    if (enduring > EDGE_PROPERTY_LINES_MAX) {
        EDGE_LOG_ERROR("too many keys for a keystore, count:%u", enduring);
        return EDGE_ERR_BAD_ARGUMENT;
    }
    for (apr_hash_index_t *it = apr_hash_first(pool, map); it != nullptr; it = apr_hash_next(it)) {
        const void *name = nullptr;
        apr_ssize_t name_len = 0;
        void *value = nullptr;
        apr_hash_this(it, &name, &name_len, &value);
        const auto *record = static_cast<const edge_cipher_key_t *>(value);
        if (record == nullptr || record->enduring == 0) continue;
        const uint32_t text_len = edge_cipher_calc_encrypt_len(record->len);
        auto *text = static_cast<char *>(apr_pcalloc(pool, text_len + 1));
        if (text == nullptr) return EDGE_ERR_NO_MEMORY;
        uint32_t written = text_len;
        const uint32_t rc = edge_cipher_encrypt_encode(record->key, record->len, text, &written, key, pool);
        if (rc != EDGE_OK) {
            EDGE_LOG_ERROR("encrypt keystore failed, ret:%d, use_root_key:%d", static_cast<int>(rc),
                           static_cast<int>(use_root_key));
            return EDGE_ERR_AES_ENCRYPT;
        }
        apr_hash_set(table, name, name_len, text);
    }
    const uint32_t rc = edge_property_dump(path, table, pool);
    EDGE_LOG_INFO("save keystore to %s finished, ret:%d", path, static_cast<int>(rc));
    return rc;
}

// Loads a key store file into a map; the caller holds the key maps' lock alone.
uint32_t load_store(apr_pool_t *pool, apr_hash_t *map, const char *path, edge_cipher_mgr_t *mgr,
                    uint32_t use_root_key) noexcept {
    uint32_t rc = edge_cipher_load_keystore_from_file_param_check(pool, map, path, mgr);
    if (rc == EDGE_ERR_FILE_MISSING)
        EDGE_LOG_ERROR("keystore file not found, file_name:%s", path == nullptr ? "(null)" : path);
    if (rc != EDGE_OK) return rc;
    apr_hash_t *table = edge_property_parse(path, pool);
    if (table == nullptr || apr_hash_count(table) == 0) {
        EDGE_LOG_ERROR("read keystore file error.");
        return EDGE_ERR_KEYSTORE_READ;
    }
    auto *scratch = static_cast<unsigned char *>(apr_palloc(pool, EDGE_CIPHER_STORED_KEY_MAX));
    if (scratch == nullptr) return EDGE_ERR_NO_MEMORY;
    Wipe wipe_scratch(scratch, EDGE_CIPHER_STORED_KEY_MAX);
    const unsigned char *key = choose_key(mgr, use_root_key);
    if (key == nullptr) return EDGE_ERR_MISSING;

    bool skipped = false;
    for (apr_hash_index_t *it = apr_hash_first(pool, table); it != nullptr; it = apr_hash_next(it)) {
        const void *name = nullptr;
        apr_ssize_t name_len = 0;
        void *value = nullptr;
        apr_hash_this(it, &name, &name_len, &value);
        const auto *text = static_cast<const char *>(value);
        uint32_t len = EDGE_CIPHER_STORED_KEY_MAX;
        rc = edge_cipher_decrypt_decode(text, static_cast<uint32_t>(std::strlen(text)), scratch, &len, key, pool);
        if (rc != EDGE_OK || len == 0) {
            // One bad entry costs only itself: the others still load.
            EDGE_LOG_ERROR("decrypt keystore failed, ret:%d, len:%d, use_root_key:%d", static_cast<int>(rc),
                           static_cast<int>(std::strlen(text)), static_cast<int>(use_root_key));
            skipped = true;
            continue;
        }
        EDGE_LOG_INFO("load domain key, name:%s, lens:%d, pointer:%p", static_cast<const char *>(name),
                      static_cast<int>(len), static_cast<void *>(scratch));
        edge_cipher_key_t *record = new_record(mgr->head.pool, scratch, len, 1);
        char *name_copy =
            apr_pstrmemdup(mgr->head.pool, static_cast<const char *>(name), static_cast<apr_size_t>(name_len));
        OPENSSL_cleanse(scratch, EDGE_CIPHER_STORED_KEY_MAX);
        if (record == nullptr || name_copy == nullptr) return EDGE_ERR_NO_MEMORY;
        apr_hash_set(map, name_copy, name_len, record);
    }
    return skipped ? EDGE_ERR_UNDECRYPTABLE : EDGE_OK;
}

// The configuration directory: "module_cfg_dir" when set and not empty, else the work dir.
const char *config_dir(apr_pool_t *pool) noexcept {
    char *value = nullptr;
    if (apr_env_get(&value, kCfgDirEnv, pool) == APR_SUCCESS && value != nullptr && value[0] != '\0') return value;
    return edge_base_get_workdir();
}

const edge_cipher_key_t *lookup_domain(const edge_cipher_mgr_t *mgr, const char *name) noexcept {
    SharedKeys lock;
    return static_cast<const edge_cipher_key_t *>(apr_hash_get(mgr->domain_keys, name, APR_HASH_KEY_STRING));
}

// The domain key for an AES operation, or the status that says why there is none.
uint32_t aes_domain_key(const char *domain, const unsigned char **key) noexcept {
    const edge_cipher_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    const edge_cipher_key_t *record = lookup_domain(mgr, domain);
    if (record == nullptr) {
        EDGE_LOG_ERROR("target domain not exist, domain:%s", domain);
        return EDGE_ERR_UNKNOWN_DOMAIN;
    }
    // The AES key is the first 16 bytes; a shorter key would be read past its end.
    if (record->len < EDGE_CIPHER_KEY_LEN) {
        EDGE_LOG_ERROR("domain key too short, domain:%s, lens:%d", domain, static_cast<int>(record->len));
        return EDGE_ERR_BAD_ARGUMENT;
    }
    *key = record->key;
    return EDGE_OK;
}

}  // namespace

extern "C" {

/* ---- Cipher text ---------------------------------------------------------------------- */

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
    // An IV and whole blocks, at least one; the plaintext goes straight to the output.
    if (record_len <= EDGE_CIPHER_IV_LEN || (record_len - EDGE_CIPHER_IV_LEN) % kBlock != 0) {
        EDGE_LOG_ERROR("aes decrypt error, ret:%d", static_cast<int>(EDGE_ERR_MISSING));
        return EDGE_ERR_AES_DECRYPT;
    }
    const gravel::cipher::Decrypted r = gravel::cipher::cbc_decrypt(
        key, record, record + EDGE_CIPHER_IV_LEN, record_len - EDGE_CIPHER_IV_LEN, output, *output_len);
    switch (r.outcome) {
        case gravel::cipher::Decrypt::ok:
            *output_len = r.plain_len;
            return EDGE_OK;
        case gravel::cipher::Decrypt::too_small:
            EDGE_LOG_ERROR("target plain buffer not enough, need %d", static_cast<int>(r.plain_len));
            return EDGE_ERR_OUT_OF_RANGE;
        case gravel::cipher::Decrypt::bad_padding:
            rc = EDGE_ERR_OUT_OF_RANGE;
            break;
        case gravel::cipher::Decrypt::failed:
            rc = EDGE_ERR_AES_DECRYPT;
            break;
    }
    EDGE_LOG_ERROR("aes decrypt error, ret:%d", static_cast<int>(rc));
    return EDGE_ERR_AES_DECRYPT;
}

/* ---- Manager, root key and key stores --------------------------------------------------- */

EDGE_API uint32_t edge_cipher_init(void) {
    edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_create();
    if (mgr == nullptr || mgr->head.pool == nullptr) return EDGE_ERR_MISSING;
    mgr->material_file = nullptr;
    mgr->primary_keystore_file = nullptr;
    mgr->domain_keystore_file = nullptr;
    mgr->root_key = nullptr;
    mgr->work_keys = apr_hash_make(mgr->head.pool);
    mgr->domain_keys = apr_hash_make(mgr->head.pool);
    if (mgr->work_keys == nullptr || mgr->domain_keys == nullptr) return EDGE_ERR_MISSING;
    if (OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr) != 1) {
        EDGE_LOG_ERROR("openssl init failed.");
        return EDGE_ERR_MISSING;
    }
    EDGE_LOG_INFO("cipher init success.");
    return edge_cipher_material_load();
}

EDGE_API void edge_cipher_destroy(void) {
    edge_cipher_mgr_t *mgr = manager();
    if (mgr != nullptr) {
        ExclusiveKeys lock;
        wipe_keys(mgr->work_keys);
        wipe_keys(mgr->domain_keys);
        if (mgr->root_key != nullptr) OPENSSL_cleanse(mgr->root_key, EDGE_CIPHER_KEY_LEN + 1);
        mgr->material_file = nullptr;
        mgr->primary_keystore_file = nullptr;
        mgr->domain_keystore_file = nullptr;
        mgr->root_key = nullptr;
        mgr->work_keys = nullptr;
        mgr->domain_keys = nullptr;
    }
    edge_CIPHER_MGR_mgr_delete();
}

namespace {
// Draws new root key material. A material byte equal to the two masks' XOR gives a code unit
// of 0, which ends the password early: at the first position the root key would come from the
// built-in constants alone. Such draws are refused (each has a 16/256 chance), so new material
// always feeds all 16 bytes into the root key; existing files are read as they are.
uint32_t material_without_zero_units(unsigned char *material) noexcept {
    unsigned char mask1[kConstantBuffer] = {};
    unsigned char mask2[kConstantBuffer] = {};
    uint32_t len1 = kConstantBuffer;
    uint32_t len2 = kConstantBuffer;
    if (edge_cipher_from_hex(kRootKeyMask1, kConstantHexLen, mask1, &len1) != EDGE_OK ||
        edge_cipher_from_hex(kRootKeyMask2, kConstantHexLen, mask2, &len2) != EDGE_OK) {
        return EDGE_ERR_HEX_DECODE;
    }
    uint32_t rc = EDGE_ERR_MISSING;
    for (int attempt = 0; attempt < 64; ++attempt) {
        rc = edge_cipher_generate_randoms(material, kMaterialLen);
        if (rc != EDGE_OK) break;
        bool zero_unit = false;
        for (uint32_t i = 0; i < kMaterialLen; ++i) zero_unit = zero_unit || (mask1[i] ^ mask2[i] ^ material[i]) == 0;
        if (!zero_unit) break;
        rc = EDGE_ERR_MISSING;
    }
    OPENSSL_cleanse(mask1, sizeof mask1);
    OPENSSL_cleanse(mask2, sizeof mask2);
    return rc;
}
}  // namespace

EDGE_API uint32_t edge_cipher_material_load(void) {
    edge_cipher_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    ScopedPool scratch(mgr->head.pool);
    if (!scratch) return EDGE_ERR_MISSING;
    auto *material = static_cast<unsigned char *>(apr_pcalloc(scratch.get(), kMaterialLen + 1));
    if (material == nullptr) return EDGE_ERR_NO_MEMORY;
    Wipe wipe_material(material, kMaterialLen + 1);

    const char *dir = config_dir(scratch.get());
    if (dir == nullptr) return EDGE_ERR_MISSING;
    const char *secret = apr_pstrcat(scratch.get(), dir, kSecretDir, nullptr);
    mgr->material_file = apr_pstrcat(mgr->head.pool, secret, kMaterialName, nullptr);
    mgr->primary_keystore_file = apr_pstrcat(mgr->head.pool, secret, kPrimaryName, nullptr);
    mgr->domain_keystore_file = apr_pstrcat(mgr->head.pool, secret, kDomainName, nullptr);
    if (secret == nullptr || mgr->material_file == nullptr || mgr->primary_keystore_file == nullptr ||
        mgr->domain_keystore_file == nullptr) {
        return EDGE_ERR_NO_MEMORY;
    }

    if (edge_base_file_exist(mgr->material_file, scratch.get())) {
        // Read one byte more than the material holds, to tell a file of the wrong size.
        uint32_t got = kMaterialLen + 1;
        uint32_t rc = edge_base_file_read(mgr->material_file, material, &got, scratch.get());
        if (rc == EDGE_OK && got != kMaterialLen) rc = EDGE_ERR_KEYSTORE_READ;
        if (rc != EDGE_OK) {
            EDGE_LOG_INFO("read rootkey file error, ret:%d", static_cast<int>(rc));
            return rc;
        }
    } else {
        EDGE_LOG_INFO("rootkey not found, generate rootkey file.");
        if (!edge_base_directory_exist(secret, scratch.get())) (void)edge_base_directory_make(secret, scratch.get());
        uint32_t rc = material_without_zero_units(material);
        if (rc == EDGE_OK) {
            // Written whole or not at all: a crash must not leave a short material file.
            rc = static_cast<uint32_t>(
                gravel::file::replace_atomically(mgr->material_file, material, kMaterialLen).error);
        }
        if (rc != EDGE_OK) {
            EDGE_LOG_INFO("write rootkey file error, ret:%d", static_cast<int>(rc));
            return rc;
        }
    }

    const uint32_t rc = edge_cipher_load_rootkey(scratch.get(), mgr, material, kMaterialLen);
    if (rc != EDGE_OK) {
        EDGE_LOG_INFO("load rootkey error, ret:%d", static_cast<int>(rc));
        return rc;
    }
    if (edge_base_file_exist(mgr->primary_keystore_file, scratch.get())) {
        edge_cipher_load_keystore(mgr, scratch.get());
    } else {
        EDGE_LOG_INFO("keystore not found, generate keystore file.");
        // A work key that did not reach the disk must not protect anything: domain keys saved
        // under it could not be read after a restart.
        const uint32_t saved = edge_cipher_generate_keystore(scratch.get(), mgr);
        if (saved != EDGE_OK) return saved;
    }
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_load_rootkey(apr_pool_t *pool, edge_cipher_mgr_t *mgr, const unsigned char *material,
                                           uint32_t material_len) {
    if (pool == nullptr || mgr == nullptr || mgr->head.pool == nullptr || material == nullptr ||
        material_len != kMaterialLen) {
        return EDGE_ERR_MISSING;
    }
    auto *units = static_cast<unsigned char *>(apr_pcalloc(pool, kUnitsLen));
    auto *mask1 = static_cast<unsigned char *>(apr_pcalloc(pool, kConstantBuffer));
    auto *mask2 = static_cast<unsigned char *>(apr_pcalloc(pool, kConstantBuffer));
    auto *salt = static_cast<unsigned char *>(apr_pcalloc(pool, kConstantBuffer));
    auto *utf8 = static_cast<char *>(apr_pcalloc(pool, kUtf8Len));
    auto *root = static_cast<unsigned char *>(apr_pcalloc(mgr->head.pool, EDGE_CIPHER_KEY_LEN + 1));
    if (units == nullptr || mask1 == nullptr || mask2 == nullptr || salt == nullptr || utf8 == nullptr ||
        root == nullptr) {
        return EDGE_ERR_NO_MEMORY;
    }
    Wipe wipe_units(units, kUnitsLen);
    Wipe wipe_mask1(mask1, kConstantBuffer);
    Wipe wipe_mask2(mask2, kConstantBuffer);
    Wipe wipe_salt(salt, kConstantBuffer);
    Wipe wipe_utf8(utf8, kUtf8Len);

    uint32_t len1 = kConstantBuffer;
    uint32_t len2 = kConstantBuffer;
    uint32_t len3 = kConstantBuffer;
    if (edge_cipher_from_hex(kRootKeyMask1, kConstantHexLen, mask1, &len1) != EDGE_OK ||
        edge_cipher_from_hex(kRootKeyMask2, kConstantHexLen, mask2, &len2) != EDGE_OK ||
        edge_cipher_from_hex(kRootKeySalt, kConstantHexLen, salt, &len3) != EDGE_OK) {
        return EDGE_ERR_HEX_DECODE;
    }
    // Each unit is a 16-bit code unit in the machine's byte order whose high byte is zero.
    for (uint32_t i = 0; i < kMaterialLen; ++i) {
        const auto unit = static_cast<uint16_t>(mask1[i] ^ mask2[i] ^ material[i]);
        std::memcpy(units + 2 * i, &unit, sizeof unit);
    }
    uint32_t utf8_len = kUtf8Len - 1;
    uint32_t rc = edge_cipher_unicode_to_utf8_native(units, 2 * kMaterialLen, utf8, &utf8_len, pool);
    if (rc != EDGE_OK) {
        EDGE_LOG_ERROR("utf8 encode error, ret:%d", static_cast<int>(rc));
        return rc;
    }
    // Password and salt are taken as zero-terminated strings.
    rc = edge_cipher_pbkdf2_sha256(utf8, salt, kConstantBuffer, kRootKeyIterations, root, EDGE_CIPHER_KEY_LEN);
    if (rc != EDGE_OK) return rc;
    if (mgr->root_key != nullptr) OPENSSL_cleanse(mgr->root_key, EDGE_CIPHER_KEY_LEN + 1);
    mgr->root_key = root;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_generate_keystore(apr_pool_t *pool, edge_cipher_mgr_t *mgr) {
    if (pool == nullptr || mgr == nullptr || mgr->head.pool == nullptr || mgr->work_keys == nullptr) {
        return EDGE_ERR_MISSING;
    }
    auto *record = static_cast<edge_cipher_key_t *>(apr_pcalloc(mgr->head.pool, sizeof(edge_cipher_key_t)));
    auto *key = static_cast<unsigned char *>(apr_pcalloc(mgr->head.pool, EDGE_CIPHER_KEY_LEN + 1));
    char *name = apr_pstrdup(mgr->head.pool, kWorkKeyName);
    if (record == nullptr || key == nullptr || name == nullptr) return EDGE_ERR_NO_MEMORY;
    const uint32_t rc = edge_cipher_generate_randoms(key, EDGE_CIPHER_KEY_LEN);
    if (rc != EDGE_OK) return rc;
    record->key = key;
    record->len = EDGE_CIPHER_KEY_LEN;
    record->enduring = 1;
    ExclusiveKeys lock;
    apr_hash_set(mgr->work_keys, name, APR_HASH_KEY_STRING, record);
    const uint32_t saved = save_store(pool, mgr->work_keys, mgr->primary_keystore_file, mgr, 1);
    if (saved != EDGE_OK) {
        apr_hash_set(mgr->work_keys, name, APR_HASH_KEY_STRING, nullptr);
        OPENSSL_cleanse(key, EDGE_CIPHER_KEY_LEN + 1);
    }
    return saved;
}

EDGE_API void edge_cipher_load_keystore(edge_cipher_mgr_t *mgr, apr_pool_t *pool) {
    if (mgr == nullptr || mgr->head.pool == nullptr || pool == nullptr) return;
    ExclusiveKeys lock;
    (void)load_store(pool, mgr->work_keys, mgr->primary_keystore_file, mgr, 1);
    (void)load_store(pool, mgr->domain_keys, mgr->domain_keystore_file, mgr, 0);

    const auto *stored = static_cast<const edge_cipher_key_t *>(
        mgr->domain_keys == nullptr ? nullptr : apr_hash_get(mgr->domain_keys, kVerifyCodeName, APR_HASH_KEY_STRING));
    char *current = nullptr;
    if (apr_env_get(&current, kVerifyCodeEnv, pool) != APR_SUCCESS) current = nullptr;
    if (edge_cipher_verify_domain_key_check(stored, current) == 1) {
        EDGE_LOG_WARN("the auth file is invalid, delete old auth file.");
        (void)edge_base_file_remove(mgr->domain_keystore_file, pool);
        wipe_keys(mgr->domain_keys);
        apr_hash_clear(mgr->domain_keys);
    }
}

EDGE_API uint32_t edge_cipher_load_keystore_from_file_param_check(apr_pool_t *pool, apr_hash_t *map, const char *path,
                                                                  edge_cipher_mgr_t *mgr) {
    if (pool == nullptr || mgr == nullptr || mgr->head.pool == nullptr || map == nullptr) return EDGE_ERR_MISSING;
    if (!edge_base_file_exist(path, pool)) return EDGE_ERR_FILE_MISSING;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_load_keystore_from_file(apr_pool_t *pool, apr_hash_t *map, const char *path,
                                                      edge_cipher_mgr_t *mgr, uint32_t use_root_key) {
    ExclusiveKeys lock;
    return load_store(pool, map, path, mgr, use_root_key);
}

EDGE_API uint32_t edge_cipher_save_keystore_to_file(apr_pool_t *pool, apr_hash_t *map, const char *path,
                                                    edge_cipher_mgr_t *mgr, uint32_t use_root_key) {
    ExclusiveKeys lock;
    return save_store(pool, map, path, mgr, use_root_key);
}

EDGE_API const unsigned char *edge_cipher_choose_work_key(edge_cipher_mgr_t *mgr, uint32_t use_root_key) {
    SharedKeys lock;
    return choose_key(mgr, use_root_key);
}

EDGE_API int edge_cipher_verify_domain_key_check(const edge_cipher_key_t *record, const char *code) {
    if (record == nullptr || record->key == nullptr || record->len == 0 || record->key[0] == 0 || code == nullptr ||
        code[0] == '\0') {
        return 0;
    }
    for (uint32_t i = 0; i < record->len; ++i) {
        const auto stored = static_cast<char>(record->key[i]);
        if (stored != code[i]) return 1;
        if (stored == '\0') break;
    }
    return 0;
}

/* ---- Domain keys ------------------------------------------------------------------------ */

EDGE_API int edge_cipher_has_domain(const char *name) {
    return edge_cipher_get_domain(name) != nullptr ? 1 : 0;
}

EDGE_API const edge_cipher_key_t *edge_cipher_get_domain(const char *name) {
    if (name == nullptr || name[0] == '\0') return nullptr;
    const edge_cipher_mgr_t *mgr = manager();
    return mgr == nullptr ? nullptr : lookup_domain(mgr, name);
}

EDGE_API uint32_t edge_cipher_save_key(const char *name, const unsigned char *key, uint32_t len, uint32_t enduring) {
    if (name == nullptr || name[0] == '\0' || key == nullptr || len == 0) return EDGE_ERR_BAD_ARGUMENT;
    edge_cipher_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    const edge_cipher_key_t probe{const_cast<unsigned char *>(key), len, enduring};
    if (enduring != 0 && (!storable_name(name, std::strlen(name)) || !storable_key(&probe))) {
        EDGE_LOG_ERROR("domain key cannot be stored, domain_name:%s, lens:%d", name, static_cast<int>(len));
        return EDGE_ERR_BAD_ARGUMENT;
    }
    ScopedPool scratch(mgr->head.pool);
    if (enduring != 0 && !scratch) return EDGE_ERR_NO_MEMORY;

    ExclusiveKeys lock;
    if (apr_hash_get(mgr->domain_keys, name, APR_HASH_KEY_STRING) != nullptr) {
        EDGE_LOG_WARN("target domain key has saved, skip, domain_name:%s", name);
        return EDGE_OK;
    }
    EDGE_LOG_INFO("save key, domain_name:%s, enduring:%d", name, static_cast<int>(enduring));
    edge_cipher_key_t *record = new_record(mgr->head.pool, key, len, enduring);
    char *name_copy = apr_pstrdup(mgr->head.pool, name);
    if (record == nullptr || name_copy == nullptr) return EDGE_ERR_NO_MEMORY;
    apr_hash_set(mgr->domain_keys, name_copy, APR_HASH_KEY_STRING, record);
    if (enduring == 0) return EDGE_OK;
    const uint32_t saved = save_store(scratch.get(), mgr->domain_keys, mgr->domain_keystore_file, mgr, 0);
    // An enduring key that did not reach the key store is taken out again, so that the caller
    // can retry instead of being told later that the key "has saved".
    if (saved != EDGE_OK) forget(mgr->domain_keys, name_copy, APR_HASH_KEY_STRING);
    return saved;
}

EDGE_API uint32_t edge_cipher_save_auth_keys(apr_hash_t *table) {
    edge_cipher_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (table == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    ScopedPool scratch(mgr->head.pool);
    if (!scratch) return EDGE_ERR_NO_MEMORY;

    // All or nothing: an entry that could not be stored refuses the whole table.
    for (apr_hash_index_t *it = apr_hash_first(scratch.get(), table); it != nullptr; it = apr_hash_next(it)) {
        const void *name = nullptr;
        apr_ssize_t name_len = 0;
        void *value = nullptr;
        apr_hash_this(it, &name, &name_len, &value);
        const auto *record = static_cast<const edge_cipher_key_t *>(value);
        if (!storable_name(static_cast<const char *>(name), static_cast<size_t>(name_len)) || !storable_key(record)) {
            EDGE_LOG_ERROR("domain key cannot be stored, lens:%d",
                           record == nullptr ? 0 : static_cast<int>(record->len));
            return EDGE_ERR_BAD_ARGUMENT;
        }
    }

    ExclusiveKeys lock;
    apr_array_header_t *added = apr_array_make(scratch.get(), 4, sizeof(AddedName));
    if (added == nullptr) return EDGE_ERR_NO_MEMORY;
    auto forget_added = [&] {
        for (int i = 0; i < added->nelts; ++i) {
            const AddedName &a = APR_ARRAY_IDX(added, i, AddedName);
            forget(mgr->domain_keys, a.name, a.len);
        }
    };
    for (apr_hash_index_t *it = apr_hash_first(scratch.get(), table); it != nullptr; it = apr_hash_next(it)) {
        const void *name = nullptr;
        apr_ssize_t name_len = 0;
        void *value = nullptr;
        apr_hash_this(it, &name, &name_len, &value);
        const auto *given = static_cast<const edge_cipher_key_t *>(value);
        if (apr_hash_get(mgr->domain_keys, name, name_len) != nullptr) {
            EDGE_LOG_WARN("domain key has existed, skip, key_name:%s", static_cast<const char *>(name));
            continue;
        }
        edge_cipher_key_t *record = new_record(mgr->head.pool, given->key, given->len, 1);
        char *name_copy =
            apr_pstrmemdup(mgr->head.pool, static_cast<const char *>(name), static_cast<apr_size_t>(name_len));
        if (record == nullptr || name_copy == nullptr) {
            forget_added();
            return EDGE_ERR_NO_MEMORY;
        }
        apr_hash_set(mgr->domain_keys, name_copy, name_len, record);
        APR_ARRAY_PUSH(added, AddedName) = AddedName{name_copy, name_len};
    }
    const uint32_t saved = save_store(scratch.get(), mgr->domain_keys, mgr->domain_keystore_file, mgr, 0);
    // Keys that did not reach the key store are taken out again, all of them.
    if (saved != EDGE_OK) forget_added();
    return saved;
}

EDGE_API uint32_t edge_cipher_encrypt(const unsigned char *plain, uint32_t len, char *output, uint32_t *output_len,
                                      const char *domain, apr_pool_t *pool) {
    if (plain == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0 ||
        domain == nullptr || domain[0] == '\0' || pool == nullptr) {
        return EDGE_ERR_MISSING;
    }
    const unsigned char *key = nullptr;
    const uint32_t rc = aes_domain_key(domain, &key);
    return rc != EDGE_OK ? rc : edge_cipher_encrypt_encode(plain, len, output, output_len, key, pool);
}

EDGE_API uint32_t edge_cipher_decrypt(const char *text, uint32_t len, unsigned char *output, uint32_t *output_len,
                                      const char *domain, apr_pool_t *pool) {
    if (text == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0 ||
        domain == nullptr || domain[0] == '\0' || pool == nullptr) {
        return EDGE_ERR_MISSING;
    }
    const unsigned char *key = nullptr;
    const uint32_t rc = aes_domain_key(domain, &key);
    return rc != EDGE_OK ? rc : edge_cipher_decrypt_decode(text, len, output, output_len, key, pool);
}

EDGE_API uint32_t edge_cipher_digest(const unsigned char *message, uint32_t len, char *output, uint32_t *output_len,
                                     const char *domain) {
    if (message == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0 ||
        domain == nullptr || domain[0] == '\0') {
        EDGE_LOG_ERROR("digest input error, input:%p, ilens:%d, output:%p, domain_name:%s",
                       static_cast<const void *>(message), static_cast<int>(len), static_cast<void *>(output),
                       domain == nullptr ? "(null)" : domain);
        return EDGE_ERR_MISSING;
    }
    const edge_cipher_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    const edge_cipher_key_t *record = lookup_domain(mgr, domain);
    if (record == nullptr) {
        EDGE_LOG_ERROR("target domain not exist, domain:%s", domain);
        return EDGE_ERR_UNKNOWN_DOMAIN;
    }
    std::memset(output, 0, *output_len);
    unsigned char mac[EDGE_CIPHER_DIGEST_HEX_LEN];
    Wipe wipe_mac(mac, sizeof mac);
    uint32_t mac_len = sizeof mac;
    uint32_t rc = edge_cipher_digest_raw(message, len, mac, &mac_len, record->key, record->len);
    if (rc != EDGE_OK) {
        EDGE_LOG_ERROR("digest error, ret:%d", static_cast<int>(rc));
        return EDGE_ERR_HMAC;
    }
    rc = edge_cipher_to_hex(mac, mac_len, output, output_len);
    if (rc != EDGE_OK) {
        EDGE_LOG_ERROR("hex encode error, ret:%d", static_cast<int>(rc));
        return EDGE_ERR_HEX_ENCODE;
    }
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_env_decrypt(char *text, uint32_t len, unsigned char *output, uint32_t *output_len) {
    if (text == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0) {
        return EDGE_ERR_MISSING;
    }
    unsigned char key[256];
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
