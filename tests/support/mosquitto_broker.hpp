// A real MQTT broker for tests: mosquitto with a TLS listener on a free 127.0.0.1 port, the
// mosquitto command-line clients as its peers, and a TCP proxy that accepts at once but
// forwards only after a delay (a broker that is slow to answer).
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

// mosquitto on 127.0.0.1:<port> with one TLS listener whose certificate and key are one of
// the test PKI's server certificates ("server", "expired", "wrongip", "untrusted"); clients
// need no certificate of their own and no user name. The port is chosen once, so the broker
// can be stopped, killed and started again on it.
class MosquittoBroker {
public:
    explicit MosquittoBroker(const TestPki &pki, const std::string &cert = "server");
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker &) = delete;
    MosquittoBroker &operator=(const MosquittoBroker &) = delete;

    // Starts mosquitto and returns once it accepts TCP connections (throws after 10 s, or
    // when mosquitto exits, with its log).
    void start();
    // SIGTERM (a clean shutdown), or SIGKILL (the broker vanishes); both wait for the exit.
    void stop();
    void kill();
    bool running();

    const std::string &host() const { return host_; }
    int port() const { return port_; }
    const std::string &ca() const { return ca_; }
    std::string log() const;

private:
    void write_config();

    TempDir dir_;
    std::string host_ = "127.0.0.1";
    int port_;
    std::string ca_, cert_, key_;
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

// mosquitto_sub on a broker, printing each message as one line with its payload in hex.
class MqttSubscriber {
public:
    MqttSubscriber(const MosquittoBroker &broker, const std::string &topic_filter, int qos = 1);
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber &) = delete;
    MqttSubscriber &operator=(const MqttSubscriber &) = delete;

    // True once the broker acknowledged the subscription.
    bool wait_subscribed(std::chrono::milliseconds limit);
    bool wait_messages(size_t count, std::chrono::milliseconds limit);
    std::vector<ReceivedMessage> messages() const;
    std::string output() const { return process_->output(); }

private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
};

// mosquitto_pub of one message (the bytes as given; an empty payload is sent as a
// zero-length message). Returns mosquitto_pub's exit code, or -1 when it did not end in 10 s.
int mqtt_publish(const MosquittoBroker &broker, const std::string &topic, const std::string &payload, int qos = 1);

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
