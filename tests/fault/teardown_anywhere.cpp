// Teardown from anywhere: the whole kit, started as a module starts it (base runtime, cipher,
// configuration store, HTTP and MQTT clients, both services), is torn down in reverse order
// at every point of its work, cycle after cycle in one process: while the MQTT service
// connects, waits between tries, is connected, runs a command callback, or talks to a broker
// that accepts and never answers, and while the sign loop's request waits on a daemon that
// never answers. Each destroy returns within its bound (the MQTT service within 5 s, the HTTP
// service within 2 s), no application callback runs after the MQTT service's destroy has
// returned, and the key store written in the first cycle is loaded whole by every later one.
//
// GRAVEL_TEARDOWN_CYCLES sets the number of cycles (scripts/fault-teardown.sh runs 1000).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>
#include <gravel/edge_http.h>
#include <gravel/edge_http_connections.h>
#include <gravel/edge_mqtt.h>
#include <gravel/edge_mqtt_connections.h>

#include "gravel_test_support.hpp"
#include "mosquitto_broker.hpp"
#include "scripted_http_server.hpp"

using namespace std::chrono_literals;
using gravel::test::MosquittoBroker;
using gravel::test::ScopedEnv;
using gravel::test::ScriptedHttpServer;
using gravel::test::ScriptedResponse;
using gravel::test::SlowProxy;
using gravel::test::TempDir;
using gravel::test::TestPki;
using gravel::test::wait_until;
using gravel::test::WorkDir;

namespace {

constexpr char kModuleId[] = "teardown01";
constexpr char kSecret[] = "0123456789abcdef0123456789abcdef";
const std::string kSignPath = std::string("/v2/modules/") + kModuleId + "/sign";

// What the application callbacks saw; `closed` is raised once the MQTT service's destroy has
// returned, and a callback after that counts as late.
struct Callbacks {
    std::atomic<int> connected{0}, disconnected{0}, messages{0}, late{0};
    std::atomic<bool> closed{false}, in_command{false};
    std::atomic<int> command_ms{0};  // how long a command callback takes
    void reset() {
        connected = disconnected = messages = late = 0;
        closed = in_command = false;
        command_ms = 0;
    }
    void note() {
        if (closed.load()) ++late;
    }
} g_seen;

uint32_t on_message(const char *, const char *request_id, const void *, int32_t) {
    g_seen.note();
    ++g_seen.messages;
    if (request_id != nullptr && g_seen.command_ms.load() > 0) {
        // A command that takes a while, and answers at its end: teardown comes meanwhile.
        g_seen.in_command = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(g_seen.command_ms.load()));
        apr_pool_t *pool = edge_MQTT_CONNS_MGR_mgr_create_pool();
        if (pool != nullptr) {
            edge_mqtt_conns_send_cmd_rsp("slow", request_id, 0, "{}", 2, pool);
            edge_base_memory_pool_destroy(&pool);
        }
    }
    return EDGE_OK;
}
void on_connected() {
    g_seen.note();
    ++g_seen.connected;
}
void on_disconnected() {
    g_seen.note();
    ++g_seen.disconnected;
}

class TeardownAnywhere : public ::testing::Test {
protected:
    void SetUp() override {
        pki_.install_ca(work_);
        broker_ = std::make_unique<MosquittoBroker>(pki_);
        broker_->start();
        daemon_ = std::make_unique<ScriptedHttpServer>(ScriptedHttpServer::unix_socket(socket_dir_.file("d.sock")));
        // The sign request of the loop never gets an answer (the daemon waits a minute).
        ScriptedResponse stall;
        stall.status = 200;
        stall.pieces = {"{}"};
        stall.delay_ms = 60000;
        daemon_->script("GET", kSignPath, stall);
        env_uri_ = std::make_unique<ScopedEnv>("daemon_uri", "unix:" + daemon_->socket_path());
        env_code_ = std::make_unique<ScopedEnv>("daemon_verify_code", "DVC-0000000001");
    }

    // The kit as a module starts it; the store pointing at `port`.
    void start_kit(int port) {
        ASSERT_EQ(edge_base_init(work_.path().c_str(), nullptr), EDGE_OK);
        ASSERT_EQ(edge_cipher_init(), EDGE_OK);
        ASSERT_EQ(edge_configs_init(), EDGE_OK);
        ASSERT_EQ(edge_http_init(), EDGE_OK);
        ASSERT_EQ(edge_mqtt_init(), EDGE_OK);
        ASSERT_EQ(edge_http_conns_init(), EDGE_OK);
        ASSERT_EQ(edge_mqtt_conns_init(), EDGE_OK);
        if (!edge_cipher_has_domain("secret")) {
            ASSERT_EQ(edge_cipher_save_key("secret", reinterpret_cast<const unsigned char *>(kSecret), sizeof kSecret - 1, 1),
                      EDGE_OK);
        }
        ASSERT_EQ(edge_configs_set_str(0, "module_id", kModuleId, 0), EDGE_OK);
        ASSERT_EQ(edge_configs_set_str(0, "mqtt_server_ip", "127.0.0.1", 0), EDGE_OK);
        ASSERT_EQ(edge_configs_set_int(0, "mqtt_server_port", port), EDGE_OK);
        ASSERT_EQ(edge_configs_set_str(0, "daemon_token", "bound-token", 1), EDGE_OK);
        edge_mqtt_conns_mgr_t *mqtt = edge_MQTT_CONNS_MGR_mgr_get();
        ASSERT_NE(mqtt, nullptr);
        // Tries a second apart, so that cycles spend their time in the states under test.
        ASSERT_EQ(edge_base_retry_config(mqtt->connect_worker, edge_mqtt_conns_connect_runner, -1, 1, 0), EDGE_OK);
        ASSERT_EQ(edge_mqtt_conns_build_topics(mqtt), EDGE_OK);
        ASSERT_EQ(edge_mqtt_conns_set_callback(on_message, on_connected, on_disconnected), EDGE_OK);
    }

    // The reverse teardown, each destroy timed against its bound.
    void stop_kit(const char *state) {
        SCOPED_TRACE(state);
        auto t0 = std::chrono::steady_clock::now();
        edge_mqtt_conns_destroy();
        const auto mqtt_took = std::chrono::steady_clock::now() - t0;
        g_seen.closed = true;
        t0 = std::chrono::steady_clock::now();
        edge_http_conns_destroy();
        const auto http_took = std::chrono::steady_clock::now() - t0;
        edge_mqtt_destroy();
        edge_http_destroy();
        edge_configs_destroy();
        edge_cipher_destroy();
        edge_base_destroy();
        EXPECT_LT(mqtt_took, 5s) << std::chrono::duration_cast<std::chrono::milliseconds>(mqtt_took).count() << " ms";
        EXPECT_LT(http_took, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(http_took).count() << " ms";
        worst_mqtt_ = std::max(worst_mqtt_, mqtt_took);
        worst_http_ = std::max(worst_http_, http_took);
    }

    size_t signs() {
        size_t n = 0;
        for (const auto &r : daemon_->requests()) n += r.path == kSignPath ? 1 : 0;
        return n;
    }

    WorkDir work_;
    TestPki pki_;
    TempDir socket_dir_;
    std::unique_ptr<MosquittoBroker> broker_;
    std::unique_ptr<ScriptedHttpServer> daemon_;
    std::unique_ptr<ScopedEnv> env_uri_, env_code_;
    std::chrono::steady_clock::duration worst_mqtt_{}, worst_http_{};
};

int cycles() {
    const char *text = std::getenv("GRAVEL_TEARDOWN_CYCLES");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 && n <= 100000 ? n : 60;
}

}  // namespace

TEST_F(TeardownAnywhere, TheWholeKitGoesDownFromEveryStateWithinItsBounds) {
    const int refused_port = gravel::test::free_loopback_port();  // nothing listens there
    SlowProxy silent(broker_->port(), 600s);                      // accepts, then says nothing
    std::mt19937 random(static_cast<unsigned>(std::random_device{}()));
    struct State {
        const char *name;
        int port;  // 0: the broker's
        std::function<void()> reach;
    };
    const State states[] = {
        {"connecting", 0,
         [&] { std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40)); }},
        {"between tries", refused_port,
         [&] { ASSERT_TRUE(wait_until([] { return g_seen.disconnected.load() >= 1; }, 10s)); }},
        {"connected", 0, [&] { ASSERT_TRUE(wait_until([] { return g_seen.connected.load() >= 1; }, 20s)); }},
        {"in a command callback", 0,
         [&] {
             ASSERT_TRUE(wait_until([] { return g_seen.connected.load() >= 1; }, 20s));
             g_seen.command_ms = 300;
             // The subscriptions may still be on their way: send until one command arrives.
             const std::string topic = std::string("$qx/modules/") + kModuleId + "/sys/commands/request_id=r1";
             ASSERT_TRUE(wait_until(
                 [&] {
                     if (g_seen.in_command.load()) return true;
                     gravel::test::mqtt_publish(*broker_, topic, R"({"command_name":"slow","paras":{}})");
                     return wait_until([] { return g_seen.in_command.load(); }, 500ms);
                 },
                 20s));
         }},
        {"broker accepting and never answering", silent.port(),
         [&] {
             const int accepted = silent.accepted();
             ASSERT_TRUE(wait_until([&] { return silent.accepted() > accepted; }, 10s));
         }},
        {"sign request waiting on the daemon", 0,
         [&] {
             edge_http_conns_mgr_t *http = edge_HTTP_CONNS_MGR_mgr_get();
             const size_t before = signs();
             ASSERT_EQ(edge_base_schedule_job_config(http->sign_job, edge_daemon_http_sign_runner, 1, 1), EDGE_OK);
             ASSERT_EQ(edge_daemon_http_start_loop(), EDGE_OK);
             ASSERT_TRUE(wait_until([&] { return signs() > before; }, 10s));
         }},
    };
    const int n = cycles();
    int done = 0;
    for (int i = 0; i < n; ++i) {
        const State &state = states[i % std::size(states)];
        SCOPED_TRACE("cycle " + std::to_string(i) + ": " + state.name);
        g_seen.reset();
        start_kit(state.port != 0 ? state.port : broker_->port());
        if (HasFatalFailure()) return;
        ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
        state.reach();
        if (HasFatalFailure()) {
            stop_kit(state.name);
            return;
        }
        stop_kit(state.name);
        if (HasFailure()) return;
        ASSERT_EQ(g_seen.late.load(), 0) << "callbacks after destroy returned";
        ++done;
    }
    // A late callback would still show now.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(g_seen.late.load(), 0);
    // The key store written in the first cycle comes back whole.
    ASSERT_EQ(edge_base_init(work_.path().c_str(), nullptr), EDGE_OK);
    ASSERT_EQ(edge_cipher_init(), EDGE_OK);
    EXPECT_TRUE(edge_cipher_has_domain("secret"));
    edge_cipher_destroy();
    edge_base_destroy();
    std::printf("%d cycles; slowest destroy: MQTT service %lld ms, HTTP service %lld ms\n", done,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(worst_mqtt_).count()),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(worst_http_).count()));
}
