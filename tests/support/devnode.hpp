// A dev node (devnode/gravel-devnode) for the tests: up in a temporary folder with the broker
// plugin, the hub and the local daemon, its module's credentials as the node handed them out,
// and the fault modes of hub and daemon switched through the node's control socket.
#pragma once

#include <memory>
#include <string>

#include "gravel_test_support.hpp"

namespace gravel::test {

class DevNode {
public:
    // The node's one module and what the node gives it.
    struct Module {
        std::string module_id;
        std::string verify_code;         // for the hub bind
        std::string daemon_verify_code;  // for the daemon bind
        std::string secret;              // what the hub bind answers
        std::string crypt_key;
    };

    // `up --daemon` with one module; throws with the node's output when it does not come up.
    explicit DevNode(const std::string &module_id);
    ~DevNode();  // down
    DevNode(const DevNode &) = delete;
    DevNode &operator=(const DevNode &) = delete;

    const std::string &dir() const { return dir_; }
    int hub_port() const { return hub_port_; }
    std::string ca() const { return dir_ + "/pki/ca.pem"; }
    std::string daemon_socket() const { return dir_ + "/daemon.sock"; }
    const Module &module() const { return module_; }
    std::string node_log() const { return read_file(dir_ + "/node.log"); }

    // Puts "hub" or "daemon" into a fault mode ("none" clears it) for the requests whose path
    // starts with `path` (all when empty), the next `count` of them (0: until cleared). Returns
    // the control socket's HTTP status (200 when set); -1 when the control socket did not answer.
    int fault(const std::string &part, const std::string &mode, const std::string &path = "", int count = 0) const;

private:
    TempDir tmp_;
    std::string dir_;
    int hub_port_ = 0;
    Module module_;
};

// The dev node program in the source tree.
std::string devnode_program();

}  // namespace gravel::test
