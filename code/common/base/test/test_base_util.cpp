// Files, strings, time and the log masks.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <string>

#include <apr_errno.h>

#include <gravel/edge_base.h>

#include "gravel_test_support.hpp"
#include "runtime_test.hpp"

using gravel::test::read_file;
using gravel::test::TempDir;
using gravel::test::write_file;

namespace {

class Files : public gravel::test::BaseRuntimeTest {
protected:
    std::string path(const char *name) const { return dir_.file(name); }
    TempDir dir_;
};

}  // namespace

TEST_F(Files, ExistenceChecksTellFilesFromDirectories) {
    write_file(path("f"), "x");
    EXPECT_EQ(edge_base_file_exist(path("f").c_str(), pool_), 1);
    EXPECT_EQ(edge_base_file_exist(dir_.path().c_str(), pool_), 0);
    EXPECT_EQ(edge_base_directory_exist(dir_.path().c_str(), pool_), 1);
    EXPECT_EQ(edge_base_directory_exist(path("f").c_str(), pool_), 0);
    EXPECT_EQ(edge_base_file_exist(path("missing").c_str(), pool_), 0);
    EXPECT_EQ(edge_base_file_exist("", pool_), 0);
    EXPECT_EQ(edge_base_file_exist(nullptr, pool_), 0);
    EXPECT_EQ(edge_base_file_exist(path("f").c_str(), nullptr), 0);
    // Links are followed.
    ASSERT_EQ(symlink(path("f").c_str(), path("link").c_str()), 0);
    EXPECT_EQ(edge_base_file_exist(path("link").c_str(), pool_), 1);
}

TEST_F(Files, DirectoryMakeCreatesOneLevelWithMode0700) {
    const mode_t old = umask(0);
    EXPECT_EQ(edge_base_directory_make(path("d").c_str(), pool_), APR_SUCCESS);
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(path("d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(APR_STATUS_IS_EEXIST(edge_base_directory_make(path("d").c_str(), pool_)));
    EXPECT_TRUE(APR_STATUS_IS_ENOENT(edge_base_directory_make(path("a/b").c_str(), pool_)));
    EXPECT_EQ(edge_base_directory_make(nullptr, pool_), EDGE_ERR_MISSING);
}

TEST_F(Files, ReadFillsUpToTheCapacity) {
    write_file(path("f"), "hello world");
    unsigned char buf[32] = {};
    uint32_t len = 5;
    EXPECT_EQ(edge_base_file_read(path("f").c_str(), buf, &len, pool_), EDGE_OK);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf)), "hello");

    len = sizeof buf;
    EXPECT_EQ(edge_base_file_read(path("f").c_str(), buf, &len, pool_), EDGE_OK);
    EXPECT_EQ(len, 11u);

    len = 0;
    EXPECT_EQ(edge_base_file_read(path("f").c_str(), buf, &len, pool_), EDGE_ERR_MISSING);
    len = 4;
    EXPECT_EQ(edge_base_file_read(path("none").c_str(), buf, &len, pool_), EDGE_ERR_FILE_MISSING);
    EXPECT_EQ(edge_base_file_read(dir_.path().c_str(), buf, &len, pool_), EDGE_ERR_FILE_MISSING);
    write_file(path("empty"), "");
    EXPECT_EQ(edge_base_file_read(path("empty").c_str(), buf, &len, pool_), APR_EOF);
}

TEST_F(Files, ReadAllocReturnsAtMostTwelveBytesTerminated) {
    struct Case {
        std::string content;
        uint32_t want_status;
        std::string want;
    } cases[] = {{"ABCDEFGHIJKLMNOPQRST", EDGE_OK, "ABCDEFGHIJKL"},
                 {"ABCDE", EDGE_OK, "ABCDE"},
                 {"123456789012", EDGE_OK, "123456789012"},
                 {"", APR_EOF, ""}};
    for (const auto &c : cases) {
        write_file(path("m"), c.content);
        unsigned char *block = nullptr;
        uint32_t len = 0;
        EXPECT_EQ(edge_base_file_read_alloc(path("m").c_str(), &block, &len, pool_), c.want_status) << c.content;
        if (c.want_status != EDGE_OK) continue;
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(len, c.want.size());
        EXPECT_EQ(block[len], '\0');
        EXPECT_EQ(std::string(reinterpret_cast<char *>(block)), c.want);
    }
    unsigned char *block = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(edge_base_file_read_alloc(path("none").c_str(), &block, &len, pool_), EDGE_ERR_FILE_MISSING);
    EXPECT_EQ(edge_base_file_read_alloc(nullptr, &block, &len, pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_file_read_alloc(path("m").c_str(), nullptr, &len, pool_), EDGE_ERR_MISSING);
}

TEST_F(Files, WriteCreatesWith0600AndKeepsALongerTail) {
    const mode_t old = umask(0);
    EXPECT_EQ(edge_base_file_write(path("w").c_str(), reinterpret_cast<const unsigned char *>("0123456789"), 10, pool_),
              EDGE_OK);
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(path("w").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(edge_base_file_write(path("w").c_str(), reinterpret_cast<const unsigned char *>("abcd"), 4, pool_),
              EDGE_OK);
    EXPECT_EQ(read_file(path("w")), "abcd456789");

    EXPECT_EQ(edge_base_file_write(path("w").c_str(), reinterpret_cast<const unsigned char *>("x"), 0, pool_),
              EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_file_write(path("w").c_str(), nullptr, 1, pool_), EDGE_ERR_MISSING);
    EXPECT_TRUE(APR_STATUS_IS_ENOENT(
        edge_base_file_write(path("no/dir").c_str(), reinterpret_cast<const unsigned char *>("x"), 1, pool_)));
}

TEST_F(Files, RemoveOnlyRemovesRegularFiles) {
    write_file(path("r"), "x");
    EXPECT_EQ(edge_base_file_remove(path("r").c_str(), pool_), EDGE_OK);
    EXPECT_FALSE(gravel::test::exists(path("r")));
    EXPECT_EQ(edge_base_file_remove(path("r").c_str(), pool_), EDGE_OK);
    gravel::test::make_dirs(path("sub"));
    EXPECT_EQ(edge_base_file_remove(path("sub").c_str(), pool_), EDGE_OK);
    EXPECT_TRUE(gravel::test::exists(path("sub")));
    EXPECT_EQ(edge_base_file_remove(nullptr, pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_file_remove(path("r").c_str(), nullptr), EDGE_ERR_MISSING);
}

TEST(Strings, LengthAndComparison) {
    EXPECT_EQ(edge_base_str_len(nullptr), 0u);
    EXPECT_EQ(edge_base_str_len("abc"), 3u);
    struct Case {
        const char *a, *b;
        uint32_t n;
        int sign;
    } cases[] = {
        {"abc", "xyz", 0, 0},  {nullptr, nullptr, 3, 0}, {nullptr, "a", 3, -1},
        {"a", nullptr, 3, 1},  {"abc", "abd", 2, 0},     {"abc", "abd", 3, -1},
        {"abc", "abc", 99, 0}, {"ab", "abc", 3, -1},     {"\xff", "\x01", 1, 1},  // bytes compare unsigned
    };
    for (const auto &c : cases) {
        const int r = edge_base_str_n_cmp(c.a, c.b, c.n);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << (c.a ? c.a : "null") << " vs " << (c.b ? c.b : "null") << " n=" << c.n;
    }
    EXPECT_EQ(edge_base_str_n_cmp("abc", "abd", 3), 'c' - 'd');
}

TEST(Strings, FindAndReverseFind) {
    const char *text = "a.b.c";
    EXPECT_EQ(edge_base_str_find(text, ""), text);
    EXPECT_EQ(edge_base_str_rfind(text, ""), nullptr);
    EXPECT_EQ(edge_base_str_rfind(text, nullptr), nullptr);
    EXPECT_EQ(edge_base_str_find(nullptr, "a"), nullptr);
    EXPECT_EQ(edge_base_str_find(text, nullptr), nullptr);
    EXPECT_EQ(edge_base_str_rfind("", "a"), nullptr);
    struct Case {
        const char *text, *pattern;
        int32_t first, last;
    } cases[] = {{"a.b.c", ".", 1, 3}, {"abc", ".", -1, -1}, {"abab", "ab", 0, 2},
                 {"aaa", "aa", 0, 1},  {"x", "xy", -1, -1},  {"topic/request_id=9", "request_id=", 6, 6}};
    for (const auto &c : cases) {
        EXPECT_EQ(edge_base_str_find_pos(c.text, c.pattern), c.first) << c.text << " / " << c.pattern;
        EXPECT_EQ(edge_base_str_rfind_pos(c.text, c.pattern), c.last) << c.text << " / " << c.pattern;
    }
}

TEST(Time, NowIsEpochMilliseconds) {
    const int64_t before = static_cast<int64_t>(std::time(nullptr)) * 1000;
    const int64_t now = edge_base_time_now();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2000);
}

TEST(Time, StrftimeFormatsUtc) {
    char buf[15] = {};
    uint32_t len = sizeof buf;
    const std::time_t t0 = std::time(nullptr);
    ASSERT_EQ(edge_base_time_strftime("%Y%m%d%H%M%S", buf, &len), EDGE_OK);
    EXPECT_EQ(len, 14u);
    // Equal to the UTC rendering of a moment within the call.
    bool matched = false;
    for (std::time_t t = t0; t <= t0 + 1 && !matched; ++t) {
        std::tm tm{};
        gmtime_r(&t, &tm);
        char want[15];
        std::strftime(want, sizeof want, "%Y%m%d%H%M%S", &tm);
        matched = std::string(buf, len) == want;
    }
    EXPECT_TRUE(matched) << buf;

    uint32_t zero = 0;
    EXPECT_EQ(edge_base_time_strftime("%Y", buf, &zero), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_time_strftime("", buf, &len), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_time_strftime(nullptr, buf, &len), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_time_strftime("%Y", nullptr, &len), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_time_strftime("%Y", buf, nullptr), EDGE_ERR_MISSING);
}

TEST_F(Files, LogMaskIdentifierKeepsHeadAndTail) {
    apr_pool_t *pool = pool_;
    struct Case {
        const char *text;
        const char *want;
    } cases[] = {
        {nullptr, "(null)"},
        {"", "(null)"},
        {"ab", "***"},
        {"abc", "a*c"},
        {"abcd", "a**d"},
        {"abcde", "a**de"},
        {"abcdef", "a***ef"},
        {"abcdefg", "ab***fg"},
        {"abcdefgh", "ab****gh"},
        {"0123456789abcdefghij", "01****************ij"},
    };
    for (const auto &c : cases) EXPECT_STREQ(edge_base_log_fuzz_id(c.text, pool), c.want) << (c.text ? c.text : "null");
    EXPECT_STREQ(edge_base_log_fuzz_id("abcdefgh", nullptr), "***");
    const char *original = "abcdefgh";
    edge_base_log_fuzz_id(original, pool);
    EXPECT_STREQ(original, "abcdefgh");  // the caller's text is never changed
}

TEST_F(Files, LogMaskAddressMasksBetweenFirstAndLastDot) {
    apr_pool_t *pool = pool_;
    struct Case {
        const char *text;
        const char *want;
    } cases[] = {
        {nullptr, "***"},
        {"1.2.3", "***"},
        {"1.2.3.4", "1.***.4"},
        {"10.0.0.1", "10.***.1"},
        {"192.168.1.10", "192.*****.10"},
        {"localhost", "localhost"},
        {"fe80::1:2:3", "fe80::1:2:3"},
        {"host.local", "host.local"},
        {"https://127.0.0.1:8443/v1/bind", "https://127.***.1:8443/v1/bind"},
    };
    for (const auto &c : cases) EXPECT_STREQ(edge_base_log_fuzz_ip(c.text, pool), c.want) << (c.text ? c.text : "null");
    EXPECT_STREQ(edge_base_log_fuzz_ip("10.0.0.1", nullptr), "***");  // cannot mask without a pool
}
