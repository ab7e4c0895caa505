// The MQTT client's cost over the Paho library it wraps.
//
// Publish throughput: QoS 1 messages of 256 bytes to a local mosquitto over TLS, counted as
// received by a mosquitto_sub subscriber, published once through edge_mqtt_publish and once
// through MQTTAsync_send on a Paho client with the same connect and TLS options. Both keep
// at most 100 messages in flight (the client's maxInflight), waiting on delivery-complete
// notifications. The argument is the message count; the second, for the kit, selects the log
// configuration (0: INFO filtered out, 1: INFO written to a file).
//
// Notification path: what edge_mqtt_message_arrived_callback adds to an inbound message over
// a bare Paho callback that calls the same handler and releases the message the same way; and
// what edge_mqtt_delivery_complete_callback adds over a bare callback, with nothing to
// allocate or release around it.
//
// These start a broker and take tens of seconds: run them by hand, for example
//   build/release/bench/gravel-bench --benchmark_filter='Mqtt'
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <gravel/edge_mqtt.h>

#include "gravel_test_support.hpp"
#include "mosquitto_broker.hpp"

namespace {

using namespace std::chrono_literals;
using gravel::test::wait_until;

constexpr int kPayloadSize = 256;
constexpr int kWindow = EDGE_MQTT_MAX_INFLIGHT;

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

// A work dir with the test CA, the base runtime and the MQTT client library, and a broker.
class Setup {
public:
    explicit Setup(bool log_info) {
        pki_.install_ca(work_);
        if (!log_info) {
            gravel::test::write_file(work_.file("conf/sdk_log.conf"),
                                     "[rules]\nsdk_rule.WARN \"" + work_.log_path() + "\"\n");
        } else {
            gravel::test::write_file(
                work_.file("conf/sdk_log.conf"),
                "[formats]\nline = \"%d(%F %T).%ms %-5V [%f:%L] %m%n\"\n[rules]\nsdk_rule.INFO \"" + work_.log_path() +
                    "\"; line\n");
        }
        ok_ = edge_base_init(work_.path().c_str(), "bench") == EDGE_OK && edge_mqtt_init() == EDGE_OK;
        broker_ = std::make_unique<gravel::test::MosquittoBroker>(pki_);
        broker_->start();
        pool_ = edge_MQTT_MGR_mgr_create_pool();
    }
    ~Setup() {
        broker_.reset();
        edge_mqtt_destroy();
        edge_base_destroy();
    }
    bool ok() const { return ok_ && pool_ != nullptr; }
    gravel::test::MosquittoBroker &broker() { return *broker_; }
    apr_pool_t *pool() const { return pool_; }

private:
    gravel::test::WorkDir work_;
    gravel::test::TestPki pki_;
    std::unique_ptr<gravel::test::MosquittoBroker> broker_;
    apr_pool_t *pool_ = nullptr;
    bool ok_ = false;
};

// mosquitto_sub printing one line per message: "256" for measured messages, "1" for probes.
class CountingSubscriber {
public:
    explicit CountingSubscriber(gravel::test::MosquittoBroker &broker) {
        process_ = std::make_unique<gravel::test::ChildProcess>(
            std::vector<std::string>{"stdbuf", "-oL", "mosquitto_sub", "-h", broker.host(), "-p",
                                     std::to_string(broker.port()), "--cafile", broker.ca(), "-q", "1", "-t", "bench/#",
                                     "-F", "%l"},
            dir_.file("sub.out"));
    }
    uintmax_t bytes() const {
        std::error_code ec;
        auto n = std::filesystem::file_size(dir_.file("sub.out"), ec);
        return ec ? 0 : n;
    }
    bool saw_probe() const { return gravel::test::read_file(dir_.file("sub.out")).find("1\n") != std::string::npos; }

private:
    gravel::test::TempDir dir_;
    std::unique_ptr<gravel::test::ChildProcess> process_;
};

// Publishes `count` messages with `send` (returning the MQTT library's result), at most
// kWindow in flight, and returns the seconds until the subscriber has them all; negative on
// failure.
template <typename Send>
double publish_run(CountingSubscriber &sub, Send &&send, int64_t count, benchmark::State &state) {
    // Probes until the subscription is in force; they print as "1\n" and are not counted.
    bool subscribed = false;
    for (int i = 0; i < 100 && !subscribed; ++i) {
        send("bench/probe", "p", 1);
        subscribed = wait_until([&] { return sub.saw_probe(); }, 100ms);
    }
    if (!subscribed) return -1;
    std::this_thread::sleep_for(300ms);  // late probes settle before the count starts
    const uintmax_t base = sub.bytes();
    const uintmax_t target = base + static_cast<uintmax_t>(count) * 4;  // "256\n" per message

    char payload[kPayloadSize];
    std::memset(payload, 'x', sizeof payload);
    g_delivered = 0;
    int64_t retries = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int64_t sent = 0; sent < count;) {
        if (sent - g_delivered.load(std::memory_order_relaxed) >= kWindow) {
            std::this_thread::yield();
            continue;
        }
        const int rc = send("bench/data", payload, kPayloadSize);
        if (rc == MQTTASYNC_SUCCESS) {
            ++sent;
        } else if (rc == MQTTASYNC_MAX_MESSAGES_INFLIGHT) {
            ++retries;
            std::this_thread::yield();
        } else {
            state.SkipWithError(("send failed: " + std::to_string(rc)).c_str());
            return -1;
        }
    }
    if (!wait_until([&] { return sub.bytes() >= target; }, std::chrono::milliseconds(300000))) return -1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["inflight_retries"] = static_cast<double>(retries);
    return seconds;
}

void report(benchmark::State &state, double seconds, int64_t count) {
    state.SetIterationTime(seconds);
    state.counters["msgs_per_s"] = benchmark::Counter(static_cast<double>(count) / seconds);
}

void BM_MqttPublishKit(benchmark::State &state) {
    const int64_t count = state.range(0);
    Setup setup(state.range(1) != 0);
    if (!setup.ok()) {
        state.SkipWithError("setup failed");
        return;
    }
    edge_mqtt_client_t *client = edge_mqtt_create(setup.broker().host().c_str(), setup.broker().port(), "bench-kit",
                                                  "module", "password", setup.pool());
    edge_mqtt_set_callback(client, kit_delivered, nullptr, nullptr, kit_connected);
    g_connected = 0;
    if (client == nullptr || edge_mqtt_connect(client) != EDGE_OK || !wait_until([] { return g_connected > 0; }, 20s)) {
        state.SkipWithError("connect failed");
        edge_mqtt_delete(client);
        return;
    }
    for (auto _ : state) {
        CountingSubscriber sub(setup.broker());
        const double seconds = publish_run(
            sub,
            [&](const char *topic, const void *payload, int len) {
                return static_cast<int>(edge_mqtt_publish(client, topic, payload, len, 1, 0));
            },
            count, state);
        if (seconds < 0) {
            state.SkipWithError("run failed");
            break;
        }
        report(state, seconds, count);
    }
    edge_mqtt_disconnect(client);
    edge_mqtt_delete(client);
}
BENCHMARK(BM_MqttPublishKit)
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

void BM_MqttPublishDirect(benchmark::State &state) {
    const int64_t count = state.range(0);
    Setup setup(false);
    if (!setup.ok()) {
        state.SkipWithError("setup failed");
        return;
    }
    // The options the kit builds, taken from a kit client that never connects.
    edge_mqtt_client_t *model = edge_mqtt_create(setup.broker().host().c_str(), setup.broker().port(), "bench-model",
                                                 "module", "password", setup.pool());
    if (model == nullptr) {
        state.SkipWithError("create failed");
        return;
    }
    MQTTAsync handle = nullptr;
    MQTTAsync_create(&handle, model->server_uri, "bench-direct", MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    MQTTAsync_connectOptions options = *model->conn_opts;
    options.context = nullptr;
    options.onSuccess = direct_connected;
    options.onFailure = nullptr;
    MQTTAsync_setCallbacks(handle, nullptr, nullptr, direct_message, direct_delivered);
    g_connected = 0;
    if (MQTTAsync_connect(handle, &options) != MQTTASYNC_SUCCESS || !wait_until([] { return g_connected > 0; }, 20s)) {
        state.SkipWithError("connect failed");
    } else {
        for (auto _ : state) {
            CountingSubscriber sub(setup.broker());
            const double seconds = publish_run(
                sub,
                [&](const char *topic, const void *payload, int len) {
                    return MQTTAsync_send(handle, topic, len, payload, 1, 0, nullptr);
                },
                count, state);
            if (seconds < 0) {
                state.SkipWithError("run failed");
                break;
            }
            report(state, seconds, count);
        }
        MQTTAsync_disconnect(handle, nullptr);
    }
    MQTTAsync_destroy(&handle);
    edge_mqtt_delete(model);
}
BENCHMARK(BM_MqttPublishDirect)
    ->Arg(100000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

// ------------------------------------------------------------------------------------------
// Inbound notification path, without network: the same message, allocated by Paho's allocator
// in both variants, goes through the kit's entry point or through a bare callback.

uint32_t noop_handler(const char *topic, int32_t topic_len, const void *payload, int32_t payload_len) {
    benchmark::DoNotOptimize(topic);
    benchmark::DoNotOptimize(topic_len);
    benchmark::DoNotOptimize(payload);
    benchmark::DoNotOptimize(payload_len);
    return 0;
}

struct BareContext {
    edge_mqtt_message_fn handler;
};

// What a Paho application without the kit writes: call the handler, release, report handled.
int bare_message_arrived(void *context, char *topic, int topic_len, MQTTAsync_message *message) {
    auto *ctx = static_cast<BareContext *>(context);
    (void)ctx->handler(topic, topic_len, message->payload, message->payloadlen);
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
}

void make_message(char **topic, MQTTAsync_message **message) {
    static const char text[] = "module/abc/command/request_id=1234";
    *topic = static_cast<char *>(MQTTAsync_malloc(sizeof text));
    std::memcpy(*topic, text, sizeof text);
    *message = static_cast<MQTTAsync_message *>(MQTTAsync_malloc(sizeof(MQTTAsync_message)));
    **message = MQTTAsync_message_initializer;
    (*message)->payloadlen = kPayloadSize;
    (*message)->payload = MQTTAsync_malloc(kPayloadSize);
    std::memset((*message)->payload, 'y', kPayloadSize);
}

void BM_MqttNotifyBare(benchmark::State &state) {
    Setup setup(false);
    // A client exists so that Paho's allocator is set up, as it is in a running module.
    edge_mqtt_client_t *client =
        edge_mqtt_create("127.0.0.1", setup.broker().port(), "bench-bare", "m", "p", setup.pool());
    BareContext ctx{noop_handler};
    for (auto _ : state) {
        char *topic;
        MQTTAsync_message *message;
        make_message(&topic, &message);
        benchmark::DoNotOptimize(bare_message_arrived(&ctx, topic, 0, message));
    }
    edge_mqtt_delete(client);
}
BENCHMARK(BM_MqttNotifyBare);

void BM_MqttNotifyKit(benchmark::State &state) {
    Setup setup(false);  // DEBUG filtered out, as deployed
    edge_mqtt_client_t *client =
        edge_mqtt_create("127.0.0.1", setup.broker().port(), "bench-kit", "m", "p", setup.pool());
    edge_mqtt_set_callback(client, nullptr, nullptr, noop_handler, nullptr);
    for (auto _ : state) {
        char *topic;
        MQTTAsync_message *message;
        make_message(&topic, &message);
        benchmark::DoNotOptimize(edge_mqtt_message_arrived_callback(client, topic, 0, message));
    }
    edge_mqtt_delete(client);
}
BENCHMARK(BM_MqttNotifyKit);

// The same comparison for a notification that carries no message (delivery complete): what
// remains is the kit's own work per notification, without the allocator's cost around it.
void noop_delivered(int32_t token) {
    benchmark::DoNotOptimize(token);
}

struct BareDeliveryContext {
    edge_mqtt_delivery_complete_fn handler;
};

void bare_delivery_complete(void *context, MQTTAsync_token token) {
    static_cast<BareDeliveryContext *>(context)->handler(token);
}

void BM_MqttDeliveryBare(benchmark::State &state) {
    BareDeliveryContext ctx{noop_delivered};
    // Called through a pointer the compiler cannot see through, as the library calls it.
    MQTTAsync_deliveryComplete *volatile callback = bare_delivery_complete;
    benchmark::DoNotOptimize(&ctx);
    MQTTAsync_token token = 0;
    for (auto _ : state) {
        callback(&ctx, ++token);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MqttDeliveryBare);

void BM_MqttDeliveryKit(benchmark::State &state) {
    Setup setup(false);  // DEBUG filtered out, as deployed
    edge_mqtt_client_t *client =
        edge_mqtt_create("127.0.0.1", setup.broker().port(), "bench-kit", "m", "p", setup.pool());
    edge_mqtt_set_callback(client, noop_delivered, nullptr, nullptr, nullptr);
    MQTTAsync_deliveryComplete *volatile callback = edge_mqtt_delivery_complete_callback;
    MQTTAsync_token token = 0;
    for (auto _ : state) {
        callback(client, ++token);
        benchmark::ClobberMemory();
    }
    edge_mqtt_delete(client);
}
BENCHMARK(BM_MqttDeliveryKit);

}  // namespace
