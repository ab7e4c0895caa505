// The credentials of a connect try: client id and password, built afresh for every try.
#include <algorithm>
#include <cstring>

#include <apr_strings.h>

#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>

#include "edge_mqtt_conns_internal.hpp"

namespace {

constexpr uint32_t kTimeStampCapacity = 32;
// A daemon token is decrypted into 256 bytes, one kept for the terminator.
constexpr uint32_t kDaemonTokenBuffer = 256;
// The digest writes 64 hex digits; the buffer always has room for them and a terminator,
// however short the client id.
constexpr size_t kDigestHexLength = 64;

}  // namespace

extern "C" {

EDGE_API char *edge_mqtt_conns_build_client_id(apr_pool_t *pool, const char *module_id) {
    if (pool == nullptr || gravel::mqttconns::empty(module_id)) return nullptr;
    char stamp[kTimeStampCapacity] = {};
    uint32_t length = sizeof stamp - 1;
    // A failed formatting leaves the stamp empty.
    if (edge_base_time_strftime("%Y%m%d%H%M%S", stamp, &length) != EDGE_OK) stamp[0] = '\0';
    return apr_psprintf(pool, "module_%s_1_%s", module_id, stamp);
}

EDGE_API char *edge_mqtt_conns_build_password(apr_pool_t *pool, const char *client_id, uint32_t new_daemon_flag) {
    if (pool == nullptr || gravel::mqttconns::empty(client_id)) return nullptr;
    if (new_daemon_flag != 0) {
        auto *token = static_cast<char *>(apr_pcalloc(pool, kDaemonTokenBuffer));
        if (token == nullptr) return nullptr;
        uint32_t length = kDaemonTokenBuffer - 1;
        if (edge_configs_get_str_decrypt(0, "daemon_token", token, &length) != EDGE_OK) {
            (void)edge_base_memory_set(token, kDaemonTokenBuffer, 0, kDaemonTokenBuffer);
            EDGE_LOG_INFO("new daemon token not get, ignore.");
            return nullptr;
        }
        return token;
    }
    const size_t id_length = std::strlen(client_id);
    const size_t capacity = std::max(id_length * 2 + 1, kDigestHexLength + 1);
    auto *password = static_cast<char *>(apr_pcalloc(pool, capacity));
    if (password == nullptr || capacity > UINT32_MAX || id_length > UINT32_MAX) return nullptr;
    uint32_t length = static_cast<uint32_t>(capacity);
    const uint32_t rc = edge_cipher_digest(reinterpret_cast<const unsigned char *>(client_id),
                                           static_cast<uint32_t>(id_length), password, &length, "secret");
    if (rc != EDGE_OK) {
        (void)edge_base_memory_set(password, capacity, 0, capacity);
        EDGE_LOG_ERROR("build password failed, digest failed, ret:%d", gravel::mqttconns::signed_status(rc));
        return nullptr;
    }
    return password;
}

}  // extern "C"
