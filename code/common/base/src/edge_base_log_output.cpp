// Outputs of the logging engine: standard streams, syslog, files (with size rotation) and pipes.
#include "edge_base_log_engine.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace gravel::log::detail {

namespace {

// Per-message paths opened so far are kept open; beyond this many, files no output is using
// right now are closed.
constexpr std::size_t kMaxOpenFiles = 64;
// Archive numbers longer than this are not ours.
constexpr std::size_t kMaxArchiveDigits = 18;

// Opens a log file for appending. A symbolic link at the path is refused (ELOOP), never
// followed: log lines must not be appended to, or create, whatever file a link names. O_NONBLOCK
// keeps a FIFO without reader from blocking the caller; it is cleared again so that writes
// behave normally.
int open_log_file(const char *path, unsigned perms) {
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, perms);
    if (fd < 0) return -1;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool is_regular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

std::mutex &stream_lock(int fd) {
    static std::mutex locks[2];
    return locks[fd == STDERR_FILENO ? 1 : 0];
}

class StreamOutput final : public Output {
public:
    explicit StreamOutput(int fd) : fd_(fd) {}
    void emit(std::string_view line, const Event &) noexcept override {
        // One lock per stream keeps lines whole even when the kernel splits a large write.
        std::lock_guard lk(stream_lock(fd_));
        write_fully(fd_, line, true);
    }

private:
    int fd_;
};

class SyslogOutput final : public Output {
public:
    explicit SyslogOutput(int facility) : facility_(facility) {}
    void emit(std::string_view line, const Event &ev) noexcept override {
        int priority = ev.level_info ? ev.level_info->syslog_priority : LOG_ERR;
        int len = line.size() > std::size_t(INT_MAX) ? INT_MAX : int(line.size());
        syslog(facility_ | priority, "%.*s", len, line.data());
    }

private:
    int facility_;
};

class FileOutput final : public Output {
public:
    FileOutput(std::shared_ptr<FileSink> sink, bool sync, std::unique_ptr<Rotation> rotation)
        : sink_(std::move(sink)), sync_(sync), rotation_(std::move(rotation)) {}
    void emit(std::string_view line, const Event &ev) noexcept override {
        sink_->append(line, ev, rotation_.get(), sync_);
    }

private:
    std::shared_ptr<FileSink> sink_;
    bool sync_;
    std::unique_ptr<Rotation> rotation_;
};

class PathOutput final : public Output {
public:
    PathOutput(Pattern path, FileTable &files, bool sync, std::unique_ptr<Rotation> rotation)
        : path_(std::move(path)), files_(files), sync_(sync), rotation_(std::move(rotation)) {}
    void emit(std::string_view line, const Event &ev) noexcept override {
        try {
            thread_local std::string path;
            TextBuffer out(path, PATH_MAX - 1);
            path_.render(ev, out);
            // A path that had to be cut or that holds a NUL byte would name some other file.
            if (out.cut() || path.empty() || path.find('\0') != std::string::npos) return;
            std::shared_ptr<FileSink> sink = files_.acquire(path);
            if (sink) sink->append(line, ev, rotation_.get(), sync_);
        } catch (...) {}
    }

private:
    Pattern path_;
    FileTable &files_;
    bool sync_;
    std::unique_ptr<Rotation> rotation_;
};

class PipeOutput final : public Output {
public:
    explicit PipeOutput(std::string command) : command_(std::move(command)) {}
    ~PipeOutput() override {
        if (pipe_) pclose(pipe_);
    }
    std::string start() override {
        pipe_ = popen(command_.c_str(), "we");
        if (!pipe_) return "cannot start '" + command_ + "': " + errno_text(errno);
        return {};
    }
    void emit(std::string_view line, const Event &) noexcept override {
        std::lock_guard lk(mu_);
        if (!pipe_ || reader_gone_) return;
        if (!write_fully(fileno(pipe_), line, true) && errno == EPIPE) reader_gone_ = true;
    }

private:
    std::string command_;
    std::FILE *pipe_ = nullptr;
    std::mutex mu_;
    bool reader_gone_ = false;
};

class DiscardOutput final : public Output {
public:
    void emit(std::string_view, const Event &) noexcept override {}
    bool delivers() const override { return false; }
};

// An archive path with its number markers taken out: name(n) puts n back at every marker.
struct ArchiveName {
    std::string text;
    std::vector<ArchiveMark> marks;
    std::size_t base = 0;  // start of the last path component

    std::string name(std::uint64_t n) const {
        char digits[24];
        int len = std::snprintf(digits, sizeof digits, "%llu", (unsigned long long)n);
        std::string out;
        std::size_t pos = 0;
        for (const ArchiveMark &m : marks) {
            out.append(text, pos, m.offset - pos);
            if (m.width > len) out.append(std::size_t(m.width - len), '0');
            out.append(digits, std::size_t(len));
            pos = m.offset;
        }
        out.append(text, pos, std::string::npos);
        return out;
    }

    // Recognises an archive's file name (last path component) and yields its number.
    bool match(std::string_view entry, std::uint64_t &n) const {
        std::string_view base_text = std::string_view(text).substr(base);
        std::size_t tpos = 0, epos = 0;
        bool have = false;
        for (std::size_t k = 0; k <= marks.size(); ++k) {
            std::size_t end = k < marks.size() ? marks[k].offset - base : base_text.size();
            std::string_view lit = base_text.substr(tpos, end - tpos);
            if (entry.substr(epos, lit.size()) != lit) return false;
            epos += lit.size();
            tpos = end;
            if (k == marks.size()) break;
            std::size_t start = epos;
            std::uint64_t v = 0;
            while (epos < entry.size() && entry[epos] >= '0' && entry[epos] <= '9') {
                v = v * 10 + std::uint64_t(entry[epos] - '0');
                if (++epos - start > kMaxArchiveDigits) return false;
            }
            if (epos == start || (have && v != n)) return false;
            n = v;
            have = true;
        }
        return epos == entry.size();
    }
};

// Lists the numbers of the archives that exist. False when the directory cannot be read or
// when the live file itself has an archive's name ("app1.log" for "app#s.log"): renaming
// archives would then overwrite it.
bool existing_archives(const ArchiveName &an, const struct stat &live, std::vector<std::uint64_t> &found) {
    std::string dir = an.base == 0 ? "." : an.base == 1 ? "/" : an.text.substr(0, an.base - 1);
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    bool collides = false;
    while (dirent *ent = readdir(d)) {
        std::uint64_t n = 0;
        if (!an.match(ent->d_name, n)) continue;
        struct stat st;
        if (fstatat(dirfd(d), ent->d_name, &st, 0) == 0 && st.st_dev == live.st_dev && st.st_ino == live.st_ino)
            collides = true;
        found.push_back(n);
    }
    closedir(d);
    return !collides;
}

}  // namespace

std::string errno_text(int err) {
    char buf[128];
    return strerror_r(err, buf, sizeof buf);
}

bool write_fully(int fd, std::string_view data, bool guard_sigpipe) noexcept {
    sigset_t pipe_set, old_mask;
    bool masked = false, was_pending = false;
    if (guard_sigpipe) {
        // Block SIGPIPE in this thread only for the write; if the write raises it, take it back
        // out of the pending set unless one was already pending before.
        sigemptyset(&pipe_set);
        sigaddset(&pipe_set, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        if (sigpending(&pending) == 0) was_pending = sigismember(&pending, SIGPIPE) == 1;
        masked = pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask) == 0;
    }
    bool ok = true;
    int err = 0;
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            err = n < 0 ? errno : EIO;
            break;
        }
        data.remove_prefix(std::size_t(n));
    }
    if (masked) {
        if (!ok && err == EPIPE && !was_pending) {
            timespec zero{0, 0};
            while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {}
        }
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    }
    if (!ok) errno = err;
    return ok;
}

FileSink::FileSink(std::string path, int fd, unsigned perms, std::uint64_t fsync_period)
    : path_(std::move(path)),
      fd_(fd),
      not_regular_(fd >= 0 && !is_regular(fd)),
      perms_(perms),
      fsync_period_(fsync_period) {}

FileSink::~FileSink() {
    if (fd_ >= 0) ::close(fd_);
}

void FileSink::reopen() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = open_log_file(path_.c_str(), perms_);
    not_regular_ = fd_ >= 0 && !is_regular(fd_);
}

void FileSink::append(std::string_view line, const Event &ev, const Rotation *rotation, bool sync) noexcept {
    std::lock_guard lk(mu_);
    if (fd_ < 0) reopen();
    if (fd_ < 0) return;
    if (rotation && rotation->max_size) {
        struct stat st;
        if (fstat(fd_, &st) == 0 && st.st_size > 0 && std::uint64_t(st.st_size) + line.size() > rotation->max_size) {
            try {
                rotate(ev, *rotation);
            } catch (...) {}
            if (fd_ < 0) return;
        }
    }
    write_fully(fd_, line, not_regular_);
    if (sync) {
        fdatasync(fd_);
    } else if (fsync_period_ && ++writes_since_sync_ >= fsync_period_) {
        fsync(fd_);
        writes_since_sync_ = 0;
    }
}

void FileSink::rotate(const Event &ev, const Rotation &rotation) {
    ArchiveName an;
    char mode = 'r';
    if (rotation.has_archive) {
        TextBuffer out(an.text, PATH_MAX - 1);
        rotation.archive.render(ev, out, &an.marks);
        if (out.cut() || an.marks.empty()) return;
        mode = rotation.archive.first_mark();
    } else {
        an.text = path_ + ".";
        an.marks.push_back(ArchiveMark{an.text.size(), 0});
    }
    // Archives are found by listing their directory, so every number must sit in the last
    // path component.
    std::size_t first = an.marks.front().offset;
    if (an.text.find('/', first) != std::string::npos || an.text.find('\0') != std::string::npos) return;
    std::size_t slash = first == 0 ? std::string::npos : an.text.rfind('/', first - 1);
    an.base = slash == std::string::npos ? 0 : slash + 1;

    struct stat live;
    std::vector<std::uint64_t> found;
    if (fstat(fd_, &live) != 0 || !existing_archives(an, live, found)) return;
    std::string target;
    if (mode == 'r') {
        // Rolling: the newest archive is number 0; older ones move up, the oldest beyond the
        // kept count are removed.
        std::sort(found.rbegin(), found.rend());
        for (std::uint64_t n : found) {
            if (rotation.keep && n + 1 >= rotation.keep)
                ::unlink(an.name(n).c_str());
            else
                ::rename(an.name(n).c_str(), an.name(n + 1).c_str());
        }
        target = an.name(0);
    } else {
        // Sequence: each archive gets the next number; the lowest numbers go beyond the count.
        std::uint64_t next = found.empty() ? 0 : *std::max_element(found.begin(), found.end()) + 1;
        target = an.name(next);
        found.push_back(next);
    }
    if (::rename(path_.c_str(), target.c_str()) != 0) {
        // Someone removed the live file: start a new one. Any other failure keeps the
        // current file growing rather than losing messages.
        if (errno == ENOENT) reopen();
        return;
    }
    if (mode == 's' && rotation.keep && found.size() > rotation.keep) {
        std::sort(found.begin(), found.end());
        for (std::size_t i = 0; i + rotation.keep < found.size(); ++i) ::unlink(an.name(found[i]).c_str());
    }
    reopen();
}

std::shared_ptr<FileSink> FileTable::acquire(std::string_view path, std::string *error) {
    std::lock_guard lk(mu_);
    auto it = files_.find(path);
    if (it != files_.end()) return it->second;
    if (files_.size() >= kMaxOpenFiles) {
        // Only the table holds these, and references are taken under this lock, so no output
        // can be writing to them.
        std::erase_if(files_, [](const auto &kv) { return kv.second.use_count() == 1; });
    }
    std::string p(path);
    int fd = open_log_file(p.c_str(), perms_);
    if (fd < 0) {
        if (error) *error = errno_text(errno);
        return nullptr;
    }
    auto sink = std::make_shared<FileSink>(p, fd, perms_, fsync_period_);
    files_.emplace(std::move(p), sink);
    return sink;
}

std::unique_ptr<Output> make_stream_output(int fd) {
    return std::make_unique<StreamOutput>(fd);
}

std::unique_ptr<Output> make_syslog_output(int facility) {
    return std::make_unique<SyslogOutput>(facility);
}

std::unique_ptr<Output> make_file_output(std::shared_ptr<FileSink> sink, bool sync,
                                         std::unique_ptr<Rotation> rotation) {
    return std::make_unique<FileOutput>(std::move(sink), sync, std::move(rotation));
}

std::unique_ptr<Output> make_path_output(Pattern path, FileTable &files, bool sync,
                                         std::unique_ptr<Rotation> rotation) {
    return std::make_unique<PathOutput>(std::move(path), files, sync, std::move(rotation));
}

std::unique_ptr<Output> make_pipe_output(std::string command) {
    return std::make_unique<PipeOutput>(std::move(command));
}

std::unique_ptr<Output> make_discard_output() {
    return std::make_unique<DiscardOutput>();
}

}  // namespace gravel::log::detail
