// The hub: bind with the verify code, the cloud token, and the module's credentials (client
// id, password, Authorization line).
#include <apr_hash.h>

#include <cstring>

#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>

#include "edge_http_conns_hub.hpp"
#include "edge_http_conns_internal.hpp"

using gravel::httpconns::body_for_log;
using gravel::httpconns::empty;
using gravel::httpconns::HandleGuard;
using gravel::httpconns::kHttpRequestError;
using gravel::httpconns::succeeded;

namespace {

constexpr const char kBindPath[] = "/gatewell/api/v1/modules/bind";
constexpr const char kCloudTokenPath[] = "/gatewell/api/v1/credentials/agency";
constexpr const char kSecretDomain[] = "secret";
constexpr const char kCryptKeyDomain[] = "crypt_key";
constexpr size_t kTimeStampBuffer = 32;
// 64 hex digits of the HMAC and a terminator, whatever the client id's length.
constexpr size_t kPasswordBuffer = EDGE_CIPHER_DIGEST_HEX_LEN + 1;

edge_cipher_key_t *key_record(apr_pool_t *pool, const char *text) noexcept {
    auto *record = static_cast<edge_cipher_key_t *>(apr_pcalloc(pool, sizeof(edge_cipher_key_t)));
    if (record == nullptr) return nullptr;
    record->key = reinterpret_cast<unsigned char *>(const_cast<char *>(text));
    record->len = static_cast<uint32_t>(std::strlen(text));
    record->enduring = 1;
    return record;
}

}  // namespace

namespace gravel::httpconns {

const char *hub_url(apr_pool_t *pool, const char *path) noexcept {
    const char *ip = config_string(pool, "http_server_ip");
    if (ip == nullptr) return nullptr;
    return apr_psprintf(pool, "https://%s:%d%s", ip, static_cast<int>(edge_configs_get_int(kStore, "http_server_port")),
                        path);
}

}  // namespace gravel::httpconns

extern "C" {

EDGE_API uint32_t edge_http_conns_build_bind_req(edge_http_conns_mgr_t *mgr, char **url, BindReqBody *req,
                                                 apr_pool_t *pool) {
    if (mgr == nullptr || url == nullptr || req == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    const char *bind_url = gravel::httpconns::hub_url(pool, kBindPath);
    if (bind_url == nullptr) return EDGE_ERR_NO_MEMORY;
    *url = const_cast<char *>(bind_url);
    req->module_id = gravel::httpconns::config_string(pool, "module_id");
    uint32_t rc = EDGE_OK;
    req->verify_code =
        gravel::httpconns::decrypt_config(pool, "verify_code", gravel::httpconns::kVerifyCodeBuffer, &rc);
    if (rc != EDGE_OK) EDGE_LOG_ERROR("decrypt verify_code error, ret:%d", static_cast<int>(rc));
    return rc;
}

EDGE_API uint32_t edge_http_conns_save_bind_rsp(const BindRspBody *rsp, apr_pool_t *pool) {
    if (rsp == nullptr || pool == nullptr || empty(rsp->secret) || empty(rsp->crypt_key)) return EDGE_ERR_MISSING;
    apr_hash_t *table = apr_hash_make(pool);
    edge_cipher_key_t *secret = key_record(pool, rsp->secret);
    edge_cipher_key_t *crypt_key = key_record(pool, rsp->crypt_key);
    if (table == nullptr || secret == nullptr || crypt_key == nullptr) return EDGE_ERR_NO_MEMORY;
    apr_hash_set(table, kSecretDomain, APR_HASH_KEY_STRING, secret);
    apr_hash_set(table, kCryptKeyDomain, APR_HASH_KEY_STRING, crypt_key);
    return edge_cipher_save_auth_keys(table);
}

EDGE_API uint32_t edge_http_conns_bind(apr_pool_t *pool) {
    edge_http_conns_mgr_t *mgr = gravel::mgr::live_manager<edge_http_conns_mgr_t>();
    if (pool == nullptr || mgr == nullptr) return EDGE_ERR_MISSING;
    HandleGuard handle(edge_http_create(pool));
    if (!handle) {
        EDGE_LOG_ERROR("create http handler error.");
        return EDGE_ERR_NO_MEMORY;
    }
    char *url = nullptr;
    BindReqBody req{};
    if (const uint32_t rc = edge_http_conns_build_bind_req(mgr, &url, &req, pool); rc != EDGE_OK) {
        EDGE_LOG_ERROR("build bind req failed.");
        return rc;
    }
    char *body = nullptr;
    if (const uint32_t rc = edge_json_struct_to_str(&req, &body, pool, edge_json_setBindReqBody_job); rc != EDGE_OK) {
        EDGE_LOG_ERROR("build bind req failed.");
        return rc;
    }
    gravel::httpconns::wipe_on_release(pool, body);
    edge_http_response_t response{};
    const uint32_t rc =
        edge_http_post(handle.get(), url, body, static_cast<int32_t>(std::strlen(body)), &response, pool);
    if (!succeeded(rc, response)) {
        EDGE_LOG_ERROR(kHttpRequestError, static_cast<int>(rc), static_cast<int>(response.status),
                       body_for_log(response, pool, true));
        return EDGE_ERR_HUB_BIND;
    }
    gravel::httpconns::wipe_on_release(pool, response.body);
    BindRspBody rsp{};
    // The saver checks the fields; a body that does not parse leaves them empty.
    if (response.body != nullptr)
        (void)edge_json_str_to_struct(&rsp, response.body, pool, edge_json_getBindRspBody_job);
    handle.reset();
    gravel::httpconns::wipe_on_release(pool, rsp.secret);
    gravel::httpconns::wipe_on_release(pool, rsp.crypt_key);
    if (const uint32_t saved = edge_http_conns_save_bind_rsp(&rsp, pool); saved != EDGE_OK) {
        EDGE_LOG_ERROR("save secret to domain key error, ret:%d", static_cast<int>(saved));
        return saved;
    }
    return EDGE_OK;
}

EDGE_API uint32_t edge_http_conns_save_cloud_token(const char *text, apr_pool_t *pool) {
    edge_http_conns_mgr_t *mgr = gravel::mgr::live_manager<edge_http_conns_mgr_t>();
    if (empty(text) || pool == nullptr || mgr == nullptr || mgr->node_config == nullptr) return EDGE_ERR_MISSING;
    NodeConfigRsp &holder = *mgr->node_config;
    if (const uint32_t rc = gravel::httpconns::renew_holder(holder, *mgr); rc != EDGE_OK) return rc;
    NodeConfigRsp parsed{};
    if (const uint32_t rc = edge_json_str_to_struct(&parsed, text, pool, edge_json_getNodeConfigRsp_job);
        rc != EDGE_OK) {
        EDGE_LOG_ERROR("parse cloud token rsp failed, ret:%d", static_cast<int>(rc));
        gravel::httpconns::wipe_on_release(pool, parsed.access_key);
        gravel::httpconns::wipe_on_release(pool, parsed.secret_key);
        gravel::httpconns::clear_holder(holder);
        return rc;
    }
    gravel::httpconns::copy_fields(holder, parsed);
    gravel::httpconns::wipe_text(parsed.access_key);
    gravel::httpconns::wipe_text(parsed.secret_key);
    return EDGE_OK;
}

EDGE_API uint32_t edge_http_conns_refresh_cloud_token(apr_pool_t *pool) {
    if (pool == nullptr || gravel::mgr::live_manager<edge_http_conns_mgr_t>() == nullptr) return EDGE_ERR_MISSING;
    const char *url = gravel::httpconns::hub_url(pool, kCloudTokenPath);
    if (url == nullptr) {
        EDGE_LOG_ERROR("build get cloud token url failed.");
        return EDGE_ERR_NO_MEMORY;
    }
    const char *header = edge_http_conns_build_headers(pool);
    if (empty(header)) {
        EDGE_LOG_ERROR("build auth token failed.");
        return EDGE_ERR_NO_MEMORY;
    }
    HandleGuard handle(edge_http_create(pool));
    if (!handle) {
        EDGE_LOG_ERROR("create http handler error.");
        return EDGE_ERR_NO_MEMORY;
    }
    edge_http_add_header(handle.get(), header);
    edge_http_response_t response{};
    const uint32_t rc = edge_http_get(handle.get(), url, &response, pool, 0);
    if (!succeeded(rc, response)) {
        EDGE_LOG_ERROR(kHttpRequestError, static_cast<int>(rc), static_cast<int>(response.status),
                       body_for_log(response, pool, true));
        return EDGE_ERR_HUB_CLOUD_TOKEN;
    }
    gravel::httpconns::wipe_on_release(pool, response.body);
    const uint32_t saved = edge_http_conns_save_cloud_token(response.body, pool);
    handle.reset();
    if (saved != EDGE_OK) EDGE_LOG_ERROR("save cloud token failed, ret:%d", static_cast<int>(saved));
    return saved;
}

EDGE_API char *edge_http_conns_build_client_id(apr_pool_t *pool, const char *module_id) {
    if (pool == nullptr || empty(module_id)) return nullptr;
    char stamp[kTimeStampBuffer] = {};
    uint32_t length = sizeof stamp - 1;
    if (edge_base_time_strftime("%Y%m%d%H%M%S", stamp, &length) != EDGE_OK) return nullptr;
    return apr_psprintf(pool, "module_%s_1_%s", module_id, stamp);
}

EDGE_API char *edge_http_conns_build_password(apr_pool_t *pool, const char *client_id) {
    if (pool == nullptr || empty(client_id)) return nullptr;
    if (edge_configs_get_str(gravel::httpconns::kStore, "new_daemon_flag") != nullptr) {
        uint32_t rc = EDGE_OK;
        char *token =
            gravel::httpconns::decrypt_config(pool, "daemon_token", gravel::httpconns::kDaemonTokenBuffer, &rc);
        if (token == nullptr) EDGE_LOG_INFO("new daemon token not get, ignore.");
        return token;
    }
    auto *password = static_cast<char *>(apr_pcalloc(pool, kPasswordBuffer));
    if (password == nullptr) return nullptr;
    gravel::httpconns::wipe_on_release(pool, password);
    uint32_t length = kPasswordBuffer;
    const uint32_t rc =
        edge_cipher_digest(reinterpret_cast<const unsigned char *>(client_id),
                           static_cast<uint32_t>(std::strlen(client_id)), password, &length, kSecretDomain);
    if (rc != EDGE_OK) {
        EDGE_LOG_ERROR("build password failed, digest failed, ret:%d", static_cast<int>(rc));
        return nullptr;
    }
    return password;
}

EDGE_API char *edge_http_conns_build_headers(apr_pool_t *pool) {
    if (pool == nullptr) return nullptr;
    const char *module_id = gravel::httpconns::config_string(pool, "module_id");
    const char *client_id = edge_http_conns_build_client_id(pool, module_id);
    const char *password = edge_http_conns_build_password(pool, client_id);
    if (empty(module_id) || empty(client_id) || empty(password)) {
        EDGE_LOG_ERROR("module_id, client_id or password is empty.");
        return nullptr;
    }
    char *line = apr_psprintf(pool, "Authorization: %s;%s;%s", client_id, module_id, password);
    if (line == nullptr) {
        EDGE_LOG_ERROR("generate header failed.");
        return nullptr;
    }
    gravel::httpconns::wipe_on_release(pool, line);
    return line;
}

}  // extern "C"
