// The HTTP connections service against its local peers: a hub bind and a cloud-token refresh
// over HTTPS to the simulated hub, and a daemon sign over the daemon's unix socket, each next
// to the same request made with libcurl directly in the same run; and the heap a refresh
// leaves behind once warmed up. Logging is off (FATAL only), as in the other benchmarks.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <curl/curl.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>
#include <gravel/edge_http.h>
#include <gravel/edge_http_connections.h>

#include "gravel_test_support.hpp"
#include "scripted_http_server.hpp"

namespace {

constexpr char kModuleId[] = "bench-module-01";
constexpr char kVerifyCode[] = "bench-verify-code";
constexpr char kSecret[] = "bench-secret-0123456789abcdef";
constexpr char kCryptKey[] = "bench-crypt-key-0123456789";

// The kit on a fresh work dir, talking to a simulated hub (HTTPS, a test PKI) or, in daemon
// mode, to a simulated daemon on a unix socket, which every request then goes to.
class Node {
public:
    explicit Node(bool daemon) : daemon_(daemon) {
        pki_.install_ca(work_);
        gravel::test::write_file(work_.file("conf/sdk_log.conf"),
                                 "[rules]\nsdk_rule.FATAL \"" + work_.file("log/sdk.log") + "\"\n");
        if (daemon) {
            peer_.emplace(gravel::test::ScriptedHttpServer::unix_socket(dir_.file("d.sock")));
            peer_->simulate_daemon(kVerifyCode, 3600 * 1000);
            mode_.emplace("daemon_verify_code", kVerifyCode);
            uri_.emplace("daemon_uri", "unix:" + peer_->socket_path());
        } else {
            peer_.emplace(gravel::test::ScriptedHttpServer::tls(pki_.cert("server"), pki_.key("server")));
            peer_->simulate_hub(kVerifyCode, kSecret, kCryptKey);
            mode_.emplace("daemon_verify_code", std::nullopt);
        }
        ok_ = edge_base_init(work_.path().c_str(), "bench") == EDGE_OK && edge_cipher_init() == EDGE_OK &&
              edge_configs_init() == EDGE_OK && edge_http_init() == EDGE_OK;
        ok_ = ok_ && edge_configs_set_str(0, "module_id", kModuleId, 0) == EDGE_OK &&
              edge_configs_set_str(0, "http_server_ip", "127.0.0.1", 0) == EDGE_OK &&
              edge_configs_set_int(0, "http_server_port", peer_->port()) == EDGE_OK &&
              edge_configs_set_str(0, "verify_code", kVerifyCode, 1) == EDGE_OK &&
              edge_configs_set_str(0, "daemon_verify_code", kVerifyCode, 0) == EDGE_OK &&
              edge_http_conns_init() == EDGE_OK;
        pool_ = edge_base_memory_pool_create(nullptr);
        ok_ = ok_ && pool_ != nullptr;
        if (ok_) ok_ = (daemon ? edge_daemon_http_conns_bind(pool_) : edge_http_conns_bind(pool_)) == EDGE_OK;
        edge_base_memory_pool_clear(pool_);
    }
    ~Node() {
        edge_base_memory_pool_destroy(&pool_);
        edge_http_conns_destroy();
        edge_http_destroy();
        edge_configs_destroy();
        edge_cipher_destroy();
        edge_base_destroy();
    }
    bool ok() const { return ok_; }
    bool daemon() const { return daemon_; }
    apr_pool_t *pool() const { return pool_; }
    std::string ca() const { return pki_.ca(); }
    gravel::test::ScriptedHttpServer &peer() { return *peer_; }

private:
    bool daemon_;
    gravel::test::TestPki pki_;
    gravel::test::WorkDir work_;
    gravel::test::TempDir dir_;
    std::optional<gravel::test::ScriptedHttpServer> peer_;
    std::optional<gravel::test::ScopedEnv> mode_, uri_;
    bool ok_ = false;
    apr_pool_t *pool_ = nullptr;
};

size_t collect(char *data, size_t size, size_t count, void *out) {
    static_cast<std::string *>(out)->append(data, size * count);
    return size * count;
}

// The kit's request done with libcurl alone: a new handle each time (as the kit does), the same
// headers and transport settings, the same TLS verification against the CA, the same body.
long direct(const std::string &url, const std::string &ca, const char *socket, const std::string &extra_header,
            const char *post_body) {
    CURL *curl = curl_easy_init();
    curl_slist *headers = nullptr;
    for (const char *line :
         {"User-Agent: GravelSDK 1.0", "Accept: application/json", "Content-Type: application/json;charset=UTF-8"}) {
        headers = curl_slist_append(headers, line);
    }
    if (!extra_header.empty()) headers = curl_slist_append(headers, extra_header.c_str());
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    // The transport settings of the kit's template handle.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 5L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    if (socket != nullptr) curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, socket);
    if (post_body != nullptr) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post_body);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return status;
}

// Each benchmark sets up its own node and takes it down: the HTTP client's mode is chosen once,
// at its init, and other benchmarks start the runtime themselves. Each iteration makes the
// kit's request and then the direct one, timed apart, so that both meet the same load on the
// machine and the simulator; the counters give each one's mean and their ratio.
template <typename Kit, typename Header>
void run_pair(benchmark::State &state, bool daemon, Kit kit, const std::string &path, Header header_of,
              const char *body) {
    Node n(daemon);
    if (!n.ok()) return state.SkipWithError("setup failed");
    const std::string url = daemon ? "http://127.0.0.1" + path : n.peer().url(path);
    const std::string socket = daemon ? n.peer().socket_path() : "";
    const std::string header = header_of(n);
    edge_base_memory_pool_clear(n.pool());
    std::chrono::nanoseconds kit_time{0}, direct_time{0};
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const uint32_t rc = kit(n.pool());
        const auto t1 = std::chrono::steady_clock::now();
        const long status = direct(url, n.ca(), daemon ? socket.c_str() : nullptr, header, body);
        const auto t2 = std::chrono::steady_clock::now();
        if (rc != EDGE_OK || status != 200) return state.SkipWithError("request failed");
        kit_time += t1 - t0;
        direct_time += t2 - t1;
        edge_base_memory_pool_clear(n.pool());
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["kit_us"] = static_cast<double>(kit_time.count()) / iterations / 1000.0;
    state.counters["direct_us"] = static_cast<double>(direct_time.count()) / iterations / 1000.0;
    state.counters["kit_over_direct"] =
        static_cast<double>(kit_time.count()) / static_cast<double>(std::max<int64_t>(direct_time.count(), 1));
}

const std::string kBindBody =
    std::string(R"({"module_id":")") + kModuleId + R"(","verify_code":")" + kVerifyCode + "\"}";

std::string no_header(Node &) {
    return {};
}

// The bind includes the kit's key store rewrite (the keys are entered once; the store is written
// again at every bind).
void BM_HubBind(benchmark::State &state) {
    run_pair(state, false, edge_http_conns_bind, "/gatewell/api/v1/modules/bind", no_header, kBindBody.c_str());
}

// The direct request's header line is made once; the kit makes a new client id and HMAC per call.
void BM_HubCloudToken(benchmark::State &state) {
    run_pair(
        state, false, edge_http_conns_refresh_cloud_token, "/gatewell/api/v1/credentials/agency",
        [](Node &n) {
            const char *line = edge_http_conns_build_headers(n.pool());
            return std::string(line != nullptr ? line : "");
        },
        nullptr);
}

// The kit decrypts the token, and stores the new one encrypted with its expiry.
void BM_DaemonSign(benchmark::State &state) {
    run_pair(
        state, true, edge_daemon_http_conns_sign, std::string("/v2/modules/") + kModuleId + "/sign",
        [](Node &) {
            char token[256] = {};
            uint32_t len = sizeof token - 1;
            (void)edge_configs_get_str_decrypt(0, "daemon_token", token, &len);
            return std::string("Authorization:") + token;
        },
        nullptr);
}

// Heap in use after many refreshes, each in a pool cleared after the call, against the heap in
// use after the warm-up: what a refresh keeps beyond the holder it replaces.
void BM_HubCloudToken_HeapRetained(benchmark::State &state) {
    Node n(false);
    if (!n.ok()) return state.SkipWithError("setup failed");
    constexpr int kWarmUp = 50;
    for (int i = 0; i < kWarmUp; ++i) {
        (void)edge_http_conns_refresh_cloud_token(n.pool());
        edge_base_memory_pool_clear(n.pool());
    }
    const size_t before = mallinfo2().uordblks;
    for (auto _ : state) {
        if (edge_http_conns_refresh_cloud_token(n.pool()) != EDGE_OK) return state.SkipWithError("request failed");
        edge_base_memory_pool_clear(n.pool());
    }
    const size_t after = mallinfo2().uordblks;
    state.counters["retained_bytes_per_call"] =
        static_cast<double>(after > before ? after - before : 0) / static_cast<double>(state.iterations());
    state.counters["heap_delta_bytes"] = static_cast<double>(after) - static_cast<double>(before);
}

BENCHMARK(BM_HubBind)->UseRealTime()->Iterations(300);
BENCHMARK(BM_HubCloudToken)->UseRealTime()->Iterations(300);
BENCHMARK(BM_HubCloudToken_HeapRetained)->UseRealTime()->Iterations(500);
BENCHMARK(BM_DaemonSign)->UseRealTime()->Iterations(500);

}  // namespace
