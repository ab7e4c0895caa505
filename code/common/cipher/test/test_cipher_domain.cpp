// Domain keys and the operations under them: entering keys, encryption, digests, the env key
// and env decryption, and use from several threads while keys are entered.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <apr_strings.h>

#include "cipher_test_util.hpp"

using namespace cipher_test;
using gravel::test::read_file;
using gravel::test::shell_quote;
using gravel::test::write_file;

namespace {

std::string encrypt_under(const char *domain, const std::string &plain, apr_pool_t *pool, uint32_t *status) {
    std::string out(edge_cipher_calc_encrypt_len(len32(plain)), '\0');
    uint32_t len = len32(out);
    *status = edge_cipher_encrypt(bytes(plain), len32(plain), out.data(), &len, domain, pool);
    return out.substr(0, *status == EDGE_OK ? len : 0);
}

std::string decrypt_under(const char *domain, const std::string &text, apr_pool_t *pool, uint32_t *status) {
    std::string out(text.size(), '\0');
    uint32_t len = len32(out);
    *status = edge_cipher_decrypt(text.data(), len32(text), reinterpret_cast<unsigned char *>(out.data()), &len, domain,
                                  pool);
    return out.substr(0, *status == EDGE_OK ? len : 0);
}

std::string digest_under(const char *domain, const std::string &message, uint32_t capacity, uint32_t *status) {
    std::string out(capacity, '#');
    uint32_t len = capacity;
    *status = edge_cipher_digest(bytes(message), len32(message), out.data(), &len, domain);
    return out;
}

apr_hash_t *auth_table(apr_pool_t *pool, const std::vector<std::pair<std::string, std::string>> &keys) {
    apr_hash_t *table = apr_hash_make(pool);
    for (const auto &[name, key] : keys) {
        auto *record = static_cast<edge_cipher_key_t *>(apr_pcalloc(pool, sizeof(edge_cipher_key_t)));
        record->key = reinterpret_cast<unsigned char *>(apr_pmemdup(pool, key.data(), key.size()));
        record->len = len32(key);
        record->enduring = 0;  // the flag of the given records is not read
        apr_hash_set(table, apr_pstrdup(pool, name.c_str()), APR_HASH_KEY_STRING, record);
    }
    return table;
}

// A module.dat whose 12 characters, interleaved with the built-in constant, are the base64 text
// of a 16-byte key: the constant holds the even places, the file the odd ones. The key is
// what coreutils' base64 makes of the interleaved text.
struct EnvKey {
    std::string module_dat;
    std::string key;
};
EnvKey make_env_key(unsigned seed) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string noise = pseudo_random_bytes(11, seed);
    std::string part;
    for (int i = 0; i < 10; ++i) part += alphabet[static_cast<unsigned char>(noise[i]) % 64];
    part += "AQgw"[static_cast<unsigned char>(noise[10]) % 4];  // its low bits fall off: keep them zero
    part += '=';
    const std::string constant = GRAVEL_ENV_KEY_CONSTANT;
    std::string text;
    for (size_t i = 0; i < 12; ++i) text += std::string(1, constant[i]) + part[i];
    gravel::test::TempDir dir;
    write_file(dir.file("b64"), text);
    return {part, run_ok("base64 -d " + shell_quote(dir.file("b64")))};
}

// What a provisioning tool hands a module: base64 of IV and AES-128-CBC cipher text, made with
// the openssl and base64 tools.
std::string env_value(const std::string &key, const std::string &plain, unsigned seed) {
    const std::string iv = pseudo_random_bytes(16, seed);
    gravel::test::TempDir dir;
    write_file(dir.file("record"), iv + openssl_aes(true, key, iv, plain));
    return run_ok("base64 -w0 " + shell_quote(dir.file("record")));
}

}  // namespace

TEST_F(CipherRunning, FirstKeyOfANameWins) {
    const std::string first(16, '1');
    const std::string second(16, '2');
    ASSERT_EQ(edge_cipher_save_key("secret", bytes(first), 16, 1), EDGE_OK);
    const std::string stored = read_file(domain_file());
    EXPECT_EQ(edge_cipher_save_key("secret", bytes(second), 16, 1), EDGE_OK);
    EXPECT_TRUE(work_.logged("WARN target domain key has saved, skip, domain_name:secret"));
    EXPECT_TRUE(work_.logged("INFO save key, domain_name:secret, enduring:1"));
    EXPECT_EQ(domain_key("secret"), first);
    EXPECT_EQ(read_file(domain_file()), stored);

    // Not enduring: the store file is not touched.
    ASSERT_EQ(edge_cipher_save_key("configs", bytes(second), 16, 0), EDGE_OK);
    EXPECT_EQ(read_file(domain_file()), stored);
    EXPECT_EQ(edge_cipher_get_domain("configs")->enduring, 0u);

    EXPECT_EQ(edge_cipher_save_key("", bytes(first), 16, 0), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_cipher_save_key(nullptr, bytes(first), 16, 0), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_cipher_save_key("x", nullptr, 16, 0), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_cipher_save_key("x", bytes(first), 0, 0), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_cipher_has_domain(""), 0);
    EXPECT_EQ(edge_cipher_has_domain(nullptr), 0);
    EXPECT_EQ(edge_cipher_get_domain(""), nullptr);
}

// The operations under a domain key meet an input of length 0 and an output of capacity 0 that
// point at the end of a heap block (AddressSanitizer reports any byte touched there): each is
// refused and leaves the other buffer and the length as they were.
TEST_F(CipherRunning, DomainOperationsRefuseEmptyBuffers) {
    ASSERT_EQ(edge_cipher_save_key("configs", bytes(std::string(16, 'c')), 16, 0), EDGE_OK);
    EmptyBufferCalls empty;
    unsigned char *none = empty.none();
    char *none_text = empty.none_text();
    uint32_t &len = empty.len;
    unsigned char *room = empty.out();
    auto out_text = [&] { return empty.out_text(); };
    uint32_t rc = 0;
    const std::string text = encrypt_under("configs", "plain", pool_, &rc);
    ASSERT_EQ(rc, EDGE_OK);
    std::string env_text = "QUJD";

    empty.expect_refused({
        {"encrypt", false, [&] { return edge_cipher_encrypt(none, 0, out_text(), &len, "configs", pool_); },
         EDGE_ERR_MISSING},
        {"decrypt", false, [&] { return edge_cipher_decrypt(none_text, 0, room, &len, "configs", pool_); },
         EDGE_ERR_MISSING},
        {"digest", false, [&] { return edge_cipher_digest(none, 0, out_text(), &len, "configs"); }, EDGE_ERR_MISSING},
        {"env decrypt", false, [&] { return edge_cipher_env_decrypt(none_text, 0, room, &len); }, EDGE_ERR_MISSING},
        {"save key", false, [&] { return edge_cipher_save_key("empty", none, 0, 1); }, EDGE_ERR_BAD_ARGUMENT},
        {"encrypt", true, [&] { return edge_cipher_encrypt(bytes("p"), 1, none_text, &len, "configs", pool_); },
         EDGE_ERR_MISSING},
        {"decrypt", true, [&] { return edge_cipher_decrypt(text.data(), len32(text), none, &len, "configs", pool_); },
         EDGE_ERR_MISSING},
        {"digest", true, [&] { return edge_cipher_digest(bytes("m"), 1, none_text, &len, "configs"); },
         EDGE_ERR_MISSING},
        {"env decrypt", true, [&] { return edge_cipher_env_decrypt(env_text.data(), 4, none, &len); },
         EDGE_ERR_MISSING},
    });
    EXPECT_EQ(edge_cipher_has_domain("empty"), 0);
}

TEST_F(CipherRuntime, DomainOperationsNeedTheManager) {
    EXPECT_EQ(edge_cipher_save_key("x", bytes("0123456789abcdef"), 16, 0), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_save_auth_keys(apr_hash_make(pool_)), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_get_domain("x"), nullptr);
    uint32_t rc = 0;
    encrypt_under("x", "plain", pool_, &rc);
    EXPECT_EQ(rc, EDGE_ERR_MISSING);
    digest_under("x", "m", 64, &rc);
    EXPECT_EQ(rc, EDGE_ERR_MISSING);
}

TEST_F(CipherRunning, AuthKeysAreWrittenOnceAndKeptAfterwards) {
    const std::string secret = gravel::test::cat("s", pseudo_random_bytes(31, 1));
    const std::string crypt = pseudo_random_bytes(16, 2);
    ASSERT_EQ(edge_cipher_save_auth_keys(auth_table(pool_, {{"secret", secret}, {"crypt_key", crypt}})), EDGE_OK);
    EXPECT_EQ(read_pairs(domain_file()).size(), 2u);
    EXPECT_EQ(edge_cipher_get_domain("secret")->enduring, 1u);
    const std::string stored = read_file(domain_file());

    ASSERT_EQ(edge_cipher_save_auth_keys(
                  auth_table(pool_, {{"secret", "other-secret-16b"}, {"crypt_key", "other-crypt-16by"}})),
              EDGE_OK);
    EXPECT_TRUE(work_.logged("WARN domain key has existed, skip, key_name:secret"));
    EXPECT_TRUE(work_.logged("WARN domain key has existed, skip, key_name:crypt_key"));
    ASSERT_EQ(restart_cipher(), EDGE_OK);
    EXPECT_EQ(domain_key("secret"), secret);
    EXPECT_EQ(domain_key("crypt_key"), crypt);

    // One entry that a key store could not hold refuses the whole table.
    EXPECT_EQ(edge_cipher_save_auth_keys(auth_table(pool_, {{"fine", std::string(16, 'f')}, {"too=long", "x"}})),
              EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_cipher_save_auth_keys(
                  auth_table(pool_, {{"fine", std::string(16, 'f')}, {"huge", std::string(129, 'h')}})),
              EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_cipher_has_domain("fine"), 0);
    EXPECT_EQ(edge_cipher_save_auth_keys(nullptr), EDGE_ERR_BAD_ARGUMENT);
}

TEST_F(CipherRunning, EncryptAndDecryptUnderADomain) {
    const std::string key = pseudo_random_bytes(16, 4);
    ASSERT_EQ(edge_cipher_save_key("configs", bytes(key), 16, 0), EDGE_OK);
    uint32_t rc = 0;
    for (const std::string &plain : {std::string("x"), std::string(16, 'y'), pseudo_random_bytes(1000, 5)}) {
        const std::string text = encrypt_under("configs", plain, pool_, &rc);
        ASSERT_EQ(rc, EDGE_OK);
        EXPECT_EQ(text.size(), edge_cipher_calc_encrypt_len(len32(plain)));
        EXPECT_EQ(decrypt_under("configs", text, pool_, &rc), plain);
        EXPECT_EQ(rc, EDGE_OK);
        // The domain key is an ordinary AES key: the tool opens the text with it.
        const std::string record = from_hex(text);
        EXPECT_EQ(openssl_aes(false, key, record.substr(0, 16), record.substr(16)), plain);
    }
    encrypt_under("nothing", "x", pool_, &rc);
    EXPECT_EQ(rc, EDGE_ERR_UNKNOWN_DOMAIN);
    decrypt_under("nothing", std::string(64, 'a'), pool_, &rc);
    EXPECT_EQ(rc, EDGE_ERR_UNKNOWN_DOMAIN);
    EXPECT_TRUE(work_.logged("ERROR target domain not exist, domain:nothing"));

    // An AES key needs 16 bytes; a shorter domain key is refused, not read past its end.
    ASSERT_EQ(edge_cipher_save_key("short", bytes("8 bytes!"), 8, 0), EDGE_OK);
    encrypt_under("short", "x", pool_, &rc);
    EXPECT_EQ(rc, EDGE_ERR_BAD_ARGUMENT);
    decrypt_under("short", std::string(64, 'a'), pool_, &rc);
    EXPECT_EQ(rc, EDGE_ERR_BAD_ARGUMENT);
    encrypt_under("configs", "x", nullptr, &rc);
    EXPECT_EQ(rc, EDGE_ERR_MISSING);
}

TEST_F(CipherRunning, DigestUnderADomainIsHexHmac) {
    const std::string key = "a secret of any length";
    ASSERT_EQ(edge_cipher_save_key("secret", bytes(key), len32(key), 0), EDGE_OK);
    const std::string client_id = "module_m1_1_20240101120000";
    uint32_t rc = 0;
    const std::string out = digest_under("secret", client_id, 65, &rc);
    ASSERT_EQ(rc, EDGE_OK);
    EXPECT_EQ(out.substr(0, 64), to_hex(openssl_hmac_sha256(key, client_id)));
    EXPECT_EQ(out[64], '\0');  // the capacity was zeroed first
    EXPECT_EQ(digest_under("secret", client_id, 64, &rc).substr(0, 64), out.substr(0, 64));

    digest_under("secret", client_id, 63, &rc);
    EXPECT_EQ(rc, EDGE_ERR_HEX_ENCODE);
    EXPECT_TRUE(work_.logged("ERROR hex encode error, ret:20004"));
    digest_under("nothing", client_id, 64, &rc);
    EXPECT_EQ(rc, EDGE_ERR_UNKNOWN_DOMAIN);
    digest_under("", client_id, 64, &rc);
    EXPECT_EQ(rc, EDGE_ERR_MISSING);
    EXPECT_NE(work_.log().find("ERROR digest input error, input:"), std::string::npos);
    // HMAC refuses a key whose first byte is zero.
    ASSERT_EQ(edge_cipher_save_key("zero", bytes(std::string("\0abc", 4)), 4, 0), EDGE_OK);
    digest_under("zero", client_id, 64, &rc);
    EXPECT_EQ(rc, EDGE_ERR_HMAC);
    EXPECT_TRUE(work_.logged("ERROR digest error, ret:20001"));
}

TEST_F(CipherRunning, EnvKeyAndEnvDecryption) {
    const EnvKey env = make_env_key(1);
    ASSERT_EQ(env.key.size(), 16u);
    write_file(work_.file("conf/module.dat"), env.module_dat);
    unsigned char key[32];
    uint32_t key_len = sizeof key;
    ASSERT_EQ(edge_cipher_load_key(key, &key_len), EDGE_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(key), key_len), env.key);
    key_len = 15;
    EXPECT_EQ(edge_cipher_load_key(key, &key_len), EDGE_ERR_OUT_OF_RANGE);

    for (const std::string &plain : {std::string("daemon verify code"), std::string(32, 'p')}) {
        std::string text = env_value(env.key, plain, 7);
        std::string out(plain.size() + 16, '\0');
        uint32_t len = len32(out);
        ASSERT_EQ(
            edge_cipher_env_decrypt(text.data(), len32(text), reinterpret_cast<unsigned char *>(out.data()), &len),
            EDGE_OK);
        EXPECT_EQ(out.substr(0, len), plain);
    }
    EXPECT_TRUE(work_.logged("INFO decrypt env finish, ret:0"));

    // The URL-safe alphabet is accepted.
    std::string text = env_value(env.key, "url safe", 11);
    for (char &c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
    std::string out(32, '\0');
    uint32_t len = len32(out);
    ASSERT_EQ(edge_cipher_env_decrypt(text.data(), len32(text), reinterpret_cast<unsigned char *>(out.data()), &len),
              EDGE_OK);
    EXPECT_EQ(out.substr(0, len), "url safe");

    // A 13th character is not read.
    write_file(work_.file("conf/module.dat"), env.module_dat + "Z\n");
    key_len = sizeof key;
    ASSERT_EQ(edge_cipher_load_key(key, &key_len), EDGE_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(key), key_len), env.key);
}

TEST_F(CipherRunning, EnvDecryptionRefusesBadKeysAndText) {
    const EnvKey env = make_env_key(2);
    std::string good = env_value(env.key, "plain", 3);
    struct Case {
        const char *what;
        std::optional<std::string> module_dat;
        std::string text;
        uint32_t status;
    };
    const Case cases[] = {
        {"module.dat missing", std::nullopt, good, EDGE_ERR_FILE_MISSING},
        {"11 characters", env.module_dat.substr(0, 11), good, EDGE_ERR_KEYSTORE_READ},
        {"not base64 with the constant", env.module_dat.substr(0, 11) + "*", good, EDGE_ERR_UNDECRYPTABLE},
        {"text with a bad character", env.module_dat, gravel::test::cat("*", good.substr(1)), EDGE_ERR_UNDECRYPTABLE},
        {"text of a bad length", env.module_dat, good.substr(1), EDGE_ERR_UNDECRYPTABLE},
        {"text of an IV alone", env.module_dat, "AAAAAAAAAAAAAAAAAAAAAA==", EDGE_ERR_MISSING},
        {"another key", make_env_key(3).module_dat, good, EDGE_ERR_OUT_OF_RANGE},
    };
    for (const Case &c : cases) {
        std::remove(work_.file("conf/module.dat").c_str());
        if (c.module_dat) write_file(work_.file("conf/module.dat"), *c.module_dat);
        std::string text = c.text;
        std::string out(32, '\x55');
        uint32_t len = len32(out);
        const uint32_t rc =
            edge_cipher_env_decrypt(text.data(), len32(text), reinterpret_cast<unsigned char *>(out.data()), &len);
        if (std::string(c.what) == "another key" && rc == EDGE_OK) {
            // Without a MAC a wrong key passes the padding check about once in 256 tries;
            // what comes out is then never the plaintext.
            EXPECT_NE(out.substr(0, len), "plain");
            continue;
        }
        EXPECT_EQ(rc, c.status) << c.what;
        EXPECT_EQ(out.find("plain"), std::string::npos) << c.what;
    }
    EXPECT_TRUE(work_.logged("ERROR read module.dat failed, ret:0, lens:11"));
    EXPECT_TRUE(work_.logged("ERROR load env decrypt key failed, ret:20017, key_len:0"));
    EXPECT_TRUE(work_.logged("ERROR base64 decoded error, ret:20013"));
    // The module.dat content never reaches the log.
    EXPECT_EQ(work_.log().find(env.module_dat), std::string::npos);
}

// Lookups, encryption and digests from several threads while another thread enters keys:
// every result is right, and ThreadSanitizer sees no race.
TEST_F(CipherRunning, DomainKeysUsedWhileKeysAreEntered) {
    const std::string key = pseudo_random_bytes(16, 12);
    ASSERT_EQ(edge_cipher_save_key("configs", bytes(key), 16, 0), EDGE_OK);
    ASSERT_EQ(edge_cipher_save_key("secret", bytes("secret-bytes"), 12, 0), EDGE_OK);
    const std::string expected_digest = to_hex(openssl_hmac_sha256("secret-bytes", "client"));
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::atomic<int> rounds{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
        users.emplace_back([&, t] {
            apr_pool_t *pool = edge_CIPHER_MGR_mgr_create_pool();
            const std::string plain = gravel::test::cat("thread ", std::to_string(t));
            for (int i = 0; i < 100000 && !stop.load(); ++i) {
                uint32_t rc1 = 0;
                uint32_t rc2 = 0;
                uint32_t rc3 = 0;
                const std::string back =
                    decrypt_under("configs", encrypt_under("configs", plain, pool, &rc1), pool, &rc2);
                const std::string digest = digest_under("secret", "client", 64, &rc3);
                if (rc1 != EDGE_OK || rc2 != EDGE_OK || rc3 != EDGE_OK || back != plain || digest != expected_digest)
                    ++wrong;
                edge_base_memory_pool_clear(pool);
                ++rounds;
            }
            edge_base_memory_pool_destroy(&pool);
        });
    }
    for (int i = 0; i < 40; ++i) {
        const std::string name = gravel::test::cat("entered", std::to_string(i));
        ASSERT_EQ(edge_cipher_save_key(name.c_str(), bytes(key), 16, i % 4 == 0 ? 1 : 0), EDGE_OK);
    }
    stop = true;
    for (auto &u : users) u.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(rounds.load(), 0);
    EXPECT_EQ(read_pairs(domain_file()).size(), 10u);
}
