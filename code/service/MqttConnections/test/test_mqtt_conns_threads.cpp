// Threads and teardown: the connected notification never waits for a try in progress, a
// replaced client's notifications change nothing, destroy returns within five seconds from
// every state, and no callback runs after it has returned.
#include <functional>
#include <thread>

#include "mqtt_conns_test_common.hpp"

using namespace conns_test;
using gravel::test::MqttSubscriber;
using gravel::test::SlowProxy;
using gravel::test::wait_until;

namespace {

class ConnsThreads : public ConnsBroker {
protected:
    // Destroys the service and checks the two promises: back within 5 s, silent after.
    void destroy_and_check(const std::string &state) {
        SCOPED_TRACE(state);
        const auto started = std::chrono::steady_clock::now();
        edge_mqtt_conns_destroy();
        const auto took = std::chrono::steady_clock::now() - started;
        recorder().mark_closed();
        EXPECT_LT(took, 5s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
        EXPECT_EQ(edge_MQTT_CONNS_MGR_mgr_get_pool(), nullptr);
    }
    void restart_service() {
        recorder().reset();
        ASSERT_EQ(edge_mqtt_conns_init(), EDGE_OK);
        shorten_delays();
        ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
        ASSERT_EQ(edge_mqtt_conns_set_callback(on_message, on_connected, on_disconnected), EDGE_OK);
    }
};

}  // namespace

TEST_F(ConnsThreads, DestroyReturnsWithinFiveSecondsFromEveryState) {
    const int refused_port = gravel::test::free_loopback_port();  // nothing listens there
    SlowProxy silent(broker_->port(), 60s);                       // accepts, then says nothing
    struct State {
        const char *name;
        std::function<void()> enter;
    } states[] = {
        {"idle", [] {}},
        {"waiting between tries",
         [&] {
             set_int("mqtt_server_port", refused_port);
             ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
             ASSERT_TRUE(wait_until([&] { return recorder().disconnected_count() >= 1; }, 10s));
         }},
        {"connecting, broker not answering",
         [&] {
             set_int("mqtt_server_port", silent.port());
             const int accepted = silent.accepted();
             ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
             ASSERT_TRUE(wait_until([&] { return silent.accepted() > accepted; }, 10s));
         }},
        {"connected",
         [&] {
             set_int("mqtt_server_port", broker_->port());
             ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
             ASSERT_TRUE(wait_until([&] { return recorder().connected_count() == 1; }, 20s));
         }},
        {"disconnected by request",
         [&] {
             set_int("mqtt_server_port", broker_->port());
             ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
             ASSERT_TRUE(wait_until([&] { return recorder().connected_count() == 1; }, 20s));
             ASSERT_EQ(edge_mqtt_conns_disconnect(), EDGE_OK);
         }},
        {"connection lost, broker gone",
         [&] {
             set_int("mqtt_server_port", broker_->port());
             ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
             ASSERT_TRUE(wait_until([&] { return recorder().connected_count() == 1; }, 20s));
             broker_->kill();
             ASSERT_TRUE(wait_until([&] { return recorder().disconnected_count() >= 1; }, 10s));
         }},
    };
    for (const State &state : states) {
        restart_service();
        state.enter();
        if (HasFatalFailure()) return;
        destroy_and_check(state.name);
        std::this_thread::sleep_for(300ms);  // a late notification would show here
        EXPECT_EQ(recorder().after_close(), 0) << state.name;
    }
    broker_->start();
}

TEST_F(ConnsThreads, AcknowledgementsRacingTheNextTryChangeNothingOfTheNewClient) {
    // The proxy forwards each connection after about the time between two tries (1 s), so a
    // connect acknowledgement arrives while the next try deletes its client or makes the next.
    MqttSubscriber sub(*broker_, "$qx/modules/" + module_id_ + "/sys/messages/up");
    ASSERT_TRUE(sub.wait_subscribed(10s));
    size_t sent = 0;
    int raced = 0;
    for (const auto delay : {900ms, 950ms, 1000ms, 1050ms}) {
        SCOPED_TRACE(delay.count());
        SlowProxy proxy(broker_->port(), delay);
        restart_service();
        const size_t ends_before = count_logged("INFO mqtt connected end.");
        set_int("mqtt_server_port", proxy.port());
        ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
        std::this_thread::sleep_for(4s);
        raced += proxy.accepted() >= 2 ? 1 : 0;  // a try replaced a client still in its handshake
        // Whatever happened, the flag and the client agree: connected means a send goes out.
        if (connected_flag() == 1) {
            ASSERT_EQ(edge_mqtt_conns_send_device_message("racing", 6, pool_), EDGE_OK);
            ++sent;
            EXPECT_TRUE(sub.wait_messages(sent, 10s));
        } else {
            EXPECT_EQ(edge_mqtt_conns_send_device_message("racing", 6, pool_), EDGE_ERR_MQTT_NOT_CONNECTED);
        }
        // At most one connection was taken, and each taken one ran to its end line.
        EXPECT_LE(recorder().connected_count(), 1);
        EXPECT_EQ(count_logged("INFO mqtt connected end.") - ends_before,
                  static_cast<size_t>(recorder().connected_count()));
        EXPECT_EQ(connected_flag(), recorder().connected_count());
        destroy_and_check("racing tries");
    }
    EXPECT_GT(raced, 0) << "no try ever replaced a client in its handshake: nothing was tested";
}

TEST_F(ConnsThreads, TwoHundredCyclesOfStartAndDestroy) {
    for (int i = 0; i < 200; ++i) {
        SCOPED_TRACE(i);
        restart_service();
        ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
        // Destroy at varied points: during the first try, the TLS handshake, subscribing,
        // around the connected callback, or once connected.
        std::this_thread::sleep_for(std::chrono::milliseconds((i * 7) % 60));
        destroy_and_check("cycle");
        ASSERT_EQ(recorder().after_close(), 0);
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(recorder().after_close(), 0);
}

TEST_F(ConnsThreads, SendsFromOtherThreadsWhileTheConnectionComesAndGoes) {
    restart_service();
    ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
    std::atomic<bool> stop{false}, paused{false};
    std::atomic<int> sent{0}, refused{0}, other{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 2; ++t) {
        senders.emplace_back([&] {
            for (int i = 0; i < 100000 && !stop.load(); ++i) {
                std::this_thread::sleep_for(1ms);
                if (paused.load()) continue;
                apr_pool_t *pool = edge_MQTT_CONNS_MGR_mgr_create_pool();
                if (pool == nullptr) break;
                const uint32_t rc = edge_mqtt_conns_send_cmd_rsp("r", "1", 0, "{}", 2, pool);
                edge_base_memory_pool_destroy(&pool);
                (rc == EDGE_OK ? sent : rc == EDGE_ERR_MQTT_NOT_CONNECTED ? refused : other)++;
            }
        });
    }
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_TRUE(wait_until([&] { return recorder().connected_count() == cycle + 1; }, 20s));
        std::this_thread::sleep_for(200ms);
        // The MQTT library (1.3.12) does not free messages still queued in a client that is
        // destroyed after its connection broke: the senders pause while the broker goes and
        // until the service has seen the loss, then send again while it reconnects, replaces
        // its client and subscribes.
        paused = true;
        std::this_thread::sleep_for(300ms);
        broker_->kill();
        ASSERT_TRUE(wait_until([&] { return connected_flag() == 0; }, 10s));
        paused = false;
        broker_->start();
    }
    ASSERT_TRUE(wait_until([&] { return recorder().connected_count() == 4; }, 20s));
    stop = true;
    for (auto &t : senders) t.join();
    EXPECT_GT(sent.load(), 0);
    EXPECT_GT(refused.load(), 0);
    destroy_and_check("after sends");
}
