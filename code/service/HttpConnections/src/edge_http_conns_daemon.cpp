// The local daemon client: the handle with or without the daemon token, the ten endpoint
// operations with their request builders, and the savers that keep the answers in the holders.
#include <cstring>

#include <gravel/edge_configs.h>

#include "edge_http_conns_internal.hpp"

using gravel::httpconns::body_for_log;
using gravel::httpconns::empty;
using gravel::httpconns::HandleGuard;
using gravel::httpconns::kHttpRequestError;
using gravel::httpconns::kStore;
using gravel::httpconns::succeeded;
using gravel::httpconns::update_holder;
using gravel::httpconns::wipe_on_release;

namespace {

// The loopback host of the HTTP client's daemon URL; the daemon's socket decides the peer.
constexpr const char kDaemonBase[] = "http://127.0.0.1";

// One daemon endpoint: its path (one %s for the module id, or none), whether the handle carries
// the daemon token, the status of a failed request, the ERROR texts of a failed build and a
// failed save (the latter followed by ", ret:<status>"), and whether its answers carry
// credentials, so that a failure line masks the body.
struct Endpoint {
    const char *path;
    bool auth;
    uint32_t failure;
    const char *build_message;
    const char *save_message;
    bool secret;
};

constexpr Endpoint kBind{"/v2/modules/%s/bind",
                         false,
                         EDGE_ERR_DAEMON_REQUEST,
                         "build daemon bind req failed.",
                         "save daemon token to domain key error",
                         true};
constexpr Endpoint kSign{"/v2/modules/%s/sign",
                         true,
                         EDGE_ERR_DAEMON_SIGN,
                         "build fresh daemon sign token url failed.",
                         "save daemon token to domain key error",
                         true};
constexpr Endpoint kVerify{"/v2/modules/%s/verify",
                           true,
                           EDGE_ERR_DAEMON_VERIFY,
                           "build daemon bind req failed.",
                           "save daemon token to domain key error",
                           true};
constexpr Endpoint kCloudToken{"/v2/modules/%s/cloud-token",    true,
                               EDGE_ERR_DAEMON_CLOUD_TOKEN,     "build fresh cloud token url failed.",
                               "save daemon cloud token error", true};
constexpr Endpoint kEncrypt{"/v2/modules/%s/encrypt",    true,
                            EDGE_ERR_DAEMON_REQUEST,     "build daemon encrypt req failed.",
                            "save encrypt result error", false};
constexpr Endpoint kDecrypt{"/v2/modules/%s/decrypt",    true,
                            EDGE_ERR_DAEMON_REQUEST,     "build daemon decrypt req failed.",
                            "save decrypt result error", true};
constexpr Endpoint kDigest{"/v2/modules/%s/digest",    true, EDGE_ERR_DAEMON_REQUEST, "build daemon digest req failed.",
                           "save digest result error", false};
constexpr Endpoint kDeviceSign{"/v2/device/sign",           true,
                               EDGE_ERR_DAEMON_DEVICE_SIGN, "build device sign url failed.",
                               "save device sign error",    true};
constexpr Endpoint kNodeCerts{"/v2/modules/%s/certs",  true, EDGE_ERR_DAEMON_CERTS, "build get node certs url failed.",
                              "save node certs error", true};
constexpr Endpoint kTrustCerts{"/v2/modules/%s/trust-certs",    true,
                               EDGE_ERR_DAEMON_TRUST_CERTS,     "build get module trust certs url failed.",
                               "save module trust certs error", false};

// The endpoint's URL in the pool; null when it names the module and "module_id" is absent.
char *daemon_url(apr_pool_t *pool, const Endpoint &endpoint) noexcept {
    if (std::strstr(endpoint.path, "%s") == nullptr) return apr_pstrcat(pool, kDaemonBase, endpoint.path, nullptr);
    const char *module_id = gravel::httpconns::config_string(pool, "module_id");
    if (module_id == nullptr) return nullptr;
    const char *slash = std::strstr(endpoint.path, "%s");
    return apr_pstrcat(pool, kDaemonBase, apr_pstrndup(pool, endpoint.path, static_cast<size_t>(slash - endpoint.path)),
                       module_id, slash + 2, nullptr);
}

// What one exchange sends: the URL and, for a POST, the body.
struct Request {
    char *url = nullptr;
    char *body = nullptr;
};

// The JSON text of a request record, wiped with the pool; 0 or the codec's status.
template <typename Record>
uint32_t to_body(const Record &record, edge_json_set_job_fn job, apr_pool_t *pool, Request &request) noexcept {
    const uint32_t rc = edge_json_struct_to_str(&record, &request.body, pool, job);
    if (rc == EDGE_OK) wipe_on_release(pool, request.body);
    return rc;
}

// A GET's request: the endpoint's URL, or EDGE_ERR_NO_MEMORY without one.
auto get_request(apr_pool_t *pool, const Endpoint &endpoint) noexcept {
    return [pool, &endpoint](Request &request) noexcept {
        request.url = daemon_url(pool, endpoint);
        return request.url == nullptr ? EDGE_ERR_NO_MEMORY : EDGE_OK;
    };
}

// The expiry of the answers that carry one; the others have nothing to log.
void log_expiry(const DaemonBindRspBody &rsp) noexcept {
    EDGE_LOG_INFO("rsp.expires_at:%lld", static_cast<long long>(rsp.expires_at));
}
template <typename Rsp>
void log_expiry(const Rsp &) noexcept {}

// The shape every daemon exchange has: a handle (with the daemon token where the endpoint
// wants it), the request prepared, sent, the answer parsed (the saver checks its fields),
// the handle deleted, the answer saved.
template <typename Rsp, typename Prepare, typename Save>
uint32_t exchange(apr_pool_t *pool, const Endpoint &endpoint, Prepare prepare, edge_json_get_job_fn get_job,
                  Save save) noexcept {
    if (pool == nullptr || gravel::mgr::live_manager<edge_http_conns_mgr_t>() == nullptr) return EDGE_ERR_MISSING;
    HandleGuard handle(edge_daemon_http_get_handler(pool, endpoint.auth ? 1 : 0));
    if (!handle) {
        EDGE_LOG_ERROR("create http handler error.");
        return EDGE_ERR_NO_MEMORY;
    }
    Request request;
    if (const uint32_t rc = prepare(request); rc != EDGE_OK) {
        EDGE_LOG_ERROR("%s", endpoint.build_message);
        return rc;
    }
    edge_http_response_t response{};
    const uint32_t rc = request.body != nullptr
                            ? edge_http_post(handle.get(), request.url, request.body,
                                             static_cast<int32_t>(std::strlen(request.body)), &response, pool)
                            : edge_http_get(handle.get(), request.url, &response, pool, 0);
    if (!succeeded(rc, response)) {
        EDGE_LOG_ERROR(kHttpRequestError, static_cast<int>(rc), static_cast<int>(response.status),
                       body_for_log(response, pool, endpoint.secret));
        return endpoint.failure;
    }
    if (endpoint.secret) wipe_on_release(pool, response.body);
    Rsp rsp{};
    if (response.body != nullptr) (void)edge_json_str_to_struct(&rsp, response.body, pool, get_job);
    handle.reset();
    log_expiry(rsp);
    const uint32_t saved = save(rsp);
    if (saved != EDGE_OK) EDGE_LOG_ERROR("%s, ret:%d", endpoint.save_message, static_cast<int>(saved));
    gravel::httpconns::wipe_strings(rsp);
    return saved;
}

template <typename Rsp>
auto save_with_pool(uint32_t (*saver)(const Rsp *, apr_pool_t *), apr_pool_t *pool) noexcept {
    return [saver, pool](const Rsp &rsp) noexcept { return saver(&rsp, pool); };
}
template <typename Rsp>
auto save_without_pool(uint32_t (*saver)(const Rsp *)) noexcept {
    return [saver](const Rsp &rsp) noexcept { return saver(&rsp); };
}

// The manager and the holder a saver writes, or null.
template <typename T>
T *holder_of(T *edge_http_conns_mgr_t::*member, edge_http_conns_mgr_t *&mgr) noexcept {
    mgr = gravel::mgr::live_manager<edge_http_conns_mgr_t>();
    return mgr == nullptr ? nullptr : mgr->*member;
}

// Checks, then the holder update.
template <typename T>
uint32_t save_checked(T *edge_http_conns_mgr_t::*member, const T *rsp, bool valid) noexcept {
    edge_http_conns_mgr_t *mgr = nullptr;
    T *holder = holder_of(member, mgr);
    if (rsp == nullptr || holder == nullptr || !valid) return EDGE_ERR_MISSING;
    return update_holder(holder, *rsp, *mgr);
}

// The crypto result: a copy of the text in a new result pool, the previous one destroyed.
uint32_t save_crypto_result(const char *text) noexcept {
    edge_http_conns_mgr_t *mgr = gravel::mgr::live_manager<edge_http_conns_mgr_t>();
    if (mgr == nullptr || empty(text)) return EDGE_ERR_MISSING;
    gravel::httpconns::wipe_text(mgr->crypto_result);
    mgr->crypto_result = nullptr;
    edge_base_memory_pool_destroy(&mgr->result_pool);
    mgr->result_pool = edge_base_memory_pool_create(mgr->head.pool);
    if (mgr->result_pool == nullptr) return EDGE_ERR_NO_MEMORY;
    mgr->crypto_result = apr_pstrdup(mgr->result_pool, text);
    return mgr->crypto_result == nullptr ? EDGE_ERR_NO_MEMORY : EDGE_OK;
}

// The crypto builders' common part: the URL, and the record's two values.
template <typename Req>
uint32_t build_crypto_req(const Endpoint &endpoint, char **url, Req *req, const char *value, const char *algorithm,
                          apr_pool_t *pool, const char *Req::*first) noexcept {
    if (url == nullptr || req == nullptr || value == nullptr || algorithm == nullptr || pool == nullptr) {
        return EDGE_ERR_MISSING;
    }
    *url = daemon_url(pool, endpoint);
    if (*url == nullptr) return EDGE_ERR_NO_MEMORY;
    req->*first = value;
    req->algorithm = algorithm;
    return EDGE_OK;
}

template <typename Req, typename Builder>
auto crypto_request(apr_pool_t *pool, Builder builder, const char *value, const char *algorithm,
                    edge_json_set_job_fn job) noexcept {
    return [=](Request &request) noexcept {
        Req req{};
        uint32_t rc = builder(&request.url, &req, value, algorithm, pool);
        if (rc == EDGE_OK) rc = to_body(req, job, pool, request);
        return rc;
    };
}

}  // namespace

extern "C" {

EDGE_API char *edge_daemon_http_conns_build_headers(apr_pool_t *pool) {
    if (pool == nullptr) return nullptr;
    uint32_t rc = EDGE_OK;
    const char *token =
        gravel::httpconns::decrypt_config(pool, "daemon_token", gravel::httpconns::kDaemonTokenBuffer, &rc);
    if (token == nullptr) {
        EDGE_LOG_INFO("new daemon token not get, ignore.");
        return nullptr;
    }
    char *line = apr_psprintf(pool, "Authorization:%s", token);
    if (line == nullptr) {
        EDGE_LOG_ERROR("generate header failed.");
        return nullptr;
    }
    wipe_on_release(pool, line);
    return line;
}

EDGE_API edge_http_handle_t *edge_daemon_http_get_handler(apr_pool_t *pool, uint32_t with_auth) {
    edge_http_handle_t *handle = edge_http_create(pool);
    if (handle == nullptr) {
        EDGE_LOG_ERROR("create http handler error.");
        return nullptr;
    }
    if (with_auth == 0) return handle;
    const char *line = edge_daemon_http_conns_build_headers(pool);
    if (empty(line)) {
        EDGE_LOG_ERROR("build daemon auth token header failed.");
        edge_http_delete(handle);
        return nullptr;
    }
    edge_http_add_header(handle, line);
    return handle;
}

// ---- Request builders ---------------------------------------------------------------------

EDGE_API uint32_t edge_daemon_http_conns_build_bind_req(char **url, DaemonBindReqBody *req, apr_pool_t *pool) {
    if (url == nullptr || req == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    *url = daemon_url(pool, kBind);
    if (*url == nullptr) return EDGE_ERR_NO_MEMORY;
    req->verify_code = gravel::httpconns::config_string(pool, "daemon_verify_code");
    wipe_on_release(pool, req->verify_code);
    EDGE_LOG_INFO("edge_daemon_http_conns_build_bind_req daemon verify code:%s.",
                  edge_base_log_fuzz_id(req->verify_code, pool));
    return EDGE_OK;
}

EDGE_API uint32_t edge_daemon_http_conns_build_verify_req(char **url, apr_pool_t *pool) {
    if (url == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    *url = daemon_url(pool, kVerify);
    return *url == nullptr ? EDGE_ERR_NO_MEMORY : EDGE_OK;
}

EDGE_API uint32_t edge_daemon_http_conns_build_encrypt_req(char **url, EncryptReqBody *req, const char *plaintext,
                                                           const char *algorithm, apr_pool_t *pool) {
    return build_crypto_req(kEncrypt, url, req, plaintext, algorithm, pool, &EncryptReqBody::plaintext);
}

EDGE_API uint32_t edge_daemon_http_conns_build_decrypt_req(char **url, DecryptReqBody *req, const char *ciphertext,
                                                           const char *algorithm, apr_pool_t *pool) {
    return build_crypto_req(kDecrypt, url, req, ciphertext, algorithm, pool, &DecryptReqBody::ciphertext);
}

EDGE_API uint32_t edge_daemon_http_conns_build_digest_req(char **url, DigestReqBody *req, const char *data,
                                                          const char *algorithm, apr_pool_t *pool) {
    return build_crypto_req(kDigest, url, req, data, algorithm, pool, &DigestReqBody::data);
}

// ---- Savers -------------------------------------------------------------------------------

EDGE_API uint32_t edge_daemon_http_conns_save_bind_rsp(const DaemonBindRspBody *rsp, apr_pool_t *) {
    // Every later request reads the token back into a buffer of kDaemonTokenBuffer bytes: a
    // longer one would replace the token that works with one that locks them all out.
    const bool valid = rsp != nullptr && !empty(rsp->token) &&
                       std::strlen(rsp->token) < gravel::httpconns::kDaemonTokenBuffer && rsp->expires_at > 0;
    if (const uint32_t rc = save_checked(&edge_http_conns_mgr_t::daemon_token, rsp, valid); rc != EDGE_OK) return rc;
    // A token that did not reach the store would not be used by the next request: say so.
    const uint32_t expiry = edge_configs_set_longlong(kStore, "daemon_token_expires_at", rsp->expires_at);
    const uint32_t token = edge_configs_set_str(kStore, "daemon_token", rsp->token, 1);
    return expiry != EDGE_OK ? expiry : token;
}

EDGE_API uint32_t edge_daemon_http_conns_save_verify_rsp(const VerifyRspBody *rsp, apr_pool_t *) {
    const bool valid = rsp != nullptr && !empty(rsp->module_id) && rsp->expires_at > 0;
    return save_checked(&edge_http_conns_mgr_t::verify_result, rsp, valid);
}

EDGE_API uint32_t edge_daemon_http_conns_save_cloud_token_rsp(const CloudTokenRspBody *rsp, apr_pool_t *) {
    const bool valid =
        rsp != nullptr && !empty(rsp->access_key) && rsp->expires_at != nullptr && !empty(rsp->secret_key);
    return save_checked(&edge_http_conns_mgr_t::cloud_token, rsp, valid);
}

EDGE_API uint32_t edge_daemon_http_conns_save_device_sign_rsp(const DeviceSignRspBody *rsp, apr_pool_t *) {
    const bool valid = rsp != nullptr && !empty(rsp->client_id) && !empty(rsp->password);
    return save_checked(&edge_http_conns_mgr_t::device_sign, rsp, valid);
}

EDGE_API uint32_t edge_daemon_http_conns_save_node_certs_rsp(const NodeCertsRspBody *rsp, apr_pool_t *) {
    const bool valid = rsp != nullptr && !empty(rsp->certificate) && rsp->expires_at > 0 && !empty(rsp->private_key);
    return save_checked(&edge_http_conns_mgr_t::node_certs, rsp, valid);
}

EDGE_API uint32_t edge_daemon_http_conns_save_module_trust_certs_rsp(const ModuleTrustCertsRspBody *rsp, apr_pool_t *) {
    const bool valid = rsp != nullptr && !empty(rsp->certificate) && rsp->expires_at > 0;
    return save_checked(&edge_http_conns_mgr_t::trust_certs, rsp, valid);
}

EDGE_API uint32_t edge_daemon_http_conns_save_encrypt_rsp(const EncryptRspBody *rsp) {
    return rsp == nullptr ? EDGE_ERR_MISSING : save_crypto_result(rsp->ciphertext);
}

EDGE_API uint32_t edge_daemon_http_conns_save_decrypt_rsp(const DecryptRspBody *rsp) {
    return rsp == nullptr ? EDGE_ERR_MISSING : save_crypto_result(rsp->plaintext);
}

EDGE_API uint32_t edge_daemon_http_conns_save_digest_rsp(const DigestRspBody *rsp) {
    return rsp == nullptr ? EDGE_ERR_MISSING : save_crypto_result(rsp->digest);
}

// ---- Endpoint operations ------------------------------------------------------------------

EDGE_API uint32_t edge_daemon_http_conns_bind(apr_pool_t *pool) {
    auto prepare = [pool](Request &request) noexcept {
        DaemonBindReqBody req{};
        uint32_t rc = edge_daemon_http_conns_build_bind_req(&request.url, &req, pool);
        if (rc == EDGE_OK) rc = to_body(req, edge_json_setDaemonBindReqBody_job, pool, request);
        return rc;
    };
    return exchange<DaemonBindRspBody>(pool, kBind, prepare, edge_json_getDaemonBindRspBody_job,
                                       save_with_pool(edge_daemon_http_conns_save_bind_rsp, pool));
}

EDGE_API uint32_t edge_daemon_http_conns_sign(apr_pool_t *pool) {
    EDGE_LOG_INFO("fresh daemon token sign.");
    return exchange<DaemonBindRspBody>(pool, kSign, get_request(pool, kSign), edge_json_getDaemonBindRspBody_job,
                                       save_with_pool(edge_daemon_http_conns_save_bind_rsp, pool));
}

EDGE_API uint32_t edge_daemon_http_conns_verify(apr_pool_t *pool, const char *token) {
    if (token == nullptr) return EDGE_ERR_MISSING;
    auto prepare = [pool, token](Request &request) noexcept {
        uint32_t rc = edge_daemon_http_conns_build_verify_req(&request.url, pool);
        if (rc != EDGE_OK) return rc;
        const VerifyReqBody req{nullptr, apr_pstrdup(pool, token)};
        wipe_on_release(pool, req.token);
        return to_body(req, edge_json_setVerifyReqBody_job, pool, request);
    };
    return exchange<VerifyRspBody>(pool, kVerify, prepare, edge_json_getVerifyRspBody_job,
                                   save_with_pool(edge_daemon_http_conns_save_verify_rsp, pool));
}

EDGE_API uint32_t edge_daemon_http_conns_cloud_token(apr_pool_t *pool) {
    return exchange<CloudTokenRspBody>(pool, kCloudToken, get_request(pool, kCloudToken),
                                       edge_json_getCloudTokenRspBody_job,
                                       save_with_pool(edge_daemon_http_conns_save_cloud_token_rsp, pool));
}

EDGE_API uint32_t edge_daemon_http_conns_encrypt(apr_pool_t *pool, const char *plaintext, const char *algorithm) {
    return exchange<EncryptRspBody>(
        pool, kEncrypt,
        crypto_request<EncryptReqBody>(pool, edge_daemon_http_conns_build_encrypt_req, plaintext, algorithm,
                                       edge_json_setEncryptReqBody_job),
        edge_json_getEncryptRspBody_job, save_without_pool(edge_daemon_http_conns_save_encrypt_rsp));
}

EDGE_API uint32_t edge_daemon_http_conns_decrypt(apr_pool_t *pool, const char *ciphertext, const char *algorithm) {
    return exchange<DecryptRspBody>(
        pool, kDecrypt,
        crypto_request<DecryptReqBody>(pool, edge_daemon_http_conns_build_decrypt_req, ciphertext, algorithm,
                                       edge_json_setDecryptReqBody_job),
        edge_json_getDecryptRspBody_job, save_without_pool(edge_daemon_http_conns_save_decrypt_rsp));
}

EDGE_API uint32_t edge_daemon_http_conns_digest(apr_pool_t *pool, const char *data, const char *algorithm) {
    return exchange<DigestRspBody>(pool, kDigest,
                                   crypto_request<DigestReqBody>(pool, edge_daemon_http_conns_build_digest_req, data,
                                                                 algorithm, edge_json_setDigestReqBody_job),
                                   edge_json_getDigestRspBody_job,
                                   save_without_pool(edge_daemon_http_conns_save_digest_rsp));
}

EDGE_API uint32_t edge_daemon_http_conns_device_sign(apr_pool_t *pool) {
    return exchange<DeviceSignRspBody>(pool, kDeviceSign, get_request(pool, kDeviceSign),
                                       edge_json_getDeviceSignRspBody_job,
                                       save_with_pool(edge_daemon_http_conns_save_device_sign_rsp, pool));
}

EDGE_API uint32_t edge_daemon_http_conns_node_certs(apr_pool_t *pool) {
    return exchange<NodeCertsRspBody>(pool, kNodeCerts, get_request(pool, kNodeCerts),
                                      edge_json_getNodeCertsRspBody_job,
                                      save_with_pool(edge_daemon_http_conns_save_node_certs_rsp, pool));
}

EDGE_API uint32_t edge_daemon_http_conns_trust_certs(apr_pool_t *pool) {
    return exchange<ModuleTrustCertsRspBody>(pool, kTrustCerts, get_request(pool, kTrustCerts),
                                             edge_json_getModuleTrustCertsRspBody_job,
                                             save_with_pool(edge_daemon_http_conns_save_module_trust_certs_rsp, pool));
}

}  // extern "C"
