// The MQTT connections service's cost over the Paho library beneath it.
//
// Send throughput: QoS 1 messages of 256 bytes to a local mosquitto over TLS, counted as
// received by a mosquitto_sub subscriber: edge_mqtt_conns_send_message (the core send),
// edge_mqtt_conns_send_device_message (a body copied into the caller's pool) and
// edge_mqtt_conns_send_cmd_rsp (the command response built as JSON, with a request id),
// against MQTTAsync_send on a Paho client with the same options. All keep at most 100
// messages in flight, waiting on delivery-complete notifications.
//
// Command round trip: a Paho peer publishes a command, the module's message callback answers
// with edge_mqtt_conns_send_cmd_rsp, the peer receives the answer; against the same echo
// written on raw Paho (a callback that answers with MQTTAsync_send), every socket to the
// broker without Nagle's algorithm, as the kit's own. p50 and p99 in microseconds.
//
// Heap retained per send: the heap in use (mallinfo2) after a warm-up and after a run of
// device messages whose deliveries all completed, divided by the count.
//
// These start a broker and take tens of seconds: run them by hand, for example
//   build/release/bench/gravel-bench --benchmark_filter='MqttConns'
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>
#include <gravel/edge_mqtt_connections.h>

#include "gravel_test_support.hpp"
#include "mosquitto_broker.hpp"

namespace {

using namespace std::chrono_literals;
using gravel::test::wait_until;

constexpr int kPayloadSize = 256;
constexpr int kWindow = EDGE_MQTT_MAX_INFLIGHT;
constexpr int64_t kMessages = 50000;
const char *const kModuleId = "benchmod";

std::atomic<int64_t> g_delivered{0};
std::atomic<int> g_connected{0};

void kit_delivered(int32_t) {
    g_delivered.fetch_add(1, std::memory_order_relaxed);
}
void kit_connected() {
    g_connected.fetch_add(1);
}
void direct_delivered(void *, MQTTAsync_token) {
    g_delivered.fetch_add(1, std::memory_order_relaxed);
}
void direct_connected(void *, MQTTAsync_successData *) {
    g_connected.fetch_add(1);
}
int direct_message(void *, char *topic, int, MQTTAsync_message *message) {
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
}

// The module answers every command from its message callback.
uint32_t answer_command(const char *topic, const char *request_id, const void *payload, int32_t payload_len) {
    (void)topic;
    apr_pool_t *pool = edge_MQTT_CONNS_MGR_mgr_create_pool();
    const uint32_t rc = edge_mqtt_conns_send_cmd_rsp("bench", request_id, 0, static_cast<const char *>(payload),
                                                     static_cast<uint32_t>(payload_len), pool);
    edge_base_memory_pool_destroy(&pool);
    return rc;
}
uint32_t ignore_message(const char *, const char *, const void *, int32_t) {
    return 0;
}

// Runtime, cipher, configuration store, MQTT client and the service connected to a broker.
class Setup {
public:
    Setup() {
        pki_.install_ca(work_);
        gravel::test::write_file(work_.file("conf/sdk_log.conf"),
                                 "[rules]\nsdk_rule.WARN \"" + work_.log_path() + "\"\n");
        broker_ = std::make_unique<gravel::test::MosquittoBroker>(pki_);
        broker_->start();
        ok_ = edge_base_init(work_.path().c_str(), "bench") == EDGE_OK && edge_cipher_init() == EDGE_OK &&
              edge_configs_init() == EDGE_OK && edge_mqtt_init() == EDGE_OK && edge_mqtt_conns_init() == EDGE_OK;
        if (!ok_) return;
        const std::string secret = "bench-secret";
        edge_configs_set_str(0, "module_id", kModuleId, 0);
        edge_configs_set_str(0, "mqtt_server_ip", broker_->host().c_str(), 0);
        edge_configs_set_int(0, "mqtt_server_port", broker_->port());
        edge_cipher_save_key("secret", reinterpret_cast<const unsigned char *>(secret.data()),
                             static_cast<uint32_t>(secret.size()), 0);
        edge_mqtt_conns_mgr_t *mgr = edge_MQTT_CONNS_MGR_mgr_get();
        g_connected = 0;
        ok_ = edge_mqtt_conns_build_topics(mgr) == EDGE_OK &&
              edge_mqtt_conns_set_callback(ignore_message, kit_connected, nullptr) == EDGE_OK &&
              edge_mqtt_conns_start_connect() == EDGE_OK && wait_until([] { return g_connected > 0; }, 20s);
        // The service's clients have no delivery-complete handler; the benchmark adds one to
        // its client to keep the same window of messages in flight as the direct run.
        if (ok_) ok_ = edge_mqtt_set_callback(mgr->client, kit_delivered, nullptr, nullptr, nullptr) == EDGE_OK;
        pool_ = edge_MQTT_CONNS_MGR_mgr_create_pool();
    }
    ~Setup() {
        edge_mqtt_conns_destroy();
        broker_.reset();
        edge_mqtt_destroy();
        edge_configs_destroy();
        edge_cipher_destroy();
        edge_base_destroy();
    }
    bool ok() const { return ok_ && pool_ != nullptr; }
    gravel::test::MosquittoBroker &broker() { return *broker_; }
    apr_pool_t *pool() const { return pool_; }
    edge_mqtt_conns_mgr_t *mgr() const { return edge_MQTT_CONNS_MGR_mgr_get(); }

private:
    gravel::test::WorkDir work_;
    gravel::test::TestPki pki_;
    std::unique_ptr<gravel::test::MosquittoBroker> broker_;
    apr_pool_t *pool_ = nullptr;
    bool ok_ = false;
};

// mosquitto_sub on a filter, one line per message (its payload length).
class CountingSubscriber {
public:
    CountingSubscriber(gravel::test::MosquittoBroker &broker, const std::string &filter) {
        process_ = std::make_unique<gravel::test::ChildProcess>(
            std::vector<std::string>{"stdbuf", "-oL", "mosquitto_sub", "-h", broker.host(), "-p",
                                     std::to_string(broker.port()), "--cafile", broker.ca(), "-q", "1", "-t", filter,
                                     "-F", "%l"},
            dir_.file("sub.out"));
    }
    int64_t lines() const {
        const std::string out = gravel::test::read_file(dir_.file("sub.out"));
        return static_cast<int64_t>(std::count(out.begin(), out.end(), '\n'));
    }

private:
    gravel::test::TempDir dir_;
    std::unique_ptr<gravel::test::ChildProcess> process_;
};

// Sends probes until the subscriber sees one, then `count` messages with at most kWindow in
// flight; the seconds until the subscriber has them all, negative on failure.
template <typename Send>
double publish_run(CountingSubscriber &sub, Send &&send, int64_t count, benchmark::State &state) {
    bool subscribed = false;
    for (int i = 0; i < 100 && !subscribed; ++i) {
        send();
        subscribed = wait_until([&] { return sub.lines() > 0; }, 100ms);
    }
    if (!subscribed) return -1;
    std::this_thread::sleep_for(300ms);
    const int64_t target = sub.lines() + count;
    g_delivered = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int64_t sent = 0; sent < count;) {
        if (sent - g_delivered.load(std::memory_order_relaxed) >= kWindow) {
            std::this_thread::yield();
            continue;
        }
        const int rc = send();
        if (rc == MQTTASYNC_SUCCESS) {
            ++sent;
        } else {
            state.SkipWithError(("send failed: " + std::to_string(rc)).c_str());
            return -1;
        }
    }
    if (!wait_until([&] { return sub.lines() >= target; }, std::chrono::milliseconds(300000))) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(benchmark::State &state, double seconds, int64_t count) {
    state.SetIterationTime(seconds);
    state.counters["msgs_per_s"] = benchmark::Counter(static_cast<double>(count) / seconds);
}

// A pool for the caller's side of a send, cleared now and then as a caller would.
class CallerPool {
public:
    explicit CallerPool(apr_pool_t *pool) : pool_(pool) {}
    apr_pool_t *next() {
        if (++uses_ % 256 == 0) edge_base_memory_pool_clear(pool_);
        return pool_;
    }

private:
    apr_pool_t *pool_;
    int64_t uses_ = 0;
};

enum class Kind {
    core,
    device_message,
    cmd_rsp
};

void BM_MqttConnsSend(benchmark::State &state) {
    const auto kind = static_cast<Kind>(state.range(0));
    Setup setup;
    if (!setup.ok()) {
        state.SkipWithError("setup failed");
        return;
    }
    std::string payload(kPayloadSize, 'x');
    // A command response of 256 bytes: its parameters are sized to make up the difference.
    const std::string paras = R"({"data":")" + std::string(kPayloadSize - 60, 'p') + "\"}";
    const std::string filter = kind == Kind::core ? "bench/#"
                               : kind == Kind::device_message
                                   ? std::string("$qx/modules/") + kModuleId + "/sys/messages/up"
                                   : std::string("$qx/modules/") + kModuleId + "/sys/commands/response/#";
    CallerPool pool(setup.pool());
    for (auto _ : state) {
        CountingSubscriber sub(setup.broker(), filter);
        const double seconds = publish_run(
            sub,
            [&] {
                switch (kind) {
                    case Kind::core:
                        return static_cast<int>(edge_mqtt_conns_send_message(setup.mgr(), "bench/data", payload.data(),
                                                                             kPayloadSize, nullptr, nullptr, 0));
                    case Kind::device_message:
                        return static_cast<int>(
                            edge_mqtt_conns_send_device_message(payload.data(), kPayloadSize, pool.next()));
                    case Kind::cmd_rsp:
                        break;
                }
                return static_cast<int>(edge_mqtt_conns_send_cmd_rsp("bench", "1234", 0, paras.data(),
                                                                     static_cast<uint32_t>(paras.size()), pool.next()));
            },
            kMessages, state);
        if (seconds < 0) {
            state.SkipWithError("run failed");
            break;
        }
        report(state, seconds, kMessages);
    }
}
BENCHMARK(BM_MqttConnsSend)
    ->ArgName("kind")
    ->Arg(static_cast<int>(Kind::core))
    ->Arg(static_cast<int>(Kind::device_message))
    ->Arg(static_cast<int>(Kind::cmd_rsp))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

// A raw Paho client with the options the kit builds (taken from the service's own client).
MQTTAsync connect_direct(Setup &setup, const char *client_id, MQTTAsync_messageArrived *on_message, void *context) {
    MQTTAsync handle = nullptr;
    edge_mqtt_client_t *model = setup.mgr()->client;
    MQTTAsync_create(&handle, model->server_uri, client_id, MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    MQTTAsync_connectOptions options = *model->conn_opts;
    options.context = nullptr;
    options.onSuccess = direct_connected;
    options.onFailure = nullptr;
    MQTTAsync_setCallbacks(handle, context, nullptr, on_message, direct_delivered);
    const int before = g_connected.load();
    if (MQTTAsync_connect(handle, &options) != MQTTASYNC_SUCCESS ||
        !wait_until([&] { return g_connected > before; }, 20s)) {
        MQTTAsync_destroy(&handle);
        return nullptr;
    }
    return handle;
}

void BM_MqttConnsSendDirect(benchmark::State &state) {
    Setup setup;
    if (!setup.ok()) {
        state.SkipWithError("setup failed");
        return;
    }
    MQTTAsync handle = connect_direct(setup, "bench-direct", direct_message, nullptr);
    if (handle == nullptr) {
        state.SkipWithError("connect failed");
        return;
    }
    std::string payload(kPayloadSize, 'x');
    for (auto _ : state) {
        CountingSubscriber sub(setup.broker(), "bench/#");
        const double seconds = publish_run(
            sub, [&] { return MQTTAsync_send(handle, "bench/data", kPayloadSize, payload.data(), 1, 0, nullptr); },
            kMessages, state);
        if (seconds < 0) {
            state.SkipWithError("run failed");
            break;
        }
        report(state, seconds, kMessages);
    }
    MQTTAsync_disconnect(handle, nullptr);
    MQTTAsync_destroy(&handle);
}
BENCHMARK(BM_MqttConnsSendDirect)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

// ------------------------------------------------------------------------------------------
// Command round trip

// The cloud side: publishes one command at a time and times the answer.
struct Peer {
    std::chrono::steady_clock::time_point sent_at;
    std::atomic<int> answers{0};
    std::vector<int64_t> latencies_us;  // written by the answer callback, read after each wait
};
Peer g_peer;

int peer_answer(void *, char *topic, int, MQTTAsync_message *message) {
    g_peer.latencies_us.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - g_peer.sent_at)
            .count());
    g_peer.answers.fetch_add(1, std::memory_order_release);
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
}

// The echo written on raw Paho: each command answered on the response topic + request id.
MQTTAsync g_raw_echo = nullptr;
const char *const kRawModuleId = "rawmod";
int raw_echo(void *, char *topic, int, MQTTAsync_message *message) {
    const std::string t(topic);
    const size_t at = t.find(EDGE_MQTT_CONNS_REQUEST_ID_MARKER);
    const std::string id = at == std::string::npos ? "" : t.substr(at + std::strlen(EDGE_MQTT_CONNS_REQUEST_ID_MARKER));
    const std::string response =
        std::string("$qx/modules/") + kRawModuleId + "/sys/commands/response" EDGE_MQTT_CONNS_REQUEST_ID_MARKER + id;
    MQTTAsync_send(g_raw_echo, response.c_str(), message->payloadlen, message->payload, 1, 0, nullptr);
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
}

int64_t percentile(std::vector<int64_t> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return values[at];
}

// The kit's client turns Nagle's algorithm off on its connection to the broker; the raw
// echo and the cloud-side peer get the same, so that the comparison shows the libraries'
// own cost and not TCP's delayed acknowledgements.
void no_delay_to(int port) {
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != port)
            continue;
        const int on = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
}

void BM_MqttConnsCommandRoundTrip(benchmark::State &state) {
    const bool raw = state.range(0) != 0;
    Setup setup;
    if (!setup.ok()) {
        state.SkipWithError("setup failed");
        return;
    }
    const std::string module = raw ? kRawModuleId : kModuleId;
    if (raw) {
        g_raw_echo = connect_direct(setup, "bench-raw-echo", raw_echo, nullptr);
        if (g_raw_echo == nullptr) {
            state.SkipWithError("echo connect failed");
            return;
        }
        MQTTAsync_subscribe(g_raw_echo, ("$qx/modules/" + module + "/sys/commands/+").c_str(), 1, nullptr);
    } else {
        edge_mqtt_conns_set_callback(answer_command, kit_connected, nullptr);
    }
    MQTTAsync peer = connect_direct(setup, "bench-peer", peer_answer, nullptr);
    if (peer == nullptr) {
        state.SkipWithError("peer connect failed");
        return;
    }
    MQTTAsync_subscribe(peer, ("$qx/modules/" + module + "/sys/commands/response/#").c_str(), 1, nullptr);
    no_delay_to(setup.broker().port());
    const std::string command_topic = "$qx/modules/" + module + "/sys/commands/request_id=";
    const std::string body = R"({"cmd":"ping","n":1})";
    auto round_trip = [&](int i, std::chrono::milliseconds limit) {
        const int before = g_peer.answers.load(std::memory_order_acquire);
        g_peer.sent_at = std::chrono::steady_clock::now();
        MQTTAsync_send(peer, (command_topic + std::to_string(i)).c_str(), static_cast<int>(body.size()), body.data(), 1,
                       0, nullptr);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (g_peer.answers.load(std::memory_order_acquire) == before) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    };
    // Until both subscriptions are in force, then a warm-up.
    bool ready = false;
    for (int i = 0; i < 100 && !ready; ++i) ready = round_trip(i, 200ms);
    for (int i = 0; i < 20 && ready; ++i) ready = round_trip(i, 5s);
    if (!ready) {
        state.SkipWithError("no answer");
    } else {
        for (auto _ : state) {
            g_peer.latencies_us.clear();
            const auto start = std::chrono::steady_clock::now();
            const int count = 300;
            for (int i = 0; i < count; ++i) {
                if (!round_trip(i, 5s)) {
                    state.SkipWithError("answer lost");
                    break;
                }
            }
            state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            state.counters["p50_us"] = static_cast<double>(percentile(g_peer.latencies_us, 0.50));
            state.counters["p99_us"] = static_cast<double>(percentile(g_peer.latencies_us, 0.99));
        }
    }
    MQTTAsync_disconnect(peer, nullptr);
    MQTTAsync_destroy(&peer);
    if (g_raw_echo != nullptr) {
        MQTTAsync_disconnect(g_raw_echo, nullptr);
        MQTTAsync_destroy(&g_raw_echo);
    }
}
BENCHMARK(BM_MqttConnsCommandRoundTrip)
    ->ArgName("raw")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

// ------------------------------------------------------------------------------------------
// Heap retained per send once warm

void BM_MqttConnsHeapPerSend(benchmark::State &state) {
    Setup setup;
    if (!setup.ok()) {
        state.SkipWithError("setup failed");
        return;
    }
    std::string payload(kPayloadSize, 'x');
    CallerPool pool(setup.pool());
    // Sends `count` device messages and waits until every delivery completed.
    auto run = [&](int64_t count) {
        g_delivered = 0;
        for (int64_t sent = 0; sent < count;) {
            if (sent - g_delivered.load(std::memory_order_relaxed) >= kWindow) {
                std::this_thread::yield();
                continue;
            }
            if (edge_mqtt_conns_send_device_message(payload.data(), kPayloadSize, pool.next()) != EDGE_OK) return false;
            ++sent;
        }
        return wait_until([&] { return g_delivered.load() >= count; }, 60s);
    };
    for (auto _ : state) {
        if (!run(5000)) {
            state.SkipWithError("warm-up failed");
            break;
        }
        const size_t before = mallinfo2().uordblks;
        const int64_t count = 20000;
        if (!run(count)) {
            state.SkipWithError("run failed");
            break;
        }
        const size_t after = mallinfo2().uordblks;
        state.counters["heap_bytes_per_send"] =
            (static_cast<double>(after) - static_cast<double>(before)) / static_cast<double>(count);
    }
}
BENCHMARK(BM_MqttConnsHeapPerSend)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

}  // namespace
