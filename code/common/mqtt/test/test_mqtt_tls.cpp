// TLS checks against brokers with valid, expired, wrong-address and untrusted certificates,
// under each value of "module_tls_verify".
#include "mqtt_test_common.hpp"

using namespace mqtt_test;
using gravel::test::MosquittoBroker;
using gravel::test::wait_until;

namespace {

struct TlsCase {
    const char *name;
    const char *verify;  // module_tls_verify, null for unset
    const char *cert;    // the broker's certificate
    bool connects;
};

void PrintTo(const TlsCase &c, std::ostream *os) {
    *os << c.name;
}

class MqttTls : public MqttTest, public ::testing::WithParamInterface<TlsCase> {
protected:
    // The variable is read when the client's options are built, so it is set before create.
    void SetUp() override {
        env_ = std::make_unique<ScopedEnv>("module_tls_verify", env_value(GetParam().verify));
        MqttTest::SetUp();
    }
    void TearDown() override {
        MqttTest::TearDown();
        env_.reset();
    }
    std::unique_ptr<ScopedEnv> env_;
};

}  // namespace

TEST_P(MqttTls, ConnectsOnlyWhenTheSelectedChecksPass) {
    const TlsCase &c = GetParam();
    MosquittoBroker broker(pki_, c.cert);
    broker.start();
    edge_mqtt_client_t *client = create(broker);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(edge_mqtt_connect(client), EDGE_OK);
    ASSERT_TRUE(wait_until([&] { return events().connected_count() + events().causes().size() > 0; }, 20s));
    if (c.connects) {
        EXPECT_EQ(events().connected_count(), 1);
        EXPECT_TRUE(events().causes().empty());
    } else {
        EXPECT_EQ(events().connected_count(), 0);
        EXPECT_EQ(events().causes(), (std::vector<std::optional<std::string>>{std::nullopt}));
        EXPECT_TRUE(logged("DEBUG mqtt connect failed."));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, MqttTls,
    ::testing::Values(
        TlsCase{"UnsetValid", nullptr, "server", true}, TlsCase{"UnsetExpired", nullptr, "expired", false},
        TlsCase{"UnsetWrongAddress", nullptr, "wrongip", false}, TlsCase{"UnsetUntrusted", nullptr, "untrusted", false},
        TlsCase{"FullValid", "full", "server", true}, TlsCase{"FullWrongAddress", "full", "wrongip", false},
        TlsCase{"ChainValid", "chain", "server", true}, TlsCase{"ChainWrongAddress", "chain", "wrongip", true},
        TlsCase{"ChainExpired", "chain", "expired", false}, TlsCase{"ChainUntrusted", "chain", "untrusted", false},
        TlsCase{"NoneUntrusted", "none", "untrusted", true}, TlsCase{"NoneExpired", "none", "expired", true},
        TlsCase{"NoneWrongAddress", "none", "wrongip", true},
        TlsCase{"UnknownValueWrongAddress", "sometimes", "wrongip", false}),
    [](const auto &param_info) { return std::string(param_info.param.name); });
