// The hub over HTTPS: bind and its key store, the Authorization line with client id and
// password, the cloud token, TLS verification and a hub that stalls.
#include <chrono>
#include <regex>
#include <thread>

#include "service_fixture.hpp"

using namespace httpconns_test;

namespace {

constexpr const char kBindPath[] = "/gatewell/api/v1/modules/bind";
constexpr const char kAgencyPath[] = "/gatewell/api/v1/credentials/agency";
constexpr const char kSecret[] = "hub-secret-0123456789abcdef";
constexpr const char kCryptKey[] = "hub-crypt-key-fedcba9876543210";

std::string bind_answer(const std::string &secret, const std::string &crypt_key) {
    return R"({"secret":")" + secret + R"(","crypt_key":")" + crypt_key + R"("})";
}

struct HeaderParts {
    std::string client_id, module_id, password;
};
std::optional<HeaderParts> parse_header(const char *line) {
    if (line == nullptr) return std::nullopt;
    static const std::regex shape("Authorization: ([^;]*);([^;]*);([^;]*)");
    std::cmatch m;
    if (!std::regex_match(line, m, shape)) return std::nullopt;
    return HeaderParts{m[1], m[2], m[3]};
}

}  // namespace

TEST_F(HubTest, BindPutsBothKeysInTheDomainKeyStore) {
    peer().simulate_hub(kVerifyCode, kSecret, kCryptKey);
    ASSERT_EQ(edge_http_conns_bind(pool_), EDGE_OK);

    const auto seen = peer().requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].path, kBindPath);
    const auto body = members(seen[0].body);
    ASSERT_TRUE(body.has_value());
    const std::vector<std::pair<std::string, std::string>> expected = {{"module_id", kModuleId},
                                                                       {"verify_code", kVerifyCode}};
    EXPECT_EQ(*body, expected);

    restart_cipher();
    EXPECT_EQ(domain_key("secret"), kSecret);
    EXPECT_EQ(domain_key("crypt_key"), kCryptKey);
    EXPECT_EQ(edge_cipher_get_domain("secret")->enduring, 1u);
    for (const char *secret : {kVerifyCode, kSecret, kCryptKey}) EXPECT_FALSE(log_holds(secret)) << secret;
}

TEST_F(HubTest, ABindAnswerWithoutBothKeysStoresNothing) {
    const char *bodies[] = {
        R"({"crypt_key":"c-1234567890"})",
        R"({"secret":"","crypt_key":"c-1234567890"})",
        R"({"secret":"s-1234567890","crypt_key":""})",
        R"({"secret":"s-1234567890"})",
        "not json",
    };
    for (const char *body : bodies) {
        SCOPED_TRACE(body);
        peer().script(answer(200, body));
        EXPECT_EQ(edge_http_conns_bind(pool_), EDGE_ERR_MISSING);
        EXPECT_TRUE(logged("ERROR save secret to domain key error, ret:20001"));
    }
    restart_cipher();
    EXPECT_EQ(domain_key("secret"), "<none>");
    EXPECT_EQ(domain_key("crypt_key"), "<none>");
}

TEST_F(HubTest, ABindAnsweredWithAnyStatusBut200FailsWhateverTheBody) {
    struct Case {
        int status;
        ScriptedResponse::Drop drop;
        const char *logged_prefix;
    } cases[] = {
        {201, ScriptedResponse::Drop::none, "ERROR http request error, ret:0, status:201, body:"},
        {400, ScriptedResponse::Drop::none, "ERROR http request error, ret:0, status:400, body:"},
        {500, ScriptedResponse::Drop::none, "ERROR http request error, ret:0, status:500, body:"},
        {200, ScriptedResponse::Drop::before_response, "ERROR http request error, ret:52, status:0, body:(null)"},
    };
    const std::string body = bind_answer(kSecret, kCryptKey);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        ScriptedResponse r = answer(c.status, body);
        r.drop = c.drop;
        peer().script(r);
        EXPECT_EQ(edge_http_conns_bind(pool_), EDGE_ERR_HUB_BIND);
        const auto line = line_starting(work_, c.logged_prefix);
        ASSERT_TRUE(line.has_value());
        if (c.drop == ScriptedResponse::Drop::none) {
            // The body carries keys: logged masked, never in clear.
            EXPECT_EQ(*line, c.logged_prefix + std::string(edge_base_log_fuzz_id(body.c_str(), pool_)));
        }
    }
    EXPECT_FALSE(log_holds(kSecret));
    EXPECT_EQ(domain_key("secret"), "<none>");
}

TEST_F(HubTest, ASecondBindWithOtherKeysKeepsTheStoredOnes) {
    peer().script(answer(200, bind_answer(kSecret, kCryptKey)));
    ASSERT_EQ(edge_http_conns_bind(pool_), EDGE_OK);
    peer().script(answer(200, bind_answer("other-secret-000000000", "other-crypt-0000000000")));
    EXPECT_EQ(edge_http_conns_bind(pool_), EDGE_OK);  // the cipher's status
    EXPECT_TRUE(logged("WARN domain key has existed, skip, key_name:secret"));
    restart_cipher();
    EXPECT_EQ(domain_key("secret"), kSecret);
    EXPECT_EQ(domain_key("crypt_key"), kCryptKey);
}

TEST_F(HubTest, AVerifyCodeThatDoesNotDecryptStopsTheBindBeforeSending) {
    struct Case {
        const char *what;
        std::string value;
        bool encrypt;
        uint32_t status;
    } cases[] = {
        {"kept in clear", "plain-code", false, EDGE_ERR_HEX_DECODE},
        {"absent", "", false, EDGE_ERR_BAD_ARGUMENT},
        {"64 characters: no room for the terminator", std::string(64, 'v'), true, EDGE_ERR_OUT_OF_RANGE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.value.empty()) {
            ASSERT_EQ(edge_configs_set_int(0, "verify_code", 0), EDGE_OK);  // no string under the key
        } else {
            store("verify_code", c.value, c.encrypt);
        }
        char *url = nullptr;
        BindReqBody req{};
        const uint32_t built = edge_http_conns_build_bind_req(mgr(), &url, &req, pool_);
        EXPECT_EQ(built, c.status);
        EXPECT_EQ(edge_http_conns_bind(pool_), built);
        EXPECT_TRUE(logged("ERROR decrypt verify_code error, ret:" + std::to_string(built)));
        EXPECT_TRUE(logged("ERROR build bind req failed."));
    }
    EXPECT_TRUE(peer().requests().empty());

    // 63 characters fit, terminator included.
    store("verify_code", std::string(63, 'v'), true);
    char *url = nullptr;
    BindReqBody req{};
    ASSERT_EQ(edge_http_conns_build_bind_req(mgr(), &url, &req, pool_), EDGE_OK);
    EXPECT_EQ(std::string(req.verify_code), std::string(63, 'v'));
    EXPECT_EQ(std::string(url), peer().url(kBindPath));
}

TEST_F(HubTest, TheHeaderLineCarriesClientIdModuleIdAndPasswordInThatOrder) {
    enter_secret(kSecret);
    const auto parts = parse_header(edge_http_conns_build_headers(pool_));
    ASSERT_TRUE(parts.has_value());
    EXPECT_TRUE(std::regex_match(parts->client_id, std::regex(std::string("module_") + kModuleId + "_1_20[0-9]{12}")))
        << parts->client_id;
    EXPECT_EQ(parts->module_id, kModuleId);
    EXPECT_EQ(parts->password, openssl_hmac_hex(kSecret, parts->client_id));
}

TEST_F(HubTest, HeaderLinesOfOneSecondAgreeAndASecondApartDiffer) {
    enter_secret(kSecret);
    std::optional<HeaderParts> a, b;
    for (int tries = 0; tries < 5; ++tries) {
        a = parse_header(edge_http_conns_build_headers(pool_));
        b = parse_header(edge_http_conns_build_headers(pool_));
        ASSERT_TRUE(a && b);
        if (a->client_id == b->client_id) break;  // both within one second
    }
    ASSERT_EQ(a->client_id, b->client_id);
    EXPECT_EQ(a->password, b->password);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const auto c = parse_header(edge_http_conns_build_headers(pool_));
    ASSERT_TRUE(c.has_value());
    EXPECT_NE(c->client_id, a->client_id);
    EXPECT_NE(c->password, a->password);
}

// The password buffer has room for the 64 hex digits whatever the module id's length.
TEST_F(HubTest, EveryModuleIdLengthGivesAPassword) {
    enter_secret(kSecret);
    for (const std::string &module_id : std::vector<std::string>{"m", "abcdefg", "abcdefgh", std::string(100, 'x')}) {
        SCOPED_TRACE(module_id);
        store("module_id", module_id);
        const auto parts = parse_header(edge_http_conns_build_headers(pool_));
        ASSERT_TRUE(parts.has_value());
        EXPECT_EQ(parts->module_id, module_id);
        EXPECT_EQ(parts->password.size(), 64u);
        EXPECT_EQ(parts->password, openssl_hmac_hex(kSecret, parts->client_id));
    }
}

TEST_F(HubTest, MissingPartsGiveNoHeaderLine) {
    EXPECT_EQ(edge_http_conns_build_headers(pool_), nullptr);  // no "secret" yet
    EXPECT_TRUE(logged("ERROR build password failed, digest failed, ret:20020"));
    EXPECT_TRUE(logged("ERROR module_id, client_id or password is empty."));
    enter_secret(kSecret);
    ASSERT_EQ(edge_configs_set_int(0, "module_id", 1), EDGE_OK);
    EXPECT_EQ(edge_http_conns_build_headers(pool_), nullptr);
    EXPECT_EQ(edge_http_conns_build_headers(nullptr), nullptr);
    EXPECT_EQ(edge_http_conns_build_client_id(pool_, ""), nullptr);
    EXPECT_EQ(edge_http_conns_build_client_id(nullptr, "m"), nullptr);
    EXPECT_EQ(edge_http_conns_build_password(pool_, ""), nullptr);
    EXPECT_EQ(edge_http_conns_build_password(nullptr, "c"), nullptr);
}

TEST_F(HubTest, WithNewDaemonFlagThePasswordIsTheDaemonToken) {
    enter_secret(kSecret);
    store("new_daemon_flag", "1");
    EXPECT_EQ(edge_http_conns_build_headers(pool_), nullptr);
    EXPECT_TRUE(logged("INFO new daemon token not get, ignore."));
    EXPECT_EQ(edge_http_conns_refresh_cloud_token(pool_), EDGE_ERR_NO_MEMORY);
    EXPECT_TRUE(logged("ERROR build auth token failed."));
    EXPECT_TRUE(peer().requests().empty());

    struct Case {
        std::string token;
        bool usable;
    } cases[] = {{"daemon-token-1", true}, {std::string(255, 't'), true}, {std::string(256, 't'), false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.token.size());
        store("daemon_token", c.token, true);
        const auto parts = parse_header(edge_http_conns_build_headers(pool_));
        ASSERT_EQ(parts.has_value(), c.usable);
        if (c.usable) {
            EXPECT_EQ(parts->password, c.token);
        }
    }
}

TEST_F(HubTest, CloudTokenLandsInNodeConfig) {
    peer().simulate_hub(kVerifyCode, kSecret, kCryptKey);
    ASSERT_EQ(edge_http_conns_bind(pool_), EDGE_OK);
    ASSERT_EQ(edge_http_conns_refresh_cloud_token(pool_), EDGE_OK);  // the hub checks the HMAC
    const auto seen = peer().requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(seen[1].path, kAgencyPath);
    const NodeConfigRsp *held = mgr()->node_config;
    ASSERT_NE(held->pool, nullptr);
    EXPECT_EQ(std::string(held->region), "local");
    EXPECT_EQ(std::string(held->access_key).rfind("ak-", 0), 0u);
    EXPECT_EQ(std::string(held->secret_key).rfind("sk-", 0), 0u);
    EXPECT_NE(held->expires_at, nullptr);
    EXPECT_FALSE(log_holds(held->secret_key));
}

// A refresh that fails before the save leaves node_config as it was; one whose answer does not
// parse leaves it empty.
TEST_F(HubTest, AFailedRefreshKeepsNodeConfigUnlessTheAnswerFailsToParse) {
    enter_secret(kSecret);
    const std::string good = R"({"access_key":"ak-1","secret_key":"sk-1","region":"r1","expires_at":"2030-01-01"})";
    struct Case {
        const char *what;
        ScriptedResponse response;
        uint32_t status;
        bool emptied;
    } cases[] = {
        {"status 500", answer(500, good), EDGE_ERR_HUB_CLOUD_TOKEN, false},
        {"dropped",
         [&] {
             ScriptedResponse r = answer(200, good);
             r.drop = ScriptedResponse::Drop::before_response;
             return r;
         }(),
         EDGE_ERR_HUB_CLOUD_TOKEN, false},
        {"not an object", answer(200, R"(["ak-1"])"), EDGE_ERR_BAD_ARGUMENT, true},
        {"no expires_at", answer(200, R"({"access_key":"ak-1","secret_key":"sk-1","region":"r1"})"), EDGE_ERR_MISSING,
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        peer().script(answer(200, good));
        ASSERT_EQ(edge_http_conns_refresh_cloud_token(pool_), EDGE_OK);
        apr_pool_t *before = mgr()->node_config->pool;
        peer().script(c.response);
        EXPECT_EQ(edge_http_conns_refresh_cloud_token(pool_), c.status);
        const NodeConfigRsp *held = mgr()->node_config;
        if (c.emptied) {
            EXPECT_NE(edge_json_check_all_zero(held, sizeof *held), 0);
            EXPECT_TRUE(logged("ERROR parse cloud token rsp failed, ret:" + std::to_string(c.status)));
            EXPECT_TRUE(logged("ERROR save cloud token failed, ret:" + std::to_string(c.status)));
        } else {
            EXPECT_EQ(held->pool, before);
            EXPECT_STREQ(held->access_key, "ak-1");
        }
    }
    EXPECT_FALSE(log_holds("sk-1"));
    EXPECT_EQ(edge_http_conns_save_cloud_token("", pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_http_conns_save_cloud_token(nullptr, pool_), EDGE_ERR_MISSING);
}

TEST_F(HubTest, WithoutTheHubAddressNothingIsSent) {
    ASSERT_EQ(edge_configs_set_int(0, "http_server_ip", 0), EDGE_OK);
    enter_secret(kSecret);
    EXPECT_EQ(edge_http_conns_bind(pool_), EDGE_ERR_NO_MEMORY);
    EXPECT_TRUE(logged("ERROR build bind req failed."));
    EXPECT_EQ(edge_http_conns_refresh_cloud_token(pool_), EDGE_ERR_NO_MEMORY);
    EXPECT_TRUE(logged("ERROR build get cloud token url failed."));
    EXPECT_TRUE(peer().requests().empty());
}

// The hub is verified against conf/rootcert.pem: chain, validity and the IP address.
TEST_F(HubTest, TheHubsCertificateIsVerified) {
    struct Case {
        const char *cert;
        uint32_t status;
    } cases[] = {
        {"server", EDGE_OK},
        {"expired", EDGE_ERR_HUB_BIND},
        {"untrusted", EDGE_ERR_HUB_BIND},
        {"wrongip", EDGE_ERR_HUB_BIND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cert);
        auto hub = ScriptedHttpServer::tls(pki_.cert(c.cert), pki_.key(c.cert));
        hub.simulate_hub(kVerifyCode, kSecret, kCryptKey);
        ASSERT_EQ(edge_configs_set_int(0, "http_server_port", hub.port()), EDGE_OK);
        EXPECT_EQ(edge_http_conns_bind(pool_), c.status);
        EXPECT_EQ(hub.requests().size(), c.status == EDGE_OK ? 1u : 0u);
    }
    EXPECT_EQ(work_.count_logged("ERROR http request error, ret:60, status:0, body:(null)"), 3u);
}

// A hub that accepts the bind and never answers: the request ends after the stall limit.
TEST_F(HubTest, AHubThatNeverAnswersEndsTheBindAfterTheStallLimit) {
    peer().script(answer(200, bind_answer(kSecret, kCryptKey), 60000));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(edge_http_conns_bind(pool_), EDGE_ERR_HUB_BIND);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, std::chrono::seconds(kStallSeconds) - std::chrono::milliseconds(500));
    // As soon as a GET would: the bind's own bytes do not hold the limit off.
    EXPECT_LT(elapsed, std::chrono::seconds(kStallSeconds + 2));
    EXPECT_TRUE(logged("ERROR http request error, ret:28, status:0, body:(null)"));
}
