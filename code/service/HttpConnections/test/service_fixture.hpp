// The service on a real runtime: base, cipher with its key store on disk, configuration store,
// HTTP client, and a real peer: the hub over HTTPS (test PKI) or the local daemon over a unix
// socket. Log lines and recorded requests are what the tests read.
#pragma once

#include <gtest/gtest.h>

#include <apr_strings.h>
#include <cjson/cJSON.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>
#include <gravel/edge_http.h>
#include <gravel/edge_http_connections.h>

#include "edge_http_internal.hpp"
#include "gravel_test_support.hpp"
#include "runtime_test.hpp"
#include "scripted_http_server.hpp"

namespace httpconns_test {

using gravel::test::RecordedRequest;
using gravel::test::ScopedEnv;
using gravel::test::ScriptedHttpServer;
using gravel::test::ScriptedResponse;

inline ScriptedResponse answer(int status, const std::string &body, int delay_ms = 0) {
    ScriptedResponse r;
    r.status = status;
    if (!body.empty()) r.pieces = {body};
    r.delay_ms = delay_ms;
    return r;
}

// The members of a JSON object body as (name, text) pairs in order: strings as they are,
// numbers as their digits; nullopt when the body is not an object.
std::optional<std::vector<std::pair<std::string, std::string>>> members(const std::string &body);

// The lowercase hex HMAC-SHA256 of `message` under `key`, made by the openssl tool.
std::string openssl_hmac_hex(const std::string &key, const std::string &message);

// The first log line that begins with `prefix`, or nullopt.
std::optional<std::string> line_starting(const gravel::test::WorkDir &work, const std::string &prefix);

// What the fixture puts in the store, and the HTTP client's stall limit in the tests.
inline constexpr const char kModuleId[] = "module-0001";
inline constexpr const char kVerifyCode[] = "VC-0123456789";
inline constexpr const char kDaemonVerifyCode[] = "DVC-9876543210";
inline constexpr long kStallSeconds = 2;

// Runs the service. Hub mode (the default): HTTPS hub on 127.0.0.1 with the fixture's PKI.
// Daemon mode: the local daemon on a unix socket named by "daemon_uri", so every request
// goes there. The stall limit of the HTTP client is `stall_seconds_` (shortened for the tests).
class ServiceTest : public gravel::test::TlsRuntimeTest {
protected:
    explicit ServiceTest(bool daemon_mode = false) : daemon_mode_(daemon_mode) {}

    void SetUp() override;
    void TearDown() override;

    // Starts edge_http_conns_init again after the store is filled (SetUp does it once).
    edge_http_conns_mgr_t *mgr() const { return edge_HTTP_CONNS_MGR_mgr_get(); }
    ScriptedHttpServer &peer() { return daemon_mode_ ? *daemon_ : *hub_; }

    void store(const char *key, const std::string &value, bool encrypt = false) {
        ASSERT_EQ(edge_configs_set_str(0, key, value.c_str(), encrypt ? 1 : 0), EDGE_OK) << key;
    }
    // Enters "secret" as the bind would, so that HMAC passwords can be made.
    void enter_secret(const std::string &secret) {
        ASSERT_EQ(edge_cipher_save_key("secret", reinterpret_cast<const unsigned char *>(secret.data()),
                                       static_cast<uint32_t>(secret.size()), 1),
                  EDGE_OK);
    }
    // edge_cipher_destroy then edge_cipher_init: domain keys come back from the key store.
    void restart_cipher() {
        edge_cipher_destroy();
        ASSERT_EQ(edge_cipher_init(), EDGE_OK);
    }
    static std::string domain_key(const char *name) {
        const edge_cipher_key_t *key = edge_cipher_get_domain(name);
        return key == nullptr ? "<none>" : std::string(reinterpret_cast<const char *>(key->key), key->len);
    }
    std::string decrypted(const char *key, uint32_t capacity = 512) {
        std::string out(capacity + 1, '\0');
        uint32_t len = capacity;
        if (edge_configs_get_str_decrypt(0, key, out.data(), &len) != EDGE_OK) return "<undecryptable>";
        return out.substr(0, len);
    }
    size_t log_size() const { return work_.log_lines().size(); }
    bool log_holds(const std::string &text) const { return work_.log().find(text) != std::string::npos; }

    bool daemon_mode_;
    std::unique_ptr<gravel::test::TempDir> socket_dir_;
    std::unique_ptr<ScriptedHttpServer> hub_;
    std::unique_ptr<ScriptedHttpServer> daemon_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
    bool started_ = false;
};

class HubTest : public ServiceTest {};

class DaemonTest : public ServiceTest {
protected:
    DaemonTest() : ServiceTest(true) {}
    // A daemon token in the store, as a daemon bind leaves it.
    void store_daemon_token(const std::string &token) { store("daemon_token", token, true); }
};

}  // namespace httpconns_test
