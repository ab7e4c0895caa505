// The HTTP connections service against a dev node whose hub and daemon misbehave on purpose.
// For each fault mode and each request the kit makes: the operation's status and its ERROR
// line, a wait bounded by the stall limit, no secret in the log, the key store on disk, the
// holders and the daemon token in the store as the last good answer left them (the key store
// read again from disk to prove it), and the same operation succeeding once the fault is gone.
#include <gtest/gtest.h>

#include <apr_strings.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>
#include <gravel/edge_http.h>
#include <gravel/edge_http_connections.h>

#include "devnode.hpp"
#include "edge_http_internal.hpp"
#include "gravel_test_support.hpp"
#include "runtime_test.hpp"

namespace {

using gravel::test::cat;
using gravel::test::DevNode;
using gravel::test::ScopedEnv;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr const char kModuleId[] = "faultmod01";
// The HTTP client's stall limit in the rows whose peer stalls or trickles, and elsewhere (long
// enough that a busy machine never trips it).
constexpr long kStallSeconds = 1;
constexpr long kCalmSeconds = 30;
constexpr const char kPlaintext[] = "plaintext of the fault table 0123456789";
constexpr const char kAlgorithm[] = "hmac-sha256-ctr";

// One dev node for the whole run.
DevNode *g_node = nullptr;

class NodeEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        try {
            node_ = std::make_unique<DevNode>(kModuleId);
            g_node = node_.get();
        } catch (const std::exception &e) {
            FAIL() << e.what();
        }
    }
    void TearDown() override {
        g_node = nullptr;
        node_.reset();
    }

private:
    std::unique_ptr<DevNode> node_;
};
[[maybe_unused]] ::testing::Environment *const g_environment = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

// ---- What the kit holds, as text ------------------------------------------------------------

std::string field_text(const char *text) {
    return text == nullptr ? "(null)" : text;
}
std::string field_text(int64_t number) {
    return std::to_string(number);
}
#define FAULTS_FIELD_TEXT(kind, key, mark) out += cat(#key, "=", field_text(record->key), ";");
#define FAULTS_HOLDER_TEXT(T)                                       \
    std::string holder_text(const T *record) {                      \
        if (record == nullptr) return "(no holder)";                \
        std::string out = record->pool == nullptr ? "(empty)" : ""; \
        EDGE_RECORD_FIELDS_##T(FAULTS_FIELD_TEXT) return out;       \
    }
FAULTS_HOLDER_TEXT(NodeConfigRsp)
FAULTS_HOLDER_TEXT(CloudTokenRspBody)
FAULTS_HOLDER_TEXT(DaemonBindRspBody)
FAULTS_HOLDER_TEXT(VerifyRspBody)
FAULTS_HOLDER_TEXT(DeviceSignRspBody)
FAULTS_HOLDER_TEXT(NodeCertsRspBody)
FAULTS_HOLDER_TEXT(ModuleTrustCertsRspBody)
#undef FAULTS_HOLDER_TEXT
#undef FAULTS_FIELD_TEXT

// One request kind of the kit: how to make it, the path its requests take, and what a failure
// of each sort gives.
struct Kind {
    std::string name;
    std::string path;                         // the path prefix of its requests
    uint32_t request_fails;                   // status when the request fails (transport, or a status but 200)
    uint32_t not_json;                        // status when a 200 answer's body is not JSON
    std::vector<std::string> not_json_lines;  // the ERROR lines of that failure
    bool secret;                              // its answers carry secrets: a failure line masks the body
    std::function<uint32_t(apr_pool_t *)> call;
    std::vector<std::string> extra_lines = {};  // more ERROR lines of a failed request
};

struct Mode {
    const char *name;
    long stall_seconds;  // the client's stall limit for this mode's rows
    // The failed request's libcurl result and HTTP status in the ERROR line; nullopt: the
    // request completes with status 200 (the answer is not JSON).
    std::optional<std::pair<int, int>> failure;
};

const Mode kModes[] = {
    {"5xx", kCalmSeconds, std::pair{0, 503}},        {"garbage", kCalmSeconds, std::nullopt},
    {"truncated", kCalmSeconds, std::pair{18, 200}}, {"slow", kStallSeconds, std::pair{28, 0}},
    {"reset", kCalmSeconds, std::pair{56, 0}},       {"stall", kStallSeconds, std::pair{28, 0}},
    {"gone", kCalmSeconds, std::pair{7, 0}},
};

// The service on a fresh work dir (the node's CA as conf/rootcert.pem), bound to the node
// through the hub or the daemon.
class FaultTest : public gravel::test::BaseRuntimeTest {
protected:
    explicit FaultTest(bool daemon) : daemon_(daemon) {}

    void SetUp() override {}  // each test starts the runtime with the stall limit it needs

    void start(long stall_seconds) {
        ASSERT_NE(g_node, nullptr) << "no dev node";
        for (const char *name :
             {"daemon_verify_code", "daemon_uri", "module_tls_verify", "verify_code", "module_cfg_dir", "http_proxy",
              "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
            env_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
        }
        if (daemon_) {
            env_.push_back(std::make_unique<ScopedEnv>("daemon_verify_code", g_node->module().daemon_verify_code));
            env_.push_back(std::make_unique<ScopedEnv>("daemon_uri", "unix:" + g_node->daemon_socket()));
        }
        gravel::test::write_file(work_.file("conf/rootcert.pem"), gravel::test::read_file(g_node->ca()));
        start_runtime();
        const long kept = gravel::http::g_stall_limit_seconds;
        gravel::http::g_stall_limit_seconds = stall_seconds;
        const uint32_t http = edge_http_init();
        gravel::http::g_stall_limit_seconds = kept;
        ASSERT_EQ(http, EDGE_OK);
        start_service();
        if (HasFatalFailure()) return;
        started_ = true;
        const DevNode::Module &m = g_node->module();
        secrets_ = {m.secret, m.crypt_key, m.verify_code, m.daemon_verify_code, kPlaintext};
        if (daemon_) {
            ASSERT_EQ(edge_daemon_http_conns_bind(pool_), EDGE_OK);
            ASSERT_EQ(edge_daemon_http_conns_encrypt(pool_, kPlaintext, kAlgorithm), EDGE_OK);
            ciphertext_ = mgr()->crypto_result;
        } else {
            ASSERT_EQ(edge_http_conns_bind(pool_), EDGE_OK);
            ASSERT_EQ(domain_key("secret"), m.secret);
        }
        note_secrets();
    }

    // The cipher (keys from the key store on disk), the configuration store as the layer
    // above fills it (with a daemon token when one is given), and the service.
    void start_service(const std::string &daemon_token = "", int64_t expires_at = 0) {
        ASSERT_EQ(edge_cipher_init(), EDGE_OK);
        ASSERT_EQ(edge_configs_init(), EDGE_OK);
        const DevNode::Module &m = g_node->module();
        ASSERT_EQ(edge_configs_set_str(0, "module_id", m.module_id.c_str(), 0), EDGE_OK);
        ASSERT_EQ(edge_configs_set_str(0, "http_server_ip", "127.0.0.1", 0), EDGE_OK);
        ASSERT_EQ(edge_configs_set_int(0, "http_server_port", g_node->hub_port()), EDGE_OK);
        ASSERT_EQ(edge_configs_set_str(0, "verify_code", m.verify_code.c_str(), 1), EDGE_OK);
        ASSERT_EQ(edge_configs_set_str(0, "daemon_verify_code", m.daemon_verify_code.c_str(), 0), EDGE_OK);
        if (!daemon_token.empty()) {
            ASSERT_EQ(edge_configs_set_str(0, "daemon_token", daemon_token.c_str(), 1), EDGE_OK);
            ASSERT_EQ(edge_configs_set_longlong(0, "daemon_token_expires_at", expires_at), EDGE_OK);
        }
        ASSERT_EQ(edge_http_conns_init(), EDGE_OK);
    }

    // The module started again (the HTTP client stays): the cipher loads what the key store
    // on disk holds; the daemon token, which lives in memory only, is handed back as the layer
    // above would keep it.
    void restart_service() {
        const std::string token = decrypted("daemon_token");
        const int64_t expires_at = edge_configs_get_longlong(0, "daemon_token_expires_at");
        edge_http_conns_destroy();
        edge_configs_destroy();
        edge_cipher_destroy();
        start_service(token == "(undecryptable)" ? "" : token, expires_at);
    }

    void TearDown() override {
        if (g_node != nullptr) {
            g_node->fault("hub", "none");
            g_node->fault("daemon", "none");
        }
        if (started_) {
            // No secret reached the log, whole or in part, in clear.
            const std::string log = work_.log();
            for (const std::string &secret : secrets_) {
                if (secret.size() < 12) continue;
                for (const size_t at : {size_t{0}, secret.size() / 2, secret.size() - 10}) {
                    const std::string piece = secret.substr(at, 10);
                    EXPECT_EQ(log.find(piece), std::string::npos) << "the log shows a piece of a secret: " << piece;
                }
            }
            edge_http_conns_destroy();
            edge_http_destroy();
            edge_configs_destroy();
            edge_cipher_destroy();
        }
        stop_runtime();
        env_.clear();
    }

    edge_http_conns_mgr_t *mgr() const { return edge_HTTP_CONNS_MGR_mgr_get(); }
    static std::string domain_key(const char *name) {
        const edge_cipher_key_t *key = edge_cipher_get_domain(name);
        return key == nullptr ? "(none)" : std::string(reinterpret_cast<const char *>(key->key), key->len);
    }
    static std::string decrypted(const char *key) {
        std::string out(513, '\0');
        uint32_t len = 512;
        if (edge_configs_get_str_decrypt(0, key, out.data(), &len) != EDGE_OK) return "(undecryptable)";
        return out.substr(0, len);
    }
    // The key store files on disk, byte for byte.
    std::string key_store_files() const {
        std::string out;
        for (const std::string &name : gravel::test::list_dir(work_.file("secret"))) {
            out += cat(name, ":", gravel::test::read_file(work_.file("secret/" + name)), "\n");
        }
        return out;
    }
    // Every holder, the crypto result, the keys in the process and the token in the store.
    std::string held(bool with_node_config = true) const {
        const edge_http_conns_mgr_t *m = mgr();
        return cat(with_node_config ? holder_text(m->node_config) : std::string(), "|", holder_text(m->cloud_token),
                   "|", holder_text(m->daemon_token), "|", holder_text(m->verify_result), "|",
                   holder_text(m->device_sign), "|", holder_text(m->node_certs), "|", holder_text(m->trust_certs), "|",
                   field_text(m->crypto_result), "|", domain_key("secret"), "|", domain_key("crypt_key"), "|",
                   decrypted("daemon_token"), "|",
                   std::to_string(edge_configs_get_longlong(0, "daemon_token_expires_at")));
    }
    // What the kit may not show: everything the node handed out so far.
    void note_secrets() {
        const edge_http_conns_mgr_t *m = mgr();
        for (const char *text : {m->node_config->access_key, m->node_config->secret_key, m->cloud_token->access_key,
                                 m->cloud_token->secret_key, m->cloud_token->auth_token, m->cloud_token->token,
                                 m->daemon_token->token, m->device_sign->password}) {
            if (text != nullptr) secrets_.emplace_back(text);
        }
        // A private key's PEM lines but its armour ("-----BEGIN ..." is in every certificate).
        if (const char *key = m->node_certs->private_key; key != nullptr) {
            std::string body;
            std::istringstream lines(key);
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind("-----", 0) != 0) body += line + "\n";
            }
            secrets_.push_back(body);
        }
    }

    // The table: for each kind, a good call, the fault for one request of it, the failing call
    // and its checks, then a good call again.
    void run_rows(const Mode &mode, const std::vector<Kind> &kinds) {
        const char *part = daemon_ ? "daemon" : "hub";
        const bool gone = std::string(mode.name) == "gone";
        for (const Kind &kind : kinds) {
            SCOPED_TRACE(kind.name + " with fault " + mode.name);
            apr_pool_t *pool = edge_base_memory_pool_create(pool_);
            ASSERT_NE(pool, nullptr);
            ASSERT_EQ(kind.call(pool), EDGE_OK) << "the good call before the fault";
            note_secrets();
            const std::string disk = key_store_files();
            const bool empties_node_config =
                !mode.failure && kind.not_json != EDGE_OK && !daemon_ && kind.name == "cloud token";
            const std::string before = held(!empties_node_config);
            ASSERT_EQ(g_node->fault(part, mode.name, gone ? "" : kind.path, gone ? 0 : 1), 200);

            const size_t lines_before = work_.log_lines().size();
            const auto started = Clock::now();
            const uint32_t rc = kind.call(pool);
            const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
            const std::vector<std::string> all = work_.log_lines();
            const std::vector<std::string> lines(all.begin() + static_cast<long>(lines_before), all.end());
            auto logged = [&lines](const std::string &text, bool prefix) {
                for (const std::string &l : lines) {
                    if (prefix ? l.rfind(text, 0) == 0 : l == text) return true;
                }
                return false;
            };

            if (mode.failure) {
                EXPECT_EQ(rc, kind.request_fails);
                const std::string head = cat("ERROR http request error, ret:", std::to_string(mode.failure->first),
                                             ", status:", std::to_string(mode.failure->second), ", body:");
                EXPECT_TRUE(logged(head, true)) << head;
                if (mode.failure->second == 0) {
                    EXPECT_TRUE(logged(head + "(null)", false));
                }
                if (mode.failure->second == 503) {
                    const char *body = R"x({"error": "service unavailable (fault 5xx)"})x";
                    EXPECT_TRUE(logged(head + (kind.secret ? edge_base_log_fuzz_id(body, pool) : body), false));
                }
                for (const std::string &line : kind.extra_lines) EXPECT_TRUE(logged(line, false)) << line;
            } else {
                EXPECT_EQ(rc, kind.not_json);
                for (const std::string &line : kind.not_json_lines) EXPECT_TRUE(logged(line, false)) << line;
            }
            // Nothing waits past the stall limit; a peer that answers at once is answered at once.
            EXPECT_LT(seconds, static_cast<double>(mode.stall_seconds == kStallSeconds ? kStallSeconds + 2 : 4));
            if (mode.stall_seconds == kStallSeconds) {
                EXPECT_GT(seconds, kStallSeconds - 0.3);
            }

            EXPECT_EQ(held(!empties_node_config), before) << "a holder, key or token changed";
            if (empties_node_config) {
                EXPECT_EQ(holder_text(mgr()->node_config), holder_text(&kEmptyNodeConfig));
            }
            EXPECT_EQ(key_store_files(), disk) << "the key store on disk changed";
            // The keys come back from disk as they were.
            restart_service();
            if (HasFatalFailure()) return;
            EXPECT_EQ(domain_key("secret"), daemon_ ? "(none)" : g_node->module().secret);
            EXPECT_EQ(domain_key("crypt_key"), daemon_ ? "(none)" : g_node->module().crypt_key);

            ASSERT_EQ(g_node->fault(part, "none"), 200);
            EXPECT_EQ(kind.call(pool), EDGE_OK) << "the same call once the fault is gone";
            note_secrets();
            edge_base_memory_pool_destroy(&pool);
        }
    }

    static inline const NodeConfigRsp kEmptyNodeConfig{};
    bool daemon_;
    bool started_ = false;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
    std::vector<std::string> secrets_;
    std::string ciphertext_;
};

// ---- The hub --------------------------------------------------------------------------------

class HubFaults : public FaultTest, public ::testing::WithParamInterface<Mode> {
protected:
    HubFaults() : FaultTest(false) {}

    static std::vector<Kind> kinds() {
        const std::string base = "/gatewell/api/v1";
        return {
            {"bind",
             base + "/modules/bind",
             EDGE_ERR_HUB_BIND,
             EDGE_ERR_MISSING,
             {"ERROR save secret to domain key error, ret:20001"},
             true,
             [](apr_pool_t *pool) { return edge_http_conns_bind(pool); }},
            {"cloud token",
             base + "/credentials/agency",
             EDGE_ERR_HUB_CLOUD_TOKEN,
             EDGE_ERR_BAD_ARGUMENT,
             {"ERROR parse cloud token rsp failed, ret:20003", "ERROR save cloud token failed, ret:20003"},
             true,
             [](apr_pool_t *pool) { return edge_http_conns_refresh_cloud_token(pool); }},
            // The device API reports only the status: a 200 answer is a success whatever its body.
            {"device command",
             base + "/devices/commands",
             EDGE_ERR_DEVICE_COMMAND,
             EDGE_OK,
             {},
             false,
             [](apr_pool_t *pool) { return edge_app_http_conns_call_device_command("open-valve-7", 5, pool); }},
            {"device statuses",
             base + "/devices/statuses",
             EDGE_ERR_DEVICE_STATUS,
             EDGE_OK,
             {},
             false,
             [](apr_pool_t *pool) {
                 char *result = nullptr;
                 return edge_app_http_conns_get_devices_statuses(&result, "?device_id=device-faultmod01", 0, pool);
             }},
        };
    }
};

TEST_P(HubFaults, EveryRequestKind) {
    start(GetParam().stall_seconds);
    if (HasFatalFailure()) return;
    run_rows(GetParam(), kinds());
}

std::string mode_name(const ::testing::TestParamInfo<Mode> &info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Modes, HubFaults,
                         ::testing::ValuesIn(std::vector<Mode>(std::begin(kModes), std::end(kModes) - 1)), mode_name);

// ---- The daemon -----------------------------------------------------------------------------

class DaemonFaults : public FaultTest, public ::testing::WithParamInterface<Mode> {
protected:
    DaemonFaults() : FaultTest(true) {}

    std::vector<Kind> kinds() {
        const std::string module = std::string("/v2/modules/") + kModuleId;
        const auto saver = [](const char *message) {
            return std::vector<std::string>{cat("ERROR ", message, ", ret:20001")};
        };
        const std::string &ciphertext = ciphertext_;
        return {
            {"bind", module + "/bind", EDGE_ERR_DAEMON_REQUEST, EDGE_ERR_MISSING,
             saver("save daemon token to domain key error"), true,
             [](apr_pool_t *pool) { return edge_daemon_http_conns_bind(pool); }},
            {"sign", module + "/sign", EDGE_ERR_DAEMON_SIGN, EDGE_ERR_MISSING,
             saver("save daemon token to domain key error"), true,
             [](apr_pool_t *pool) { return edge_daemon_http_conns_sign(pool); }},
            {"verify", module + "/verify", EDGE_ERR_DAEMON_VERIFY, EDGE_ERR_MISSING,
             saver("save daemon token to domain key error"), true,
             [](apr_pool_t *pool) { return edge_daemon_http_conns_verify(pool, decrypted("daemon_token").c_str()); }},
            {"cloud token", module + "/cloud-token", EDGE_ERR_DAEMON_CLOUD_TOKEN, EDGE_ERR_MISSING,
             saver("save daemon cloud token error"), true,
             [](apr_pool_t *pool) { return edge_daemon_http_conns_cloud_token(pool); }},
            {"encrypt", module + "/encrypt", EDGE_ERR_DAEMON_REQUEST, EDGE_ERR_MISSING,
             saver("save encrypt result error"), false,
             [](apr_pool_t *pool) { return edge_daemon_http_conns_encrypt(pool, kPlaintext, kAlgorithm); }},
            {"decrypt", module + "/decrypt", EDGE_ERR_DAEMON_REQUEST, EDGE_ERR_MISSING,
             saver("save decrypt result error"), true,
             [&ciphertext](apr_pool_t *pool) {
                 return edge_daemon_http_conns_decrypt(pool, ciphertext.c_str(), kAlgorithm);
             }},
            {"digest", module + "/digest", EDGE_ERR_DAEMON_REQUEST, EDGE_ERR_MISSING, saver("save digest result error"),
             false, [](apr_pool_t *pool) { return edge_daemon_http_conns_digest(pool, "data", "sha256"); }},
            {"device sign", "/v2/device/sign", EDGE_ERR_DAEMON_DEVICE_SIGN, EDGE_ERR_MISSING,
             saver("save device sign error"), true,
             [](apr_pool_t *pool) { return edge_daemon_http_conns_device_sign(pool); }},
            {"node certs", module + "/certs", EDGE_ERR_DAEMON_CERTS, EDGE_ERR_MISSING, saver("save node certs error"),
             true, [](apr_pool_t *pool) { return edge_daemon_http_conns_node_certs(pool); }},
            {"trust certs", module + "/trust-certs", EDGE_ERR_DAEMON_TRUST_CERTS, EDGE_ERR_MISSING,
             saver("save module trust certs error"), false,
             [](apr_pool_t *pool) { return edge_daemon_http_conns_trust_certs(pool); }},
            // The sign loop's runner: the sign's status, logged, and the next sleep left alone
            // (the schedule job then waits its exception sleep).
            {"sign loop",
             module + "/sign",
             EDGE_ERR_DAEMON_SIGN,
             EDGE_ERR_MISSING,
             {"ERROR save daemon token to domain key error, ret:20001", "ERROR http sign failed, ret:20001"},
             true,
             [](apr_pool_t *) {
                 long sleep = -7;
                 const uint32_t rc = edge_daemon_http_sign_runner(&sleep, nullptr);
                 if (rc == EDGE_OK) return sleep > 0 ? EDGE_OK : EDGE_ERR_UNKNOWN_DOMAIN;
                 return sleep == -7 ? rc : EDGE_ERR_UNKNOWN_DOMAIN;  // a sleep written on failure
             },
             {"ERROR http sign failed, ret:20032"}},
        };
    }
};

TEST_P(DaemonFaults, EveryRequestKind) {
    start(GetParam().stall_seconds);
    if (HasFatalFailure()) return;
    run_rows(GetParam(), kinds());
}

INSTANTIATE_TEST_SUITE_P(Modes, DaemonFaults, ::testing::ValuesIn(kModes), mode_name);

// ---- The sign loop on its thread ------------------------------------------------------------

class SignLoopFaults : public FaultTest {
protected:
    SignLoopFaults() : FaultTest(true) {}
    const std::string sign_path = std::string("/v2/modules/") + kModuleId + "/sign";

    // The loop's first run and its exception sleep shortened to a second.
    void start_loop() {
        ASSERT_EQ(edge_base_schedule_job_config(mgr()->sign_job, edge_daemon_http_sign_runner, 1, 1), EDGE_OK);
        ASSERT_EQ(edge_daemon_http_start_loop(), EDGE_OK);
    }
    // The last lines of the kit's log and of the node's, for a wait that ran out.
    std::string tails() const {
        std::string out = "--- kit log:\n";
        const auto kit = work_.log_lines();
        for (size_t i = kit.size() > 40 ? kit.size() - 40 : 0; i < kit.size(); ++i) out += kit[i] + "\n";
        const std::string node = g_node->node_log();
        return out + "--- node log:\n" + node.substr(node.size() > 3000 ? node.size() - 3000 : 0);
    }
    size_t count_prefixed(const std::string &prefix) const {
        size_t n = 0;
        for (const std::string &l : work_.log_lines()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
};

// Destroy aborts the sign in flight: a stalled or trickling daemon does not hold it, and the
// token in the store stays the last good one.
TEST_F(SignLoopFaults, DestroyDoesNotWaitForAStalledOrSlowSign) {
    start(kCalmSeconds);
    if (HasFatalFailure()) return;
    for (const char *mode : {"stall", "slow"}) {
        SCOPED_TRACE(mode);
        const std::string token = decrypted("daemon_token");
        ASSERT_EQ(g_node->fault("daemon", mode, sign_path, 1), 200);
        const size_t gets = count_prefixed("INFO get url: ");
        start_loop();
        ASSERT_TRUE(
            gravel::test::wait_until([&] { return count_prefixed("INFO get url: ") > gets; }, milliseconds(10000)));
        std::this_thread::sleep_for(milliseconds(300));  // the transfer is under way
        const auto started = Clock::now();
        edge_http_conns_destroy();
        EXPECT_LT(Clock::now() - started, milliseconds(2000));
        EXPECT_EQ(decrypted("daemon_token"), token);
        ASSERT_EQ(edge_http_conns_init(), EDGE_OK);  // for the next mode and the tear-down
    }
}

// One failed renewal is logged and the loop renews at its next run, a second later (every mode
// of a failed sign is a row of DaemonFaults, through the runner; here the schedule itself).
TEST_F(SignLoopFaults, TheLoopRenewsAfterAFailedSign) {
    start(kStallSeconds);
    if (HasFatalFailure()) return;
    const struct {
        const char *mode;
        uint32_t status;
    } cases[] = {{"5xx", EDGE_ERR_DAEMON_SIGN}, {"garbage", EDGE_ERR_MISSING}, {"gone", EDGE_ERR_DAEMON_SIGN}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        // A counted fault for one sign; gone holds until cleared.
        const bool gone = std::string(c.mode) == "gone";
        ASSERT_EQ(g_node->fault("daemon", c.mode, gone ? "" : sign_path, gone ? 0 : 1), 200);
        const std::string failed = cat("ERROR http sign failed, ret:", std::to_string(c.status));
        const size_t failures = count_prefixed(failed);
        const size_t renewals = count_prefixed("INFO expires_at:");
        const std::string token = decrypted("daemon_token");
        start_loop();
        ASSERT_TRUE(gravel::test::wait_until([&] { return count_prefixed(failed) > failures; }, milliseconds(20000)))
            << tails();
        if (gone) {
            ASSERT_EQ(g_node->fault("daemon", "none"), 200);
        }
        ASSERT_TRUE(gravel::test::wait_until([&] { return count_prefixed("INFO expires_at:") > renewals; },
                                             milliseconds(20000)))
            << tails();
        ASSERT_EQ(edge_base_schedule_job_stop(mgr()->sign_job), EDGE_OK);
        // A new token, in holder and store alike, that the daemon accepts.
        const std::string renewed = decrypted("daemon_token");
        EXPECT_NE(renewed, token);
        EXPECT_EQ(field_text(mgr()->daemon_token->token), renewed);
        secrets_.push_back(renewed);
        EXPECT_EQ(edge_daemon_http_conns_verify(pool_, renewed.c_str()), EDGE_OK);
    }
}

// By hand only (scripts/fault-http-stall.sh): the real stall limit of 60 seconds, a
// stalled hub bind (POST) and device statuses answered a byte a second (GET, no time-out).
class RealStallLimit : public FaultTest {
protected:
    RealStallLimit() : FaultTest(false) {}
};

TEST_F(RealStallLimit, DISABLED_AStalledBindAndASlowDeviceStatusesEndAfterSixtySeconds) {
    start(gravel::http::g_stall_limit_seconds);
    if (HasFatalFailure()) return;
    ASSERT_EQ(gravel::http::g_stall_limit_seconds, 60);
    const struct {
        const char *mode;
        const char *path;
        std::function<uint32_t()> call;
        uint32_t status;
    } cases[] = {
        {"stall", "/gatewell/api/v1/modules/bind", [this] { return edge_http_conns_bind(pool_); }, EDGE_ERR_HUB_BIND},
        {"slow", "/gatewell/api/v1/devices/statuses",
         [this] {
             char *result = nullptr;
             return edge_app_http_conns_get_devices_statuses(&result, "", 0, pool_);
         },
         EDGE_ERR_DEVICE_STATUS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(g_node->fault("hub", c.mode, c.path, 1), 200);
        const auto started = Clock::now();
        EXPECT_EQ(c.call(), c.status);
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf("%s: %s ended after %.1f s\n", c.mode, c.path, seconds);
        EXPECT_GT(seconds, 59.5);
        EXPECT_LT(seconds, 62.0);
        EXPECT_TRUE(logged("ERROR http request error, ret:28, status:0, body:(null)"));
        EXPECT_EQ(domain_key("secret"), g_node->module().secret);
    }
}

}  // namespace
