// A real MQTT broker for tests: mosquitto with a TLS listener on a free 127.0.0.1 port, either
// open to every client or checking each one with the dev node's plugin; the mosquitto
// command-line clients as its peers; and a TCP proxy that accepts at once but forwards only
// after a delay (a broker that is slow to answer).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gravel_test_support.hpp"

namespace gravel::test {

// A child process whose standard output and error go to a file. Killed (SIGKILL) and reaped
// at destruction when still running.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string> &argv, const std::string &output_path);  // throws
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends a signal and waits up to `limit` for the exit; true when it exited.
    bool signal_and_wait(int sig, std::chrono::milliseconds limit);
    // Waits up to `limit` for the exit; the exit status (as waitpid gives it), or -1.
    int wait(std::chrono::milliseconds limit);
    std::string output() const { return read_file(output_path_); }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    std::string output_path_;
};

// The dev node's broker plugin as this build made it, or empty when the build has none
// (mosquitto-dev was missing when it was configured).
std::string devnode_auth_plugin();

// What an MQTT client presents at CONNECT. An empty field is not sent: without a client id,
// mosquitto_sub and mosquitto_pub make one up.
struct MqttLogin {
    std::string client_id;
    std::string username;
    std::string password;
};

// A broker that checks its clients: the plugin (a path, as devnode_auth_plugin() gives it)
// and the lines of its credentials file (module, token and cloud records).
struct BrokerAuth {
    std::string plugin;
    std::string credentials;
};

// mosquitto on 127.0.0.1:<port> with one TLS listener whose certificate and key are one of
// the test PKI's server certificates ("server", "expired", "wrongip", "untrusted"); clients
// need no certificate of their own. The port is chosen once, so the broker can be stopped,
// killed and started again on it.
//
// Without a BrokerAuth every client gets in, with or without a user name. With one, the
// broker runs the configuration the dev node writes (no anonymous clients, the plugin, its
// credentials file, a log file) and adds a cloud user of its own to the credentials; the
// clients below log in as that cloud user unless they are given a login.
class MosquittoBroker {
public:
    explicit MosquittoBroker(const TestPki &pki, const std::string &cert = "server");
    MosquittoBroker(const TestPki &pki, const BrokerAuth &auth);
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker &) = delete;
    MosquittoBroker &operator=(const MosquittoBroker &) = delete;

    // Starts mosquitto and returns once it accepts TCP connections (throws after 10 s, or
    // when mosquitto exits, with its log).
    void start();
    // SIGTERM (a clean shutdown), or SIGKILL (the broker vanishes); both wait for the exit.
    void stop();
    void kill();
    // SIGSTOP and SIGCONT: the broker keeps its connections open but answers nothing meanwhile.
    void freeze();
    void thaw();
    bool running();

    const std::string &host() const { return host_; }
    int port() const { return port_; }
    const std::string &ca() const { return ca_; }
    // Everything mosquitto logged, over all its starts with the plugin (only the latest start
    // without), then what it printed itself.
    std::string log() const;

    // With the plugin: the credentials file, and its replacement as the dev node does it (a
    // temporary file in the same directory, fsync, rename) with the broker's cloud line first
    // and then `lines`. Throws without the plugin.
    std::string credentials_file() const { return dir_.file("credentials"); }
    void write_credentials(const std::string &lines);
    bool checks_credentials() const { return !plugin_.empty(); }
    // The login of the clients below when they are given none: the cloud user with the
    // plugin, nothing without.
    const MqttLogin &default_login() const { return default_login_; }

private:
    void write_config();

    TempDir dir_;
    std::string host_ = "127.0.0.1";
    int port_;
    std::string ca_, cert_, key_;
    std::string plugin_;  // empty: an open broker
    MqttLogin default_login_;
    bool started_ = false;  // started once: the port stays
    std::unique_ptr<ChildProcess> process_;
};

// One message as mosquitto_sub printed it.
struct ReceivedMessage {
    std::string topic;
    int qos = -1;
    bool retained = false;
    std::string payload;  // bytes, exactly as received
};

// mosquitto_sub on a broker, printing each message as one line with its payload in hex; it
// logs in with the broker's default login, or the one given.
class MqttSubscriber {
public:
    MqttSubscriber(const MosquittoBroker &broker, const std::string &topic_filter, int qos = 1);
    // Several filters in one SUBSCRIBE.
    MqttSubscriber(const MosquittoBroker &broker, const MqttLogin &login, const std::vector<std::string> &topic_filters,
                   int qos = 1);
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber &) = delete;
    MqttSubscriber &operator=(const MqttSubscriber &) = delete;

    // True once the broker acknowledged the subscription.
    bool wait_subscribed(std::chrono::milliseconds limit);
    // What the SUBACK granted, one code per filter in order (0..2, or 128 for a refused
    // filter); empty when none came within `limit`.
    std::vector<int> wait_granted(std::chrono::milliseconds limit);
    bool wait_messages(size_t count, std::chrono::milliseconds limit);
    std::vector<ReceivedMessage> messages() const;
    std::string output() const { return process_->output(); }

private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
};

// mosquitto_pub of one message (the bytes as given; an empty payload is sent as a
// zero-length message) with the broker's default login. Returns mosquitto_pub's exit code, or
// -1 when it did not end in 10 s.
int mqtt_publish(const MosquittoBroker &broker, const std::string &topic, const std::string &payload, int qos = 1);

// The same with a login of its own; also gives what mosquitto_pub printed (a refused CONNECT
// prints "Connection Refused: not authorised.").
struct MqttPublishResult {
    int status = -1;
    std::string output;
};
MqttPublishResult mqtt_publish_as(const MosquittoBroker &broker, const MqttLogin &login, const std::string &topic,
                                  const std::string &payload, int qos = 1);

// Accepts TCP connections on 127.0.0.1 at once, waits `delay`, then connects to 127.0.0.1:
// `upstream_port` and forwards both ways until either side closes or the proxy is destroyed.
class SlowProxy {
public:
    SlowProxy(int upstream_port, std::chrono::milliseconds delay);
    ~SlowProxy();
    SlowProxy(const SlowProxy &) = delete;
    SlowProxy &operator=(const SlowProxy &) = delete;

    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }
    // Connections whose upstream connection was made and forwarding began.
    int forwarded() const { return forwarded_.load(); }

private:
    void accept_loop();
    void serve(int client_fd);

    int listen_fd_ = -1;
    int port_ = 0;
    int upstream_port_;
    std::chrono::milliseconds delay_;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> forwarded_{0};
    std::mutex mutex_;  // guards workers_
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace gravel::test
