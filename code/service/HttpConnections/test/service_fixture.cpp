#include "service_fixture.hpp"

#include <cstdio>

namespace httpconns_test {

std::optional<std::vector<std::pair<std::string, std::string>>> members(const std::string &body) {
    cJSON *root = cJSON_Parse(body.c_str());
    if (root == nullptr || !cJSON_IsObject(root)) {
        cJSON_Delete(root);
        return std::nullopt;
    }
    std::vector<std::pair<std::string, std::string>> out;
    for (const cJSON *m = root->child; m != nullptr; m = m->next) {
        std::string text;
        if (cJSON_IsString(m)) {
            text = m->valuestring;
        } else if (cJSON_IsNull(m)) {
            text = "null";
        } else {
            char *printed = cJSON_PrintUnformatted(m);
            text = printed;
            cJSON_free(printed);
        }
        out.emplace_back(m->string, text);
    }
    cJSON_Delete(root);
    return out;
}

std::string openssl_hmac_hex(const std::string &key, const std::string &message) {
    gravel::test::TempDir dir;
    gravel::test::write_file(dir.file("m"), message);
    const auto r = gravel::test::run_command("openssl dgst -sha256 -hmac " + gravel::test::shell_quote(key) + " -r " +
                                             gravel::test::shell_quote(dir.file("m")));
    return r.out.substr(0, r.out.find(' '));
}

std::optional<std::string> line_starting(const gravel::test::WorkDir &work, const std::string &prefix) {
    for (const auto &line : work.log_lines()) {
        if (line.rfind(prefix, 0) == 0) return line;
    }
    return std::nullopt;
}

void ServiceTest::SetUp() {
    for (const char *name :
         {"daemon_verify_code", "daemon_uri", "module_tls_verify", "verify_code", "module_cfg_dir", "http_proxy",
          "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        env_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
    }
    if (daemon_mode_) {
        socket_dir_ = std::make_unique<gravel::test::TempDir>();
        daemon_ = std::make_unique<ScriptedHttpServer>(ScriptedHttpServer::unix_socket(socket_dir_->file("d.sock")));
        env_.push_back(std::make_unique<ScopedEnv>("daemon_verify_code", kDaemonVerifyCode));
        env_.push_back(std::make_unique<ScopedEnv>("daemon_uri", "unix:" + daemon_->socket_path()));
    } else {
        hub_ = std::make_unique<ScriptedHttpServer>(ScriptedHttpServer::tls(pki_.cert("server"), pki_.key("server")));
    }
    TlsRuntimeTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(edge_cipher_init(), EDGE_OK);
    ASSERT_EQ(edge_configs_init(), EDGE_OK);
    const long kept = gravel::http::g_stall_limit_seconds;
    gravel::http::g_stall_limit_seconds = kStallSeconds;
    const uint32_t http = edge_http_init();
    gravel::http::g_stall_limit_seconds = kept;
    ASSERT_EQ(http, EDGE_OK);
    store("module_id", kModuleId);
    store("http_server_ip", "127.0.0.1");
    ASSERT_EQ(edge_configs_set_int(0, "http_server_port", hub_ ? hub_->port() : 1), EDGE_OK);
    store("verify_code", kVerifyCode, true);
    store("daemon_verify_code", kDaemonVerifyCode);
    ASSERT_EQ(edge_http_conns_init(), EDGE_OK);
    started_ = true;
}

void ServiceTest::TearDown() {
    edge_http_conns_destroy();
    edge_http_destroy();
    edge_configs_destroy();
    edge_cipher_destroy();
    TlsRuntimeTest::TearDown();
    hub_.reset();
    daemon_.reset();
}

}  // namespace httpconns_test
