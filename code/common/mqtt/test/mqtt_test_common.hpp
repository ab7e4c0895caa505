// Shared by the MQTT client's tests: a runtime with the test CA as conf/rootcert.pem, and
// handlers that record what they were called with. Handlers take no context, so they record
// into one process-wide Events object; each test resets it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gravel/edge_mqtt.h>

#include "edge_mqtt_internal.hpp"
#include "gravel_test_support.hpp"
#include "mosquitto_broker.hpp"
#include "runtime_test.hpp"

namespace mqtt_test {

using namespace std::chrono_literals;

struct Message {
    std::string topic;
    int32_t topic_len;
    std::string payload;
};

// What the handlers saw. Any thread may record; readers take a snapshot.
class Events {
public:
    void reset();
    void connected();
    void lost(const char *cause);
    uint32_t message(const char *topic, int32_t topic_len, const void *payload, int32_t payload_len);
    void delivered(int32_t token);

    int connected_count() const;
    std::vector<std::optional<std::string>> causes() const;
    std::vector<Message> messages() const;
    std::vector<int32_t> tokens() const;
    int total() const;  // every handler call so far
    // Handler calls that came after mark_deleted().
    int after_delete() const { return after_delete_.load(); }
    void mark_deleted() { deleted_.store(true); }
    // Status the message handler returns.
    void set_message_status(uint32_t status) { message_status_.store(status); }

private:
    void note_call();
    mutable std::mutex mutex_;
    int connected_ = 0;
    std::vector<std::optional<std::string>> causes_;
    std::vector<Message> messages_;
    std::vector<int32_t> tokens_;
    std::atomic<bool> deleted_{false};
    std::atomic<int> after_delete_{0};
    std::atomic<uint32_t> message_status_{EDGE_OK};
};

Events &events();

// The handlers, as plain functions the C record can hold.
void on_connected();
void on_lost(const char *cause);
uint32_t on_message(const char *topic, int32_t topic_len, const void *payload, int32_t payload_len);
void on_delivered(int32_t token);

// "%p" as the kit's log writes it.
std::string ptr_text(const void *p);

using gravel::test::ScopedEnv;
// A ScopedEnv value from a C text: null means unset.
inline std::optional<std::string> env_value(const char *text) {
    return text == nullptr ? std::nullopt : std::optional<std::string>(text);
}

// The base runtime on a fresh work dir whose conf/rootcert.pem is the test CA, and the MQTT
// client library initialised. Clients made with create() are deleted at tear-down.
class MqttTest : public gravel::test::TlsRuntimeTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A client for host:port with a fresh client id, its handlers all set.
    edge_mqtt_client_t *create(const std::string &host, int port, bool with_handlers = true);
    edge_mqtt_client_t *create(const gravel::test::MosquittoBroker &broker, bool with_handlers = true) {
        return create(broker.host(), broker.port(), with_handlers);
    }
    // Deletes a client made with create() before tear-down.
    void remove(edge_mqtt_client_t *client);
    // Connects and waits for the connected handler.
    void connect_and_wait(edge_mqtt_client_t *client);

    std::vector<edge_mqtt_client_t *> clients_;
    int next_id_ = 0;
    std::string last_client_id_;  // the client id of the latest create()
};

}  // namespace mqtt_test
