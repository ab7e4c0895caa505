// The MQTT client against a real mosquitto broker over TLS, with the mosquitto command-line
// clients as its peers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "mqtt_test_common.hpp"

using namespace mqtt_test;
using gravel::test::MosquittoBroker;
using gravel::test::MqttSubscriber;
using gravel::test::wait_until;

namespace {

class MqttBroker : public gravel::test::WithBroker<MqttTest> {
protected:
    // Subscribes the client and returns once the subscription is in force: the client's own
    // sync publish on `probe_topic` (which the filter must match) has come back to it.
    void subscribe_and_wait(edge_mqtt_client_t *client, const std::string &filter, const std::string &probe_topic) {
        ASSERT_EQ(edge_mqtt_subscribe(client, filter.c_str(), 1), EDGE_OK);
        ASSERT_EQ(edge_mqtt_publish(client, probe_topic.c_str(), "probe", 5, 1, 3000), EDGE_OK);
        ASSERT_TRUE(wait_until(
            [&] {
                for (const auto &m : events().messages()) {
                    if (m.topic == probe_topic) return true;
                }
                return false;
            },
            10s));
    }
};

}  // namespace

TEST_F(MqttBroker, ConnectedHandlerRunsAfterConnect) {
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    EXPECT_TRUE(logged("INFO mqtt: " + ptr_text(client) + " connect"));
    EXPECT_TRUE(logged("DEBUG mqtt connected."));
    EXPECT_TRUE(events().causes().empty());
}

// A response written right after the library's acknowledgement of a command must not wait for
// the broker's delayed acknowledgement: the connection's socket has Nagle's algorithm off.
TEST_F(MqttBroker, TheConnectionToTheBrokerSendsWithoutDelay) {
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    std::vector<int> no_delay;  // TCP_NODELAY of each socket of this process connected to the broker
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != broker_->port())
            continue;
        int value = -1;
        length = sizeof value;
        ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
        no_delay.push_back(value);
    }
    ASSERT_EQ(no_delay.size(), 1u) << "one connection to the broker expected";
    EXPECT_NE(no_delay[0], 0);
}

TEST_F(MqttBroker, PublishedMessagesArriveByteExact) {
    MqttSubscriber sub(*broker_, "up/#");
    ASSERT_TRUE(sub.wait_subscribed(10s)) << sub.output();
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);

    std::string all_bytes;
    for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
    struct Case {
        std::string topic;
        std::string payload;
        bool null_payload;
    } cases[] = {{"up/text", "hello broker", false},
                 {"up/binary", std::string("\0a\0\xff\r\n", 6), false},
                 {"up/all-bytes", all_bytes, false},
                 {"up/empty", "", false},
                 {"up/empty-null", "", true}};
    for (const auto &c : cases) {
        const void *payload = c.null_payload ? nullptr : c.payload.data();
        ASSERT_EQ(edge_mqtt_publish(client, c.topic.c_str(), payload, static_cast<int32_t>(c.payload.size()), 1, 0),
                  EDGE_OK)
            << c.topic;
    }
    ASSERT_TRUE(sub.wait_messages(std::size(cases), 10s)) << sub.output();
    const auto got = sub.messages();
    ASSERT_EQ(got.size(), std::size(cases));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].topic, cases[i].topic);
        EXPECT_EQ(got[i].payload, cases[i].payload) << cases[i].topic;
        EXPECT_EQ(got[i].qos, 1);
        EXPECT_FALSE(got[i].retained);
    }
    // Every QoS 1 delivery completed with its own token.
    ASSERT_TRUE(wait_until([&] { return events().tokens().size() == std::size(cases); }, 10s));
    auto tokens = events().tokens();
    std::sort(tokens.begin(), tokens.end());
    EXPECT_EQ(std::unique(tokens.begin(), tokens.end()), tokens.end());
}

TEST_F(MqttBroker, SyncPublishWaitsForCompletion) {
    MqttSubscriber sub(*broker_, "sync/#");
    ASSERT_TRUE(sub.wait_subscribed(10s)) << sub.output();
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);

    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(edge_mqtt_publish(client, "sync/one", "payload", 7, 1, 3000), EDGE_OK);
    const auto took = std::chrono::steady_clock::now() - started;
    // Completion is the broker's acknowledgement: by the time the call returns, the
    // delivery-complete notification has run.
    const auto tokens = events().tokens();
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(
        logged("DEBUG sync sending, waiting at most 3 seconds for completing, token: " + std::to_string(tokens[0])));
    ASSERT_TRUE(sub.wait_messages(1, 10s)) << sub.output();
    EXPECT_EQ(sub.messages()[0].payload, "payload");
}

TEST_F(MqttBroker, SubscribedMessagesReachTheHandlerWithTheTopicTextLength) {
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    subscribe_and_wait(client, "down/#", "down/probe");
    ASSERT_EQ(edge_mqtt_subscribe(client, "other/#", 1), EDGE_OK);
    EXPECT_TRUE(logged("INFO mqtt: " + ptr_text(client) + " subscribe topic: down/# qos: 1"));

    struct Case {
        std::string topic;
        std::string payload;
    } cases[] = {{"down/cmd/request_id=17", "{\"a\":1}"},
                 {"down/binary", std::string("\x00\x01\xfe\xff", 4)},
                 {"down/empty", ""},
                 {"other/deep/topic/level", "x"}};
    for (const auto &c : cases) ASSERT_EQ(gravel::test::mqtt_publish(*broker_, c.topic, c.payload), 0) << c.topic;
    ASSERT_TRUE(wait_until([&] { return events().messages().size() >= 1 + std::size(cases); }, 10s));
    const auto got = events().messages();
    ASSERT_EQ(got.size(), 1 + std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(got[i + 1].topic, cases[i].topic);
        EXPECT_EQ(got[i + 1].topic_len, static_cast<int32_t>(cases[i].topic.size()));
        EXPECT_EQ(got[i + 1].payload, cases[i].payload);
    }
    EXPECT_TRUE(logged("DEBUG mqtt recv message, topic:down/binary, len:4."));
}

TEST_F(MqttBroker, UnsubscribedTopicsStopArriving) {
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    subscribe_and_wait(client, "keep/#", "keep/probe");
    subscribe_and_wait(client, "drop/#", "drop/probe");
    ASSERT_EQ(edge_mqtt_unsubscribe(client, "drop/#"), EDGE_OK);
    EXPECT_TRUE(logged("INFO mqtt: " + ptr_text(client) + " unsubcribe topic: drop/#"));
    // The unsubscribe is in force once a later round trip of the client's own has completed.
    ASSERT_EQ(edge_mqtt_publish(client, "keep/after", "k", 1, 1, 3000), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return events().messages().size() == 3; }, 10s));
    // Sent in this order by one peer after the other: once keep/last arrived, drop/x would have.
    ASSERT_EQ(gravel::test::mqtt_publish(*broker_, "drop/x", "dropped"), 0);
    ASSERT_EQ(gravel::test::mqtt_publish(*broker_, "keep/last", "kept"), 0);
    ASSERT_TRUE(wait_until([&] { return events().messages().size() >= 4; }, 10s));
    std::vector<std::string> topics;
    for (const auto &m : events().messages()) topics.push_back(m.topic);
    EXPECT_EQ(topics, (std::vector<std::string>{"keep/probe", "drop/probe", "keep/after", "keep/last"}));
}

TEST_F(MqttBroker, WithoutAMessageHandlerTheMessageStaysWithTheLibrary) {
    edge_mqtt_client_t *client = create(*broker_, false);
    ASSERT_EQ(edge_mqtt_set_callback(client, nullptr, on_lost, nullptr, on_connected), EDGE_OK);
    connect_and_wait(client);
    ASSERT_EQ(edge_mqtt_subscribe(client, "held/#", 1), EDGE_OK);
    // The client's own publish comes back to it once the subscription is in force; with no
    // handler it is only logged and stays queued in the library, which offers it again
    // whenever the connection has traffic.
    ASSERT_EQ(edge_mqtt_publish(client, "held/one", "first", 5, 1, 3000), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return logged("DEBUG mqtt recv message, topic:held/one, len:5."); }, 10s));
    ASSERT_EQ(edge_mqtt_publish(client, "held/two", "second", 6, 1, 3000), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return count_logged("DEBUG mqtt recv message, topic:held/one, len:5.") >= 2; }, 10s));
    EXPECT_TRUE(events().messages().empty());
    // A handler set now gets the kept message first, then the ones queued behind it. The
    // library hands over one queued message per round of traffic, so keep some coming.
    ASSERT_EQ(edge_mqtt_set_callback(client, nullptr, nullptr, on_message, nullptr), EDGE_OK);
    for (int i = 0; i < 20 && events().messages().size() < 2; ++i) {
        const std::string nudge = "held/nudge-" + std::to_string(i);
        ASSERT_EQ(edge_mqtt_publish(client, nudge.c_str(), "n", 1, 1, 3000), EDGE_OK);
        wait_until([&] { return events().messages().size() >= 2; }, 200ms);
    }
    const auto got = events().messages();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[0].topic, "held/one");
    EXPECT_EQ(got[0].payload, "first");
    EXPECT_EQ(got[1].topic, "held/two");
    EXPECT_EQ(got[1].payload, "second");
}

TEST_F(MqttBroker, KillingTheBrokerCallsTheConnectionLostHandler) {
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    broker_->kill();
    ASSERT_TRUE(wait_until([&] { return !events().causes().empty(); }, 20s));
    EXPECT_TRUE(logged("DEBUG mqtt connection lost."));
    EXPECT_FALSE(logged("DEBUG mqtt connect failed."));
    // The cause is what the MQTT library gives; Paho's asynchronous library passes none.
    EXPECT_EQ(events().causes().size(), 1u);
    EXPECT_EQ(events().connected_count(), 1);

    // Nothing reconnects by itself; after a restart on the same port a new attempt succeeds.
    broker_->start();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(events().connected_count(), 1);
    connect_and_wait(client);
    EXPECT_EQ(events().connected_count(), 2);
}

// The MQTT library records only its errors in its trace: by default it would record every
// function entry and exit of its threads, on every call.
namespace {
std::mutex g_trace_lock;
int g_function_traces = 0;
// A function entry reads "... (<depth>)> <function>:<line>", an exit "... (<depth>)< ...".
void count_trace(enum MQTTASYNC_TRACE_LEVELS, char *message) {
    if (message != nullptr && (std::strstr(message, ")> ") != nullptr || std::strstr(message, ")< ") != nullptr)) {
        std::lock_guard<std::mutex> guard(g_trace_lock);
        ++g_function_traces;
    }
}
}  // namespace

TEST_F(MqttBroker, TheMqttLibraryTracesOnlyItsErrors) {
    MQTTAsync_setTraceCallback(count_trace);
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    ASSERT_EQ(edge_mqtt_publish(client, "up/trace", "x", 1, 1, 3000), EDGE_OK);
    remove(client);
    MQTTAsync_setTraceCallback(nullptr);
    std::lock_guard<std::mutex> guard(g_trace_lock);
    EXPECT_EQ(g_function_traces, 0);
}

TEST_F(MqttBroker, DisconnectClosesCleanlyWithoutNotifyingALoss) {
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    EXPECT_EQ(edge_mqtt_disconnect(client), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return broker_->log().find(" disconnected.") != std::string::npos; }, 10s))
        << broker_->log();
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(events().causes().empty());
    EXPECT_TRUE(logged("INFO mqtt: " + ptr_text(client) + " disconnect"));
}

TEST_F(MqttBroker, DeleteWithoutDisconnectDropsTheConnection) {
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    const std::string p = ptr_text(client);
    const std::string id = last_client_id_;
    remove(client);
    events().mark_deleted();
    EXPECT_TRUE(logged("INFO mqtt: " + p + " delete."));
    // Releasing the handle ends the session (the MQTT library closes it on its way out).
    ASSERT_TRUE(
        wait_until([&] { return broker_->log().find("Client " + id + " disconnected.") != std::string::npos; }, 10s))
        << broker_->log();
    EXPECT_EQ(events().after_delete(), 0);
    // The broker is still fine for a new client.
    connect_and_wait(create(*broker_));
}

// A publish that returned 0 reaches the broker even when its client is deleted right after
// (a module answering its last commands as it stops): delete first lets what the connected
// client accepted go out.
TEST_F(MqttBroker, DeleteRightAfterPublishingDeliversEveryAcceptedMessage) {
    MqttSubscriber sub(*broker_, "last/#");
    ASSERT_TRUE(sub.wait_subscribed(10s)) << sub.output();
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    constexpr int kMessages = 200;  // more than the 100 in flight: some are still queued
    for (int i = 0; i < kMessages; ++i) {
        const std::string payload = std::to_string(i);
        ASSERT_EQ(edge_mqtt_publish(client, "last/answer", payload.data(), static_cast<int32_t>(payload.size()), 1, 0),
                  EDGE_OK);
    }
    remove(client);
    EXPECT_TRUE(sub.wait_messages(kMessages, 10s)) << sub.messages().size() << " of " << kMessages << " arrived";
    const auto got = sub.messages();
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].payload, std::to_string(i));
}

// A broker that takes messages but acknowledges nothing holds delete up for the bounded wait
// only.
TEST_F(MqttBroker, DeleteWaitsForUnacknowledgedMessagesABoundedTime) {
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    broker_->freeze();
    for (int i = 0; i < 10; ++i) ASSERT_EQ(edge_mqtt_publish(client, "stuck/x", "x", 1, 1, 0), EDGE_OK);
    const auto started = std::chrono::steady_clock::now();
    remove(client);
    const auto took = std::chrono::steady_clock::now() - started;
    broker_->thaw();
    const auto wait = std::chrono::milliseconds(EDGE_MQTT_DELETE_DELIVERY_WAIT_MS);
    EXPECT_GE(took, wait - 50ms) << "delete did not wait for the unacknowledged messages";
    EXPECT_LT(took, wait + 2s);
}

// Connect attempts that fail end in the connection-lost handler with a null cause, and in
// nothing else.
struct FailureCase {
    const char *name;
    const char *cert;   // the broker's certificate
    bool stop_broker;   // the broker is not running at all
    bool lost_handler;  // a connection-lost handler is set
};

void PrintTo(const FailureCase &c, std::ostream *os) {
    *os << c.name;
}

class MqttConnectFailure : public MqttTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(MqttConnectFailure, EndsInTheConnectionLostHandlerWithANullCause) {
    const FailureCase &c = GetParam();
    MosquittoBroker broker(pki_, c.cert);
    broker.start();
    if (c.stop_broker) broker.stop();
    edge_mqtt_client_t *client = create(broker, false);
    ASSERT_EQ(
        edge_mqtt_set_callback(client, on_delivered, c.lost_handler ? on_lost : nullptr, on_message, on_connected),
        EDGE_OK);
    ASSERT_EQ(edge_mqtt_connect(client), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return logged("DEBUG mqtt connect failed."); }, 20s));
    std::this_thread::sleep_for(300ms);  // anything else would show up now
    if (c.lost_handler) {
        EXPECT_EQ(events().causes(), (std::vector<std::optional<std::string>>{std::nullopt}));
    }
    EXPECT_EQ(events().total(), c.lost_handler ? 1 : 0);
    EXPECT_EQ(count_logged("DEBUG mqtt connect failed."), 1u);
    EXPECT_FALSE(logged("DEBUG mqtt connected."));
    EXPECT_FALSE(logged("DEBUG mqtt connection lost."));
}

INSTANTIATE_TEST_SUITE_P(Cases, MqttConnectFailure,
                         ::testing::Values(FailureCase{"StoppedBroker", "server", true, true},
                                           FailureCase{"UntrustedCertificate", "untrusted", false, true},
                                           FailureCase{"StoppedBrokerNoHandler", "server", true, false}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });
