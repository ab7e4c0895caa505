// The sign loop on its schedule job: the next renewal at half the token's remaining lifetime,
// the exception sleep, retries after a failed sign, the token in holder and store after each
// renewal, and destroy while the daemon stalls the sign.
#include <atomic>
#include <chrono>
#include <limits>
#include <regex>
#include <thread>

#include "service_fixture.hpp"

using namespace httpconns_test;
using std::chrono::milliseconds;

namespace {

const std::string kSignPath = std::string("/v2/modules/") + kModuleId + "/sign";

int64_t now_ms() {
    return edge_base_time_now();
}

std::string sign_answer(const std::string &token, int64_t expires_at) {
    return R"({"token":")" + token + R"(","expires_at":)" + std::to_string(expires_at) + "}";
}

struct Renewal {
    long long expires_at;
    long now;
    long sleep;
};
std::vector<Renewal> renewals(const gravel::test::WorkDir &work) {
    static const std::regex shape("INFO expires_at:(-?[0-9]+), cur time:([0-9]+), sleep_time:(-?[0-9]+)");
    std::vector<Renewal> out;
    for (const auto &line : work.log_lines()) {
        std::smatch m;
        if (std::regex_match(line, m, shape)) out.push_back({std::stoll(m[1]), std::stol(m[2]), std::stol(m[3])});
    }
    return out;
}

class SignLoop : public DaemonTest {
protected:
    // The job's own configuration, shortened: first run after 1 s, exception sleep 1 s.
    void start_loop() {
        ASSERT_EQ(edge_base_schedule_job_config(mgr()->sign_job, edge_daemon_http_sign_runner, 1, 1), EDGE_OK);
        ASSERT_EQ(edge_daemon_http_start_loop(), EDGE_OK);
        EXPECT_TRUE(logged("INFO start daemon http connection loop."));
    }
    // Stops the job and joins its thread, so the holders may be read.
    void stop_loop() { ASSERT_EQ(edge_base_schedule_job_stop(mgr()->sign_job), EDGE_OK); }
    size_t signs() {
        size_t n = 0;
        for (const auto &r : peer().requests()) n += r.path == kSignPath ? 1 : 0;
        return n;
    }
};

}  // namespace

// The runner itself, on the test's thread: half the seconds left, in whole seconds.
TEST_F(SignLoop, TheNextRunComesAfterHalfTheTokensRemainingLifetime) {
    store_daemon_token("bound-token");
    struct Case {
        const char *what;
        int64_t ahead_ms;
        long lowest, highest;  // the second may turn between the answer and the runner's clock
    } cases[] = {
        {"one hour", 3600 * 1000, 1799, 1800},
        {"1000 ms", 1000, 0, 0},
        {"already past", -10000, -6, -4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int64_t expires_at = now_ms() + c.ahead_ms;
        peer().script("GET", kSignPath, answer(200, sign_answer("renewed", expires_at)));
        long sleep = -99;
        ASSERT_EQ(edge_daemon_http_sign_runner(&sleep, nullptr), EDGE_OK);
        EXPECT_GE(sleep, c.lowest);
        EXPECT_LE(sleep, c.highest);
        const auto r = renewals(work_);
        ASSERT_FALSE(r.empty());
        EXPECT_EQ(r.back().expires_at, expires_at);
        EXPECT_EQ(r.back().sleep, sleep);
        EXPECT_EQ(r.back().sleep, (expires_at / 1000 - r.back().now) / 2);
    }
}

// An expiry too far away for the job's `long` sleep (32-bit on armhf) gives the longest sleep,
// not a wrapped-around one.
TEST_F(SignLoop, AFarExpiryGivesTheLongestSleepNotAWrappedOne) {
    store_daemon_token("bound-token");
    const int64_t expires_at = 9000000000000000000;  // ms: about 285 million years ahead
    peer().script("GET", kSignPath, answer(200, sign_answer("far", expires_at)));
    long sleep = 0;
    ASSERT_EQ(edge_daemon_http_sign_runner(&sleep, nullptr), EDGE_OK);
    const int64_t half = (expires_at / 1000 - now_ms() / 1000) / 2;
    const long longest = std::numeric_limits<long>::max();
    if (half > longest) {
        EXPECT_EQ(sleep, longest);
    } else {
        EXPECT_GE(sleep, half - 1);
        EXPECT_LE(sleep, half);
    }
}

// On the job's thread: an hour's token is renewed at once (first run) and next after 1800 s; the
// token lands in holder and store, encrypted, while another thread reads the store.
TEST_F(SignLoop, ARenewalOnTheJobsThreadSchedulesTheNextAtHalfTheLifetime) {
    peer().simulate_daemon(kDaemonVerifyCode, 3600 * 1000);
    ASSERT_EQ(edge_daemon_http_conns_bind(pool_), EDGE_OK);
    const std::string bound = decrypted("daemon_token");
    std::atomic<bool> reading{true};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        char token[256];
        while (reading) {
            uint32_t len = sizeof token - 1;
            (void)edge_configs_get_str_decrypt(0, "daemon_token", token, &len);
            (void)edge_configs_get_longlong(0, "daemon_token_expires_at");
            ++reads;
            std::this_thread::sleep_for(milliseconds(2));
        }
    });
    start_loop();
    const bool renewed = gravel::test::wait_until([&] { return !renewals(work_).empty(); }, milliseconds(15000));
    reading = false;
    reader.join();
    ASSERT_TRUE(renewed);
    const Renewal r = renewals(work_).front();
    EXPECT_TRUE(r.sleep == 1799 || r.sleep == 1800) << r.sleep;
    EXPECT_TRUE(gravel::test::wait_until(
        [&] { return logged("INFO jobName:edge_daemon_http_token sleep " + std::to_string(r.sleep) + "s."); },
        milliseconds(5000)));
    stop_loop();  // the stop comes during the wait: the job runs once more, renewing again
    EXPECT_GT(reads.load(), 0);
    const std::string renewed_token = decrypted("daemon_token");
    EXPECT_NE(renewed_token, bound);
    EXPECT_EQ(std::string(mgr()->daemon_token->token), renewed_token);
    const Renewal last = renewals(work_).back();
    EXPECT_EQ(mgr()->daemon_token->expires_at, last.expires_at);
    EXPECT_EQ(edge_configs_get_longlong(0, "daemon_token_expires_at"), last.expires_at);
    EXPECT_NE(std::string(edge_configs_get_str(0, "daemon_token")), renewed_token);
    EXPECT_EQ(signs(), renewals(work_).size());
}

// Tokens that last 4 s: each renewal comes one or two seconds after the one before, well within
// the lifetime of the token it signs with, and each replaces the token in holder and store
// while another thread reads the store.
TEST_F(SignLoop, EachRenewalReplacesTheTokenInHolderAndStore) {
    peer().simulate_daemon(kDaemonVerifyCode, 3600 * 1000);
    ASSERT_EQ(edge_daemon_http_conns_bind(pool_), EDGE_OK);
    peer().simulate_daemon(kDaemonVerifyCode, 4000);
    std::atomic<bool> reading{true};
    std::vector<std::string> seen_tokens;
    std::thread reader([&] {
        while (reading) {
            char token[256] = {};
            uint32_t len = sizeof token - 1;
            if (edge_configs_get_str_decrypt(0, "daemon_token", token, &len) == EDGE_OK &&
                (seen_tokens.empty() || seen_tokens.back() != token)) {
                seen_tokens.emplace_back(token);
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
    });
    start_loop();
    const bool renewed = gravel::test::wait_until([&] { return renewals(work_).size() >= 3; }, milliseconds(30000));
    stop_loop();
    reading = false;
    reader.join();
    ASSERT_TRUE(renewed) << work_.count_logged("ERROR http sign failed, ret:20032") << " failed signs";
    for (const Renewal &r : renewals(work_)) EXPECT_LE(r.sleep, 2);
    EXPECT_GE(seen_tokens.size(), 3u);  // the bound token and at least two renewals seen in the store
    EXPECT_EQ(std::string(mgr()->daemon_token->token), decrypted("daemon_token"));
    EXPECT_EQ(mgr()->daemon_token->expires_at, edge_configs_get_longlong(0, "daemon_token_expires_at"));
    EXPECT_EQ(mgr()->daemon_token->expires_at, renewals(work_).back().expires_at);
    EXPECT_FALSE(logged("ERROR http sign failed, ret:20032"));
}

// A renewal whose token expires 1000 ms later leaves a sleep of 0: the job takes its exception
// sleep and signs again.
TEST_F(SignLoop, ATokenASecondAheadGivesTheExceptionSleep) {
    peer().simulate_daemon(kDaemonVerifyCode, 3600 * 1000);
    ASSERT_EQ(edge_daemon_http_conns_bind(pool_), EDGE_OK);
    peer().simulate_daemon(kDaemonVerifyCode, 1000);
    start_loop();
    EXPECT_TRUE(gravel::test::wait_until([&] { return signs() >= 2; }, milliseconds(15000)));
    stop_loop();
    const auto r = renewals(work_);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.front().sleep, 0);
    EXPECT_TRUE(logged("INFO invalid sleep time: 0, will use exception_sleep."));
}

TEST_F(SignLoop, AFailingSignIsLoggedAndRetried) {
    store_daemon_token("bound-token");
    peer().script("GET", kSignPath, answer(500, R"({"error":"busy"})"));
    start_loop();
    EXPECT_TRUE(gravel::test::wait_until([&] { return signs() >= 2; }, milliseconds(15000)));
    stop_loop();
    EXPECT_TRUE(logged("ERROR http sign failed, ret:20032"));
    EXPECT_TRUE(logged("INFO invalid sleep time: 1, will use exception_sleep."));
    EXPECT_EQ(decrypted("daemon_token"), "bound-token");
    EXPECT_TRUE(renewals(work_).empty());
}

TEST_F(SignLoop, AnAnswerWithoutAPositiveExpiryFailsTheRenewal) {
    store_daemon_token("bound-token");
    for (const int64_t expires_at : {int64_t{0}, int64_t{-5}}) {
        SCOPED_TRACE(expires_at);
        peer().script("GET", kSignPath, answer(200, sign_answer("bad", expires_at)));
        long sleep = 77;
        EXPECT_EQ(edge_daemon_http_sign_runner(&sleep, nullptr), EDGE_ERR_MISSING);
        EXPECT_EQ(sleep, 77);  // left as it was: the job takes its exception sleep
        EXPECT_TRUE(logged("ERROR http sign failed, ret:20001"));
    }
    EXPECT_EQ(decrypted("daemon_token"), "bound-token");
}

// A daemon that takes the sign request and never answers: the sign ends after the stall limit,
// and a destroy meanwhile returns within 2 s.
TEST_F(SignLoop, ADaemonThatStallsTheSignEndsItAndDestroyDoesNotWait) {
    store_daemon_token("bound-token");
    peer().script("GET", kSignPath, answer(200, sign_answer("late", now_ms() + 3600000), 60000));
    const auto t0 = std::chrono::steady_clock::now();
    long sleep = 0;
    EXPECT_EQ(edge_daemon_http_sign_runner(&sleep, nullptr), EDGE_ERR_DAEMON_SIGN);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(kStallSeconds + 10));
    EXPECT_TRUE(logged("ERROR http request error, ret:28, status:0, body:(null)"));

    start_loop();
    ASSERT_TRUE(gravel::test::wait_until([&] { return signs() >= 2; }, milliseconds(10000)));
    const auto t1 = std::chrono::steady_clock::now();
    edge_http_conns_destroy();
    EXPECT_LT(std::chrono::steady_clock::now() - t1, milliseconds(2000));
    EXPECT_TRUE(logged("ERROR http request error, ret:42, status:0, body:(null)"));
    EXPECT_TRUE(logged("INFO job worker:edge_daemon_http_token exit."));
    EXPECT_EQ(edge_HTTP_CONNS_MGR_mgr_get_pool(), nullptr);
}

// Destroy during the first wait: the job's one last run sends nothing.
TEST_F(SignLoop, DestroyDuringTheWaitSendsNothing) {
    store_daemon_token("bound-token");
    ASSERT_EQ(edge_daemon_http_start_loop(), EDGE_OK);  // the kit's own first sleep of 10 s
    ASSERT_TRUE(gravel::test::wait_until([&] { return logged("INFO jobName:edge_daemon_http_token sleep 10s."); },
                                         milliseconds(5000)));
    const auto t0 = std::chrono::steady_clock::now();
    edge_http_conns_destroy();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(2000));
    EXPECT_EQ(signs(), 0u);
}
