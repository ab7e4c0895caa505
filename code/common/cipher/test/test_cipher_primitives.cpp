// The crypto primitives and the cipher text functions, checked against the openssl tool,
// coreutils base64 and iconv, and against bad input.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "cipher_test_util.hpp"

extern "C" int gravel_cipher_c_header_probe(void);

using namespace cipher_test;
using gravel::test::run_command;
using gravel::test::shell_quote;

namespace {

std::string kit_to_hex(const std::string &data) {
    std::string out(2 * data.size() + 1, '\x7f');
    uint32_t len = len32(out);
    EXPECT_EQ(edge_cipher_to_hex(bytes(data), len32(data), out.data(), &len), EDGE_OK);
    EXPECT_EQ(len, 2 * data.size());
    EXPECT_EQ(out.back(), '\0');  // the capacity was zeroed first
    return out.substr(0, len);
}

// An IV-prefixed record made by the kit, as bytes.
std::string kit_encrypt_raw(const std::string &plain, const std::string &key) {
    std::string out(plain.size() + 64, '\0');
    uint32_t len = len32(out);
    EXPECT_EQ(edge_cipher_aes_encrypt_raw(bytes(plain), len32(plain), reinterpret_cast<unsigned char *>(out.data()),
                                          &len, bytes(key), len32(key)),
              EDGE_OK);
    out.resize(len);
    return out;
}

std::string kit_encrypt_text(const std::string &plain, const std::string &key, apr_pool_t *pool) {
    std::string out(edge_cipher_calc_encrypt_len(len32(plain)), '\0');
    uint32_t len = len32(out);
    EXPECT_EQ(edge_cipher_encrypt_encode(bytes(plain), len32(plain), out.data(), &len, bytes(key), pool), EDGE_OK);
    EXPECT_EQ(len, out.size());
    return out;
}

// Decrypts with the kit; the status and (on success) the plaintext.
std::pair<uint32_t, std::string> kit_decrypt_text(const std::string &text, const std::string &key, apr_pool_t *pool,
                                                  uint32_t capacity) {
    std::string out(capacity, '\x55');
    uint32_t len = capacity;
    const uint32_t rc = edge_cipher_decrypt_decode(
        text.data(), len32(text), reinterpret_cast<unsigned char *>(out.data()), &len, bytes(key), pool);
    return {rc, rc == EDGE_OK ? out.substr(0, len) : out};
}

const std::string kKey = from_hex("000102030405060708090a0b0c0d0e0f");

}  // namespace

TEST(CipherHeader, CompilesAsC) {
    EXPECT_EQ(gravel_cipher_c_header_probe(), 1);
}

TEST(CipherTables, HexDigitsBothWays) {
    EXPECT_STREQ(hex_dic, "0123456789abcdef");
    for (int c = 0; c < 112; ++c) {
        int want = 255;
        if (std::isxdigit(c)) want = static_cast<int>(std::stoi(std::string(1, static_cast<char>(c)), nullptr, 16));
        EXPECT_EQ(hex_rdic[c], want) << "code " << c;
    }
    // Decoding accepts exactly the characters the table names.
    for (int c = 1; c < 256; ++c) {
        const char text[2] = {'0', static_cast<char>(c)};
        unsigned char out = 0;
        uint32_t len = 1;
        const bool digit = c < 112 && hex_rdic[c] != 255;
        EXPECT_EQ(edge_cipher_from_hex(text, 2, &out, &len), digit ? EDGE_OK : EDGE_ERR_BAD_ARGUMENT) << "code " << c;
        if (digit) {
            EXPECT_EQ(out, hex_rdic[c]);
        }
    }
}

TEST(CipherHex, EncodeAndDecode) {
    EXPECT_EQ(kit_to_hex(std::string("\x00\xab", 2)), "00ab");
    EXPECT_EQ(kit_to_hex(pseudo_random_bytes(300, 1)), to_hex(pseudo_random_bytes(300, 1)));

    struct Case {
        std::string text;
        uint32_t capacity;
        uint32_t status;
        std::string out;  // bytes written (on success, or before the failing pair)
    };
    const Case cases[] = {
        {"00ab", 2, EDGE_OK, std::string("\x00\xab", 2)},
        {"00AB", 2, EDGE_OK, std::string("\x00\xab", 2)},
        {"0g", 1, EDGE_ERR_BAD_ARGUMENT, ""},
        {"abc", 2, EDGE_ERR_BAD_ARGUMENT, ""},
        {"ab0g", 2, EDGE_ERR_BAD_ARGUMENT, "\xab"},
        {"0~", 1, EDGE_ERR_BAD_ARGUMENT, ""},        // code 126, beyond the table
        {"\xc3\xa9", 1, EDGE_ERR_BAD_ARGUMENT, ""},  // above 127
        {"00ab", 1, EDGE_ERR_OUT_OF_RANGE, ""},
        {std::string("\0a", 2), 1, EDGE_ERR_MISSING, ""},
    };
    for (const Case &c : cases) {
        std::string out(c.capacity, '\0');
        uint32_t len = c.capacity;
        EXPECT_EQ(
            edge_cipher_from_hex(c.text.data(), len32(c.text), reinterpret_cast<unsigned char *>(out.data()), &len),
            c.status)
            << c.text;
        EXPECT_EQ(out.substr(0, c.out.size()), c.out) << c.text;
        if (c.status == EDGE_OK) {
            EXPECT_EQ(len, c.out.size());
        }
    }

    char small[3];
    uint32_t len = sizeof small;
    EXPECT_EQ(edge_cipher_to_hex(bytes("ab"), 2, small, &len), EDGE_ERR_OUT_OF_RANGE);
    EXPECT_EQ(edge_cipher_to_hex(nullptr, 2, small, &len), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_from_hex("ab", 0, reinterpret_cast<unsigned char *>(small), &len), EDGE_ERR_MISSING);
}

TEST(CipherBase64, MatchesCoreutilsBothWays) {
    for (size_t n : {1, 2, 3, 4, 5, 47, 48, 49, 100}) {
        const std::string data = pseudo_random_bytes(n, static_cast<unsigned>(n));
        gravel::test::TempDir dir;
        gravel::test::write_file(dir.file("in"), data);
        const std::string tool = run_ok("base64 -w0 " + shell_quote(dir.file("in")));

        // Exactly the text's length fits, and nothing is written after it.
        std::string text(tool.size() + 1, '#');
        uint32_t len = len32(tool);
        ASSERT_EQ(edge_cipher_base64_encode(bytes(data), len32(data), text.data(), &len), EDGE_OK);
        EXPECT_EQ(text.substr(0, len), tool) << n;
        EXPECT_EQ(text.back(), '#');
        len = len32(tool) - 1;
        EXPECT_EQ(edge_cipher_base64_encode(bytes(data), len32(data), text.data(), &len), EDGE_ERR_OUT_OF_RANGE);

        std::string decoded(tool.size() / 4 * 3, '\0');
        len = len32(decoded);
        std::string copy = tool;
        ASSERT_EQ(edge_cipher_base64_decode(copy.data(), len32(copy), reinterpret_cast<unsigned char *>(decoded.data()),
                                            &len),
                  EDGE_OK);
        EXPECT_EQ(decoded.substr(0, len), data) << n;
    }
}

TEST(CipherBase64, DecodeRefusesMalformedText) {
    struct Case {
        std::string text;
        uint32_t capacity;
        uint32_t status;
        std::string out;
    };
    const Case cases[] = {
        {"QUJD", 3, EDGE_OK, "ABC"},
        {"QUI=", 3, EDGE_OK, "AB"},
        {"QQ==", 3, EDGE_OK, "A"},
        {"-_8=", 3, EDGE_OK, "\xfb\xff"},    // URL-safe alphabet
        {"QUJD=", 6, EDGE_ERR_MISSING, ""},  // not a multiple of 4
        {"QUJ", 3, EDGE_ERR_MISSING, ""},
        {"QU=D", 3, EDGE_ERR_UNDECRYPTABLE, ""},
        {"Q===", 3, EDGE_ERR_UNDECRYPTABLE, ""},
        {"====", 3, EDGE_ERR_UNDECRYPTABLE, ""},
        {"QUJ*", 3, EDGE_ERR_UNDECRYPTABLE, ""},
        {"QU D", 3, EDGE_ERR_UNDECRYPTABLE, ""},
        {"QUJD\n", 4, EDGE_ERR_MISSING, ""},
        {"QUJDQUJD", 5, EDGE_ERR_OUT_OF_RANGE, ""},
        {"QQ==", 2, EDGE_ERR_OUT_OF_RANGE, ""},  // room is counted before the padding
    };
    for (const Case &c : cases) {
        std::string text = c.text;
        std::string out(c.capacity, '\0');
        uint32_t len = c.capacity;
        EXPECT_EQ(
            edge_cipher_base64_decode(text.data(), len32(text), reinterpret_cast<unsigned char *>(out.data()), &len),
            c.status)
            << c.text;
        if (c.status == EDGE_OK) {
            EXPECT_EQ(out.substr(0, len), c.out) << c.text;
        }
    }
    std::string url = "-_8=";
    uint32_t len = 3;
    unsigned char out[3];
    ASSERT_EQ(edge_cipher_base64_decode(url.data(), len32(url), out, &len), EDGE_OK);
    EXPECT_EQ(url, "+/8=");  // the caller's text is rewritten in place
}

TEST(CipherDigest, RawHmacMatchesOpenssl) {
    struct Case {
        std::string key;
        std::string message;
    };
    const Case cases[] = {
        {"key", "msg"},
        {gravel::test::cat("k", pseudo_random_bytes(99, 7)), "a key longer than the hash block"},
        {"k", pseudo_random_bytes(1000, 8)},
    };
    for (const Case &c : cases) {
        unsigned char mac[40];
        uint32_t len = sizeof mac;
        ASSERT_EQ(edge_cipher_digest_raw(bytes(c.message), len32(c.message), mac, &len, bytes(c.key), len32(c.key)),
                  EDGE_OK);
        ASSERT_EQ(len, 32u);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(mac), len), openssl_hmac_sha256(c.key, c.message));
    }
}

TEST(CipherDigest, RawRefusesUnusableArguments) {
    unsigned char mac[32];
    uint32_t len = sizeof mac;
    const std::string zero_first("\0key", 4);
    EXPECT_EQ(edge_cipher_digest_raw(bytes("m"), 1, mac, &len, bytes(zero_first), 4), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_digest_raw(bytes("m"), 1, mac, nullptr, bytes("k"), 1), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_digest_raw(bytes("m"), 0, mac, &len, bytes("k"), 1), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_digest_raw(bytes("m"), 1, mac, &len, bytes("k"), 0), EDGE_ERR_MISSING);
    // The output must hold the whole digest before anything is written.
    len = 31;
    EXPECT_EQ(edge_cipher_digest_raw(bytes("m"), 1, mac, &len, bytes("k"), 1), EDGE_ERR_OUT_OF_RANGE);
}

TEST(CipherPbkdf2, MatchesOpensslKdf) {
    struct Case {
        std::string password;
        std::string salt;       // as handed in
        uint32_t salt_len;      // the length argument
        std::string tool_salt;  // what the derivation must use
        unsigned iterations;
        unsigned key_len;
    };
    const Case cases[] = {
        {"password", "salt", 4, "salt", 1000, 16},
        {"p", "NaCl", 4, "NaCl", 1, 32},
        {std::string(64, 'x'), "0123456789abcdef", 16, "0123456789abcdef", 2000, 20},
        {"pw", std::string("ab\0cd", 5), 5, "ab", 10, 16},  // the salt ends at its first zero byte
        {"pw", "abcdef", 3, "abcdef", 10, 16},              // and not at its length argument
        {"pw", "NaCl", 1, "NaCl", 10, 16},
        {"pw", "salt", 100, "salt", 10, 16},              // the length argument is only checked for being non-zero
        {"", "salt", 4, "salt", 10, 16},                  // an empty password is a password
        {"pw", std::string("\0salt", 5), 5, "", 10, 16},  // and an empty salt a salt
    };
    for (const Case &c : cases) {
        std::string out(c.key_len, '\0');
        ASSERT_EQ(edge_cipher_pbkdf2_sha256(c.password.c_str(), bytes(c.salt), c.salt_len, c.iterations,
                                            reinterpret_cast<unsigned char *>(out.data()), c.key_len),
                  EDGE_OK);
        EXPECT_EQ(out, openssl_pbkdf2(c.password, c.tool_salt, c.iterations, c.key_len)) << c.password;
    }
    unsigned char out[16];
    EXPECT_EQ(edge_cipher_pbkdf2_sha256("p", bytes("s"), 0, 1, out, 16), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_pbkdf2_sha256("p", bytes("s"), 1, 0, out, 16), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_pbkdf2_sha256(nullptr, bytes("s"), 1, 1, out, 16), EDGE_ERR_MISSING);
}

TEST(CipherUtf8, MatchesIconv) {
    const std::vector<std::vector<uint16_t>> cases = {
        {'A', 'b', '7'},
        {0x7f, 0x80, 0xe9, 0xff},
        {0x4e2d, 0x20ac, 'x'},
    };
    for (const auto &units : cases) {
        std::string raw(reinterpret_cast<const char *>(units.data()), units.size() * 2);  // this machine's order
        gravel::test::TempDir dir;
        gravel::test::write_file(dir.file("in"), raw);
        const std::string tool = run_ok("iconv -f UCS-2 -t UTF-8 " + shell_quote(dir.file("in")));
        std::string out(32, '\0');
        uint32_t len = len32(out);
        int dummy = 0;
        auto *pool = reinterpret_cast<apr_pool_t *>(&dummy);  // required, never used
        ASSERT_EQ(edge_cipher_unicode_to_utf8_native(bytes(raw), len32(raw), out.data(), &len, pool), EDGE_OK);
        EXPECT_EQ(out.substr(0, len), tool);
    }
}

TEST(CipherUtf8, IncompleteInputOrShortOutputFails) {
    int dummy = 0;
    auto *pool = reinterpret_cast<apr_pool_t *>(&dummy);
    char out[8];
    uint32_t len = sizeof out;
    EXPECT_EQ(edge_cipher_unicode_to_utf8_native(bytes("A\0B"), 3, out, &len, pool), EDGE_ERR_MISSING);
    const uint16_t wide[] = {0x20ac, 0x20ac, 0x20ac};  // 9 bytes of UTF-8
    len = sizeof out;
    EXPECT_EQ(
        edge_cipher_unicode_to_utf8_native(reinterpret_cast<const unsigned char *>(wide), sizeof wide, out, &len, pool),
        EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_unicode_to_utf8_native(bytes("A\0"), 2, out, &len, nullptr), EDGE_ERR_MISSING);
}

TEST(CipherLengths, CipherTextLength) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 0},   {1, 64},   {15, 64},        {16, 96},
                                                   {31, 96}, {32, 128}, {0xffffffffu, 0}};
    for (const auto &[n, want] : cases) EXPECT_EQ(edge_cipher_calc_encrypt_len(n), want) << n;
}

TEST(CipherRandom, FillsAndRefusesNothing) {
    unsigned char a[32] = {};
    unsigned char b[32] = {};
    ASSERT_EQ(edge_cipher_generate_randoms(a, sizeof a), EDGE_OK);
    ASSERT_EQ(edge_cipher_generate_randoms(b, sizeof b), EDGE_OK);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    EXPECT_EQ(edge_cipher_generate_randoms(a, 0), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_generate_randoms(nullptr, 1), EDGE_ERR_MISSING);
}

TEST_F(CipherRuntime, ScratchFunctionsNeedTheManager) {
    unsigned char out[64];
    uint32_t len = sizeof out;
    EXPECT_EQ(edge_cipher_aes_encrypt_raw(bytes("x"), 1, out, &len, bytes(kKey), 16), EDGE_ERR_NO_MEMORY);
    EXPECT_EQ(edge_cipher_aes_decrypt_raw(out, 32, out, &len, bytes(kKey), 16), EDGE_ERR_NO_MEMORY);
    EXPECT_EQ(edge_cipher_load_key(out, &len), EDGE_ERR_NO_MEMORY);
    char text[64];
    len = sizeof text;
    EXPECT_EQ(edge_cipher_encrypt_encode(bytes("x"), 1, text, &len, bytes(kKey), pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_decrypt_decode(std::string(64, 'a').c_str(), 64, out, &len, bytes(kKey), pool_),
              EDGE_ERR_MISSING);
}

TEST_F(CipherRunning, RawRecordsHaveTheRightSizeAndFreshIvs) {
    for (uint32_t n : {1u, 15u, 16u, 17u, 31u, 32u, 100u}) {
        const std::string plain = pseudo_random_bytes(n, n);
        const std::string a = kit_encrypt_raw(plain, kKey);
        const std::string b = kit_encrypt_raw(plain, kKey);
        EXPECT_EQ(a.size(), (n / 16 + 2) * 16) << n;
        EXPECT_NE(a.substr(0, 16), b.substr(0, 16));
        for (const std::string &record : {a, b}) {
            std::string out(n + 16, '\0');
            uint32_t len = len32(out);
            ASSERT_EQ(edge_cipher_aes_decrypt_raw(bytes(record), len32(record),
                                                  reinterpret_cast<unsigned char *>(out.data()), &len, bytes(kKey), 16),
                      EDGE_OK);
            EXPECT_EQ(out.substr(0, len), plain);
        }
    }
    unsigned char out[64];
    uint32_t len = sizeof out;
    EXPECT_EQ(edge_cipher_aes_encrypt_raw(bytes("x"), 0, out, &len, bytes(kKey), 16), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_aes_encrypt_raw(bytes("x"), 1, out, &len, bytes(kKey), 15), EDGE_ERR_MISSING);
    len = 31;
    EXPECT_EQ(edge_cipher_aes_encrypt_raw(bytes("x"), 1, out, &len, bytes(kKey), 16), EDGE_ERR_AES_ENCRYPT);
    EXPECT_TRUE(work_.logged("ERROR output buffer is too small, need length:32"));
}

TEST_F(CipherRunning, CipherTextDecryptsWithOpensslEnc) {
    for (uint32_t n : {1u, 15u, 16u, 17u, 100u, 1024u}) {
        const std::string plain = pseudo_random_bytes(n, 100 + n);
        const std::string text = kit_encrypt_text(plain, kKey, pool_);
        EXPECT_EQ(text.size(), (n / 16 + 2) * 32u);
        EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
        const std::string record = from_hex(text);
        EXPECT_EQ(openssl_aes(false, kKey, record.substr(0, 16), record.substr(16)), plain) << n;
    }
}

TEST_F(CipherRunning, OpensslEncDecryptsWithTheKit) {
    for (uint32_t n : {1u, 16u, 33u, 1024u}) {
        const std::string plain = pseudo_random_bytes(n, 200 + n);
        const std::string iv = pseudo_random_bytes(16, 300 + n);
        const std::string text = to_hex(iv + openssl_aes(true, kKey, iv, plain));
        const auto [rc, out] = kit_decrypt_text(text, kKey, pool_, n);  // exactly the plaintext's room
        EXPECT_EQ(rc, EDGE_OK) << n;
        EXPECT_EQ(out, plain) << n;
        // Upper case hex is read as well.
        std::string upper = text;
        for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(kit_decrypt_text(upper, kKey, pool_, n).second, plain);
    }
}

TEST_F(CipherRunning, BadCipherTextNeverGivesPlaintext) {
    const std::string iv(16, '\x11');
    // Whole blocks encrypted without padding, so the last block's bytes are chosen here.
    auto record_ending_with = [&](const std::string &last_block) {
        return iv + openssl_aes(true, kKey, iv, std::string(16, 'p') + last_block, true);
    };
    std::string pad3_wrong = std::string(13, 'q') + std::string("\x01\x03\x03", 3);
    struct Case {
        const char *what;
        std::string record;
        uint32_t raw_status;
        uint32_t text_status;
        const char *log;
    };
    const Case cases[] = {
        {"an IV alone", iv, EDGE_ERR_MISSING, EDGE_ERR_AES_DECRYPT, nullptr},
        {"not whole blocks", iv + std::string(20, 'x'), EDGE_ERR_MISSING, EDGE_ERR_AES_DECRYPT, nullptr},
        {"padding count 17", record_ending_with(std::string(15, 'q') + "\x11"), EDGE_ERR_OUT_OF_RANGE,
         EDGE_ERR_AES_DECRYPT, "ERROR padding too long, padding_len:17"},
        {"padding count 0", record_ending_with(std::string(15, 'q') + std::string(1, '\0')), EDGE_ERR_OUT_OF_RANGE,
         EDGE_ERR_AES_DECRYPT, "ERROR padding error, padding_len:0"},
        {"padding bytes that differ from the count", record_ending_with(pad3_wrong), EDGE_ERR_OUT_OF_RANGE,
         EDGE_ERR_AES_DECRYPT, "ERROR padding error, padding_len:3"},
    };
    // The log lines written since the last call, pointers masked: the two functions decrypt into
    // different buffers.
    size_t seen = work_.log_lines().size();
    auto new_lines = [&] {
        const std::vector<std::string> all = work_.log_lines();
        std::vector<std::string> lines;
        for (size_t i = seen; i < all.size(); ++i) {
            std::string line = all[i];
            const size_t at = line.find("0x");
            if (at != std::string::npos) line.replace(at, line.find(',', at) - at, "<pointer>");
            lines.push_back(line);
        }
        seen = all.size();
        return lines;
    };
    for (const Case &c : cases) {
        std::string out(64, '\x55');
        uint32_t len = len32(out);
        EXPECT_EQ(edge_cipher_aes_decrypt_raw(bytes(c.record), len32(c.record),
                                              reinterpret_cast<unsigned char *>(out.data()), &len, bytes(kKey), 16),
                  c.raw_status)
            << c.what;
        if (c.raw_status != EDGE_ERR_MISSING) {  // nothing decrypted is left
            EXPECT_EQ(out, std::string(64, '\0')) << c.what;
        }
        std::vector<std::string> raw_lines = new_lines();
        if (c.log != nullptr) {
            EXPECT_EQ(raw_lines, std::vector<std::string>{c.log}) << c.what;
        }
        // The cipher text function decrypts through the raw one: the same lines, then its own.
        const auto [rc, text_out] = kit_decrypt_text(to_hex(c.record), kKey, pool_, 64);
        EXPECT_EQ(rc, c.text_status) << c.what;
        EXPECT_EQ(text_out.find('p'), std::string::npos) << c.what;
        raw_lines.push_back("ERROR aes decrypt error, ret:" + std::to_string(c.raw_status));
        EXPECT_EQ(new_lines(), raw_lines) << c.what;
    }
    EXPECT_TRUE(work_.logged("ERROR aes decrypt error, ret:20004"));
}

TEST_F(CipherRunning, DecryptDecodeStatuses) {
    const std::string plain = "twenty bytes of text";
    const std::string text = kit_encrypt_text(plain, kKey, pool_);
    struct Case {
        const char *what;
        std::string text;
        uint32_t capacity;
        uint32_t status;
    };
    const Case cases[] = {
        {"exact room", text, 20, EDGE_OK},
        {"one byte short", text, 19, EDGE_ERR_OUT_OF_RANGE},
        {"odd length", text + "0", 64, EDGE_ERR_HEX_DECODE},
        {"97 characters", text.substr(0, 96) + "a", 64, EDGE_ERR_HEX_DECODE},
        {"not hex", gravel::test::cat("zz", text.substr(2)), 64, EDGE_ERR_HEX_DECODE},
        {"32 characters: an IV alone", text.substr(0, 32), 64, EDGE_ERR_AES_DECRYPT},
        {"truncated by one block", text.substr(0, text.size() - 32), 64, EDGE_ERR_AES_DECRYPT},
        {"truncated inside a block", text.substr(0, text.size() - 8), 64, EDGE_ERR_AES_DECRYPT},
        {"wrong key", text, 64, EDGE_ERR_AES_DECRYPT},
    };
    for (const Case &c : cases) {
        std::string key = kKey;
        if (std::string(c.what) == "wrong key") {
            // A key under which this text's padding is certainly wrong, found with the tool.
            bool found = false;
            for (unsigned seed = 1; seed < 100 && !found; ++seed) {
                key = pseudo_random_bytes(16, seed);
                const std::string record = from_hex(text);
                const std::string last = openssl_aes(false, key, record.substr(0, 16), record.substr(16), true);
                found = static_cast<unsigned char>(last.back()) > 16;
            }
            ASSERT_TRUE(found);
        }
        const auto [rc, out] = kit_decrypt_text(c.text, key, pool_, c.capacity);
        EXPECT_EQ(rc, c.status) << c.what;
        if (rc == EDGE_OK) {
            EXPECT_EQ(out, plain);
        } else {
            EXPECT_EQ(out.find("twenty"), std::string::npos) << c.what;
        }
    }
    EXPECT_TRUE(work_.logged("ERROR target plain buffer not enough, need 20"));
    EXPECT_TRUE(work_.logged("ERROR hex decode error, ret:20003"));
}

// An output too short even for the blocks before the last: the length the plaintext needs, or a
// bad padding, is still told apart, and nothing decrypted is written.
TEST_F(CipherRunning, DecryptionIntoAFarTooShortOutput) {
    const std::string iv(16, '\x22');
    const std::string plain = pseudo_random_bytes(100, 41);
    struct Case {
        const char *what;
        std::string record;
        uint32_t raw_status;
        const char *raw_log;
        uint32_t text_status;
        const char *text_log;
    };
    const Case cases[] = {
        {"good padding", iv + openssl_aes(true, kKey, iv, plain), EDGE_ERR_OUT_OF_RANGE,
         "ERROR output buffer is too small, need length:100", EDGE_ERR_OUT_OF_RANGE,
         "ERROR target plain buffer not enough, need 100"},
        {"padding count 17", iv + openssl_aes(true, kKey, iv, plain.substr(0, 95) + "\x11", true),
         EDGE_ERR_OUT_OF_RANGE, "ERROR padding too long, padding_len:17", EDGE_ERR_AES_DECRYPT,
         "ERROR aes decrypt error, ret:20004"},
    };
    for (const Case &c : cases) {
        std::string out(10, '\x55');
        uint32_t len = len32(out);
        EXPECT_EQ(edge_cipher_aes_decrypt_raw(bytes(c.record), len32(c.record),
                                              reinterpret_cast<unsigned char *>(out.data()), &len, bytes(kKey), 16),
                  c.raw_status)
            << c.what;
        EXPECT_EQ(out, std::string(10, '\0')) << c.what;  // zeroed first, nothing written after
        EXPECT_TRUE(work_.logged(c.raw_log)) << c.what;
        const auto [rc, text_out] = kit_decrypt_text(to_hex(c.record), kKey, pool_, 10);
        EXPECT_EQ(rc, c.text_status) << c.what;
        EXPECT_EQ(text_out, std::string(10, '\x55')) << c.what;  // untouched
        EXPECT_TRUE(work_.logged(c.text_log)) << c.what;
    }
}

TEST_F(CipherRunning, EncryptEncodeStatuses) {
    const std::string plain(16, 's');
    std::string out(97, '#');
    uint32_t len = 96;
    ASSERT_EQ(edge_cipher_encrypt_encode(bytes(plain), 16, out.data(), &len, bytes(kKey), pool_), EDGE_OK);
    EXPECT_EQ(len, 96u);
    EXPECT_EQ(out[96], '#');  // exactly the text, no terminator
    const auto [rc, back] = kit_decrypt_text(out.substr(0, 96), kKey, pool_, 16);
    EXPECT_EQ(rc, EDGE_OK);
    EXPECT_EQ(back, plain);

    len = 95;
    EXPECT_EQ(edge_cipher_encrypt_encode(bytes(plain), 16, out.data(), &len, bytes(kKey), pool_),
              EDGE_ERR_OUT_OF_RANGE);
    EXPECT_TRUE(work_.logged("ERROR output buffer is too small, need encoded_len:96"));
    len = 96;
    EXPECT_EQ(edge_cipher_encrypt_encode(bytes(plain), 0, out.data(), &len, bytes(kKey), pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_encrypt_encode(bytes(plain), 16, out.data(), &len, bytes(kKey), nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_encrypt_encode(bytes(plain), 16, out.data(), &len, nullptr, pool_), EDGE_ERR_MISSING);
}

// Every primitive and cipher text function meets an input of length 0 and an output of capacity
// 0 that point at the end of a heap block, so AddressSanitizer reports any byte read or written
// there. Each call is refused before it touches a byte, and leaves the other buffer and the
// length as they were.
TEST_F(CipherRunning, ZeroLengthInputsAndZeroCapacityOutputsAreRefused) {
    EmptyBufferCalls empty;
    unsigned char *none = empty.none();
    char *none_text = empty.none_text();
    uint32_t &len = empty.len;
    auto out = [&] { return empty.out(); };
    auto out_text = [&] { return empty.out_text(); };
    int dummy = 0;
    auto *unused_pool = reinterpret_cast<apr_pool_t *>(&dummy);  // the UTF-8 conversion never uses it
    const unsigned char *key = bytes(kKey);
    const std::string record = kit_encrypt_raw("plain", kKey);
    const std::string text = kit_encrypt_text("plain", kKey, pool_);
    std::string b64 = "QUJD";
    const std::string units("A\0", 2);

    empty.expect_refused({
        {"random bytes", false, [&] { return edge_cipher_generate_randoms(none, 0); }, EDGE_ERR_MISSING},
        {"aes encrypt plaintext", false, [&] { return edge_cipher_aes_encrypt_raw(none, 0, out(), &len, key, 16); },
         EDGE_ERR_MISSING},
        {"aes encrypt key", false, [&] { return edge_cipher_aes_encrypt_raw(bytes("p"), 1, out(), &len, none, 0); },
         EDGE_ERR_MISSING},
        {"aes decrypt record", false, [&] { return edge_cipher_aes_decrypt_raw(none, 0, out(), &len, key, 16); },
         EDGE_ERR_MISSING},
        {"aes decrypt key", false,
         [&] { return edge_cipher_aes_decrypt_raw(bytes(record), len32(record), out(), &len, none, 0); },
         EDGE_ERR_MISSING},
        {"hmac message", false, [&] { return edge_cipher_digest_raw(none, 0, out(), &len, key, 16); },
         EDGE_ERR_MISSING},
        {"hmac key", false, [&] { return edge_cipher_digest_raw(bytes("m"), 1, out(), &len, none, 0); },
         EDGE_ERR_MISSING},
        {"pbkdf2 salt", false, [&] { return edge_cipher_pbkdf2_sha256("pw", none, 0, 1, out(), 16); },
         EDGE_ERR_MISSING},
        {"base64 encode", false, [&] { return edge_cipher_base64_encode(none, 0, out_text(), &len); },
         EDGE_ERR_MISSING},
        {"base64 decode", false, [&] { return edge_cipher_base64_decode(none_text, 0, out(), &len); },
         EDGE_ERR_MISSING},
        {"to hex", false, [&] { return edge_cipher_to_hex(none, 0, out_text(), &len); }, EDGE_ERR_MISSING},
        {"from hex", false, [&] { return edge_cipher_from_hex(none_text, 0, out(), &len); }, EDGE_ERR_MISSING},
        {"utf8", false, [&] { return edge_cipher_unicode_to_utf8_native(none, 0, out_text(), &len, unused_pool); },
         EDGE_ERR_MISSING},
        {"encrypt encode", false, [&] { return edge_cipher_encrypt_encode(none, 0, out_text(), &len, key, pool_); },
         EDGE_ERR_MISSING},
        {"decrypt decode", false, [&] { return edge_cipher_decrypt_decode(none_text, 0, out(), &len, key, pool_); },
         EDGE_ERR_MISSING},

        {"aes encrypt", true, [&] { return edge_cipher_aes_encrypt_raw(bytes("p"), 1, none, &len, key, 16); },
         EDGE_ERR_MISSING},
        {"aes decrypt", true,
         [&] { return edge_cipher_aes_decrypt_raw(bytes(record), len32(record), none, &len, key, 16); },
         EDGE_ERR_MISSING},
        {"hmac", true, [&] { return edge_cipher_digest_raw(bytes("m"), 1, none, &len, key, 16); }, EDGE_ERR_MISSING},
        {"pbkdf2", true, [&] { return edge_cipher_pbkdf2_sha256("pw", bytes("salt"), 4, 1, none, 0); },
         EDGE_ERR_MISSING},
        {"base64 encode", true, [&] { return edge_cipher_base64_encode(bytes("abc"), 3, none_text, &len); },
         EDGE_ERR_MISSING},
        {"base64 decode", true, [&] { return edge_cipher_base64_decode(b64.data(), len32(b64), none, &len); },
         EDGE_ERR_OUT_OF_RANGE},
        {"to hex", true, [&] { return edge_cipher_to_hex(bytes("ab"), 2, none_text, &len); }, EDGE_ERR_MISSING},
        {"from hex", true, [&] { return edge_cipher_from_hex("ab", 2, none, &len); }, EDGE_ERR_OUT_OF_RANGE},
        {"utf8", true,
         [&] { return edge_cipher_unicode_to_utf8_native(bytes(units), len32(units), none_text, &len, unused_pool); },
         EDGE_ERR_MISSING},
        {"env key", true, [&] { return edge_cipher_load_key(none, &len); }, EDGE_ERR_MISSING},
        {"encrypt encode", true, [&] { return edge_cipher_encrypt_encode(bytes("p"), 1, none_text, &len, key, pool_); },
         EDGE_ERR_MISSING},
        {"decrypt decode", true,
         [&] { return edge_cipher_decrypt_decode(text.data(), len32(text), none, &len, key, pool_); },
         EDGE_ERR_MISSING},
    });
    EXPECT_EQ(edge_cipher_calc_encrypt_len(0), 0u);
}
