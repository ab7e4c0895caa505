// Configuration reader of the logging engine: turns a zlog-format file into an Engine.
#include "edge_base_log_engine.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace gravel::log::detail {

namespace {

// A configuration file is a few kilobytes; refuse anything absurd instead of reading it.
constexpr std::size_t kMaxFileSize = 16u << 20;
constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view ltrim(std::string_view s) {
    std::size_t i = s.find_first_not_of(kBlanks);
    return i == std::string_view::npos ? std::string_view() : s.substr(i);
}
std::string_view rtrim(std::string_view s) {
    std::size_t i = s.find_last_not_of(kBlanks);
    return i == std::string_view::npos ? std::string_view() : s.substr(0, i + 1);
}
std::string_view trim(std::string_view s) {
    return rtrim(ltrim(s));
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool is_word_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
bool is_word(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!is_word_char(c)) return false;
    return true;
}

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '\'';
    out.append(s);
    out += '\'';
    return out;
}

// Position of the first (or last) `c` outside double quotes; quotes switch on and off.
std::size_t find_unquoted(std::string_view s, char c, bool last) {
    bool in_quotes = false;
    std::size_t found = std::string_view::npos;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"') {
            in_quotes = !in_quotes;
        } else if (s[i] == c && !in_quotes) {
            if (!last) return i;
            found = i;
        }
    }
    return found;
}

// "text" -> text, from the first quote to the last; false when `s` is not one quoted value.
bool unquote(std::string_view s, std::string_view &out) {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
    out = s.substr(1, s.size() - 2);
    return true;
}

bool parse_uint(std::string_view s, std::uint64_t limit, std::uint64_t &out) {
    if (s.empty() || s.size() > 19) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + std::uint64_t(c - '0');
    }
    if (v > limit) return false;
    out = v;
    return true;
}

struct NamedValue {
    const char *name;
    int value;
};

constexpr NamedValue kSyslogLevels[] = {
    {"LOG_EMERG", LOG_EMERG},     {"LOG_ALERT", LOG_ALERT},   {"LOG_CRIT", LOG_CRIT}, {"LOG_ERR", LOG_ERR},
    {"LOG_WARNING", LOG_WARNING}, {"LOG_NOTICE", LOG_NOTICE}, {"LOG_INFO", LOG_INFO}, {"LOG_DEBUG", LOG_DEBUG},
};

constexpr NamedValue kFacilities[] = {
    {"LOG_KERN", LOG_KERN},     {"LOG_USER", LOG_USER},     {"LOG_MAIL", LOG_MAIL},         {"LOG_DAEMON", LOG_DAEMON},
    {"LOG_AUTH", LOG_AUTH},     {"LOG_SYSLOG", LOG_SYSLOG}, {"LOG_LPR", LOG_LPR},           {"LOG_NEWS", LOG_NEWS},
    {"LOG_UUCP", LOG_UUCP},     {"LOG_CRON", LOG_CRON},     {"LOG_AUTHPRIV", LOG_AUTHPRIV}, {"LOG_FTP", LOG_FTP},
    {"LOG_LOCAL0", LOG_LOCAL0}, {"LOG_LOCAL1", LOG_LOCAL1}, {"LOG_LOCAL2", LOG_LOCAL2},     {"LOG_LOCAL3", LOG_LOCAL3},
    {"LOG_LOCAL4", LOG_LOCAL4}, {"LOG_LOCAL5", LOG_LOCAL5}, {"LOG_LOCAL6", LOG_LOCAL6},     {"LOG_LOCAL7", LOG_LOCAL7},
};

template <std::size_t N>
bool lookup(const NamedValue (&table)[N], std::string_view name, int &out) {
    for (const NamedValue &nv : table) {
        if (iequals(nv.name, name)) {
            out = nv.value;
            return true;
        }
    }
    return false;
}

bool category_matches(std::string_view selector, std::string_view category) {
    if (selector == "*") return true;
    if (selector.back() == '_')
        return category == selector.substr(0, selector.size() - 1) || category.starts_with(selector);
    return category == selector;
}

bool valid_category_selector(std::string_view s) {
    if (s == "*" || s == "!") return true;
    if (s.empty()) return false;
    for (char c : s)
        if (!is_word_char(c) && c != '-') return false;
    return true;
}

struct LogicalLine {
    int number;  // first physical line
    std::string text;
};

enum Section {
    kNone = -1,
    kGlobal,
    kLevels,
    kFormats,
    kRules
};

struct PendingRule {
    int line;
    bool strict;  // strict init as it stood at this line
    bool bang;
    std::string category;
    Rule rule;
};

}  // namespace

// Reads one configuration text into an Engine.
class ConfigReader {
public:
    ConfigReader(Engine &e, std::string_view name) : e_(e), name_(name) {}

    bool load(std::string_view text) {
        if (text.find('\0') != std::string_view::npos) return fail(0, "file holds a NUL byte");
        if (!split_lines(text)) return false;
        for (const LogicalLine &l : lines_)
            if (!handle(l.number, l.text)) return false;
        return finish();
    }

    std::string diagnostic;

private:
    bool fail(int line, std::string_view reason) {
        diagnostic = "gravel log: " + std::string(name_);
        if (line > 0) diagnostic += ":" + std::to_string(line);
        diagnostic += ": ";
        diagnostic += reason;
        return false;
    }

    // A bad line in [levels], [formats] or [rules] (or an unknown [global] key) fails the load
    // under strict init, else it is reported and skipped.
    bool fail_or_skip(int line, std::string_view reason, bool strict) {
        if (strict) return fail(line, reason);
        std::string msg = "gravel log: " + std::string(name_) + ":" + std::to_string(line) +
                          ": line ignored: " + std::string(reason) + "\n";
        write_fully(STDERR_FILENO, msg, true);
        return true;
    }
    bool fail_or_skip(int line, std::string_view reason) { return fail_or_skip(line, reason, e_.settings_.strict); }

    // Splits the text into logical lines: drops blank and comment lines, joins continuations,
    // strips trailing comments.
    bool split_lines(std::string_view text) {
        std::string joined;
        int first = 0, number = 0;
        bool continuing = false;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            std::string_view raw = ltrim(text.substr(pos, end - pos));
            pos = end + 1;
            ++number;
            if (raw.empty() || raw.front() == '#') continue;
            raw = rtrim(raw);
            bool more = raw.back() == '\\';
            if (more) raw = rtrim(raw.substr(0, raw.size() - 1));
            if (!continuing) first = number;
            if (joined.size() + raw.size() > kMaxLineLength)
                return fail(first, "line longer than " + std::to_string(kMaxLineLength) + " characters");
            joined.append(raw);
            continuing = more;
            if (!more) flush(first, joined);
        }
        if (continuing) flush(first, joined);
        return true;
    }

    void flush(int first, std::string &joined) {
        std::string_view s = joined;
        std::size_t hash = find_unquoted(s, '#', false);
        if (hash != std::string_view::npos) s = s.substr(0, hash);
        s = rtrim(s);
        if (!s.empty()) lines_.push_back(LogicalLine{first, std::string(s)});
        joined.clear();
    }

    bool handle(int line, std::string_view text) {
        if (text.front() == '[') {
            if (text.back() != ']') return fail(line, "malformed section header " + quoted(text));
            std::string_view name = trim(text.substr(1, text.size() - 2));
            int section = name == "global"    ? kGlobal
                          : name == "levels"  ? kLevels
                          : name == "formats" ? kFormats
                          : name == "rules"   ? kRules
                                              : kNone;
            if (section == kNone) return fail(line, "unknown section [" + std::string(name) + "]");
            if (section == section_) return fail(line, "repeated section [" + std::string(name) + "]");
            if (section < section_) return fail(line, "section [" + std::string(name) + "] out of order");
            section_ = section;
            return true;
        }
        switch (section_) {
            case kGlobal:
                return global_line(line, text);
            case kLevels:
                return level_line(line, text);
            case kFormats:
                return format_line(line, text);
            case kRules:
                return rule_line(line, text);
            default:
                return fail(line, "line outside any section");
        }
    }

    bool global_line(int line, std::string_view text) {
        std::size_t eq = text.find('=');
        if (eq == std::string_view::npos) return fail(line, "expected 'key = value'");
        std::string key;
        for (char c : trim(text.substr(0, eq))) {
            bool blank = kBlanks.find(c) != std::string_view::npos;
            if (!blank)
                key += c;
            else if (key.back() != ' ')
                key += ' ';
        }
        std::string_view value = trim(text.substr(eq + 1));
        if (key.empty()) return fail(line, "expected 'key = value'");
        if (value.empty()) return fail(line, "missing value for " + quoted(key));

        Settings &s = e_.settings_;
        std::uint64_t n = 0;
        if (key == "strict init") {
            s.strict = !iequals(value, "false");
        } else if (key == "reload conf period") {
            // Accepted; the configuration is read once.
            if (!parse_size(value, n)) return fail(line, "bad number " + quoted(value));
        } else if (key == "buffer min" || key == "buffer max") {
            if (!parse_size(value, n) || n > SIZE_MAX / 4) return fail(line, "bad size " + quoted(value));
            (key == "buffer min" ? s.buffer_min : s.buffer_max) = n;
        } else if (key == "rotate lock file") {
            // Accepted; rotation is serialised inside the process.
        } else if (key == "default format") {
            std::string_view pattern;
            if (!unquote(value, pattern)) return fail(line, "default format must be in double quotes");
            std::string err = e_.default_format_.compile(pattern, PatternOptions{e_.host_, false});
            if (!err.empty()) return fail(line, "bad default format: " + err);
        } else if (key == "file perms") {
            unsigned perms = 0;
            for (char c : value) {
                if (c < '0' || c > '7' || perms > 0777) return fail(line, "bad file perms " + quoted(value));
                perms = perms * 8 + unsigned(c - '0');
            }
            if (perms > 07777) return fail(line, "bad file perms " + quoted(value));
            s.file_perms = perms;
        } else if (key == "fsync period") {
            if (!parse_size(value, n)) return fail(line, "bad number " + quoted(value));
            s.fsync_period = n;
        } else if (key == "log level") {
            // Levels may be defined further down, so the name is looked up at the end.
            log_level_ = value;
            log_level_line_ = line;
        } else {
            return fail_or_skip(line, "unknown [global] key " + quoted(key));
        }
        return true;
    }

    bool level_line(int line, std::string_view text) {
        std::size_t eq = text.find('=');
        if (eq == std::string_view::npos) return fail_or_skip(line, "expected 'NAME = number[, LOG_LEVEL]'");
        std::string_view name = trim(text.substr(0, eq));
        std::string_view rest = trim(text.substr(eq + 1));
        if (!is_word(name)) return fail_or_skip(line, "bad level name " + quoted(name));
        std::size_t comma = rest.find(',');
        std::string_view num = trim(rest.substr(0, comma));
        std::uint64_t number = 0;
        if (!parse_uint(num, kLevelCount - 1, number))
            return fail_or_skip(line, "level number must be 0..255, not " + quoted(num));
        int priority = LOG_DEBUG;
        if (comma != std::string_view::npos) {
            std::string_view sys = trim(rest.substr(comma + 1));
            if (!lookup(kSyslogLevels, sys, priority)) return fail_or_skip(line, "unknown syslog level " + quoted(sys));
        }
        e_.levels_.define(name, int(number), priority);
        return true;
    }

    bool format_line(int line, std::string_view text) {
        std::size_t eq = text.find('=');
        if (eq == std::string_view::npos) return fail_or_skip(line, "expected 'name = \"pattern\"'");
        std::string_view name = trim(text.substr(0, eq));
        std::string_view pattern;
        if (!is_word(name)) return fail_or_skip(line, "bad format name " + quoted(name));
        if (!unquote(trim(text.substr(eq + 1)), pattern))
            return fail_or_skip(line, "format pattern must be in double quotes");
        if (find_format(name)) return true;  // the first definition wins
        auto p = std::make_unique<Pattern>();
        std::string err = p->compile(pattern, PatternOptions{e_.host_, false});
        if (!err.empty()) return fail_or_skip(line, "bad format " + quoted(name) + ": " + err);
        e_.formats_.emplace_back(std::string(name), std::move(p));
        return true;
    }

    const Pattern *find_format(std::string_view name) const {
        for (const auto &f : e_.formats_)
            if (f.first == name) return f.second.get();
        return nullptr;
    }

    bool rule_line(int line, std::string_view text) {
        std::string err;
        PendingRule pr{line, e_.settings_.strict, false, {}, Rule{}};
        if (!parse_rule(text, pr, err)) return fail_or_skip(line, err);
        rules_.push_back(std::move(pr));
        return true;
    }

    bool parse_rule(std::string_view text, PendingRule &pr, std::string &err) {
        std::size_t blank = text.find_first_of(" \t");
        if (blank == std::string_view::npos) {
            err = "rule has no output";
            return false;
        }
        std::string_view selector = text.substr(0, blank);
        std::string_view rest = trim(text.substr(blank));
        std::size_t dot = selector.find('.');
        if (dot == std::string_view::npos) {
            err = "rule selector must be 'category.LEVEL', not " + quoted(selector);
            return false;
        }
        std::string_view cat = selector.substr(0, dot);
        std::string_view lvl = selector.substr(dot + 1);
        if (!valid_category_selector(cat)) {
            err = "bad category " + quoted(cat);
            return false;
        }
        pr.bang = cat == "!";
        if (!level_selector(lvl, pr.rule.levels, err)) return false;

        std::string_view out = rest;
        std::size_t semi = find_unquoted(rest, ';', true);
        const Pattern *format = &e_.default_format_;
        if (semi != std::string_view::npos) {
            out = trim(rest.substr(0, semi));
            std::string_view fname = trim(rest.substr(semi + 1));
            if (!fname.empty()) {
                format = find_format(fname);
                if (!format) {
                    err = "unknown format " + quoted(fname);
                    return false;
                }
            }
        }
        pr.rule.format = format;
        pr.category.assign(cat);
        return parse_output(out, pr.rule, err);
    }

    bool level_selector(std::string_view s, LevelMask &mask, std::string &err) {
        if (s == "*") {
            mask = LevelMask::at_least(0);
            return true;
        }
        char op = 0;
        if (!s.empty() && (s.front() == '=' || s.front() == '!')) {
            op = s.front();
            s.remove_prefix(1);
        }
        int level = e_.levels_.find(s);
        if (level < 0) {
            err = "unknown level " + quoted(s);
            return false;
        }
        if (op == 0) {
            mask = LevelMask::at_least(level);
        } else if (op == '=') {
            mask = LevelMask{};
            mask.set(level);
        } else {
            for (int l = 0; l < kLevelCount; ++l)
                if (l != level) mask.set(l);
        }
        return true;
    }

    bool parse_output(std::string_view out, Rule &rule, std::string &err) {
        if (out.empty()) {
            err = "rule has no output";
            return false;
        }
        switch (out.front()) {
            case '>':
                return stream_output(trim(out.substr(1)), rule, err);
            case '"':
            case '-':
                return file_output(out, rule, err);
            case '|': {
                std::string_view cmd = trim(out.substr(1));
                if (cmd.empty()) {
                    err = "pipe output needs a command";
                    return false;
                }
                rule.output = make_pipe_output(std::string(cmd));
                return true;
            }
            case '$': {
                // A user record output: nothing is registered under any name, so its messages
                // are dropped.
                std::string_view body = out.substr(1);
                std::size_t comma = body.find(',');
                std::string_view name = trim(body.substr(0, comma));
                std::string_view path;
                if (!is_word(name) ||
                    (comma != std::string_view::npos && !unquote(trim(body.substr(comma + 1)), path))) {
                    err = "record output must be '$name, \"path\"'";
                    return false;
                }
                rule.output = make_discard_output();
                return true;
            }
            default:
                err = "unknown output " + quoted(out);
                return false;
        }
    }

    bool stream_output(std::string_view what, Rule &rule, std::string &err) {
        if (what == "stdout") {
            rule.output = make_stream_output(STDOUT_FILENO);
            return true;
        }
        if (what == "stderr") {
            rule.output = make_stream_output(STDERR_FILENO);
            return true;
        }
        if (what.starts_with("syslog")) {
            std::string_view rest = ltrim(what.substr(6));
            int facility = 0;
            if (rest.empty() || rest.front() != ',') {
                err = "syslog output needs a facility";
                return false;
            }
            std::string_view name = trim(rest.substr(1));
            if (!lookup(kFacilities, name, facility)) {
                err = "unknown syslog facility " + quoted(name);
                return false;
            }
            rule.output = make_syslog_output(facility);
            return true;
        }
        err = "unknown output '>" + std::string(what) + "'";
        return false;
    }

    bool file_output(std::string_view out, Rule &rule, std::string &err) {
        bool sync = out.front() == '-';
        std::string_view body = sync ? ltrim(out.substr(1)) : out;
        std::size_t comma = find_unquoted(body, ',', false);
        std::string_view path_text;
        if (!unquote(trim(body.substr(0, comma)), path_text) || path_text.empty()) {
            err = "file output must be a double-quoted path";
            return false;
        }
        Pattern path;
        err = path.compile(path_text, PatternOptions{e_.host_, false});
        if (!err.empty()) {
            err = "bad file path: " + err;
            return false;
        }
        std::unique_ptr<Rotation> rotation;
        if (comma != std::string_view::npos) {
            rotation = std::make_unique<Rotation>();
            if (!parse_rotation(trim(body.substr(comma + 1)), *rotation, err)) return false;
        }
        if (!path.is_constant()) {
            rule.output = make_path_output(std::move(path), files(), sync, std::move(rotation));
            return true;
        }
        std::string file = path.constant_text();
        if (file.size() >= PATH_MAX) {
            err = "file path too long";
            return false;
        }
        // A fixed path is opened now, so that a file that cannot be written fails the load.
        std::string why;
        std::shared_ptr<FileSink> sink = files().acquire(file, &why);
        if (!sink) {
            err = "cannot open log file " + quoted(file) + ": " + why;
            return false;
        }
        rule.output = make_file_output(std::move(sink), sync, std::move(rotation));
        return true;
    }

    // size [* count] [~ "archive path"]
    bool parse_rotation(std::string_view text, Rotation &r, std::string &err) {
        std::size_t tilde = text.find('~');
        std::string_view head = trim(text.substr(0, tilde));
        std::size_t star = head.find('*');
        std::string_view size = trim(head.substr(0, star));
        if (!parse_size(size, r.max_size)) {
            err = "bad rotation size " + quoted(size);
            return false;
        }
        if (star != std::string_view::npos) {
            std::string_view count = trim(head.substr(star + 1));
            if (!parse_uint(count, UINT32_MAX, r.keep)) {
                err = "bad archive count " + quoted(count);
                return false;
            }
        }
        if (tilde == std::string_view::npos) return true;
        std::string_view archive;
        if (!unquote(trim(text.substr(tilde + 1)), archive) || archive.empty()) {
            err = "archive path must be double-quoted";
            return false;
        }
        err = r.archive.compile(archive, PatternOptions{e_.host_, true});
        if (!err.empty()) {
            err = "bad archive path: " + err;
            return false;
        }
        if (!r.archive.first_mark()) {
            err = "archive path needs a #r or #s number";
            return false;
        }
        r.has_archive = true;
        return true;
    }

    bool finish() {
        if (!log_level_.empty()) {
            int level = e_.levels_.find(log_level_);
            if (level < 0) return fail(log_level_line_, "unknown level " + quoted(log_level_) + " in log level");
            e_.settings_.min_level = level;
        }
        if (e_.settings_.buffer_min == 0) e_.settings_.buffer_min = 1;
        const LevelMask floor = LevelMask::at_least(e_.settings_.min_level);

        // Rules naming the category apply; a '!' rule (the last one) only when none does.
        bool named = false;
        const PendingRule *last_bang = nullptr;
        for (const PendingRule &pr : rules_) {
            if (pr.bang)
                last_bang = &pr;
            else
                named = named || category_matches(pr.category, e_.category_);
        }
        for (PendingRule &pr : rules_) {
            bool applies = pr.bang ? (!named && &pr == last_bang) : category_matches(pr.category, e_.category_);
            if (!applies || !pr.rule.output->delivers()) continue;
            std::string err = pr.rule.output->start();
            if (!err.empty()) {
                if (!fail_or_skip(pr.line, err, pr.strict)) return false;
                continue;
            }
            pr.rule.levels &= floor;
            e_.mask_ |= pr.rule.levels;
            e_.rules_.push_back(std::move(pr.rule));
        }
        return true;
    }

    // Files are opened from [rules] only, when [global] (perms, fsync period) is complete.
    FileTable &files() {
        if (!e_.files_) e_.files_ = std::make_unique<FileTable>(e_.settings_.file_perms, e_.settings_.fsync_period);
        return *e_.files_;
    }

    Engine &e_;
    std::string_view name_;
    int section_ = kNone;
    std::vector<LogicalLine> lines_;
    std::vector<PendingRule> rules_;
    std::string log_level_;
    int log_level_line_ = 0;
};

std::unique_ptr<Engine> Engine::load_text(std::string_view text, std::string_view name, std::string_view category,
                                          std::string &diagnostic) {
    auto e = std::make_unique<Engine>();
    e->category_.assign(category);
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0) e->host_ = host;
    e->default_format_.compile("%d %V [%p:%F:%L] %m%n", PatternOptions{e->host_, false});
    ConfigReader loader(*e, name);
    if (!loader.load(text)) {
        diagnostic = loader.diagnostic;
        return nullptr;
    }
    return e;
}

std::unique_ptr<Engine> Engine::load(const char *path, const char *category, std::string &diagnostic) {
    std::string where = std::string("gravel log: ") + path + ": ";
    // O_NONBLOCK: a FIFO named as configuration must not block init; it is refused below.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        diagnostic = where + "cannot open: " + errno_text(errno);
        return nullptr;
    }
    std::string text;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        diagnostic = where + "not a regular file";
    } else if (ok && std::uint64_t(st.st_size) > kMaxFileSize) {
        diagnostic = where + "file too large";
    } else if (ok) {
        char buf[8192];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                diagnostic = where + "cannot read: " + errno_text(errno);
                break;
            }
            if (n == 0) break;
            text.append(buf, std::size_t(n));
            if (text.size() > kMaxFileSize) {
                diagnostic = where + "file too large";
                break;
            }
        }
    } else {
        diagnostic = where + "cannot read: " + errno_text(errno);
    }
    ::close(fd);
    if (!diagnostic.empty()) return nullptr;
    return load_text(text, path, category, diagnostic);
}

}  // namespace gravel::log::detail
