#include "mosquitto_broker.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace gravel::test {

namespace {

using namespace std::chrono_literals;

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A TCP connection to 127.0.0.1:port, or -1.
int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The mosquitto client options of a login (empty fields left out).
std::vector<std::string> login_options(const MqttLogin &login) {
    std::vector<std::string> out;
    if (!login.client_id.empty()) out.insert(out.end(), {"-i", login.client_id});
    if (!login.username.empty()) out.insert(out.end(), {"-u", login.username});
    if (!login.password.empty()) out.insert(out.end(), {"-P", login.password});
    return out;
}

// 16 random bytes in hex.
std::string random_hex() {
    std::random_device random;
    std::string bytes;
    for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<char>(random() & 0xff));
    return to_hex(bytes);
}

std::string unhex(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(hex_digit(hex[i]) * 16 + hex_digit(hex[i + 1])));
    }
    return out;
}

// Writes all of a text to a file descriptor.
bool write_all_file(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

// Writes all of `n` bytes; false when the peer is gone.
bool write_all(int fd, const char *data, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, data, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

// ------------------------------------------------------------------------------------------

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::string &output_path)
    : output_path_(output_path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) signal_and_wait(SIGKILL, 10s);
}

bool ChildProcess::running() {
    if (reaped_) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = status;
        return false;
    }
    return r == 0;
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
    wait_until([&] { return !running(); }, limit);
    return reaped_ ? status_ : -1;
}

bool ChildProcess::signal_and_wait(int sig, std::chrono::milliseconds limit) {
    if (!running()) return true;
    ::kill(pid_, sig);
    return wait(limit) != -1;
}

// ------------------------------------------------------------------------------------------

std::string devnode_auth_plugin() {
#ifdef GRAVEL_DEVNODE_PLUGIN
    if (exists(GRAVEL_DEVNODE_PLUGIN)) return GRAVEL_DEVNODE_PLUGIN;
#endif
    return "";
}

MosquittoBroker::MosquittoBroker(const TestPki &pki, const std::string &cert)
    : port_(free_loopback_port()), ca_(pki.ca()), cert_(pki.cert(cert)), key_(pki.key(cert)) {
    write_config();
}

MosquittoBroker::MosquittoBroker(const TestPki &pki, const BrokerAuth &auth)
    : port_(free_loopback_port()),
      ca_(pki.ca()),
      cert_(pki.cert("server")),
      key_(pki.key("server")),
      plugin_(auth.plugin) {
    if (plugin_.empty()) throw std::invalid_argument("a broker that checks credentials needs the plugin");
    default_login_ = {"", "test-cloud", random_hex()};
    write_credentials(auth.credentials);
    write_config();
}

void MosquittoBroker::write_config() {
    std::ostringstream conf;
    conf << "per_listener_settings false\n"
         << "allow_anonymous " << (plugin_.empty() ? "true" : "false") << "\n"
         << "persistence false\n"
         << "connection_messages true\n"
         << "max_inflight_messages 0\n"
         << "max_queued_messages 100000\n";
    // Started as root, mosquitto switches to the user "mosquitto", which could not read the
    // test PKI's keys in this private directory: stay root.
    if (geteuid() == 0) conf << "user root\n";
    conf << "listener " << port_ << " " << host_ << "\n"
         << "certfile " << cert_ << "\n"
         << "keyfile " << key_ << "\n"
         << "cafile " << ca_ << "\n";
    if (plugin_.empty()) {
        conf << "log_dest stderr\n";
    } else {
        // As the dev node configures its broker.
        conf << "plugin " << plugin_ << "\n"
             << "plugin_opt_credentials_file " << credentials_file() << "\n"
             << "log_dest file " << dir_.file("mosquitto.log") << "\n"
             << "log_type error\n"
             << "log_type warning\n"
             << "log_type notice\n"
             << "log_type information\n";
    }
    write_file(dir_.file("mosquitto.conf"), conf.str());
}

void MosquittoBroker::write_credentials(const std::string &lines) {
    if (plugin_.empty()) throw std::logic_error("this broker has no credentials file");
    const std::string text = cat("cloud ", default_login_.username, " ", default_login_.password, "\n", lines,
                                 lines.empty() || lines.back() == '\n' ? "" : "\n");
    const std::string temporary = credentials_file() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + temporary);
    const bool written = write_all_file(fd, text) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), credentials_file().c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot replace " + credentials_file());
    }
}

MosquittoBroker::~MosquittoBroker() {
    if (process_) process_->signal_and_wait(SIGKILL, 10s);
}

void MosquittoBroker::start() {
    if (process_ && process_->running()) return;
    // The port was free when it was chosen; another test may have taken it since. Before the
    // first start a new one is as good, so that case gets a few more tries; later starts keep
    // the port, since clients were made for it.
    for (int attempt = 0;; ++attempt) {
        // With the plugin, mosquitto logs to mosquitto.log itself and prints only what comes
        // before its log is open; without, it logs to its standard error.
        process_ =
            std::make_unique<ChildProcess>(std::vector<std::string>{"mosquitto", "-c", dir_.file("mosquitto.conf")},
                                           dir_.file(plugin_.empty() ? "mosquitto.log" : "mosquitto.out"));
        // Up once it logs that it runs (its listener is open) and takes a TCP connection.
        const bool up = wait_until(
            [&] {
                if (!process_->running()) return true;
                if (log().find(" running") == std::string::npos) return false;
                int fd = connect_loopback(port_);
                if (fd < 0) return false;
                close(fd);
                return true;
            },
            10s);
        if (up && process_->running()) break;
        const bool port_taken = log().find("Address already in use") != std::string::npos;
        if (started_ || !port_taken || attempt == 3) {
            throw std::runtime_error("mosquitto did not start on port " + std::to_string(port_) + ":\n" + log());
        }
        port_ = free_loopback_port();
        write_config();
    }
    started_ = true;
}

void MosquittoBroker::stop() {
    if (process_) process_->signal_and_wait(SIGTERM, 10s);
    if (process_) process_->signal_and_wait(SIGKILL, 10s);
}

void MosquittoBroker::kill() {
    if (process_) process_->signal_and_wait(SIGKILL, 10s);
}

void MosquittoBroker::freeze() {
    if (process_) ::kill(process_->pid(), SIGSTOP);
}

void MosquittoBroker::thaw() {
    if (process_) ::kill(process_->pid(), SIGCONT);
}

bool MosquittoBroker::running() {
    return process_ && process_->running();
}

std::string MosquittoBroker::log() const {
    std::string text = exists(dir_.file("mosquitto.log")) ? read_file(dir_.file("mosquitto.log")) : "";
    if (!plugin_.empty() && exists(dir_.file("mosquitto.out"))) text += read_file(dir_.file("mosquitto.out"));
    return text;
}

// ------------------------------------------------------------------------------------------

MqttSubscriber::MqttSubscriber(const MosquittoBroker &broker, const std::string &topic_filter, int qos)
    : MqttSubscriber(broker, broker.default_login(), {topic_filter}, qos) {}

MqttSubscriber::MqttSubscriber(const MosquittoBroker &broker, const MqttLogin &login,
                               const std::vector<std::string> &topic_filters, int qos) {
    // -d prints the protocol exchange ("received SUBACK", "Subscribed (mid: 1): 1, 128");
    // each message is one line that starts with MSG and ends with its payload in hex, so any
    // byte survives. Line-buffered through stdbuf: the output goes to a file, which stdio
    // would otherwise fill in large blocks.
    std::vector<std::string> argv{"stdbuf",
                                  "-oL",
                                  "mosquitto_sub",
                                  "-d",
                                  "-h",
                                  broker.host(),
                                  "-p",
                                  std::to_string(broker.port()),
                                  "--cafile",
                                  broker.ca(),
                                  "-q",
                                  std::to_string(qos)};
    for (const auto &option : login_options(login)) argv.push_back(option);
    for (const auto &filter : topic_filters) argv.insert(argv.end(), {"-t", filter});
    argv.insert(argv.end(), {"-W", "120", "-F", "MSG %q %r %l %t %x"});
    process_ = std::make_unique<ChildProcess>(argv, dir_.file("sub.out"));
}

MqttSubscriber::~MqttSubscriber() = default;

bool MqttSubscriber::wait_subscribed(std::chrono::milliseconds limit) {
    return wait_until([&] { return output().find("received SUBACK") != std::string::npos; }, limit);
}

std::vector<int> MqttSubscriber::wait_granted(std::chrono::milliseconds limit) {
    static const std::string mark = "Subscribed (mid: ";
    std::vector<int> granted;
    wait_until(
        [&] {
            const std::string out = output();
            const size_t at = out.find(mark);
            const size_t end = at == std::string::npos ? at : out.find('\n', at);
            if (end == std::string::npos) return false;
            // "Subscribed (mid: 1): 1, 128"
            std::istringstream codes(out.substr(out.find("): ", at) + 3, end));
            for (std::string code; std::getline(codes, code, ',');) granted.push_back(std::stoi(code));
            return true;
        },
        limit);
    return granted;
}

bool MqttSubscriber::wait_messages(size_t count, std::chrono::milliseconds limit) {
    return wait_until([&] { return messages().size() >= count; }, limit);
}

std::vector<ReceivedMessage> MqttSubscriber::messages() const {
    std::vector<ReceivedMessage> out;
    std::istringstream in(output());
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("MSG ", 0) != 0) continue;
        std::istringstream fields(line.substr(4));
        ReceivedMessage m;
        int retained = 0;
        size_t length = 0;
        std::string hex;
        fields >> m.qos >> retained >> length >> m.topic;
        fields >> hex;  // absent for an empty payload
        m.retained = retained != 0;
        m.payload = unhex(hex);
        if (m.payload.size() != length) m.payload = "<length mismatch>";
        out.push_back(std::move(m));
    }
    return out;
}

int mqtt_publish(const MosquittoBroker &broker, const std::string &topic, const std::string &payload, int qos) {
    return mqtt_publish_as(broker, broker.default_login(), topic, payload, qos).status;
}

MqttPublishResult mqtt_publish_as(const MosquittoBroker &broker, const MqttLogin &login, const std::string &topic,
                                  const std::string &payload, int qos) {
    TempDir dir;
    std::vector<std::string> argv{
        "mosquitto_pub",     "-h", broker.host(), "-p", std::to_string(broker.port()), "--cafile", broker.ca(), "-q",
        std::to_string(qos), "-t", topic};
    for (const auto &option : login_options(login)) argv.push_back(option);
    if (payload.empty()) {
        argv.push_back("-n");
    } else {
        write_file(dir.file("payload"), payload);
        argv.push_back("-f");
        argv.push_back(dir.file("payload"));
    }
    ChildProcess pub(argv, dir.file("pub.out"));
    const int status = pub.wait(10s);
    MqttPublishResult result;
    result.status = status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    result.output = pub.output();
    return result;
}

// ------------------------------------------------------------------------------------------

SlowProxy::SlowProxy(int upstream_port, std::chrono::milliseconds delay)
    : upstream_port_(upstream_port), delay_(delay) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket failed");
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(listen_fd_, 16) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(listen_fd_);
        throw std::runtime_error("proxy bind failed");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

SlowProxy::~SlowProxy() {
    stop_ = true;
    acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (auto &w : workers) w.join();
    close(listen_fd_);
}

void SlowProxy::accept_loop() {
    // Runs until the proxy is destroyed; each wait is short so the destructor is prompt.
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted_;
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void SlowProxy::serve(int client_fd) {
    // The delay, in small steps so that a destroyed proxy does not wait it out.
    const auto until = std::chrono::steady_clock::now() + delay_;
    while (!stop_ && std::chrono::steady_clock::now() < until) sleep_ms(5);
    int upstream_fd = stop_ ? -1 : connect_loopback(upstream_port_);
    if (upstream_fd >= 0) {
        ++forwarded_;
        // Forward for at most a minute: tests are bounded even if a side never closes.
        const auto end = std::chrono::steady_clock::now() + 60s;
        char buffer[16384];
        bool open = true;
        while (open && !stop_ && std::chrono::steady_clock::now() < end) {
            pollfd fds[2] = {{client_fd, POLLIN, 0}, {upstream_fd, POLLIN, 0}};
            if (poll(fds, 2, 50) <= 0) continue;
            for (int i = 0; i < 2 && open; ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                const int from = i == 0 ? client_fd : upstream_fd;
                const int to = i == 0 ? upstream_fd : client_fd;
                ssize_t n = recv(from, buffer, sizeof buffer, 0);
                open = n > 0 && write_all(to, buffer, static_cast<size_t>(n));
            }
        }
        close(upstream_fd);
    }
    close(client_fd);
}

}  // namespace gravel::test
