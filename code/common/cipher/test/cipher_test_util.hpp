// What the cipher tests share: a running base runtime with the cipher, and the independent
// tools (openssl, base64, iconv) they check the kit against.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>

#include "gravel_test_support.hpp"
#include "runtime_test.hpp"

namespace cipher_test {

using gravel::test::from_hex;
using gravel::test::to_hex;

inline const unsigned char *bytes(const std::string &s) {
    return reinterpret_cast<const unsigned char *>(s.data());
}
inline uint32_t len32(const std::string &s) {
    return static_cast<uint32_t>(s.size());
}

// Random bytes from the kit's own generator are not used to make test data; this one is
// seeded per call site so failures repeat.
std::string pseudo_random_bytes(size_t n, unsigned seed);

// Runs a command that must succeed and returns its standard output.
std::string run_ok(const std::string &command);

// The openssl tool's AES-128-CBC (PKCS#7 padding unless `nopad`), on raw bytes.
std::string openssl_aes(bool encrypt, const std::string &key, const std::string &iv, const std::string &data,
                        bool nopad = false);
// The openssl tool's HMAC-SHA256, as raw bytes.
std::string openssl_hmac_sha256(const std::string &key, const std::string &message);
// The openssl tool's PBKDF2-HMAC-SHA256, as raw bytes.
std::string openssl_pbkdf2(const std::string &password, const std::string &salt, unsigned iterations, unsigned key_len);

// A property file's pairs, read without the kit ("key=value" lines).
std::map<std::string, std::string> read_pairs(const std::string &path);

// Calls that meet an input of length 0 or an output of capacity 0. `none()` points at the end of
// a heap block, so AddressSanitizer reports any byte read or written there; `out()` and `len`
// are the other side of each call.
class EmptyBufferCalls {
public:
    struct Case {
        const char *what;
        bool empty_output;  // else the input is the empty one
        std::function<uint32_t()> call;
        uint32_t status;
    };
    unsigned char *none() const { return block_.get() + kBlockSize; }
    char *none_text() const { return reinterpret_cast<char *>(none()); }
    unsigned char *out() { return room_; }
    char *out_text() { return reinterpret_cast<char *>(room_); }
    uint32_t len = 0;

    // Runs each case with out() filled with a marker and `len` at out()'s capacity (0 for an
    // empty output): each must give its status and leave out() and `len` as they were.
    void expect_refused(const std::vector<Case> &cases);

private:
    static constexpr size_t kBlockSize = 16;
    std::unique_ptr<unsigned char[]> block_{new unsigned char[kBlockSize]};
    unsigned char room_[128] = {};
};

// A base runtime on a fresh work dir whose log the tests read; the cipher is started by the
// test (or by CipherRunning) so that files and environment can be arranged first.
class CipherRuntime : public gravel::test::BaseRuntimeTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // edge_cipher_destroy then edge_cipher_init: everything is read again from the files.
    uint32_t restart_cipher();
    std::string secret(const std::string &name = "") const;
    std::string material_file() const { return secret("449dda627abb9726"); }
    std::string primary_file() const { return secret("primary.ks"); }
    std::string domain_file() const { return secret("4e8a86a7502404a0"); }
    // A copy of a domain key's bytes, or nullopt-like empty marker "<none>".
    static std::string domain_key(const char *name);
    static std::string work_key();
};

// CipherRuntime with the cipher started in SetUp.
class CipherRunning : public CipherRuntime {
protected:
    void SetUp() override;
};

}  // namespace cipher_test
