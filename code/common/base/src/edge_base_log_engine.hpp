// Logging engine of libgravel-base: reads a zlog-format configuration file and writes log lines.
//
// The four functions in gravel::log are what the C ABI layer calls. Everything in
// gravel::log::detail is shared between the engine's own translation units (configuration reader,
// pattern formatter, outputs) and its unit tests; nothing outside the engine should use it.
#pragma once
#include <cstdarg>
#include <cstddef>
namespace gravel::log {
// Loads the configuration file; 0 on success, -1 when the file is missing, unreadable or invalid
// (then nothing is set up and a one-line diagnostic naming file, line and reason goes to stderr),
// or when already initialised. `category` is the category every write() logs under.
int init(const char *path, const char *category) noexcept;
// Finishes: closes outputs; may be called any number of times, also without init.
void fini() noexcept;
// True when some rule for the init category would output a message of this level.
// Must be very cheap (one relaxed atomic load + bit test): callers skip argument evaluation on false.
bool enabled(int level) noexcept;
// Formats and writes one message under the init category to every matching rule, in file order.
// Dropped silently before init, after a failed init or after fini. Thread-safe; never throws.
__attribute__((format(printf, 7, 0))) void write(const char *file, size_t filelen, const char *func, size_t funclen,
                                                 long line, int level, const char *fmt, va_list ap) noexcept;
}  // namespace gravel::log

// ---------------------------------------------------------------------------------------------
// Engine internals.
// ---------------------------------------------------------------------------------------------
#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace gravel::log::detail {

inline constexpr int kLevelCount = 256;
// Longest configuration line after joining continuations.
inline constexpr std::size_t kMaxLineLength = 4096;
// Largest width or precision accepted in a conversion modifier.
inline constexpr int kMaxModifier = 4096;

// A set of levels 0..255.
struct LevelMask {
    std::array<std::uint64_t, 4> bits{};
    void set(int level) { bits[unsigned(level) >> 6] |= std::uint64_t{1} << (unsigned(level) & 63); }
    bool test(int level) const { return (bits[unsigned(level) >> 6] >> (unsigned(level) & 63)) & 1; }
    LevelMask &operator|=(const LevelMask &o) {
        for (std::size_t i = 0; i < bits.size(); ++i) bits[i] |= o.bits[i];
        return *this;
    }
    LevelMask &operator&=(const LevelMask &o) {
        for (std::size_t i = 0; i < bits.size(); ++i) bits[i] &= o.bits[i];
        return *this;
    }
    static LevelMask at_least(int level);
};

struct LevelInfo {
    std::string upper;        // printed by %V
    std::string lower;        // printed by %v
    int syslog_priority = 7;  // LOG_DEBUG
    bool defined = false;
};

// Level names by number. Starts with the built-in levels; [levels] lines add or rename entries.
class LevelTable {
public:
    LevelTable();
    // Gives `number` the name; a name already used by another number moves to this one.
    void define(std::string_view name, int number, int syslog_priority);
    // Number of a defined level (case-insensitive), or -1.
    int find(std::string_view name) const;
    // The entry used for printing; undefined numbers print as UNKNOWN.
    const LevelInfo &describe(int level) const;

private:
    std::array<LevelInfo, kLevelCount> levels_;
};

// "1k" = 1000, "1kb" = 1024 (m/mb, g/gb likewise, any case); a bare number is bytes.
bool parse_size(std::string_view text, std::uint64_t &out);

// The facts one message carries into pattern conversions.
struct Event {
    std::string_view category;
    std::string_view file;
    std::string_view func;
    std::string_view message;
    long line = 0;
    int level = 0;
    const LevelInfo *level_info = nullptr;
    timespec now{};
};

// Text sink with a length limit (0: none). Text beyond the limit is dropped and the sink
// remembers it was cut; finish_cut() then makes the text end in "...\n" within the limit.
class TextBuffer {
public:
    TextBuffer(std::string &storage, std::size_t limit) : s_(storage), limit_(limit) { s_.clear(); }
    void append(std::string_view text);
    void fill(char c, std::size_t count);
    void finish_cut();
    bool cut() const { return cut_; }
    std::size_t size() const { return s_.size(); }
    std::string_view view() const { return s_; }

private:
    std::string &s_;
    std::size_t limit_;
    bool cut_ = false;
};

// Where an archive-number marker (#r / #s) sits in a rendered archive path.
struct ArchiveMark {
    std::size_t offset = 0;
    int width = 0;
};

enum class PieceKind : std::uint8_t {
    Literal,
    Category,
    LocalTime,
    UtcTime,
    Millis,
    Micros,
    File,
    FileBase,
    Func,
    Line,
    Message,
    Pid,
    ThreadHex,
    ThreadDec,
    KernelTid,
    LevelUpper,
    LevelLower,
    Mdc,
    ArchiveNumber,
};

struct Piece {
    PieceKind kind = PieceKind::Literal;
    bool left = false;  // '-': pad on the right
    bool zero = false;  // '0': pad with zeros
    int min = 0;        // minimum width
    int max = -1;       // keep at most this many characters; -1: all
    char mark = 0;      // ArchiveNumber: 'r' or 's'
    std::string text;   // literal text or strftime format
};

struct PatternOptions {
    std::string_view host;       // value of %H
    bool archive_marks = false;  // recognise #r / #s (archive paths)
};

// A compiled conversion pattern (format, file path or archive path).
class Pattern {
public:
    // Compiles `text`; returns an empty string on success, else the reason.
    std::string compile(std::string_view text, const PatternOptions &opts);
    void render(const Event &ev, TextBuffer &out, std::vector<ArchiveMark> *marks = nullptr) const;
    // True when the pattern yields the same text for every message.
    bool is_constant() const;
    std::string constant_text() const;
    // 'r' or 's' for the first archive marker, 0 when there is none.
    char first_mark() const;

private:
    std::vector<Piece> pieces_;
};

struct Settings {
    bool strict = true;
    std::uint64_t buffer_min = 1024;
    std::uint64_t buffer_max = 2 * 1024 * 1024;
    unsigned file_perms = 0600;
    std::uint64_t fsync_period = 0;
    int min_level = 0;
};

struct Rotation {
    std::uint64_t max_size = 0;  // 0: never rotate
    std::uint64_t keep = 0;      // archives kept besides the live file; 0: all
    bool has_archive = false;    // false: "<file>.N", rolling
    Pattern archive;
};

// One open log file, shared by every output that writes to the same path.
class FileSink {
public:
    FileSink(std::string path, int fd, unsigned perms, std::uint64_t fsync_period);
    ~FileSink();
    FileSink(const FileSink &) = delete;
    FileSink &operator=(const FileSink &) = delete;
    // Appends one line with a single write, rotating first when the line would overflow the size.
    void append(std::string_view line, const Event &ev, const Rotation *rotation, bool sync) noexcept;
    const std::string &path() const { return path_; }

private:
    void rotate(const Event &ev, const Rotation &rotation);
    void reopen();

    std::mutex mu_;
    const std::string path_;
    int fd_;
    bool not_regular_ = false;  // a FIFO or device: its reader may go away (EPIPE)
    const unsigned perms_;
    const std::uint64_t fsync_period_;
    std::uint64_t writes_since_sync_ = 0;
};

// Open files by path, so that static and per-message paths naming the same file share one sink
// (and one lock for rotation).
class FileTable {
public:
    FileTable(unsigned perms, std::uint64_t fsync_period) : perms_(perms), fsync_period_(fsync_period) {}
    // Opens (append, create) or finds the file; null with `error` set when it cannot be opened.
    std::shared_ptr<FileSink> acquire(std::string_view path, std::string *error = nullptr);

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::mutex mu_;
    std::unordered_map<std::string, std::shared_ptr<FileSink>, Hash, std::equal_to<>> files_;
    const unsigned perms_;
    const std::uint64_t fsync_period_;
};

class Output {
public:
    virtual ~Output() = default;
    virtual void emit(std::string_view line, const Event &ev) noexcept = 0;
    // Pipes start only for rules that apply to the engine's category.
    virtual std::string start() { return {}; }
    // False for outputs that throw the message away.
    virtual bool delivers() const { return true; }
};

std::unique_ptr<Output> make_stream_output(int fd);
std::unique_ptr<Output> make_syslog_output(int facility);
std::unique_ptr<Output> make_file_output(std::shared_ptr<FileSink> sink, bool sync, std::unique_ptr<Rotation> rotation);
std::unique_ptr<Output> make_path_output(Pattern path, FileTable &files, bool sync, std::unique_ptr<Rotation> rotation);
std::unique_ptr<Output> make_pipe_output(std::string command);
std::unique_ptr<Output> make_discard_output();

// Text of an errno value (thread-safe).
std::string errno_text(int err);

// write(2) of all bytes, retrying on EINTR; a reader that went away yields false with errno
// EPIPE instead of a SIGPIPE for the process.
bool write_fully(int fd, std::string_view data, bool guard_sigpipe) noexcept;

struct Rule {
    LevelMask levels;
    const Pattern *format = nullptr;
    std::unique_ptr<Output> output;
};

class ConfigReader;

// A loaded configuration for one category: immutable once built, except for the outputs' own
// locked state.
class Engine {
public:
    // Reads and builds everything; null with a one-line `diagnostic` on failure.
    static std::unique_ptr<Engine> load(const char *path, const char *category, std::string &diagnostic);
    // Builds from configuration text already in memory; `name` appears in diagnostics.
    static std::unique_ptr<Engine> load_text(std::string_view text, std::string_view name, std::string_view category,
                                             std::string &diagnostic);
    // Levels some rule outputs.
    const LevelMask &mask() const { return mask_; }
    __attribute__((format(printf, 8, 0))) void dispatch(const char *file, std::size_t filelen, const char *func,
                                                        std::size_t funclen, long line, int level, const char *fmt,
                                                        va_list ap) const;

private:
    friend class ConfigReader;

    std::string category_;
    Settings settings_;
    LevelTable levels_;
    std::string host_;
    Pattern default_format_;
    std::vector<std::pair<std::string, std::unique_ptr<Pattern>>> formats_;
    std::unique_ptr<FileTable> files_;
    // Only the rules that apply to category_, in file order. Declared after files_ so that
    // outputs go before the file table they use.
    std::vector<Rule> rules_;
    LevelMask mask_;
};

}  // namespace gravel::log::detail
