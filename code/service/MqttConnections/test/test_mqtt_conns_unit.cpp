// The service without a broker: records and bodies, the topic table, inbound dispatch, the send
// policies, the checks every send makes before it publishes, the credentials of a try, and
// init and destroy.
#include <ctime>
#include <functional>
#include <limits>
#include <regex>
#include <thread>

#include "mqtt_conns_test_common.hpp"

extern "C" int gravel_mqttconns_c_header_probe(void);

using namespace conns_test;
using gravel::test::ScopedEnv;
using gravel::test::wait_until;

namespace {

class ConnsUnit : public ConnsTest {
protected:
    std::string text(const char *t) const { return t == nullptr ? "(none)" : t; }
    size_t errors(const std::string &line) const { return count_logged(line); }
};

// The UTC time as the client id has it (%Y%m%d%H%M%S), or with T and Z as events have it.
std::string utc_stamp(std::time_t t, bool event_form) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    char out[64];
    if (event_form) {
        std::strftime(out, sizeof out, "%Y%m%dT%H%M%SZ", &utc);
    } else {
        std::strftime(out, sizeof out, "%Y%m%d%H%M%S", &utc);
    }
    return out;
}

}  // namespace

TEST(MqttConnsHeader, CompilesAndLinksAsC) {
    EXPECT_EQ(gravel_mqttconns_c_header_probe(), 1);
}

// ---------------------------------------------------------------------------------------------
// Records and bodies
// ---------------------------------------------------------------------------------------------

TEST_F(ConnsUnit, RecordsWriteTheirFieldsInTableOrderAndReadThemBack) {
    const ServiceEvent event{nullptr, "s1", "t1", "20230307T090807Z"};
    char *out = nullptr;
    ASSERT_EQ(edge_json_struct_to_str(&event, &out, pool_, edge_json_setServiceEvent_job), EDGE_OK);
    EXPECT_STREQ(out, R"({"service_id":"s1","event_type":"t1","event_time":"20230307T090807Z"})");
    ASSERT_EQ(edge_json_printServiceEvent_job(&event, &out, pool_, 1), EDGE_OK);
    EXPECT_STREQ(out, "[service_id : s1, event_type : t1, event_time : 20230307T090807Z, ]");

    const CommandRsp rsp{nullptr, -7, "r1"};
    ASSERT_EQ(edge_json_struct_to_str(&rsp, &out, pool_, edge_json_setCommandRsp_job), EDGE_OK);
    EXPECT_STREQ(out, R"({"result_code":-7,"response_name":"r1"})");
    ASSERT_EQ(edge_json_printCommandRsp_job(&rsp, &out, pool_, 1), EDGE_OK);
    EXPECT_STREQ(out, "[result_code : -7, response_name : r1, ]");

    CommandRsp back{};
    ASSERT_EQ(
        edge_json_str_to_struct(&back, R"({"response_name":"r2","result_code":3})", pool_, edge_json_getCommandRsp_job),
        EDGE_OK);
    EXPECT_EQ(back.pool, pool_);
    EXPECT_EQ(back.result_code, 3);
    EXPECT_STREQ(back.response_name, "r2");
    ServiceEvent partial{};
    EXPECT_EQ(edge_json_str_to_struct(&partial, R"({"service_id":"s","event_type":"t"})", pool_,
                                      edge_json_getServiceEvent_job),
              EDGE_ERR_MISSING);
    EXPECT_TRUE(logged("ERROR get type:_str node_name:event_time failed, ret = 20001"));
    const ServiceEvent zero{};
    ASSERT_EQ(edge_json_printServiceEvent_job(&zero, &out, pool_, 1), EDGE_OK);
    EXPECT_STREQ(out, "(zero), ");
}

TEST_F(ConnsUnit, BuildersMakeTheirBodies) {
    set_str("module_id", "m1");
    set_str("device_id", "d1");
    struct Case {
        const char *what;
        std::function<char *()> build;
        const char *body;  // null: no body
        bool parse_error;
    } cases[] = {
        {"cmd rsp without parameters", [&] { return edge_mqtt_conns_build_cmd_rsp("r1", 0, nullptr, pool_); },
         R"({"result_code":0,"response_name":"r1","paras":{}})", false},
        {"cmd rsp with parameters", [&] { return edge_mqtt_conns_build_cmd_rsp("r1", -3, R"({"a":[1,"x"]})", pool_); },
         R"({"result_code":-3,"response_name":"r1","paras":{"a":[1,"x"]}})", false},
        {"cmd rsp, parameters not json", [&] { return edge_mqtt_conns_build_cmd_rsp("r1", 0, "not json", pool_); },
         nullptr, true},
        {"cmd rsp without pool", [&] { return edge_mqtt_conns_build_cmd_rsp("r1", 0, nullptr, nullptr); }, nullptr,
         false},
        {"scan result", [&] { return edge_mqtt_conns_build_scan_result("added", R"([{"id":"x"}])", 12, pool_); },
         R"({"state":"added","module_id":"m1","devices":[{"id":"x"}]})", false},
        {"scan result, devices not json", [&] { return edge_mqtt_conns_build_scan_result("s", "[", 1, pool_); },
         nullptr, true},
        {"scan result without devices", [&] { return edge_mqtt_conns_build_scan_result("s", nullptr, 0, pool_); },
         nullptr, true},
        {"sync request", [&] { return edge_mqtt_conns_build_sync_sub_device(12, pool_); }, R"({"version":12})", false},
        {"sync request, version 0", [&] { return edge_mqtt_conns_build_sync_sub_device(0, pool_); }, R"({"version":0})",
         false},
        {"sync request without pool", [&] { return edge_mqtt_conns_build_sync_sub_device(1, nullptr); }, nullptr,
         false},
        // Versions a double cannot carry, or cJSON would print as another number, keep their digits.
        {"sync request, 2^53 - 1", [&] { return edge_mqtt_conns_build_sync_sub_device(9007199254740991, pool_); },
         R"({"version":9007199254740991})", false},
        {"sync request, largest version",
         [&] { return edge_mqtt_conns_build_sync_sub_device(std::numeric_limits<int64_t>::max(), pool_); },
         R"({"version":9223372036854775807})", false},
        {"cmd rsp, parameters with 64-bit numbers",
         [&] {
             return edge_mqtt_conns_build_cmd_rsp("r1", 0, R"({"ns":1733860000123456789,"n":[9007199254740993,-0]})",
                                                  pool_);
         },
         R"({"result_code":0,"response_name":"r1","paras":{"ns":1733860000123456789,"n":[9007199254740993,-0]}})",
         false},
        {"status update", [&] { return edge_mqtt_conns_build_sub_device_status(R"([{"s":1}])", pool_); },
         R"({"device_statuses":[{"s":1}]})", false},
        {"status update, not json", [&] { return edge_mqtt_conns_build_sub_device_status("{", pool_); }, nullptr, true},
        {"deleted device", [&] { return edge_mqtt_conns_build_delete_sub_device("d9", pool_); },
         R"({"device_id":"d9"})", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = count_logged("ERROR parse json error.");
        const char *body = c.build();
        EXPECT_EQ(text(body), text(c.body));
        EXPECT_EQ(count_logged("ERROR parse json error."), before + (c.parse_error ? 1 : 0));
    }
}

TEST_F(ConnsUnit, ServiceEventEnvelopeCarriesUtcTimeAndTheOptionalEventId) {
    set_str("device_id", "d1");
    // The node's time zone is not UTC: the event time still is.
    ScopedEnv tz("TZ", std::string("Asia/Tokyo"));
    tzset();
    const std::regex form(R"re(\{"services":\[\{"service_id":"s1","event_type":"t1","event_time":"(\d{8}T\d{6}Z)",)re"
                          R"re((("event_id":"e9",)?)"paras":\{"k":1\}\}\],"object_device_id":"d1"\})re");
    struct Case {
        const char *event_id;
        bool carried;
    } cases[] = {{nullptr, false}, {"", false}, {"e9", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(text(c.event_id));
        const std::time_t before = std::time(nullptr);
        const char *body = edge_mqtt_conns_build_service_event(c.event_id, "s1", "t1", R"({"k":1})", pool_);
        const std::time_t after = std::time(nullptr);
        ASSERT_NE(body, nullptr);
        std::cmatch m;
        ASSERT_TRUE(std::regex_match(body, m, form)) << body;
        EXPECT_TRUE(m[1] == utc_stamp(before, true) || m[1] == utc_stamp(after, true)) << m[1];
        EXPECT_EQ(m[2].matched && m[2].length() > 0, c.carried);
    }
    tzset();
}

TEST_F(ConnsUnit, ServiceEventEnvelopeRefusesMissingPartsAndBadParameters) {
    // No device id in the store: the codec writes JSON null.
    const char *body = edge_mqtt_conns_build_service_event(nullptr, "s1", "t1", "[]", pool_);
    ASSERT_NE(body, nullptr);
    EXPECT_NE(std::string(body).find(R"("object_device_id":null)"), std::string::npos) << body;

    struct Case {
        const char *service_id, *event_type, *paras;
        apr_pool_t *pool;
        bool parse_error;
    } cases[] = {
        {"", "t", "{}", pool_, false},    {"s", nullptr, "{}", pool_, false},  {"s", "t", "", pool_, false},
        {"s", "t", "{}", nullptr, false}, {"s", "t", "not json", pool_, true},
    };
    for (const Case &c : cases) {
        const size_t before = count_logged("ERROR parse json error.");
        EXPECT_EQ(edge_mqtt_conns_build_service_event("e", c.service_id, c.event_type, c.paras, c.pool), nullptr);
        EXPECT_EQ(count_logged("ERROR parse json error."), before + (c.parse_error ? 1 : 0)) << text(c.paras);
    }
}

// ---------------------------------------------------------------------------------------------
// Topic table
// ---------------------------------------------------------------------------------------------

TEST_F(ConnsUnit, TopicTableIsBuiltFromTheModuleIdInItsOrder) {
    set_str("module_id", "m1");
    ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
    const char *expected[EDGE_MQTT_CONNS_TOPIC_COUNT] = {
        "/modules/m1/sdk/version",
        "/modules/m1/events/notify",
        "/modules/m1/shadow/get",
        "/modules/m1/shadow/notify",
        "/modules/m1/messages/inputs/+",
        "/modules/m1/messages/outputs",
        "$qx/modules/m1/sys/events/up",
        "$qx/modules/m1/sys/events/down",
        "$qx/modules/m1/sys/commands/+",
        "$qx/modules/m1/sys/commands/response",
        "$qx/modules/m1/sys/messages/up",
        "$qx/modules/m1/sys/messages/down",
        "$qx/modules/m1/sys/properties/get/+",
        "$qx/modules/m1/sys/properties/get/response",
        "$qx/modules/m1/sys/properties/set/+",
        "$qx/modules/m1/sys/properties/set/response",
        "/modules/m1/customized/inputs/#",
        "/modules/m1/customized/outputs",
        "/modules/m1/points/set/request/+",
        "/modules/m1/points/get/request/+",
        "/modules/m1/points/set/response",
        "/modules/m1/points/get/response",
        "/modules/m1/points/report",
        "/modules/m1/datasource/connection/state",
        "/modules/m1/h2m/request/+",
        "/modules/m1/m2h/get_properties/request",
        "/modules/m1/m2h/set_properties/request",
        "/modules/m1/h2m/response",
        "/modules/m1/m2h/get_properties/response/+",
        "/modules/m1/m2h/set_properties/response/+",
        "$qx/modules/m1/sys/shadow/get",
        "$qx/modules/m1/sys/shadow/get/response/+",
        "$qx/modules/m1/sys/gateway/sub_devices/properties/report",
        "/modules/m1/sub_devices/properties/report",
        "$sub_device_manager",
        "$sub_device_discovery",
        "add_sub_device_notify",
        "delete_sub_device_notify",
        "start_scan",
        "get_products_response",
    };
    // The 40 fields follow each other in the record.
    char *const *table = &mgr()->sdk_version_topic;
    for (int i = 0; i < EDGE_MQTT_CONNS_TOPIC_COUNT; ++i) EXPECT_EQ(text(table[i]), expected[i]) << "entry " << i + 1;

    // Building again with another module id replaces every formatted entry.
    set_str("module_id", "m2");
    ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
    EXPECT_STREQ(mgr()->sys_commands_topic, "$qx/modules/m2/sys/commands/+");
    EXPECT_STREQ(mgr()->get_products_response_name, "get_products_response");
}

TEST_F(ConnsUnit, TopicTableNeedsAModuleIdAndSubscribingNeedsTableAndClient) {
    EXPECT_EQ(edge_mqtt_conns_build_topics(nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_ERR_NO_MODULE_ID);
    EXPECT_EQ(count_logged("ERROR module_id is empty, has sdk already bound?"), 1u);
    EXPECT_EQ(mgr()->sdk_version_topic, nullptr);
    EXPECT_EQ(mgr()->get_products_response_name, nullptr);

    EXPECT_EQ(edge_mqtt_conns_subscribe_topics(nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_subscribe_topics(mgr()), EDGE_ERR_MISSING);  // no client
    // A client that never connects: the missing table is what stops the subscriptions.
    edge_mqtt_client_t *client = edge_mqtt_create("127.0.0.1", 1, "c1", "u", "p", pool_);
    ASSERT_NE(client, nullptr);
    mgr()->client = client;
    EXPECT_EQ(edge_mqtt_conns_subscribe_topics(mgr()), EDGE_ERR_BAD_ARGUMENT);
    mgr()->client = nullptr;
    edge_mqtt_delete(client);
}

// ---------------------------------------------------------------------------------------------
// Inbound dispatch
// ---------------------------------------------------------------------------------------------

TEST_F(ConnsUnit, DispatchSplitsTheRequestIdAtTheFirstMarker) {
    ASSERT_EQ(edge_mqtt_conns_set_callback(on_message, nullptr, nullptr), EDGE_OK);
    struct Case {
        std::string topic;
        std::string payload;
        std::string bare;
        std::optional<std::string> id;
    } cases[] = {
        {"$qx/modules/m1/sys/commands/request_id=42", "{}", "$qx/modules/m1/sys/commands", "42"},
        {"/modules/m1/messages/inputs/in1", "x", "/modules/m1/messages/inputs/in1", std::nullopt},
        {"/modules/m1/points/get/request/request_id=", "{}", "/modules/m1/points/get/request", ""},
        {"/request_id=7", "p", "/request_id=7", std::nullopt},
        {"a/request_id=x/y/request_id=z", "p", "a", "x/y/request_id=z"},
        {"t/request_id", "p", "t/request_id", std::nullopt},
        {"bytes/request_id=1", std::string("\0\xff\n", 3), "bytes", "1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.topic);
        recorder().reset();
        EXPECT_EQ(edge_mqtt_conns_recv_msg(c.topic.c_str(), static_cast<int32_t>(c.topic.size()), c.payload.data(),
                                           static_cast<int32_t>(c.payload.size())),
                  EDGE_OK);
        const auto got = recorder().messages();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].topic, c.bare);
        EXPECT_EQ(got[0].request_id, c.id);
        EXPECT_EQ(got[0].payload, c.payload);
    }
    EXPECT_TRUE(logged("INFO recv msg, topic:***, payload_len:2"));
    EXPECT_FALSE(work_.log().find("sys/commands") != std::string::npos);  // the topic is masked

    // The callback's status comes back.
    recorder().set_status(77);
    EXPECT_EQ(edge_mqtt_conns_recv_msg("t", 1, "p", 1), 77u);
}

TEST_F(ConnsUnit, DispatchRefusesEmptyMessagesAndDropsThemWithoutCallback) {
    // No callback registered yet: handled and dropped after the INFO line.
    EXPECT_EQ(edge_mqtt_conns_recv_msg("t/x", 3, "p", 1), EDGE_OK);
    EXPECT_TRUE(logged("INFO recv msg, topic:***, payload_len:1"));
    ASSERT_EQ(edge_mqtt_conns_set_callback(on_message, on_connected, on_disconnected), EDGE_OK);
    struct Case {
        const char *topic;
        int32_t topic_len;
        const char *payload;
        int32_t payload_len;
    } cases[] = {{"t", 1, "", 0}, {"t", 1, nullptr, 3}, {nullptr, 0, "p", 1}, {"t", 0, "p", 1}, {"t", 1, "p", -1}};
    const size_t lines = work_.log_lines().size();
    for (const Case &c : cases) {
        EXPECT_EQ(edge_mqtt_conns_recv_msg(c.topic, c.topic_len, c.payload, c.payload_len), EDGE_ERR_BAD_ARGUMENT);
    }
    EXPECT_EQ(recorder().total(), 0);
    EXPECT_EQ(work_.log_lines().size(), lines);  // no log line for these

    // A null message callback is refused and the earlier ones stay.
    EXPECT_EQ(edge_mqtt_conns_set_callback(nullptr, nullptr, nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(mgr()->msg_callback, on_message);
    EXPECT_EQ(mgr()->connected_callback, on_connected);
    EXPECT_EQ(mgr()->disconnected_callback, on_disconnected);
}

// ---------------------------------------------------------------------------------------------
// Send policies
// ---------------------------------------------------------------------------------------------

TEST_F(ConnsUnit, SyncWaitOnlyForSendModeOne) {
    EXPECT_EQ(edge_mqtt_conns_get_timeout(), 0u);  // unset
    const std::pair<int32_t, uint32_t> cases[] = {{0, 0}, {1, 3000}, {2, 0}, {-1, 0}};
    for (const auto &[mode, wait] : cases) {
        set_int("mqtt_send_mode", mode);
        EXPECT_EQ(edge_mqtt_conns_get_timeout(), wait) << mode;
    }
}

TEST_F(ConnsUnit, SendingIsForbiddenOnlyWithTheOptionOnAndTheBrokerOverloaded) {
    struct Case {
        std::optional<int32_t> option;
        int32_t overloaded;
        int32_t forbidden;
    } cases[] = {{std::nullopt, 1, 0}, {0, 1, 0}, {-1, 1, 0}, {1, 0, 0}, {1, 1, 1}, {2, 1, 1}, {2, 5, 1}, {2, 0, 0}};
    for (const Case &c : cases) {
        if (c.option) set_int("forbid_send_when_broker_overloaded", *c.option);
        mgr()->broker_overloaded = c.overloaded;
        const size_t before = count_logged("WARN broker is overloadding, will forbid sending");
        EXPECT_EQ(edge_mqtt_conns_is_sending_forbidden(mgr()), c.forbidden);
        EXPECT_EQ(count_logged("WARN broker is overloadding, will forbid sending"), before + c.forbidden);
    }
    EXPECT_EQ(edge_mqtt_conns_is_sending_forbidden(nullptr), 0);
}

// ---------------------------------------------------------------------------------------------
// Sends before connecting
// ---------------------------------------------------------------------------------------------

namespace {

struct SendRow {
    const char *name;
    std::function<uint32_t(apr_pool_t *)> send;  // with arguments that pass its own checks
    bool own_connected_test;                     // else the core (or the client) reports it
};

std::vector<SendRow> send_rows() {
    const char *body = R"({"k":"v"})";
    const uint32_t len = 9;
    return {
        {"report_sdk_version", [](apr_pool_t *p) { return edge_mqtt_conns_report_sdk_version(p); }, false},
        {"send_request",
         [=](apr_pool_t *p) {
             return edge_mqtt_conns_send_request(edge_MQTT_CONNS_MGR_mgr_get()->h2m_response_topic, "r1", body, len, p);
         },
         true},
        {"send_shadows_req", [](apr_pool_t *) { return edge_mqtt_conns_send_shadows_req(); }, true},
        {"send_cmd_rsp", [=](apr_pool_t *p) { return edge_mqtt_conns_send_cmd_rsp("n", "r1", 0, body, len, p); }, true},
        {"send_module_request_rsp",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_module_request_rsp("r1", body, len, p); }, true},
        {"send_module_get_properties",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_module_get_properties("r1", body, len, p); }, true},
        {"send_module_set_properties",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_module_set_properties("r1", body, len, p); }, true},
        {"send_sub_device_property_get",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_sub_device_property_get("r1", body, len, p); }, true},
        {"send_sub_device_property_set_rsp",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_sub_device_property_set_rsp("r1", body, len, p); }, true},
        {"send_get_sub_device_shadow",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_get_sub_device_shadow("r1", body, len, p); }, true},
        {"send_points_get_rsp", [=](apr_pool_t *p) { return edge_mqtt_conns_send_points_get_rsp("r1", body, len, p); },
         true},
        {"send_points_set_rsp", [=](apr_pool_t *p) { return edge_mqtt_conns_send_points_set_rsp("r1", body, len, p); },
         true},
        {"send_points_report", [=](apr_pool_t *p) { return edge_mqtt_conns_send_points_report(body, len, p); }, false},
        {"send_datasource_connect_state_report",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_datasource_connect_state_report(body, len, p); }, false},
        {"send_device_message", [=](apr_pool_t *p) { return edge_mqtt_conns_send_device_message(body, len, p); }, true},
        {"send_device_event", [=](apr_pool_t *p) { return edge_mqtt_conns_send_device_event(body, len, p); }, true},
        {"send_batch_device_data_message",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_batch_device_data_message(body, len, p); }, true},
        {"send_batch_device_discovery_data_message",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_batch_device_discovery_data_message(body, len, p); }, true},
        {"send_service_event",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_service_event("e", "s", "t", body, len, p); }, true},
        {"send_get_device_product",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_get_device_product(body, len, p); }, true},
        {"send_sync_sub_device_event",
         [](apr_pool_t *p) { return edge_mqtt_conns_send_sync_sub_device_event("e", 3, p); }, true},
        {"send_sub_device_status_event",
         [](apr_pool_t *p) { return edge_mqtt_conns_send_sub_device_status_event("e", "[]", p); }, true},
        {"send_scan_result_event", [](apr_pool_t *p) { return edge_mqtt_conns_send_scan_result_event("s", "[]", p); },
         true},
        {"send_add_sub_device_event", [](apr_pool_t *p) { return edge_mqtt_conns_send_add_sub_device_event("[]", p); },
         true},
        {"send_delete_sub_device_event",
         [](apr_pool_t *p) { return edge_mqtt_conns_send_delete_sub_device_event("[]", p); }, true},
        {"send_customized_message",
         [=](apr_pool_t *p) { return edge_mqtt_conns_send_customized_message("sub", body, len, p); }, true},
    };
}

}  // namespace

TEST_F(ConnsUnit, EverySendBeforeConnectingIsRefusedAsNotConnected) {
    set_str("module_id", "m1");
    ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
    for (const SendRow &row : send_rows()) {
        SCOPED_TRACE(row.name);
        const size_t before = count_logged("ERROR mqtt not connected.");
        EXPECT_EQ(row.send(pool_), EDGE_ERR_MQTT_NOT_CONNECTED);
        EXPECT_EQ(count_logged("ERROR mqtt not connected."), before + 1);
    }
    // The bus message has no connected test: the MQTT client refuses, there being no client.
    EXPECT_EQ(edge_mqtt_conns_send_bus_message("out1", "b", 1, pool_), EDGE_ERR_MISSING);
    EXPECT_TRUE(logged("ERROR failed to send bus message. ret is: 20001"));
}

TEST_F(ConnsUnit, EverySendBeforeTheTopicTableExistsFindsNoTopic) {
    // Connected as far as the flag says, but no table: the core finds no topic. It logs nothing
    // itself (the members that log every failure still do), and the MQTT client is not asked.
    mgr()->connected = 1;
    for (const SendRow &row : send_rows()) {
        SCOPED_TRACE(row.name);
        if (std::string(row.name) == "send_request") continue;  // takes its topic from the caller
        EXPECT_EQ(row.send(pool_), EDGE_ERR_MISSING);
    }
    EXPECT_EQ(edge_mqtt_conns_send_request(nullptr, "r1", "b", 1, pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_send_bus_message("out1", "b", 1, pool_), EDGE_ERR_MISSING);
    EXPECT_FALSE(logged("ERROR input error."));
    EXPECT_EQ(work_.log().find(" publish topic: "), std::string::npos);
    EXPECT_FALSE(logged("ERROR mqtt not connected."));
    mgr()->connected = 0;
}

TEST_F(ConnsUnit, SendsCheckTheirArgumentsFirst) {
    // Checked before the manager: the same answers with the service destroyed.
    const std::function<uint32_t()> bad[] = {
        [&] { return edge_mqtt_conns_send_request("t", "", "b", 1, pool_); },
        [&] { return edge_mqtt_conns_send_request("t", "r", nullptr, 1, pool_); },
        [&] { return edge_mqtt_conns_send_request("t", "r", "b", 0, pool_); },
        [&] { return edge_mqtt_conns_send_request("t", "r", "b", 1, nullptr); },
        [&] { return edge_mqtt_conns_send_cmd_rsp("n", nullptr, 0, nullptr, 0, pool_); },
        [&] { return edge_mqtt_conns_send_cmd_rsp("n", "r", 0, nullptr, 0, nullptr); },
        [&] { return edge_mqtt_conns_send_module_request_rsp(nullptr, "b", 1, pool_); },
        [&] { return edge_mqtt_conns_send_module_get_properties("r", "b", 0, pool_); },
        [&] { return edge_mqtt_conns_send_module_set_properties("r", nullptr, 1, pool_); },
        [&] { return edge_mqtt_conns_send_sub_device_property_get("r", "b", 1, nullptr); },
        [&] { return edge_mqtt_conns_send_sub_device_property_set_rsp("", "b", 1, pool_); },
        [&] { return edge_mqtt_conns_send_get_sub_device_shadow("r", "b", 0, pool_); },
        [&] { return edge_mqtt_conns_send_points_report(nullptr, 3, pool_); },
        [&] { return edge_mqtt_conns_send_points_report("b", 1, nullptr); },
        [&] { return edge_mqtt_conns_send_datasource_connect_state_report("b", 1, nullptr); },
        [&] { return edge_mqtt_conns_send_device_message("b", 0, pool_); },
        [&] { return edge_mqtt_conns_send_device_event(nullptr, 1, pool_); },
        [&] { return edge_mqtt_conns_send_batch_device_data_message("b", 1, nullptr); },
        [&] { return edge_mqtt_conns_send_batch_device_discovery_data_message("b", 0, pool_); },
        [&] { return edge_mqtt_conns_send_service_event("e", "", "t", "{}", 2, pool_); },
        [&] { return edge_mqtt_conns_send_service_event("e", "s", nullptr, "{}", 2, pool_); },
        [&] { return edge_mqtt_conns_send_service_event("e", "s", "t", "{}", 0, pool_); },
        [&] { return edge_mqtt_conns_send_get_device_product("b", 0, pool_); },
        [&] { return edge_mqtt_conns_send_sync_sub_device_event("e", -1, pool_); },
        [&] { return edge_mqtt_conns_send_sync_sub_device_event("e", 1, nullptr); },
        [&] { return edge_mqtt_conns_send_sub_device_status_event("e", "", pool_); },
        [&] { return edge_mqtt_conns_send_sub_device_status_event("e", "not json", pool_); },
        [&] { return edge_mqtt_conns_send_scan_result_event("s", nullptr, pool_); },
        [&] { return edge_mqtt_conns_send_scan_result_event("s", "not json", pool_); },
        [&] { return edge_mqtt_conns_send_add_sub_device_event("", pool_); },
        [&] { return edge_mqtt_conns_send_delete_sub_device_event("[]", nullptr); },
        [&] { return edge_mqtt_conns_send_customized_message("s", "b", 0, pool_); },
    };
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < std::size(bad); ++i) EXPECT_EQ(bad[i](), EDGE_ERR_BAD_ARGUMENT) << "case " << i;
        edge_mqtt_conns_destroy();
    }
    // The bus message names what is missing.
    const struct {
        const char *output, *body;
        uint32_t len;
        const char *line;
    } bus[] = {
        {nullptr, "b", 1, "ERROR output or body is empty. output topic is: (null), body is: b"},
        {"", "b", 1, "ERROR output or body is empty. output topic is: , body is: b"},
        {"out1", "body", 0, "ERROR output or body is empty. output topic is: out1, body is: body"},
        {"out1", nullptr, 4, "ERROR output or body is empty. output topic is: out1, body is: (null)"},
    };
    for (const auto &c : bus) {
        EXPECT_EQ(edge_mqtt_conns_send_bus_message(c.output, c.body, c.len, pool_), EDGE_ERR_MISSING);
        EXPECT_TRUE(logged(c.line)) << c.line;
    }
}

// ---------------------------------------------------------------------------------------------
// Credentials
// ---------------------------------------------------------------------------------------------

TEST_F(ConnsUnit, ClientIdIsModuleIdAndUtcTime) {
    const std::time_t before = std::time(nullptr);
    const char *id = edge_mqtt_conns_build_client_id(pool_, "m1");
    const std::time_t after = std::time(nullptr);
    ASSERT_NE(id, nullptr);
    const std::string at_before = "module_m1_1_" + utc_stamp(before, false);
    const std::string at_after = "module_m1_1_" + utc_stamp(after, false);
    EXPECT_TRUE(id == at_before || id == at_after) << id;
    EXPECT_EQ(edge_mqtt_conns_build_client_id(nullptr, "m1"), nullptr);
    EXPECT_EQ(edge_mqtt_conns_build_client_id(pool_, ""), nullptr);
    EXPECT_EQ(edge_mqtt_conns_build_client_id(pool_, nullptr), nullptr);
}

TEST_F(ConnsUnit, PasswordIsTheHmacOfTheClientIdForAnyModuleIdLength) {
    configure("m1234567", "127.0.0.1", 1);
    // 7 characters give a 31-character client id; the password is as long as any other.
    for (const char *module_id : {"m123456", "m1234567", "m", "a-much-longer-module-identifier"}) {
        const char *client_id = edge_mqtt_conns_build_client_id(pool_, module_id);
        ASSERT_NE(client_id, nullptr);
        const char *password = edge_mqtt_conns_build_password(pool_, client_id, 0);
        ASSERT_NE(password, nullptr) << client_id;
        EXPECT_EQ(password, openssl_hmac_hex(client_id)) << client_id;
    }
    EXPECT_EQ(edge_mqtt_conns_build_password(nullptr, "c", 0), nullptr);
    EXPECT_EQ(edge_mqtt_conns_build_password(pool_, "", 0), nullptr);
}

TEST_F(ConnsUnit, PasswordWithoutSecretOrDaemonToken) {
    EXPECT_EQ(edge_mqtt_conns_build_password(pool_, "module_m1_1_20230101000000", 0), nullptr);
    EXPECT_TRUE(logged("ERROR build password failed, digest failed, ret:20020"));
    EXPECT_EQ(edge_mqtt_conns_build_password(pool_, "module_m1_1_20230101000000", 1), nullptr);
    EXPECT_TRUE(logged("INFO new daemon token not get, ignore."));

    const std::string token(255, 't');
    set_str("daemon_token", token, true);
    const char *password = edge_mqtt_conns_build_password(pool_, "module_m1_1_20230101000000", 1);
    ASSERT_NE(password, nullptr);
    EXPECT_EQ(password, token);
    // One more than the buffer holds with its terminator: refused, not cut short.
    set_str("daemon_token", token + "t", true);
    EXPECT_EQ(edge_mqtt_conns_build_password(pool_, "module_m1_1_20230101000000", 1), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Init, start and destroy
// ---------------------------------------------------------------------------------------------

TEST_F(ConnsUnit, InitMakesTheConnectWorker) {
    EXPECT_TRUE(logged("INFO edge mqtt connections init success."));
    EXPECT_TRUE(logged("INFO retry worker create, name:edge_mqtt_connections"));
    edge_base_retry_t *worker = mgr()->connect_worker;
    ASSERT_NE(worker, nullptr);
    EXPECT_STREQ(worker->name, "edge_mqtt_connections");
    EXPECT_EQ(worker->operation, edge_mqtt_conns_connect_runner);
    EXPECT_EQ(worker->max_retries, -1);
    EXPECT_EQ(worker->max_delay, 128u);
    EXPECT_EQ(worker->stop_on_success, 0u);
    EXPECT_EQ(worker->thread, nullptr);
    EXPECT_STREQ(mgr()->head.name, "MQTT_CONNS_MGR");
    EXPECT_EQ(mgr()->head.slot, EDGE_MGR_SLOT_MQTT_CONNS);
}

TEST_F(ConnsUnit, DestroyLeavesNothingForTheNextInitAndIsRepeatable) {
    set_str("module_id", "m1");
    ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_set_callback(on_message, on_connected, on_disconnected), EDGE_OK);
    mgr()->broker_overloaded = 1;
    mgr()->connected = 1;
    edge_mqtt_conns_destroy();
    edge_mqtt_conns_destroy();  // harmless

    // Every operation finds no manager.
    EXPECT_EQ(edge_MQTT_CONNS_MGR_mgr_get_pool(), nullptr);
    EXPECT_EQ(edge_mqtt_conns_start_connect(), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_disconnect(), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_connect_runner(nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_set_callback(on_message, nullptr, nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_recv_msg("t", 1, "p", 1), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_send_shadows_req(), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_report_sdk_version(pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_send_device_message("b", 1, pool_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_mqtt_conns_send_bus_message("o", "b", 1, pool_), EDGE_ERR_MISSING);
    edge_mqtt_conns_recv_connected();
    edge_mqtt_conns_recv_disconnected("gone");
    EXPECT_EQ(recorder().total(), 0);

    // The registry keeps the record, cleared.
    edge_mqtt_conns_mgr_t *old = mgr();
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->connected, 0);
    EXPECT_EQ(old->broker_overloaded, 0);
    EXPECT_EQ(old->sys_commands_topic, nullptr);
    EXPECT_EQ(old->msg_callback, nullptr);
    EXPECT_EQ(old->connect_worker, nullptr);

    ASSERT_EQ(edge_mqtt_conns_init(), EDGE_OK);
    EXPECT_EQ(mgr()->connected, 0);
    EXPECT_EQ(mgr()->broker_overloaded, 0);
    EXPECT_EQ(mgr()->client, nullptr);
    EXPECT_EQ(mgr()->sdk_version_topic, nullptr);
    EXPECT_EQ(mgr()->msg_callback, nullptr);
    EXPECT_EQ(mgr()->connected_callback, nullptr);
    EXPECT_EQ(mgr()->disconnected_callback, nullptr);
    ASSERT_NE(mgr()->connect_worker, nullptr);
    EXPECT_EQ(mgr()->connect_worker->thread, nullptr);
    EXPECT_EQ(edge_mqtt_conns_send_shadows_req(), EDGE_ERR_MQTT_NOT_CONNECTED);
}

TEST_F(ConnsUnit, TriesWithoutBrokerAddressLogAndWaitLonger) {
    // Everything but the broker's address.
    set_str("module_id", "m1");
    set_int("mqtt_server_port", 1883);
    ASSERT_EQ(edge_cipher_save_key("secret", reinterpret_cast<const unsigned char *>(kSecret.data()),
                                   static_cast<uint32_t>(kSecret.size()), 0),
              EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);  // the worker runs already: nothing more
    const std::string failure = "ERROR build mqtt connect info failed, moduleId clientId or password is empty.";
    ASSERT_TRUE(
        wait_until([&] { return logged("INFO retry worker:edge_mqtt_connections wait for 2s and start 1 try"); }, 5s));
    EXPECT_EQ(count_logged(failure), 1u);  // one worker: one try so far
    ASSERT_TRUE(
        wait_until([&] { return logged("INFO retry worker:edge_mqtt_connections wait for 4s and start 2 try"); }, 5s));
    EXPECT_EQ(count_logged(failure), 2u);
    EXPECT_EQ(count_logged("INFO start mqtt connections."), 2u);
    EXPECT_EQ(recorder().total(), 0);  // no attempt was started, so no callback
    EXPECT_FALSE(logged("ERROR build password failed, digest failed, ret:20020"));
    const auto started = std::chrono::steady_clock::now();
    edge_mqtt_conns_destroy();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);  // the 4 s wait is cut short
}

TEST_F(ConnsUnit, TriesWithTheDaemonFlagButNoTokenFailTheSameWay) {
    configure("m1", "127.0.0.1", 1);
    set_str("new_daemon_flag", "1");
    ASSERT_EQ(edge_mqtt_conns_connect_runner(nullptr), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_TRUE(logged("INFO new daemon token not get, ignore."));
    EXPECT_TRUE(logged("ERROR build mqtt connect info failed, moduleId clientId or password is empty."));
    EXPECT_EQ(edge_mqtt_conns_create_handler(nullptr), EDGE_ERR_MISSING);
}

TEST_F(ConnsUnit, ATryWhileConnectedTouchesNothing) {
    mgr()->connected = 1;
    EXPECT_EQ(edge_mqtt_conns_connect_runner(nullptr), EDGE_OK);
    EXPECT_TRUE(logged("WARN already connected."));
    EXPECT_EQ(edge_mqtt_conns_create_handler(mgr()), EDGE_ERR_MQTT_CONNECTED);
    EXPECT_TRUE(logged("ERROR mqtt have already connected."));
    EXPECT_EQ(mgr()->client, nullptr);
    // Disconnect clears the flag; without a client the MQTT client's status comes back.
    EXPECT_EQ(edge_mqtt_conns_disconnect(), EDGE_ERR_MISSING);
    EXPECT_EQ(mgr()->connected, 0);
}

namespace {
uint32_t destroy_from_callback(const char *, const char *, const void *, int32_t) {
    edge_mqtt_conns_destroy();
    return EDGE_OK;
}
}  // namespace

TEST_F(ConnsUnit, DestroyFromInsideACallbackIsRefused) {
    ASSERT_EQ(edge_mqtt_conns_set_callback(destroy_from_callback, nullptr, nullptr), EDGE_OK);
    EXPECT_EQ(edge_mqtt_conns_recv_msg("t", 1, "p", 1), EDGE_OK);
    EXPECT_TRUE(logged("ERROR mqtt connections destroy refused inside an mqtt callback."));
    EXPECT_NE(edge_MQTT_CONNS_MGR_mgr_get_pool(), nullptr);
}
