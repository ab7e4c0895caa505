// The service's records and their jobs: the member names, kinds, order and print marks every
// body must have, round trips through the codec, an independent parser's view of the texts the
// set jobs make, and the get jobs' answers to bad input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gravel/edge_base.h>
#include <gravel/edge_http_connections.h>

#include "gravel_test_support.hpp"
#include "runtime_test.hpp"

extern "C" int gravel_c_header_probe(void);

using gravel::test::WorkDir;

namespace {

struct ExpectedField {
    const char *key;
    char kind;    // 's' string, 'l' 64-bit
    bool hidden;  // never printed
};

// Every record of the service: what its body must carry, written out here on its own so that
// a slip in the record table (a name, a kind, the order, a print mark) shows up.
struct ExpectedRecord {
    const char *name;
    size_t size;
    edge_json_set_job_fn set;
    edge_json_get_job_fn get;
    edge_json_print_job_fn print;
    std::vector<ExpectedField> fields;
};

#define JOBS(T) #T, sizeof(T), edge_json_set##T##_job, edge_json_get##T##_job, edge_json_print##T##_job

const std::vector<ExpectedRecord> &expected_records() {
    static const std::vector<ExpectedRecord> records = {
        {JOBS(BindReqBody), {{"module_id", 's', false}, {"verify_code", 's', true}}},
        {JOBS(BindRspBody), {{"secret", 's', true}, {"crypt_key", 's', true}}},
        {JOBS(NodeConfigRsp),
         {{"access_key", 's', true}, {"secret_key", 's', true}, {"region", 's', false}, {"expires_at", 's', false}}},
        {JOBS(DaemonBindReqBody), {{"verify_code", 's', true}}},
        {JOBS(DaemonBindRspBody), {{"token", 's', true}, {"expires_at", 'l', false}}},
        {JOBS(VerifyReqBody), {{"token", 's', true}}},
        {JOBS(VerifyRspBody), {{"module_id", 's', false}, {"expires_at", 'l', false}}},
        {JOBS(CloudTokenRspBody),
         {{"access_key", 's', true},
          {"secret_key", 's', true},
          {"auth_token", 's', true},
          {"region", 's', false},
          {"expires_at", 's', false},
          {"token", 's', true},
          {"kelp_address", 's', false},
          {"dock_api_address", 's', false}}},
        {JOBS(NodeCertsRspBody), {{"certificate", 's', true}, {"expires_at", 'l', false}, {"private_key", 's', true}}},
        {JOBS(ModuleTrustCertsRspBody), {{"certificate", 's', true}, {"expires_at", 'l', false}}},
        {JOBS(DeviceSignRspBody), {{"client_id", 's', true}, {"password", 's', true}}},
        {JOBS(EncryptReqBody), {{"plaintext", 's', true}, {"algorithm", 's', true}}},
        {JOBS(EncryptRspBody), {{"ciphertext", 's', true}}},
        {JOBS(DecryptReqBody), {{"ciphertext", 's', true}, {"algorithm", 's', true}}},
        {JOBS(DecryptRspBody), {{"plaintext", 's', true}}},
        {JOBS(DigestReqBody), {{"data", 's', true}, {"algorithm", 's', true}}},
        {JOBS(DigestRspBody), {{"digest", 's', true}}},
        {JOBS(CommandReqBody), {{"command", 's', false}, {"timeout", 'l', false}}},
    };
    return records;
}

#undef JOBS

// A distinct value per record and field, with characters that need care in JSON and logs.
std::string value_of(const ExpectedRecord &r, const ExpectedField &f, size_t index) {
    if (f.kind == 'l') return std::to_string(1700000000000LL + static_cast<long long>(index));
    return std::string(r.name) + "-" + f.key + "-\xc3\xa9\\\"";  // é, backslash, quote (JSON-escaped)
}
// The same value as it reads in the record (and so in a print line).
std::string plain_value_of(const ExpectedRecord &r, const ExpectedField &f, size_t index) {
    if (f.kind == 'l') return value_of(r, f, index);
    return std::string(r.name) + "-" + f.key + "-\xc3\xa9\"";
}

// The record's body as JSON text, members in table order (also the compact form Python prints).
std::string body_of(const ExpectedRecord &r) {
    std::string text = "{";
    for (size_t i = 0; i < r.fields.size(); ++i) {
        const ExpectedField &f = r.fields[i];
        if (i > 0) text += ",";
        // Appended piece by piece: GCC 12 misreads chains of string '+' (-Wrestrict).
        text.append("\"").append(f.key).append("\":");
        if (f.kind == 'l') {
            text.append(value_of(r, f, i));
        } else {
            text.append("\"").append(value_of(r, f, i)).append("\"");
        }
    }
    return text + "}";
}

// Room for any record of the table, aligned for its pointers and 64-bit fields.
struct alignas(8) RecordBuffer {
    unsigned char bytes[256];
};

apr_pool_t *pool_field(const RecordBuffer &b) {
    apr_pool_t *p;
    std::memcpy(&p, b.bytes, sizeof p);
    return p;
}

class Records : public gravel::test::BaseRuntimeTest {
protected:
    std::string print(const void *record, edge_json_print_job_fn job) {
        char *text = nullptr;
        EXPECT_EQ(job(record, &text, pool_, 1), EDGE_OK);
        return text == nullptr ? "(none)" : text;
    }

    std::vector<std::string> get_errors() {
        std::vector<std::string> out;
        for (const auto &line : work_.log_lines()) {
            if (line.rfind("ERROR get type:", 0) == 0) out.push_back(line);
        }
        return out;
    }
};

}  // namespace

TEST(CHeader, CompilesAndLinksAsC) {
    EXPECT_EQ(gravel_c_header_probe(), 1);
}

TEST_F(Records, EveryRecordReadsItsBodyAndWritesItBackInTableOrder) {
    std::string lines;
    std::string expected_lines;
    for (const ExpectedRecord &r : expected_records()) {
        SCOPED_TRACE(r.name);
        ASSERT_LE(r.size, sizeof(RecordBuffer));
        RecordBuffer record{};
        const std::string body = body_of(r);
        ASSERT_EQ(edge_json_str_to_struct(record.bytes, body.c_str(), pool_, r.get), EDGE_OK) << body;
        EXPECT_EQ(pool_field(record), pool_);

        char *text = nullptr;
        ASSERT_EQ(edge_json_struct_to_str(record.bytes, &text, pool_, r.set), EDGE_OK);
        ASSERT_NE(text, nullptr);
        lines += std::string(text) + "\n";
        expected_lines += body + "\n";
    }
    // An independent parser reads each text back to the same members, in the same order.
    const std::string in = work_.file("bodies.jsonl");
    const std::string out = work_.file("parsed.jsonl");
    gravel::test::write_file(in, lines);
    const std::string cmd = "python3 -m json.tool --json-lines --compact --no-ensure-ascii '" + in + "' '" + out + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << lines;
    EXPECT_EQ(gravel::test::read_file(out), expected_lines);
}

TEST_F(Records, PrintShowsPrintedFieldsOnlyInTableOrder) {
    for (const ExpectedRecord &r : expected_records()) {
        SCOPED_TRACE(r.name);
        RecordBuffer record{};
        ASSERT_EQ(edge_json_str_to_struct(record.bytes, body_of(r).c_str(), pool_, r.get), EDGE_OK);
        std::string expected = "[";
        for (size_t i = 0; i < r.fields.size(); ++i) {
            const ExpectedField &f = r.fields[i];
            if (!f.hidden) expected += std::string(f.key) + " : " + plain_value_of(r, f, i) + ", ";
        }
        expected += "]";
        const std::string shown = print(record.bytes, r.print);
        EXPECT_EQ(shown, expected);
        for (size_t i = 0; i < r.fields.size(); ++i) {
            if (r.fields[i].hidden) {
                EXPECT_EQ(shown.find(r.fields[i].key + std::string("-")), std::string::npos) << r.fields[i].key;
            }
        }
    }
}

TEST_F(Records, PrintOfZeroRecordsAndZeroFields) {
    for (const ExpectedRecord &r : expected_records()) {
        SCOPED_TRACE(r.name);
        RecordBuffer record{};
        EXPECT_EQ(print(record.bytes, r.print), "(zero), ");

        // Only the hidden fields set (pool left empty): never "(zero), ", and no hidden value.
        bool any_hidden = false;
        std::string body = "{";
        std::string expected = "[";
        for (size_t i = 0; i < r.fields.size(); ++i) {
            const ExpectedField &f = r.fields[i];
            any_hidden = any_hidden || f.hidden;
            body.append(i > 0 ? "," : "").append("\"").append(f.key).append("\":");
            if (f.hidden) {
                body.append("\"").append(value_of(r, f, i)).append("\"");
            } else {
                body += f.kind == 'l' ? "0" : "null";
                expected += std::string(f.key) + " : (zero), ";
            }
        }
        body += "}";
        expected += "]";
        if (!any_hidden) continue;
        ASSERT_EQ(edge_json_str_to_struct(record.bytes, body.c_str(), pool_, r.get), EDGE_OK) << body;
        std::memset(record.bytes, 0, sizeof(apr_pool_t *));
        EXPECT_EQ(print(record.bytes, r.print), expected);
    }
}

TEST_F(Records, PrintHonoursItsFlagAndArguments) {
    VerifyRspBody v{nullptr, "m1", 5};
    EXPECT_EQ(print(&v, edge_json_printVerifyRspBody_job), "[module_id : m1, expires_at : 5, ]");
    char *kept = const_cast<char *>("kept");
    char *out = kept;
    EXPECT_EQ(edge_json_printVerifyRspBody_job(&v, &out, pool_, 0), EDGE_OK);
    EXPECT_EQ(out, kept);
    EXPECT_EQ(edge_json_printVerifyRspBody_job(nullptr, &out, pool_, 1), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_printVerifyRspBody_job(&v, nullptr, pool_, 1), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_printVerifyRspBody_job(&v, &out, nullptr, 1), EDGE_ERR_MISSING);
    EXPECT_EQ(out, kept);

    CommandReqBody c{nullptr, nullptr, 30};
    EXPECT_EQ(print(&c, edge_json_printCommandReqBody_job), "[command : (zero), timeout : 30, ]");
}

TEST_F(Records, RecordsFilledForSendingBecomeFlatBodies) {
    const BindReqBody bind{nullptr, "m1", "vc-123"};
    char *text = nullptr;
    EXPECT_EQ(edge_json_struct_to_str(&bind, &text, pool_, edge_json_setBindReqBody_job), EDGE_OK);
    EXPECT_STREQ(text, R"({"module_id":"m1","verify_code":"vc-123"})");

    const CommandReqBody cmd{nullptr, "reboot", 9007199254740993LL};
    EXPECT_EQ(edge_json_struct_to_str(&cmd, &text, pool_, edge_json_setCommandReqBody_job), EDGE_OK);
    EXPECT_STREQ(text, R"({"command":"reboot","timeout":9007199254740993})");

    const DigestReqBody digest{nullptr, "data", nullptr};
    EXPECT_EQ(edge_json_struct_to_str(&digest, &text, pool_, edge_json_setDigestReqBody_job), EDGE_OK);
    EXPECT_STREQ(text, R"({"data":"data","algorithm":null})");
}

TEST_F(Records, SetJobNestsUnderANameOrAppendsToAnArray) {
    const VerifyRspBody v{nullptr, "m1", 5};
    cJSON *root = edge_json_create(nullptr);
    EXPECT_EQ(edge_json_setVerifyRspBody_job(root, "verify", &v), EDGE_OK);
    cJSON *array = edge_json_add_array(root, "list");
    EXPECT_EQ(edge_json_setVerifyRspBody_job(array, nullptr, &v), EDGE_OK);
    EXPECT_EQ(edge_json_setVerifyRspBody_job(array, "ignored", &v), EDGE_OK);
    EXPECT_EQ(edge_json_setVerifyRspBody_job(root, "", &v), EDGE_OK);  // an empty name: the root itself
    EXPECT_STREQ(edge_json_to_str(root, pool_),
                 R"({"verify":{"module_id":"m1","expires_at":5},)"
                 R"("list":[{"module_id":"m1","expires_at":5},{"module_id":"m1","expires_at":5}],)"
                 R"("module_id":"m1","expires_at":5})");

    cJSON *text_node = cJSON_CreateString("not a container");
    EXPECT_EQ(edge_json_setVerifyRspBody_job(nullptr, nullptr, &v), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_setVerifyRspBody_job(root, nullptr, nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_setVerifyRspBody_job(text_node, nullptr, &v), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_json_setVerifyRspBody_job(text_node, "named", &v), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_STREQ(edge_json_to_str(text_node, pool_), "\"not a container\"");
    edge_json_delete(text_node);
    edge_json_delete(root);
}

TEST_F(Records, GetJobAnswersBadInputWithoutHarm) {
    const std::string deep_value = std::string(500, '[') + std::string(500, ']');
    const std::string too_deep = std::string(100000, '[') + std::string(100000, ']');
    apr_pool_t *const old_pool = reinterpret_cast<apr_pool_t *>(0x1);
    const char *const old_token = "old-token";
    struct Case {
        const char *what;
        std::string text;
        uint32_t rc;
        const char *error;  // the ERROR line, or null for none
        bool pool_set;
        const char *token;  // null: expect a null token
        int64_t expires_at;
    } cases[] = {
        {"well formed", R"({"token":"t","expires_at":5})", EDGE_OK, nullptr, true, "t", 5},
        {"null token", R"({"token":null,"expires_at":5})", EDGE_OK, nullptr, true, nullptr, 5},
        {"extra members", R"({"a":1,"token":"t","b":[],"expires_at":5})", EDGE_OK, nullptr, true, "t", 5},
        {"an array", R"([{"token":"t","expires_at":5}])", EDGE_ERR_BAD_ARGUMENT, nullptr, false, old_token, -1},
        {"a string", R"("token")", EDGE_ERR_BAD_ARGUMENT, nullptr, false, old_token, -1},
        {"a number", "42", EDGE_ERR_BAD_ARGUMENT, nullptr, false, old_token, -1},
        {"token a number", R"({"token":5,"expires_at":5})", EDGE_ERR_BAD_ARGUMENT,
         "ERROR get type:_str node_name:token failed, ret = 20003", true, old_token, -1},
        {"expiry a string", R"({"token":"t","expires_at":"5"})", EDGE_ERR_BAD_ARGUMENT,
         "ERROR get type:_ll node_name:expires_at failed, ret = 20003", true, "t", -1},
        {"token missing", R"({"expires_at":5})", EDGE_ERR_MISSING,
         "ERROR get type:_str node_name:token failed, ret = 20001", true, old_token, -1},
        {"Token for token", R"({"Token":"t","expires_at":5})", EDGE_ERR_MISSING,
         "ERROR get type:_str node_name:token failed, ret = 20001", true, old_token, -1},
        {"expiry beyond a double", R"({"token":"t","expires_at":1e400})", EDGE_ERR_OUT_OF_RANGE,
         "ERROR get type:_ll node_name:expires_at failed, ret = 20004", true, "t", -1},
        {"expiry of 30 digits", R"({"token":"t","expires_at":123456789012345678901234567890})", EDGE_ERR_OUT_OF_RANGE,
         "ERROR get type:_ll node_name:expires_at failed, ret = 20004", true, "t", -1},
        {"expiry not whole", R"({"token":"t","expires_at":1.5})", EDGE_ERR_OUT_OF_RANGE,
         "ERROR get type:_ll node_name:expires_at failed, ret = 20004", true, "t", -1},
        {"nested token", "{\"token\":" + deep_value + ",\"expires_at\":5}", EDGE_ERR_BAD_ARGUMENT,
         "ERROR get type:_str node_name:token failed, ret = 20003", true, old_token, -1},
        {"nesting past the parser's limit", "{\"token\":" + too_deep + "}", EDGE_ERR_BAD_ARGUMENT, nullptr, false,
         old_token, -1},
        {"invalid UTF-8", "{\"token\":\"\xff\xfe\",\"expires_at\":5}", EDGE_ERR_BAD_ARGUMENT,
         "ERROR get type:_str node_name:token failed, ret = 20003", true, old_token, -1},
        {"truncated", R"({"token":"t","expires_a)", EDGE_ERR_BAD_ARGUMENT, nullptr, false, old_token, -1},
        {"empty", "", EDGE_ERR_BAD_ARGUMENT, nullptr, false, old_token, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t errors_before = get_errors().size();
        DaemonBindRspBody rsp{old_pool, old_token, -1};
        EXPECT_EQ(edge_json_str_to_struct(&rsp, c.text.c_str(), pool_, edge_json_getDaemonBindRspBody_job), c.rc);
        const auto errors = get_errors();
        if (c.error == nullptr) {
            EXPECT_EQ(errors.size(), errors_before);
        } else {
            ASSERT_EQ(errors.size(), errors_before + 1);
            EXPECT_EQ(errors.back(), c.error);
        }
        EXPECT_EQ(rsp.pool, c.pool_set ? pool_ : old_pool);
        if (c.token == nullptr) {
            EXPECT_EQ(rsp.token, nullptr);
        } else {
            EXPECT_STREQ(rsp.token, c.token);
        }
        EXPECT_EQ(rsp.expires_at, c.expires_at);
    }
}

TEST_F(Records, FailedGetFillsFieldsBeforeTheFailingOneOnly) {
    // CloudTokenRspBody without its fifth member: four fields read, the last three untouched.
    const char *const old = "old";
    CloudTokenRspBody rsp{nullptr, old, old, old, old, old, old, old, old};
    const char *text = R"({"access_key":"a","secret_key":"s","auth_token":"t","region":"r",)"
                       R"("token":"k","kelp_address":"h","dock_api_address":"d"})";
    EXPECT_EQ(edge_json_str_to_struct(&rsp, text, pool_, edge_json_getCloudTokenRspBody_job), EDGE_ERR_MISSING);
    EXPECT_TRUE(work_.logged("ERROR get type:_str node_name:expires_at failed, ret = 20001"));
    EXPECT_STREQ(rsp.access_key, "a");
    EXPECT_STREQ(rsp.secret_key, "s");
    EXPECT_STREQ(rsp.auth_token, "t");
    EXPECT_STREQ(rsp.region, "r");
    EXPECT_EQ(rsp.expires_at, old);
    EXPECT_EQ(rsp.token, old);
    EXPECT_EQ(rsp.kelp_address, old);
    EXPECT_EQ(rsp.dock_api_address, old);
}

TEST_F(Records, GetJobNeedsRecordObjectAndPool) {
    cJSON *object = edge_json_create("{}");
    VerifyRspBody v{};
    EXPECT_EQ(edge_json_getVerifyRspBody_job(object, pool_, nullptr, nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_getVerifyRspBody_job(nullptr, pool_, nullptr, &v), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_getVerifyRspBody_job(object, nullptr, nullptr, &v), EDGE_ERR_MISSING);
    EXPECT_EQ(v.pool, nullptr);
    edge_json_delete(object);
}
