// Helpers shared by the kit's tests: temporary directories and work dirs, files, log capture.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace gravel::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its content at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool exists(const std::string &path);
void make_dirs(const std::string &path);

// The log configuration tests use: every level of the kit's category to `log_path`, one
// message per line as "LEVEL message".
std::string capture_log_conf(const std::string &log_path);

// A work dir with conf/rootcert.pem and a conf/sdk_log.conf that captures the kit's log in
// <dir>/log/sdk.log.
class WorkDir : public TempDir {
public:
    WorkDir();
    std::string log_path() const { return file("log/sdk.log"); }
    std::string log() const;
    std::vector<std::string> log_lines() const;
    // True when some log line equals `line` exactly ("INFO base init success.").
    bool logged(const std::string &line) const;
    size_t count_logged(const std::string &line) const;
};

// Polls `done` every 10 ms until it holds or `limit` passes; returns its last answer.
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit);

}  // namespace gravel::test
