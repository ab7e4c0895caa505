// Whole-file replacement that a crash cannot tear: the new content goes to a fresh temporary
// file beside the target (mode 0600, created exclusively, so no link is followed), is flushed
// to disk, and is renamed over the target; the directory is flushed last. A failure at any
// step removes the temporary file and leaves the old file as it was. A crash leaves either
// the old or the new file under the target's name, never a mix, and at most a temporary file,
// which the next replacement of the same target sweeps away.
//
// Writers of one directory, in this process or in others, take turns: each holds an exclusive
// lock on the directory itself from before it creates its temporary file until after the
// rename and the sweep. So while a writer holds the lock, every temporary file of the target
// in the directory was left by a writer that died, and the sweep may remove all of them. The
// kernel drops the lock of a process that dies, so a crash never blocks the next writer.
//
// Every system call goes through `FileOps`, so a test can make any step fail.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
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

// The system calls a replacement makes. Each returns what the system call returns and sets
// errno as it does.
struct FileOps {
    int (*open_dir)(const char *path);                               // the directory, for lock and fsync
    int (*lock)(int fd, int operation);                              // flock
    int (*create_at)(int dir_fd, const char *name);                  // the temporary file
    ssize_t (*write)(int fd, const void *data, size_t size);         // write
    int (*fsync)(int fd);                                            // fsync, file and directory
    int (*rename_at)(int dir_fd, const char *from, const char *to);  // renameat within the directory
};

namespace detail {

// Temporary files are "<target name>.tmp.XXXXXX": this many characters follow the dot.
inline constexpr size_t kTempSuffixLength = 6;
inline constexpr char kTempMarker[] = ".tmp.";
// Names tried before giving up when every one of them is taken (only by foreign files).
inline constexpr int kNameAttempts = 64;

inline int system_open_dir(const char *path) {
    return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}
inline int system_lock(int fd, int operation) {
    return ::flock(fd, operation);
}
inline int system_create_at(int dir_fd, const char *name) {
    return ::openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
}
inline ssize_t system_write(int fd, const void *data, size_t size) {
    return ::write(fd, data, size);
}
inline int system_fsync(int fd) {
    return ::fsync(fd);
}
inline int system_rename_at(int dir_fd, const char *from, const char *to) {
    return ::renameat(dir_fd, from, dir_fd, to);
}

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

inline int write_all(const FileOps &ops, int fd, const char *data, size_t size) noexcept {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ops.write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Takes the directory's lock, waiting for the writer that holds it.
inline int lock_directory(const FileOps &ops, int dir_fd) noexcept {
    for (;;) {
        if (ops.lock(dir_fd, LOCK_EX) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

// Removes the temporary files of one target; `prefix` is "<target name>.tmp.". Called with
// the directory's lock held, when no live writer has a temporary file there.
inline void sweep_stale(int dir_fd, const std::string &prefix) noexcept {
    const int list_fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (list_fd < 0) return;
    DIR *d = ::fdopendir(list_fd);
    if (d == nullptr) {
        ::close(list_fd);
        return;
    }
    while (const dirent *e = ::readdir(d)) {
        const size_t len = std::strlen(e->d_name);
        if (len == prefix.size() + kTempSuffixLength && std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) {
            (void)::unlinkat(dir_fd, e->d_name, 0);
        }
    }
    ::closedir(d);
}

// Writes a fresh suffix into the last kTempSuffixLength characters of `name`.
inline void fill_suffix(std::string &name, uint64_t &state) noexcept {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (size_t i = name.size() - kTempSuffixLength; i < name.size(); ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;  // a 64-bit LCG step
        name[i] = kAlphabet[(state >> 33) % (sizeof kAlphabet - 1)];
    }
}

}  // namespace detail

inline const FileOps &system_file_ops() noexcept {
    static constexpr FileOps ops{detail::system_open_dir, detail::system_lock,  detail::system_create_at,
                                 detail::system_write,    detail::system_fsync, detail::system_rename_at};
    return ops;
}

inline ReplaceResult replace_atomically(const char *path, const void *data, size_t size,
                                        const FileOps &ops = system_file_ops()) noexcept {
    ReplaceResult result;
    std::string dir;
    std::string name;
    std::string prefix;
    std::string temp;
    try {
        const std::string target(path);
        const size_t slash = target.rfind('/');
        dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
        name = slash == std::string::npos ? target : target.substr(slash + 1);
        prefix = name + detail::kTempMarker;
        temp = prefix + std::string(detail::kTempSuffixLength, 'X');
    } catch (...) {
        result.error = ENOMEM;
        return result;
    }

    detail::Fd dir_fd(ops.open_dir(dir.c_str()));
    if (dir_fd.get() < 0) {
        result.error = errno;
        return result;
    }
    if ((result.error = detail::lock_directory(ops, dir_fd.get())) != 0) return result;
    // What a writer that died left is in the way of nobody now; removing it first keeps the
    // directory at no more than one temporary file of this target.
    detail::sweep_stale(dir_fd.get(), prefix);

    uint64_t state = static_cast<uint64_t>(::getpid()) ^ reinterpret_cast<uintptr_t>(&state) ^
                     static_cast<uint64_t>(::time(nullptr)) << 20;
    int fd_value = -1;
    for (int attempt = 0; attempt < detail::kNameAttempts && fd_value < 0; ++attempt) {
        detail::fill_suffix(temp, state);
        fd_value = ops.create_at(dir_fd.get(), temp.c_str());
        if (fd_value < 0 && errno != EEXIST) break;
    }
    detail::Fd fd(fd_value);
    if (fd.get() < 0) {
        result.error = errno;
        return result;
    }
    result.created = true;

    // The creation mode is narrowed by the umask; the file is the owner's to read and write.
    int err = ::fchmod(fd.get(), S_IRUSR | S_IWUSR) == 0 ? 0 : errno;
    if (err == 0) err = detail::write_all(ops, fd.get(), static_cast<const char *>(data), size);
    if (err == 0 && ops.fsync(fd.get()) != 0) err = errno;
    const int close_err = fd.close_checked();
    if (err == 0) err = close_err;
    if (err == 0 && ops.rename_at(dir_fd.get(), temp.c_str(), name.c_str()) != 0) err = errno;
    if (err != 0) {
        (void)::unlinkat(dir_fd.get(), temp.c_str(), 0);
        result.error = err;
        return result;
    }
    // The rename is durable once the directory is flushed. Some file systems refuse to flush
    // a directory; the new file is in place all the same, so that is not a failure.
    (void)ops.fsync(dir_fd.get());
    return result;  // closing the directory releases its lock
}

}  // namespace gravel::file
