// The service against a real mosquitto broker over TLS, with the mosquitto command-line
// clients as the cloud side: credentials (checked by the broker with the dev node's plugin),
// subscriptions, reconnecting, inbound commands and every outbound message as the peer
// receives it.
#include <algorithm>
#include <functional>
#include <regex>
#include <set>
#include <thread>

#include "mqtt_conns_test_common.hpp"

using namespace conns_test;
using gravel::test::mqtt_publish;
using gravel::test::MqttSubscriber;
using gravel::test::wait_until;

namespace {

// The client ids and user names the broker saw connecting, from its log.
std::vector<std::pair<std::string, std::string>> broker_clients(const gravel::test::MosquittoBroker &broker) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::string log = broker.log();
    const std::regex line(R"(New client connected from [0-9.:]+ as (\S+) \(p\d, c1, k30, u'([^']*)'\))");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it) {
        out.emplace_back((*it)[1], (*it)[2]);
    }
    return out;
}

// Event bodies carry the time of sending: compared without it.
std::string without_event_time(const std::string &payload) {
    static const std::regex time(R"("event_time":"\d{8}T\d{6}Z")");
    return std::regex_replace(payload, time, R"("event_time":"T")");
}

std::atomic<int32_t> g_flag_in_callback{-1};
void note_flag_then_record() {
    g_flag_in_callback = connected_flag();
    on_connected();
}

// Answers every command from inside the message callback, as a module does.
uint32_t answer_commands(const char *topic, const char *request_id, const void *payload, int32_t payload_len) {
    const uint32_t rc = on_message(topic, request_id, payload, payload_len);
    if (request_id != nullptr && std::string(topic).find("/sys/commands") != std::string::npos) {
        apr_pool_t *pool = edge_MQTT_CONNS_MGR_mgr_create_pool();
        const std::string paras(static_cast<const char *>(payload), static_cast<size_t>(payload_len));
        (void)edge_mqtt_conns_send_cmd_rsp("reboot", request_id, 0, paras.c_str(), static_cast<uint32_t>(paras.size()),
                                           pool);
        edge_base_memory_pool_destroy(&pool);
    }
    return rc;
}

// Milliseconds since the epoch, `offset` from now, as the credentials file has them.
std::string ms_from_now(std::chrono::seconds offset) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now + offset).count());
}

}  // namespace

TEST_F(ConnsBroker, ConnectsWithClientIdUserNameAndTheHmacPassword) {
    struct Case {
        const char *module_id;
        bool daemon_token;
    } cases[] = {{"m123456", false}, {"m1234567", false}, {"m7654321", true}};
    broker_knows(gravel::test::cat("module m123456 ", kSecret, "\nmodule m1234567 ", kSecret, "\nmodule m7654321 ",
                                   kSecret, "\ntoken m7654321 daemon-token-value ", ms_from_now(3600s), "\n"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.module_id);
        recorder().reset();
        if (c.daemon_token) {
            set_str("new_daemon_flag", "1");
            set_str("daemon_token", "daemon-token-value", true);
        }
        configure(c.module_id, broker_->host(), broker_->port());
        start_and_wait_connected();
        const auto clients = broker_clients(*broker_);
        ASSERT_FALSE(clients.empty()) << broker_->log();
        const auto &[client_id, user] = clients.back();
        EXPECT_TRUE(std::regex_match(client_id, std::regex("module_" + std::string(c.module_id) + R"(_1_\d{14})")))
            << client_id;
        EXPECT_EQ(user, c.module_id);
        // The password the try builds for that client id, against the openssl tool's HMAC.
        const char *password = edge_mqtt_conns_build_password(pool_, client_id.c_str(), c.daemon_token ? 1 : 0);
        ASSERT_NE(password, nullptr);
        EXPECT_EQ(password, c.daemon_token ? std::string("daemon-token-value") : openssl_hmac_hex(client_id));
        EXPECT_EQ(connected_flag(), 1);
        // And the broker took it for that: the plugin checked the client id, its time, the
        // user name and the password the service sent.
        if (broker_->checks_credentials()) {
            const std::string accepted = gravel::test::cat("gravel-devnode-auth: accepted client ", client_id, " user ",
                                                           c.module_id, c.daemon_token ? " (daemon token)" : " (hmac)");
            EXPECT_NE(broker_->log().find(accepted), std::string::npos) << broker_->log();
        }
        // Start the next module id from a fresh service.
        edge_mqtt_conns_destroy();
        ASSERT_EQ(edge_mqtt_conns_init(), EDGE_OK);
    }
}

TEST_F(ConnsBroker, ABrokerThatKnowsAnotherSecretRefusesEveryTryAndTheServiceKeepsTrying) {
    if (!broker_->checks_credentials()) GTEST_SKIP() << kNoPlugin;
    broker_knows("module " + module_id_ + " another-secret-than-the-store-holds\n");
    shorten_delays();
    ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_set_callback(on_message, on_connected, on_disconnected), EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
    // Try after try is refused, and the service goes on trying.
    EXPECT_TRUE(wait_until([&] { return broker_decisions(": wrong password") >= 3; }, 20s)) << broker_->log();
    EXPECT_EQ(broker_decisions("(hmac)"), 0u);
    EXPECT_EQ(recorder().connected_count(), 0);
    EXPECT_EQ(connected_flag(), 0);
    EXPECT_EQ(edge_mqtt_conns_send_device_message("x", 1, pool_), EDGE_ERR_MQTT_NOT_CONNECTED);

    // Once the broker knows the store's secret, the next try gets in.
    broker_knows("module " + module_id_ + " " + kSecret + "\n");
    EXPECT_TRUE(wait_until([&] { return recorder().connected_count() == 1; }, 20s)) << broker_->log();
    // On a loaded machine a try may take longer than the second between tries: the next try
    // replaces its client while the broker accepts it, so more than one login may be accepted,
    // but only the last client's connection counts.
    EXPECT_GE(broker_decisions("(hmac)"), 1u);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(recorder().connected_count(), 1);
}

TEST_F(ConnsBroker, ADaemonTokenConnectsWhileTheBrokerHoldsItUnexpired) {
    if (!broker_->checks_credentials()) GTEST_SKIP() << kNoPlugin;
    struct Case {
        const char *name;
        std::string token_line;  // what the broker knows of the token the store holds
        const char *decision;    // the end of the broker's line for each try: "(how)" or ": reason"
    };
    const std::string token = "daemon-token-4f1c9a";
    const std::vector<Case> cases = {
        {"issued for an hour", "token " + module_id_ + " " + token + " " + ms_from_now(3600s), "(daemon token)"},
        {"expired a minute ago", "token " + module_id_ + " " + token + " " + ms_from_now(-60s),
         ": daemon token expired"},
        {"issued to another module", "token m7654321 " + token + " " + ms_from_now(3600s), ": wrong password"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        recorder().reset();
        edge_mqtt_conns_destroy();
        ASSERT_EQ(edge_mqtt_conns_init(), EDGE_OK);
        shorten_delays();
        set_str("new_daemon_flag", "1");
        set_str("daemon_token", token, true);
        broker_knows("module " + module_id_ + " " + kSecret + "\nmodule m7654321 " + kSecret + "\n" + c.token_line +
                     "\n");
        const size_t before = broker_decisions(c.decision);
        ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
        ASSERT_EQ(edge_mqtt_conns_set_callback(on_message, on_connected, on_disconnected), EDGE_OK);
        ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
        if (std::string(c.decision) == "(daemon token)") {
            ASSERT_TRUE(wait_until([&] { return recorder().connected_count() == 1; }, 20s)) << broker_->log();
            EXPECT_EQ(broker_decisions(c.decision), before + 1);
            EXPECT_EQ(connected_flag(), 1);
        } else {
            EXPECT_TRUE(wait_until([&] { return broker_decisions(c.decision) >= before + 2; }, 20s)) << broker_->log();
            EXPECT_EQ(recorder().connected_count(), 0);
            EXPECT_EQ(connected_flag(), 0);
        }
    }
}

TEST_F(ConnsBroker, ConnectedSubscribesInOrderThenSetsTheFlagThenCallsBack) {
    ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_set_callback(on_message, note_flag_then_record, on_disconnected), EDGE_OK);
    // A sender on another thread from before the start until the connected callback.
    std::vector<uint32_t> results;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        apr_pool_t *pool = nullptr;
        for (int i = 0; i < 200000 && !stop.load() && recorder().connected_count() == 0; ++i) {
            pool = edge_MQTT_CONNS_MGR_mgr_create_pool();
            results.push_back(edge_mqtt_conns_send_device_message("probe", 5, pool));
            edge_base_memory_pool_destroy(&pool);
        }
    });
    ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
    const bool connected = wait_until([&] { return recorder().connected_count() == 1; }, 20s);
    stop = true;
    sender.join();
    ASSERT_TRUE(connected);
    EXPECT_EQ(g_flag_in_callback.load(), 1);

    const std::string id = module_id_;
    const std::vector<std::string> expected = {
        "/modules/" + id + "/events/notify",
        "/modules/" + id + "/shadow/notify",
        "/modules/" + id + "/messages/inputs/+",
        "$qx/modules/" + id + "/sys/events/down",
        "$qx/modules/" + id + "/sys/commands/+",
        "$qx/modules/" + id + "/sys/messages/down",
        "$qx/modules/" + id + "/sys/properties/get/+",
        "$qx/modules/" + id + "/sys/properties/set/+",
        "$qx/modules/" + id + "/sys/shadow/get/response/+",
        "/modules/" + id + "/customized/inputs/#",
        "/modules/" + id + "/points/set/request/+",
        "/modules/" + id + "/points/get/request/+",
        "/modules/" + id + "/h2m/request/+",
        "/modules/" + id + "/m2h/get_properties/response/+",
        "/modules/" + id + "/m2h/set_properties/response/+",
    };
    const auto subscribed = lines_with(work_, " subscribe topic: ");
    ASSERT_EQ(subscribed.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string tail = " subscribe topic: " + expected[i] + " qos: 1";
        EXPECT_EQ(subscribed[i].substr(subscribed[i].size() - std::min(subscribed[i].size(), tail.size())), tail);
    }
    // Every send that went out came after the last subscription was requested; those before
    // were refused as not connected.
    const long last_subscribe = line_index(work_, expected.back() + " qos: 1");
    const long first_publish = line_index(work_, " publish topic: $qx/modules/" + id + "/sys/messages/up");
    ASSERT_GE(last_subscribe, 0);
    if (first_publish >= 0) {
        EXPECT_GT(first_publish, last_subscribe);
    }
    EXPECT_LT(line_index(work_, "INFO mqtt connected."), line_index(work_, " subscribe topic: "));
    EXPECT_GT(line_index(work_, "INFO mqtt connected end."), last_subscribe);
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results.front(), EDGE_ERR_MQTT_NOT_CONNECTED);
    for (uint32_t rc : results) EXPECT_TRUE(rc == EDGE_OK || rc == EDGE_ERR_MQTT_NOT_CONNECTED) << rc;

    // Each subscription is in force: a message on a topic it matches reaches the callback.
    const std::vector<std::string> concrete = {
        "/modules/" + id + "/events/notify",
        "/modules/" + id + "/shadow/notify",
        "/modules/" + id + "/messages/inputs/in1",
        "$qx/modules/" + id + "/sys/events/down",
        "$qx/modules/" + id + "/sys/commands/request_id=1",
        "$qx/modules/" + id + "/sys/messages/down",
        "$qx/modules/" + id + "/sys/properties/get/request_id=2",
        "$qx/modules/" + id + "/sys/properties/set/request_id=3",
        "$qx/modules/" + id + "/sys/shadow/get/response/request_id=4",
        "/modules/" + id + "/customized/inputs/a/b",
        "/modules/" + id + "/points/set/request/request_id=5",
        "/modules/" + id + "/points/get/request/request_id=6",
        "/modules/" + id + "/h2m/request/request_id=7",
        "/modules/" + id + "/m2h/get_properties/response/request_id=8",
        "/modules/" + id + "/m2h/set_properties/response/request_id=9",
    };
    for (const auto &topic : concrete) ASSERT_EQ(mqtt_publish(*broker_, topic, "{\"n\":1}"), 0) << topic;
    ASSERT_TRUE(wait_until([&] { return recorder().messages().size() >= concrete.size(); }, 20s))
        << recorder().messages().size();
    std::set<std::string> seen;
    for (const auto &m : recorder().messages()) {
        seen.insert(m.request_id ? m.topic + "/request_id=" + *m.request_id : m.topic);
    }
    for (const auto &topic : concrete) EXPECT_EQ(seen.count(topic), 1u) << topic;
}

TEST_F(ConnsBroker, ACommandReachesTheCallbackAndTheAnswerReachesTheCloud) {
    MqttSubscriber cloud(*broker_, "$qx/modules/" + module_id_ + "/sys/commands/response/#");
    ASSERT_TRUE(cloud.wait_subscribed(10s)) << cloud.output();
    ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_set_callback(answer_commands, on_connected, on_disconnected), EDGE_OK);
    ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return recorder().connected_count() == 1; }, 20s));

    const std::string payload = R"({"cmd":"reboot","args":[1,"two",{"x":null}],"u":"\u00e9"})";
    ASSERT_EQ(mqtt_publish(*broker_, "$qx/modules/" + module_id_ + "/sys/commands/request_id=42", payload), 0);
    ASSERT_TRUE(cloud.wait_messages(1, 20s)) << cloud.output();
    const auto got = recorder().messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].topic, "$qx/modules/" + module_id_ + "/sys/commands");
    EXPECT_EQ(got[0].request_id, std::optional<std::string>("42"));
    EXPECT_EQ(got[0].payload, payload);
    const auto answers = cloud.messages();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].topic, "$qx/modules/" + module_id_ + "/sys/commands/response/request_id=42");
    EXPECT_EQ(answers[0].payload, R"({"result_code":0,"response_name":"reboot","paras":)" +
                                      std::string(R"({"cmd":"reboot","args":[1,"two",{"x":null}],"u":"é"}})"));
    EXPECT_EQ(answers[0].qos, 1);
    EXPECT_FALSE(answers[0].retained);
}

TEST_F(ConnsBroker, EverySendArrivesOnItsTopicWithQos1NotRetained) {
    set_str("device_id", "dev1");
    MqttSubscriber local(*broker_, "#");
    MqttSubscriber sys(*broker_, "$qx/#");
    ASSERT_TRUE(local.wait_subscribed(10s)) << local.output();
    ASSERT_TRUE(sys.wait_subscribed(10s)) << sys.output();
    start_and_wait_connected();

    const std::string m = "/modules/" + module_id_;
    const std::string q = "$qx/modules/" + module_id_ + "/sys";
    const char *body = R"({"k":"v"})";
    const uint32_t len = 9;
    const std::string event_head = R"({"services":[{"service_id":")";
    auto event = [&](const std::string &service, const std::string &type, const std::string &id,
                     const std::string &paras) {
        return event_head + service + R"(","event_type":")" + type + R"(","event_time":"T",)" +
               (id.empty() ? "" : R"("event_id":")" + id + "\",") + R"("paras":)" + paras +
               R"(}],"object_device_id":"dev1"})";
    };
    struct Row {
        const char *name;
        std::function<uint32_t()> send;
        std::string topic;
        std::string payload;
    };
    const std::string devices = R"([{"device_id":"d1"}])";
    const std::vector<Row> rows = {
        {"send_cmd_rsp", [&] { return edge_mqtt_conns_send_cmd_rsp("r1", "abc", 5, body, len, pool_); },
         q + "/commands/response/request_id=abc", R"({"result_code":5,"response_name":"r1","paras":{"k":"v"}})"},
        {"send_cmd_rsp without parameters",
         [&] { return edge_mqtt_conns_send_cmd_rsp("r1", "abd", 0, nullptr, 0, pool_); },
         q + "/commands/response/request_id=abd", R"({"result_code":0,"response_name":"r1","paras":{}})"},
        // On a topic of the module's own: a node's broker drops a module's publish elsewhere.
        {"send_request",
         [&] { return edge_mqtt_conns_send_request((m + "/custom/req").c_str(), "r/1", body, len, pool_); },
         m + "/custom/req/request_id=r/1", body},
        {"send_shadows_req", [&] { return edge_mqtt_conns_send_shadows_req(); }, m + "/shadow/get", ""},
        {"send_module_request_rsp", [&] { return edge_mqtt_conns_send_module_request_rsp("i1", body, len, pool_); },
         m + "/h2m/response/request_id=i1", body},
        {"send_module_get_properties",
         [&] { return edge_mqtt_conns_send_module_get_properties("i2", body, len, pool_); },
         m + "/m2h/get_properties/request/request_id=i2", body},
        {"send_module_set_properties",
         [&] { return edge_mqtt_conns_send_module_set_properties("i3", body, len, pool_); },
         m + "/m2h/set_properties/request/request_id=i3", body},
        {"send_sub_device_property_get",
         [&] { return edge_mqtt_conns_send_sub_device_property_get("i4", body, len, pool_); },
         q + "/properties/get/response/request_id=i4", body},
        {"send_sub_device_property_set_rsp",
         [&] { return edge_mqtt_conns_send_sub_device_property_set_rsp("i5", body, len, pool_); },
         q + "/properties/set/response/request_id=i5", body},
        {"send_get_sub_device_shadow",
         [&] { return edge_mqtt_conns_send_get_sub_device_shadow("i6", body, len, pool_); },
         q + "/shadow/get/request_id=i6", body},
        {"send_points_get_rsp", [&] { return edge_mqtt_conns_send_points_get_rsp("i7", body, len, pool_); },
         m + "/points/get/response/request_id=i7", body},
        {"send_points_set_rsp", [&] { return edge_mqtt_conns_send_points_set_rsp("i8", body, len, pool_); },
         m + "/points/set/response/request_id=i8", body},
        {"send_points_report", [&] { return edge_mqtt_conns_send_points_report(body, len, pool_); },
         m + "/points/report", body},
        {"send_datasource_connect_state_report",
         [&] { return edge_mqtt_conns_send_datasource_connect_state_report(body, len, pool_); },
         m + "/datasource/connection/state", body},
        {"send_device_message with a NUL at byte 5",
         [&] { return edge_mqtt_conns_send_device_message("abcd\0efghi", 10, pool_); }, q + "/messages/up", "abcd"},
        {"send_device_event", [&] { return edge_mqtt_conns_send_device_event(body, len, pool_); }, q + "/events/up",
         body},
        {"send_batch_device_data_message",
         [&] { return edge_mqtt_conns_send_batch_device_data_message(body, len, pool_); },
         q + "/gateway/sub_devices/properties/report", body},
        {"send_batch_device_discovery_data_message",
         [&] { return edge_mqtt_conns_send_batch_device_discovery_data_message(body, len, pool_); },
         m + "/sub_devices/properties/report", body},
        {"send_service_event", [&] { return edge_mqtt_conns_send_service_event("e1", "s1", "t1", body, len, pool_); },
         q + "/events/up", event("s1", "t1", "e1", body)},
        {"send_get_device_product", [&] { return edge_mqtt_conns_send_get_device_product(body, len, pool_); },
         q + "/events/up", event("$sub_device_manager", "get_products", "", body)},
        {"send_sync_sub_device_event", [&] { return edge_mqtt_conns_send_sync_sub_device_event("e2", 0, pool_); },
         q + "/events/up", event("$sub_device_manager", "sub_device_sync_request", "e2", R"({"version":0})")},
        {"send_sub_device_status_event",
         [&] { return edge_mqtt_conns_send_sub_device_status_event(nullptr, R"([{"s":1}])", pool_); }, q + "/events/up",
         event("$sub_device_manager", "sub_device_update_status", "", R"({"device_statuses":[{"s":1}]})")},
        {"send_scan_result_event",
         [&] { return edge_mqtt_conns_send_scan_result_event("scanning", devices.c_str(), pool_); }, q + "/events/up",
         event("$sub_device_discovery", "scan_result", "",
               R"({"state":"scanning","module_id":")" + module_id_ + R"(","devices":)" + devices + "}")},
        {"send_add_sub_device_event", [&] { return edge_mqtt_conns_send_add_sub_device_event(devices.c_str(), pool_); },
         q + "/events/up",
         event("$sub_device_discovery", "scan_result", "",
               R"({"state":"added","module_id":")" + module_id_ + R"(","devices":)" + devices + "}")},
        {"send_delete_sub_device_event",
         [&] { return edge_mqtt_conns_send_delete_sub_device_event(devices.c_str(), pool_); }, q + "/events/up",
         event("$sub_device_discovery", "scan_result", "",
               R"({"state":"deleted","module_id":")" + module_id_ + R"(","devices":)" + devices + "}")},
        {"send_bus_message", [&] { return edge_mqtt_conns_send_bus_message("out1", body, len, pool_); },
         m + "/messages/outputs/out1", body},
        {"send_customized_message", [&] { return edge_mqtt_conns_send_customized_message("a/b", body, len, pool_); },
         m + "/customized/outputs/a/b", body},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].send(), EDGE_OK) << rows[i].name;
        // One at a time, so the order of arrival is the order of the table.
        ASSERT_TRUE(wait_until([&] { return local.messages().size() + sys.messages().size() >= i + 1; }, 10s))
            << rows[i].name;
    }
    std::vector<gravel::test::ReceivedMessage> got = local.messages();
    for (const auto &msg : sys.messages()) got.push_back(msg);
    ASSERT_EQ(got.size(), rows.size());
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto it = std::find_if(got.begin(), got.end(), [&](const auto &msg) {
            return msg.topic == row.topic && without_event_time(msg.payload) == row.payload;
        });
        ASSERT_NE(it, got.end()) << "not received: " << row.topic << " " << row.payload;
        EXPECT_EQ(it->qos, 1);
        EXPECT_FALSE(it->retained);
        got.erase(it);
    }

    // The version report: the kit's version, a string of the form YY.MM.DD.<7 hex>.
    MqttSubscriber version(*broker_, m + "/sdk/version");
    ASSERT_TRUE(version.wait_subscribed(10s));
    ASSERT_EQ(edge_mqtt_conns_report_sdk_version(pool_), EDGE_OK);
    ASSERT_TRUE(version.wait_messages(1, 10s));
    EXPECT_TRUE(std::regex_match(version.messages()[0].payload,
                                 std::regex(R"(\{"sdk_version":"\d\d\.\d\d\.\d\d\.[0-9a-f]{7}","sdk_lang":"c"\})")))
        << version.messages()[0].payload;
}

TEST_F(ConnsBroker, OnlyTheTwoReportsWaitAndOnlyWithSendModeOne) {
    start_and_wait_connected();
    const char *body = "{}";
    const std::function<uint32_t()> sends[] = {
        [&] { return edge_mqtt_conns_send_datasource_connect_state_report(body, 2, pool_); },
        [&] { return edge_mqtt_conns_send_device_message(body, 2, pool_); },
        [&] { return edge_mqtt_conns_send_device_event(body, 2, pool_); },
        [&] { return edge_mqtt_conns_send_batch_device_discovery_data_message(body, 2, pool_); },
        [&] { return edge_mqtt_conns_send_cmd_rsp("r", "1", 0, body, 2, pool_); },
        [&] { return edge_mqtt_conns_send_points_get_rsp("1", body, 2, pool_); },
        [&] { return edge_mqtt_conns_send_service_event(nullptr, "s", "t", body, 2, pool_); },
        [&] { return edge_mqtt_conns_send_points_report(body, 2, pool_); },
        [&] { return edge_mqtt_conns_send_batch_device_data_message(body, 2, pool_); },
    };
    const std::string waited = "DEBUG sync sending, waiting at most 3 seconds for completing, token: ";
    const std::pair<int32_t, size_t> modes[] = {{0, 0}, {2, 0}, {1, 2}};
    for (const auto &[mode, waits] : modes) {
        set_int("mqtt_send_mode", mode);
        const size_t before = lines_with(work_, waited).size();
        for (const auto &send : sends) EXPECT_EQ(send(), EDGE_OK) << mode;
        EXPECT_EQ(lines_with(work_, waited).size(), before + waits) << "send mode " << mode;
    }
}

TEST_F(ConnsBroker, OnlyTheTwoReportsAreForbiddenWhileTheBrokerIsOverloaded) {
    MqttSubscriber sub(*broker_, "#");
    ASSERT_TRUE(sub.wait_subscribed(10s));
    start_and_wait_connected();
    struct Case {
        int32_t option;
        int32_t overloaded;
        bool forbidden;
    } cases[] = {{0, 1, false}, {1, 0, false}, {1, 1, true}, {3, 1, true}};
    size_t expected_messages = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "option " << c.option << " overloaded " << c.overloaded);
        set_int("forbid_send_when_broker_overloaded", c.option);
        mgr()->broker_overloaded = c.overloaded;
        const size_t warns = count_logged("WARN broker is overloadding, will forbid sending");
        const uint32_t want = c.forbidden ? EDGE_ERR_BROKER_OVERLOADED : EDGE_OK;
        EXPECT_EQ(edge_mqtt_conns_send_points_report("{}", 2, pool_), want);
        EXPECT_EQ(edge_mqtt_conns_send_batch_device_data_message("{}", 2, pool_), want);
        // The others are not concerned (the second goes to a $ topic that "#" does not see).
        EXPECT_EQ(edge_mqtt_conns_send_datasource_connect_state_report("{}", 2, pool_), EDGE_OK);
        EXPECT_EQ(edge_mqtt_conns_send_batch_device_discovery_data_message("{}", 2, pool_), EDGE_OK);
        EXPECT_EQ(count_logged("WARN broker is overloadding, will forbid sending"), warns + (c.forbidden ? 2 : 0));
        expected_messages += c.forbidden ? 2 : 3;  // points report + the two others ("#" misses $qx)
        ASSERT_TRUE(sub.wait_messages(expected_messages, 10s));
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sub.messages().size(), expected_messages);
}

TEST_F(ConnsBroker, EveryConnectionLossIsFollowedByANewSeriesOfTriesAndSubscriptions) {
    shorten_delays();
    start_and_wait_connected();
    MqttSubscriber cloud_check(*broker_, "$qx/modules/" + module_id_ + "/sys/messages/up");
    const int cycles = 20;
    for (int i = 1; i <= cycles; ++i) {
        SCOPED_TRACE(i);
        const int lost_before = recorder().disconnected_count();
        broker_->kill();
        ASSERT_TRUE(wait_until([&] { return recorder().disconnected_count() > lost_before; }, 20s));
        EXPECT_TRUE(wait_until([&] { return connected_flag() == 0; }, 5s));
        broker_->start();
        ASSERT_TRUE(wait_until([&] { return recorder().connected_count() == i + 1; }, 30s)) << recorder().sequence();
        EXPECT_EQ(connected_flag(), 1);
    }
    // Each connected callback followed a disconnected one; failed attempts add more D.
    const std::string seq = recorder().sequence();
    EXPECT_EQ(seq.front(), 'C');
    EXPECT_EQ(seq.find("CC"), std::string::npos) << seq;
    EXPECT_EQ(recorder().connected_count(), cycles + 1);
    EXPECT_GE(recorder().disconnected_count(), cycles);
    // Subscribed again at every connection, and the subscriptions hold after the last one.
    EXPECT_EQ(lines_with(work_, "/sys/commands/+ qos: 1").size(), static_cast<size_t>(cycles + 1));
    ASSERT_EQ(mqtt_publish(*broker_, "$qx/modules/" + module_id_ + "/sys/commands/request_id=last", "{}"), 0);
    ASSERT_TRUE(wait_until([&] { return !recorder().messages().empty(); }, 10s));
    EXPECT_EQ(recorder().messages().back().request_id, std::optional<std::string>("last"));
}

TEST_F(ConnsBroker, DisconnectByRequestCallsNothingAndStartConnectsAgain) {
    shorten_delays();
    start_and_wait_connected();
    // The MQTT client logs "mqtt: <client> connect" for each attempt.
    auto attempts = [&] {
        size_t n = 0;
        for (const auto &line : lines_with(work_, "INFO mqtt: ")) n += line.size() > 8 && line.ends_with(" connect");
        return n;
    };
    const size_t tries = attempts();
    ASSERT_GE(tries, 1u);
    EXPECT_EQ(edge_mqtt_conns_disconnect(), EDGE_OK);
    EXPECT_EQ(connected_flag(), 0);
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(recorder().disconnected_count(), 0);
    EXPECT_EQ(attempts(), tries);  // no new try
    EXPECT_EQ(edge_mqtt_conns_send_device_message("x", 1, pool_), EDGE_ERR_MQTT_NOT_CONNECTED);

    // Start leads back: the worker that the connected notification ended is joined first.
    ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return recorder().connected_count() == 2; }, 20s));
    EXPECT_EQ(edge_mqtt_conns_send_device_message("x", 1, pool_), EDGE_OK);
}

TEST_F(ConnsBroker, ABrokerWhoseCertificateDoesNotCheckOutIsNeverConnected) {
    // Same CA file as trust store; the broker presents a certificate from an unknown CA, for
    // another address, or expired. No attempt gets through its handshake.
    for (const char *cert : {"untrusted", "wrongip", "expired"}) {
        SCOPED_TRACE(cert);
        gravel::test::MosquittoBroker bad(pki_, cert);
        bad.start();
        recorder().reset();
        edge_mqtt_conns_destroy();
        ASSERT_EQ(edge_mqtt_conns_init(), EDGE_OK);
        shorten_delays();
        configure(module_id_, bad.host(), bad.port());
        ASSERT_EQ(edge_mqtt_conns_build_topics(mgr()), EDGE_OK);
        ASSERT_EQ(edge_mqtt_conns_set_callback(on_message, on_connected, on_disconnected), EDGE_OK);
        ASSERT_EQ(edge_mqtt_conns_start_connect(), EDGE_OK);
        // Tries come and go (each replaces the last), none gets through.
        const size_t tries = lines_with(work_, "INFO mqtt: ").size();
        std::this_thread::sleep_for(3s);
        EXPECT_GE(lines_with(work_, "INFO mqtt: ").size(), tries + 4);
        EXPECT_EQ(recorder().connected_count(), 0);
        EXPECT_EQ(connected_flag(), 0);
        EXPECT_TRUE(broker_clients(bad).empty()) << bad.log();
    }
}
