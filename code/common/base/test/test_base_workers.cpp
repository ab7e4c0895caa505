// The retry worker and the schedule job: timing, stopping and their log lines. Delays are
// kept short by configuration (a max delay or interval of 1 s), never by changing the kit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include <gravel/edge_base.h>

#include "gravel_test_support.hpp"
#include "runtime_test.hpp"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// What the worker's thread saw: when each call came and with which argument.
struct Calls {
    std::mutex mu;
    std::vector<Clock::time_point> at;
    std::vector<void *> args;
    uint32_t status = 1;  // what the operation returns
    long sleep = 0;       // what a schedule job stores (0: leave untouched)
    milliseconds run_time{0};

    void record(void *arg) {
        std::lock_guard lk(mu);
        at.push_back(Clock::now());
        args.push_back(arg);
    }
    size_t count() {
        std::lock_guard lk(mu);
        return at.size();
    }
    std::vector<double> gaps_seconds(Clock::time_point start) {
        std::lock_guard lk(mu);
        std::vector<double> gaps;
        Clock::time_point prev = start;
        for (auto t : at) {
            gaps.push_back(std::chrono::duration<double>(t - prev).count());
            prev = t;
        }
        return gaps;
    }
};

Calls *g_calls = nullptr;

uint32_t retry_op(void *arg) {
    g_calls->record(arg);
    return g_calls->status;
}

uint32_t job_fn(long *sleep, void *arg) {
    g_calls->record(arg);
    if (g_calls->run_time.count() > 0) std::this_thread::sleep_for(g_calls->run_time);
    if (g_calls->sleep != 0) *sleep = g_calls->sleep;
    return g_calls->status;
}

class Workers : public gravel::test::BaseRuntimeTest {
protected:
    void SetUp() override {
        g_calls = &calls_;
        BaseRuntimeTest::SetUp();
    }
    void TearDown() override {
        BaseRuntimeTest::TearDown();
        g_calls = nullptr;
    }
    Calls calls_;
};

// Deletes a worker when a test ends, also when an assertion ended it early, so no worker
// thread outlives the runtime.
struct RetryGuard {
    edge_base_retry_t *worker;
    ~RetryGuard() { edge_base_retry_delete(worker); }
};
struct JobGuard {
    edge_base_schedule_job_t *job;
    ~JobGuard() { edge_base_schedule_job_delete(job); }
};

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace

// ---- retry worker -------------------------------------------------------------------------

TEST(RetryDelay, DoublesUpToTheCeiling) {
    struct Case {
        uint32_t max_delay;
        std::vector<uint32_t> series;
    } cases[] = {{128, {2, 4, 8, 16, 32, 64, 128, 128}}, {1, {1, 1, 1}}, {3, {2, 3, 3}}, {0xFFFFFFFFu, {2, 4}}};
    for (const auto &c : cases) {
        edge_base_retry_t worker{};
        worker.max_delay = c.max_delay;
        for (uint32_t want : c.series) EXPECT_EQ(edge_base_retry_calc_delay(&worker), want) << c.max_delay;
        EXPECT_EQ(worker.delay, c.series.back());
    }
    edge_base_retry_t big{};
    big.max_delay = 0xFFFFFFFFu;
    big.delay = 0x90000000u;  // doubling must not wrap below the ceiling
    EXPECT_EQ(edge_base_retry_calc_delay(&big), 0xFFFFFFFFu);
    EXPECT_EQ(edge_base_retry_calc_delay(nullptr), 0u);
}

TEST_F(Workers, RetryArgumentErrors) {
    EXPECT_EQ(edge_base_retry_create(nullptr, pool_), nullptr);
    EXPECT_EQ(edge_base_retry_create("", pool_), nullptr);
    EXPECT_EQ(edge_base_retry_create("w", nullptr), nullptr);
    edge_base_retry_t *w = edge_base_retry_create("w", pool_);
    RetryGuard guard{w};
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(logged("INFO retry worker create, name:w"));
    struct Case {
        edge_base_retry_t *worker;
        edge_base_retry_fn op;
        int32_t max_retries;
        uint32_t max_delay;
    } bad[] = {{nullptr, retry_op, -1, 1}, {w, nullptr, -1, 1}, {w, retry_op, 0, 1}, {w, retry_op, -1, 0}};
    for (const auto &c : bad)
        EXPECT_EQ(edge_base_retry_config(c.worker, c.op, c.max_retries, c.max_delay, 0), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_retry_start(nullptr, nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_retry_stop(nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_retry_success_notify(nullptr), EDGE_ERR_MISSING);
    edge_base_retry_delete(nullptr);
    // Stopping a worker that never started only says so.
    EXPECT_EQ(edge_base_retry_stop(w), EDGE_OK);
    EXPECT_TRUE(logged("WARN retry worker w is already stop."));
}

TEST_F(Workers, RetryCallsAtOnceThenAfterEachDelayUntilTheLimit) {
    edge_base_retry_t *w = edge_base_retry_create("limited", pool_);
    RetryGuard guard{w};
    ASSERT_EQ(edge_base_retry_config(w, retry_op, 2, 1, 0), EDGE_OK);
    const auto start = Clock::now();
    int arg = 0;
    ASSERT_EQ(edge_base_retry_start(w, &arg), EDGE_OK);
    ASSERT_TRUE(
        gravel::test::wait_until([&] { return logged("INFO retry worker:limited exit."); }, milliseconds(8000)));
    const auto gaps = calls_.gaps_seconds(start);
    ASSERT_EQ(gaps.size(), 3u);  // max retries 2: at most 3 calls
    EXPECT_LT(gaps[0], 0.5);     // the first call comes at once
    for (size_t i = 1; i < gaps.size(); ++i) {
        EXPECT_GT(gaps[i], 0.9) << i;
        EXPECT_LT(gaps[i], 2.5) << i;
    }
    EXPECT_EQ(calls_.args[0], &arg);
    EXPECT_TRUE(logged("INFO retry worker:limited wait for 1s and start 1 try"));
    EXPECT_TRUE(logged("INFO retry worker:limited wait for 1s and start 2 try"));
    EXPECT_TRUE(logged("ERROR retry worker:limited max retry reached."));
    // The runner ended by itself: a stop only says so, and delete is safe.
    EXPECT_EQ(edge_base_retry_stop(w), EDGE_OK);
    EXPECT_TRUE(logged("WARN retry worker limited is already stop."));
}

TEST_F(Workers, RetryStopsOnFirstSuccessWithoutWaiting) {
    calls_.status = 0;
    edge_base_retry_t *w = edge_base_retry_create("quick", pool_);
    RetryGuard guard{w};
    ASSERT_EQ(edge_base_retry_config(w, retry_op, -1, 128, 1), EDGE_OK);
    ASSERT_EQ(edge_base_retry_start(w, nullptr), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return logged("INFO retry worker:quick exit."); }, milliseconds(3000)));
    EXPECT_EQ(calls_.count(), 1u);
    for (const auto &line : work_.log_lines()) EXPECT_EQ(line.find("wait for"), std::string::npos) << line;
}

TEST_F(Workers, RetryGoesOnAfterSuccessWhenNotAskedToStop) {
    calls_.status = 0;
    edge_base_retry_t *w = edge_base_retry_create("again", pool_);
    RetryGuard guard{w};
    ASSERT_EQ(edge_base_retry_config(w, retry_op, -1, 1, 0), EDGE_OK);
    ASSERT_EQ(edge_base_retry_start(w, nullptr), EDGE_OK);
    EXPECT_TRUE(gravel::test::wait_until([&] { return calls_.count() >= 2; }, milliseconds(3000)));
    EXPECT_EQ(edge_base_retry_stop(w), EDGE_OK);
    const size_t n = calls_.count();
    std::this_thread::sleep_for(milliseconds(1300));
    EXPECT_EQ(calls_.count(), n);  // no call after stop returned
    EXPECT_TRUE(logged("INFO retry worker again exited, ret:0"));
}

TEST_F(Workers, RetryStopInterruptsAWaitWithinAStep) {
    edge_base_retry_t *w = edge_base_retry_create("slow", pool_);
    RetryGuard guard{w};
    ASSERT_EQ(edge_base_retry_config(w, retry_op, -1, 64, 0), EDGE_OK);
    int first = 1, second = 2;
    ASSERT_EQ(edge_base_retry_start(w, &first), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return logged("INFO retry worker:slow wait for 2s and start 1 try"); },
                                         milliseconds(3000)));
    EXPECT_EQ(edge_base_retry_start(w, &second), EDGE_OK);  // already running: no change
    const auto t = Clock::now();
    EXPECT_EQ(edge_base_retry_success_notify(w), EDGE_OK);
    EXPECT_LT(seconds_since(t), 1.0);
    EXPECT_EQ(calls_.count(), 1u);
    EXPECT_EQ(calls_.args[0], &first);
    EXPECT_TRUE(logged("INFO retry worker:slow notify success."));
    EXPECT_TRUE(logged("INFO retry worker slow exited, ret:0"));
    EXPECT_EQ(w->thread, nullptr);
    EXPECT_EQ(w->try_count, 0u);
    EXPECT_EQ(w->delay, 0u);

    // A stopped worker starts again with a fresh series and its new argument.
    ASSERT_EQ(edge_base_retry_start(w, &second), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return calls_.count() == 2; }, milliseconds(3000)));
    EXPECT_EQ(calls_.args[1], &second);
}

// ---- schedule job -------------------------------------------------------------------------

TEST_F(Workers, ScheduleArgumentErrors) {
    EXPECT_EQ(edge_base_schedule_job_create(nullptr, pool_), nullptr);
    EXPECT_EQ(edge_base_schedule_job_create("", pool_), nullptr);
    EXPECT_EQ(edge_base_schedule_job_create("j", nullptr), nullptr);
    edge_base_schedule_job_t *j = edge_base_schedule_job_create("j", pool_);
    JobGuard guard{j};
    ASSERT_NE(j, nullptr);
    EXPECT_TRUE(logged("INFO schedule job create, name:j"));
    struct Case {
        edge_base_schedule_job_t *job;
        edge_base_schedule_job_fn fn;
        long interval, exception_sleep;
    } bad[] = {{nullptr, job_fn, 1, 1}, {j, nullptr, 1, 1}, {j, job_fn, 0, 1}, {j, job_fn, 1, 0}};
    for (const auto &c : bad) {
        EXPECT_EQ(edge_base_schedule_job_config(c.job, c.fn, c.interval, c.exception_sleep), EDGE_ERR_MISSING);
    }
    EXPECT_EQ(edge_base_schedule_job_start(nullptr, nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_schedule_job_stop(nullptr), EDGE_ERR_MISSING);
    edge_base_schedule_job_delete(nullptr);
    EXPECT_EQ(edge_base_schedule_job_stop(j), EDGE_OK);
    EXPECT_TRUE(logged("WARN schedule job j is already stop."));
}

TEST_F(Workers, ScheduleRunsAfterTheIntervalThenAfterTheJobsOwnSleep) {
    calls_.status = 0;
    calls_.sleep = 1;
    edge_base_schedule_job_t *j = edge_base_schedule_job_create("tick", pool_);
    JobGuard guard{j};
    ASSERT_EQ(edge_base_schedule_job_config(j, job_fn, 1, 5), EDGE_OK);
    const auto start = Clock::now();
    ASSERT_EQ(edge_base_schedule_job_start(j, &calls_), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return calls_.count() >= 3; }, milliseconds(6000)));
    ASSERT_EQ(edge_base_schedule_job_stop(j), EDGE_OK);
    const auto gaps = calls_.gaps_seconds(start);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_GT(gaps[i], 0.9) << i;
        EXPECT_LT(gaps[i], 2.5) << i;
    }
    EXPECT_EQ(calls_.args[0], &calls_);
    EXPECT_GE(work_.count_logged("INFO jobName:tick sleep 1s."), 3u);
    EXPECT_FALSE(logged("INFO invalid sleep time: 1, will use exception_sleep."));
    EXPECT_TRUE(logged("INFO job worker:tick exit."));
    EXPECT_TRUE(logged("INFO schedule job tick exited, ret:0"));
    // Stop cleared the timing: it has to be configured again.
    EXPECT_EQ(j->interval, 0);
    EXPECT_EQ(j->exception_sleep, 0);
    EXPECT_EQ(j->thread, nullptr);
}

TEST_F(Workers, ScheduleFallsBackToTheExceptionSleep) {
    struct Case {
        uint32_t status;
        long sleep;  // stored by the job; 0 leaves the variable as it was
        long logged_sleep;
    } cases[] = {{7, 0, 1}, {0, -3, -3}};  // a failed run; a negative sleep (zero: below)
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto &c = cases[i];
        calls_.status = c.status;
        calls_.sleep = c.sleep;
        edge_base_schedule_job_t *j = edge_base_schedule_job_create("fallback", pool_);
        JobGuard guard{j};
        ASSERT_EQ(edge_base_schedule_job_config(j, job_fn, 1, 1), EDGE_OK);
        const size_t before = calls_.count();
        ASSERT_EQ(edge_base_schedule_job_start(j, nullptr), EDGE_OK);
        ASSERT_TRUE(gravel::test::wait_until([&] { return calls_.count() >= before + 2; }, milliseconds(6000))) << i;
        ASSERT_EQ(edge_base_schedule_job_stop(j), EDGE_OK);
        EXPECT_TRUE(
            logged("INFO invalid sleep time: " + std::to_string(c.logged_sleep) + ", will use exception_sleep."))
            << i;
    }
}

namespace {
uint32_t zero_sleep_job(long *sleep, void *) {
    g_calls->record(nullptr);
    *sleep = 0;
    return 0;
}
}  // namespace

TEST_F(Workers, ScheduleTreatsAZeroSleepAsInvalid) {
    edge_base_schedule_job_t *j = edge_base_schedule_job_create("zero", pool_);
    JobGuard guard{j};
    ASSERT_EQ(edge_base_schedule_job_config(j, zero_sleep_job, 1, 1), EDGE_OK);
    ASSERT_EQ(edge_base_schedule_job_start(j, nullptr), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return calls_.count() >= 2; }, milliseconds(6000)));
    ASSERT_EQ(edge_base_schedule_job_stop(j), EDGE_OK);
    EXPECT_TRUE(logged("INFO invalid sleep time: 0, will use exception_sleep."));
    EXPECT_GE(work_.count_logged("INFO jobName:zero sleep 1s."), 2u);  // the exception sleep, 1 s
}

TEST_F(Workers, ScheduleStopDuringALongWaitRunsTheJobOnceMore) {
    calls_.status = 0;
    calls_.sleep = 60;
    calls_.run_time = milliseconds(200);
    edge_base_schedule_job_t *j = edge_base_schedule_job_create("long", pool_);
    JobGuard guard{j};
    ASSERT_EQ(edge_base_schedule_job_config(j, job_fn, 60, 60), EDGE_OK);
    ASSERT_EQ(edge_base_schedule_job_start(j, nullptr), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return logged("INFO jobName:long sleep 60s."); }, milliseconds(3000)));
    const auto t = Clock::now();
    EXPECT_EQ(edge_base_schedule_job_stop(j), EDGE_OK);
    const double took = seconds_since(t);
    EXPECT_EQ(calls_.count(), 1u);  // the one last run
    EXPECT_GT(took, 0.19);          // stop waited for that run
    EXPECT_LT(took, 1.5);
}

namespace {
edge_base_retry_t *g_self_stopping = nullptr;
uint32_t notify_own_worker(void *) {
    g_calls->record(nullptr);
    // The operation reports its own success, as a connect callback on the worker's thread might.
    edge_base_retry_success_notify(g_self_stopping);
    std::this_thread::sleep_for(milliseconds(200));
    return 1;
}
edge_base_schedule_job_t *g_self_stopping_job = nullptr;
uint32_t stop_own_job(long *, void *) {
    g_calls->record(nullptr);
    edge_base_schedule_job_stop(g_self_stopping_job);
    std::this_thread::sleep_for(milliseconds(200));
    return 0;
}
}  // namespace

TEST_F(Workers, AWorkerStoppedFromItsOwnOperationEndsAndIsJoinedByItsOwner) {
    edge_base_retry_t *w = edge_base_retry_create("self", pool_);
    g_self_stopping = w;
    ASSERT_EQ(edge_base_retry_config(w, notify_own_worker, -1, 1, 0), EDGE_OK);
    ASSERT_EQ(edge_base_retry_start(w, nullptr), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return calls_.count() == 1; }, milliseconds(3000)));
    // Deleting while the operation still runs waits for the thread: nothing runs on freed memory.
    edge_base_retry_delete(w);
    EXPECT_EQ(calls_.count(), 1u);
    EXPECT_TRUE(logged("INFO retry worker:self exit."));

    edge_base_schedule_job_t *j = edge_base_schedule_job_create("selfjob", pool_);
    g_self_stopping_job = j;
    ASSERT_EQ(edge_base_schedule_job_config(j, stop_own_job, 1, 1), EDGE_OK);
    ASSERT_EQ(edge_base_schedule_job_start(j, nullptr), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return calls_.count() == 2; }, milliseconds(4000)));
    edge_base_schedule_job_delete(j);
    EXPECT_EQ(calls_.count(), 2u);
    EXPECT_TRUE(logged("INFO job worker:selfjob exit."));
}

namespace {
std::atomic<int> g_other_calls{0};
uint32_t other_retry_op(void *) {
    ++g_other_calls;
    return 1;
}
uint32_t other_job_fn(long *, void *) {
    ++g_other_calls;
    return 0;
}
}  // namespace

// Configuring a running worker is allowed: its runner reads the new configuration without a
// data race (ThreadSanitizer watches this test) and ends at its next look at the flag.
TEST_F(Workers, ConfiguringARunningWorkerEndsItsRunner) {
    g_other_calls = 0;
    edge_base_retry_t *w = edge_base_retry_create("reconf", pool_);
    RetryGuard retry_guard{w};
    ASSERT_EQ(edge_base_retry_config(w, retry_op, -1, 1, 0), EDGE_OK);
    ASSERT_EQ(edge_base_retry_start(w, nullptr), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return calls_.count() >= 1; }, milliseconds(3000)));
    ASSERT_EQ(edge_base_retry_config(w, other_retry_op, 5, 2, 1), EDGE_OK);
    EXPECT_TRUE(gravel::test::wait_until([&] { return logged("INFO retry worker:reconf exit."); }, milliseconds(3000)));

    calls_.status = 0;
    calls_.sleep = 1;
    edge_base_schedule_job_t *j = edge_base_schedule_job_create("rejob", pool_);
    JobGuard job_guard{j};
    ASSERT_EQ(edge_base_schedule_job_config(j, job_fn, 1, 1), EDGE_OK);
    const size_t before = calls_.count();
    ASSERT_EQ(edge_base_schedule_job_start(j, nullptr), EDGE_OK);
    ASSERT_TRUE(gravel::test::wait_until([&] { return calls_.count() > before; }, milliseconds(4000)));
    ASSERT_EQ(edge_base_schedule_job_config(j, other_job_fn, 3, 3), EDGE_OK);
    EXPECT_TRUE(gravel::test::wait_until([&] { return logged("INFO job worker:rejob exit."); }, milliseconds(4000)));
    // Ended by the configuration: the owner's stop only says so, and joins.
    EXPECT_EQ(edge_base_retry_stop(w), EDGE_OK);
    EXPECT_EQ(edge_base_schedule_job_stop(j), EDGE_OK);
    EXPECT_TRUE(logged("WARN retry worker reconf is already stop."));
    EXPECT_TRUE(logged("WARN schedule job rejob is already stop."));
    EXPECT_LE(g_other_calls.load(), 2);  // at most one call each that began after the change
}
