// Notifications on the MQTT library's threads: no handler of a deleted client runs after
// edge_mqtt_delete returns, a sync publish from a handler cannot hang the library, and
// handler slots may change while notifications run.
#include "mqtt_test_common.hpp"

using namespace mqtt_test;
using gravel::test::MosquittoBroker;
using gravel::test::MqttSubscriber;
using gravel::test::SlowProxy;
using gravel::test::wait_until;

namespace {

using MqttThreads = gravel::test::WithBroker<MqttTest>;

// The client a handler publishes its reply with; handlers take no context.
std::atomic<edge_mqtt_client_t *> g_reply_client{nullptr};
std::atomic<uint32_t> g_reply_status{0};
std::atomic<int64_t> g_reply_ms{-1};

uint32_t reply_from_handler(const char *topic, int32_t topic_len, const void *payload, int32_t payload_len) {
    events().message(topic, topic_len, payload, payload_len);
    if (std::string(topic) != "ask/now") return EDGE_OK;
    const auto started = std::chrono::steady_clock::now();
    g_reply_status = edge_mqtt_publish(g_reply_client.load(), "reply/now", "answer", 6, 1, 3000);
    g_reply_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    return EDGE_OK;
}

uint32_t other_message_handler(const char *topic, int32_t topic_len, const void *payload, int32_t payload_len) {
    return events().message(topic, topic_len, payload, payload_len);
}

}  // namespace

TEST_F(MqttThreads, NoHandlerRunsAfterDeleteWhileTheBrokerIsSlowToAnswer) {
    // The proxy takes the TCP connection at once but says nothing for a while: the connect
    // attempt is in the middle of its TLS handshake when the client is deleted, and the
    // broker's answer comes after delete returned.
    SlowProxy proxy(broker_->port(), 3s);
    edge_mqtt_client_t *client = create(broker_->host(), proxy.port());
    ASSERT_EQ(edge_mqtt_connect(client), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return proxy.accepted() >= 1; }, 10s));
    std::this_thread::sleep_for(200ms);
    remove(client);
    events().mark_deleted();
    ASSERT_EQ(proxy.forwarded(), 0) << "the broker answered before the delete: nothing was tested";
    ASSERT_TRUE(wait_until([&] { return proxy.forwarded() >= 1; }, 10s));
    std::this_thread::sleep_for(1s);  // the broker's answer has had time to come back
    EXPECT_EQ(events().total(), 0);
    EXPECT_EQ(events().after_delete(), 0);
    // Deleting does not leave the library unusable for the next client.
    connect_and_wait(create(*broker_));
}

TEST_F(MqttThreads, NoHandlerRunsAfterDeleteAtAnyPointOfTheConnection) {
    // Delete at varied moments: before the connect completes, around the connected
    // notification, while messages flow. Any handler call after delete returned is counted;
    // ASan and TSan watch the record's memory and fields.
    MqttSubscriber unused(*broker_, "race/none");
    for (int round = 0; round < 12; ++round) {
        events().reset();
        edge_mqtt_client_t *client = create(*broker_);
        ASSERT_NE(client, nullptr);
        ASSERT_EQ(edge_mqtt_connect(client), EDGE_OK);
        if (round % 3 == 2) {
            // Messages come back while the client is deleted. The publishes themselves are
            // complete first: Paho 1.3.12 leaks its copies of publishes still queued when a
            // client is destroyed, which is not what this test is about.
            ASSERT_TRUE(wait_until([&] { return events().connected_count() == 1; }, 10s));
            ASSERT_EQ(edge_mqtt_subscribe(client, "race/#", 1), EDGE_OK);
            for (int i = 0; i < 20; ++i) ASSERT_EQ(edge_mqtt_publish(client, "race/x", "payload", 7, 1, 0), EDGE_OK);
            ASSERT_TRUE(wait_until([&] { return events().tokens().size() == 20; }, 10s));
            std::this_thread::sleep_for(std::chrono::milliseconds(round));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(round * 15));
        }
        remove(client);
        events().mark_deleted();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(events().after_delete(), 0) << "round " << round;
    }
}

TEST_F(MqttThreads, SyncPublishFromAHandlerDoesNotWaitOnItself) {
    // Waiting there would wait for the thread that runs the handler: the delivery cannot
    // complete before the handler returns, so the wait would stall the library for its whole
    // length and then report a failure for a message that does go out.
    MqttSubscriber replies(*broker_, "reply/#");
    ASSERT_TRUE(replies.wait_subscribed(10s)) << replies.output();
    edge_mqtt_client_t *client = create(*broker_);
    ASSERT_EQ(edge_mqtt_set_callback(client, nullptr, nullptr, reply_from_handler, nullptr), EDGE_OK);
    g_reply_client = client;
    g_reply_ms = -1;
    connect_and_wait(client);
    ASSERT_EQ(edge_mqtt_subscribe(client, "ask/#", 1), EDGE_OK);
    ASSERT_EQ(edge_mqtt_publish(client, "ask/probe", "p", 1, 1, 3000), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return !events().messages().empty(); }, 10s));

    ASSERT_EQ(gravel::test::mqtt_publish(*broker_, "ask/now", "question"), 0);
    ASSERT_TRUE(wait_until([&] { return g_reply_ms.load() >= 0; }, 10s));
    EXPECT_EQ(g_reply_status.load(), EDGE_OK);
    EXPECT_LT(g_reply_ms.load(), 1000);
    size_t warned = 0;
    for (const auto &line : work_.log_lines()) {
        warned += line.rfind("WARN sync sending from an mqtt notification, not waiting, token: ", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(warned, 1u);
    // The reply was queued and goes out once the handler has returned.
    ASSERT_TRUE(replies.wait_messages(1, 10s)) << replies.output();
    EXPECT_EQ(replies.messages()[0].topic, "reply/now");
    EXPECT_EQ(replies.messages()[0].payload, "answer");
    // And the library still serves the client: a sync publish from the test thread completes.
    EXPECT_EQ(edge_mqtt_publish(client, "reply/after", "x", 1, 1, 3000), EDGE_OK);
    g_reply_client = nullptr;
}

TEST_F(MqttThreads, HandlerSlotsMayChangeWhileMessagesArrive) {
    edge_mqtt_client_t *client = create(*broker_);
    connect_and_wait(client);
    ASSERT_EQ(edge_mqtt_subscribe(client, "flip/#", 1), EDGE_OK);
    std::atomic<bool> done{false};
    std::thread flipper([&] {
        for (int i = 0; i < 2000 && !done; ++i) {
            (void)edge_mqtt_set_callback(client, nullptr, nullptr, i % 2 ? on_message : other_message_handler, nullptr);
            std::this_thread::sleep_for(100us);
        }
    });
    for (int i = 0; i < 50; ++i) ASSERT_EQ(edge_mqtt_publish(client, "flip/x", "payload", 7, 1, 0), EDGE_OK);
    EXPECT_TRUE(wait_until([&] { return events().messages().size() >= 50; }, 20s));
    done = true;
    flipper.join();
}
