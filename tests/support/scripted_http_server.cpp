#include "scripted_http_server.hpp"

#include "gravel_test_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace gravel::test {

namespace {

// Every answer of the server comes within this time, or the test fails.
constexpr int kAnswerTimeoutMs = 15000;

std::string hex(const std::string &bytes) {
    if (bytes.empty()) return "-";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(const std::string &text) {
    if (text == "-") return {};
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

std::vector<std::string> words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string &name) const {
    for (const auto &[n, v] : headers) {
        if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
    }
    return std::nullopt;
}

ScriptedHttpServer ScriptedHttpServer::tcp() {
    return ScriptedHttpServer({"tcp"}, false);
}

ScriptedHttpServer ScriptedHttpServer::tls(const std::string &cert_file, const std::string &key_file) {
    return ScriptedHttpServer({"tls", cert_file, key_file}, true);
}

ScriptedHttpServer ScriptedHttpServer::unix_socket(const std::string &path) {
    return ScriptedHttpServer({"unix", path}, false);
}

ScriptedHttpServer::ScriptedHttpServer(const std::vector<std::string> &args, bool tls) : tls_(tls) {
    // A write to a server that died must fail the test, not kill the process.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> argv_s = {"python3", GRAVEL_TEST_SUPPORT_DIR "/http_test_server.py"};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    to_child_ = in[1];
    from_child_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        stop();
        throw std::runtime_error("cannot start python3");
    }
    const auto ready = words(read_line());
    if (ready.size() != 2 || ready[0] != "READY") {
        stop();
        throw std::runtime_error("test server did not start");
    }
    if (args[0] == "unix") {
        socket_path_ = ready[1];
    } else {
        port_ = std::stoi(ready[1]);
    }
}

ScriptedHttpServer::ScriptedHttpServer(ScriptedHttpServer &&other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      to_child_(std::exchange(other.to_child_, -1)),
      from_child_(std::exchange(other.from_child_, -1)),
      pending_(std::move(other.pending_)),
      tls_(other.tls_),
      port_(other.port_),
      socket_path_(std::move(other.socket_path_)) {}

ScriptedHttpServer::~ScriptedHttpServer() {
    stop();
}

void ScriptedHttpServer::stop() noexcept {
    if (to_child_ >= 0) {
        static const char quit[] = "QUIT\n";
        (void)!::write(to_child_, quit, sizeof quit - 1);
        ::close(to_child_);
        to_child_ = -1;
    }
    if (pid_ > 0) {
        // The server stops within its poll interval; a stuck one is killed after 5 s.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= limit) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }
    if (from_child_ >= 0) {
        ::close(from_child_);
        from_child_ = -1;
    }
}

std::string ScriptedHttpServer::url(const std::string &path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

void ScriptedHttpServer::send(const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(to_child_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("test server is gone");
        done += static_cast<size_t>(n);
    }
}

std::string ScriptedHttpServer::read_line() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    for (;;) {
        if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw std::runtime_error("test server did not answer in time");
        pollfd p{from_child_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(from_child_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("test server closed its output");
        pending_.append(buf, static_cast<size_t>(n));
    }
}

void ScriptedHttpServer::send_response(const ScriptedResponse &r, const std::string &route) {
    const char *drop = r.drop == ScriptedResponse::Drop::before_response ? "before"
                       : r.drop == ScriptedResponse::Drop::mid_body      ? "mid_body"
                                                                         : "none";
    std::string text = "RESPONSE " + std::to_string(r.status) + " " + std::to_string(r.delay_ms) + " " +
                       std::to_string(r.piece_delay_ms) + " " + drop + " " + (r.content_length ? "auto" : "none") +
                       route + "\n";
    for (const auto &[name, value] : r.headers) text += "HEADER " + hex(name) + " " + hex(value) + "\n";
    for (const auto &piece : r.pieces) text += "PIECE " + hex(piece) + "\n";
    text += "END\n";
    send(text);
    expect_ok("the script");
}

void ScriptedHttpServer::expect_ok(const char *what) {
    if (read_line() != "OK") throw std::runtime_error(cat("test server refused ", what));
}

void ScriptedHttpServer::script(const ScriptedResponse &r) {
    send_response(r, "");
}

void ScriptedHttpServer::script(const std::string &method, const std::string &path, const ScriptedResponse &r) {
    send_response(r, cat(" ", hex(method), " ", hex(path)));
}

void ScriptedHttpServer::simulate_hub(const std::string &verify_code, const std::string &secret,
                                      const std::string &crypt_key) {
    send(cat("ROLE hub ", hex(verify_code), " ", hex(secret), " ", hex(crypt_key), "\n"));
    expect_ok("the hub role");
}

void ScriptedHttpServer::simulate_daemon(const std::string &verify_code, long long token_lifetime_ms) {
    send(cat("ROLE daemon ", hex(verify_code), " ", std::to_string(token_lifetime_ms), "\n"));
    expect_ok("the daemon role");
}

void ScriptedHttpServer::forget_requests() {
    send("FORGET\n");
    expect_ok("to forget");
}

std::vector<RecordedRequest> ScriptedHttpServer::requests() {
    send("REQUESTS\n");
    std::vector<RecordedRequest> out;
    for (;;) {
        const auto w = words(read_line());
        if (w.empty()) continue;
        if (w[0] == "END") return out;
        if (w[0] == "REQUEST" && w.size() == 3) {
            out.push_back({w[1], unhex(w[2]), {}, {}});
        } else if (w[0] == "HEADER" && w.size() == 3 && !out.empty()) {
            out.back().headers.emplace_back(unhex(w[1]), unhex(w[2]));
        } else if (w[0] == "BODY" && w.size() == 2 && !out.empty()) {
            out.back().body = unhex(w[1]);
        } else {
            throw std::runtime_error("unexpected answer from the test server");
        }
    }
}

}  // namespace gravel::test
