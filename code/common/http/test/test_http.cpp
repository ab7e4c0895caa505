// The HTTP client against real servers on loopback: plain HTTP, HTTPS with a test PKI, and
// HTTP over a unix-domain socket.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <apr_atomic.h>

#include <gravel/edge_http.h>

#include "edge_http_internal.hpp"
#include "gravel_test_support.hpp"
#include "runtime_test.hpp"
#include "scripted_http_server.hpp"

extern "C" int gravel_c_header_probe(void);

using gravel::test::RecordedRequest;
using gravel::test::ScopedEnv;
using gravel::test::ScriptedHttpServer;
using gravel::test::ScriptedResponse;
using gravel::test::TestPki;
using gravel::test::WorkDir;

namespace {

constexpr CURLcode kPeerRefused = CURLE_PEER_FAILED_VERIFICATION;  // 60

ScriptedResponse answer(int status, std::vector<std::string> pieces) {
    ScriptedResponse r;
    r.status = status;
    r.pieces = std::move(pieces);
    return r;
}

// A work dir whose conf/rootcert.pem is the test CA, the base runtime on it, and the client
// initialised by start() under the environment the test chose.
class HttpClient : public gravel::test::BaseRuntimeTest {
protected:
    static void SetUpTestSuite() { pki_ = std::make_unique<TestPki>(); }
    static void TearDownTestSuite() { pki_.reset(); }

    void SetUp() override {
        // Only what a test sets counts; a proxy of the machine must not carry loopback traffic.
        for (const char *name : {"daemon_verify_code", "daemon_uri", "module_tls_verify", "http_proxy", "https_proxy",
                                 "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
            env(name, std::nullopt);
        }
        pki_->install_ca(work_);
        start_runtime("test");
    }

    void TearDown() override {
        if (started_) edge_http_destroy();
        stop_runtime();
    }

    void env(const std::string &name, const std::optional<std::string> &value) {
        env_.push_back(std::make_unique<ScopedEnv>(name, value));
    }

    void start() {
        ASSERT_EQ(edge_http_init(), EDGE_OK);
        started_ = true;
    }

    struct Outcome {
        uint32_t rc;
        edge_http_response_t response;
    };

    Outcome get(const std::string &url, uint32_t timeout_ms = 10000, const std::vector<std::string> &headers = {}) {
        edge_http_handle_t *h = edge_http_create(pool_);
        EXPECT_NE(h, nullptr);
        for (const auto &line : headers) edge_http_add_header(h, line.c_str());
        Outcome out{0, {}};
        out.rc = edge_http_get(h, url.c_str(), &out.response, pool_, timeout_ms);
        edge_http_delete(h);
        return out;
    }

    // `length` is the body's size unless given.
    Outcome post(const std::string &url, const std::string &body, std::optional<int32_t> length = std::nullopt) {
        edge_http_handle_t *h = edge_http_create(pool_);
        EXPECT_NE(h, nullptr);
        Outcome out{0, {}};
        out.rc = edge_http_post(h, url.c_str(), body.c_str(), length.value_or(static_cast<int32_t>(body.size())),
                                &out.response, pool_);
        edge_http_delete(h);
        return out;
    }

    static std::string body_of(const edge_http_response_t &r) {
        return r.body == nullptr ? std::string() : std::string(r.body, r.length);
    }

    std::string masked(const std::string &url) { return edge_base_log_fuzz_ip(url.c_str(), pool_); }

    static std::unique_ptr<TestPki> pki_;
    bool started_ = false;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

std::unique_ptr<TestPki> HttpClient::pki_;

}  // namespace

TEST(CHeader, CompilesAndLinksAsC) {
    EXPECT_EQ(gravel_c_header_probe(), 1);
}

TEST_F(HttpClient, InitLogsTheModeAndVersionAndDestroyEndsHandleCreation) {
    start();
    EXPECT_TRUE(work_.logged("WARN env:daemon_verify_code is empty, so is old daemon."));
    EXPECT_TRUE(work_.logged(std::string("INFO http init success, version: ") + curl_version()));
    edge_http_mgr_t *mgr = edge_HTTP_MGR_mgr_get();
    ASSERT_NE(mgr, nullptr);
    EXPECT_STREQ(mgr->head.name, "HTTP_MGR");
    EXPECT_EQ(mgr->head.slot, EDGE_MGR_SLOT_HTTP);
    EXPECT_NE(mgr->template_handle, nullptr);

    edge_http_destroy();
    started_ = false;
    EXPECT_EQ(edge_HTTP_MGR_mgr_get_pool(), nullptr);
    EXPECT_EQ(edge_http_create(pool_), nullptr);
}

TEST_F(HttpClient, CreateNeedsAPoolAndAnInitialisedClient) {
    EXPECT_EQ(edge_http_create(pool_), nullptr);  // before edge_http_init
    start();
    EXPECT_EQ(edge_http_create(nullptr), nullptr);

    edge_http_handle_t *h = edge_http_create(pool_);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(h->curl, nullptr);
    EXPECT_NE(h->pool, nullptr);
    EXPECT_EQ(h->response, nullptr);
    char line[64];
    std::snprintf(line, sizeof line, "INFO http: %p create.", static_cast<void *>(h));
    EXPECT_TRUE(work_.logged(line));
    std::snprintf(line, sizeof line, "INFO http: %p delete.", static_cast<void *>(h));
    edge_http_delete(h);
    EXPECT_TRUE(work_.logged(line));

    edge_http_delete(nullptr);
    EXPECT_TRUE(work_.logged("INFO http: (nil) delete."));
}

TEST_F(HttpClient, GetAndPostDeliverBodyStatusAndRequest) {
    start();
    auto server = ScriptedHttpServer::tcp();
    server.script(answer(200, {R"({"token":"t1","expires_at":5})"}));

    const std::string get_url = server.url("/v1/token?x=1");
    const Outcome g = get(get_url);
    EXPECT_EQ(g.rc, CURLE_OK);
    EXPECT_EQ(g.response.status, 200);
    EXPECT_EQ(body_of(g.response), R"({"token":"t1","expires_at":5})");
    EXPECT_EQ(g.response.body[g.response.length], '\0');
    EXPECT_TRUE(work_.logged("INFO get url: " + masked(get_url)));

    server.script(answer(201, {"created"}));
    const std::string post_url = server.url("/v1/bind");
    const Outcome p = post(post_url, R"({"module_id":"m1"})");
    EXPECT_EQ(p.rc, CURLE_OK);
    EXPECT_EQ(p.response.status, 201);
    EXPECT_EQ(body_of(p.response), "created");
    EXPECT_TRUE(work_.logged("INFO post url: " + masked(post_url)));
    EXPECT_TRUE(work_.logged("INFO succeed to post http request: " + masked(post_url)));

    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].path, "/v1/token?x=1");
    EXPECT_EQ(seen[0].body, "");
    EXPECT_EQ(seen[1].method, "POST");
    EXPECT_EQ(seen[1].path, "/v1/bind");
    EXPECT_EQ(seen[1].body, R"({"module_id":"m1"})");
}

// The body is the text up to its NUL: any non-zero length, negative or not matching the text,
// sends that text, neither cut short nor read beyond.
TEST_F(HttpClient, PostSendsTheBodyUpToItsEndWhateverTheNonZeroLength) {
    start();
    auto server = ScriptedHttpServer::tcp();
    const std::string body = R"({"module_id":"m1"})";
    const int32_t lengths[] = {-1, 1, static_cast<int32_t>(body.size()) + 100, INT32_MIN};
    for (const int32_t length : lengths) {
        server.script(answer(200, {"{}"}));
        EXPECT_EQ(post(server.url("/len"), body, length).rc, CURLE_OK) << length;
    }
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), std::size(lengths));
    for (const auto &request : seen) EXPECT_EQ(request.body, body);
}

TEST_F(HttpClient, ErrorStatusWithBodyIsAResponseNotAFailure) {
    start();
    auto server = ScriptedHttpServer::tcp();
    server.script(answer(500, {"internal ", "error"}));
    const Outcome g = get(server.url("/fail"));
    EXPECT_EQ(g.rc, CURLE_OK);
    EXPECT_EQ(g.response.status, 500);
    EXPECT_EQ(body_of(g.response), "internal error");
    EXPECT_EQ(g.response.length, 14u);
}

TEST_F(HttpClient, ResponseWithoutBodyLeavesTheRecordUntouched) {
    start();
    auto server = ScriptedHttpServer::tcp();
    struct Case {
        const char *what;
        int status;
        bool content_length;
    } cases[] = {{"204 without body", 204, false}, {"200 with Content-Length 0", 200, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedResponse r = answer(c.status, {});
        r.content_length = c.content_length;
        server.script(r);
        edge_http_handle_t *h = edge_http_create(pool_);
        edge_http_response_t response{nullptr, 0, -7};  // a mark the client must not change
        EXPECT_EQ(edge_http_get(h, server.url("/empty").c_str(), &response, pool_, 5000), CURLE_OK);
        edge_http_delete(h);
        EXPECT_EQ(response.body, nullptr);
        EXPECT_EQ(response.length, 0u);
        EXPECT_EQ(response.status, -7);
    }
}

TEST_F(HttpClient, BodyInPiecesArrivesWholeAndInOrder) {
    start();
    auto server = ScriptedHttpServer::tcp();
    struct Case {
        const char *what;
        bool content_length;
    } cases[] = {{"with Content-Length", true}, {"ended by the close", false}};
    const std::vector<std::string> pieces = {"{\"a\":", std::string(20000, 'x'), "\"b\"", "}"};
    std::string whole;
    for (const auto &p : pieces) whole += p;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedResponse r = answer(200, pieces);
        r.piece_delay_ms = 50;
        r.content_length = c.content_length;
        server.script(r);
        const Outcome g = get(server.url("/pieces"));
        EXPECT_EQ(g.rc, CURLE_OK);
        EXPECT_EQ(g.response.status, 200);
        ASSERT_EQ(g.response.length, whole.size());
        EXPECT_EQ(body_of(g.response), whole);
        EXPECT_EQ(g.response.body[g.response.length], '\0');
    }
}

TEST_F(HttpClient, WriteCallbackAppendsPiecesAfterWhatTheRecordHolds) {
    start();
    edge_http_handle_t *h = edge_http_create(pool_);
    ASSERT_NE(h, nullptr);
    edge_http_response_t response{};
    h->response = &response;
    h->response_pool = pool_;
    // Many pieces of varied sizes, one of them empty: the body grows past several blocks.
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        std::string piece(static_cast<size_t>(i % 11), static_cast<char>('a' + i % 26));
        EXPECT_EQ(edge_http_write_data_callback(piece.data(), 1, piece.size(), h), piece.size());
        expected += piece;
    }
    ASSERT_EQ(response.length, expected.size());
    EXPECT_EQ(std::string(response.body, response.length), expected);
    EXPECT_EQ(response.body[response.length], '\0');

    // Without a record the bytes are accepted and dropped.
    h->response = nullptr;
    char data[] = "dropped";
    EXPECT_EQ(edge_http_write_data_callback(data, 1, 7, h), 7u);
    EXPECT_TRUE(work_.logged("ERROR invalid response param."));
    EXPECT_EQ(response.length, expected.size());
    edge_http_delete(h);
}

TEST_F(HttpClient, GetTimeOutEndsTheTransferWithCurlsTimeoutCode) {
    start();
    auto server = ScriptedHttpServer::tcp();
    ScriptedResponse slow = answer(200, {"late"});
    slow.delay_ms = 4000;
    server.script(slow);
    const auto t0 = std::chrono::steady_clock::now();
    const Outcome g = get(server.url("/slow"), 1000);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(g.rc, CURLE_OPERATION_TIMEDOUT);
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
    EXPECT_TRUE(work_.logged("ERROR http get failed, ret_code: 28"));
    EXPECT_EQ(g.response.body, nullptr);
}

// A peer that accepts and then sends nothing ends the transfer after the stall limit, with
// libcurl's time-out result, whatever the request's own time-out. The limit is shortened here;
// the kit's is 60 seconds.
TEST_F(HttpClient, APeerThatSendsNothingEndsTheTransferAfterTheStallLimit) {
    const long kept = gravel::http::g_stall_limit_seconds;
    gravel::http::g_stall_limit_seconds = 2;
    start();
    gravel::http::g_stall_limit_seconds = kept;
    auto server = ScriptedHttpServer::tcp();
    ScriptedResponse stalled = answer(200, {"too late"});
    stalled.delay_ms = 8000;
    server.script(stalled);
    struct Case {
        const char *what;
        std::function<Outcome()> request;
        const char *logged;
    } cases[] = {
        {"get without time-out", [&] { return get(server.url("/stall"), 0); }, "ERROR http get failed, ret_code: 28"},
        {"get with a longer time-out", [&] { return get(server.url("/stall"), 30000); },
         "ERROR http get failed, ret_code: 28"},
        {"post", [&] { return post(server.url("/stall"), "{}"); }, "ERROR http post failed, ret_code: 28"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const auto t0 = std::chrono::steady_clock::now();
        const Outcome out = c.request();
        const auto elapsed = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(out.rc, CURLE_OPERATION_TIMEDOUT);
        EXPECT_GE(elapsed, std::chrono::milliseconds(1500));
        // The limit runs from the last bytes that moved, the request's own included: a POST
        // ends as soon as a GET does (the check runs about once a second).
        EXPECT_LT(elapsed, std::chrono::milliseconds(3900));
        EXPECT_TRUE(work_.logged(c.logged));
        EXPECT_EQ(out.response.body, nullptr);
    }
}

// The abort flag named by a pool's user data ends the transfers of handles made from that pool
// or its descendants, and only those.
TEST_F(HttpClient, AnAbortFlagOnAPoolEndsItsHandlesTransfers) {
    start();
    auto server = ScriptedHttpServer::tcp();
    apr_pool_t *family = edge_base_memory_pool_create(pool_);
    auto *flag = static_cast<uint32_t *>(apr_pcalloc(family, sizeof(uint32_t)));
    ASSERT_EQ(apr_pool_userdata_setn(flag, EDGE_HTTP_ABORT_KEY, nullptr, family), APR_SUCCESS);
    apr_pool_t *grandchild = edge_base_memory_pool_create(edge_base_memory_pool_create(family));

    // Flag down: a handle of the family works as any other.
    server.script(answer(200, {"fine"}));
    edge_http_handle_t *h = edge_http_create(grandchild);
    edge_http_response_t r{};
    EXPECT_EQ(edge_http_get(h, server.url("/a").c_str(), &r, pool_, 5000), CURLE_OK);
    edge_http_delete(h);
    EXPECT_EQ(body_of(r), "fine");

    // Raised while a transfer waits on a slow peer: it ends within about a second.
    ScriptedResponse slow = answer(200, {"late"});
    slow.delay_ms = 8000;
    server.script(slow);
    struct InFlight {
        const char *what;
        bool post;
    } in_flight[] = {{"get", false}, {"post", true}};
    for (const InFlight &c : in_flight) {
        SCOPED_TRACE(c.what);
        apr_atomic_set32(flag, 0);
        apr_pool_t *request_pool = edge_base_memory_pool_create(family);
        const size_t seen = server.requests().size();
        std::atomic<uint32_t> rc{UINT32_MAX};
        std::thread worker([&] {
            edge_http_handle_t *wh = edge_http_create(request_pool);
            edge_http_response_t wr{};
            rc = c.post ? edge_http_post(wh, server.url("/b").c_str(), "{}", 2, &wr, request_pool)
                        : edge_http_get(wh, server.url("/b").c_str(), &wr, request_pool, 0);
            edge_http_delete(wh);
        });
        ASSERT_TRUE(
            gravel::test::wait_until([&] { return server.requests().size() > seen; }, std::chrono::milliseconds(5000)));
        const auto t0 = std::chrono::steady_clock::now();
        apr_atomic_set32(flag, 1);
        worker.join();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
        EXPECT_EQ(rc.load(), static_cast<uint32_t>(CURLE_ABORTED_BY_CALLBACK));
        edge_base_memory_pool_destroy(&request_pool);
    }

    // Raised before a request: nothing is sent. A handle from another pool is not concerned.
    const size_t before = server.requests().size();
    server.script(answer(200, {"other"}));
    h = edge_http_create(grandchild);
    EXPECT_EQ(edge_http_post(h, server.url("/c").c_str(), "{}", 2, &r, pool_), CURLE_ABORTED_BY_CALLBACK);
    edge_http_delete(h);
    EXPECT_EQ(server.requests().size(), before);
    const Outcome other = get(server.url("/d"));
    EXPECT_EQ(other.rc, CURLE_OK);
    EXPECT_EQ(body_of(other.response), "other");
    edge_base_memory_pool_destroy(&family);
}

TEST_F(HttpClient, GetWithoutTimeOutWaitsForASlowServer) {
    start();
    auto server = ScriptedHttpServer::tcp();
    ScriptedResponse slow = answer(200, {"worth the wait"});
    slow.delay_ms = 1500;
    server.script(slow);
    const Outcome g = get(server.url("/slow"), 0);
    EXPECT_EQ(g.rc, CURLE_OK);
    EXPECT_EQ(body_of(g.response), "worth the wait");
}

TEST_F(HttpClient, TransferFailuresPassCurlsResultAndAreLogged) {
    start();
    const int closed_port = gravel::test::free_loopback_port();
    const Outcome refused = get("http://127.0.0.1:" + std::to_string(closed_port) + "/x");
    EXPECT_EQ(refused.rc, CURLE_COULDNT_CONNECT);
    EXPECT_TRUE(work_.logged("ERROR http get failed, ret_code: 7"));

    auto server = ScriptedHttpServer::tcp();
    struct Case {
        const char *what;
        ScriptedResponse::Drop drop;
        CURLcode expected;
    } cases[] = {
        {"closed before answering", ScriptedResponse::Drop::before_response, CURLE_GOT_NOTHING},
        {"closed in the body", ScriptedResponse::Drop::mid_body, CURLE_PARTIAL_FILE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedResponse r = answer(200, {"first piece", "never sent"});
        r.drop = c.drop;
        server.script(r);
        EXPECT_EQ(get(server.url("/drop")).rc, c.expected);
        EXPECT_EQ(post(server.url("/drop"), "{}").rc, c.expected);
        EXPECT_TRUE(work_.logged("ERROR http get failed, ret_code: " + std::to_string(c.expected)));
        EXPECT_TRUE(work_.logged("ERROR http post failed, ret_code: " + std::to_string(c.expected)));
    }
}

TEST_F(HttpClient, BadArgumentsAreRefusedWithoutATransfer) {
    start();
    auto server = ScriptedHttpServer::tcp();
    const std::string url = server.url("/never");
    edge_http_handle_t *h = edge_http_create(pool_);
    ASSERT_NE(h, nullptr);
    edge_http_response_t r{};
    struct Case {
        const char *what;
        uint32_t rc;
    } cases[] = {
        {"get: no handle", edge_http_get(nullptr, url.c_str(), &r, pool_, 100)},
        {"get: no url", edge_http_get(h, nullptr, &r, pool_, 100)},
        {"get: empty url", edge_http_get(h, "", &r, pool_, 100)},
        {"get: no record", edge_http_get(h, url.c_str(), nullptr, pool_, 100)},
        {"get: no pool", edge_http_get(h, url.c_str(), &r, nullptr, 100)},
        {"post: no handle", edge_http_post(nullptr, url.c_str(), "{}", 2, &r, pool_)},
        {"post: no url", edge_http_post(h, nullptr, "{}", 2, &r, pool_)},
        {"post: no body", edge_http_post(h, url.c_str(), nullptr, 2, &r, pool_)},
        {"post: length 0", edge_http_post(h, url.c_str(), "{}", 0, &r, pool_)},
        {"post: no record", edge_http_post(h, url.c_str(), "{}", 2, nullptr, pool_)},
        {"post: no pool", edge_http_post(h, url.c_str(), "{}", 2, &r, nullptr)},
    };
    edge_http_delete(h);
    for (const Case &c : cases) EXPECT_EQ(c.rc, EDGE_ERR_BAD_ARGUMENT) << c.what;
    EXPECT_EQ(work_.count_logged("ERROR input error."), std::size(cases));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(r.body, nullptr);
}

TEST_F(HttpClient, DefaultAndAddedHeadersArrive) {
    start();
    auto server = ScriptedHttpServer::tcp();
    server.script(answer(200, {"{}"}));
    get(server.url("/h"), 5000, {"Authorization: Bearer abc", "", "X-Injected: a\r\nX-Evil: 1"});
    edge_http_add_header(nullptr, "X-Ignored: 1");

    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    const RecordedRequest &req = seen[0];
    EXPECT_EQ(req.header("User-Agent"), "GravelSDK 1.0");
    EXPECT_EQ(req.header("Accept"), "application/json");
    EXPECT_EQ(req.header("Content-Type"), "application/json;charset=UTF-8");
    EXPECT_EQ(req.header("Authorization"), "Bearer abc");
    // A line that would smuggle another header is refused whole.
    EXPECT_EQ(req.header("X-Injected"), std::nullopt);
    EXPECT_EQ(req.header("X-Evil"), std::nullopt);
    EXPECT_TRUE(work_.logged("ERROR invalid header line."));
}

TEST_F(HttpClient, DaemonModeSendsEveryRequestToTheSocket) {
    gravel::test::TempDir dir;
    auto daemon = ScriptedHttpServer::unix_socket(dir.file("daemon.sock"));
    daemon.script(answer(200, {R"({"token":"d"})"}));
    env("daemon_verify_code", "secret-verify-code");
    env("daemon_uri", "unix:" + daemon.socket_path());
    start();
    EXPECT_TRUE(work_.logged("INFO env:daemon_verify_code is not empty, so is new daemon."));
    EXPECT_TRUE(work_.logged("INFO env:daemon_uri is not empty, daemon_uri:unix:" + daemon.socket_path() + "."));
    EXPECT_EQ(work_.log().find("secret-verify-code"), std::string::npos);

    // Whatever the host, port or scheme of the URL, the socket answers.
    const Outcome g = get("http://hub.invalid:8443/v1/sign");
    EXPECT_EQ(g.rc, CURLE_OK);
    EXPECT_EQ(body_of(g.response), R"({"token":"d"})");
    const Outcome p = post("http://10.1.2.3/v1/verify", R"({"token":"t"})");
    EXPECT_EQ(p.rc, CURLE_OK);
    EXPECT_EQ(p.response.status, 200);

    const auto seen = daemon.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].path, "/v1/sign");
    EXPECT_EQ(seen[0].header("Host"), "hub.invalid:8443");
    EXPECT_EQ(seen[1].method, "POST");
    EXPECT_EQ(seen[1].path, "/v1/verify");
    EXPECT_EQ(seen[1].body, R"({"token":"t"})");
}

TEST_F(HttpClient, DaemonModeWithoutAUsableSocketUsesTheUrlsHost) {
    auto hub = ScriptedHttpServer::tcp();
    hub.script(answer(200, {"from the host"}));
    struct Case {
        const char *what;
        std::optional<std::string> uri;
        const char *logged;
    } cases[] = {
        {"daemon_uri unset", std::nullopt, "WARN env:daemon_uri is empty."},
        {"daemon_uri empty", "", "WARN env:daemon_uri is empty."},
        {"daemon_uri not unix:", "/run/daemon.sock",
         "WARN env:daemon_uri is not unix:<socket path>, requests go to the url's host."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScopedEnv code("daemon_verify_code", "v");
        ScopedEnv uri("daemon_uri", c.uri);
        start();
        EXPECT_TRUE(work_.logged(c.logged));
        const Outcome g = get(hub.url("/v1/x"));
        EXPECT_EQ(g.rc, CURLE_OK);
        EXPECT_EQ(body_of(g.response), "from the host");
        edge_http_destroy();
        started_ = false;
    }
    EXPECT_EQ(hub.requests().size(), std::size(cases));
}

TEST_F(HttpClient, TlsPeersAreVerifiedAsModuleTlsVerifySays) {
    struct Case {
        const char *cert;
        const char *mode;  // "module_tls_verify"; null: unset
        CURLcode expected;
    } cases[] = {
        {"server", nullptr, CURLE_OK},      {"server", "full", CURLE_OK},       {"untrusted", nullptr, kPeerRefused},
        {"expired", nullptr, kPeerRefused}, {"wrongip", nullptr, kPeerRefused}, {"wrongip", "full", kPeerRefused},
        {"wrongip", "FULL", kPeerRefused},  // unknown values verify fully
        {"server", "chain", CURLE_OK},      {"wrongip", "chain", CURLE_OK},     {"untrusted", "chain", kPeerRefused},
        {"expired", "chain", kPeerRefused}, {"server", "none", CURLE_OK},       {"wrongip", "none", CURLE_OK},
        {"untrusted", "none", CURLE_OK},    {"expired", "none", CURLE_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.cert) + " under " + (c.mode != nullptr ? c.mode : "(unset)"));
        auto server = ScriptedHttpServer::tls(pki_->cert(c.cert), pki_->key(c.cert));
        server.script(answer(200, {"secure"}));
        ScopedEnv mode("module_tls_verify",
                       c.mode != nullptr ? std::optional<std::string>(c.mode) : std::optional<std::string>());
        start();
        const Outcome g = get(server.url("/tls"));
        EXPECT_EQ(g.rc, c.expected);
        if (c.expected == CURLE_OK) {
            EXPECT_EQ(body_of(g.response), "secure");
        }
        EXPECT_EQ(server.requests().size(), c.expected == CURLE_OK ? 1u : 0u);
        edge_http_destroy();
        started_ = false;
    }
    EXPECT_EQ(work_.count_logged("WARN env:module_tls_verify is chain, the server's host name is not verified."), 4u);
    EXPECT_EQ(work_.count_logged("WARN env:module_tls_verify is none, the server's certificate is not verified."), 4u);
    EXPECT_EQ(work_.count_logged("WARN env:module_tls_verify has an unknown value, so is full."), 1u);
}

TEST_F(HttpClient, TheCaFileIsTheOnlyTrustStore) {
    // Another CA in conf/rootcert.pem: the server signed by the test CA is refused.
    gravel::test::write_file(work_.file("conf/rootcert.pem"), gravel::test::read_file(pki_->cert("other-ca")));
    start();
    auto server = ScriptedHttpServer::tls(pki_->cert("server"), pki_->key("server"));
    EXPECT_EQ(get(server.url("/tls")).rc, kPeerRefused);
}

TEST_F(HttpClient, DestroyingTheCallersPoolReleasesTheHandle) {
    // LeakSanitizer (dev preset) fails this test if the handle's libcurl resources outlive the pool.
    start();
    auto server = ScriptedHttpServer::tcp();
    server.script(answer(200, {"kept"}));
    apr_pool_t *request_pool = edge_base_memory_pool_create(pool_);
    edge_http_handle_t *h = edge_http_create(request_pool);
    ASSERT_NE(h, nullptr);
    edge_http_add_header(h, "X-Extra: 1");
    edge_http_response_t r{};
    EXPECT_EQ(edge_http_get(h, server.url("/p").c_str(), &r, pool_, 5000), CURLE_OK);
    edge_base_memory_pool_destroy(&request_pool);
    // The body lives in the response pool, not the handle's.
    EXPECT_EQ(body_of(r), "kept");
}

TEST_F(HttpClient, HandlesWorkOnSeveralThreadsAtOnce) {
    start();
    auto server = ScriptedHttpServer::tcp();
    server.script(answer(200, {"parallel"}));
    const std::string url = server.url("/t");
    constexpr int kThreads = 4;
    constexpr int kRequests = 5;
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            apr_pool_t *pool = edge_base_memory_pool_create(nullptr);
            for (int i = 0; i < kRequests; ++i) {
                edge_http_handle_t *h = edge_http_create(pool);
                edge_http_response_t r{};
                if (edge_http_get(h, url.c_str(), &r, pool, 10000) == CURLE_OK && r.status == 200 &&
                    std::string(r.body, r.length) == "parallel") {
                    ++ok;
                }
                edge_http_delete(h);
            }
            edge_base_memory_pool_destroy(&pool);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(ok.load(), kThreads * kRequests);
    EXPECT_EQ(server.requests().size(), static_cast<size_t>(kThreads * kRequests));
}
