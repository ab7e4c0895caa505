// A real HTTP server for tests, run as a child process (http_test_server.py): plain HTTP or
// HTTPS on a free 127.0.0.1 port, or plain HTTP on a unix-domain socket. A test scripts the
// answer (status, headers, body in pieces, delays, a dropped connection) and reads back what the
// client sent. The server stops with the object.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gravel::test {

struct ScriptedResponse {
    enum class Drop {
        none,
        before_response,
        mid_body
    };
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // extra response headers
    std::vector<std::string> pieces;                           // the body, written and flushed piece by piece
    int delay_ms = 0;                                          // before answering
    int piece_delay_ms = 0;                                    // between pieces
    Drop drop = Drop::none;
    bool content_length = true;  // false: no Content-Length, the close ends the body
};

struct RecordedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received
    std::string body;
    // The first header of that name (case-insensitive), if any.
    std::optional<std::string> header(const std::string &name) const;
};

class ScriptedHttpServer {
public:
    // Plain HTTP on 127.0.0.1.
    static ScriptedHttpServer tcp();
    // HTTPS on 127.0.0.1 with the given certificate and key files.
    static ScriptedHttpServer tls(const std::string &cert_file, const std::string &key_file);
    // Plain HTTP on a unix-domain socket at `path`.
    static ScriptedHttpServer unix_socket(const std::string &path);

    ScriptedHttpServer(ScriptedHttpServer &&other) noexcept;
    ScriptedHttpServer &operator=(ScriptedHttpServer &&) = delete;
    ScriptedHttpServer(const ScriptedHttpServer &) = delete;
    ScriptedHttpServer &operator=(const ScriptedHttpServer &) = delete;
    ~ScriptedHttpServer();

    int port() const { return port_; }  // 0 for a unix socket
    const std::string &socket_path() const { return socket_path_; }
    // "http://127.0.0.1:<port><path>" or "https://..."; `path` starts with "/".
    std::string url(const std::string &path) const;

    // The answer to every later request (200 with an empty body until scripted).
    void script(const ScriptedResponse &response);
    // The answer to later requests of that method whose path (before any "?") is `path`; it
    // takes precedence over the general answer and the simulated peer.
    void script(const std::string &method, const std::string &path, const ScriptedResponse &response);
    // The server plays the node's hub (bind for a known verify code, cloud token and device
    // API for modules whose password is the HMAC of their client id under the secret) or its
    // local daemon (bind for a known verify code, tokens valid for `token_lifetime_ms`, and
    // the daemon's other endpoints for their holders); see http_test_server.py. Requests no
    // route answers get the simulated answer.
    void simulate_hub(const std::string &verify_code, const std::string &secret, const std::string &crypt_key);
    void simulate_daemon(const std::string &verify_code, long long token_lifetime_ms);
    // Forgets the requests received so far.
    void forget_requests();
    // Every request received so far, in order of arrival.
    std::vector<RecordedRequest> requests();

private:
    ScriptedHttpServer(const std::vector<std::string> &args, bool tls);
    void send(const std::string &text);
    void send_response(const ScriptedResponse &response, const std::string &route);
    void expect_ok(const char *what);
    std::string read_line();
    void stop() noexcept;

    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    std::string pending_;
    bool tls_ = false;
    int port_ = 0;
    std::string socket_path_;
};

}  // namespace gravel::test
