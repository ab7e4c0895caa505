// Test fixtures on a running base runtime, shared by the libraries' tests. Header-only: each
// test executable links the base runtime itself (its objects or the shared library).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <gravel/edge_base.h>

#include "gravel_test_support.hpp"
#include "mosquitto_broker.hpp"

namespace gravel::test {

// The base runtime on a fresh work dir whose log the test reads, and a scratch pool of the
// base manager. A fixture that needs the runtime later (files to arrange first) overrides
// SetUp and calls start_runtime() itself; tear-down stops what was started.
class BaseRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { start_runtime(); }
    void TearDown() override { stop_runtime(); }

    void start_runtime(const char *version = nullptr) {
        ASSERT_EQ(edge_base_init(work_.path().c_str(), version), EDGE_OK);
        running_ = true;
        pool_ = edge_BASE_MGR_mgr_create_pool();
        ASSERT_NE(pool_, nullptr);
        // A test may take the manager (and so this pool) down itself; then nothing is left to
        // destroy at tear-down.
        apr_pool_cleanup_register(pool_, &pool_, forget_pool, apr_pool_cleanup_null);
    }
    void stop_runtime() {
        if (!running_) return;
        edge_base_memory_pool_destroy(&pool_);
        edge_base_destroy();
        running_ = false;
    }
    bool logged(const std::string &line) const { return work_.logged(line); }
    size_t count_logged(const std::string &line) const { return work_.count_logged(line); }

    WorkDir work_;
    apr_pool_t *pool_ = nullptr;  // a child of the base manager's pool

private:
    static apr_status_t forget_pool(void *slot) {
        *static_cast<apr_pool_t **>(slot) = nullptr;
        return APR_SUCCESS;
    }
    bool running_ = false;
};

// BaseRuntimeTest whose conf/rootcert.pem is the CA of a test PKI made for the fixture, so
// TLS peers with the PKI's server certificates are trusted.
class TlsRuntimeTest : public BaseRuntimeTest {
protected:
    void SetUp() override {
        pki_.install_ca(work_);
        BaseRuntimeTest::SetUp();
    }
    TestPki pki_;
};

// Adds a running mosquitto broker (TLS, the fixture's PKI) to a fixture derived from
// TlsRuntimeTest. It starts after the fixture's own set-up and stops after its tear-down, so
// the fixture's clients go while the broker still answers.
template <typename Fixture>
class WithBroker : public Fixture {
protected:
    void SetUp() override {
        Fixture::SetUp();
        if (::testing::Test::HasFatalFailure()) return;
        broker_ = make_broker();
        broker_->start();
    }
    // The broker to start: by default one that lets every client in. A fixture whose clients
    // must prove their credentials at the broker gives one with the dev node's plugin.
    virtual std::unique_ptr<MosquittoBroker> make_broker() { return std::make_unique<MosquittoBroker>(this->pki_); }
    void TearDown() override {
        Fixture::TearDown();
        broker_.reset();
    }
    std::unique_ptr<MosquittoBroker> broker_;
};

}  // namespace gravel::test
