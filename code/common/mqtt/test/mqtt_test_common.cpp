#include "mqtt_test_common.hpp"

namespace mqtt_test {

void Events::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = 0;
    causes_.clear();
    messages_.clear();
    tokens_.clear();
    deleted_.store(false);
    after_delete_.store(0);
    message_status_.store(EDGE_OK);
}

void Events::note_call() {
    if (deleted_.load()) ++after_delete_;
}

void Events::connected() {
    note_call();
    std::lock_guard<std::mutex> lock(mutex_);
    ++connected_;
}

void Events::lost(const char *cause) {
    note_call();
    std::lock_guard<std::mutex> lock(mutex_);
    causes_.push_back(cause == nullptr ? std::nullopt : std::optional<std::string>(cause));
}

uint32_t Events::message(const char *topic, int32_t topic_len, const void *payload, int32_t payload_len) {
    note_call();
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({topic, topic_len,
                         payload_len > 0
                             ? std::string(static_cast<const char *>(payload), static_cast<size_t>(payload_len))
                             : std::string()});
    return message_status_.load();
}

void Events::delivered(int32_t token) {
    note_call();
    std::lock_guard<std::mutex> lock(mutex_);
    tokens_.push_back(token);
}

int Events::connected_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

std::vector<std::optional<std::string>> Events::causes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return causes_;
}

std::vector<Message> Events::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<int32_t> Events::tokens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tokens_;
}

int Events::total() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_ + static_cast<int>(causes_.size() + messages_.size() + tokens_.size());
}

Events &events() {
    static Events instance;
    return instance;
}

void on_connected() {
    events().connected();
}
void on_lost(const char *cause) {
    events().lost(cause);
}
uint32_t on_message(const char *topic, int32_t topic_len, const void *payload, int32_t payload_len) {
    return events().message(topic, topic_len, payload, payload_len);
}
void on_delivered(int32_t token) {
    events().delivered(token);
}

std::string ptr_text(const void *p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

void MqttTest::SetUp() {
    events().reset();
    TlsRuntimeTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(edge_mqtt_init(), EDGE_OK);
}

void MqttTest::TearDown() {
    for (auto *client : clients_) edge_mqtt_delete(client);
    clients_.clear();
    edge_mqtt_destroy();
    TlsRuntimeTest::TearDown();
}

edge_mqtt_client_t *MqttTest::create(const std::string &host, int port, bool with_handlers) {
    const std::string id = "gravel-test-" + std::to_string(getpid()) + "-" + std::to_string(next_id_++);
    last_client_id_ = id;
    edge_mqtt_client_t *client = edge_mqtt_create(host.c_str(), port, id.c_str(), "module", "secret-password", pool_);
    if (client != nullptr) {
        clients_.push_back(client);
        if (with_handlers) {
            EXPECT_EQ(edge_mqtt_set_callback(client, on_delivered, on_lost, on_message, on_connected), EDGE_OK);
        }
    }
    return client;
}

void MqttTest::remove(edge_mqtt_client_t *client) {
    std::erase(clients_, client);
    edge_mqtt_delete(client);
}

void MqttTest::connect_and_wait(edge_mqtt_client_t *client) {
    ASSERT_NE(client, nullptr);
    const int before = events().connected_count();
    ASSERT_EQ(edge_mqtt_connect(client), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return events().connected_count() > before; }, 20s))
        << "no connected notification; connection-lost calls: " << events().causes().size();
}

}  // namespace mqtt_test
