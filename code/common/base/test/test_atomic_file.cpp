// Whole-file replacement: every failing step leaves the old file and no temporary file, and
// writers of one directory never take each other's temporary files.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "edge_atomic_file.hpp"
#include "gravel_test_support.hpp"

using gravel::file::FileOps;
using gravel::file::replace_atomically;
using gravel::file::ReplaceResult;
using gravel::file::system_file_ops;
using gravel::test::list_dir;
using gravel::test::read_file;
using gravel::test::TempDir;
using gravel::test::write_file;

namespace {

// The step a test makes fail, and the errno it fails with.
enum class Step {
    OpenDir,
    Lock,
    Create,
    Write,
    ShortWrite,
    Fsync,
    Rename
};
int g_errno = 0;
int g_calls = 0;  // calls of the step under test, counted from 0 at each test's start

int fail_with(int err) {
    errno = err;
    return -1;
}

FileOps failing_ops(Step step, int err) {
    g_errno = err;
    g_calls = 0;
    FileOps ops = system_file_ops();
    switch (step) {
        case Step::OpenDir:
            ops.open_dir = [](const char *) { return fail_with(g_errno); };
            break;
        case Step::Lock:
            ops.lock = [](int, int) { return fail_with(g_errno); };
            break;
        case Step::Create:
            ops.create_at = [](int, const char *) { return fail_with(g_errno); };
            break;
        case Step::Write:
            // The first piece goes out, the second fails: a half-written temporary file.
            ops.write = [](int fd, const void *data, size_t size) -> ssize_t {
                return ++g_calls == 1 ? ::write(fd, data, size / 2) : fail_with(g_errno);
            };
            break;
        case Step::ShortWrite:
            ops.write = [](int, const void *, size_t) -> ssize_t { return 0; };
            break;
        case Step::Fsync:
            ops.fsync = [](int) { return fail_with(g_errno); };
            break;
        case Step::Rename:
            ops.rename_at = [](int, const char *, const char *) { return fail_with(g_errno); };
            break;
    }
    return ops;
}

struct FailureCase {
    const char *name;
    Step step;
    int injected;
    int reported;  // the errno the replacement gives back
    bool created;  // whether a temporary file was made
};

class AtomicFileFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(AtomicFileFailure, LeavesTheOldFileAndNoTemporary) {
    const FailureCase &c = GetParam();
    TempDir dir;
    const std::string target = dir.file("store.ks");
    write_file(target, "old=1\n");
    const std::string text = "new=2\nmore=3\n";

    const ReplaceResult r =
        replace_atomically(target.c_str(), text.data(), text.size(), failing_ops(c.step, c.injected));
    EXPECT_EQ(r.error, c.reported);
    EXPECT_EQ(r.created, c.created);
    EXPECT_EQ(read_file(target), "old=1\n");
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"store.ks"});

    // The failure held nothing: the next replacement of the same target goes through.
    ASSERT_EQ(replace_atomically(target.c_str(), text.data(), text.size()).error, 0);
    EXPECT_EQ(read_file(target), text);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"store.ks"});
}

INSTANTIATE_TEST_SUITE_P(EveryStep, AtomicFileFailure,
                         ::testing::Values(FailureCase{"OpenDir", Step::OpenDir, EACCES, EACCES, false},
                                           FailureCase{"Lock", Step::Lock, ENOLCK, ENOLCK, false},
                                           FailureCase{"Create", Step::Create, ENOSPC, ENOSPC, false},
                                           FailureCase{"Write", Step::Write, ENOSPC, ENOSPC, true},
                                           FailureCase{"ShortWrite", Step::ShortWrite, 0, EIO, true},
                                           FailureCase{"Fsync", Step::Fsync, EIO, EIO, true},
                                           FailureCase{"Rename", Step::Rename, EXDEV, EXDEV, true}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(AtomicFile, InterruptedLockIsTakenAgain) {
    TempDir dir;
    const std::string target = dir.file("store.ks");
    FileOps ops = system_file_ops();
    g_calls = 0;
    ops.lock = [](int fd, int operation) { return ++g_calls == 1 ? fail_with(EINTR) : ::flock(fd, operation); };
    ASSERT_EQ(replace_atomically(target.c_str(), "a=1\n", 4, ops).error, 0);
    EXPECT_EQ(g_calls, 2);
    EXPECT_EQ(read_file(target), "a=1\n");
}

TEST(AtomicFile, ANameTakenByAForeignFileIsPassedOver) {
    TempDir dir;
    const std::string target = dir.file("store.ks");
    FileOps ops = system_file_ops();
    g_calls = 0;
    ops.create_at = [](int dir_fd, const char *name) {
        return ++g_calls <= 3 ? fail_with(EEXIST) : system_file_ops().create_at(dir_fd, name);
    };
    ASSERT_EQ(replace_atomically(target.c_str(), "a=1\n", 4, ops).error, 0);
    EXPECT_EQ(g_calls, 4);
    EXPECT_EQ(read_file(target), "a=1\n");
}

// Two processes replace one file many times each: every replacement succeeds and the file is
// always one writer's whole text. Processes hold separate locks, unlike threads of one process.
TEST(AtomicFile, WritersInTwoProcessesTakeTurns) {
    TempDir dir;
    const std::string target = dir.file("shared.ks");
    const std::string texts[2] = {std::string(4096, 'a') + "\n", std::string(8192, 'b') + "\n"};
    pid_t children[2];
    for (int w = 0; w < 2; ++w) {
        children[w] = ::fork();
        ASSERT_GE(children[w], 0);
        if (children[w] == 0) {
            int failures = 0;
            for (int i = 0; i < 200; ++i) {
                if (replace_atomically(target.c_str(), texts[w].data(), texts[w].size()).error != 0) ++failures;
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
    }
    // Meanwhile the file, once it exists, always holds one of the two texts whole.
    int torn = 0;
    for (int i = 0; i < 400; ++i) {
        const std::string now = gravel::test::exists(target) ? read_file(target) : texts[0];
        if (now != texts[0] && now != texts[1]) ++torn;
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw a failure";
    }
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"shared.ks"});
}

TEST(AtomicFile, WritersInTwoThreadsAllSucceed) {
    TempDir dir;
    const std::string target = dir.file("shared.ks");
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            const std::string text(100 + w, 'x');
            for (int i = 0; i < 300; ++i) {
                if (replace_atomically(target.c_str(), text.data(), text.size()).error != 0) ++failures;
            }
        });
    }
    for (auto &t : writers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"shared.ks"});
}

}  // namespace
