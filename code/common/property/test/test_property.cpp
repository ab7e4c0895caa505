// Property files: line syntax, file reading limits, and whole-file replacement on dump.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>
#include <string>

#include <apr_hash.h>
#include <apr_strings.h>

#include <gravel/edge_base.h>
#include <gravel/edge_property.h>

#include "gravel_test_support.hpp"
#include "runtime_test.hpp"

extern "C" int gravel_property_c_header_probe(void);

using gravel::test::read_file;
using gravel::test::WorkDir;
using gravel::test::write_file;
using Pairs = std::map<std::string, std::string>;

namespace {

Pairs to_pairs(apr_hash_t *table) {
    Pairs pairs;
    for (apr_hash_index_t *it = apr_hash_first(nullptr, table); it != nullptr; it = apr_hash_next(it)) {
        const void *key = nullptr;
        apr_ssize_t klen = 0;
        void *value = nullptr;
        apr_hash_this(it, &key, &klen, &value);
        pairs[std::string(static_cast<const char *>(key), static_cast<size_t>(klen))] =
            static_cast<const char *>(value);
    }
    return pairs;
}

// A running base runtime (for the log) and a scratch pool for tables.
class Property : public gravel::test::BaseRuntimeTest {
protected:
    apr_hash_t *table(const Pairs &pairs = {}) {
        apr_hash_t *t = apr_hash_make(pool_);
        for (const auto &[k, v] : pairs)
            apr_hash_set(t, apr_pstrdup(pool_, k.c_str()), APR_HASH_KEY_STRING, apr_pstrdup(pool_, v.c_str()));
        return t;
    }
    Pairs parse_text(const std::string &text) {
        const std::string path = work_.file("in.properties");
        write_file(path, text);
        apr_hash_t *t = edge_property_parse(path.c_str(), pool_);
        EXPECT_NE(t, nullptr);
        return t == nullptr ? Pairs{} : to_pairs(t);
    }
};

}  // namespace

TEST(PropertyHeader, CompilesAsC) {
    EXPECT_EQ(gravel_property_c_header_probe(), 1);
}

TEST_F(Property, ParseLineSyntax) {
    struct Case {
        std::string line;
        uint32_t status;
        Pairs after;  // applied to a table that holds old=1
    };
    const std::string key32(32, 'k');
    const std::string value512(512, 'v');
    const Case cases[] = {
        {"key = value", EDGE_OK, {{"key", "value"}, {"old", "1"}}},
        {"key=value", EDGE_OK, {{"key", "value"}, {"old", "1"}}},
        {"key:value", EDGE_OK, {{"key", "value"}, {"old", "1"}}},
        {"k e y = v a l", EDGE_OK, {{"key", "val"}, {"old", "1"}}},
        {" \t\fkey\r=\tvalue \r\n", EDGE_OK, {{"key", "value"}, {"old", "1"}}},
        {"a\vb=c", EDGE_OK, {{"a\vb", "c"}, {"old", "1"}}},  // vertical tab is not blank
        {"#x=1", EDGE_OK, {{"#x", "1"}, {"old", "1"}}},      // comments are a matter of the file reader
        {"old=2", EDGE_OK, {{"old", "2"}}},
        {"old=", EDGE_OK, {}},
        {"old:", EDGE_OK, {}},
        {"old", EDGE_OK, {}},
        {"new", EDGE_OK, {{"old", "1"}}},
        {"url=a:b", EDGE_ERR_PROPERTY_SYNTAX, {{"old", "1"}}},
        {"a=b=c", EDGE_ERR_PROPERTY_SYNTAX, {{"old", "1"}}},
        {"old==", EDGE_ERR_PROPERTY_SYNTAX, {{"old", "1"}}},
        {"=value", EDGE_ERR_PROPERTY_SYNTAX, {{"old", "1"}}},
        {"   ", EDGE_ERR_PROPERTY_SYNTAX, {{"old", "1"}}},
        {key32 + "=x", EDGE_OK, {{key32, "x"}, {"old", "1"}}},
        {key32 + "k=x", EDGE_ERR_PROPERTY_SYNTAX, {{"old", "1"}}},
        {"v=" + value512, EDGE_OK, {{"v", value512}, {"old", "1"}}},
        {"v=" + value512 + "v", EDGE_ERR_PROPERTY_SYNTAX, {{"old", "1"}}},
        {std::string("a=1\0b=2", 7), EDGE_OK, {{"a", "1"}, {"old", "1"}}},  // a zero byte ends the line
    };
    for (const Case &c : cases) {
        apr_hash_t *t = table({{"old", "1"}});
        EXPECT_EQ(edge_property_parse_line(c.line.data(), static_cast<uint32_t>(c.line.size()), t, pool_), c.status)
            << "line: " << c.line;
        EXPECT_EQ(to_pairs(t), c.after) << "line: " << c.line;
    }
}

TEST_F(Property, ParseLineTakesOnlyTheGivenLength) {
    apr_hash_t *t = table();
    const char text[] = "key=valueTRAILING";
    EXPECT_EQ(edge_property_parse_line(text, 9, t, pool_), EDGE_OK);
    EXPECT_EQ(to_pairs(t), (Pairs{{"key", "value"}}));
}

TEST_F(Property, RejectedArgumentsChangeNothing) {
    apr_hash_t *t = table({{"old", "1"}});
    struct Case {
        const char *line;
        uint32_t length;
        apr_hash_t *table;
        apr_pool_t *pool;
    };
    const Case rejected[] = {
        {nullptr, 3, t, pool_},     {"", 1, t, pool_},      {"a=1", 0, t, pool_},
        {"a=1", 3, nullptr, pool_}, {"a=1", 3, t, nullptr},
    };
    for (const Case &c : rejected) {
        EXPECT_EQ(edge_property_parse_valid(c.line, c.length, c.table, c.pool), 1u);
        EXPECT_EQ(edge_property_parse_line(c.line, c.length, c.table, c.pool), EDGE_ERR_MISSING);
    }
    EXPECT_EQ(edge_property_parse_valid("a=1", 3, t, pool_), 0u);
    EXPECT_EQ(to_pairs(t), (Pairs{{"old", "1"}}));
}

TEST_F(Property, ParseFile) {
    struct Case {
        const char *what;
        std::string text;
        Pairs want;
    };
    const Case cases[] = {
        {"empty file", "", {}},
        {"only comments and empty lines", "# a=1\n\n\r\n#b=2\n", {}},
        {"separators and blanks", "a = 1\nb:2\nc=3", {{"a", "1"}, {"b", "2"}, {"c", "3"}}},
        {"blanks before # do not make a comment", "  #x=1\n", {{"#x", "1"}}},
        {"an invalid line is skipped", "url=a:b\n=v\n   \nnext=1\n", {{"next", "1"}}},
        {"empty value removes", "a=1\na=\nb=2\n", {{"b", "2"}}},
        {"last line wins", "a=1\na=2\n", {{"a", "2"}}},
        {"zero byte at a line start ends the file", std::string("a=1\n\0b=2\nc=3\n", 13), {{"a", "1"}}},
        {"zero byte inside a line ends the line", std::string("a=1\0xyz\nb=2\n", 12), {{"a", "1"}, {"b", "2"}}},
        {"long key line is skipped", std::string(33, 'k') + "=1\nb=2\n", {{"b", "2"}}},
    };
    for (const Case &c : cases) EXPECT_EQ(parse_text(c.text), c.want) << c.what;
}

TEST_F(Property, LongLinesArriveIn511BytePieces) {
    // 600 characters: "k=" and 509 'v' make the first piece of 511 bytes, "m=" and 87 'w'
    // the second.
    const std::string line = "k=" + std::string(509, 'v') + "m=" + std::string(87, 'w');
    ASSERT_EQ(line.size(), 600u);
    EXPECT_EQ(parse_text(line + "\n"), (Pairs{{"k", std::string(509, 'v')}, {"m", std::string(87, 'w')}}));
}

TEST_F(Property, ReadsAtMost512Lines) {
    std::string text;
    for (int i = 1; i <= 513; ++i) text += gravel::test::cat("k", std::to_string(i), "=", std::to_string(i), "\n");
    const Pairs got = parse_text(text);
    EXPECT_EQ(got.size(), 512u);
    EXPECT_EQ(got.count("k512"), 1u);
    EXPECT_EQ(got.count("k513"), 0u);

    // Comments and empty lines count too.
    std::string padded;
    for (int i = 0; i < 510; ++i) padded += i % 2 == 0 ? "#\n" : "\n";
    EXPECT_EQ(parse_text(padded + "a=1\nb=2\nc=3\n"), (Pairs{{"a", "1"}, {"b", "2"}}));
}

TEST_F(Property, ParseRefusesUnusableArgumentsAndMissingFiles) {
    EXPECT_EQ(edge_property_parse(nullptr, pool_), nullptr);
    EXPECT_EQ(edge_property_parse("", pool_), nullptr);
    write_file(work_.file("x"), "a=1\n");
    EXPECT_EQ(edge_property_parse(work_.file("x").c_str(), nullptr), nullptr);
    EXPECT_EQ(edge_property_parse(work_.file("missing").c_str(), pool_), nullptr);
    EXPECT_TRUE(work_.logged("ERROR open file failed, ret:2"));
}

TEST_F(Property, DumpReadsBackTheSameTable) {
    const Pairs pairs{{"0", std::string(96, 'a')}, {"secret", "0123abcd"}, {std::string(32, 'k'), "v"}};
    const std::string path = work_.file("store.ks");
    ASSERT_EQ(edge_property_dump(path.c_str(), table(pairs), pool_), EDGE_OK);
    EXPECT_EQ(to_pairs(edge_property_parse(path.c_str(), pool_)), pairs);
    // The written form: "key=value\n" per entry and nothing else.
    const std::string text = read_file(path);
    for (const auto &[k, v] : pairs) EXPECT_NE(text.find(k + "=" + v + "\n"), std::string::npos);
    size_t expected = 0;
    for (const auto &[k, v] : pairs) expected += k.size() + v.size() + 2;
    EXPECT_EQ(text.size(), expected);
}

// An entry that would read back as something else (or not at all) is refused before anything
// is written; what the dump does write parses back as the very same table.
TEST_F(Property, DumpRefusesEntriesThatWouldNotReadBack) {
    struct Case {
        std::string key, value;
    };
    const Case refused[] = {
        {"#a", "b"},   // read back as a comment
        {"a b", "1"},  // blanks are removed on reading
        {"a", "x y"},
        {"a\tb", "1"},
        {"a=b", "1"},  // a second separator makes the line invalid
        {"a:b", "1"},
        {"a", "b=c"},
        {"a", "b:c"},
        {"a", ""},                      // "a=" removes the key on reading
        {std::string(33, 'k'), "1"},    // longer than a key may be
        {"a", std::string(509, 'v')},   // "a=" + 509 + "\n" is longer than one piece
        {std::string("a\0b", 3), "1"},  // a zero byte ends the line
    };
    const std::string path = work_.file("store.ks");
    write_file(path, "old=1\n");
    for (const Case &c : refused) {
        SCOPED_TRACE(c.key + "=" + c.value);
        apr_hash_t *t = table({{"good", "1"}});
        apr_hash_set(t, apr_pstrmemdup(pool_, c.key.data(), c.key.size()), static_cast<apr_ssize_t>(c.key.size()),
                     apr_pstrmemdup(pool_, c.value.data(), c.value.size()));
        EXPECT_EQ(edge_property_dump(path.c_str(), t, pool_), EDGE_ERR_BAD_ARGUMENT);
        EXPECT_EQ(read_file(path), "old=1\n");
    }
    EXPECT_TRUE(work_.logged("ERROR property entry cannot be written, key:#a"));
    EXPECT_EQ(gravel::test::list_dir(work_.path()), (std::vector<std::string>{"conf", "log", "store.ks"}));

    // The longest entries that still fit, and characters that only look special.
    const Pairs fits{{std::string(32, 'k'), std::string(509 - 32, 'v')}, {"a#", "#b"}, {"x", "1"}};
    ASSERT_EQ(edge_property_dump(path.c_str(), table(fits), pool_), EDGE_OK);
    EXPECT_EQ(to_pairs(edge_property_parse(path.c_str(), pool_)), fits);
}

TEST_F(Property, DumpReplacesTheWholeFileWithMode0600) {
    gravel::test::ScopedUmask open_umask(0);
    const std::string path = work_.file("store.ks");
    write_file(path, "a=" + std::string(300, 'x') + "\nb=2\nc=3\n");
    ::chmod(path.c_str(), 0644);
    ASSERT_EQ(edge_property_dump(path.c_str(), table({{"a", "1"}}), pool_), EDGE_OK);
    // A shorter text leaves no tail of the old content behind.
    EXPECT_EQ(read_file(path), "a=1\n");
    EXPECT_EQ(gravel::test::file_mode(path), 0600u);
    EXPECT_EQ(gravel::test::list_dir(work_.path()), (std::vector<std::string>{"conf", "log", "store.ks"}));
}

TEST_F(Property, DumpOfAnEmptyTableTouchesNothing) {
    const std::string path = work_.file("store.ks");
    EXPECT_EQ(edge_property_dump(path.c_str(), table(), pool_), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_FALSE(gravel::test::exists(path));
    write_file(path, "old=1\n");
    EXPECT_EQ(edge_property_dump(path.c_str(), table(), pool_), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(read_file(path), "old=1\n");
    EXPECT_TRUE(work_.logged("ERROR no element in hash table."));
}

TEST_F(Property, DumpRefusesUnusableArguments) {
    apr_hash_t *t = table({{"a", "1"}});
    EXPECT_EQ(edge_property_dump(nullptr, t, pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_property_dump("", t, pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_property_dump(work_.file("x").c_str(), nullptr, pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_property_dump(work_.file("x").c_str(), t, nullptr), EDGE_ERR_MISSING);
    EXPECT_FALSE(gravel::test::exists(work_.file("x")));
}

TEST_F(Property, FailedDumpLeavesTheOldFileAndNoTemporary) {
    apr_hash_t *t = table({{"a", "1"}});
    // The directory does not exist: nothing can be created.
    EXPECT_EQ(edge_property_dump(work_.file("nodir/store.ks").c_str(), t, pool_), EDGE_ERR_FILE_WRITE);
    EXPECT_TRUE(work_.logged("ERROR open file failed, ret:2"));

    // The target is a directory: the new text is written but cannot take its place.
    const std::string dir = work_.file("store.ks");
    gravel::test::make_dirs(dir + "/inside");
    EXPECT_EQ(edge_property_dump(dir.c_str(), t, pool_), EDGE_ERR_FILE_WRITE);
    EXPECT_TRUE(work_.logged("ERROR write file failed, ret:21"));  // EISDIR
    EXPECT_TRUE(gravel::test::exists(dir + "/inside"));
    EXPECT_EQ(gravel::test::list_dir(work_.path()), (std::vector<std::string>{"conf", "log", "store.ks"}));
}

TEST_F(Property, DumpReplacesALinkInsteadOfWritingThroughIt) {
    const std::string elsewhere = work_.file("elsewhere");
    const std::string path = work_.file("store.ks");
    write_file(elsewhere, "untouched\n");
    ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0);
    ASSERT_EQ(edge_property_dump(path.c_str(), table({{"a", "1"}}), pool_), EDGE_OK);
    EXPECT_EQ(read_file(elsewhere), "untouched\n");
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(path), "a=1\n");
}

TEST_F(Property, DumpSweepsTemporariesThatACrashLeft) {
    const std::string path = work_.file("store.ks");
    write_file(path + ".tmp.Ab12Cd", "a=half");  // what a killed writer leaves
    write_file(work_.file("other.ks.tmp.Ab12Cd"), "not ours");
    write_file(path + ".tmp.note", "not a temporary name");
    ASSERT_EQ(edge_property_dump(path.c_str(), table({{"a", "1"}}), pool_), EDGE_OK);
    EXPECT_EQ(gravel::test::list_dir(work_.path()),
              (std::vector<std::string>{"conf", "log", "other.ks.tmp.Ab12Cd", "store.ks", "store.ks.tmp.note"}));
}

TEST_F(Property, DumpsOfOneFileFromTwoThreadsAllSucceed) {
    // Each writer replaces the file through a temporary of its own; neither may sweep away the
    // other's temporary while it is being written.
    const std::string path = work_.file("shared.properties");
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            apr_pool_t *pool = nullptr;
            if (apr_pool_create(&pool, pool_) != APR_SUCCESS) {
                ++failures;
                return;
            }
            apr_hash_t *t = apr_hash_make(pool);
            apr_hash_set(t, "writer", APR_HASH_KEY_STRING, w == 0 ? "zero" : "one");
            for (int i = 0; i < 150; ++i) {
                if (edge_property_dump(path.c_str(), t, pool) != EDGE_OK) ++failures;
            }
            apr_pool_destroy(pool);
        });
    }
    for (auto &t : writers) t.join();
    EXPECT_EQ(failures.load(), 0);
    const Pairs last = parse_text(gravel::test::read_file(path));
    ASSERT_EQ(last.size(), 1u);
    EXPECT_TRUE(last.at("writer") == "zero" || last.at("writer") == "one");
    for (const auto &name : gravel::test::list_dir(work_.path())) {
        EXPECT_EQ(name.find(".tmp."), std::string::npos) << name;
    }
}
