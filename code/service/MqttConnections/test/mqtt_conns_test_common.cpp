#include "mqtt_conns_test_common.hpp"

#include <regex>
#include <thread>

namespace conns_test {

using gravel::test::wait_until;

void Recorder::reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    messages_.clear();
    sequence_.clear();
    connected_ = 0;
    disconnected_ = 0;
    total_ = 0;
    status_ = EDGE_OK;
    closed_ = false;
    after_close_ = 0;
}

uint32_t Recorder::message(const char *topic, const char *request_id, const void *payload, int32_t payload_len) {
    std::lock_guard<std::mutex> guard(mutex_);
    Inbound m;
    m.topic = topic;
    if (request_id != nullptr) m.request_id = request_id;
    m.payload.assign(static_cast<const char *>(payload), static_cast<size_t>(payload_len));
    messages_.push_back(std::move(m));
    note();
    ++total_;
    return status_.load();
}

void Recorder::connected() {
    std::lock_guard<std::mutex> guard(mutex_);
    sequence_ += 'C';
    note();
    ++connected_;
    ++total_;
}

void Recorder::disconnected() {
    std::lock_guard<std::mutex> guard(mutex_);
    sequence_ += 'D';
    note();
    ++disconnected_;
    ++total_;
}

std::vector<Inbound> Recorder::messages() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return messages_;
}

std::string Recorder::sequence() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return sequence_;
}

Recorder &recorder() {
    static Recorder r;
    return r;
}

int32_t connected_flag() {
    return std::atomic_ref<int32_t>(edge_MQTT_CONNS_MGR_mgr_get()->connected).load();
}

uint32_t on_message(const char *topic, const char *request_id, const void *payload, int32_t payload_len) {
    return recorder().message(topic, request_id, payload, payload_len);
}
void on_connected() {
    recorder().connected();
}
void on_disconnected() {
    recorder().disconnected();
}

const std::string kSecret = "0123456789abcdef-secret-bytes";

std::string openssl_hmac_hex(const std::string &client_id) {
    return gravel::test::openssl_hmac_sha256_hex(kSecret, client_id);
}

const char kNoPlugin[] = "the broker plugin was not built (mosquitto-dev missing at configure time)";

void ConnsTest::SetUp() {
    recorder().reset();
    TlsRuntimeTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(edge_cipher_init(), EDGE_OK);
    ASSERT_EQ(edge_configs_init(), EDGE_OK);
    ASSERT_EQ(edge_mqtt_init(), EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_init(), EDGE_OK);
}

void ConnsTest::TearDown() {
    edge_mqtt_conns_destroy();
    edge_mqtt_destroy();
    edge_configs_destroy();
    edge_cipher_destroy();
    TlsRuntimeTest::TearDown();
}

void ConnsTest::set_str(const char *key, const std::string &value, bool encrypt) {
    ASSERT_EQ(edge_configs_set_str(0, key, value.c_str(), encrypt ? 1 : 0), EDGE_OK) << key;
}

void ConnsTest::set_int(const char *key, int32_t value) {
    ASSERT_EQ(edge_configs_set_int(0, key, value), EDGE_OK) << key;
}

void ConnsTest::configure(const std::string &module_id, const std::string &host, int port) {
    module_id_ = module_id;
    set_str("module_id", module_id);
    set_str("mqtt_server_ip", host);
    set_int("mqtt_server_port", port);
    const auto *key = reinterpret_cast<const unsigned char *>(kSecret.data());
    const uint32_t rc = edge_cipher_save_key("secret", key, static_cast<uint32_t>(kSecret.size()), 0);
    ASSERT_EQ(rc, EDGE_OK);
}

void ConnsTest::shorten_delays(uint32_t max_delay) {
    ASSERT_NE(mgr(), nullptr);
    ASSERT_EQ(edge_base_retry_config(mgr()->connect_worker, edge_mqtt_conns_connect_runner, -1, max_delay, 0), EDGE_OK);
}

void ConnsTest::start_and_wait_connected(int connects) {
    ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_set_callback(on_message, on_connected, on_disconnected), EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return recorder().connected_count() >= connects; }, 20s))
        << "connected callbacks: " << recorder().connected_count();
}

std::vector<std::string> lines_with(const gravel::test::WorkDir &work, const std::string &part) {
    std::vector<std::string> out;
    for (const auto &line : work.log_lines()) {
        if (line.find(part) != std::string::npos) out.push_back(line);
    }
    return out;
}

long line_index(const gravel::test::WorkDir &work, const std::string &part, long from) {
    const auto lines = work.log_lines();
    for (long i = from; i < static_cast<long>(lines.size()); ++i) {
        if (lines[static_cast<size_t>(i)].find(part) != std::string::npos) return i;
    }
    return -1;
}

void ConnsBroker::SetUp() {
    WithBroker<ConnsTest>::SetUp();
    if (HasFatalFailure()) return;
    configure(module_id_, broker_->host(), broker_->port());
}

std::unique_ptr<gravel::test::MosquittoBroker> ConnsBroker::make_broker() {
    const std::string plugin = gravel::test::devnode_auth_plugin();
    if (plugin.empty()) return std::make_unique<gravel::test::MosquittoBroker>(pki_);
    return std::make_unique<gravel::test::MosquittoBroker>(
        pki_, gravel::test::BrokerAuth{plugin, gravel::test::cat("module ", module_id_, " ", kSecret, "\n")});
}

void ConnsBroker::broker_knows(const std::string &credentials) {
    if (broker_->checks_credentials()) broker_->write_credentials(credentials);
}

size_t ConnsBroker::broker_decisions(const std::string &tail) const {
    const std::string log = broker_->log();
    const std::regex line("gravel-devnode-auth: (accepted|refused) client module_" + module_id_ + R"(_1_\d{14} user )" +
                          module_id_ + " ?");
    size_t count = 0;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it) {
        const size_t end = static_cast<size_t>(it->position() + it->length());
        count += log.compare(end, tail.size(), tail) == 0 && log[end + tail.size()] == '\n';
    }
    return count;
}

}  // namespace conns_test
