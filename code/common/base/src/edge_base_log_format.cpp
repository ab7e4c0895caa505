// Levels, sizes and conversion patterns of the logging engine.
#include "edge_base_log_engine.hpp"

#include <charconv>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

namespace gravel::log::detail {

namespace {

char ascii_upper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}
char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

const LevelInfo &unknown_level() {
    static const LevelInfo info{"UNKNOWN", "unknown", LOG_ERR, true};
    return info;
}

constexpr const char *kDefaultTime = "%F %T";

// Broken-down time of the last second seen by this thread; localtime_r is comparatively costly
// and most messages of a thread fall into a second already converted.
struct TimeCache {
    time_t sec = std::numeric_limits<time_t>::min();
    tm value{};
};

const tm &cached_time(time_t sec, bool utc) {
    thread_local TimeCache local_cache;
    thread_local TimeCache utc_cache;
    TimeCache &c = utc ? utc_cache : local_cache;
    if (c.sec != sec) {
        if (utc)
            gmtime_r(&sec, &c.value);
        else
            localtime_r(&sec, &c.value);
        c.sec = sec;
    }
    return c.value;
}

// Appends `value` shaped by the piece's modifiers.
void put(TextBuffer &out, std::string_view value, const Piece &p) {
    if (p.max >= 0 && value.size() > std::size_t(p.max)) value = value.substr(0, std::size_t(p.max));
    if (value.size() >= std::size_t(p.min)) {
        out.append(value);
        return;
    }
    std::size_t pad = std::size_t(p.min) - value.size();
    if (p.left) {
        out.append(value);
        out.fill(' ', pad);
    } else {
        out.fill(p.zero ? '0' : ' ', pad);
        out.append(value);
    }
}

void put_number(TextBuffer &out, unsigned long long v, int base, const Piece &p) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v, base);
    put(out, std::string_view(buf, std::size_t(r.ptr - buf)), p);
}

void put_signed(TextBuffer &out, long long v, const Piece &p) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    put(out, std::string_view(buf, std::size_t(r.ptr - buf)), p);
}

void put_fraction(TextBuffer &out, long value, int digits, const Piece &p) {
    char buf[8];
    for (int i = digits - 1; i >= 0; --i) {
        buf[i] = char('0' + value % 10);
        value /= 10;
    }
    put(out, std::string_view(buf, std::size_t(digits)), p);
}

// Applies modifiers to a text known at load time.
std::string shape(std::string_view value, const Piece &p) {
    std::string storage;
    TextBuffer out(storage, 0);
    put(out, value, p);
    return storage;
}

bool parse_modifier_number(std::string_view s, std::size_t &i, int &out) {
    long v = 0;
    std::size_t start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        v = v * 10 + (s[i] - '0');
        if (v > kMaxModifier) return false;
        ++i;
    }
    if (i == start) return false;
    out = int(v);
    return true;
}

// Reads "(...)" right after a conversion character; false when there is none.
bool take_argument(std::string_view s, std::size_t &i, std::string_view &arg, bool &unterminated) {
    unterminated = false;
    if (i >= s.size() || s[i] != '(') return false;
    std::size_t close = s.find(')', i + 1);
    if (close == std::string_view::npos) {
        unterminated = true;
        return false;
    }
    arg = s.substr(i + 1, close - i - 1);
    i = close + 1;
    return true;
}

}  // namespace

LevelMask LevelMask::at_least(int level) {
    LevelMask m;
    for (int l = level < 0 ? 0 : level; l < kLevelCount; ++l) m.set(l);
    return m;
}

LevelTable::LevelTable() {
    define("DEBUG", 20, LOG_DEBUG);
    define("INFO", 40, LOG_INFO);
    define("NOTICE", 60, LOG_NOTICE);
    define("WARN", 80, LOG_WARNING);
    define("ERROR", 100, LOG_ERR);
    define("FATAL", 120, LOG_ALERT);
    define("UNKNOWN", 254, LOG_ERR);
}

void LevelTable::define(std::string_view name, int number, int syslog_priority) {
    int old = find(name);
    if (old >= 0 && old != number) levels_[std::size_t(old)] = LevelInfo{};
    LevelInfo &e = levels_[std::size_t(number)];
    e.upper.assign(name);
    e.lower.assign(name);
    for (char &c : e.upper) c = ascii_upper(c);
    for (char &c : e.lower) c = ascii_lower(c);
    e.syslog_priority = syslog_priority;
    e.defined = true;
}

int LevelTable::find(std::string_view name) const {
    for (int i = 0; i < kLevelCount; ++i)
        if (levels_[std::size_t(i)].defined && iequals(levels_[std::size_t(i)].upper, name)) return i;
    return -1;
}

const LevelInfo &LevelTable::describe(int level) const {
    if (level >= 0 && level < kLevelCount && levels_[std::size_t(level)].defined) return levels_[std::size_t(level)];
    return unknown_level();
}

bool parse_size(std::string_view text, std::uint64_t &out) {
    std::size_t i = 0;
    std::uint64_t v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        unsigned digit = unsigned(text[i] - '0');
        if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
        v = v * 10 + digit;
        ++i;
    }
    if (i == 0) return false;
    std::string_view unit = text.substr(i);
    std::uint64_t mult = 1;
    if (unit.empty()) {
        mult = 1;
    } else {
        char u = ascii_lower(unit[0]);
        bool binary;
        if (unit.size() == 1)
            binary = false;
        else if (unit.size() == 2 && ascii_lower(unit[1]) == 'b')
            binary = true;
        else
            return false;
        std::uint64_t step = binary ? 1024 : 1000;
        int power;
        switch (u) {
            case 'k':
                power = 1;
                break;
            case 'm':
                power = 2;
                break;
            case 'g':
                power = 3;
                break;
            default:
                return false;
        }
        for (int p = 0; p < power; ++p) mult *= step;
    }
    if (v != 0 && mult > std::numeric_limits<std::uint64_t>::max() / v) return false;
    out = v * mult;
    return true;
}

void TextBuffer::append(std::string_view text) {
    if (cut_) return;
    if (limit_ != 0 && text.size() > limit_ - s_.size()) {
        s_.append(text.substr(0, limit_ - s_.size()));
        cut_ = true;
        return;
    }
    s_.append(text);
}

void TextBuffer::fill(char c, std::size_t count) {
    if (cut_) return;
    if (limit_ != 0 && count > limit_ - s_.size()) {
        s_.append(limit_ - s_.size(), c);
        cut_ = true;
        return;
    }
    s_.append(count, c);
}

void TextBuffer::finish_cut() {
    if (!cut_) return;
    static constexpr std::string_view tail = "...\n";
    std::size_t n = tail.size() < s_.size() ? tail.size() : s_.size();
    s_.replace(s_.size() - n, n, tail.substr(tail.size() - n));
}

std::string Pattern::compile(std::string_view s, const PatternOptions &opts) {
    std::vector<Piece> pieces;
    auto add_literal = [&pieces](std::string_view text) {
        if (text.empty()) return;
        if (!pieces.empty() && pieces.back().kind == PieceKind::Literal)
            pieces.back().text.append(text);
        else
            pieces.push_back(Piece{PieceKind::Literal, false, false, 0, -1, 0, std::string(text)});
    };

    std::size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == '#' && opts.archive_marks) {
            std::size_t j = i + 1;
            int width = 0;
            if (j < s.size() && s[j] >= '0' && s[j] <= '9' && !parse_modifier_number(s, j, width))
                return "archive number width too large";
            if (j < s.size() && (s[j] == 'r' || s[j] == 's')) {
                Piece p;
                p.kind = PieceKind::ArchiveNumber;
                p.mark = s[j];
                p.min = width;
                p.zero = true;
                pieces.push_back(std::move(p));
                i = j + 1;
                continue;
            }
        }
        if (c != '%') {
            std::size_t next = s.find_first_of(opts.archive_marks ? "%#" : "%", i + 1);
            if (next == std::string_view::npos) next = s.size();
            add_literal(s.substr(i, next - i));
            i = next;
            continue;
        }

        std::size_t start = i++;
        Piece p;
        if (i < s.size() && s[i] == '-') {
            p.left = true;
            ++i;
        } else if (i < s.size() && s[i] == '0') {
            p.zero = true;
            ++i;
        }
        if (i < s.size() && s[i] >= '0' && s[i] <= '9' && !parse_modifier_number(s, i, p.min))
            return "width too large in '" + std::string(s.substr(start, i - start)) + "'";
        if (i < s.size() && s[i] == '.') {
            ++i;
            if (!parse_modifier_number(s, i, p.max))
                return "bad precision in '" + std::string(s.substr(start, i - start)) + "'";
        }
        if (i >= s.size()) return "pattern ends inside a conversion";

        char conv = s[i++];
        std::string_view arg;
        bool unterminated = false;
        switch (conv) {
            case 'c':
                p.kind = PieceKind::Category;
                break;
            case 'd':
            case 'D':
            case 'g':
            case 'G':
                p.kind = (conv == 'd' || conv == 'D') ? PieceKind::LocalTime : PieceKind::UtcTime;
                if (take_argument(s, i, arg, unterminated) && !arg.empty())
                    p.text.assign(arg);
                else
                    p.text = kDefaultTime;
                if (unterminated) return std::string("unterminated '%") + conv + "(' time format";
                break;
            case 'm':
                if (i < s.size() && s[i] == 's') {
                    ++i;
                    p.kind = PieceKind::Millis;
                } else {
                    p.kind = PieceKind::Message;
                }
                break;
            case 'u':
                if (i < s.size() && s[i] == 's') {
                    ++i;
                    p.kind = PieceKind::Micros;
                    break;
                }
                return "unknown conversion '%u'";
            case 'E': {
                if (!take_argument(s, i, arg, unterminated) || arg.empty())
                    return "'%E' needs a variable name in parentheses";
                const char *value = std::getenv(std::string(arg).c_str());
                add_literal(shape(value ? value : "(null)", p));
                continue;
            }
            case 'M':
                if (!take_argument(s, i, arg, unterminated) || arg.empty()) return "'%M' needs a key in parentheses";
                p.kind = PieceKind::Mdc;
                break;
            case 'F':
                p.kind = PieceKind::File;
                break;
            case 'f':
                p.kind = PieceKind::FileBase;
                break;
            case 'U':
                p.kind = PieceKind::Func;
                break;
            case 'L':
                p.kind = PieceKind::Line;
                break;
            case 'p':
                p.kind = PieceKind::Pid;
                break;
            case 't':
                p.kind = PieceKind::ThreadHex;
                break;
            case 'T':
                p.kind = PieceKind::ThreadDec;
                break;
            case 'k':
                p.kind = PieceKind::KernelTid;
                break;
            case 'V':
                p.kind = PieceKind::LevelUpper;
                break;
            case 'v':
                p.kind = PieceKind::LevelLower;
                break;
            case 'H':
                add_literal(shape(opts.host, p));
                continue;
            case 'n':
                add_literal(shape("\n", p));
                continue;
            case 'r':
                add_literal(shape("\r", p));
                continue;
            case '%':
                add_literal(shape("%", p));
                continue;
            default:
                return "unknown conversion '" + std::string(s.substr(start, i - start)) + "'";
        }
        pieces.push_back(std::move(p));
    }
    pieces_ = std::move(pieces);
    return {};
}

bool Pattern::is_constant() const {
    for (const Piece &p : pieces_)
        if (p.kind != PieceKind::Literal) return false;
    return true;
}

std::string Pattern::constant_text() const {
    std::string s;
    for (const Piece &p : pieces_) s += p.text;
    return s;
}

char Pattern::first_mark() const {
    for (const Piece &p : pieces_)
        if (p.kind == PieceKind::ArchiveNumber) return p.mark;
    return 0;
}

void Pattern::render(const Event &ev, TextBuffer &out, std::vector<ArchiveMark> *marks) const {
    for (const Piece &p : pieces_) {
        switch (p.kind) {
            case PieceKind::Literal:
                out.append(p.text);
                break;
            case PieceKind::Category:
                put(out, ev.category, p);
                break;
            case PieceKind::LocalTime:
            case PieceKind::UtcTime: {
                char buf[512];
                const tm &t = cached_time(ev.now.tv_sec, p.kind == PieceKind::UtcTime);
                // The time format comes from the configuration; strftime reads no arguments, so
                // any text is safe (unknown conversions are printed as they are).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
                std::size_t n = std::strftime(buf, sizeof buf, p.text.c_str(), &t);
#pragma GCC diagnostic pop
                put(out, std::string_view(buf, n), p);
                break;
            }
            case PieceKind::Millis:
                put_fraction(out, ev.now.tv_nsec / 1000000, 3, p);
                break;
            case PieceKind::Micros:
                put_fraction(out, ev.now.tv_nsec / 1000, 6, p);
                break;
            case PieceKind::File:
                put(out, ev.file, p);
                break;
            case PieceKind::FileBase: {
                std::size_t slash = ev.file.rfind('/');
                put(out, slash == std::string_view::npos ? ev.file : ev.file.substr(slash + 1), p);
                break;
            }
            case PieceKind::Func:
                put(out, ev.func, p);
                break;
            case PieceKind::Line:
                put_signed(out, ev.line, p);
                break;
            case PieceKind::Message:
                put(out, ev.message, p);
                break;
            case PieceKind::Pid:
                put_signed(out, getpid(), p);
                break;
            case PieceKind::ThreadHex:
                put_number(out, (unsigned long long)pthread_self(), 16, p);
                break;
            case PieceKind::ThreadDec:
                put_number(out, (unsigned long long)pthread_self(), 10, p);
                break;
            case PieceKind::KernelTid:
                put_signed(out, gettid(), p);
                break;
            case PieceKind::LevelUpper:
            case PieceKind::LevelLower: {
                const LevelInfo &li = ev.level_info ? *ev.level_info : unknown_level();
                put(out, p.kind == PieceKind::LevelUpper ? li.upper : li.lower, p);
                break;
            }
            case PieceKind::Mdc:
                put(out, std::string_view(), p);
                break;
            case PieceKind::ArchiveNumber:
                if (marks) marks->push_back(ArchiveMark{out.size(), p.min});
                break;
        }
    }
}

}  // namespace gravel::log::detail
