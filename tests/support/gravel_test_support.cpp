#include "gravel_test_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace gravel::test {

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/gravel-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) {
    return fs::exists(path);
}

void make_dirs(const std::string &path) {
    fs::create_directories(path);
}

std::string capture_log_conf(const std::string &log_path) {
    return "[global]\nstrict init = true\n[formats]\nplain = \"%V %m%n\"\n[rules]\nsdk_rule.DEBUG \"" + log_path +
           "\"; plain\n";
}

WorkDir::WorkDir() {
    make_dirs(file("conf"));
    make_dirs(file("log"));
    write_file(file("conf/rootcert.pem"), "placeholder CA file\n");
    write_file(file("conf/sdk_log.conf"), capture_log_conf(log_path()));
}

std::string WorkDir::log() const {
    return read_file(log_path());
}

std::vector<std::string> WorkDir::log_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(log());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool WorkDir::logged(const std::string &line) const {
    return count_logged(line) > 0;
}

size_t WorkDir::count_logged(const std::string &line) const {
    size_t n = 0;
    for (const auto &l : log_lines()) n += l == line ? 1 : 0;
    return n;
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(path, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

unsigned file_mode(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
    return static_cast<unsigned>(st.st_mode) & 07777u;
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string> &value) : name_(std::move(name)) {
    if (const char *old = std::getenv(name_.c_str())) old_ = old;
    if (value) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedUmask::ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
ScopedUmask::~ScopedUmask() {
    ::umask(old_);
}

FdCapture::FdCapture(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
    std::fflush(nullptr);
    saved_ = ::dup(fd_);
    const int f = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(f, fd_);
    ::close(f);
}

std::string FdCapture::finish() {
    if (saved_ >= 0) {
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }
    return read_file(path_);
}

CommandResult run_command(const std::string &command) {
    CommandResult result;
    FILE *pipe = ::popen(("exec </dev/null; " + command).c_str(), "r");
    if (pipe == nullptr) return result;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) result.out.append(buf, n);
    const int status = ::pclose(pipe);
    result.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shell_quote(const std::string &text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string to_hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

std::string from_hex(const std::string &hex) {
    if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
    auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("not a hex digit");
    };
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) bytes += static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1]));
    return bytes;
}

std::string openssl_hmac_sha256_hex(const std::string &key, const std::string &message) {
    TempDir dir;
    write_file(dir.file("message"), message);
    // hexkey: the key's bytes exactly, whatever they are. -r: "<hex> *<file>".
    const auto r = run_command("openssl dgst -sha256 -mac HMAC -macopt hexkey:" + to_hex(key) + " -r " +
                               shell_quote(dir.file("message")));
    const std::string hex = r.out.substr(0, r.out.find(' '));
    if (r.status != 0 || hex.size() != 64) throw std::runtime_error("openssl dgst failed: " + r.out);
    return hex;
}

TestPki::TestPki() {
    const std::string cmd = std::string(GRAVEL_TEST_SUPPORT_DIR "/make_test_pki.sh '") + dir_.path() + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("make_test_pki.sh failed");
}

void TestPki::install_ca(const WorkDir &work) const {
    write_file(work.file("conf/rootcert.pem"), read_file(ca()));
}

int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("bind failed");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace gravel::test
