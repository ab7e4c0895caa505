// A child process forked from a test: it reports what it did over a pipe, one line per event,
// and the test may kill it at any instant. Lines are written whole or not at all, so what the
// test reads after a kill is exactly what the child had reported.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace gravel::test {

// The child's end of the pipe. Each line goes out in one write of at most PIPE_BUF bytes,
// which the kernel never splits.
class ReportPipe {
public:
    explicit ReportPipe(int fd) : fd_(fd) {}
    // False when the line (with its line feed) is longer than PIPE_BUF or the write failed.
    bool line(const std::string &text) const;

private:
    int fd_;
};

class ForkedChild {
public:
    // Forks; the child runs `body` and leaves with _exit(its result) (100 when it throws): it
    // never returns into the test, runs no exit handlers and dies with the test's process.
    explicit ForkedChild(const std::function<int(const ReportPipe &)> &body);
    // Kills and reaps a child that is still there.
    ~ForkedChild();
    ForkedChild(const ForkedChild &) = delete;
    ForkedChild &operator=(const ForkedChild &) = delete;

    pid_t pid() const { return pid_; }
    // The next line without its line feed, waiting at most `limit`; nullopt at the end of the
    // pipe (the child is gone) or when the time is up.
    std::optional<std::string> next_line(std::chrono::milliseconds limit);
    // Sends SIGKILL and reaps the child; true when the signal is what ended it (false when it
    // had already exited by itself).
    bool kill_now();
    // Waits at most `limit` for the child to exit by itself: its exit status, or -1 when it
    // had to be killed or died of a signal.
    int wait_exit(std::chrono::milliseconds limit);
    // True once the child has ended (it is reaped then).
    bool ended();
    // Every line not read yet, up to the end of the pipe; for a child that has ended.
    std::vector<std::string> remaining_lines();

private:
    void reap(int options);
    pid_t pid_ = -1;
    int read_fd_ = -1;
    std::string pending_;
    bool reaped_ = false;
    int status_ = 0;
};

// The seed of a test's random choices: $GRAVEL_FAULT_SEED when it is set, else a fresh one.
// Tests print it so that a failure can be run again with the same choices.
unsigned fault_seed();
// The value of the environment variable `name` as a positive count, else `fallback`.
int env_count(const char *name, int fallback);

}  // namespace gravel::test
