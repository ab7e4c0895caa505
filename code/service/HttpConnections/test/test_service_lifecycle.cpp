// The manager: its record, the holders after init, destroy, and init again after destroy.
#include <thread>

#include "service_fixture.hpp"

using namespace httpconns_test;

namespace {

template <typename T>
bool all_zero(const T *holder) {
    return holder != nullptr && edge_json_check_all_zero(holder, sizeof(T)) != 0;
}

void expect_fresh(const edge_http_conns_mgr_t *mgr) {
    ASSERT_NE(mgr, nullptr);
    EXPECT_EQ(mgr->result_pool, nullptr);
    EXPECT_EQ(mgr->crypto_result, nullptr);
    EXPECT_TRUE(all_zero(mgr->node_config));
    EXPECT_TRUE(all_zero(mgr->cloud_token));
    EXPECT_TRUE(all_zero(mgr->daemon_token));
    EXPECT_TRUE(all_zero(mgr->verify_result));
    EXPECT_TRUE(all_zero(mgr->device_sign));
    EXPECT_TRUE(all_zero(mgr->node_certs));
    EXPECT_TRUE(all_zero(mgr->trust_certs));
    ASSERT_NE(mgr->sign_job, nullptr);
    EXPECT_STREQ(mgr->sign_job->name, "edge_daemon_http_token");
    EXPECT_EQ(mgr->sign_job->interval, 10);
    EXPECT_EQ(mgr->sign_job->exception_sleep, 30);
    EXPECT_EQ(mgr->sign_job->job, edge_daemon_http_sign_runner);
    EXPECT_EQ(mgr->sign_job->thread, nullptr);
}

const char kCloudToken[] = R"({"access_key":"ak","secret_key":"sk","region":"r1","expires_at":"2030"})";

}  // namespace

TEST_F(HubTest, InitRegistersTheManagerInSlotSixWithEmptyHolders) {
    edge_http_conns_mgr_t *m = mgr();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(edge_base_mgr_get(EDGE_MGR_SLOT_HTTP_CONNS), m);
    EXPECT_EQ(edge_HTTP_CONNS_MGR_get_vector(m), &m->head);
    EXPECT_NE(static_cast<void *>(edge_HTTP_CONNS_MGR_get_vector(m)), static_cast<void *>(m));
    EXPECT_STREQ(m->head.name, "HTTP_CONNS_MGR");
    EXPECT_EQ(m->head.slot, EDGE_MGR_SLOT_HTTP_CONNS);
    EXPECT_EQ(edge_HTTP_CONNS_MGR_mgr_get_pool(), m->head.pool);
    expect_fresh(m);
    EXPECT_TRUE(logged("INFO edge http connections init success."));
    EXPECT_EQ(edge_http_init_external_param(nullptr), EDGE_ERR_MISSING);
}

TEST_F(HubTest, DestroyIsFinalAndRepeatableAndInitStartsClean) {
    ASSERT_EQ(edge_http_conns_save_cloud_token(kCloudToken, pool_), EDGE_OK);
    const EncryptRspBody crypto{nullptr, "c1"};
    ASSERT_EQ(edge_daemon_http_conns_save_encrypt_rsp(&crypto), EDGE_OK);
    ASSERT_EQ(edge_base_schedule_job_config(mgr()->sign_job, edge_daemon_http_sign_runner, 3600, 3600), EDGE_OK);
    ASSERT_EQ(edge_daemon_http_start_loop(), EDGE_OK);

    edge_http_conns_destroy();
    EXPECT_EQ(edge_HTTP_CONNS_MGR_mgr_get_pool(), nullptr);
    EXPECT_EQ(mgr(), edge_base_mgr_get(EDGE_MGR_SLOT_HTTP_CONNS));  // the record stays registered
    edge_http_conns_destroy();                                      // a second destroy is harmless

    // Every operation finds no manager now.
    const DaemonBindRspBody token{nullptr, "t", 5};
    const uint32_t statuses[] = {
        edge_http_conns_bind(pool_),
        edge_http_conns_refresh_cloud_token(pool_),
        edge_http_conns_save_cloud_token(kCloudToken, pool_),
        edge_daemon_http_conns_bind(pool_),
        edge_daemon_http_conns_sign(pool_),
        edge_daemon_http_conns_device_sign(pool_),
        edge_daemon_http_conns_save_bind_rsp(&token, pool_),
        edge_daemon_http_conns_save_encrypt_rsp(&crypto),
        edge_daemon_http_start_loop(),
        edge_app_http_conns_call_device_command("reboot", 1, pool_),
    };
    for (const uint32_t status : statuses) EXPECT_EQ(status, EDGE_ERR_MISSING);
    long sleep = 0;
    EXPECT_EQ(edge_daemon_http_sign_runner(&sleep, nullptr), EDGE_ERR_MISSING);
    EXPECT_TRUE(peer().requests().empty());

    ASSERT_EQ(edge_http_conns_init(), EDGE_OK);
    expect_fresh(mgr());
}
