// The local daemon over its unix socket: every endpoint's request and holder, the token and
// module id each needs, the savers' checks, and the crypto result.
#include <functional>

#include "service_fixture.hpp"

using namespace httpconns_test;

namespace {

using Members = std::vector<std::pair<std::string, std::string>>;

constexpr const char kToken[] = "daemon-token-0001";

struct Endpoint {
    const char *name;
    std::function<uint32_t(apr_pool_t *)> call;
    const char *method;
    std::string path;
    bool auth;
    Members request;  // members of the body sent; none for a GET
    std::string answer;
    std::function<void(const edge_http_conns_mgr_t &)> holds;
    uint32_t failure;
    bool masked;  // a failure line shows the body masked
};

std::string s(const char *text) {
    return text == nullptr ? "(null)" : text;
}

std::string module_path(const char *what) {
    return std::string("/v2/modules/") + kModuleId + "/" + what;
}

std::vector<Endpoint> endpoints() {
    return {
        {"bind",
         edge_daemon_http_conns_bind,
         "POST",
         module_path("bind"),
         false,
         {{"verify_code", kDaemonVerifyCode}},
         R"({"token":"tok-b","expires_at":4102444800000})",
         [](const edge_http_conns_mgr_t &m) {
             EXPECT_EQ(s(m.daemon_token->token), "tok-b");
             EXPECT_EQ(m.daemon_token->expires_at, 4102444800000);
         },
         EDGE_ERR_DAEMON_REQUEST,
         true},
        {"sign",
         edge_daemon_http_conns_sign,
         "GET",
         module_path("sign"),
         true,
         {},
         R"({"token":"tok-s","expires_at":4102444800001})",
         [](const edge_http_conns_mgr_t &m) {
             EXPECT_EQ(s(m.daemon_token->token), "tok-s");
             EXPECT_EQ(m.daemon_token->expires_at, 4102444800001);
         },
         EDGE_ERR_DAEMON_SIGN,
         true},
        {"verify",
         [](apr_pool_t *p) { return edge_daemon_http_conns_verify(p, "tok-asked"); },
         "POST",
         module_path("verify"),
         true,
         {{"token", "tok-asked"}},
         R"({"module_id":"m-v","expires_at":7})",
         [](const edge_http_conns_mgr_t &m) {
             EXPECT_EQ(s(m.verify_result->module_id), "m-v");
             EXPECT_EQ(m.verify_result->expires_at, 7);
         },
         EDGE_ERR_DAEMON_VERIFY,
         true},
        {"cloud token",
         edge_daemon_http_conns_cloud_token,
         "GET",
         module_path("cloud-token"),
         true,
         {},
         R"({"access_key":"ak","secret_key":"sk","auth_token":"at","region":"rg","expires_at":"e1","token":"tk",)"
         R"("kelp_address":"ka","dock_api_address":"da"})",
         [](const edge_http_conns_mgr_t &m) {
             const CloudTokenRspBody &c = *m.cloud_token;
             const std::vector<std::string> got = {s(c.access_key),   s(c.secret_key),      s(c.auth_token),
                                                   s(c.region),       s(c.expires_at),      s(c.token),
                                                   s(c.kelp_address), s(c.dock_api_address)};
             EXPECT_EQ(got, (std::vector<std::string>{"ak", "sk", "at", "rg", "e1", "tk", "ka", "da"}));
         },
         EDGE_ERR_DAEMON_CLOUD_TOKEN,
         true},
        {"encrypt",
         [](apr_pool_t *p) { return edge_daemon_http_conns_encrypt(p, "plain", "SM4"); },
         "POST",
         module_path("encrypt"),
         true,
         {{"plaintext", "plain"}, {"algorithm", "SM4"}},
         R"({"ciphertext":"c-text"})",
         [](const edge_http_conns_mgr_t &m) { EXPECT_EQ(s(m.crypto_result), "c-text"); },
         EDGE_ERR_DAEMON_REQUEST,
         false},
        {"decrypt",
         [](apr_pool_t *p) { return edge_daemon_http_conns_decrypt(p, "c-text", "SM4"); },
         "POST",
         module_path("decrypt"),
         true,
         {{"ciphertext", "c-text"}, {"algorithm", "SM4"}},
         R"({"plaintext":"p-text"})",
         [](const edge_http_conns_mgr_t &m) { EXPECT_EQ(s(m.crypto_result), "p-text"); },
         EDGE_ERR_DAEMON_REQUEST,
         true},
        {"digest",
         [](apr_pool_t *p) { return edge_daemon_http_conns_digest(p, "", "SM3"); },
         "POST",
         module_path("digest"),
         true,
         {{"data", ""}, {"algorithm", "SM3"}},
         R"({"digest":"d-text"})",
         [](const edge_http_conns_mgr_t &m) { EXPECT_EQ(s(m.crypto_result), "d-text"); },
         EDGE_ERR_DAEMON_REQUEST,
         false},
        {"device sign",
         edge_daemon_http_conns_device_sign,
         "GET",
         "/v2/device/sign",
         true,
         {},
         R"({"client_id":"dev-c","password":"dev-p"})",
         [](const edge_http_conns_mgr_t &m) {
             EXPECT_EQ(s(m.device_sign->client_id), "dev-c");
             EXPECT_EQ(s(m.device_sign->password), "dev-p");
         },
         EDGE_ERR_DAEMON_DEVICE_SIGN,
         true},
        {"node certs",
         edge_daemon_http_conns_node_certs,
         "GET",
         module_path("certs"),
         true,
         {},
         R"({"certificate":"cert-n","expires_at":9,"private_key":"key-n"})",
         [](const edge_http_conns_mgr_t &m) {
             EXPECT_EQ(s(m.node_certs->certificate), "cert-n");
             EXPECT_EQ(m.node_certs->expires_at, 9);
             EXPECT_EQ(s(m.node_certs->private_key), "key-n");
             EXPECT_NE(m.node_certs->pool, nullptr);
         },
         EDGE_ERR_DAEMON_CERTS,
         true},
        {"trust certs",
         edge_daemon_http_conns_trust_certs,
         "GET",
         module_path("trust-certs"),
         true,
         {},
         R"({"certificate":"cert-t","expires_at":11})",
         [](const edge_http_conns_mgr_t &m) {
             EXPECT_EQ(s(m.trust_certs->certificate), "cert-t");
             EXPECT_EQ(m.trust_certs->expires_at, 11);
         },
         EDGE_ERR_DAEMON_TRUST_CERTS,
         false},
    };
}

template <typename T>
bool all_zero(const T *holder) {
    return edge_json_check_all_zero(holder, sizeof(T)) != 0;
}

}  // namespace

TEST_F(DaemonTest, EveryEndpointSendsItsRequestAndFillsItsHolder) {
    for (const Endpoint &e : endpoints()) {
        SCOPED_TRACE(e.name);
        store_daemon_token(kToken);
        peer().forget_requests();
        peer().script(e.method, e.path, answer(200, e.answer));
        ASSERT_EQ(e.call(pool_), EDGE_OK);
        const auto seen = peer().requests();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].method, e.method);
        EXPECT_EQ(seen[0].path, e.path);
        EXPECT_EQ(seen[0].header("Authorization"), e.auth ? std::optional<std::string>(kToken) : std::nullopt);
        EXPECT_EQ(seen[0].header("Host"), "127.0.0.1");
        if (e.request.empty()) {
            EXPECT_EQ(seen[0].body, "");
        } else {
            EXPECT_EQ(members(seen[0].body), std::optional<Members>(e.request));
        }
        e.holds(*mgr());

        // Any status but 200 is the endpoint's failure, with the body in the line.
        peer().script(e.method, e.path, answer(403, e.answer));
        EXPECT_EQ(e.call(pool_), e.failure);
        const std::string shown = e.masked ? edge_base_log_fuzz_id(e.answer.c_str(), pool_) : e.answer;
        EXPECT_TRUE(logged("ERROR http request error, ret:0, status:403, body:" + shown));
        e.holds(*mgr());  // a failed request leaves the holder as it was
    }
    for (const char *secret : {"tok-b", "tok-s", "\"sk\"", "key-n", "dev-p", "p-text", kToken}) {
        EXPECT_FALSE(log_holds(secret)) << secret;
    }
}

// Bind and sign also keep the token and its expiry in the store, the token encrypted.
TEST_F(DaemonTest, BindAndSignKeepTheTokenInTheStoreEncrypted) {
    peer().simulate_daemon(kDaemonVerifyCode, 3600000);
    ASSERT_EQ(edge_daemon_http_conns_bind(pool_), EDGE_OK);
    const std::string bound = s(mgr()->daemon_token->token);
    EXPECT_EQ(decrypted("daemon_token"), bound);
    EXPECT_NE(s(edge_configs_get_str(0, "daemon_token")), bound);
    EXPECT_EQ(edge_configs_get_longlong(0, "daemon_token_expires_at"), mgr()->daemon_token->expires_at);
    EXPECT_TRUE(logged("INFO rsp.expires_at:" + std::to_string(mgr()->daemon_token->expires_at)));
    // The daemon verify code is masked in the bind request's line.
    EXPECT_TRUE(logged(std::string("INFO edge_daemon_http_conns_build_bind_req daemon verify code:") +
                       edge_base_log_fuzz_id(kDaemonVerifyCode, pool_) + "."));
    EXPECT_FALSE(log_holds(kDaemonVerifyCode));

    ASSERT_EQ(edge_daemon_http_conns_sign(pool_), EDGE_OK);  // the daemon accepts only the bound token
    EXPECT_TRUE(logged("INFO fresh daemon token sign."));
    EXPECT_NE(s(mgr()->daemon_token->token), bound);
    EXPECT_EQ(decrypted("daemon_token"), s(mgr()->daemon_token->token));
    EXPECT_FALSE(log_holds(bound));
}

TEST_F(DaemonTest, WithoutADaemonTokenAuthenticatedRequestsSendNothing) {
    for (const Endpoint &e : endpoints()) {
        if (!e.auth) continue;
        SCOPED_TRACE(e.name);
        const size_t before = log_size();
        EXPECT_EQ(e.call(pool_), EDGE_ERR_NO_MEMORY);
        const auto lines = work_.log_lines();
        // The service's own lines, without the HTTP client's handle lines.
        std::vector<std::string> tail;
        for (size_t i = before; i < lines.size(); ++i) {
            if (lines[i].rfind("INFO http: ", 0) != 0) tail.push_back(lines[i]);
        }
        const std::vector<std::string> handle_path = {"INFO new daemon token not get, ignore.",
                                                      "ERROR build daemon auth token header failed.",
                                                      "ERROR create http handler error."};
        ASSERT_GE(tail.size(), handle_path.size());
        EXPECT_EQ(std::vector<std::string>(tail.end() - 3, tail.end()), handle_path);
    }
    EXPECT_TRUE(peer().requests().empty());
    EXPECT_EQ(edge_daemon_http_get_handler(pool_, 1), nullptr);

    // Bind needs no token.
    peer().simulate_daemon(kDaemonVerifyCode, 3600000);
    EXPECT_EQ(edge_daemon_http_conns_bind(pool_), EDGE_OK);
    EXPECT_NE(mgr()->daemon_token->token, nullptr);
}

TEST_F(DaemonTest, WithoutAModuleIdPerModuleRequestsSendNothing) {
    store_daemon_token(kToken);
    ASSERT_EQ(edge_configs_set_int(0, "module_id", 0), EDGE_OK);
    const std::pair<const char *, const char *> messages[] = {
        {"bind", "build daemon bind req failed."},
        {"sign", "build fresh daemon sign token url failed."},
        {"verify", "build daemon bind req failed."},
        {"cloud token", "build fresh cloud token url failed."},
        {"encrypt", "build daemon encrypt req failed."},
        {"decrypt", "build daemon decrypt req failed."},
        {"digest", "build daemon digest req failed."},
        {"node certs", "build get node certs url failed."},
        {"trust certs", "build get module trust certs url failed."},
    };
    const auto all = endpoints();
    for (const auto &[name, message] : messages) {
        SCOPED_TRACE(name);
        const auto e =
            std::find_if(all.begin(), all.end(), [&](const Endpoint &x) { return x.name == std::string(name); });
        ASSERT_NE(e, all.end());
        const size_t before = work_.count_logged(std::string("ERROR ") + message);
        EXPECT_EQ(e->call(pool_), EDGE_ERR_NO_MEMORY);
        EXPECT_EQ(work_.count_logged(std::string("ERROR ") + message), before + 1);
    }
    EXPECT_TRUE(peer().requests().empty());

    // Device sign names no module.
    peer().script("GET", "/v2/device/sign", answer(200, R"({"client_id":"c","password":"p"})"));
    EXPECT_EQ(edge_daemon_http_conns_device_sign(pool_), EDGE_OK);
    ASSERT_EQ(peer().requests().size(), 1u);
    EXPECT_EQ(peer().requests()[0].path, "/v2/device/sign");
}

// A record that fails the saver's checks leaves the holder as it was.
TEST_F(DaemonTest, AnswersThatFailTheSaversChecksLeaveTheHoldersAsTheyWere) {
    store_daemon_token(kToken);
    struct Case {
        const char *what;
        std::function<uint32_t(apr_pool_t *)> call;
        const char *method;
        std::string path;
        std::string good;
        std::string bad;
        const char *save_message;
        std::function<const void *(const edge_http_conns_mgr_t &)> pool_of;
    } cases[] = {
        // A request reads the token back from the store into 256 bytes: 255 characters and the
        // NUL. One character more would lock every later request out.
        {"sign, token too long to read back", edge_daemon_http_conns_sign, "GET", module_path("sign"),
         R"({"token":")" + std::string(255, 'y') + R"(","expires_at":5})",
         R"({"token":")" + std::string(256, 'x') + R"(","expires_at":5})",
         "save daemon token to domain key error, ret:20001", [](const auto &m) { return m.daemon_token->pool; }},
        {"sign, expires_at 0", edge_daemon_http_conns_sign, "GET", module_path("sign"),
         R"({"token":"t1","expires_at":5})", R"({"token":"t2","expires_at":0})",
         "save daemon token to domain key error, ret:20001", [](const auto &m) { return m.daemon_token->pool; }},
        {"sign, expires_at negative", edge_daemon_http_conns_sign, "GET", module_path("sign"),
         R"({"token":"t1","expires_at":5})", R"({"token":"t2","expires_at":-5})",
         "save daemon token to domain key error, ret:20001", [](const auto &m) { return m.daemon_token->pool; }},
        {"sign, empty token", edge_daemon_http_conns_sign, "GET", module_path("sign"),
         R"({"token":"t1","expires_at":5})", R"({"token":"","expires_at":5})",
         "save daemon token to domain key error, ret:20001", [](const auto &m) { return m.daemon_token->pool; }},
        {"cloud token without expires_at", edge_daemon_http_conns_cloud_token, "GET", module_path("cloud-token"),
         R"({"access_key":"a","secret_key":"s","auth_token":"t","region":"r","expires_at":"e","token":"k",)"
         R"("kelp_address":"x","dock_api_address":"y"})",
         R"({"access_key":"a2","secret_key":"s2","auth_token":"t2","region":"r2"})",
         "save daemon cloud token error, ret:20001", [](const auto &m) { return m.cloud_token->pool; }},
        {"verify, expires_at 0", [](apr_pool_t *p) { return edge_daemon_http_conns_verify(p, "x"); }, "POST",
         module_path("verify"), R"({"module_id":"m","expires_at":3})", R"({"module_id":"m","expires_at":0})",
         "save daemon token to domain key error, ret:20001", [](const auto &m) { return m.verify_result->pool; }},
        {"node certs without key", edge_daemon_http_conns_node_certs, "GET", module_path("certs"),
         R"({"certificate":"c","expires_at":3,"private_key":"k"})",
         R"({"certificate":"c","expires_at":3,"private_key":""})", "save node certs error, ret:20001",
         [](const auto &m) { return m.node_certs->pool; }},
        {"trust certs, expires_at 0", edge_daemon_http_conns_trust_certs, "GET", module_path("trust-certs"),
         R"({"certificate":"c","expires_at":3})", R"({"certificate":"c","expires_at":0})",
         "save module trust certs error, ret:20001", [](const auto &m) { return m.trust_certs->pool; }},
        {"device sign without password", edge_daemon_http_conns_device_sign, "GET", "/v2/device/sign",
         R"({"client_id":"c","password":"p"})", R"({"client_id":"c"})", "save device sign error, ret:20001",
         [](const auto &m) { return m.device_sign->pool; }},
        {"encrypt, empty", [](apr_pool_t *p) { return edge_daemon_http_conns_encrypt(p, "x", "a"); }, "POST",
         module_path("encrypt"), R"({"ciphertext":"c"})", R"({"ciphertext":""})",
         "save encrypt result error, ret:20001", [](const auto &m) { return m.result_pool; }},
        {"not json", edge_daemon_http_conns_trust_certs, "GET", module_path("trust-certs"),
         R"({"certificate":"c","expires_at":3})", "<html>", "save module trust certs error, ret:20001",
         [](const auto &m) { return m.trust_certs->pool; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        store_daemon_token(kToken);
        peer().script(c.method, c.path, answer(200, c.good));
        ASSERT_EQ(c.call(pool_), EDGE_OK);
        const void *kept = c.pool_of(*mgr());
        const std::string expiry = std::to_string(edge_configs_get_longlong(0, "daemon_token_expires_at"));
        peer().script(c.method, c.path, answer(200, c.bad));
        EXPECT_EQ(c.call(pool_), EDGE_ERR_MISSING);
        EXPECT_TRUE(logged(std::string("ERROR ") + c.save_message));
        EXPECT_EQ(c.pool_of(*mgr()), kept);
        EXPECT_EQ(std::to_string(edge_configs_get_longlong(0, "daemon_token_expires_at")), expiry);
    }
    EXPECT_EQ(s(mgr()->daemon_token->token), "t1");
    EXPECT_EQ(decrypted("daemon_token"), kToken);  // re-stored by the last case; the bad signs wrote nothing
    EXPECT_EQ(s(mgr()->cloud_token->access_key), "a");
}

// Encrypt, decrypt and digest share one result: each replaces the one before and destroys its pool.
TEST_F(DaemonTest, CryptoResultsReplaceEachOther) {
    peer().simulate_daemon(kDaemonVerifyCode, 3600000);
    ASSERT_EQ(edge_daemon_http_conns_bind(pool_), EDGE_OK);
    static int released = 0;
    released = 0;
    const auto watch = [](apr_pool_t *p) {
        apr_pool_cleanup_register(
            p, nullptr,
            [](void *) -> apr_status_t {
                ++released;
                return APR_SUCCESS;
            },
            apr_pool_cleanup_null);
    };
    ASSERT_EQ(edge_daemon_http_conns_encrypt(pool_, "hello", "hex"), EDGE_OK);
    EXPECT_EQ(s(mgr()->crypto_result), "68656c6c6f");
    watch(mgr()->result_pool);
    ASSERT_EQ(edge_daemon_http_conns_decrypt(pool_, "776f726c64", "hex"), EDGE_OK);
    EXPECT_EQ(s(mgr()->crypto_result), "world");
    EXPECT_EQ(released, 1);
    watch(mgr()->result_pool);
    ASSERT_EQ(edge_daemon_http_conns_digest(pool_, "abc", "sha256"), EDGE_OK);
    EXPECT_EQ(s(mgr()->crypto_result), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(released, 2);
    EXPECT_EQ(apr_pool_parent_get(mgr()->result_pool), mgr()->head.pool);
}

TEST_F(DaemonTest, MissingArgumentsAreRefused) {
    store_daemon_token(kToken);
    char *url = nullptr;
    EncryptReqBody enc{};
    DaemonBindReqBody bind{};
    const uint32_t statuses[] = {
        edge_daemon_http_conns_bind(nullptr),
        edge_daemon_http_conns_sign(nullptr),
        edge_daemon_http_conns_verify(pool_, nullptr),
        edge_daemon_http_conns_encrypt(pool_, nullptr, "a"),
        edge_daemon_http_conns_decrypt(pool_, "c", nullptr),
        edge_daemon_http_conns_build_bind_req(nullptr, &bind, pool_),
        edge_daemon_http_conns_build_bind_req(&url, nullptr, pool_),
        edge_daemon_http_conns_build_verify_req(&url, nullptr),
        edge_daemon_http_conns_build_encrypt_req(&url, &enc, "p", "a", nullptr),
        edge_daemon_http_conns_build_encrypt_req(&url, nullptr, "p", "a", pool_),
        edge_daemon_http_conns_save_bind_rsp(nullptr, pool_),
        edge_daemon_http_conns_save_digest_rsp(nullptr),
    };
    for (const uint32_t status : statuses) EXPECT_EQ(status, EDGE_ERR_MISSING);
    EXPECT_TRUE(peer().requests().empty());
    EXPECT_EQ(edge_daemon_http_conns_build_headers(nullptr), nullptr);
    EXPECT_STREQ(edge_daemon_http_conns_build_headers(pool_), (std::string("Authorization:") + kToken).c_str());
    // A token longer than its buffer leaves room for the terminator: it is refused, not cut.
    store_daemon_token(std::string(256, 't'));
    EXPECT_EQ(edge_daemon_http_conns_build_headers(pool_), nullptr);
    store_daemon_token(std::string(255, 't'));
    EXPECT_STREQ(edge_daemon_http_conns_build_headers(pool_), ("Authorization:" + std::string(255, 't')).c_str());
}
