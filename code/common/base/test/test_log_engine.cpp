// The logging engine end to end: configuration files in, log lines out.
#include "edge_base_log_engine.hpp"
#include "gravel_test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace glog = gravel::log;
using gravel::test::FdCapture;
using gravel::test::read_file;
using gravel::test::TempDir;
using gravel::test::write_file;

constexpr int kDebug = 20, kInfo = 40, kWarn = 80, kError = 100;

// ---- helpers --------------------------------------------------------------------------------

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

// POSIX extended regular expression search.
bool matches(const std::string &text, const char *pattern) {
    regex_t re;
    if (regcomp(&re, pattern, REG_EXTENDED | REG_NOSUB) != 0) {
        ADD_FAILURE() << "bad expression " << pattern;
        return false;
    }
    bool found = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return found;
}

void logf(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void logf(int level, const char *fmt, ...) {
    static const char file[] = "src/net/conn.c";
    static const char func[] = "open_conn";
    va_list ap;
    va_start(ap, fmt);
    glog::write(file, sizeof file - 1, func, sizeof func - 1, 42, level, fmt, ap);
    va_end(ap);
}

class ScopedCwd {
public:
    explicit ScopedCwd(const fs::path &dir) : old_(fs::current_path()) { fs::current_path(dir); }
    ~ScopedCwd() { fs::current_path(old_); }

private:
    fs::path old_;
};

using gravel::test::ScopedEnv;
using gravel::test::ScopedUmask;

class LogTest : public testing::Test {
protected:
    void TearDown() override { glog::fini(); }

    // Writes the configuration and initialises with it.
    int load(const std::string &conf, const char *category = "sdk_rule") {
        write_file(conf_path(), conf);
        return glog::init(conf_path().c_str(), category);
    }
    // As load(), with stderr captured; the diagnostic goes to `diag`.
    int load_quiet(const std::string &conf, std::string &diag, const char *category = "sdk_rule") {
        FdCapture err(STDERR_FILENO, dir.file("stderr.txt"));
        int rc = load(conf, category);
        diag = err.finish();
        return rc;
    }
    std::string conf_path() const { return dir.file("log.conf"); }
    fs::path root() const { return dir.path(); }
    // A rule line writing the category's messages to a file of the temp dir with `format`.
    std::string file_rule(const std::string &name, const std::string &selector = "*.*",
                          const std::string &format = "plain") const {
        return selector + " \"" + dir.file(name) + "\"; " + format + "\n";
    }

    TempDir dir;
};

const std::string kPlain = "[formats]\nplain = \"%m%n\"\n";

// ---- lifecycle --------------------------------------------------------------------------------

TEST_F(LogTest, MessagesOutsideInitAndFiniAreDropped) {
    EXPECT_FALSE(glog::enabled(kError));
    logf(kError, "before init");
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("out.log")), 0);
    EXPECT_TRUE(glog::enabled(kError));
    logf(kError, "while initialised %d", 1);
    glog::fini();
    EXPECT_FALSE(glog::enabled(kError));
    logf(kError, "after fini");
    EXPECT_EQ(read_file(dir.file("out.log")), "while initialised 1\n");
}

TEST_F(LogTest, SecondInitFailsAndKeepsTheFirstConfiguration) {
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("first.log")), 0);
    write_file(dir.file("other.conf"), kPlain + "[rules]\n" + file_rule("second.log"));
    EXPECT_EQ(glog::init(dir.file("other.conf").c_str(), "sdk_rule"), -1);
    logf(kInfo, "m");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("first.log")), "m\n");
    EXPECT_FALSE(fs::exists(dir.file("second.log")));
}

TEST_F(LogTest, FiniWithoutInitAndRepeatedFiniAreHarmless) {
    glog::fini();
    glog::fini();
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("a.log")), 0);
    glog::fini();
    glog::fini();
    // Initialising again after finishing works, with the new file's rules.
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("b.log")), 0);
    logf(kInfo, "again");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("a.log")), "");
    EXPECT_EQ(read_file(dir.file("b.log")), "again\n");
}

TEST_F(LogTest, FailedInitSetsNothingUp) {
    std::string diag;
    // The first rule is fine; the second one is not, so nothing may be left behind.
    ASSERT_EQ(load_quiet(kPlain + "[rules]\n" + file_rule("ok.log") + "*.NOPE >stdout\n", diag), -1);
    for (int level = 0; level < 256; ++level) ASSERT_FALSE(glog::enabled(level)) << level;
    logf(kError, "dropped");
    EXPECT_EQ(read_file(dir.file("ok.log")), "");
    // Nothing half set up blocks a later, valid init.
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("ok.log")), 0);
    logf(kError, "kept");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("ok.log")), "kept\n");
}

TEST_F(LogTest, UnreadableConfigurationFilesFailWithADiagnostic) {
    fs::create_directory(root() / "a_directory");
    ASSERT_EQ(mkfifo(dir.file("a_fifo").c_str(), 0600), 0);  // must not block init
    struct Case {
        std::string path;
        const char *reason;
    } cases[] = {
        {dir.file("missing.conf"), "cannot open"},
        {dir.file("a_directory"), "not a regular file"},
        {dir.file("a_fifo"), "not a regular file"},
    };
    for (const Case &c : cases) {
        FdCapture err(STDERR_FILENO, dir.file("stderr.txt"));
        EXPECT_EQ(glog::init(c.path.c_str(), "sdk_rule"), -1);
        std::string diag = err.finish();
        EXPECT_NE(diag.find(c.path), std::string::npos) << diag;
        EXPECT_NE(diag.find(c.reason), std::string::npos) << diag;
        EXPECT_EQ(std::count(diag.begin(), diag.end(), '\n'), 1) << diag;
    }
    FdCapture err(STDERR_FILENO, dir.file("stderr.txt"));
    EXPECT_EQ(glog::init(nullptr, "sdk_rule"), -1);
    EXPECT_EQ(glog::init(conf_path().c_str(), nullptr), -1);
}

TEST_F(LogTest, EmptyFileOrNoRulesLoadsAndLogsNothing) {
    const std::string confs[] = {"", "# only a comment\n\n", "[global]\nstrict init = true\n[formats]\nf = \"%m\"\n"};
    for (const std::string &conf : confs) {
        FdCapture out(STDOUT_FILENO, dir.file("stdout.txt"));
        ASSERT_EQ(load(conf), 0) << conf;
        for (int level = 0; level < 256; ++level) ASSERT_FALSE(glog::enabled(level));
        logf(kError, "nothing");
        glog::fini();
        EXPECT_EQ(out.finish(), "");
    }
}

// ---- the shipped sample configurations ---------------------------------------------------------

fs::path fixture_dir() {
    const char *env = std::getenv("GRAVEL_ZLOG_FIXTURES");
    return env ? fs::path(env) : fs::path(GRAVEL_SOURCE_DIR "/tests/fixtures/zlog");
}

// Gives the samples a HOME and a current directory with the directories their paths need.
class FixtureTest : public LogTest {
protected:
    void SetUp() override {
        fs::create_directories(root() / "home" / "log");
        fs::create_directories(root() / "work" / "test_multithread-logs");
        home_.emplace("HOME", dir.file("home"));
        cwd_.emplace(root() / "work");
    }
    void TearDown() override {
        glog::fini();
        cwd_.reset();
        home_.reset();
    }
    std::optional<ScopedEnv> home_;
    std::optional<ScopedCwd> cwd_;
};

TEST_F(FixtureTest, EverySampleLoads) {
    ASSERT_TRUE(fs::is_directory(fixture_dir())) << fixture_dir() << " (set GRAVEL_ZLOG_FIXTURES)";
    int count = 0;
    for (const auto &entry : fs::directory_iterator(fixture_dir())) {
        if (entry.path().extension() != ".conf") continue;
        ++count;
        std::string diag;
        {
            FdCapture err(STDERR_FILENO, dir.file("stderr.txt"));
            EXPECT_EQ(glog::init(entry.path().c_str(), "sdk_rule"), 0) << entry.path();
            diag = err.finish();
        }
        EXPECT_EQ(diag, "") << entry.path();
        glog::fini();
    }
    EXPECT_GE(count, 5);
}

TEST_F(FixtureTest, SamplesRouteMessagesAsWritten) {
    struct Case {
        const char *file;
        const char *category;
        int level;
        int fd;                // captured stream
        const char *expected;  // regular expression searched in the captured text
        const char *log_file;  // file (relative to the work dir) that must receive the message
    } cases[] = {
        {"test_conf.conf", "sdk_rule", kInfo, STDERR_FILENO, "simple - hello\n", nullptr},
        {"test_conf.conf", "sdk_rule", kInfo, STDERR_FILENO, "text - text\n", nullptr},
        {"test_conf.conf", "sdk_rule", kInfo, STDERR_FILENO, "print - \\[[0-9]{3} {7}\\]\n", nullptr},
        {"test_conf.conf", "sdk_rule", kInfo, STDERR_FILENO,
         "defalut - [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}\\.[0-9]{2}s INFO   \\(sdk_rule:src/net/conn.c:open_conn:42\\) "
         "- hello\n",
         nullptr},
        {"test_level.conf", "my_cat", 30, STDOUT_FILENO, "^TRACE trace hello\n$", nullptr},
        {"test_level.conf", "my_cat", kDebug, STDOUT_FILENO, "^$", nullptr},
        {"test_prompt.conf", "sdk_rule", kInfo, STDOUT_FILENO, "^\r[0-9-]{10} [0-9:]{8} INFO hello\n$", nullptr},
        {"test_prompt.conf", "prompt", kInfo, STDOUT_FILENO, "^\r[0-9:]{8}>hello$", nullptr},
        {"test_multithread.conf", "main", kInfo, STDOUT_FILENO,
         "^[0-9]{10}\\.[0-9]{6} main   INFO       \\[[0-9]{6,}\\] hello\n$", "test_multithread-logs.txt"},
        {"test_multithread.conf", "clsn", kError, STDOUT_FILENO,
         "ERROR      \\[[0-9a-f]+\\] src/net/conn.c\\(42\\)/open_conn\\(\\) - hello\n$", nullptr},
        {"test_multithread.conf", "thrd", kInfo, STDOUT_FILENO, "^$", "test_multithread-logs/threadslog.csv"},
        {"zlog.conf", "default", kInfo, STDOUT_FILENO, "^hello\n$", nullptr},
        {"zlog.conf", "my_cat", kInfo, STDERR_FILENO, "INFO   \\(my_cat:src/net/conn.c:42\\) - hello\n", "aa.log"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " as " + c.category);
        std::string captured;
        {
            FdCapture cap(c.fd, dir.file("captured.txt"));
            ASSERT_EQ(glog::init((fixture_dir() / c.file).c_str(), c.category), 0);
            logf(c.level, "hello");
            glog::fini();
            captured = cap.finish();
        }
        EXPECT_TRUE(matches(captured, c.expected)) << "captured: " << captured;
        if (c.log_file) {
            EXPECT_NE(read_file(c.log_file).find("hello"), std::string::npos) << c.log_file;
        }
    }
}

// ---- configurations that must be refused ------------------------------------------------------

struct BadConf {
    const char *name;
    std::string text;
    int line;            // line the diagnostic names
    const char *reason;  // part of the diagnostic
};

std::vector<BadConf> strict_errors(const std::string &missing_dir) {
    const std::string long_pattern(4096, 'a');
    return {
        {"unknown section", "[global]\n[colours]\n", 2, "unknown section"},
        {"section out of order", "[rules]\n[formats]\n", 2, "out of order"},
        {"repeated section", "[formats]\n[formats]\n", 2, "repeated section"},
        {"line before the first section", "# c\nstrict init = true\n[global]\n", 2, "outside any section"},
        {"malformed section header", "[global\n", 1, "malformed section"},
        {"unknown conversion", "[formats]\nf = \"%m %Q\"\n", 2, "unknown conversion"},
        {"lone %u", "[formats]\nf = \"%u\"\n", 2, "unknown conversion"},
        {"unterminated time format", "[formats]\nf = \"%d(%F\"\n", 2, "unterminated"},
        {"unquoted pattern", "[formats]\nf = %m%n\n", 2, "double quotes"},
        {"bad format name", "[formats]\nf.x = \"%m\"\n", 2, "bad format name"},
        {"unknown level in rule", "[rules]\n*.NOPE >stdout\n", 2, "unknown level 'NOPE'"},
        {"unknown level after =", "[rules]\n*.=NOPE >stdout\n", 2, "unknown level"},
        {"syslog without facility", "[rules]\n*.* >syslog\n", 2, "facility"},
        {"unknown syslog facility", "[rules]\n*.* >syslog, LOG_NOPE\n", 2, "facility"},
        {"unopenable static file", "[rules]\n*.* \"" + missing_dir + "/x.log\"\n", 2, "cannot open log file"},
        {"unknown format in rule", "[rules]\n*.* >stdout; nope\n", 2, "unknown format 'nope'"},
        {"unknown output", "[rules]\n*.* stdout\n", 2, "unknown output"},
        {"rule without output", "[rules]\n*.*\n", 2, "no output"},
        {"selector without level", "[rules]\nsdk_rule >stdout\n", 2, "category.LEVEL"},
        {"bad category", "[rules]\nsdk/rule.* >stdout\n", 2, "bad category"},
        {"pipe without command", "[rules]\n*.* |  ; \n", 2, "command"},
        {"unterminated path", "[rules]\n*.* \"x.log\n", 2, "double-quoted path"},
        {"bad rotation size", "[rules]\n*.* \"x.log\", 10q\n", 2, "rotation size"},
        {"bad archive count", "[rules]\n*.* \"x.log\", 10 * x\n", 2, "archive count"},
        {"archive path without number", "[rules]\n*.* \"x.log\", 10 ~ \"x.old\"\n", 2, "#r or #s"},
        {"level number out of range", "[levels]\nTRACE = 256\n", 2, "0..255"},
        {"level without number", "[levels]\nTRACE\n", 2, "NAME = number"},
        {"unknown syslog level", "[levels]\nTRACE = 10, LOG_LOUD\n", 2, "syslog level"},
        {"global line without =", "[global]\nstrict init\n", 2, "key = value"},
        {"global line without value", "[global]\nbuffer min =\n", 2, "missing value"},
        {"unknown global key", "[global]\ncolour = red\n", 2, "unknown [global] key"},
        {"bad size", "[global]\nbuffer max = 12q\n", 2, "bad size"},
        {"bad file perms", "[global]\nfile perms = 0689\n", 2, "file perms"},
        {"unknown global log level", "[global]\nlog level = LOUD\n", 2, "unknown level 'LOUD'"},
        {"bad default format", "[global]\ndefault format = \"%Q\"\n", 2, "default format"},
        {"over-long line", "[formats]\nf = \"" + long_pattern + "\"\n", 2, "longer than 4096"},
        {"over-long joined line",
         "[formats]\nf = \"" + long_pattern.substr(0, 2100) + " \\\n   " + long_pattern.substr(0, 2100) + "\"\n", 2,
         "longer than 4096"},
        {"NUL byte", std::string("[global]\n\0\n", 11), 0, "NUL"},
    };
}

TEST_F(LogTest, StrictInitRefusesBadConfigurations) {
    for (const BadConf &c : strict_errors(dir.file("no/such/dir"))) {
        SCOPED_TRACE(c.name);
        std::string diag;
        EXPECT_EQ(load_quiet(c.text, diag), -1);
        std::string where = conf_path() + ":";
        if (c.line) where += std::to_string(c.line) + ":";
        EXPECT_EQ(diag.rfind("gravel log: " + where, 0), 0u) << diag;
        EXPECT_NE(diag.find(c.reason), std::string::npos) << diag;
        EXPECT_EQ(std::count(diag.begin(), diag.end(), '\n'), 1) << diag;
        EXPECT_FALSE(glog::enabled(kError));
        glog::fini();
    }
}

TEST_F(LogTest, LinesUpToTheLimitAreAccepted) {
    // "f = \"" + pattern + "\"" is exactly 4096 characters, split over a continuation.
    const std::string pattern(4096 - 6, 'a');
    std::string conf = "[formats]\nf = \"" + pattern.substr(0, 2000) + "  \\\n\t" + pattern.substr(2000) +
                       "\"\n[rules]\n" + file_rule("out.log", "*.*", "f");
    ASSERT_EQ(load(conf), 0);
    logf(kInfo, "x");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("out.log")), pattern);
}

TEST_F(LogTest, NonStrictInitSkipsBadLinesAndKeepsTheRest) {
    struct Case {
        const char *name;
        const char *levels;   // extra [levels] line
        const char *formats;  // extra [formats] line
        std::string rules;    // extra [rules] line
    } cases[] = {
        {"bad level line", "TRACE = 999\n", "", ""},
        {"unknown syslog level", "TRACE = 10, LOG_LOUD\n", "", ""},
        {"unknown conversion", "", "bad = \"%Q\"\n", ""},
        {"unquoted pattern", "", "bad = %m\n", ""},
        {"unknown level in rule", "", "", "*.NOPE >stdout\n"},
        {"syslog without facility", "", "", "*.* >syslog\n"},
        {"unknown format name", "", "", "*.* >stdout; nope\n"},
        {"unopenable static file", "", "", "*.* \"" + dir.file("no/such/dir/x.log") + "\"\n"},
        {"unknown output", "", "", "*.* stdout\n"},
        {"archive path without number", "", "", "*.* \"x.log\", 10 ~ \"x.old\"\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir.file("ok.log"));
        std::string conf = std::string("[global]\nstrict init = FALSE\n[levels]\n") + c.levels +
                           "[formats]\nplain = \"%m%n\"\n" + c.formats + "[rules]\n" + c.rules + file_rule("ok.log");
        std::string diag;
        ASSERT_EQ(load_quiet(conf, diag), 0);
        EXPECT_NE(diag.find("line ignored"), std::string::npos) << diag;
        logf(kInfo, "still logging");
        glog::fini();
        EXPECT_EQ(read_file(dir.file("ok.log")), "still logging\n");
    }
}

TEST_F(LogTest, SomeErrorsFailEvenWithoutStrictInit) {
    const std::string relaxed = "[global]\nstrict init = false\n";
    const std::string cases[] = {
        relaxed + "[colours]\n",
        relaxed + "[rules]\n[formats]\n",
        relaxed + "[rules]\n[rules]\n",
        relaxed + "buffer min\n",
        relaxed + "buffer min = \n",
        relaxed + "default format = \"%Q\"\n",
        relaxed + "[formats]\nf = \"" + std::string(5000, 'a') + "\"\n",
    };
    for (const std::string &conf : cases) {
        std::string diag;
        EXPECT_EQ(load_quiet(conf, diag), -1) << conf;
        glog::fini();
    }
}

TEST_F(LogTest, StrictInitChangesFromTheLineWhereItIsSet) {
    std::string diag;
    EXPECT_EQ(load_quiet("[global]\ncolour = red\nstrict init = false\n", diag), -1);
    EXPECT_NE(diag.find(":2:"), std::string::npos) << diag;
    EXPECT_EQ(load_quiet("[global]\nstrict init = false\ncolour = red\n", diag), 0);
    glog::fini();
    // Any value but "false" keeps it on.
    EXPECT_EQ(load_quiet("[global]\nstrict init = no\ncolour = red\n", diag), -1);
}

// ---- lines, comments, continuation, environment ----------------------------------------------

TEST_F(LogTest, CommentsContinuationAndQuotes) {
    const std::string conf =
        "  # indented comment\n"
        "\n"
        "[ global ]   # trailing comment\n"
        "default format = \"#%m#%n\"\n"
        "[formats]\n"
        "joined = \"a   \\\n"
        "          b\\\n"
        "# a comment line inside the continuation is skipped\n"
        "   c %m%n\"\n"
        "hashes = \"x#y %m%n\"   # comment after the quotes\n"
        "inner = \"say \"hi\" %m%n\"\n"
        "[rules\t]\n"
        "*.*   \"" +
        dir.file("joined.log") +
        "\"   \\\n"
        "   ;joined\n" +
        file_rule("hashes.log", "*.*", "hashes") + file_rule("inner.log", "*.*", "inner") +
        file_rule("default.log", "*.*", "") + "*.*  \"" + dir.file("default.log") + "\"   # no format: the default\n";
    ASSERT_EQ(load(conf), 0);
    logf(kInfo, "m");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("joined.log")), "abc m\n");
    EXPECT_EQ(read_file(dir.file("hashes.log")), "x#y m\n");
    EXPECT_EQ(read_file(dir.file("inner.log")), "say \"hi\" m\n");
    EXPECT_EQ(read_file(dir.file("default.log")), "#m#\n#m#\n");
}

TEST_F(LogTest, EnvironmentVariablesAreReadOnceAtLoad) {
    fs::create_directory(root() / "envdir");
    ScopedEnv var("GRAVEL_LOG_TEST_DIR", (root() / "envdir").string());
    ASSERT_EQ(load("[formats]\nf = \"%E(GRAVEL_LOG_TEST_DIR) %m%n\"\n[rules]\n"
                   "*.* \"%E(GRAVEL_LOG_TEST_DIR)/env.log\"; f\n"),
              0);
    setenv("GRAVEL_LOG_TEST_DIR", "/changed", 1);
    logf(kInfo, "m");
    glog::fini();
    EXPECT_EQ(read_file(root() / "envdir" / "env.log"), (root() / "envdir").string() + " m\n");
}

// ---- rules ---------------------------------------------------------------------------------

TEST_F(LogTest, CategorySelectors) {
    struct Case {
        const char *selector;
        const char *category;
        bool delivered;
    } cases[] = {
        {"*", "sdk_rule", true},           {"sdk_rule", "sdk_rule", true},
        {"sdk_", "sdk_rule", true},        {"sdk_rule_", "sdk_rule", true},  // the name without its '_'
        {"sdk_rule_", "sdk_rule_x", true}, {"sdk_rule_", "sdk_rulex", false},
        {"sdk", "sdk_rule", false},        {"sdk_rul", "sdk_rule", false},
        {"SDK_RULE", "sdk_rule", false},  // case-sensitive
        {"other", "sdk_rule", false},      {"a-b", "a-b", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.selector) + " vs " + c.category);
        fs::remove(dir.file("out.log"));
        ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("out.log", std::string(c.selector) + ".*"), c.category), 0);
        EXPECT_EQ(glog::enabled(kInfo), c.delivered);
        logf(kInfo, "m");
        glog::fini();
        EXPECT_EQ(read_file(dir.file("out.log")), c.delivered ? "m\n" : "");
    }
}

TEST_F(LogTest, LevelSelectors) {
    struct Case {
        const char *selector;
        int level;
        bool delivered;
    } cases[] = {
        {"*", 0, true},         {"*", 255, true},         {"INFO", kInfo, true},  {"INFO", kDebug, false},
        {"INFO", kError, true}, {"info", 41, true},       {"=INFO", kInfo, true}, {"=INFO", kWarn, false},
        {"=warn", kWarn, true}, {"!INFO", kInfo, false},  {"!INFO", kWarn, true}, {"!INFO", kDebug, true},
        {"TRACE", 30, true},    {"TRACE", kDebug, false}, {"=Trace", 30, true},   {"ERROR", 254, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.selector) + " at " + std::to_string(c.level));
        fs::remove(dir.file("out.log"));
        ASSERT_EQ(load("[levels]\nTRACE = 30\n" + kPlain + "[rules]\n" +
                       file_rule("out.log", std::string("*.") + c.selector)),
                  0);
        EXPECT_EQ(glog::enabled(c.level), c.delivered);
        logf(c.level, "m");
        glog::fini();
        EXPECT_EQ(read_file(dir.file("out.log")), c.delivered ? "m\n" : "");
    }
}

TEST_F(LogTest, GlobalLogLevelIsAFloorForEveryRule) {
    ASSERT_EQ(load("[global]\nlog level = warn\n" + kPlain + "[rules]\n" + file_rule("a.log", "*.*") +
                   file_rule("b.log", "*.=INFO")),
              0);
    EXPECT_FALSE(glog::enabled(kInfo));
    EXPECT_TRUE(glog::enabled(kWarn));
    logf(kInfo, "info");
    logf(kWarn, "warn");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("a.log")), "warn\n");
    EXPECT_EQ(read_file(dir.file("b.log")), "");
}

TEST_F(LogTest, EveryMatchingRuleAppliesInFileOrderWithItsOwnFormat) {
    ASSERT_EQ(load("[formats]\nfirst = \"1 %V %m%n\"\nsecond = \"2 %v %m%n\"\n[rules]\n" +
                   file_rule("out.log", "*.*", "first") + file_rule("out.log", "sdk_.WARN", "second") +
                   file_rule("out.log", "other.*", "first") + file_rule("out.log", "sdk_rule.=INFO", "second")),
              0);
    logf(kInfo, "a");
    logf(kError, "b");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("out.log")), "1 INFO a\n2 info a\n1 ERROR b\n2 error b\n");
}

TEST_F(LogTest, BangRuleCatchesCategoriesNoOtherRuleNames) {
    struct Case {
        std::string rules;
        const char *expected;
    } cases[] = {
        {"other.* >stdout; n1\n!.* >stdout; n2\n!.* >stdout; n3\n", "3 m\n"},  // the last ! rule wins
        {"*.* >stdout; n1\n!.* >stdout; n2\n", "1 m\n"},
        {"sdk_.ERROR >stdout; n1\n!.* >stdout; n2\n", ""},  // named (for another level) is named
    };
    for (const Case &c : cases) {
        FdCapture out(STDOUT_FILENO, dir.file("stdout.txt"));
        ASSERT_EQ(load("[formats]\nn1 = \"1 %m%n\"\nn2 = \"2 %m%n\"\nn3 = \"3 %m%n\"\n[rules]\n" + c.rules), 0);
        logf(kInfo, "m");
        glog::fini();
        EXPECT_EQ(out.finish(), c.expected) << c.rules;
    }
}

TEST_F(LogTest, FirstDefinitionOfAFormatWins) {
    ASSERT_EQ(load("[formats]\nf = \"first %m%n\"\nf = \"second %m%n\"\n[rules]\n" + file_rule("out.log", "*.*", "f")),
              0);
    logf(kInfo, "m");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("out.log")), "first m\n");
}

TEST_F(LogTest, UserLevelsAndUndefinedNumbers) {
    ASSERT_EQ(load("[levels]\nTRACE = 30, LOG_DEBUG\nLOUD = 40\n[formats]\nf = \"%V %v %m%n\"\n[rules]\n" +
                   file_rule("out.log", "*.*", "f")),
              0);
    logf(30, "a");
    logf(kInfo, "b");  // number 40 was renamed
    logf(50, "c");     // no level has this number
    glog::fini();
    EXPECT_EQ(read_file(dir.file("out.log")), "TRACE trace a\nLOUD loud b\nUNKNOWN unknown c\n");
}

TEST_F(LogTest, LevelsOutOfRangeAreDropped) {
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("out.log")), 0);
    EXPECT_FALSE(glog::enabled(-1));
    EXPECT_FALSE(glog::enabled(256));
    logf(-1, "a");
    logf(256, "b");
    logf(255, "c");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("out.log")), "c\n");
}

// ---- outputs ---------------------------------------------------------------------------------

TEST_F(LogTest, StandardStreams) {
    FdCapture out(STDOUT_FILENO, dir.file("stdout.txt"));
    FdCapture err(STDERR_FILENO, dir.file("stderr.txt"));
    ASSERT_EQ(load("[formats]\nf = \"%V %m%n\"\n[rules]\n*.=INFO >stdout; f\n*.ERROR > stderr ; f\n"), 0);
    logf(kInfo, "to out");
    logf(kError, "to err");
    glog::fini();
    EXPECT_EQ(out.finish(), "INFO to out\n");
    EXPECT_EQ(err.finish(), "ERROR to err\n");
}

TEST_F(LogTest, FilesAreAppendedNotTruncated) {
    write_file(dir.file("out.log"), "earlier\n");
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("out.log") + "*.* -\"" + dir.file("out.log") + "\"; plain\n"), 0);
    logf(kInfo, "now");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("out.log")), "earlier\nnow\nnow\n");
}

TEST_F(LogTest, PerMessagePaths) {
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("%c-%v.log") + file_rule("missing/%V.log") + file_rule("all.log")),
              0);
    logf(kInfo, "i");
    logf(kError, "e");
    logf(kInfo, "j");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("sdk_rule-info.log")), "i\nj\n");
    EXPECT_EQ(read_file(dir.file("sdk_rule-error.log")), "e\n");
    // Directories are never created: those messages are dropped, other rules still get them.
    EXPECT_FALSE(fs::exists(root() / "missing"));
    EXPECT_EQ(read_file(dir.file("all.log")), "i\ne\nj\n");
}

TEST_F(LogTest, ManyPerMessagePathsStayCorrect) {
    // More distinct paths than the engine keeps open at once.
    ASSERT_EQ(load("[formats]\nf = \"%m%n\"\n[rules]\n*.* \"" + dir.file("n%L-%V.log") + "\"; f\n"), 0);
    static const char file[] = "f.c";
    for (int round = 0; round < 2; ++round) {
        for (long line = 0; line < 150; ++line) {
            auto emit = [&](const char *fmt, ...) {
                va_list ap;
                va_start(ap, fmt);
                glog::write(file, 3, "fn", 2, line, kInfo, fmt, ap);
                va_end(ap);
            };
            emit("r%d", round);
        }
    }
    glog::fini();
    for (long line = 0; line < 150; ++line)
        ASSERT_EQ(read_file(dir.file(std::string("n").append(std::to_string(line)) + "-INFO.log")), "r0\nr1\n") << line;
}

TEST_F(LogTest, RecordOutputsDropMessages) {
    ASSERT_EQ(load("[rules]\n*.* $record_func , \"record_path%c\"\n"), 0);
    EXPECT_FALSE(glog::enabled(kInfo));
    glog::fini();
}

TEST_F(LogTest, SyslogRulesAreAccepted) {
    ASSERT_EQ(load("[rules]\n*.=WARN >syslog, LOG_LOCAL3\n*.=ERROR >syslog,log_user\n"), 0);
    EXPECT_TRUE(glog::enabled(kWarn));
    EXPECT_TRUE(glog::enabled(kError));
    EXPECT_FALSE(glog::enabled(kInfo));
}

TEST_F(LogTest, BufferMaxCutsLongLines) {
    struct Case {
        const char *buffer_max;
        std::size_t message_size;
        std::string expected;  // empty: the whole message and a newline
    } cases[] = {
        {"64", 63, ""},  // exactly 64 with the newline
        {"64", 64, std::string(60, 'x') + "...\n"},
        {"64", 10000, std::string(60, 'x') + "...\n"},
        {"1kb", 5000, std::string(1020, 'x') + "...\n"},
        {"0", 300000, ""},  // no limit
        {"2MB", 300000, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.buffer_max) + " / " + std::to_string(c.message_size));
        fs::remove(dir.file("out.log"));
        ASSERT_EQ(load(std::string("[global]\nbuffer min = 16\nbuffer max = ") + c.buffer_max + "\n" + kPlain +
                       "[rules]\n" + file_rule("out.log")),
                  0);
        std::string message(c.message_size, 'x');
        logf(kInfo, "%s", message.c_str());
        glog::fini();
        EXPECT_EQ(read_file(dir.file("out.log")), c.expected.empty() ? message + "\n" : c.expected);
    }
}

TEST_F(LogTest, FilePermissionsFollowTheUmask) {
    struct Case {
        const char *perms;  // nullptr: default
        mode_t mask;
        mode_t expected;
    } cases[] = {
        {nullptr, 022, 0600}, {"644", 022, 0644}, {"0666", 022, 0644}, {"666", 077, 0600}, {"777", 0, 0777},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.perms ? c.perms : "default");
        fs::remove(dir.file("static.log"));
        fs::remove(dir.file("dynamic-INFO.log"));
        ScopedUmask mask(c.mask);
        std::string global = c.perms ? std::string("[global]\nfile perms = ") + c.perms + "\n" : "";
        ASSERT_EQ(load(global + kPlain + "[rules]\n" + file_rule("static.log") + file_rule("dynamic-%V.log")), 0);
        logf(kInfo, "m");
        glog::fini();
        struct stat st;
        ASSERT_EQ(stat(dir.file("static.log").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected);
        ASSERT_EQ(stat(dir.file("dynamic-INFO.log").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected);
    }
}

// Lines "line NN" padded to 29 bytes with the newline, so that a 100-byte file holds three.
void write_numbered(int count) {
    for (int i = 1; i <= count; ++i) logf(kInfo, "line %02d%*s", i, 21, "");
}

std::string numbered(int from, int to) {
    std::string s;
    char buf[64];
    for (int i = from; i <= to; ++i) {
        std::snprintf(buf, sizeof buf, "line %02d%*s\n", i, 21, "");
        s += buf;
    }
    return s;
}

TEST_F(LogTest, SizeRotation) {
    struct Case {
        const char *name;
        std::string rotation;                         // after the path
        std::map<std::string, std::string> expected;  // every file of the log directory
        std::string live = "app.log";
    } cases[] = {
        {"default names, three kept",
         "100 * 3",
         {{"app.log", numbered(16, 18)},
          {"app.log.0", numbered(13, 15)},
          {"app.log.1", numbered(10, 12)},
          {"app.log.2", numbered(7, 9)}}},
        {"default names, all kept",
         "100",
         {{"app.log", numbered(16, 18)},
          {"app.log.0", numbered(13, 15)},
          {"app.log.1", numbered(10, 12)},
          {"app.log.2", numbered(7, 9)},
          {"app.log.3", numbered(4, 6)},
          {"app.log.4", numbered(1, 3)}}},
        {"rolling with width",
         "100 * 0 ~ \"" + dir.file("logs/app.#2r.log") + "\"",
         {{"app.log", numbered(16, 18)},
          {"app.00.log", numbered(13, 15)},
          {"app.01.log", numbered(10, 12)},
          {"app.02.log", numbered(7, 9)},
          {"app.03.log", numbered(4, 6)},
          {"app.04.log", numbered(1, 3)}}},
        {"sequence, two kept",
         "100 * 2 ~ \"" + dir.file("logs/app-#3s.log") + "\"",
         {{"app.log", numbered(16, 18)}, {"app-003.log", numbered(10, 12)}, {"app-004.log", numbered(13, 15)}}},
        {"sequence, no width",
         "100 ~ \"" + dir.file("logs/%c-#s.log") + "\"",
         {{"app.log", numbered(16, 18)},
          {"sdk_rule-0.log", numbered(1, 3)},
          {"sdk_rule-1.log", numbered(4, 6)},
          {"sdk_rule-2.log", numbered(7, 9)},
          {"sdk_rule-3.log", numbered(10, 12)},
          {"sdk_rule-4.log", numbered(13, 15)}}},
        // Archive names that include the live file's own name would overwrite it: no rotation.
        {"live file named like an archive",
         "100 * 2 ~ \"" + dir.file("logs/app#r.log") + "\"",
         {{"app1.log", numbered(1, 18)}},
         "app1.log"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root() / "logs");
        fs::create_directory(root() / "logs");
        ASSERT_EQ(load(kPlain + "[rules]\n*.* \"" + dir.file("logs/" + c.live) + "\", " + c.rotation + "; plain\n"), 0);
        write_numbered(18);
        glog::fini();
        std::map<std::string, std::string> found;
        for (const auto &e : fs::directory_iterator(root() / "logs"))
            found[e.path().filename().string()] = read_file(e.path());
        EXPECT_EQ(found, c.expected);
    }
}

TEST_F(LogTest, RotationOfPerMessagePathsWithArchivePatterns) {
    fs::create_directories(root() / "logs" / "old");
    ASSERT_EQ(load(kPlain + "[rules]\n*.* \"" + dir.file("logs/%c.log") + "\", 100 * 2 ~ \"" +
                   dir.file("logs/old/%c.%G(%Y) #r.log") + "\"; plain\n"),
              0);
    write_numbered(12);
    glog::fini();
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    std::string year = std::to_string(utc.tm_year + 1900);
    EXPECT_EQ(read_file(dir.file("logs/sdk_rule.log")), numbered(10, 12));
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(root() / "logs" / "old")) names.insert(e.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"sdk_rule." + year + " 0.log", "sdk_rule." + year + " 1.log"}));
    EXPECT_EQ(read_file(dir.file("logs/old/sdk_rule." + year + " 0.log")), numbered(7, 9));
}

TEST_F(LogTest, PipeOutputFeedsACommand) {
    const std::string target = dir.file("piped.txt");
    ASSERT_EQ(load("[formats]\nf = \"%v %m%n\"\n[rules]\n*.* | cat > '" + target + "' ; f\n"), 0);
    logf(kInfo, "one");
    logf(kWarn, "two; three");
    glog::fini();  // waits for the command to finish
    EXPECT_EQ(read_file(target), "info one\nwarn two; three\n");
}

// Neither SIGPIPE's disposition nor the thread's signal mask changed, and no SIGPIPE is left
// pending.
void expect_sigpipe_untouched() {
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    sigset_t mask, pending;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &mask), 0);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE));
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST_F(LogTest, FifoFileWhoseReaderIsGoneDoesNotKillTheProcess) {
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &before), 0);
    ASSERT_EQ(before.sa_handler, SIG_DFL);  // otherwise this test would prove nothing
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("fifo") + file_rule("after.log")), 0);
    logf(kInfo, "read");
    char buf[16] = {};
    EXPECT_EQ(::read(reader, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "read\n");
    ::close(reader);
    logf(kInfo, "nobody reads this");
    glog::fini();
    EXPECT_EQ(read_file(dir.file("after.log")), "read\nnobody reads this\n");
    expect_sigpipe_untouched();
}

TEST_F(LogTest, PipeWhoseReaderIsGoneDoesNotKillTheProcess) {
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &before), 0);
    ASSERT_EQ(before.sa_handler, SIG_DFL);  // otherwise this test would prove nothing
    ASSERT_EQ(load(kPlain + "[rules]\n*.* | exec true\n" + file_rule("after.log")), 0);
    // Keep writing until well after the command has exited and closed its end.
    for (int i = 0; i < 40; ++i) {
        logf(kInfo, "message %d", i);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    glog::fini();
    EXPECT_EQ(lines_of(read_file(dir.file("after.log"))).size(), 40u);
    expect_sigpipe_untouched();
}

// ---- threads ---------------------------------------------------------------------------------

constexpr int kThreads = 6;
constexpr int kLinesPerThread = 1500;

std::string thread_line(int t, int i) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "t%d i%05d %s", t, i, "payload-payload-payload-payload-payload");
    return buf;
}

void run_writers() {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesPerThread; ++i) logf(kInfo, "%s", thread_line(t, i).c_str());
        });
    for (auto &th : threads) th.join();
}

// Every line is one of the expected ones, each appears once, and each thread's lines keep
// their order within every file.
void check_lines(const std::vector<fs::path> &files) {
    std::map<std::string, int> seen;
    for (const fs::path &f : files) {
        std::vector<int> last(kThreads, -1);
        for (const std::string &line : lines_of(read_file(f))) {
            int t = -1, i = -1;
            ASSERT_EQ(std::sscanf(line.c_str(), "t%d i%d", &t, &i), 2) << line;
            ASSERT_TRUE(t >= 0 && t < kThreads && i >= 0 && i < kLinesPerThread) << line;
            ASSERT_EQ(line, thread_line(t, i));
            EXPECT_GT(i, last[std::size_t(t)]) << line;
            last[std::size_t(t)] = i;
            ++seen[line];
        }
    }
    EXPECT_EQ(seen.size(), std::size_t(kThreads * kLinesPerThread));
    for (const auto &kv : seen) ASSERT_EQ(kv.second, 1) << kv.first;
}

TEST_F(LogTest, ConcurrentWritersNeverMixLines) {
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("shared.log") + file_rule("%c.log")), 0);
    run_writers();
    glog::fini();
    check_lines({root() / "shared.log"});
    check_lines({root() / "sdk_rule.log"});
}

TEST_F(LogTest, ConcurrentWritersWithRotation) {
    fs::create_directory(root() / "logs");
    ASSERT_EQ(load(kPlain + "[rules]\n*.* \"" + dir.file("logs/app.log") + "\", 20kb ~ \"" +
                   dir.file("logs/app.#s.log") + "\"; plain\n"),
              0);
    run_writers();
    glog::fini();
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(root() / "logs")) {
        files.push_back(e.path());
        EXPECT_LE(fs::file_size(e.path()), 20u * 1024) << e.path();
    }
    EXPECT_GT(files.size(), 10u);
    check_lines(files);
}

TEST_F(LogTest, WritesRacingFiniAreSafe) {
    ASSERT_EQ(load(kPlain + "[rules]\n" + file_rule("race.log")), 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &stop] {
            for (int i = 0; i < 20000 && !stop.load(); ++i) logf(kInfo, "%s", thread_line(t, i).c_str());
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    glog::fini();
    stop = true;
    for (auto &th : threads) th.join();
    for (const std::string &line : lines_of(read_file(dir.file("race.log")))) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "t%d i%d", &t, &i), 2) << line;
        ASSERT_EQ(line, thread_line(t, i));
    }
}

}  // namespace
