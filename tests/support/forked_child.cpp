#include "forked_child.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>

namespace gravel::test {

bool ReportPipe::line(const std::string &text) const {
    const std::string out = text + "\n";
    if (out.size() > PIPE_BUF) return false;
    for (;;) {
        const ssize_t n = ::write(fd_, out.data(), out.size());
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(out.size());
    }
}

ForkedChild::ForkedChild(const std::function<int(const ReportPipe &)> &body) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t parent = ::getpid();
    std::fflush(nullptr);  // nothing buffered is written twice
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        ::close(fds[0]);
        // Dies with the test, even when the test dies before it can kill it.
        (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(101);
        int code = 100;
        try {
            code = body(ReportPipe(fds[1]));
        } catch (...) {}
        ::_exit(code);
    }
    ::close(fds[1]);
    read_fd_ = fds[0];
}

ForkedChild::~ForkedChild() {
    if (!reaped_ && pid_ > 0) (void)kill_now();
    if (read_fd_ >= 0) ::close(read_fd_);
}

std::optional<std::string> ForkedChild::next_line(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        if (read_fd_ < 0) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() < 0) return std::nullopt;
        pollfd p{read_fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buf[4096];
        const ssize_t n = ::read(read_fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(read_fd_);
            read_fd_ = -1;
            continue;  // what is pending has no line feed: a child never writes such a piece
        }
        pending_.append(buf, static_cast<size_t>(n));
    }
}

void ForkedChild::reap(int options) {
    if (reaped_) return;
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid_, &status, options);
    } while (got < 0 && errno == EINTR);
    if (got == pid_) {
        reaped_ = true;
        status_ = status;
    } else if (got < 0) {
        reaped_ = true;  // nothing left to wait for
        status_ = 0;
    }
}

bool ForkedChild::kill_now() {
    if (reaped_) return false;
    (void)::kill(pid_, SIGKILL);
    reap(0);
    return WIFSIGNALED(status_) && WTERMSIG(status_) == SIGKILL;
}

bool ForkedChild::ended() {
    reap(WNOHANG);
    return reaped_;
}

int ForkedChild::wait_exit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!ended()) {
        if (std::chrono::steady_clock::now() >= end) {
            (void)kill_now();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::vector<std::string> ForkedChild::remaining_lines() {
    std::vector<std::string> lines;
    // The child is gone, so the pipe ends soon; the limit only guards against a pipe that a
    // grandchild still holds open.
    while (auto line = next_line(std::chrono::seconds(5))) lines.push_back(*line);
    return lines;
}

unsigned fault_seed() {
    if (const char *text = std::getenv("GRAVEL_FAULT_SEED"); text != nullptr && text[0] != '\0') {
        return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
    }
    return std::random_device{}();
}

int env_count(const char *name, int fallback) {
    const char *text = std::getenv(name);
    if (text == nullptr || text[0] == '\0') return fallback;
    const long n = std::strtol(text, nullptr, 10);
    return n > 0 && n <= INT_MAX ? static_cast<int>(n) : fallback;
}

}  // namespace gravel::test
