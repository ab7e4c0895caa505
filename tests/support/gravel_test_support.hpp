// Helpers shared by the kit's tests: temporary directories and work dirs, files, log capture.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
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

// Names in a directory (without "." and ".."), sorted; empty when it cannot be read.
std::vector<std::string> list_dir(const std::string &path);
// Permission bits (mode & 07777) of a path, not following a final symbolic link.
unsigned file_mode(const std::string &path);

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

// Sets the process umask for a scope.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask);
    ~ScopedUmask();
    ScopedUmask(const ScopedUmask &) = delete;
    ScopedUmask &operator=(const ScopedUmask &) = delete;

private:
    mode_t old_;
};

// Sends a file descriptor of the process (1 or 2) to a file until finish(), which gives what
// was written meanwhile.
class FdCapture {
public:
    FdCapture(int fd, std::string path);
    ~FdCapture() { finish(); }
    FdCapture(const FdCapture &) = delete;
    FdCapture &operator=(const FdCapture &) = delete;
    std::string finish();

private:
    int fd_;
    std::string path_;
    int saved_ = -1;
};

// Runs a shell command line (/bin/sh -c), stdin from /dev/null unless redirected in the
// command; gives its exit status (-1 when it did not exit normally) and standard output.
struct CommandResult {
    int status = -1;
    std::string out;
};
CommandResult run_command(const std::string &command);
// Quotes a text for a shell command line.
std::string shell_quote(const std::string &text);

// Lowercase hex of bytes and bytes of hex (either case; throws on bad input).
std::string to_hex(const std::string &bytes);
std::string from_hex(const std::string &hex);

// Lowercase hex HMAC-SHA256 of `message` keyed with the bytes of `key`, as the openssl tool
// computes it (throws when it fails): the tests' own reference, apart from the code they test.
std::string openssl_hmac_sha256_hex(const std::string &key, const std::string &message);

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

// Concatenates texts by appending. (GCC 12's -Wrestrict misreads some `"text" + string`
// expressions in optimised builds; appending says the same without tripping it.)
template <typename... Parts>
std::string cat(const Parts &...parts) {
    std::string out;
    (out.append(std::string_view(parts)), ...);
    return out;
}

// Polls `done` every 10 ms until it holds or `limit` passes; returns its last answer.
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit);

}  // namespace gravel::test
