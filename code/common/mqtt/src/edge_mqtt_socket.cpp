// TCP_NODELAY on the connection to the broker.
//
// The MQTT library writes each packet as soon as it is queued but leaves Nagle's algorithm on.
// A module that answers a QoS 1 command writes the library's acknowledgement and then its
// response: the response waits in the kernel until the broker acknowledges the first write,
// which a delayed acknowledgement holds back by up to 40 ms. The library offers no socket
// hook, so once a connection is up the client finds its socket among the process's
// descriptors (a TCP socket whose peer is the broker's address and port) and turns Nagle off.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "edge_mqtt_internal.hpp"

namespace gravel::mqtt {

namespace {

struct BrokerEndpoint {
    uint16_t port = 0;
    // A numeric address is matched too; a host name is matched by port alone.
    int family = AF_UNSPEC;
    in_addr v4{};
    in6_addr v6{};
};

// "ssl://<address>:<port>", the address possibly in brackets.
bool parse_endpoint(const char *server_uri, BrokerEndpoint &endpoint) noexcept {
    if (server_uri == nullptr) return false;
    std::string_view uri(server_uri);
    const size_t scheme = uri.find("://");
    if (scheme != std::string_view::npos) uri.remove_prefix(scheme + 3);
    const size_t colon = uri.rfind(':');
    if (colon == std::string_view::npos || colon + 1 >= uri.size()) return false;
    const std::string_view port_text = uri.substr(colon + 1);
    unsigned long port = 0;
    for (char c : port_text) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + static_cast<unsigned long>(c - '0');
        if (port > 65535) return false;
    }
    if (port == 0) return false;
    endpoint.port = static_cast<uint16_t>(port);

    std::string_view host = uri.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    char text[INET6_ADDRSTRLEN] = {};
    if (host.size() < sizeof text) {
        std::memcpy(text, host.data(), host.size());
        if (inet_pton(AF_INET, text, &endpoint.v4) == 1) {
            endpoint.family = AF_INET;
        } else if (inet_pton(AF_INET6, text, &endpoint.v6) == 1) {
            endpoint.family = AF_INET6;
        }
    }
    return true;
}

bool peer_is(int fd, const BrokerEndpoint &endpoint) noexcept {
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) return false;
    sockaddr_storage peer{};
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) return false;
    if (peer.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&peer);
        if (ntohs(in->sin_port) != endpoint.port) return false;
        return endpoint.family != AF_INET || in->sin_addr.s_addr == endpoint.v4.s_addr;
    }
    if (peer.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&peer);
        if (ntohs(in6->sin6_port) != endpoint.port) return false;
        return endpoint.family != AF_INET6 || std::memcmp(&in6->sin6_addr, &endpoint.v6, sizeof endpoint.v6) == 0;
    }
    return false;
}

}  // namespace

int disable_nagle_to_broker(const char *server_uri) noexcept {
    BrokerEndpoint endpoint;
    if (!parse_endpoint(server_uri, endpoint)) return 0;
    DIR *fds = opendir("/proc/self/fd");
    if (fds == nullptr) return 0;
    const int own = dirfd(fds);
    int count = 0;
    // Bounded by the process's descriptor table.
    while (const dirent *entry = readdir(fds)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd < 0 || fd == own) continue;
        if (!peer_is(static_cast<int>(fd), endpoint)) continue;
        const int on = 1;
        if (setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) ++count;
    }
    closedir(fds);
    return count;
}

}  // namespace gravel::mqtt
