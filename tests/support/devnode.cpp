#include "devnode.hpp"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "mosquitto_broker.hpp"

namespace gravel::test {

namespace {

// One request on a unix socket with "Connection: close"; the answer's status, or -1.
int unix_post(const std::string &socket_path, const std::string &url, const std::string &body) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int status = -1;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        const std::string request =
            cat("POST ", url, " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n",
                "Content-Length: ", std::to_string(body.size()), "\r\nConnection: close\r\n\r\n", body);
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            std::string answer;
            char buf[4096];
            for (int i = 0; i < 256; ++i) {  // bounded: at most 1 MiB, each read at most 5 s
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                answer.append(buf, static_cast<size_t>(n));
            }
            // "HTTP/1.1 200 OK"
            if (answer.rfind("HTTP/1.1 ", 0) == 0 && answer.size() >= 12) status = std::stoi(answer.substr(9, 3));
        }
    }
    ::close(fd);
    return status;
}

std::string json_text(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::string devnode_program() {
    return std::string(GRAVEL_TEST_SUPPORT_DIR) + "/../../devnode/gravel-devnode";
}

DevNode::DevNode(const std::string &module_id) : dir_(tmp_.file("node")) {
    const std::string plugin = devnode_auth_plugin();
    if (plugin.empty()) throw std::runtime_error("the dev node's broker plugin is not built");
    const auto up =
        run_command(cat("python3 ", shell_quote(devnode_program()), " up --daemon --dir ", shell_quote(dir_),
                        " --module-id ", shell_quote(module_id), " --plugin ", shell_quote(plugin), " 2>&1"));
    if (up.status != 0) throw std::runtime_error("gravel-devnode up failed: " + up.out);
    // What node.json holds, one value a line.
    const auto state =
        run_command(cat("python3 -c 'import json,sys; n=json.load(open(sys.argv[1])); m=n[\"modules\"][0]; "
                        "print(n[\"hub_port\"]); [print(m[k]) for k in "
                        "(\"module_id\",\"verify_code\",\"daemon_verify_code\",\"secret\",\"crypt_key\")]' ",
                        shell_quote(dir_ + "/node.json")));
    std::istringstream lines(state.out);
    std::string port;
    std::getline(lines, port);
    std::getline(lines, module_.module_id);
    std::getline(lines, module_.verify_code);
    std::getline(lines, module_.daemon_verify_code);
    std::getline(lines, module_.secret);
    std::getline(lines, module_.crypt_key);
    if (state.status != 0 || port.empty() || module_.crypt_key.empty()) {
        throw std::runtime_error("cannot read the dev node's node.json: " + state.out);
    }
    hub_port_ = std::stoi(port);
}

DevNode::~DevNode() {
    run_command(cat("python3 ", shell_quote(devnode_program()), " down --dir ", shell_quote(dir_), " >/dev/null 2>&1"));
}

int DevNode::fault(const std::string &part, const std::string &mode, const std::string &path, int count) const {
    const std::string body =
        cat("{\"part\": ", json_text(part), ", \"mode\": ", json_text(mode), ", \"path\": ", json_text(path),
            ", \"count\": ", count > 0 ? std::to_string(count) : "null", "}");
    return unix_post(dir_ + "/control.sock", "/fault", body);
}

}  // namespace gravel::test
