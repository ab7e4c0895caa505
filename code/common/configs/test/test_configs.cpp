// The configuration store: types, tables, encrypted strings, entry release, the state before
// init, and readers racing writers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>

#include "gravel_test_support.hpp"
#include "runtime_test.hpp"

extern "C" int gravel_configs_c_header_probe(void);

namespace {

// Base runtime and cipher on a fresh work dir; the store itself is started by the test or by
// ConfigsRunning.
class ConfigsRuntime : public gravel::test::BaseRuntimeTest {
protected:
    void SetUp() override {
        BaseRuntimeTest::SetUp();
        ASSERT_EQ(edge_cipher_init(), EDGE_OK);
    }
    void TearDown() override {
        edge_configs_destroy();
        edge_cipher_destroy();
        BaseRuntimeTest::TearDown();
    }
};

class ConfigsRunning : public ConfigsRuntime {
protected:
    void SetUp() override {
        ConfigsRuntime::SetUp();
        ASSERT_EQ(edge_configs_init(), EDGE_OK);
    }
};

std::string decrypted(uint32_t index, const char *key, uint32_t capacity, uint32_t *status) {
    std::string out(capacity + 1, '\0');
    uint32_t len = capacity;
    *status = edge_configs_get_str_decrypt(index, key, out.data(), &len);
    return *status == EDGE_OK ? out.substr(0, len) : std::string();
}

// Counts the entry pools released, through a cleanup registered on each.
std::atomic<int> g_released{0};
apr_status_t count_release(void *) {
    ++g_released;
    return APR_SUCCESS;
}

}  // namespace

TEST(ConfigsHeader, CompilesAsC) {
    EXPECT_EQ(gravel_configs_c_header_probe(), 1);
}

TEST_F(ConfigsRuntime, EverythingReportsAStoreThatIsNotInitialised) {
    EXPECT_EQ(edge_configs_get_int(0, "mqtt_server_port"), static_cast<int32_t>(EDGE_ERR_MISSING));
    EXPECT_EQ(edge_configs_get_long(0, "k"), static_cast<long>(EDGE_ERR_MISSING));
    EXPECT_EQ(edge_configs_get_longlong(0, "k"), static_cast<long long>(EDGE_ERR_MISSING));
    EXPECT_EQ(edge_configs_get_str(0, "module_id"), nullptr);
    char out[16];
    uint32_t len = sizeof out;
    EXPECT_EQ(edge_configs_get_str_decrypt(0, "verify_code", out, &len), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_configs_set_int(0, "k", 1), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_configs_set_str(0, "k", "v", 1), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_configs_set_int(2, "k", 1), EDGE_ERR_BAD_ARGUMENT);  // arguments are checked first

    // After a destroy it is the same again, and a new init starts with empty tables.
    ASSERT_EQ(edge_configs_init(), EDGE_OK);
    ASSERT_EQ(edge_configs_set_int(0, "k", 7), EDGE_OK);
    edge_configs_destroy();
    EXPECT_EQ(edge_configs_get_int(0, "k"), static_cast<int32_t>(EDGE_ERR_MISSING));
    ASSERT_EQ(edge_configs_init(), EDGE_OK);
    EXPECT_EQ(edge_configs_get_int(0, "k"), 0);
}

TEST(ConfigsInit, NeedsTheCipher) {
    gravel::test::WorkDir work;
    ASSERT_EQ(edge_base_init(work.path().c_str(), nullptr), EDGE_OK);
    EXPECT_EQ(edge_configs_init(), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_configs_get_int(0, "k"), static_cast<int32_t>(EDGE_ERR_MISSING));  // the manager is gone again
    edge_base_destroy();
}

TEST_F(ConfigsRunning, DomainKeyConfigsIsEnteredOnceAndStays) {
    const edge_cipher_key_t *key = edge_cipher_get_domain("configs");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->len, 16u);
    EXPECT_EQ(key->enduring, 0u);
    EXPECT_TRUE(work_.logged("INFO edge configs init success."));
    edge_configs_destroy();
    EXPECT_EQ(edge_cipher_get_domain("configs"), key);
    ASSERT_EQ(edge_configs_init(), EDGE_OK);
    EXPECT_EQ(edge_cipher_get_domain("configs"), key);  // the first key is kept
    EXPECT_FALSE(gravel::test::exists(work_.file("secret/4e8a86a7502404a0")));
}

TEST_F(ConfigsRunning, EachGetterReadsOnlyItsOwnType) {
    ASSERT_EQ(edge_configs_set_int(0, "int", -5), EDGE_OK);
    ASSERT_EQ(edge_configs_set_long(0, "long", 1L << 30), EDGE_OK);
    ASSERT_EQ(edge_configs_set_longlong(0, "longlong", 1LL << 40), EDGE_OK);
    ASSERT_EQ(edge_configs_set_str(0, "str", "text", 0), EDGE_OK);
    struct Case {
        const char *key;
        int32_t as_int;
        long as_long;
        long long as_longlong;
        const char *as_str;
    };
    const Case cases[] = {
        {"int", -5, 0, 0, nullptr}, {"long", 0, 1L << 30, 0, nullptr}, {"longlong", 0, 0, 1LL << 40, nullptr},
        {"str", 0, 0, 0, "text"},   {"absent", 0, 0, 0, nullptr},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(edge_configs_get_int(0, c.key), c.as_int) << c.key;
        EXPECT_EQ(edge_configs_get_long(0, c.key), c.as_long) << c.key;
        EXPECT_EQ(edge_configs_get_longlong(0, c.key), c.as_longlong) << c.key;
        const char *s = edge_configs_get_str(0, c.key);
        EXPECT_EQ(s == nullptr ? std::string("(null)") : std::string(s), c.as_str == nullptr ? "(null)" : c.as_str)
            << c.key;
    }
    // The port set as a long is not an int.
    ASSERT_EQ(edge_configs_set_long(0, "mqtt_server_port", 8883), EDGE_OK);
    EXPECT_EQ(edge_configs_get_int(0, "mqtt_server_port"), 0);
}

TEST_F(ConfigsRunning, UnusableIndexOrKey) {
    struct Case {
        uint32_t index;
        const char *key;
    };
    const Case cases[] = {{2, "k"}, {0xffffffffu, "k"}, {0, nullptr}, {0, ""}};
    for (const Case &c : cases) {
        EXPECT_EQ(edge_configs_set_int(c.index, c.key, 1), EDGE_ERR_BAD_ARGUMENT);
        EXPECT_EQ(edge_configs_set_long(c.index, c.key, 1), EDGE_ERR_BAD_ARGUMENT);
        EXPECT_EQ(edge_configs_set_longlong(c.index, c.key, 1), EDGE_ERR_BAD_ARGUMENT);
        EXPECT_EQ(edge_configs_set_str(c.index, c.key, "v", 0), EDGE_ERR_BAD_ARGUMENT);
        EXPECT_EQ(edge_configs_get_int(c.index, c.key), 0);
        EXPECT_EQ(edge_configs_get_long(c.index, c.key), 0);
        EXPECT_EQ(edge_configs_get_longlong(c.index, c.key), 0);
        EXPECT_EQ(edge_configs_get_str(c.index, c.key), nullptr);
        char out[8];
        uint32_t len = sizeof out;
        EXPECT_EQ(edge_configs_get_str_decrypt(c.index, c.key, out, &len), EDGE_ERR_BAD_ARGUMENT);
    }
}

TEST_F(ConfigsRunning, TablesAreIndependent) {
    ASSERT_EQ(edge_configs_set_str(0, "module_id", "zero", 0), EDGE_OK);
    ASSERT_EQ(edge_configs_set_str(1, "module_id", "one", 0), EDGE_OK);
    ASSERT_EQ(edge_configs_set_int(1, "only_in_one", 1), EDGE_OK);
    EXPECT_STREQ(edge_configs_get_str(0, "module_id"), "zero");
    EXPECT_STREQ(edge_configs_get_str(1, "module_id"), "one");
    EXPECT_EQ(edge_configs_get_int(0, "only_in_one"), 0);
    EXPECT_EQ(edge_configs_get_int(1, "only_in_one"), 1);
}

TEST_F(ConfigsRunning, EmptyStringIsRefusedAndChangesNothing) {
    ASSERT_EQ(edge_configs_set_str(0, "module_id", "m1", 0), EDGE_OK);
    EXPECT_EQ(edge_configs_set_str(0, "module_id", "", 0), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_configs_set_str(0, "module_id", nullptr, 1), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_STREQ(edge_configs_get_str(0, "module_id"), "m1");
}

TEST_F(ConfigsRunning, EncryptedStrings) {
    for (const std::string &value :
         {std::string("v"), std::string(15, 'a'), std::string(16, 'b'), std::string(100, 'c')}) {
        ASSERT_EQ(edge_configs_set_str(0, "verify_code", value.c_str(), 1), EDGE_OK);
        const std::string text = edge_configs_get_str(0, "verify_code");
        EXPECT_EQ(text.size(), (value.size() / 16 + 2) * 32) << value;
        EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
        uint32_t rc = 0;
        EXPECT_EQ(decrypted(0, "verify_code", 128, &rc), value);
        EXPECT_EQ(rc, EDGE_OK);
        // The cipher's own decryption under "configs" opens it too.
        apr_pool_t *pool = edge_CIPHER_MGR_mgr_create_pool();
        std::string out(value.size(), '\0');
        uint32_t len = static_cast<uint32_t>(out.size());
        EXPECT_EQ(edge_cipher_decrypt(text.c_str(), static_cast<uint32_t>(text.size()),
                                      reinterpret_cast<unsigned char *>(out.data()), &len, "configs", pool),
                  EDGE_OK);
        EXPECT_EQ(out, value);
        edge_base_memory_pool_destroy(&pool);
    }
    uint32_t rc = 0;
    decrypted(0, "verify_code", 99, &rc);  // 100 characters do not fit
    EXPECT_EQ(rc, EDGE_ERR_OUT_OF_RANGE);
    ASSERT_EQ(edge_configs_set_str(0, "plain", "plain-value", 0), EDGE_OK);
    decrypted(0, "plain", 64, &rc);
    EXPECT_EQ(rc, EDGE_ERR_HEX_DECODE);
    ASSERT_EQ(edge_configs_set_str(0, "hexlike", "abcd", 0), EDGE_OK);
    decrypted(0, "hexlike", 64, &rc);
    EXPECT_EQ(rc, EDGE_ERR_AES_DECRYPT);
    ASSERT_EQ(edge_configs_set_int(0, "number", 1), EDGE_OK);
    decrypted(0, "number", 64, &rc);
    EXPECT_EQ(rc, EDGE_ERR_BAD_ARGUMENT);
    decrypted(0, "absent", 64, &rc);
    EXPECT_EQ(rc, EDGE_ERR_BAD_ARGUMENT);
    char out[4];
    uint32_t len = 0;
    EXPECT_EQ(edge_configs_get_str_decrypt(0, "verify_code", out, &len), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_configs_get_str_decrypt(0, "verify_code", out, nullptr), EDGE_ERR_BAD_ARGUMENT);
}

TEST_F(ConfigsRuntime, FailedEncryptionLeavesTheTableAsItWas) {
    // A store whose "configs" key is gone from under it: the cipher is started afresh.
    ASSERT_EQ(edge_configs_init(), EDGE_OK);
    ASSERT_EQ(edge_configs_set_str(0, "daemon_token", "old-token", 1), EDGE_OK);
    const std::string before = edge_configs_get_str(0, "daemon_token");
    edge_cipher_destroy();
    ASSERT_EQ(edge_cipher_init(), EDGE_OK);
    EXPECT_EQ(edge_configs_set_str(0, "daemon_token", "new-token", 1), EDGE_ERR_UNKNOWN_DOMAIN);
    EXPECT_EQ(edge_configs_get_str(0, "daemon_token"), before);
}

TEST_F(ConfigsRunning, SettingAgainReleasesTheEntryItReplaces) {
    edge_configs_mgr_t *mgr = edge_CONFIGS_MGR_mgr_get();
    g_released = 0;
    constexpr int kSets = 200;
    for (int i = 0; i < kSets; ++i) {
        edge_configs_data_t *entry = edge_configs_struct_data_alloc(mgr, 0);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->type, 0);
        EXPECT_EQ(entry->value.longlong_value, 0);
        entry->type = EDGE_CONFIGS_TYPE_INT;
        entry->value.int_value = i;
        apr_pool_cleanup_register(entry->pool, nullptr, count_release, apr_pool_cleanup_null);
        ASSERT_EQ(edge_configs_set_value(mgr, 0, "daemon_token_expires_at", entry), EDGE_OK);
        EXPECT_EQ(edge_configs_get_value(mgr, 0, "daemon_token_expires_at"), entry);
        EXPECT_EQ(g_released.load(), i);  // exactly the one before this
        // Entering the same entry again is not a replacement.
        ASSERT_EQ(edge_configs_set_value(mgr, 0, "daemon_token_expires_at", entry), EDGE_OK);
        EXPECT_EQ(g_released.load(), i);
    }
    EXPECT_EQ(edge_configs_get_int(0, "daemon_token_expires_at"), kSets - 1);
    edge_configs_destroy();
    EXPECT_EQ(g_released.load(), kSets);
}

TEST_F(ConfigsRunning, PreparedEntriesAndTheirChecks) {
    edge_configs_mgr_t *mgr = edge_CONFIGS_MGR_mgr_get();
    EXPECT_EQ(edge_configs_struct_data_alloc(mgr, 2), nullptr);
    EXPECT_EQ(edge_configs_struct_data_alloc(nullptr, 0), nullptr);
    edge_configs_data_t *entry = edge_configs_struct_data_alloc(mgr, 1);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(edge_configs_set_value(nullptr, 1, "k", entry), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_configs_set_value(mgr, 2, "k", entry), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_configs_set_value(mgr, 1, "", entry), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_configs_set_value(mgr, 1, nullptr, entry), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_configs_set_value(mgr, 1, "k", nullptr), EDGE_ERR_BAD_ARGUMENT);
    entry->type = EDGE_CONFIGS_TYPE_LONGLONG;
    entry->value.longlong_value = 42;
    // The key is copied: the caller's buffer may change afterwards.
    char key[] = "k";
    ASSERT_EQ(edge_configs_set_value(mgr, 1, key, entry), EDGE_OK);
    key[0] = 'x';
    EXPECT_EQ(edge_configs_get_longlong(1, "k"), 42);
    EXPECT_EQ(edge_configs_get_value(mgr, 1, "x"), nullptr);
    EXPECT_EQ(edge_configs_get_value(nullptr, 1, "k"), nullptr);
}

TEST_F(ConfigsRunning, AStringHandedOutSurvivesLaterSets) {
    ASSERT_EQ(edge_configs_set_str(0, "module_id", "first-module", 0), EDGE_OK);
    const char *first = edge_configs_get_str(0, "module_id");
    EXPECT_EQ(edge_configs_get_str(0, "module_id"), first);  // unchanged value, same text
    ASSERT_EQ(edge_configs_set_str(0, "module_id", "second", 0), EDGE_OK);
    ASSERT_EQ(edge_configs_set_str(0, "module_id", "a much longer third module id", 0), EDGE_OK);
    EXPECT_STREQ(first, "first-module");  // released entries are never what a reader holds
    EXPECT_STREQ(edge_configs_get_str(0, "module_id"), "a much longer third module id");

    // Another thread's text is its own.
    std::string seen;
    std::thread other([&] { seen = edge_configs_get_str(0, "module_id"); });
    other.join();
    EXPECT_EQ(seen, "a much longer third module id");
}

// Two writers and four readers on the same keys of table 0: a plain string, an int and an
// encrypted string. Every value read must be one that some writer wrote (ThreadSanitizer
// checks the rest).
TEST_F(ConfigsRunning, ReadersSeeOnlyValuesThatWritersWrote) {
    constexpr int kWriters = 2;
    constexpr int kReaders = 4;
    const auto run_for = std::chrono::seconds(3);
    std::atomic<long> started[kWriters];
    for (auto &s : started) s = 0;
    ASSERT_EQ(edge_configs_set_str(0, "module_id", "w0-0", 0), EDGE_OK);
    ASSERT_EQ(edge_configs_set_int(0, "mqtt_server_port", 0), EDGE_OK);
    ASSERT_EQ(edge_configs_set_str(0, "daemon_token", "token-w0-0", 1), EDGE_OK);

    std::atomic<bool> stop{false};
    std::atomic<long> bad{0};
    std::atomic<long> reads{0};
    std::atomic<long> writes{0};
    // A value "w<writer>-<n>" is acceptable when that writer had begun writing n.
    auto written = [&](int w, long n) { return w >= 0 && w < kWriters && n >= 0 && n <= started[w].load(); };

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (long n = 1; n < 10000000 && !stop.load(); ++n) {
                started[w] = n;
                const std::string id = gravel::test::cat("w", std::to_string(w), "-", std::to_string(n));
                const std::string token = gravel::test::cat("token-", id);
                if (edge_configs_set_str(0, "module_id", id.c_str(), 0) != EDGE_OK ||
                    edge_configs_set_int(0, "mqtt_server_port", static_cast<int32_t>(w * 100000000 + n)) != EDGE_OK ||
                    edge_configs_set_str(0, "daemon_token", token.c_str(), 1) != EDGE_OK) {
                    ++bad;
                }
                ++writes;
            }
        });
    }
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&] {
            for (long i = 0; i < 100000000 && !stop.load(); ++i) {
                int w = -1;
                long n = -1;
                const char *id = edge_configs_get_str(0, "module_id");
                if (id == nullptr || std::sscanf(id, "w%d-%ld", &w, &n) != 2 || !written(w, n)) ++bad;

                const int32_t port = edge_configs_get_int(0, "mqtt_server_port");
                if (!written(port / 100000000, port % 100000000)) ++bad;

                char token[64] = {};
                uint32_t len = sizeof token - 1;
                w = -1;
                n = -1;
                if (edge_configs_get_str_decrypt(0, "daemon_token", token, &len) != EDGE_OK ||
                    std::sscanf(token, "token-w%d-%ld", &w, &n) != 2 || !written(w, n)) {
                    ++bad;
                }
                const char *text = edge_configs_get_str(0, "daemon_token");
                if (text == nullptr || (std::strlen(text) != 64 && std::strlen(text) != 96)) ++bad;
                ++reads;
            }
        });
    }
    std::this_thread::sleep_for(run_for);
    stop = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(writes.load(), 0);
    EXPECT_GT(reads.load(), 0);
    std::printf("%ld write rounds and %ld read rounds in %lld s\n", writes.load(), reads.load(),
                static_cast<long long>(run_for.count()));
}
