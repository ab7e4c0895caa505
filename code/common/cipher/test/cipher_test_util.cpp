#include "cipher_test_util.hpp"

#include <cstring>
#include <random>
#include <sstream>
#include <stdexcept>

namespace cipher_test {

using gravel::test::shell_quote;

std::string pseudo_random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out;
    for (size_t i = 0; i < n; ++i) out += static_cast<char>(byte(gen));
    return out;
}

std::string run_ok(const std::string &command) {
    const gravel::test::CommandResult r = gravel::test::run_command(command);
    if (r.status != 0) throw std::runtime_error("command failed (" + std::to_string(r.status) + "): " + command);
    return r.out;
}

namespace {

// A scratch file for tool input, removed with its directory.
struct ToolInput {
    explicit ToolInput(const std::string &data) { gravel::test::write_file(path(), data); }
    std::string path() const { return dir.file("in.bin"); }
    gravel::test::TempDir dir;
};

// "AB:CD:..." or "abcd..." as printed by the tool, to bytes.
std::string tool_hex(std::string text) {
    std::string hex;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    }
    return from_hex(hex);
}

}  // namespace

std::string openssl_aes(bool encrypt, const std::string &key, const std::string &iv, const std::string &data,
                        bool nopad) {
    ToolInput in(data);
    return run_ok(std::string("openssl enc ") + (encrypt ? "-e" : "-d") + " -aes-128-cbc" + (nopad ? " -nopad" : "") +
                  " -K " + to_hex(key) + " -iv " + to_hex(iv) + " -in " + shell_quote(in.path()));
}

std::string openssl_hmac_sha256(const std::string &key, const std::string &message) {
    ToolInput in(message);
    return tool_hex(run_ok("openssl mac -digest SHA256 -macopt hexkey:" + to_hex(key) + " -in " +
                           shell_quote(in.path()) + " HMAC"));
}

std::string openssl_pbkdf2(const std::string &password, const std::string &salt, unsigned iterations,
                           unsigned key_len) {
    return tool_hex(run_ok("openssl kdf -keylen " + std::to_string(key_len) +
                           " -kdfopt digest:SHA256 -kdfopt hexpass:" + to_hex(password) + " -kdfopt hexsalt:" +
                           to_hex(salt) + " -kdfopt iter:" + std::to_string(iterations) + " PBKDF2"));
}

std::map<std::string, std::string> read_pairs(const std::string &path) {
    std::map<std::string, std::string> pairs;
    std::istringstream in(gravel::test::read_file(path));
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) pairs[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return pairs;
}

void EmptyBufferCalls::expect_refused(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        const std::string label =
            std::string(c.what) + (c.empty_output ? ", output of capacity 0" : ", input of length 0");
        std::memset(room_, 0x5a, sizeof room_);
        len = c.empty_output ? 0 : sizeof room_;
        const uint32_t before = len;
        EXPECT_EQ(c.call(), c.status) << label;
        EXPECT_EQ(len, before) << label;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(room_), sizeof room_), std::string(sizeof room_, '\x5a'))
            << label;
    }
}

void CipherRuntime::SetUp() {
    start_runtime("cipher-test");
}

void CipherRuntime::TearDown() {
    edge_cipher_destroy();
    stop_runtime();
}

uint32_t CipherRuntime::restart_cipher() {
    edge_cipher_destroy();
    return edge_cipher_init();
}

std::string CipherRuntime::secret(const std::string &name) const {
    return work_.file(name.empty() ? "secret" : "secret/" + name);
}

std::string CipherRuntime::domain_key(const char *name) {
    const edge_cipher_key_t *record = edge_cipher_get_domain(name);
    return record == nullptr ? "<none>" : std::string(reinterpret_cast<const char *>(record->key), record->len);
}

std::string CipherRuntime::work_key() {
    const unsigned char *key = edge_cipher_choose_work_key(edge_CIPHER_MGR_mgr_get(), 0);
    return key == nullptr ? "<none>" : std::string(reinterpret_cast<const char *>(key), EDGE_CIPHER_KEY_LEN);
}

void CipherRunning::SetUp() {
    CipherRuntime::SetUp();
    ASSERT_EQ(edge_cipher_init(), EDGE_OK);
}

}  // namespace cipher_test
