// The key hierarchy and its files: the root key rebuilt from the material file and the built-in
// constants, the work key in the primary key store, the enduring domain keys in the domain key
// store, the lock of the two key maps, and the loading and saving of key store files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <apr_env.h>
#include <apr_strings.h>

#include <openssl/crypto.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_property.h>

#include "edge_atomic_file.hpp"
#include "edge_cipher_internal.hpp"
#include "edge_scoped_pool.hpp"

#if !defined(GRAVEL_ROOT_KEY_MASK1) || !defined(GRAVEL_ROOT_KEY_MASK2) || !defined(GRAVEL_ROOT_KEY_SALT)
#error "the root key constants must be set by the build"
#endif

namespace gravel::cipher {

pthread_rwlock_t &key_maps_lock() noexcept {
    static pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
    return lock;
}

namespace {

constexpr bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\f' || c == '\r' || c == '\n';
}

}  // namespace

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
    for (const HashEntry &entry : HashEntries(nullptr, map)) {
        const edge_cipher_key_t *record = entry.record();
        if (record != nullptr && record->key != nullptr) OPENSSL_cleanse(record->key, record->len);
    }
}

namespace {

constexpr char kWorkKeyName[] = "0";

// The key of a key store; the caller holds the key maps' lock.
const unsigned char *choose_key(const edge_cipher_mgr_t *mgr, uint32_t use_root_key) noexcept {
    if (mgr == nullptr) return nullptr;
    if (use_root_key != 0) return mgr->root_key;
    if (mgr->work_keys == nullptr) return nullptr;
    const auto *record =
        static_cast<const edge_cipher_key_t *>(apr_hash_get(mgr->work_keys, kWorkKeyName, APR_HASH_KEY_STRING));
    return record != nullptr && record->key != nullptr && record->len == EDGE_CIPHER_KEY_LEN ? record->key : nullptr;
}

}  // namespace

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
    for (const HashEntry &entry : HashEntries(pool, map)) {
        const edge_cipher_key_t *record = entry.record();
        if (record == nullptr || record->enduring == 0) continue;
        // A key of length 0 is not refused here: its encryption fails below, and the save says so.
        if (!storable_name(entry.name, static_cast<size_t>(entry.name_len)) ||
            (record->len != 0 && !storable_key(record))) {
            EDGE_LOG_ERROR("keystore entry cannot be stored, lens:%d", static_cast<int>(record->len));
            return EDGE_ERR_BAD_ARGUMENT;
        }
        ++enduring;
    }
    if (enduring > EDGE_PROPERTY_LINES_MAX) {
        EDGE_LOG_ERROR("too many keys for a keystore, count:%u", enduring);
        return EDGE_ERR_BAD_ARGUMENT;
    }
    for (const HashEntry &entry : HashEntries(pool, map)) {
        const edge_cipher_key_t *record = entry.record();
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
        apr_hash_set(table, entry.name, entry.name_len, text);
    }
    const uint32_t rc = edge_property_dump(path, table, pool);
    EDGE_LOG_INFO("save keystore to %s finished, ret:%d", path, static_cast<int>(rc));
    return rc;
}

}  // namespace gravel::cipher

namespace {

using gravel::ScopedPool;
using gravel::cipher::choose_key;
using gravel::cipher::ExclusiveKeys;
using gravel::cipher::HashEntries;
using gravel::cipher::HashEntry;
using gravel::cipher::kWorkKeyName;
using gravel::cipher::manager;
using gravel::cipher::save_store;
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
constexpr char kVerifyCodeName[] = "verify_code";
constexpr char kCfgDirEnv[] = "module_cfg_dir";
constexpr char kVerifyCodeEnv[] = "verify_code";

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
    for (const HashEntry &entry : HashEntries(pool, table)) {
        const auto *text = static_cast<const char *>(entry.value);
        uint32_t len = EDGE_CIPHER_STORED_KEY_MAX;
        rc = edge_cipher_decrypt_decode(text, static_cast<uint32_t>(std::strlen(text)), scratch, &len, key, pool);
        if (rc != EDGE_OK || len == 0) {
            // One bad entry costs only itself: the others still load.
            EDGE_LOG_ERROR("decrypt keystore failed, ret:%d, len:%d, use_root_key:%d", static_cast<int>(rc),
                           static_cast<int>(std::strlen(text)), static_cast<int>(use_root_key));
            skipped = true;
            continue;
        }
        EDGE_LOG_INFO("load domain key, name:%s, lens:%d, pointer:%p", entry.name, static_cast<int>(len),
                      static_cast<void *>(scratch));
        edge_cipher_key_t *record = gravel::cipher::new_record(mgr->head.pool, scratch, len, 1);
        char *name_copy = apr_pstrmemdup(mgr->head.pool, entry.name, static_cast<apr_size_t>(entry.name_len));
        OPENSSL_cleanse(scratch, EDGE_CIPHER_STORED_KEY_MAX);
        if (record == nullptr || name_copy == nullptr) return EDGE_ERR_NO_MEMORY;
        apr_hash_set(map, name_copy, entry.name_len, record);
    }
    return skipped ? EDGE_ERR_UNDECRYPTABLE : EDGE_OK;
}

// The configuration directory: "module_cfg_dir" when set and not empty, else the work dir.
const char *config_dir(apr_pool_t *pool) noexcept {
    char *value = nullptr;
    if (apr_env_get(&value, kCfgDirEnv, pool) == APR_SUCCESS && value != nullptr && value[0] != '\0') return value;
    return edge_base_get_workdir();
}

// Closes a descriptor on every path out of a scope.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() { reset(-1); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const noexcept { return fd_; }
    void reset(int fd) noexcept {
        if (fd_ >= 0) (void)::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Opens a directory itself: a symbolic link in its place is not followed but refused (ELOOP).
int open_directory(const char *path) noexcept {
    return ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Makes the key files' directory one that holds this process's secrets only: created when
// missing; refused when it is a symbolic link (wherever it points), not a directory, or another
// user's; tightened to owner-only when it is more open. The checks and the tightening work on
// the opened directory, so what is checked is what was opened, never a path swapped meanwhile.
uint32_t secure_secret_dir(const char *path, apr_pool_t *pool) noexcept {
    Descriptor dir(open_directory(path));
    if (dir.get() < 0 && errno == ENOENT) {
        (void)edge_base_directory_make(path, pool);
        dir.reset(open_directory(path));
    }
    if (dir.get() < 0) {
        const int err = errno;
        if (err == ELOOP || err == ENOTDIR) {
            EDGE_LOG_ERROR("secret dir is a link or not a directory, path:%s", path);
        } else {
            EDGE_LOG_ERROR("secret dir cannot be opened, ret:%d, path:%s", err, path);
        }
        return EDGE_ERR_FILE_WRITE;
    }
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0) {
        EDGE_LOG_ERROR("secret dir cannot be read, ret:%d, path:%s", errno, path);
        return EDGE_ERR_FILE_WRITE;
    }
    if (st.st_uid != ::geteuid()) {
        EDGE_LOG_ERROR("secret dir belongs to another user, uid:%d, path:%s", static_cast<int>(st.st_uid), path);
        return EDGE_ERR_FILE_WRITE;
    }
    if ((st.st_mode & 07777) != S_IRWXU && ::fchmod(dir.get(), S_IRWXU) != 0) {
        EDGE_LOG_ERROR("secret dir cannot be made owner-only, ret:%d, path:%s", errno, path);
        return EDGE_ERR_FILE_WRITE;
    }
    return EDGE_OK;
}

// The XOR of the two built-in masks: what every code unit of the root key's password holds
// besides its material byte.
uint32_t masks_xor(unsigned char (&xored)[kMaterialLen]) noexcept {
    unsigned char mask1[kConstantBuffer] = {};
    unsigned char mask2[kConstantBuffer] = {};
    Wipe wipe_mask1(mask1, sizeof mask1);
    Wipe wipe_mask2(mask2, sizeof mask2);
    uint32_t len1 = kConstantBuffer;
    uint32_t len2 = kConstantBuffer;
    if (edge_cipher_from_hex(kRootKeyMask1, kConstantHexLen, mask1, &len1) != EDGE_OK ||
        edge_cipher_from_hex(kRootKeyMask2, kConstantHexLen, mask2, &len2) != EDGE_OK) {
        return EDGE_ERR_HEX_DECODE;
    }
    for (uint32_t i = 0; i < kMaterialLen; ++i) xored[i] = mask1[i] ^ mask2[i];
    return EDGE_OK;
}

// Draws new root key material. A material byte equal to the two masks' XOR gives a code unit
// of 0, which ends the password early: at the first position the root key would come from the
// built-in constants alone. Such draws are refused (each has a 16/256 chance), so new material
// always feeds all 16 bytes into the root key; existing files are read as they are.
uint32_t material_without_zero_units(unsigned char *material) noexcept {
    unsigned char xored[kMaterialLen];
    Wipe wipe_xored(xored, sizeof xored);
    uint32_t rc = masks_xor(xored);
    if (rc != EDGE_OK) return rc;
    rc = EDGE_ERR_MISSING;
    for (int attempt = 0; attempt < 64; ++attempt) {
        rc = edge_cipher_generate_randoms(material, kMaterialLen);
        if (rc != EDGE_OK) break;
        bool zero_unit = false;
        for (uint32_t i = 0; i < kMaterialLen; ++i) zero_unit = zero_unit || (xored[i] ^ material[i]) == 0;
        if (!zero_unit) break;
        rc = EDGE_ERR_MISSING;
    }
    return rc;
}

}  // namespace

extern "C" {

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

    // Nothing is read from or written to the directory before it is known to be ours alone.
    const uint32_t dir_rc = secure_secret_dir(secret, scratch.get());
    if (dir_rc != EDGE_OK) return dir_rc;
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
    auto *salt = static_cast<unsigned char *>(apr_pcalloc(pool, kConstantBuffer));
    auto *utf8 = static_cast<char *>(apr_pcalloc(pool, kUtf8Len));
    auto *root = static_cast<unsigned char *>(apr_pcalloc(mgr->head.pool, EDGE_CIPHER_KEY_LEN + 1));
    if (units == nullptr || salt == nullptr || utf8 == nullptr || root == nullptr) return EDGE_ERR_NO_MEMORY;
    Wipe wipe_units(units, kUnitsLen);
    Wipe wipe_salt(salt, kConstantBuffer);
    Wipe wipe_utf8(utf8, kUtf8Len);

    unsigned char xored[kMaterialLen];
    Wipe wipe_xored(xored, sizeof xored);
    uint32_t salt_len = kConstantBuffer;
    if (masks_xor(xored) != EDGE_OK ||
        edge_cipher_from_hex(kRootKeySalt, kConstantHexLen, salt, &salt_len) != EDGE_OK) {
        return EDGE_ERR_HEX_DECODE;
    }
    // Each unit is a 16-bit code unit in the machine's byte order whose high byte is zero.
    for (uint32_t i = 0; i < kMaterialLen; ++i) {
        const auto unit = static_cast<uint16_t>(xored[i] ^ material[i]);
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
        gravel::cipher::wipe_keys(mgr->domain_keys);
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

}  // extern "C"
