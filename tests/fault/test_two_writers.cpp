// Two processes save enduring keys into one secret/ directory at the same time, each keeping
// its own keys in memory, while the test reads the store from disk again and again.
//
// Every save rewrites the whole store from the saving process's own key map, so what is sound
// is: every save succeeds, the store is at every moment one process's whole version (the keys
// both had loaded at init plus a prefix of that process's own saves), never a mix of the two,
// and each process's versions follow each other in order. What it cannot be is a merge: a key
// that one process saved and the other never loaded is gone with the other's next save, and in
// the end the last writer's version stands. A store has one writing process (a module, with
// its own configuration directory).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <apr_hash.h>

#include <gravel/edge_cipher.h>
#include <gravel/edge_property.h>

#include "cipher_test_util.hpp"
#include "fault_util.hpp"
#include "forked_child.hpp"

using cipher_test::bytes;
using cipher_test::len32;
using fault_test::Keys;
using gravel::test::ForkedChild;
using gravel::test::ReportPipe;

namespace {

constexpr int kSaves = 150;
constexpr auto kLimit = std::chrono::seconds(120);

std::string own_name(char writer, int i) {
    char name[16];
    std::snprintf(name, sizeof name, "%c%03d", writer, i);
    return name;
}

std::string own_value(char writer, int i) {
    return own_name(writer, i) + "-" + std::string(16 + i % 40, writer);
}

// A writer: a fresh init loads what is on disk, then, once both writers are ready, it saves
// its own keys one after the other. Exits 0 when every save returned 0 and its memory still
// holds what it loaded and everything it saved.
int write_own_keys(const ReportPipe &out, char writer, int go_fd, const Keys &shared) {
    edge_cipher_destroy();
    if (edge_cipher_init() != EDGE_OK || !out.line("R")) return 2;
    char start = 0;
    if (::read(go_fd, &start, 1) != 1) return 2;
    for (int i = 0; i < kSaves; ++i) {
        const std::string name = own_name(writer, i);
        const std::string value = own_value(writer, i);
        const uint32_t rc = edge_cipher_save_key(name.c_str(), bytes(value), len32(value), 1);
        if (rc != EDGE_OK) {
            (void)out.line("F " + name + " " + std::to_string(rc));
            return 3;
        }
        (void)out.line("A " + name + " -");
    }
    Keys expected = shared;
    for (int i = 0; i < kSaves; ++i) expected[own_name(writer, i)] = own_value(writer, i);
    return fault_test::domain_keys() == expected ? 0 : 5;
}

// The store read from disk with the kit's reader and the work key, without touching the
// cipher's own maps. Empty with `error` set when an entry does not decrypt.
Keys read_store(const std::string &path, apr_pool_t *parent, std::string &error) {
    Keys keys;
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, parent) != APR_SUCCESS) {
        error = "no pool";
        return keys;
    }
    const unsigned char *work_key = edge_cipher_choose_work_key(edge_CIPHER_MGR_mgr_get(), 0);
    apr_hash_t *table = edge_property_parse(path.c_str(), pool);
    for (apr_hash_index_t *it = table == nullptr ? nullptr : apr_hash_first(pool, table); it != nullptr;
         it = apr_hash_next(it)) {
        const void *name = nullptr;
        apr_ssize_t name_len = 0;
        void *value = nullptr;
        apr_hash_this(it, &name, &name_len, &value);
        const auto *text = static_cast<const char *>(value);
        unsigned char plain[EDGE_CIPHER_STORED_KEY_MAX];
        uint32_t len = sizeof plain;
        const std::string key_name(static_cast<const char *>(name), static_cast<size_t>(name_len));
        if (work_key == nullptr ||
            edge_cipher_decrypt_decode(text, len32(text), plain, &len, work_key, pool) != EDGE_OK) {
            error = "entry " + key_name + " does not decrypt";
            keys.clear();
            break;
        }
        keys[key_name] = std::string(reinterpret_cast<const char *>(plain), len);
    }
    if (table == nullptr) error = "store unreadable";
    apr_pool_destroy(pool);
    return keys;
}

// Whose version a store is: the writer and how many of its saves it holds ('-' for the shared
// keys alone), or an explanation of why it is no one's.
struct Version {
    char writer = '-';
    int saves = 0;
    std::string wrong;
};

Version version_of(const Keys &store, const Keys &shared) {
    Version v;
    for (const auto &[name, value] : shared) {
        const auto at = store.find(name);
        if (at == store.end() || at->second != value) v.wrong = "shared key " + name + " lost or changed";
    }
    for (const auto &[name, value] : store) {
        if (shared.count(name) != 0) continue;
        if (v.writer == '-') v.writer = name[0];
        if (name[0] != v.writer) v.wrong = "keys of both writers";
        ++v.saves;
    }
    for (int i = 0; i < v.saves && v.wrong.empty(); ++i) {
        const auto at = store.find(own_name(v.writer, i));
        if (at == store.end() || at->second != own_value(v.writer, i)) {
            v.wrong = "not a prefix of one writer's saves: " + own_name(v.writer, i);
        }
    }
    return v;
}

class TwoWriters : public cipher_test::CipherRunning {};

TEST_F(TwoWriters, TheStoreIsAlwaysOneProcesssWholeVersion) {
    for (const char *name : {"shared0", "shared1"}) {
        const std::string value = std::string(name) + "-loaded-by-both";
        ASSERT_EQ(edge_cipher_save_key(name, bytes(value), len32(value), 1), EDGE_OK);
    }
    const Keys shared = fault_test::domain_keys();
    const std::string path = domain_file();

    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    auto writer = [&](char letter) {
        return [&, letter](const ReportPipe &out) {
            ::close(go[1]);
            return write_own_keys(out, letter, go[0], shared);
        };
    };
    ForkedChild a(writer('a'));
    ForkedChild b(writer('b'));
    ::close(go[0]);
    ASSERT_EQ(a.next_line(std::chrono::seconds(60)), std::optional<std::string>("R"));
    ASSERT_EQ(b.next_line(std::chrono::seconds(60)), std::optional<std::string>("R"));
    ASSERT_EQ(::write(go[1], "gg", 2), 2);
    ::close(go[1]);

    // Read the store while they write: always one writer's whole version, in order.
    int loads = 0;
    int switches = 0;
    char last_writer = '-';
    std::map<char, int> last_saves;
    const auto end = std::chrono::steady_clock::now() + kLimit;
    while (!(a.ended() && b.ended()) && std::chrono::steady_clock::now() < end) {
        std::string error;
        const Keys store = read_store(path, pool_, error);
        ASSERT_EQ(error, "");
        const Version v = version_of(store, shared);
        ASSERT_EQ(v.wrong, "") << "after " << loads << " loads";
        ASSERT_GE(v.saves, last_saves[v.writer]) << "writer " << v.writer << " went back";
        last_saves[v.writer] = v.saves;
        switches += v.writer != last_writer && last_writer != '-' ? 1 : 0;
        last_writer = v.writer;
        ASSERT_LE(fault_test::temporaries_of(secret(), "4e8a86a7502404a0").size(), 1u);
        ++loads;
    }
    EXPECT_EQ(a.wait_exit(std::chrono::seconds(30)), 0) << "writer a: a save failed or its memory lost a key";
    EXPECT_EQ(b.wait_exit(std::chrono::seconds(30)), 0) << "writer b: a save failed or its memory lost a key";
    int acknowledged = 0;
    for (ForkedChild *child : {&a, &b}) {
        for (const std::string &line : child->remaining_lines()) acknowledged += line.rfind("A ", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(acknowledged, 2 * kSaves);

    // In the end the last writer's whole version stands; the other's keys are not on disk.
    std::string error;
    const Version last = version_of(read_store(path, pool_, error), shared);
    EXPECT_EQ(error, "");
    EXPECT_EQ(last.wrong, "");
    EXPECT_TRUE(last.writer == 'a' || last.writer == 'b');
    EXPECT_EQ(last.saves, kSaves);
    EXPECT_EQ(fault_test::temporaries_of(secret(), "4e8a86a7502404a0").size(), 0u);
    std::printf("[fault] two_writers saves=%d loads=%d switches=%d last_writer=%c\n", acknowledged, loads, switches,
                last.writer);
}

}  // namespace
