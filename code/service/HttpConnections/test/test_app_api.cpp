// The app HTTP API against the hub: device command and device statuses, the module's
// credentials on each, and only 200 as success.
#include "service_fixture.hpp"

using namespace httpconns_test;

namespace {

constexpr const char kSecret[] = "hub-secret-0123456789abcdef";
constexpr const char kCommandsPath[] = "/gatewell/api/v1/devices/commands";
constexpr const char kStatusesPath[] = "/gatewell/api/v1/devices/statuses";

class AppApi : public HubTest {
protected:
    void SetUp() override {
        HubTest::SetUp();
        if (HasFatalFailure()) return;
        peer().simulate_hub(kVerifyCode, kSecret, "crypt-key-0123456789");
        ASSERT_EQ(edge_http_conns_bind(pool_), EDGE_OK);
        peer().forget_requests();
    }
};

}  // namespace

TEST_F(AppApi, ADeviceCommandCarriesTheCommandAndTheUnsignedTimeout) {
    for (const uint32_t timeout : {0u, 30u, 2147483648u, 4294967295u}) {
        SCOPED_TRACE(timeout);
        peer().forget_requests();
        ASSERT_EQ(edge_app_http_conns_call_device_command("reboot now", timeout, pool_), EDGE_OK);  // HMAC checked
        const auto seen = peer().requests();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].method, "POST");
        EXPECT_EQ(seen[0].path, kCommandsPath);
        const std::vector<std::pair<std::string, std::string>> expected = {{"command", "reboot now"},
                                                                           {"timeout", std::to_string(timeout)}};
        EXPECT_EQ(members(seen[0].body), std::optional(expected));
        EXPECT_EQ(seen[0].header("Authorization")->rfind(std::string("module_") + kModuleId + "_1_", 0), 0u);
    }
}

TEST_F(AppApi, OnlyStatus200IsSuccess) {
    struct Case {
        int status;
        const char *body;
        const char *logged;
    } cases[] = {
        {201, "created", "ERROR http request error, ret:0, status:201, body:created"},
        {204, "", "ERROR http request error, ret:0, status:0, body:(null)"},  // no body: no status either
        {500, "oops", "ERROR http request error, ret:0, status:500, body:oops"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        peer().script("POST", kCommandsPath, answer(c.status, c.body));
        peer().script("GET", kStatusesPath, answer(c.status, c.body));
        EXPECT_EQ(edge_app_http_conns_call_device_command("reboot", 5, pool_), EDGE_ERR_DEVICE_COMMAND);
        char *result = nullptr;
        EXPECT_EQ(edge_app_http_conns_get_devices_statuses(&result, "", 1000, pool_), EDGE_ERR_DEVICE_STATUS);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(work_.count_logged(c.logged), 2u);
    }
}

TEST_F(AppApi, AnEmptyCommandIsRefusedBeforeAnythingIsLoggedOrSent) {
    const size_t lines = log_size();
    EXPECT_EQ(edge_app_http_conns_call_device_command("", 5, pool_), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_app_http_conns_call_device_command(nullptr, 5, pool_), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(log_size(), lines);
    EXPECT_EQ(edge_app_http_conns_call_device_command("reboot", 5, nullptr), EDGE_ERR_MISSING);
    EXPECT_TRUE(peer().requests().empty());
}

TEST_F(AppApi, DeviceStatusesAppendTheQueryAsGiven) {
    struct Case {
        const char *query;
        std::string path;
    } cases[] = {
        {"", kStatusesPath},
        {"?device_id=d1&page=2", std::string(kStatusesPath) + "?device_id=d1&page=2"},
        {"?name=a%20b", std::string(kStatusesPath) + "?name=a%20b"},
    };
    peer().script("GET", kStatusesPath, answer(200, R"({"devices":["d1"]})"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.query);
        peer().forget_requests();
        char *result = nullptr;
        ASSERT_EQ(edge_app_http_conns_get_devices_statuses(&result, c.query, 5000, pool_), EDGE_OK);
        EXPECT_STREQ(result, R"({"devices":["d1"]})");
        const auto seen = peer().requests();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].method, "GET");
        EXPECT_EQ(seen[0].path, c.path);
        EXPECT_TRUE(seen[0].header("Authorization").has_value());
    }
    char *result = nullptr;
    EXPECT_EQ(edge_app_http_conns_get_devices_statuses(nullptr, "", 0, pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_app_http_conns_get_devices_statuses(&result, nullptr, 0, pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_app_http_conns_get_devices_statuses(&result, "", 0, nullptr), EDGE_ERR_MISSING);
}

// The simulated hub itself answers the statuses, checking the password.
TEST_F(AppApi, TheHubAcceptsTheModulesCredentials) {
    char *result = nullptr;
    ASSERT_EQ(edge_app_http_conns_get_devices_statuses(&result, "", 0, pool_), EDGE_OK);
    EXPECT_STREQ(result, R"({"devices": []})");
}

TEST_F(AppApi, WithoutAHeaderLineNothingIsSent) {
    ASSERT_EQ(edge_configs_set_int(0, "module_id", 0), EDGE_OK);
    EXPECT_EQ(edge_app_http_conns_call_device_command("reboot", 5, pool_), EDGE_ERR_NO_MEMORY);
    EXPECT_TRUE(logged("ERROR failed to call device command because the request header is empty."));
    char *result = nullptr;
    EXPECT_EQ(edge_app_http_conns_get_devices_statuses(&result, "", 0, pool_), EDGE_ERR_NO_MEMORY);
    EXPECT_TRUE(logged("ERROR failed to build the request header."));
    EXPECT_TRUE(peer().requests().empty());
}
