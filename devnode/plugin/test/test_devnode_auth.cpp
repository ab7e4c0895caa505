// The dev node's broker plugin in a real mosquitto over TLS, with the mosquitto command-line
// clients as modules and as the cloud: which logins get in and the reason logged for each one
// refused, which topics a module reaches, and a credentials file that changes under a running
// broker. Expected passwords come from the openssl tool, not from the plugin.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gravel_test_support.hpp"
#include "mosquitto_broker.hpp"

namespace {

using namespace std::chrono_literals;
using gravel::test::BrokerAuth;
using gravel::test::cat;
using gravel::test::MosquittoBroker;
using gravel::test::MqttLogin;
using gravel::test::MqttSubscriber;
using gravel::test::openssl_hmac_sha256_hex;
using gravel::test::wait_until;

// The secrets as the hub issued them: the key is their bytes, as they are.
const std::string kSecretA = "alpha+secret/0123==";
const std::string kSecretB = "beta-secret-4567";

// UTC "YYYYmmddHHMMSS", `offset` from now.
std::string utc_stamp(std::chrono::seconds offset) {
    const time_t t = time(nullptr) + static_cast<time_t>(offset.count());
    struct tm fields {};
    gmtime_r(&t, &fields);
    char text[32];
    strftime(text, sizeof text, "%Y%m%d%H%M%S", &fields);
    return text;
}

std::string client_id(const std::string &module_id, std::chrono::seconds offset = 0s) {
    return cat("module_", module_id, "_1_", utc_stamp(offset));
}

std::string ms_from_now(std::chrono::seconds offset) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now + offset).count());
}

// A module's login with the password a module derives: the HMAC of its client id.
MqttLogin hmac_login(const std::string &module_id, const std::string &secret, std::chrono::seconds offset = 0s) {
    const std::string id = client_id(module_id, offset);
    return {id, module_id, openssl_hmac_sha256_hex(secret, id)};
}

class DevnodeAuth : public ::testing::Test {
protected:
    void SetUp() override {
        plugin_ = gravel::test::devnode_auth_plugin();
        if (plugin_.empty())
            GTEST_SKIP() << "the broker plugin was not built (mosquitto-dev missing at configure time)";
        broker_ = std::make_unique<MosquittoBroker>(pki_, BrokerAuth{plugin_, credentials_});
        broker_->start();
    }

    // What the broker logged from `offset` on, once it holds `text` (or after 5 s).
    std::string log_with(size_t offset, const std::string &text) const {
        std::string log;
        wait_until(
            [&] {
                log = broker_->log().substr(std::min(offset, broker_->log().size()));
                return log.find(text) != std::string::npos;
            },
            5s);
        return log;
    }
    // Publishes one message as `login` and checks that it got in (logged as accepted `how`) or
    // was refused as not authorised (logged with `reason`).
    void expect_login(const MqttLogin &login, bool accepted, const std::string &how_or_reason) {
        const size_t offset = broker_->log().size();
        const auto result = gravel::test::mqtt_publish_as(*broker_, login, "/modules/alpha01/probe", "p");
        const std::string line = accepted ? cat("gravel-devnode-auth: accepted client ", login.client_id, " user ",
                                                login.username, " (", how_or_reason, ")\n")
                                          : cat("gravel-devnode-auth: refused client ", login.client_id, " user ",
                                                login.username, ": ", how_or_reason, "\n");
        const std::string log = log_with(offset, line);
        EXPECT_NE(log.find(line), std::string::npos) << log;
        if (accepted) {
            EXPECT_EQ(result.status, 0) << result.output;
        } else {
            EXPECT_NE(result.status, 0);
            EXPECT_NE(result.output.find("Connection Refused: not authorised"), std::string::npos) << result.output;
            EXPECT_EQ(log.find("New client connected"), std::string::npos) << log;
        }
    }
    MqttLogin cloud() const { return broker_->default_login(); }

    gravel::test::TestPki pki_;
    std::string plugin_;
    const std::string credentials_ = cat("# modules the hub knows, then the tokens the daemon issued\n",  //
                                         "module alpha01 ", kSecretA, "\n",                               //
                                         "module beta02 ", kSecretB, "\n",                                //
                                         "token alpha01 tok-alpha-live ", ms_from_now(3600s), "\n",       //
                                         "token alpha01 tok-alpha-old ", ms_from_now(-60s), "\n",         //
                                         "token beta02 tok-beta-live ", ms_from_now(3600s), "\n");
    std::unique_ptr<MosquittoBroker> broker_;
};

TEST_F(DevnodeAuth, EachLoginIsAcceptedOrRefusedWithItsReason) {
    const std::string id_a = client_id("alpha01");
    const std::string id_b = client_id("beta02");
    const std::string hmac_a = openssl_hmac_sha256_hex(kSecretA, id_a);
    std::string upper = hmac_a;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    struct Case {
        const char *name;
        MqttLogin login;
        bool accepted;
        std::string how_or_reason;
    };
    const std::vector<Case> cases = {
        {"hmac password", hmac_login("alpha01", kSecretA), true, "hmac"},
        {"client id 4 minutes old", hmac_login("alpha01", kSecretA, -240s), true, "hmac"},
        {"client id 4 minutes ahead", hmac_login("beta02", kSecretB, 240s), true, "hmac"},
        {"wrong password", {id_a, "alpha01", std::string(64, '0')}, false, "wrong password"},
        {"hmac in upper case", {id_a, "alpha01", upper}, false, "wrong password"},
        {"hmac cut short", {id_a, "alpha01", hmac_a.substr(0, 63)}, false, "wrong password"},
        {"no password", {id_a, "alpha01", ""}, false, "wrong password"},
        {"password of another module",
         {id_a, "alpha01", openssl_hmac_sha256_hex(kSecretB, id_a)},
         false,
         "wrong password"},
        {"client id a day old", hmac_login("alpha01", kSecretA, -86400s), false, "client id time out of range"},
        {"client id 6 minutes ahead", hmac_login("alpha01", kSecretA, 360s), false, "client id time out of range"},
        {"client id 6 minutes old", hmac_login("alpha01", kSecretA, -360s), false, "client id time out of range"},
        {"client id of another module id",
         {id_b, "alpha01", openssl_hmac_sha256_hex(kSecretA, id_b)},
         false,
         "client id does not match module id"},
        {"client id without its time",
         {"module_alpha01_1_", "alpha01", hmac_a},
         false,
         "client id does not match module id"},
        {"client id with 13 digits",
         {id_a.substr(0, id_a.size() - 1), "alpha01", hmac_a},
         false,
         "client id does not match module id"},
        {"client id with another instance",
         {"module_alpha01_2_" + utc_stamp(0s), "alpha01", hmac_a},
         false,
         "client id does not match module id"},
        {"client id in month 13",
         {"module_alpha01_1_20261301120000", "alpha01", hmac_a},
         false,
         "client id time invalid"},
        {"client id on 30 February",
         {"module_alpha01_1_20260230120000", "alpha01", hmac_a},
         false,
         "client id time invalid"},
        {"unknown module id", hmac_login("gamma03", kSecretA), false, "unknown module id"},
        {"no user name", {"anonymous-client", "", ""}, false, "unknown module id"},
        {"daemon token", {id_a, "alpha01", "tok-alpha-live"}, true, "daemon token"},
        {"expired daemon token", {id_a, "alpha01", "tok-alpha-old"}, false, "daemon token expired"},
        {"token of another module", {id_a, "alpha01", "tok-beta-live"}, false, "wrong password"},
        {"cloud user, any client id", {"any-client-id", cloud().username, cloud().password}, true, "cloud"},
        {"cloud user, a module's client id", {id_a, cloud().username, cloud().password}, true, "cloud"},
        {"wrong cloud password",
         {"any-client-id", cloud().username, cloud().password + "x"},
         false,
         "wrong cloud password"},
    };
    std::set<std::string> passwords = {kSecretA, kSecretB, "tok-alpha-live", "tok-alpha-old", "tok-beta-live"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        expect_login(c.login, c.accepted, c.how_or_reason);
        if (!c.login.password.empty()) passwords.insert(c.login.password);
    }
    // No password, secret or token reaches the log.
    const std::string log = broker_->log();
    for (const auto &secret : passwords) EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

TEST_F(DevnodeAuth, AModulePublishesOnlyUnderItsTwoPrefixes) {
    MqttSubscriber plain(*broker_, "#");
    MqttSubscriber sys(*broker_, "$qx/#");
    ASSERT_TRUE(plain.wait_subscribed(10s)) << plain.output();
    ASSERT_TRUE(sys.wait_subscribed(10s)) << sys.output();
    struct Row {
        std::string topic;
        bool delivered;
    };
    const std::vector<Row> rows = {
        {"/modules/alpha01/events/up", true},
        {"$qx/modules/alpha01/sys/messages/up", true},
        {"/modules/alpha01/", true},
        {"/modules/beta02/events/up", false},
        {"$qx/modules/beta02/sys/messages/up", false},
        {"/modules/alpha01", false},
        {"/modules/alpha01x/events/up", false},
        {"/modules/alpha0/events/up", false},
        {"modules/alpha01/events/up", false},
        {"$qx/modules/alpha01", false},
        {"$qx/elsewhere/alpha01/", false},
        {"/elsewhere", false},
    };
    const size_t offset = broker_->log().size();
    std::set<std::string> expected_plain, expected_sys;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.topic);
        const auto result = gravel::test::mqtt_publish_as(*broker_, hmac_login("alpha01", kSecretA), row.topic, "m");
        if (row.delivered) {
            EXPECT_EQ(result.status, 0) << result.output;
            (row.topic[0] == '$' ? expected_sys : expected_plain).insert(row.topic);
        } else {
            const std::string line = "gravel-devnode-auth: denied publish on " + row.topic + " for module alpha01\n";
            EXPECT_NE(log_with(offset, line).find(line), std::string::npos);
        }
    }
    // A last message on each side: once it is in, everything before it is.
    for (const std::string last : {"/modules/alpha01/last", "$qx/modules/alpha01/last"}) {
        ASSERT_EQ(gravel::test::mqtt_publish_as(*broker_, hmac_login("alpha01", kSecretA), last, "m").status, 0);
        (last[0] == '$' ? expected_sys : expected_plain).insert(last);
    }
    auto topics = [](const MqttSubscriber &sub) {
        std::set<std::string> out;
        for (const auto &m : sub.messages()) out.insert(m.topic);
        return out;
    };
    ASSERT_TRUE(wait_until([&] { return topics(plain).count("/modules/alpha01/last") == 1; }, 10s)) << plain.output();
    ASSERT_TRUE(wait_until([&] { return topics(sys).count("$qx/modules/alpha01/last") == 1; }, 10s)) << sys.output();
    EXPECT_EQ(topics(plain), expected_plain);
    EXPECT_EQ(topics(sys), expected_sys);
}

TEST_F(DevnodeAuth, AModuleSubscribesOnlyUnderItsTwoPrefixesAndReadsNothingElse) {
    struct Row {
        std::string filter;
        int granted;
    };
    const std::vector<Row> rows = {
        {"/modules/alpha01/#", 1},
        {"$qx/modules/alpha01/sys/commands/+", 1},
        {"/modules/beta02/#", 128},
        {"$qx/modules/beta02/#", 128},
        {"/modules/+/events/up", 128},
        {"/modules/#", 128},
        {"#", 128},
        {"$qx/#", 128},
        {"$SYS/#", 128},
    };
    std::vector<std::string> filters;
    std::vector<int> expected;
    for (const Row &row : rows) {
        filters.push_back(row.filter);
        expected.push_back(row.granted);
    }
    const size_t offset = broker_->log().size();
    MqttSubscriber module(*broker_, hmac_login("alpha01", kSecretA), filters);
    EXPECT_EQ(module.wait_granted(10s), expected) << module.output();
    for (const Row &row : rows) {
        if (row.granted != 128) continue;
        const std::string line = "gravel-devnode-auth: denied subscribe on " + row.filter + " for module alpha01\n";
        EXPECT_NE(log_with(offset, line).find(line), std::string::npos);
    }

    // The other module's messages reach the cloud, never this module; its own reach it.
    MqttSubscriber watcher(*broker_, "/modules/#");
    ASSERT_TRUE(watcher.wait_subscribed(10s));
    for (const std::string topic : {"/modules/beta02/events/up", "$qx/modules/beta02/sys/commands/x"}) {
        ASSERT_EQ(gravel::test::mqtt_publish_as(*broker_, hmac_login("beta02", kSecretB), topic, "b").status, 0);
    }
    ASSERT_EQ(gravel::test::mqtt_publish(*broker_, "/modules/alpha01/last", "a"), 0);
    ASSERT_TRUE(module.wait_messages(1, 10s)) << module.output();
    ASSERT_TRUE(watcher.wait_messages(2, 10s)) << watcher.output();
    const auto got = module.messages();
    ASSERT_EQ(got.size(), 1u) << module.output();
    EXPECT_EQ(got[0].topic, "/modules/alpha01/last");
    EXPECT_EQ(watcher.messages()[0].topic, "/modules/beta02/events/up");
}

TEST_F(DevnodeAuth, TheFileIsReadAgainWhenItChanges) {
    const std::string token_line = "token alpha01 tok-added-1 " + ms_from_now(3600s) + "\n";
    const MqttLogin with_token = {client_id("alpha01"), "alpha01", "tok-added-1"};
    expect_login(with_token, false, "wrong password");

    // Replaced as the dev node does it: a new file renamed over the old one.
    broker_->write_credentials(credentials_ + token_line);
    expect_login(with_token, true, "daemon token");
    EXPECT_NE(
        broker_->log().find("read " + broker_->credentials_file() + ": 2 modules, 4 daemon tokens, 1 cloud users"),
        std::string::npos)
        << broker_->log();

    // Rewritten in place with the same size: same inode and size, a later modification time.
    std::this_thread::sleep_for(50ms);
    const std::string text = gravel::test::read_file(broker_->credentials_file());
    std::string changed = text;
    changed.replace(changed.find("tok-added-1"), 11, "tok-added-2");
    struct stat before {};
    ASSERT_EQ(stat(broker_->credentials_file().c_str(), &before), 0);
    FILE *file = std::fopen(broker_->credentials_file().c_str(), "r+");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(changed.data(), 1, changed.size(), file), changed.size());
    ASSERT_EQ(std::fclose(file), 0);
    struct stat after {};
    ASSERT_EQ(stat(broker_->credentials_file().c_str(), &after), 0);
    ASSERT_EQ(after.st_ino, before.st_ino);
    ASSERT_EQ(after.st_size, before.st_size);
    expect_login(with_token, false, "wrong password");
    expect_login({client_id("alpha01"), "alpha01", "tok-added-2"}, true, "daemon token");

    // A module taken out of the file is refused from then on.
    broker_->write_credentials("module beta02 " + kSecretB + "\n");
    expect_login(hmac_login("alpha01", kSecretA), false, "unknown module id");
    expect_login(hmac_login("beta02", kSecretB), true, "hmac");
}

TEST_F(DevnodeAuth, MalformedLinesAreSkippedAndTheRestIsRead) {
    struct Row {
        std::string line;
        std::string reason;
    };
    const std::vector<Row> bad = {
        {"module onlyid", "a module line has 3 fields"},
        {"module gamma03 s3cret extra", "a module line has 3 fields"},
        {"module a b c d", "too many fields"},
        {"token alpha01 tok-x", "a token line has 4 fields"},
        {"token alpha01 tok-x soon", "expiry is not milliseconds since the epoch"},
        {"token alpha01 tok-x -5", "expiry is not milliseconds since the epoch"},
        {"cloud someone", "a cloud line has 3 fields"},
        {"module " + std::string(65, 'm') + " s", "module id longer than 64 bytes, or with '/', '+' or '#'"},
        {"module al/pha s", "module id longer than 64 bytes, or with '/', '+' or '#'"},
        {"token al+pha t 1", "module id longer than 64 bytes, or with '/', '+' or '#'"},
        {"module zeta06 " + std::string(257, 'S'), "secret longer than 256 bytes"},
        {"token alpha01 " + std::string(256, 'T') + " 99999999999999", "token longer than 255 bytes"},
        {"cloud " + std::string(129, 'U') + " p", "user name longer than 128 bytes"},
        {"cloud u " + std::string(129, 'P'), "password longer than 128 bytes"},
        {"frobnicate a b", "unknown record type"},
        {"Module zeta06 s", "unknown record type"},
        {"module zeta06 sec\x01ret", "control character in the line"},
        {std::string("module zeta06 sec\0ret", 21), "NUL byte in the line"},
        {"module zeta06 " + std::string(2000, 'L'), "line too long"},
    };
    // Around them: a comment, blank lines, tabs and runs of blanks, a line ending in CR LF and
    // one starting with blanks. The broker's own cloud line is line 1.
    std::string text = "# comment\n\n \t \nmodule\tgamma03   gamma-secret\n";
    for (const Row &row : bad) text += row.line + "\n";
    text += "module delta04 delta-secret\r\n  module epsilon05 eps-secret";
    const size_t offset = broker_->log().size();
    broker_->write_credentials(text);
    expect_login(hmac_login("gamma03", "gamma-secret"), true, "hmac");
    expect_login(hmac_login("delta04", "delta-secret"), true, "hmac");
    expect_login(hmac_login("epsilon05", "eps-secret"), true, "hmac");
    expect_login(hmac_login("alpha01", kSecretA), false, "unknown module id");

    const std::string log = broker_->log().substr(offset);
    for (size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(bad[i].line.substr(0, 40));
        const std::string line =
            cat(broker_->credentials_file(), " line ", std::to_string(i + 6), " skipped: ", bad[i].reason, "\n");
        EXPECT_NE(log.find(line), std::string::npos) << log;
    }
    EXPECT_NE(log.find(": 3 modules, 0 daemon tokens, 1 cloud users"), std::string::npos) << log;
    // Skipped lines are never echoed.
    EXPECT_EQ(log.find("SSSS"), std::string::npos);
    EXPECT_EQ(log.find("TTTT"), std::string::npos);
    EXPECT_EQ(log.find("PPPP"), std::string::npos);

    // A file without a newline at its very end: its last line counts.
    std::string raw = gravel::test::read_file(broker_->credentials_file());
    raw += "module eta07 eta-secret";
    gravel::test::write_file(broker_->credentials_file() + ".new", raw);
    ASSERT_EQ(std::rename((broker_->credentials_file() + ".new").c_str(), broker_->credentials_file().c_str()), 0);
    expect_login(hmac_login("eta07", "eta-secret"), true, "hmac");
}

TEST_F(DevnodeAuth, AFileThatCannotBeReadLeavesTheCopyReadBefore) {
    const std::string path = broker_->credentials_file();
    struct Row {
        const char *name;
        std::function<void()> spoil;
        std::string logged;
    };
    const std::vector<Row> rows = {
        {"removed", [&] { ASSERT_EQ(std::remove(path.c_str()), 0); },
         "cannot stat credentials file " + path + ": No such file or directory; keeping the copy read before"},
        {"a directory in its place",
         [&] {
             ASSERT_EQ(std::remove(path.c_str()), 0);
             ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
         },
         "cannot read credentials file " + path + ": Invalid argument; keeping the copy read before"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::remove(path.c_str());
        broker_->write_credentials(credentials_);
        expect_login(hmac_login("alpha01", kSecretA), true, "hmac");
        const size_t offset = broker_->log().size();
        row.spoil();
        expect_login(hmac_login("alpha01", kSecretA), true, "hmac");
        expect_login({client_id("alpha01"), "alpha01", "tok-alpha-live"}, true, "daemon token");
        EXPECT_NE(log_with(offset, row.logged).find(row.logged), std::string::npos);
    }
    rmdir(path.c_str());
    broker_->write_credentials("module beta02 " + kSecretB + "\n");
    expect_login(hmac_login("alpha01", kSecretA), false, "unknown module id");
}

TEST_F(DevnodeAuth, WithoutAFileAtStartEveryClientIsRefusedUntilOneIsWritten) {
    MosquittoBroker fresh(pki_, BrokerAuth{plugin_, credentials_});
    ASSERT_EQ(std::remove(fresh.credentials_file().c_str()), 0);
    fresh.start();
    const std::string why = "cannot read credentials file " + fresh.credentials_file() +
                            ": No such file or directory; refusing every client until it is read";
    EXPECT_NE(fresh.log().find(why), std::string::npos) << fresh.log();
    for (const MqttLogin &login : {fresh.default_login(), hmac_login("alpha01", kSecretA)}) {
        const auto result = gravel::test::mqtt_publish_as(fresh, login, "/modules/alpha01/x", "p");
        EXPECT_NE(result.output.find("Connection Refused: not authorised"), std::string::npos) << result.output;
    }
    EXPECT_TRUE(
        wait_until([&] { return fresh.log().find(": no credentials file read yet\n") != std::string::npos; }, 5s))
        << fresh.log();

    fresh.write_credentials(credentials_);
    EXPECT_EQ(gravel::test::mqtt_publish(fresh, "/modules/alpha01/x", "p"), 0) << fresh.log();
    EXPECT_EQ(gravel::test::mqtt_publish_as(fresh, hmac_login("alpha01", kSecretA), "/modules/alpha01/x", "p").status,
              0)
        << fresh.log();
}

}  // namespace
