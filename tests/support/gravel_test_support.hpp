// Helpers shared by the kit's tests: temporary directories and work dirs, files, log capture.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace gravel::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its content at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool exists(const std::string &path);
void make_dirs(const std::string &path);

// The log configuration tests use: every level of the kit's category to `log_path`, one
// message per line as "LEVEL message".
std::string capture_log_conf(const std::string &log_path);

// A work dir with conf/rootcert.pem and a conf/sdk_log.conf that captures the kit's log in
// <dir>/log/sdk.log.
class WorkDir : public TempDir {
public:
    WorkDir();
    std::string log_path() const { return file("log/sdk.log"); }
    std::string log() const;
    std::vector<std::string> log_lines() const;
    // True when some log line equals `line` exactly ("INFO base init success.").
    bool logged(const std::string &line) const;
    size_t count_logged(const std::string &line) const;
};

// Sets (or, with nullopt, unsets) an environment variable for a scope and restores it after.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string> &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A throwaway PKI made at test time by make_test_pki.sh: a trusted CA, and server
// certificates that are valid for 127.0.0.1/::1/localhost, expired, for another IP
// (127.0.0.2), or signed by an untrusted CA; plus a client certificate.
class TestPki {
public:
    TestPki();  // throws when generation fails
    std::string ca() const { return dir_.file("ca.pem"); }
    std::string cert(const std::string &name) const { return dir_.file(name + ".pem"); }  // server, expired, ...
    std::string key(const std::string &name) const { return dir_.file(name + ".key"); }
    const std::string &dir() const { return dir_.path(); }
    // Writes the CA as <work dir>/conf/rootcert.pem.
    void install_ca(const WorkDir &work) const;

private:
    TempDir dir_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_loopback_port();

// Polls `done` every 10 ms until it holds or `limit` passes; returns its last answer.
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit);

}  // namespace gravel::test
