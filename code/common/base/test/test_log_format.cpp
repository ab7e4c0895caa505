// Pattern conversions, modifiers, sizes and level names of the logging engine.
#include "../src/edge_base_log_engine.hpp"

#include <gtest/gtest.h>

#include "gravel_test_support.hpp"

#include <cstdlib>
#include <ctime>
#include <optional>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

namespace {

using namespace gravel::log::detail;

using gravel::test::ScopedEnv;

const LevelTable &table() {
    static const LevelTable t;
    return t;
}

// 2023-11-14 22:13:20.123456789 UTC
Event fixed_event(int level = 40) {
    Event ev;
    ev.category = "sdk_rule";
    ev.file = "src/net/conn.c";
    ev.func = "open_conn";
    ev.message = "hello";
    ev.line = 42;
    ev.level = level;
    ev.level_info = &table().describe(level);
    ev.now = timespec{1700000000, 123456789};
    return ev;
}

std::string render(const std::string &pattern, const Event &ev, std::size_t limit = 0) {
    Pattern p;
    std::string err = p.compile(pattern, PatternOptions{"edge-host", false});
    EXPECT_EQ(err, "") << pattern;
    std::string storage;
    TextBuffer out(storage, limit);
    p.render(ev, out);
    out.finish_cut();
    return storage;
}

std::string local_strftime(const char *fmt, time_t t) {
    tm parts{};
    localtime_r(&t, &parts);
    char buf[256];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"  // strftime reads no arguments
    return std::string(buf, std::strftime(buf, sizeof buf, fmt, &parts));
#pragma GCC diagnostic pop
}

struct RenderCase {
    const char *pattern;
    const char *expected;
};

TEST(LogPattern, ConversionsAndModifiers) {
    const RenderCase cases[] = {
        {"%c", "sdk_rule"},
        {"%F", "src/net/conn.c"},
        {"%f", "conn.c"},
        {"%U", "open_conn"},
        {"%L", "42"},
        {"%m", "hello"},
        {"[%m]%n", "[hello]\n"},
        {"%r%m", "\rhello"},
        {"100%%", "100%"},
        {"%V %v", "INFO info"},
        {"<%M(request)>", "<>"},
        {"%H", "edge-host"},
        {"plain text only", "plain text only"},
        // width, left justification, zero padding, precision
        {"[%10c]", "[  sdk_rule]"},
        {"[%-10c]", "[sdk_rule  ]"},
        {"[%010L]", "[0000000042]"},
        {"[%-6V]", "[INFO  ]"},
        {"[%.3c]", "[sdk]"},
        {"[%-6.3V]", "[INF   ]"},
        {"[%6.3V]", "[   INF]"},
        {"[%2c]", "[sdk_rule]"},
        {"[%.0m]", "[]"},
        {"[%-3M(k)]", "[   ]"},
        // time of the event, UTC
        {"%g", "2023-11-14 22:13:20"},
        {"%g()", "2023-11-14 22:13:20"},
        {"%G", "2023-11-14 22:13:20"},
        {"%G(%Y%m%d)", "20231114"},
        {"%g(%H:%M:%S).%ms", "22:13:20.123"},
        {"%us", "123456"},
        {"%ms.%us", "123.123456"},
        {"[%-12.4g(%F)]", "[2023        ]"},
        {"[%8ms]", "[     123]"},
        // inside %g() the text is strftime's: %m is the month there
        {"%g(%m)", "11"},
        // %m followed by anything but 's' is the message
        {"%m s", "hello s"},
    };
    const Event ev = fixed_event();
    for (const RenderCase &c : cases) EXPECT_EQ(render(c.pattern, ev), c.expected) << "pattern " << c.pattern;
}

TEST(LogPattern, LocalTimeMatchesStrftimeOfTheSameInstant) {
    const Event ev = fixed_event();
    EXPECT_EQ(render("%d", ev), local_strftime("%F %T", ev.now.tv_sec));
    EXPECT_EQ(render("%d()", ev), local_strftime("%F %T", ev.now.tv_sec));
    EXPECT_EQ(render("%D", ev), local_strftime("%F %T", ev.now.tv_sec));
    EXPECT_EQ(render("%d(%a %d %b %Y %H:%M:%S %z)", ev), local_strftime("%a %d %b %Y %H:%M:%S %z", ev.now.tv_sec));
    EXPECT_EQ(render("%D(%j)", ev), local_strftime("%j", ev.now.tv_sec));
}

TEST(LogPattern, ProcessAndThreadIdentities) {
    const Event ev = fixed_event();
    char hex[32], dec[32];
    std::snprintf(hex, sizeof hex, "%lx", (unsigned long)pthread_self());
    std::snprintf(dec, sizeof dec, "%lu", (unsigned long)pthread_self());
    EXPECT_EQ(render("%p", ev), std::to_string(getpid()));
    EXPECT_EQ(render("%k", ev), std::to_string(gettid()));
    EXPECT_EQ(render("%t", ev), hex);
    EXPECT_EQ(render("%T", ev), dec);
}

TEST(LogPattern, EnvironmentIsReadWhenCompiled) {
    ScopedEnv set("GRAVEL_LOG_TEST_VAR", "abcdef");
    ScopedEnv unset("GRAVEL_LOG_TEST_UNSET", std::nullopt);
    Pattern p;
    ASSERT_EQ(
        p.compile("%E(GRAVEL_LOG_TEST_VAR)/[%8.3E(GRAVEL_LOG_TEST_VAR)]/%E(GRAVEL_LOG_TEST_UNSET)", PatternOptions{}),
        "");
    EXPECT_TRUE(p.is_constant());
    setenv("GRAVEL_LOG_TEST_VAR", "changed", 1);
    std::string storage;
    TextBuffer out(storage, 0);
    p.render(fixed_event(), out);
    EXPECT_EQ(storage, "abcdef/[     abc]/(null)");
}

TEST(LogPattern, UndefinedLevelPrintsUnknown) {
    EXPECT_EQ(render("%V/%v", fixed_event(50)), "UNKNOWN/unknown");
    EXPECT_EQ(render("%V", fixed_event(100)), "ERROR");
}

TEST(LogPattern, BadPatternsAreRefused) {
    const char *bad[] = {
        "%Q", "%u",   "abc%",    "%-5", "%.",   "%.x",     "%d(%F",    "%g(",
        "%E", "%E()", "%E(HOME", "%M",  "%M()", "%99999c", "%.99999c", "%5.99999m",
    };
    for (const char *pattern : bad) {
        Pattern p;
        EXPECT_NE(p.compile(pattern, PatternOptions{}), "") << "pattern " << pattern;
    }
}

TEST(LogPattern, ConstantPatterns) {
    struct Case {
        const char *pattern;
        bool constant;
    } cases[] = {
        {"/var/log/app.log", true},
        {"%%/x%n", true},
        {"/logs/%c.log", false},
        {"/logs/%d(%F).log", false},
    };
    for (const Case &c : cases) {
        Pattern p;
        ASSERT_EQ(p.compile(c.pattern, PatternOptions{}), "");
        EXPECT_EQ(p.is_constant(), c.constant) << c.pattern;
    }
}

TEST(LogPattern, ArchiveMarkers) {
    struct Case {
        const char *pattern;
        const char *text;  // rendered without the numbers
        std::vector<std::size_t> offsets;
        std::vector<int> widths;
        char mode;
    } cases[] = {
        {"logs/app.#r.log", "logs/app..log", {9}, {0}, 'r'},
        {"logs/app-#3s.log", "logs/app-.log", {9}, {3}, 's'},
        {"%c.#2r #3s", "sdk_rule. ", {9, 10}, {2, 3}, 'r'},
        {"a#x#5", "a#x#5", {}, {}, 0},
    };
    for (const Case &c : cases) {
        Pattern p;
        ASSERT_EQ(p.compile(c.pattern, PatternOptions{"", true}), "") << c.pattern;
        std::string storage;
        TextBuffer out(storage, 0);
        std::vector<ArchiveMark> marks;
        p.render(fixed_event(), out, &marks);
        EXPECT_EQ(storage, c.text) << c.pattern;
        EXPECT_EQ(p.first_mark(), c.mode) << c.pattern;
        ASSERT_EQ(marks.size(), c.offsets.size()) << c.pattern;
        for (std::size_t i = 0; i < marks.size(); ++i) {
            EXPECT_EQ(marks[i].offset, c.offsets[i]) << c.pattern;
            EXPECT_EQ(marks[i].width, c.widths[i]) << c.pattern;
        }
    }
    // Outside archive paths '#' is ordinary text.
    EXPECT_EQ(render("a.#r", fixed_event()), "a.#r");
}

TEST(LogTextBuffer, CutLinesEndInEllipsisWithinTheLimit) {
    struct Case {
        std::size_t limit;
        std::string input;
        std::string expected;
    } cases[] = {
        {0, std::string(5000, 'x'), std::string(5000, 'x')},
        {10, "0123456789", "0123456789"},
        {10, "0123456789A", "012345...\n"},
        {10, std::string(100, 'y'), "yyyyyy...\n"},
        {4, "abcdefgh", "...\n"},
        {2, "abcdefgh", ".\n"},
    };
    for (const Case &c : cases) {
        std::string storage;
        TextBuffer out(storage, c.limit);
        out.append(c.input.substr(0, 3));
        out.append(c.input.substr(3));
        out.finish_cut();
        EXPECT_EQ(storage, c.expected) << "limit " << c.limit << " input size " << c.input.size();
        EXPECT_EQ(out.cut(), c.input != c.expected);
    }
}

TEST(LogTextBuffer, PaddingIsCutToo) {
    EXPECT_EQ(render("%30m", fixed_event(), 12), "        ...\n");
}

TEST(LogSize, Units) {
    struct Case {
        const char *text;
        std::uint64_t value;
    } good[] = {
        {"0", 0},
        {"1024", 1024},
        {"1k", 1000},
        {"1K", 1000},
        {"1kb", 1024},
        {"1KB", 1024},
        {"1kB", 1024},
        {"20KB", 20480},
        {"10M", 10000000},
        {"2MB", 2097152},
        {"1g", 1000000000},
        {"3GB", 3ull << 30},
        {"18446744073709551615", 18446744073709551615ull},
    };
    for (const Case &c : good) {
        std::uint64_t v = 7;
        EXPECT_TRUE(parse_size(c.text, v)) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    const char *bad[] = {"",
                         "k",
                         "1x",
                         "1kk",
                         "1 k",
                         "-1",
                         "1.5k",
                         "1kbb",
                         "18446744073709551616",
                         "18446744073709551615k",
                         "99999999999GB"};
    for (const char *text : bad) {
        std::uint64_t v = 0;
        EXPECT_FALSE(parse_size(text, v)) << text;
    }
}

TEST(LogLevels, BuiltInsAndUserLevels) {
    LevelTable t;
    struct Case {
        const char *name;
        int number;
    } builtin[] = {{"DEBUG", 20},  {"info", 40},   {"Notice", 60},  {"WARN", 80},
                   {"ERROR", 100}, {"fatal", 120}, {"UNKNOWN", 254}};
    for (const Case &c : builtin) EXPECT_EQ(t.find(c.name), c.number) << c.name;
    EXPECT_EQ(t.find("TRACE"), -1);
    EXPECT_EQ(t.describe(80).syslog_priority, LOG_WARNING);

    t.define("trace", 10, LOG_DEBUG);
    EXPECT_EQ(t.find("TRACE"), 10);
    EXPECT_EQ(t.describe(10).upper, "TRACE");
    EXPECT_EQ(t.describe(10).lower, "trace");

    // Reusing a number renames that level.
    t.define("Loud", 40, LOG_CRIT);
    EXPECT_EQ(t.find("INFO"), -1);
    EXPECT_EQ(t.find("LOUD"), 40);
    EXPECT_EQ(t.describe(40).upper, "LOUD");
    EXPECT_EQ(t.describe(40).syslog_priority, LOG_CRIT);

    // A name given a new number leaves its old number undefined.
    t.define("DEBUG", 25, LOG_DEBUG);
    EXPECT_EQ(t.find("DEBUG"), 25);
    EXPECT_EQ(t.describe(20).upper, "UNKNOWN");
    EXPECT_EQ(t.describe(300).upper, "UNKNOWN");
    EXPECT_EQ(t.describe(-1).upper, "UNKNOWN");
}

}  // namespace
