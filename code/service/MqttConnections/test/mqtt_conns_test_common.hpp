// Shared by the service's tests: the runtime with cipher, configuration store and MQTT client
// started, the service initialised, and callbacks that record what they saw. Callbacks take
// no context, so they record into one process-wide Recorder that each test resets.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>
#include <gravel/edge_mqtt_connections.h>

#include "gravel_test_support.hpp"
#include "mosquitto_broker.hpp"
#include "runtime_test.hpp"

namespace conns_test {

using namespace std::chrono_literals;

struct Inbound {
    std::string topic;
    std::optional<std::string> request_id;
    std::string payload;
};

// What the application callbacks saw, in order. Any thread may record.
class Recorder {
public:
    void reset();
    uint32_t message(const char *topic, const char *request_id, const void *payload, int32_t payload_len);
    void connected();
    void disconnected();

    std::vector<Inbound> messages() const;
    int connected_count() const { return connected_.load(); }
    int disconnected_count() const { return disconnected_.load(); }
    // "C" and "D" for each connected and disconnected callback, in order.
    std::string sequence() const;
    int total() const { return total_.load(); }
    void set_status(uint32_t status) { status_.store(status); }
    // Callbacks that came after mark_closed() (destroy has returned); open() starts over.
    void mark_closed() { closed_.store(true); }
    void open() { closed_.store(false); }
    int after_close() const { return after_close_.load(); }

private:
    mutable std::mutex mutex_;
    std::vector<Inbound> messages_;
    std::string sequence_;
    std::atomic<int> connected_{0};
    std::atomic<int> disconnected_{0};
    std::atomic<int> total_{0};
    std::atomic<uint32_t> status_{EDGE_OK};
    std::atomic<bool> closed_{false};
    std::atomic<int> after_close_{0};
    void note() {
        if (closed_.load()) ++after_close_;
    }
};

Recorder &recorder();
int32_t connected_flag();
uint32_t on_message(const char *topic, const char *request_id, const void *payload, int32_t payload_len);
void on_connected();
void on_disconnected();

// The secret the tests store as domain key "secret", and the HMAC-SHA256 password of a client
// id under it as the openssl tool computes it.
extern const std::string kSecret;
std::string openssl_hmac_hex(const std::string &client_id);

// Base runtime (test CA as conf/rootcert.pem), cipher, configuration store, MQTT client and
// the service, each destroyed at tear-down in reverse order.
class ConnsTest : public gravel::test::TlsRuntimeTest {
protected:
    void SetUp() override;
    void TearDown() override;

    edge_mqtt_conns_mgr_t *mgr() const { return edge_MQTT_CONNS_MGR_mgr_get(); }
    // The connected flag, read atomically as the service writes it from other threads.
    int32_t connected_flag() const { return conns_test::connected_flag(); }
    void set_str(const char *key, const std::string &value, bool encrypt = false);
    void set_int(const char *key, int32_t value);
    // Module id, broker address and port in the store, the secret in the key store.
    void configure(const std::string &module_id, const std::string &host, int port);
    // Shortens the connect worker's delays to at most `max_delay` seconds (before starting).
    void shorten_delays(uint32_t max_delay = 1);
    // Topics built, callbacks set, worker started; waits for `connects` connected callbacks.
    void start_and_wait_connected(int connects = 1);

    std::string module_id_ = "m1234567";
};

// Lines of the log that contain `part`, in order.
std::vector<std::string> lines_with(const gravel::test::WorkDir &work, const std::string &part);
// Index of the first log line containing `part` at or after `from`, or -1.
long line_index(const gravel::test::WorkDir &work, const std::string &part, long from = 0);

// The same with a running mosquitto broker and the store pointing at it. Where the build has
// the dev node's plugin, the broker checks every login with it and knows module_id_ with
// kSecret, so each connection proves the client id, user name and password the service sent;
// without the plugin it lets every client in.
class ConnsBroker : public gravel::test::WithBroker<ConnsTest> {
protected:
    void SetUp() override;
    std::unique_ptr<gravel::test::MosquittoBroker> make_broker() override;
    // Replaces the module and token lines the broker knows (nothing without the plugin).
    void broker_knows(const std::string &credentials);
    // "gravel-devnode-auth: accepted|refused client ..." lines of the broker for module_id_
    // whose end is `tail` ("(hmac)", ": wrong password").
    size_t broker_decisions(const std::string &tail) const;
};

// What the tests that need the plugin say when they are skipped.
extern const char kNoPlugin[];

}  // namespace conns_test
