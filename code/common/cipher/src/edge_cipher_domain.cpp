// The cipher manager's life (init and destroy), and the public face of the library: named
// domain keys are entered and looked up, and data is encrypted, decrypted and digested under
// them.
#include <cstring>

#include <apr_strings.h>
#include <apr_tables.h>

#include <openssl/crypto.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>

#include "edge_cipher_internal.hpp"
#include "edge_mgr_accessors.hpp"
#include "edge_scoped_pool.hpp"

EDGE_MGR_DEFINE_ACCESSORS(CIPHER, EDGE_MGR_SLOT_CIPHER, edge_cipher_mgr_t, head);

namespace {

using gravel::ScopedPool;
using gravel::cipher::ExclusiveKeys;
using gravel::cipher::HashEntries;
using gravel::cipher::HashEntry;
using gravel::cipher::manager;
using gravel::cipher::new_record;
using gravel::cipher::save_store;
using gravel::cipher::SharedKeys;
using gravel::cipher::storable_key;
using gravel::cipher::storable_name;
using gravel::cipher::Wipe;

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

// The elements of an APR array of AddedName, typed (a cast through void *: APR allocates them
// for the element size, suitably aligned).
AddedName *added_names(const apr_array_header_t *array) noexcept {
    return static_cast<AddedName *>(static_cast<void *>(array->elts));
}

// Names of the enduring domain keys that are entered but not on disk: the write of the domain
// key store that should have taken them failed. The next write that succeeds takes them along
// (it writes every enduring key of the map), and a save of such a name writes the store again
// instead of skipping it as saved. In the manager's pool, under the key maps' lock; made at init,
// dropped at destroy.
apr_hash_t *g_not_on_disk = nullptr;

bool on_disk(const char *name, apr_ssize_t name_len) noexcept {
    return g_not_on_disk == nullptr || apr_hash_get(g_not_on_disk, name, name_len) == nullptr;
}

// Rewrites the domain key store from the map, after remembering the keys just entered (names in
// the manager's pool) as not on disk; once a write succeeds, every key is. The caller holds the
// key maps' lock alone.
uint32_t write_domain_store(edge_cipher_mgr_t *mgr, apr_pool_t *scratch, const AddedName *entered,
                            size_t count) noexcept {
    for (size_t i = 0; i < count && g_not_on_disk != nullptr; ++i) {
        apr_hash_set(g_not_on_disk, entered[i].name, entered[i].len, entered[i].name);
    }
    const uint32_t rc = save_store(scratch, mgr->domain_keys, mgr->domain_keystore_file, mgr, 0);
    if (rc == EDGE_OK && g_not_on_disk != nullptr) apr_hash_clear(g_not_on_disk);
    return rc;
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

/* ---- The manager ------------------------------------------------------------------------ */

EDGE_API uint32_t edge_cipher_init(void) {
    edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_create();
    if (mgr == nullptr || mgr->head.pool == nullptr) return EDGE_ERR_MISSING;
    mgr->material_file = nullptr;
    mgr->primary_keystore_file = nullptr;
    mgr->domain_keystore_file = nullptr;
    mgr->root_key = nullptr;
    mgr->work_keys = apr_hash_make(mgr->head.pool);
    mgr->domain_keys = apr_hash_make(mgr->head.pool);
    {
        ExclusiveKeys lock;
        g_not_on_disk = apr_hash_make(mgr->head.pool);
    }
    if (mgr->work_keys == nullptr || mgr->domain_keys == nullptr || g_not_on_disk == nullptr) return EDGE_ERR_MISSING;
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
        gravel::cipher::wipe_keys(mgr->work_keys);
        gravel::cipher::wipe_keys(mgr->domain_keys);
        if (mgr->root_key != nullptr) OPENSSL_cleanse(mgr->root_key, EDGE_CIPHER_KEY_LEN + 1);
        mgr->material_file = nullptr;
        mgr->primary_keystore_file = nullptr;
        mgr->domain_keystore_file = nullptr;
        mgr->root_key = nullptr;
        mgr->work_keys = nullptr;
        mgr->domain_keys = nullptr;
        g_not_on_disk = nullptr;
    }
    edge_CIPHER_MGR_mgr_delete();
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
        // The first key of a name stays. One that is not on disk yet is no "has saved": its
        // store is written again, and the caller learns how that went.
        if (on_disk(name, APR_HASH_KEY_STRING)) {
            EDGE_LOG_WARN("target domain key has saved, skip, domain_name:%s", name);
            return EDGE_OK;
        }
        EDGE_LOG_INFO("domain key not on disk yet, save again, domain_name:%s", name);
        if (!scratch) return EDGE_ERR_NO_MEMORY;
        return write_domain_store(mgr, scratch.get(), nullptr, 0);
    }
    EDGE_LOG_INFO("save key, domain_name:%s, enduring:%d", name, static_cast<int>(enduring));
    edge_cipher_key_t *record = new_record(mgr->head.pool, key, len, enduring);
    char *name_copy = apr_pstrdup(mgr->head.pool, name);
    if (record == nullptr || name_copy == nullptr) return EDGE_ERR_NO_MEMORY;
    apr_hash_set(mgr->domain_keys, name_copy, APR_HASH_KEY_STRING, record);
    if (enduring == 0) return EDGE_OK;
    // The key stays entered and usable even when the write fails.
    const AddedName entered{name_copy, APR_HASH_KEY_STRING};
    return write_domain_store(mgr, scratch.get(), &entered, 1);
}

EDGE_API uint32_t edge_cipher_save_auth_keys(apr_hash_t *table) {
    edge_cipher_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    if (table == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    ScopedPool scratch(mgr->head.pool);
    if (!scratch) return EDGE_ERR_NO_MEMORY;

    // All or nothing: an entry that could not be stored refuses the whole table.
    for (const HashEntry &entry : HashEntries(scratch.get(), table)) {
        const edge_cipher_key_t *record = entry.record();
        if (!storable_name(entry.name, static_cast<size_t>(entry.name_len)) || !storable_key(record)) {
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
            const AddedName &a = added_names(added)[i];
            forget(mgr->domain_keys, a.name, a.len);
        }
    };
    for (const HashEntry &entry : HashEntries(scratch.get(), table)) {
        const edge_cipher_key_t *given = entry.record();
        if (apr_hash_get(mgr->domain_keys, entry.name, entry.name_len) != nullptr) {
            // The first key of a name stays; one not on disk yet goes with this write.
            if (on_disk(entry.name, entry.name_len)) {
                EDGE_LOG_WARN("domain key has existed, skip, key_name:%s", entry.name);
            } else {
                EDGE_LOG_INFO("domain key not on disk yet, save again, key_name:%s", entry.name);
            }
            continue;
        }
        edge_cipher_key_t *record = new_record(mgr->head.pool, given->key, given->len, 1);
        char *name_copy = apr_pstrmemdup(mgr->head.pool, entry.name, static_cast<apr_size_t>(entry.name_len));
        if (record == nullptr || name_copy == nullptr) {
            forget_added();
            return EDGE_ERR_NO_MEMORY;
        }
        apr_hash_set(mgr->domain_keys, name_copy, entry.name_len, record);
        APR_ARRAY_PUSH(added, AddedName) = AddedName{name_copy, entry.name_len};
    }
    // The keys stay entered and usable even when the write fails.
    return write_domain_store(mgr, scratch.get(), added_names(added), static_cast<size_t>(added->nelts));
}

/* ---- Operations under a domain key ------------------------------------------------------ */

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

}  // extern "C"
