// The configuration store: two tables of typed entries, each guarded by its own mutex, with
// strings optionally kept as cipher text under the domain key "configs".
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <apr_strings.h>

#include <openssl/crypto.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>

#include "edge_mgr_accessors.hpp"
#include "edge_scoped_pool.hpp"

EDGE_MGR_DEFINE_ACCESSORS(CONFIGS, EDGE_MGR_SLOT_CONFIGS, edge_configs_mgr_t, head);

namespace {

constexpr char kDomain[] = "configs";
constexpr uint32_t kDomainKeyLen = 16;

// The manager when the store is initialised, else null.
constexpr auto manager = gravel::mgr::live_manager<edge_configs_mgr_t>;

bool usable(uint32_t index, const char *key) noexcept {
    return index < EDGE_CONFIGS_TABLE_COUNT && key != nullptr && key[0] != '\0';
}

// Holds a table's mutex for a scope.
class TableLock {
public:
    TableLock(const edge_configs_mgr_t *mgr, uint32_t index) noexcept : mutex_(mgr->mutex[index]) {
        (void)apr_thread_mutex_lock(mutex_);
    }
    ~TableLock() { (void)apr_thread_mutex_unlock(mutex_); }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;

private:
    apr_thread_mutex_t *mutex_;
};

// Releases an entry with everything it owns. The entry lives in its own pool, so the pool is
// taken into a local first: nothing may be written to the entry once its pool is gone, not
// even the pool field (the memory may already belong to another thread's new entry).
void release(edge_configs_data_t *entry) noexcept {
    apr_pool_t *pool = entry->pool;
    edge_base_memory_pool_destroy(&pool);
}

edge_configs_data_t *find(const edge_configs_mgr_t *mgr, uint32_t index, const char *key) noexcept {
    return static_cast<edge_configs_data_t *>(apr_hash_get(mgr->table[index], key, APR_HASH_KEY_STRING));
}

// Reads a number entry of the given type under the table's lock; 0 for anything else.
template <typename T, typename Read>
T get_number(uint32_t index, const char *key, int32_t type, Read read) noexcept {
    if (!usable(index, key)) return 0;
    const edge_configs_mgr_t *mgr = manager();
    if (mgr == nullptr) return static_cast<T>(EDGE_ERR_MISSING);
    TableLock lock(mgr, index);
    const edge_configs_data_t *entry = find(mgr, index, key);
    return entry != nullptr && entry->type == type ? read(*entry) : 0;
}

// Allocates, fills and enters a number entry.
template <typename Fill>
uint32_t set_number(uint32_t index, const char *key, int32_t type, Fill fill) noexcept {
    if (!usable(index, key)) return EDGE_ERR_BAD_ARGUMENT;
    edge_configs_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    edge_configs_data_t *entry = edge_configs_struct_data_alloc(mgr, index);
    if (entry == nullptr) return EDGE_ERR_NO_MEMORY;
    entry->type = type;
    fill(*entry);
    const uint32_t rc = edge_configs_set_value(mgr, index, key, entry);
    if (rc != EDGE_OK) release(entry);
    return rc;
}

// Per-thread copies handed out by edge_configs_get_str, by table and key.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
using CopyMap = std::unordered_map<std::string, std::string, TextHash, std::equal_to<>>;
thread_local std::array<CopyMap, EDGE_CONFIGS_TABLE_COUNT> t_copies;

}  // namespace

extern "C" {

EDGE_API uint32_t edge_configs_init(void) {
    edge_configs_mgr_t *mgr = edge_CONFIGS_MGR_mgr_create();
    if (mgr == nullptr || mgr->head.pool == nullptr) return EDGE_ERR_MISSING;
    for (uint32_t i = 0; i < EDGE_CONFIGS_TABLE_COUNT; ++i) {
        mgr->table[i] = nullptr;
        mgr->mutex[i] = nullptr;
    }
    for (uint32_t i = 0; i < EDGE_CONFIGS_TABLE_COUNT; ++i) {
        apr_pool_t *pool = edge_base_memory_pool_create(mgr->head.pool);
        if (pool == nullptr) {
            edge_CONFIGS_MGR_mgr_delete();
            return EDGE_ERR_NO_MEMORY;
        }
        if (apr_thread_mutex_create(&mgr->mutex[i], APR_THREAD_MUTEX_DEFAULT, pool) != APR_SUCCESS) {
            edge_CONFIGS_MGR_mgr_delete();
            return EDGE_ERR_MUTEX;
        }
        mgr->table[i] = apr_hash_make(pool);
        if (mgr->table[i] == nullptr) {
            edge_CONFIGS_MGR_mgr_delete();
            return EDGE_ERR_NO_MEMORY;
        }
    }
    unsigned char key[kDomainKeyLen];
    uint32_t rc = edge_cipher_generate_randoms(key, sizeof key);
    // An existing "configs" key from an earlier init is kept: the cipher skips it with 0.
    if (rc == EDGE_OK) rc = edge_cipher_save_key(kDomain, key, sizeof key, 0);
    OPENSSL_cleanse(key, sizeof key);
    if (rc != EDGE_OK) {
        edge_CONFIGS_MGR_mgr_delete();
        return rc;
    }
    EDGE_LOG_INFO("edge configs init success.");
    return EDGE_OK;
}

EDGE_API void edge_configs_destroy(void) {
    edge_configs_mgr_t *mgr = manager();
    edge_CONFIGS_MGR_mgr_delete();
    if (mgr != nullptr) {
        for (uint32_t i = 0; i < EDGE_CONFIGS_TABLE_COUNT; ++i) {
            mgr->table[i] = nullptr;
            mgr->mutex[i] = nullptr;
        }
    }
}

EDGE_API edge_configs_data_t *edge_configs_struct_data_alloc(edge_configs_mgr_t *mgr, uint32_t index) {
    if (mgr == nullptr || mgr->head.pool == nullptr || index >= EDGE_CONFIGS_TABLE_COUNT ||
        mgr->table[index] == nullptr) {
        return nullptr;
    }
    apr_pool_t *pool = edge_base_memory_pool_create(apr_hash_pool_get(mgr->table[index]));
    if (pool == nullptr) return nullptr;
    auto *entry = static_cast<edge_configs_data_t *>(apr_pcalloc(pool, sizeof(edge_configs_data_t)));
    if (entry == nullptr) {
        edge_base_memory_pool_destroy(&pool);
        return nullptr;
    }
    entry->pool = pool;
    return entry;
}

EDGE_API uint32_t edge_configs_set_value(edge_configs_mgr_t *mgr, uint32_t index, const char *key,
                                         edge_configs_data_t *entry) {
    if (mgr == nullptr || !usable(index, key) || entry == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    if (mgr->head.pool == nullptr || mgr->table[index] == nullptr) return EDGE_ERR_MISSING;
    TableLock lock(mgr, index);
    edge_configs_data_t *old = find(mgr, index, key);
    if (old == entry) return EDGE_OK;
    if (old != nullptr) {
        // The table keeps its own copy of the key; only the value changes.
        apr_hash_set(mgr->table[index], key, APR_HASH_KEY_STRING, entry);
        release(old);
        return EDGE_OK;
    }
    char *own_key = apr_pstrdup(apr_hash_pool_get(mgr->table[index]), key);
    if (own_key == nullptr) return EDGE_ERR_NO_MEMORY;
    apr_hash_set(mgr->table[index], own_key, APR_HASH_KEY_STRING, entry);
    return EDGE_OK;
}

EDGE_API edge_configs_data_t *edge_configs_get_value(edge_configs_mgr_t *mgr, uint32_t index, const char *key) {
    if (mgr == nullptr || mgr->head.pool == nullptr || !usable(index, key) || mgr->table[index] == nullptr)
        return nullptr;
    TableLock lock(mgr, index);
    return find(mgr, index, key);
}

EDGE_API uint32_t edge_configs_set_int(uint32_t index, const char *key, int32_t value) {
    return set_number(index, key, EDGE_CONFIGS_TYPE_INT,
                      [value](edge_configs_data_t &e) { e.value.int_value = value; });
}

EDGE_API uint32_t edge_configs_set_long(uint32_t index, const char *key, long value) {
    return set_number(index, key, EDGE_CONFIGS_TYPE_LONG,
                      [value](edge_configs_data_t &e) { e.value.long_value = value; });
}

EDGE_API uint32_t edge_configs_set_longlong(uint32_t index, const char *key, long long value) {
    return set_number(index, key, EDGE_CONFIGS_TYPE_LONGLONG,
                      [value](edge_configs_data_t &e) { e.value.longlong_value = value; });
}

EDGE_API uint32_t edge_configs_set_str(uint32_t index, const char *key, const char *value, uint32_t encrypt) {
    if (!usable(index, key) || value == nullptr || value[0] == '\0') return EDGE_ERR_BAD_ARGUMENT;
    edge_configs_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    edge_configs_data_t *entry = edge_configs_struct_data_alloc(mgr, index);
    if (entry == nullptr) return EDGE_ERR_NO_MEMORY;
    entry->type = EDGE_CONFIGS_TYPE_STR;

    const size_t len = std::strlen(value);
    if (encrypt == 0) {
        entry->value.str_value = apr_pstrmemdup(entry->pool, value, len);
    } else {
        // Encrypted before the lock is taken; the table changes only when this succeeds.
        uint32_t text_len = len > UINT32_MAX ? 0 : edge_cipher_calc_encrypt_len(static_cast<uint32_t>(len));
        auto *text = text_len == 0 ? nullptr : static_cast<char *>(apr_pcalloc(entry->pool, text_len + 1));
        uint32_t rc = EDGE_ERR_NO_MEMORY;
        if (text != nullptr) {
            gravel::ScopedPool scratch(entry->pool);
            if (scratch) {
                rc = edge_cipher_encrypt(reinterpret_cast<const unsigned char *>(value), static_cast<uint32_t>(len),
                                         text, &text_len, kDomain, scratch.get());
            }
        }
        if (rc != EDGE_OK) {
            release(entry);
            return rc;
        }
        entry->value.str_value = text;
    }
    if (entry->value.str_value == nullptr) {
        release(entry);
        return EDGE_ERR_NO_MEMORY;
    }
    const uint32_t rc = edge_configs_set_value(mgr, index, key, entry);
    if (rc != EDGE_OK) release(entry);
    return rc;
}

EDGE_API int32_t edge_configs_get_int(uint32_t index, const char *key) {
    return get_number<int32_t>(index, key, EDGE_CONFIGS_TYPE_INT,
                               [](const edge_configs_data_t &e) { return e.value.int_value; });
}

EDGE_API long edge_configs_get_long(uint32_t index, const char *key) {
    return get_number<long>(index, key, EDGE_CONFIGS_TYPE_LONG,
                            [](const edge_configs_data_t &e) { return e.value.long_value; });
}

EDGE_API long long edge_configs_get_longlong(uint32_t index, const char *key) {
    return get_number<long long>(index, key, EDGE_CONFIGS_TYPE_LONGLONG,
                                 [](const edge_configs_data_t &e) { return e.value.longlong_value; });
}

EDGE_API const char *edge_configs_get_str(uint32_t index, const char *key) {
    if (!usable(index, key)) return nullptr;
    const edge_configs_mgr_t *mgr = manager();
    if (mgr == nullptr) return nullptr;
    try {
        CopyMap &copies = t_copies[index];
        TableLock lock(mgr, index);
        const edge_configs_data_t *entry = find(mgr, index, key);
        if (entry == nullptr || entry->type != EDGE_CONFIGS_TYPE_STR || entry->value.str_value == nullptr)
            return nullptr;
        auto it = copies.find(std::string_view(key));
        if (it == copies.end()) {
            it = copies.emplace(key, entry->value.str_value).first;
        } else if (it->second != entry->value.str_value) {
            it->second = entry->value.str_value;
        }
        return it->second.c_str();
    } catch (...) {
        return nullptr;  // no memory for the copy
    }
}

EDGE_API uint32_t edge_configs_get_str_decrypt(uint32_t index, const char *key, char *output, uint32_t *output_len) {
    if (!usable(index, key) || output == nullptr || output_len == nullptr || *output_len == 0)
        return EDGE_ERR_BAD_ARGUMENT;
    edge_configs_mgr_t *mgr = manager();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    // The cipher text is copied out under the lock; the entry may be replaced right after.
    gravel::ScopedPool scratch(apr_hash_pool_get(mgr->table[index]));
    if (!scratch) return EDGE_ERR_NO_MEMORY;
    const char *text = nullptr;
    {
        TableLock lock(mgr, index);
        const edge_configs_data_t *entry = find(mgr, index, key);
        if (entry == nullptr || entry->type != EDGE_CONFIGS_TYPE_STR || entry->value.str_value == nullptr) {
            return EDGE_ERR_BAD_ARGUMENT;
        }
        text = apr_pstrdup(scratch.get(), entry->value.str_value);
    }
    if (text == nullptr) return EDGE_ERR_NO_MEMORY;
    return edge_cipher_decrypt(text, static_cast<uint32_t>(std::strlen(text)),
                               reinterpret_cast<unsigned char *>(output), output_len, kDomain, scratch.get());
}

}  // extern "C"
