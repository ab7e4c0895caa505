// A writer killed at random instants, over and over: a child process saves enduring domain keys
// (or dumps property tables) in a loop and reports each save that returned; the test kills it
// with SIGKILL after a random delay and reads the files back from disk in a fresh load. Each
// time the store must be the one before the save under way or the one after it, whole: every
// key whose save was acknowledged is there with its value, nothing is torn or mixed, at most
// one temporary file is left, and the next save sweeps it away. Everything runs under umask
// 000, so the files' modes are checked too.
//
// GRAVEL_FAULT_KILLS sets the number of kills of each loop (100 by default;
// scripts/fault-keystore.sh runs the long version), GRAVEL_FAULT_SEED the seed of the delays
// and choices, which every run prints.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <apr_hash.h>
#include <apr_strings.h>

#include <gravel/edge_cipher.h>
#include <gravel/edge_property.h>

#include "cipher_test_util.hpp"
#include "fault_util.hpp"
#include "forked_child.hpp"

using cipher_test::bytes;
using cipher_test::len32;
using fault_test::Figures;
using fault_test::Keys;
using fault_test::read_reports;
using fault_test::Reports;
using fault_test::temporaries_of;
using gravel::test::cat;
using gravel::test::file_mode;
using gravel::test::ForkedChild;
using gravel::test::read_file;
using gravel::test::ReportPipe;

namespace {

constexpr char kDomainStore[] = "4e8a86a7502404a0";
// Init in a fresh process runs PBKDF2; under an emulator that takes a while.
constexpr auto kReadyLimit = std::chrono::seconds(60);
// Kill delays after the child is ready: up to a few saves long.
constexpr int kMaxDelayUs = 5000;
// Each child numbers its saves from its own block, so every value in a run is unique.
constexpr unsigned kSeqBlock = 100000;

class KilledWriter : public cipher_test::CipherRuntime {
protected:
    // The delay before the next kill, and a seed for the next child's own choices.
    unsigned next_seed() { return static_cast<unsigned>(gen_()); }
    std::chrono::microseconds next_delay() {
        return std::chrono::microseconds(std::uniform_int_distribution<int>(0, kMaxDelayUs)(gen_));
    }
    void SetUp() override {
        CipherRuntime::SetUp();
        seed_ = gravel::test::fault_seed();
        gen_.seed(seed_);
        kills_ = gravel::test::env_count("GRAVEL_FAULT_KILLS", 100);
        std::printf("seed %u (GRAVEL_FAULT_SEED=%u repeats these choices), %d kills\n", seed_, seed_, kills_);
        RecordProperty("seed", std::to_string(seed_));
    }

    unsigned seed_ = 0;
    int kills_ = 0;
    std::mt19937 gen_;
};

/* ---- Domain keys ------------------------------------------------------------------------ */

// The names a saver chooses from; a store that holds this many keys is started afresh, so
// that children always find new names to enter.
constexpr int kNamePool = 48;
constexpr size_t kFreshStoreAt = 32;

std::string pool_name(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "k%02d", i);
    return name;
}

// The key bytes of save number `seq`: they tell the save apart from every other, and their
// length varies (17 to 96 bytes).
std::string key_value(const std::string &name, unsigned seq) {
    std::string value = cat(name, "-v", std::to_string(seq), "-");
    value.append(seq % 80, static_cast<char>('a' + seq % 26));
    return value;
}

// The child: a fresh init reads the store from disk, then enduring keys are saved in a loop,
// one in three under a name already entered (the first key of a name stays; that save writes
// nothing), the others under new names.
int save_keys(const ReportPipe &out, unsigned seed, unsigned first_seq) {
    if (edge_cipher_init() != EDGE_OK || !out.line("R")) return 2;
    std::mt19937 gen(seed);
    for (unsigned seq = first_seq; seq < first_seq + kSeqBlock - 1; ++seq) {
        std::vector<std::string> present;
        std::vector<std::string> absent;
        for (int i = 0; i < kNamePool; ++i) {
            const std::string name = pool_name(i);
            (edge_cipher_has_domain(name.c_str()) != 0 ? present : absent).push_back(name);
        }
        const bool rewrite = absent.empty() || (!present.empty() && gen() % 3 == 0);
        const std::vector<std::string> &names = rewrite ? present : absent;
        const std::string name = names[gen() % names.size()];
        const std::string value = key_value(name, seq);
        (void)out.line("S " + name + " " + value);
        const uint32_t rc = edge_cipher_save_key(name.c_str(), bytes(value), len32(value), 1);
        if (rc != EDGE_OK) {
            (void)out.line("F " + name + " " + std::to_string(rc));
            return 3;
        }
        (void)out.line("A " + name + " " + value);
    }
    return 4;
}

std::string describe(const Keys &keys) {
    std::string text = "{";
    for (const auto &[name, value] : keys) text += " " + name + "=" + value;
    return text + " }";
}

// The store file holds exactly `keys`: one whole line per key, no other line, no tail; no file
// when there are none.
void expect_store_text(const std::string &path, const Keys &keys) {
    if (keys.empty()) {
        EXPECT_FALSE(gravel::test::exists(path)) << "a store file whose keys did not load";
        return;
    }
    bool whole = false;
    const std::vector<std::string> lines = fault_test::sorted_lines(read_file(path), whole);
    EXPECT_TRUE(whole) << "the store's last line is torn";
    std::map<std::string, size_t> text_lengths;  // name to the length of its cipher text
    for (const std::string &line : lines) {
        const size_t eq = line.find('=');
        ASSERT_NE(eq, std::string::npos) << line;
        text_lengths[line.substr(0, eq)] = line.size() - eq - 1;
    }
    EXPECT_EQ(text_lengths.size(), lines.size()) << "a name on two lines";
    std::map<std::string, size_t> expected;
    for (const auto &[name, value] : keys) expected[name] = edge_cipher_calc_encrypt_len(len32(value));
    EXPECT_EQ(text_lengths, expected);
}

TEST_F(KilledWriter, KeyStoreIsTheOldOrTheNewOneWhole) {
    gravel::test::ScopedUmask open_umask(0);
    const std::vector<std::string> key_files = {"449dda627abb9726", kDomainStore, "primary.ks"};
    ASSERT_EQ(edge_cipher_init(), EDGE_OK);  // the first start makes the material and the work key
    edge_cipher_destroy();

    Keys stored;  // what the store on disk holds, as last read back
    Figures figures;
    for (int kill_no = 0; kill_no < kills_; ++kill_no) {
        SCOPED_TRACE(cat("kill ", std::to_string(kill_no), ", GRAVEL_FAULT_SEED=", std::to_string(seed_)));
        const unsigned first_seq = static_cast<unsigned>(kill_no) * kSeqBlock + 1;
        const unsigned child_seed = next_seed();
        ForkedChild child([&](const ReportPipe &out) { return save_keys(out, child_seed, first_seq); });
        ASSERT_EQ(child.next_line(kReadyLimit), std::optional<std::string>("R"));
        std::this_thread::sleep_for(next_delay());
        const bool killed = child.kill_now();
        const Reports reports = read_reports(child.remaining_lines());
        ASSERT_FALSE(reports.failure.has_value()) << *reports.failure;
        ASSERT_TRUE(killed) << "the saver ended by itself";
        ++figures.kills;
        figures.acknowledged += static_cast<long>(reports.acknowledged.size());

        // What must be on disk: every acknowledged key, with the first value saved under its
        // name; and what may be: the key whose save was under way, when its name was new.
        Keys expected = stored;
        for (const auto &[name, value] : reports.acknowledged) expected.emplace(name, value);
        Keys with_unacknowledged = expected;
        if (reports.in_flight) {
            ++figures.in_flight;
            with_unacknowledged.emplace(reports.in_flight->first, reports.in_flight->second);
        }

        // At most the one temporary file of the killed save, owner-only like the key files.
        const std::vector<std::string> temporaries = temporaries_of(secret(), kDomainStore);
        ASSERT_LE(temporaries.size(), 1u);
        figures.temporaries += temporaries.empty() ? 0 : 1;
        for (const std::string &name : gravel::test::list_dir(secret())) {
            const bool known = std::find(key_files.begin(), key_files.end(), name) != key_files.end() ||
                               (!temporaries.empty() && name == temporaries.front());
            EXPECT_TRUE(known) << name;
            EXPECT_EQ(file_mode(secret(name)), 0600u) << name;
        }

        // A fresh init reads the store back from disk.
        ASSERT_EQ(edge_cipher_init(), EDGE_OK);
        const Keys loaded = fault_test::domain_keys();
        const bool old_or_acknowledged = loaded == expected;
        const bool with_the_save_under_way = !old_or_acknowledged && loaded == with_unacknowledged;
        ASSERT_TRUE(old_or_acknowledged || with_the_save_under_way)
            << "loaded " << describe(loaded) << "\nexpected " << describe(expected) << "\nor "
            << describe(with_unacknowledged);
        figures.unacknowledged_on_disk += with_the_save_under_way ? 1 : 0;
        expect_store_text(domain_file(), loaded);
        if (HasFatalFailure()) return;
        stored = loaded;

        // The next save takes the temporary file away with it.
        const std::string name = cat("z", std::to_string(kill_no));
        const std::string value = key_value(name, first_seq + kSeqBlock - 1);
        ASSERT_EQ(edge_cipher_save_key(name.c_str(), bytes(value), len32(value), 1), EDGE_OK);
        stored.emplace(name, value);
        EXPECT_EQ(temporaries_of(secret(), kDomainStore), std::vector<std::string>{});
        EXPECT_EQ(file_mode(domain_file()), 0600u);
        edge_cipher_destroy();
        if (stored.size() >= kFreshStoreAt) {
            ASSERT_TRUE(std::filesystem::remove(domain_file()));
            stored.clear();
        }
    }
    figures.print("keystore", seed_);
    EXPECT_GT(figures.in_flight, 0) << "no kill landed in a save";
    RecordProperty("acknowledged", std::to_string(figures.acknowledged));
    RecordProperty("temporaries", std::to_string(figures.temporaries));
}

/* ---- Property dumps --------------------------------------------------------------------- */

// Version v of the dumped table: 1 to 9 entries, each value naming v, of lengths that make the
// text shrink and grow from one version to the next.
Keys version_pairs(unsigned v) {
    Keys pairs;
    const unsigned count = 1 + v % 9;
    for (unsigned i = 0; i < count; ++i) {
        std::string value = cat("v", std::to_string(v), ".", std::to_string(i), ".");
        value.append((v * 7 + i * 31) % 300, 'x');
        pairs[cat("p", std::to_string(i))] = value;
    }
    return pairs;
}

// The version a dump holds, read from its first entry; 0 when there is none to read.
unsigned version_of(const Keys &pairs) {
    const auto first = pairs.find("p0");
    if (first == pairs.end() || first->second.size() < 2) return 0;
    return static_cast<unsigned>(std::strtoul(first->second.c_str() + 1, nullptr, 10));
}

uint32_t dump_version(const std::string &path, unsigned v, apr_pool_t *parent) {
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, parent) != APR_SUCCESS) return EDGE_ERR_NO_MEMORY;
    apr_hash_t *table = apr_hash_make(pool);
    for (const auto &[key, value] : version_pairs(v)) {
        apr_hash_set(table, apr_pstrdup(pool, key.c_str()), APR_HASH_KEY_STRING, apr_pstrdup(pool, value.c_str()));
    }
    const uint32_t rc = edge_property_dump(path.c_str(), table, pool);
    apr_pool_destroy(pool);
    return rc;
}

int dump_versions(const ReportPipe &out, const std::string &path, apr_pool_t *pool, unsigned first) {
    if (!out.line("R")) return 2;
    for (unsigned v = first; v < first + kSeqBlock - 1; ++v) {
        const std::string version = std::to_string(v);
        (void)out.line("S " + version + " -");
        const uint32_t rc = dump_version(path, v, pool);
        if (rc != EDGE_OK) {
            (void)out.line("F " + version + " " + std::to_string(rc));
            return 3;
        }
        (void)out.line("A " + version + " -");
    }
    return 4;
}

Keys parse_with_the_kit(const std::string &path, apr_pool_t *parent) {
    Keys pairs;
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, parent) != APR_SUCCESS) return pairs;
    apr_hash_t *table = edge_property_parse(path.c_str(), pool);
    for (apr_hash_index_t *it = table == nullptr ? nullptr : apr_hash_first(pool, table); it != nullptr;
         it = apr_hash_next(it)) {
        const void *key = nullptr;
        apr_ssize_t key_len = 0;
        void *value = nullptr;
        apr_hash_this(it, &key, &key_len, &value);
        pairs[std::string(static_cast<const char *>(key), static_cast<size_t>(key_len))] =
            static_cast<const char *>(value);
    }
    apr_pool_destroy(pool);
    return pairs;
}

TEST_F(KilledWriter, PropertyDumpIsOneWholeVersion) {
    gravel::test::ScopedUmask open_umask(0);
    gravel::test::make_dirs(work_.file("dumps"));
    const std::string dir = work_.file("dumps");
    const std::string path = work_.file("dumps/table.properties");
    unsigned known = 0;  // the version on disk, as last read back
    ASSERT_EQ(dump_version(path, known, pool_), EDGE_OK);

    Figures figures;
    for (int kill_no = 0; kill_no < kills_; ++kill_no) {
        SCOPED_TRACE(cat("kill ", std::to_string(kill_no), ", GRAVEL_FAULT_SEED=", std::to_string(seed_)));
        const unsigned first = static_cast<unsigned>(kill_no + 1) * kSeqBlock;
        ForkedChild child([&](const ReportPipe &out) { return dump_versions(out, path, pool_, first); });
        ASSERT_EQ(child.next_line(kReadyLimit), std::optional<std::string>("R"));
        std::this_thread::sleep_for(next_delay());
        const bool killed = child.kill_now();
        const Reports reports = read_reports(child.remaining_lines());
        ASSERT_FALSE(reports.failure.has_value()) << *reports.failure;
        ASSERT_TRUE(killed) << "the dumper ended by itself";
        ++figures.kills;
        figures.acknowledged += static_cast<long>(reports.acknowledged.size());
        figures.in_flight += reports.in_flight ? 1 : 0;
        const unsigned acknowledged =
            reports.acknowledged.empty() ? known : static_cast<unsigned>(std::stoul(reports.acknowledged.back().first));

        const std::vector<std::string> temporaries = temporaries_of(dir, "table.properties");
        ASSERT_LE(temporaries.size(), 1u);
        figures.temporaries += temporaries.empty() ? 0 : 1;
        for (const std::string &name : temporaries) EXPECT_EQ(file_mode(dir + "/" + name), 0600u);
        EXPECT_EQ(file_mode(path), 0600u);

        // The kit's reader finds one version whole: the last acknowledged one, or the one
        // under way. The text holds exactly that version's lines, and nothing after them.
        const Keys got = parse_with_the_kit(path, pool_);
        const unsigned v = version_of(got);
        const bool under_way = reports.in_flight && v == std::stoul(reports.in_flight->first);
        ASSERT_TRUE(v == acknowledged || under_way)
            << "version " << v << " on disk, " << acknowledged << " acknowledged last";
        ASSERT_EQ(got, version_pairs(v));
        bool whole = false;
        const std::vector<std::string> lines = fault_test::sorted_lines(read_file(path), whole);
        EXPECT_TRUE(whole);
        std::vector<std::string> expected_lines;
        for (const auto &[key, value] : version_pairs(v)) expected_lines.push_back(key + "=" + value);
        EXPECT_EQ(lines, expected_lines);
        figures.unacknowledged_on_disk += under_way && v != acknowledged ? 1 : 0;

        // The next dump takes the temporary file away with it.
        known = first + kSeqBlock - 1;
        ASSERT_EQ(dump_version(path, known, pool_), EDGE_OK);
        EXPECT_EQ(temporaries_of(dir, "table.properties"), std::vector<std::string>{});
        EXPECT_EQ(parse_with_the_kit(path, pool_), version_pairs(known));
    }
    figures.print("property", seed_);
    EXPECT_GT(figures.in_flight, 0) << "no kill landed in a dump";
    RecordProperty("acknowledged", std::to_string(figures.acknowledged));
    RecordProperty("temporaries", std::to_string(figures.temporaries));
}

}  // namespace
