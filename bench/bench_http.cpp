// Requests per second of the HTTP client: a GET of a small body over loopback TCP and over a
// unix-domain socket (the local daemon mode), each on a new handle as the kit's callers do.
// The peer is a minimal in-process server with a fixed answer, so that the figures measure the
// client rather than the server.
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include <gravel/edge_base.h>
#include <gravel/edge_http.h>

#include "gravel_test_support.hpp"

namespace {

constexpr char kAnswer[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 29\r\nConnection: close\r\n\r\n"
    "{\"token\":\"t1\",\"expires_at\":5}";

// Accepts connections one at a time, reads the request head, writes the fixed answer, closes.
class FixedAnswerServer {
public:
    // On 127.0.0.1 (empty path) or on a unix-domain socket at `path`.
    explicit FixedAnswerServer(const std::string &path = {}) {
        if (path.empty()) {
            fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof a;
            if (::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
                ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
                return;
            }
            port_ = ntohs(a.sin_port);
        } else {
            fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
            if (::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return;
        }
        if (::listen(fd_, 128) != 0) return;
        ok_ = true;
        thread_ = std::thread([this] { serve(); });
    }
    ~FixedAnswerServer() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);  // wakes the blocked accept
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    bool ok() const { return ok_; }
    int port() const { return port_; }

private:
    void serve() {
        while (!stop_) {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) break;
            timeval tv{5, 0};
            ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            std::string head;
            char buf[4096];
            while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                head.append(buf, static_cast<size_t>(n));
            }
            (void)!::send(c, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
            ::close(c);
        }
    }

    int fd_ = -1;
    int port_ = 0;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Base runtime and HTTP client, initialised under the environment of the caller's choice.
class Client {
public:
    Client() {
        ok_ = edge_base_init(work_.path().c_str(), "bench") == EDGE_OK && edge_http_init() == EDGE_OK;
        pool_ = ok_ ? edge_base_memory_pool_create(nullptr) : nullptr;
    }
    ~Client() {
        edge_http_destroy();
        edge_base_destroy();
    }
    bool ok() const { return pool_ != nullptr; }

    void run(benchmark::State &state, const std::string &url) {
        for (auto _ : state) {
            edge_http_handle_t *h = edge_http_create(pool_);
            edge_http_response_t r{};
            const uint32_t rc = edge_http_get(h, url.c_str(), &r, pool_, 5000);
            edge_http_delete(h);
            if (rc != 0 || r.status != 200) return state.SkipWithError("request failed");
            edge_base_memory_pool_clear(pool_);
        }
        state.SetItemsProcessed(state.iterations());
        state.SetLabel("items/s = requests/s");
    }

private:
    gravel::test::WorkDir work_;
    bool ok_ = false;
    apr_pool_t *pool_ = nullptr;
};

void BM_HttpGet_LoopbackTcp(benchmark::State &state) {
    gravel::test::ScopedEnv mode("daemon_verify_code", std::nullopt);
    FixedAnswerServer server;
    Client client;
    if (!server.ok() || !client.ok()) return state.SkipWithError("setup failed");
    client.run(state, "http://127.0.0.1:" + std::to_string(server.port()) + "/v1/token");
}
BENCHMARK(BM_HttpGet_LoopbackTcp)->UseRealTime();

void BM_HttpGet_UnixSocket(benchmark::State &state) {
    gravel::test::TempDir dir;
    const std::string path = dir.file("daemon.sock");
    FixedAnswerServer server(path);
    gravel::test::ScopedEnv mode("daemon_verify_code", "bench");
    gravel::test::ScopedEnv uri("daemon_uri", "unix:" + path);
    Client client;
    if (!server.ok() || !client.ok()) return state.SkipWithError("setup failed");
    client.run(state, "http://daemon/v1/token");
}
BENCHMARK(BM_HttpGet_UnixSocket)->UseRealTime();

}  // namespace
