// Whole-file replacement that a crash cannot tear: the new content goes to a fresh temporary
// file beside the target (mode 0600, created exclusively, so no link is followed), is flushed
// to disk, and is renamed over the target; the directory is flushed last. A failure at any
// step removes the temporary file and leaves the old file as it was. A crash leaves either
// the old or the new file under the target's name, never a mix, and at most a temporary file,
// which the next successful replacement of the same target sweeps away.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gravel::file {

// How a replacement went: 0 when the new content is in place, otherwise the errno of the
// first failing step; `created` tells whether the temporary file could be made at all.
struct ReplaceResult {
    int error = 0;
    bool created = false;
};

namespace detail {

// Temporary files are "<target name>.tmp.XXXXXX": this many characters follow the dot.
inline constexpr size_t kTempSuffixLength = 6;
inline constexpr char kTempMarker[] = ".tmp.";

class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const noexcept { return fd_; }
    // Closes now and reports the close's own failure, which for a written file may be the
    // first sign of a lost write.
    int close_checked() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) != 0 ? errno : 0;
    }

private:
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_;
};

inline int write_all(int fd, const char *data, size_t size) noexcept {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Removes temporary files that earlier replacements of the same target left behind when a
// crash stopped them; `prefix` is "<target name>.tmp.". A writer holds an exclusive lock on its
// temporary file until it is renamed, so a file that can be locked belongs to nobody alive; one
// that cannot is another writer's work in progress and stays.
inline void sweep_stale(const char *dir, const std::string &prefix) noexcept {
    DIR *d = ::opendir(dir);
    if (d == nullptr) return;
    while (const dirent *e = ::readdir(d)) {
        const size_t len = std::strlen(e->d_name);
        if (len != prefix.size() + kTempSuffixLength || std::strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) {
            continue;
        }
        Fd probe(::openat(::dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (probe.get() >= 0 && ::flock(probe.get(), LOCK_EX | LOCK_NB) == 0) {
            (void)::unlinkat(::dirfd(d), e->d_name, 0);
        }
    }
    ::closedir(d);
}

}  // namespace detail

inline ReplaceResult replace_atomically(const char *path, const void *data, size_t size) noexcept {
    ReplaceResult result;
    std::string dir;
    std::string prefix;
    std::string temp;
    try {
        const std::string target(path);
        const size_t slash = target.rfind('/');
        dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
        prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + detail::kTempMarker;
        temp = target + detail::kTempMarker + std::string(detail::kTempSuffixLength, 'X');
    } catch (...) {
        result.error = ENOMEM;
        return result;
    }

    // A sweep by a concurrent writer can only take a temporary file in the instant between its
    // creation and its lock; the replacement then starts again with a new one.
    int err = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::memcpy(temp.data() + temp.size() - detail::kTempSuffixLength, "XXXXXX", detail::kTempSuffixLength);
        detail::Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
        if (fd.get() < 0) {
            result.error = errno;
            return result;
        }
        result.created = true;
        // The lock lives on a second descriptor so that it outlasts the checked close below and
        // covers the rename.
        detail::Fd lock(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
        err = lock.get() < 0 || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0 ? errno : 0;
        if (err == 0 && ::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0) err = errno;
        if (err == 0) err = detail::write_all(fd.get(), static_cast<const char *>(data), size);
        if (err == 0 && ::fsync(fd.get()) != 0) err = errno;
        const int close_err = fd.close_checked();
        if (err == 0) err = close_err;
        if (err == 0 && ::rename(temp.c_str(), path) != 0) err = errno;
        if (err == 0) break;
        (void)::unlink(temp.c_str());
        if (err != ENOENT && err != EWOULDBLOCK) break;
    }
    if (err != 0) {
        result.error = err;
        return result;
    }
    // The rename is durable once the directory is flushed. Some file systems refuse to flush
    // a directory; the new file is in place all the same, so that is not a failure.
    detail::Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.get() >= 0) (void)::fsync(dfd.get());
    detail::sweep_stale(dir.c_str(), prefix);
    return result;
}

}  // namespace gravel::file
