// The MQTT client without a broker: initialisation, creation and its options, argument
// errors with their statuses and log lines, handler slots, and the notification entry points
// called directly as the MQTT library would call them.
#include <cstring>

#include "mqtt_test_common.hpp"

extern "C" int gravel_mqtt_c_header_probe(void);

using namespace mqtt_test;

namespace {

// A message as the MQTT library hands it over: everything from the library's allocator,
// since the entry point releases it with the library's free functions.
struct LibraryMessage {
    char *topic = nullptr;
    MQTTAsync_message *message = nullptr;

    LibraryMessage(const std::string &t, const std::string &payload) {
        topic = static_cast<char *>(MQTTAsync_malloc(t.size() + 1));
        std::memcpy(topic, t.c_str(), t.size() + 1);
        message = static_cast<MQTTAsync_message *>(MQTTAsync_malloc(sizeof(MQTTAsync_message)));
        *message = MQTTAsync_message_initializer;
        message->payloadlen = static_cast<int>(payload.size());
        message->payload = MQTTAsync_malloc(payload.size() + 1);
        std::memcpy(message->payload, payload.data(), payload.size());
    }
    // For a message the entry point kept (not handled): release it as the library would.
    void release() {
        MQTTAsync_freeMessage(&message);
        MQTTAsync_free(topic);
    }
};

}  // namespace

TEST(MqttHeader, CompilesAndLinksAsC) {
    EXPECT_EQ(gravel_mqtt_c_header_probe(), 1);
}

using MqttClient = MqttTest;

TEST_F(MqttClient, InitRegistersTheManagerAndLogs) {
    edge_mqtt_mgr_t *mgr = edge_MQTT_MGR_mgr_get();
    ASSERT_NE(mgr, nullptr);
    EXPECT_EQ(mgr->head.slot, EDGE_MGR_SLOT_MQTT);
    EXPECT_STREQ(mgr->head.name, "MQTT_MGR");
    EXPECT_EQ(edge_base_mgr_get(EDGE_MGR_SLOT_MQTT), mgr);
    EXPECT_TRUE(logged("INFO mqtt init success."));
}

TEST(MqttInit, RelaxedTlsIsLoggedAtWarn) {
    struct Case {
        const char *value;
        const char *warn;  // null: no WARN line
    } cases[] = {
        {nullptr, nullptr},
        {"full", nullptr},
        {"", nullptr},
        {"chain", "WARN env:module_tls_verify is chain, the server's host name is not verified."},
        {"none", "WARN env:module_tls_verify is none, the server's certificate is not verified."},
        {"sometimes", "WARN env:module_tls_verify has an unknown value, so is full."},
    };
    for (const auto &c : cases) {
        ScopedEnv env("module_tls_verify", env_value(c.value));
        gravel::test::WorkDir work;
        ASSERT_EQ(edge_base_init(work.path().c_str(), nullptr), EDGE_OK);
        ASSERT_EQ(edge_mqtt_init(), EDGE_OK);
        size_t warns = 0;
        for (const auto &line : work.log_lines()) warns += line.rfind("WARN ", 0) == 0 ? 1 : 0;
        if (c.warn == nullptr) {
            EXPECT_EQ(warns, 0u) << work.log();
        } else {
            EXPECT_EQ(warns, 1u) << work.log();
            EXPECT_TRUE(work.logged(c.warn)) << work.log();
        }
        EXPECT_EQ(edge_mqtt_destroy(), EDGE_OK);
        EXPECT_EQ(edge_MQTT_MGR_mgr_get_pool(), nullptr);
        edge_base_destroy();
    }
}

TEST_F(MqttClient, CreateRefusesMissingTexts) {
    struct Case {
        const char *address, *client_id, *user, *password;
    } cases[] = {{nullptr, "id", "u", "p"},         {"", "id", "u", "p"},
                 {"127.0.0.1", nullptr, "u", "p"},  {"127.0.0.1", "", "u", "p"},
                 {"127.0.0.1", "id", nullptr, "p"}, {"127.0.0.1", "id", "", "p"},
                 {"127.0.0.1", "id", "u", nullptr}, {"127.0.0.1", "id", "u", ""}};
    for (const auto &c : cases) {
        EXPECT_EQ(edge_mqtt_create(c.address, 8883, c.client_id, c.user, c.password, pool_), nullptr);
    }
    EXPECT_EQ(count_logged("ERROR ip, client_id, username or password is empty."), std::size(cases));
    EXPECT_FALSE(logged("ERROR input error."));
}

TEST_F(MqttClient, CreateRefusesAClientIdTheLibraryRejects) {
    // Not UTF-8: the MQTT library makes no handle, and the client is not created.
    EXPECT_EQ(edge_mqtt_create("127.0.0.1", 8883, "bad\xff\xfe", "u", "p", pool_), nullptr);
}

TEST_F(MqttClient, CreateBuildsUriAndOptionsAndLogsTheMaskedUri) {
    ScopedEnv env("module_tls_verify", std::nullopt);
    const std::string ca = work_.file("conf/rootcert.pem");
    const char user[] = "module-user";
    const char password[] = "secret-password";
    edge_mqtt_client_t *c = edge_mqtt_create("10.0.0.5", 18883, "client-1", user, password, pool_);
    ASSERT_NE(c, nullptr);
    clients_.push_back(c);
    EXPECT_STREQ(c->server_uri, "ssl://10.0.0.5:18883");
    EXPECT_NE(c->handle, nullptr);
    EXPECT_NE(c->pool, nullptr);
    EXPECT_NE(c->pool, pool_);
    EXPECT_EQ(c->delivery_complete, nullptr);
    EXPECT_EQ(c->connection_lost, nullptr);
    EXPECT_EQ(c->message_arrived, nullptr);
    EXPECT_EQ(c->connected, nullptr);

    const MQTTAsync_connectOptions *o = c->conn_opts;
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(std::string(o->struct_id, 4), "MQTC");
    EXPECT_EQ(o->struct_version, 6);
    EXPECT_EQ(o->keepAliveInterval, 30);
    EXPECT_EQ(o->cleansession, 1);
    EXPECT_EQ(o->maxInflight, 100);
    EXPECT_EQ(o->connectTimeout, 30);
    EXPECT_EQ(o->MQTTVersion, MQTTVERSION_DEFAULT);
    EXPECT_EQ(o->automaticReconnect, 0);
    EXPECT_STREQ(o->username, user);
    EXPECT_NE(o->username, user);  // copies in the client's pool
    EXPECT_STREQ(o->password, password);
    EXPECT_NE(o->password, password);
    EXPECT_EQ(o->will, nullptr);
    EXPECT_EQ(o->serverURIcount, 0);
    EXPECT_EQ(o->binarypwd.data, nullptr);
    EXPECT_EQ(o->context, c);
    EXPECT_EQ(o->onSuccess, &edge_mqtt_connected_callback);
    EXPECT_EQ(o->onFailure, &edge_mqtt_connect_failed_callback);

    const MQTTAsync_SSLOptions *t = o->ssl;
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t->struct_id, 4), "MQTS");
    EXPECT_EQ(t->struct_version, 3);
    EXPECT_EQ(std::string(t->trustStore), ca);
    EXPECT_EQ(t->keyStore, nullptr);
    EXPECT_EQ(t->privateKey, nullptr);
    EXPECT_EQ(t->privateKeyPassword, nullptr);
    EXPECT_EQ(t->enabledCipherSuites, nullptr);
    EXPECT_EQ(t->enableServerCertAuth, 1);
    EXPECT_EQ(t->sslVersion, 0);
    EXPECT_EQ(t->verify, 1);
    EXPECT_EQ(t->CApath, nullptr);
    EXPECT_EQ(t->ssl_error_cb, nullptr);
    EXPECT_EQ(t->ssl_error_context, nullptr);

    EXPECT_TRUE(logged("INFO set mqtt config end, trustStore:" + ca + ", verify:1, keepalive:30, maxinflight:100"));
    EXPECT_TRUE(logged("INFO mqtt: " + ptr_text(c) + " create, ready to connect: ssl://10.***.5:18883."));
}

TEST_F(MqttClient, TlsChecksFollowTheEnvironmentAtCreation) {
    struct Case {
        const char *value;
        int server_cert_auth;
        int verify;
    } cases[] = {{nullptr, 1, 1}, {"", 1, 1},     {"full", 1, 1}, {"chain", 1, 0},
                 {"none", 0, 0},  {"NONE", 1, 1}, {"bogus", 1, 1}};
    for (const auto &c : cases) {
        ScopedEnv env("module_tls_verify", env_value(c.value));
        edge_mqtt_client_t *client = create("127.0.0.1", 18883);
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(client->conn_opts->ssl->enableServerCertAuth, c.server_cert_auth) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(client->conn_opts->ssl->verify, c.verify) << (c.value ? c.value : "(unset)");
        // The CA file is the trust store whatever the checks.
        EXPECT_STREQ(client->conn_opts->ssl->trustStore, edge_base_get_ca_file());
    }
}

TEST_F(MqttClient, OptionSettingErrors) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883);
    ASSERT_NE(client, nullptr);
    const char *ca = edge_base_get_ca_file();
    struct Case {
        edge_mqtt_client_t *record;
        const char *user, *password, *ca;
    } cases[] = {{nullptr, "u", "p", ca},    {client, nullptr, "p", ca}, {client, "", "p", ca},
                 {client, "u", nullptr, ca}, {client, "u", "", ca},      {client, "u", "p", nullptr},
                 {client, "u", "p", ""}};
    for (const auto &c : cases)
        EXPECT_EQ(edge_mqtt_opts_set(c.record, c.user, c.password, c.ca), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(count_logged("ERROR input error."), std::size(cases));

    edge_mqtt_client_t poolless{};
    EXPECT_EQ(edge_mqtt_opts_set(&poolless, "u", "p", ca), EDGE_ERR_MISSING);
    EXPECT_EQ(count_logged("ERROR input error."), std::size(cases));

    // Set again: new options replace the old, the library's notifications stay wired, and the
    // old copy of the password (still in the client's pool) is wiped.
    MQTTAsync_connectOptions *before = client->conn_opts;
    const char *old_password = before->password;
    const size_t old_length = std::strlen(old_password);
    ASSERT_GT(old_length, 0u);
    EXPECT_EQ(edge_mqtt_opts_set(client, "user2", "password2", ca), EDGE_OK);
    EXPECT_NE(client->conn_opts, before);
    EXPECT_TRUE(std::all_of(old_password, old_password + old_length, [](char ch) { return ch == '\0'; }));
    EXPECT_STREQ(client->conn_opts->password, "password2");
    EXPECT_STREQ(client->conn_opts->username, "user2");
    EXPECT_EQ(client->conn_opts->context, client);
    EXPECT_EQ(client->conn_opts->onSuccess, &edge_mqtt_connected_callback);
}

TEST_F(MqttClient, OperationsRefuseMissingRecordHandleOptionsOrTopic) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883);
    ASSERT_NE(client, nullptr);
    edge_mqtt_client_t no_handle{};
    edge_mqtt_client_t no_options = *client;
    no_options.conn_opts = nullptr;
    const char payload[] = "abc";

    struct Case {
        const char *what;
        uint32_t status;
        uint32_t expected;
        const char *line;
    } cases[] = {
        {"connect null", edge_mqtt_connect(nullptr), EDGE_ERR_MISSING, "ERROR input error."},
        {"connect no handle", edge_mqtt_connect(&no_handle), EDGE_ERR_MISSING, "ERROR input error."},
        {"connect no options", edge_mqtt_connect(&no_options), EDGE_ERR_MISSING, "ERROR input error."},
        {"disconnect null", edge_mqtt_disconnect(nullptr), EDGE_ERR_MISSING, "ERROR input error."},
        {"disconnect no handle", edge_mqtt_disconnect(&no_handle), EDGE_ERR_MISSING, "ERROR input error."},
        {"disconnect no options", edge_mqtt_disconnect(&no_options), EDGE_ERR_MISSING, "ERROR input error."},
        {"subscribe null", edge_mqtt_subscribe(nullptr, "t", 1), EDGE_ERR_MISSING, "ERROR input error."},
        {"subscribe no handle", edge_mqtt_subscribe(&no_handle, "t", 1), EDGE_ERR_MISSING, "ERROR input error."},
        {"subscribe null topic", edge_mqtt_subscribe(client, nullptr, 1), EDGE_ERR_BAD_ARGUMENT,
         "ERROR topic is empty ."},
        {"subscribe empty topic", edge_mqtt_subscribe(client, "", 1), EDGE_ERR_BAD_ARGUMENT, "ERROR topic is empty ."},
        {"unsubscribe null", edge_mqtt_unsubscribe(nullptr, "t"), EDGE_ERR_MISSING, "ERROR input error."},
        {"unsubscribe no handle", edge_mqtt_unsubscribe(&no_handle, "t"), EDGE_ERR_MISSING, "ERROR input error."},
        {"unsubscribe null topic", edge_mqtt_unsubscribe(client, nullptr), EDGE_ERR_BAD_ARGUMENT,
         "ERROR topic is empty ."},
        {"unsubscribe empty topic", edge_mqtt_unsubscribe(client, ""), EDGE_ERR_BAD_ARGUMENT, "ERROR topic is empty ."},
        {"publish null", edge_mqtt_publish(nullptr, "t", payload, 3, 1, 0), EDGE_ERR_MISSING, "ERROR input error."},
        {"publish no handle", edge_mqtt_publish(&no_handle, "t", payload, 3, 1, 0), EDGE_ERR_MISSING,
         "ERROR input error."},
        {"publish null topic", edge_mqtt_publish(client, nullptr, payload, 3, 1, 0), EDGE_ERR_BAD_ARGUMENT,
         "ERROR topic is empty ."},
        {"publish empty topic", edge_mqtt_publish(client, "", payload, 3, 1, 3000), EDGE_ERR_BAD_ARGUMENT,
         "ERROR topic is empty ."},
        {"publish null payload with a length", edge_mqtt_publish(client, "t", nullptr, 3, 1, 0), EDGE_ERR_BAD_ARGUMENT,
         "ERROR input error."},
        {"publish negative length", edge_mqtt_publish(client, "t", payload, -1, 1, 0), EDGE_ERR_BAD_ARGUMENT,
         "ERROR input error."},
        {"set_callback null", edge_mqtt_set_callback(nullptr, on_delivered, on_lost, on_message, on_connected),
         EDGE_ERR_MISSING, nullptr},
    };
    size_t input_errors = 0, topic_errors = 0;
    for (const auto &c : cases) {
        EXPECT_EQ(c.status, c.expected) << c.what;
        if (c.line != nullptr && std::string(c.line) == "ERROR input error.") ++input_errors;
        if (c.line != nullptr && std::string(c.line) == "ERROR topic is empty .") ++topic_errors;
    }
    // One line per refused call, and no operation line for any of them.
    EXPECT_EQ(count_logged("ERROR input error."), input_errors);
    EXPECT_EQ(count_logged("ERROR topic is empty ."), topic_errors);
    for (const auto &line : work_.log_lines()) {
        for (const char *operation : {" publish topic", " subscribe topic", " unsubcribe topic"}) {
            EXPECT_EQ(line.find(operation), std::string::npos) << line;
        }
        EXPECT_FALSE(line.ends_with(" connect") || line.ends_with(" disconnect")) << line;
    }
}

TEST_F(MqttClient, LibraryResultsPassThroughWhenNotConnected) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883);
    ASSERT_NE(client, nullptr);
    const std::string p = ptr_text(client);
    const auto started = std::chrono::steady_clock::now();
    // A sync send whose send fails returns the send's result without waiting.
    EXPECT_EQ(static_cast<int32_t>(edge_mqtt_publish(client, "a/b", "xyz", 3, 1, 3000)), MQTTASYNC_DISCONNECTED);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_EQ(static_cast<int32_t>(edge_mqtt_publish(client, "a/b", nullptr, 0, 1, 0)), MQTTASYNC_DISCONNECTED);
    EXPECT_EQ(static_cast<int32_t>(edge_mqtt_subscribe(client, "a/#", 1)), MQTTASYNC_DISCONNECTED);
    EXPECT_EQ(static_cast<int32_t>(edge_mqtt_unsubscribe(client, "a/#")), MQTTASYNC_DISCONNECTED);
    EXPECT_EQ(static_cast<int32_t>(edge_mqtt_disconnect(client)), MQTTASYNC_DISCONNECTED);
    EXPECT_TRUE(logged("INFO mqtt: " + p + " publish topic: a/b lens: 3 qos: 1"));
    EXPECT_TRUE(logged("INFO mqtt: " + p + " publish topic: a/b lens: 0 qos: 1"));
    EXPECT_TRUE(logged("INFO mqtt: " + p + " subscribe topic: a/# qos: 1"));
    EXPECT_TRUE(logged("INFO mqtt: " + p + " unsubcribe topic: a/#"));
    EXPECT_TRUE(logged("INFO mqtt: " + p + " disconnect"));
    EXPECT_FALSE(logged("DEBUG sync sending, waiting at most 3 seconds for completing, token: 0"));
    // Results are never logged here.
    EXPECT_FALSE(logged("ERROR input error."));
}

TEST_F(MqttClient, SetCallbackReplacesOnlyTheGivenSlots) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883, false);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(edge_mqtt_set_callback(client, on_delivered, on_lost, on_message, on_connected), EDGE_OK);

    auto other_delivered = [](int32_t) {};
    auto other_lost = [](const char *) {};
    auto other_message = [](const char *, int32_t, const void *, int32_t) -> uint32_t { return 0; };
    auto other_connected = [] {};
    for (int slot = 0; slot < 4; ++slot) {
        ASSERT_EQ(edge_mqtt_set_callback(client, on_delivered, on_lost, on_message, on_connected), EDGE_OK);
        ASSERT_EQ(
            edge_mqtt_set_callback(client, slot == 0 ? +other_delivered : nullptr, slot == 1 ? +other_lost : nullptr,
                                   slot == 2 ? +other_message : nullptr, slot == 3 ? +other_connected : nullptr),
            EDGE_OK);
        EXPECT_EQ(client->delivery_complete, slot == 0 ? +other_delivered : &on_delivered) << slot;
        EXPECT_EQ(client->connection_lost, slot == 1 ? +other_lost : &on_lost) << slot;
        EXPECT_EQ(client->message_arrived, slot == 2 ? +other_message : &on_message) << slot;
        EXPECT_EQ(client->connected, slot == 3 ? +other_connected : &on_connected) << slot;
    }
    // All null: nothing changes.
    ASSERT_EQ(edge_mqtt_set_callback(client, on_delivered, on_lost, on_message, on_connected), EDGE_OK);
    ASSERT_EQ(edge_mqtt_set_callback(client, nullptr, nullptr, nullptr, nullptr), EDGE_OK);
    EXPECT_EQ(client->delivery_complete, &on_delivered);
    EXPECT_EQ(client->connection_lost, &on_lost);
    EXPECT_EQ(client->message_arrived, &on_message);
    EXPECT_EQ(client->connected, &on_connected);
}

TEST_F(MqttClient, DeleteOfNullOnlyLogs) {
    edge_mqtt_delete(nullptr);
    EXPECT_TRUE(logged("INFO mqtt: " + ptr_text(nullptr) + " delete."));
}

TEST_F(MqttClient, DeleteReleasesAClientThatNeverConnected) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883);
    ASSERT_NE(client, nullptr);
    const std::string p = ptr_text(client);
    remove(client);
    EXPECT_TRUE(logged("INFO mqtt: " + p + " delete."));
    EXPECT_EQ(events().total(), 0);
}

TEST_F(MqttClient, NotificationsForwardToTheirHandlers) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883);
    ASSERT_NE(client, nullptr);
    char cause[] = "socket closed";

    edge_mqtt_connected_callback(client, nullptr);
    EXPECT_EQ(events().connected_count(), 1);
    EXPECT_TRUE(logged("DEBUG mqtt connected."));

    MQTTAsync_failureData failure{};
    edge_mqtt_connect_failed_callback(client, &failure);
    edge_mqtt_connection_lost_callback(client, cause);
    edge_mqtt_connection_lost_callback(client, nullptr);
    EXPECT_EQ(events().causes(),
              (std::vector<std::optional<std::string>>{std::nullopt, "socket closed", std::nullopt}));
    EXPECT_TRUE(logged("DEBUG mqtt connect failed."));
    EXPECT_EQ(count_logged("DEBUG mqtt connection lost."), 2u);

    edge_mqtt_delivery_complete_callback(client, 7);
    EXPECT_EQ(events().tokens(), std::vector<int32_t>{7});
    EXPECT_TRUE(logged("DEBUG mqtt message delive complete, token:7."));
}

TEST_F(MqttClient, MessageArrivedPassesTheTopicTextLengthAndReleasesTheMessage) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883);
    ASSERT_NE(client, nullptr);
    struct Case {
        std::string topic;
        int library_topic_len;  // what the library passes: 0 unless the topic holds NULs
        std::string payload;
        uint32_t handler_status;
    } cases[] = {{"a/b", 0, "hello", EDGE_OK},
                 {"dev/cmd/request_id=42", 0, std::string("\0\xff\x01", 3), EDGE_OK},
                 {"x", 99, "", EDGE_OK},
                 {"status/ignored", 0, "payload", EDGE_ERR_BAD_ARGUMENT}};
    size_t n = 0;
    for (const auto &c : cases) {
        events().set_message_status(c.handler_status);
        LibraryMessage m(c.topic, c.payload);
        // Handled whatever the handler returns; the message and topic are released (ASan
        // would report them otherwise).
        EXPECT_EQ(edge_mqtt_message_arrived_callback(client, m.topic, c.library_topic_len, m.message), 1) << c.topic;
        ASSERT_EQ(events().messages().size(), ++n);
        const Message got = events().messages().back();
        EXPECT_EQ(got.topic, c.topic);
        EXPECT_EQ(got.topic_len, static_cast<int32_t>(c.topic.size()));
        EXPECT_EQ(got.payload, c.payload);
        EXPECT_TRUE(
            logged("DEBUG mqtt recv message, topic:" + c.topic + ", len:" + std::to_string(c.payload.size()) + "."));
    }
}

TEST_F(MqttClient, WithoutHandlersNotificationsAreOnlyLogged) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883, false);
    ASSERT_NE(client, nullptr);
    char cause[] = "gone";
    edge_mqtt_connected_callback(client, nullptr);
    edge_mqtt_connect_failed_callback(client, nullptr);
    edge_mqtt_connection_lost_callback(client, cause);
    edge_mqtt_delivery_complete_callback(client, 3);
    LibraryMessage m("keep/me", "kept");
    // Not handled: the message stays with the library (this test releases it afterwards).
    EXPECT_EQ(edge_mqtt_message_arrived_callback(client, m.topic, 0, m.message), 0);
    EXPECT_STREQ(m.topic, "keep/me");
    EXPECT_EQ(m.message->payloadlen, 4);
    m.release();
    EXPECT_EQ(events().total(), 0);
    for (const char *line :
         {"DEBUG mqtt connected.", "DEBUG mqtt connect failed.", "DEBUG mqtt connection lost.",
          "DEBUG mqtt message delive complete, token:3.", "DEBUG mqtt recv message, topic:keep/me, len:4."}) {
        EXPECT_TRUE(logged(line)) << line;
    }
}

TEST_F(MqttClient, AClientBeingDeletedCallsNoHandler) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883);
    ASSERT_NE(client, nullptr);
    gravel::mqtt::mark_closing(gravel::mqtt::client_of(client));
    char cause[] = "late";
    edge_mqtt_connected_callback(client, nullptr);
    edge_mqtt_connect_failed_callback(client, nullptr);
    edge_mqtt_connection_lost_callback(client, cause);
    edge_mqtt_delivery_complete_callback(client, 1);
    LibraryMessage m("late/msg", "x");
    EXPECT_EQ(edge_mqtt_message_arrived_callback(client, m.topic, 0, m.message), 0);
    m.release();
    EXPECT_EQ(events().total(), 0);
}

namespace {
std::atomic<edge_mqtt_client_t *> g_self_deleting{nullptr};
void delete_own_client() {
    edge_mqtt_delete(g_self_deleting.load());
}
}  // namespace

TEST_F(MqttClient, DeleteFromAHandlerIsRefused) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883, false);
    ASSERT_NE(client, nullptr);
    g_self_deleting = client;
    ASSERT_EQ(edge_mqtt_set_callback(client, nullptr, nullptr, nullptr, delete_own_client), EDGE_OK);
    edge_mqtt_connected_callback(client, nullptr);  // as the library would, on its thread
    EXPECT_TRUE(logged("ERROR mqtt: " + ptr_text(client) + " delete refused inside an mqtt notification."));
    EXPECT_FALSE(logged("INFO mqtt: " + ptr_text(client) + " delete."));
    // The client is whole and still usable; tear-down deletes it.
    EXPECT_NE(client->handle, nullptr);
    EXPECT_EQ(static_cast<int32_t>(edge_mqtt_publish(client, "t", "x", 1, 1, 0)), MQTTASYNC_DISCONNECTED);
    g_self_deleting = nullptr;
}

TEST_F(MqttClient, HandlerExceptionsStayInside) {
    edge_mqtt_client_t *client = create("127.0.0.1", 18883, false);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(edge_mqtt_set_callback(client, nullptr, nullptr, nullptr, [] { throw std::runtime_error("handler"); }),
              EDGE_OK);
    edge_mqtt_connected_callback(client, nullptr);
    EXPECT_TRUE(logged("ERROR mqtt handler threw an exception, ignored."));
}

TEST_F(MqttClient, NotificationsWithoutAContextOnlyLog) {
    // A client exists, so the library's allocator is set up for the message below.
    ASSERT_NE(create("127.0.0.1", 18883), nullptr);
    char cause[] = "x";
    edge_mqtt_connected_callback(nullptr, nullptr);
    edge_mqtt_connection_lost_callback(nullptr, cause);
    edge_mqtt_delivery_complete_callback(nullptr, 1);
    LibraryMessage m("t", "p");
    EXPECT_EQ(edge_mqtt_message_arrived_callback(nullptr, m.topic, 0, m.message), 0);
    EXPECT_EQ(edge_mqtt_message_arrived_callback(nullptr, nullptr, 0, m.message), 0);
    m.release();
    EXPECT_EQ(events().total(), 0);
}
