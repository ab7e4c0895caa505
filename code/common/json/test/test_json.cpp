// The JSON codec on its own: documents, the record driver, the field jobs and the zero check.
#include <gtest/gtest.h>

#include <apr_general.h>

#include <cstring>
#include <limits>
#include <string>

#include <gravel/edge_json.h>

extern "C" int gravel_c_header_probe(void);

namespace {

// APR and one pool per test; the codec needs nothing else.
class Json : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(apr_initialize(), APR_SUCCESS); }
    static void TearDownTestSuite() { apr_terminate(); }
    void SetUp() override { ASSERT_EQ(apr_pool_create(&pool_, nullptr), APR_SUCCESS); }
    void TearDown() override { apr_pool_destroy(pool_); }

    std::string text_of(const cJSON *node) {
        const char *t = edge_json_to_str(node, pool_);
        return t == nullptr ? "(none)" : t;
    }

    apr_pool_t *pool_ = nullptr;
};

// A test record handled by hand-written jobs, to drive edge_json_struct_to_str/str_to_struct.
struct Pair {
    const char *name;
    int64_t count;
};

uint32_t set_pair(cJSON *parent, const char *, const void *record) {
    const auto *p = static_cast<const Pair *>(record);
    uint32_t rc = edge_json_set_str_job(parent, "name", &p->name);
    return rc != EDGE_OK ? rc : edge_json_set_ll_job(parent, "count", &p->count);
}

uint32_t get_pair(const cJSON *object, apr_pool_t *pool, const char *, void *record) {
    auto *p = static_cast<Pair *>(record);
    uint32_t rc = edge_json_get_str_job(cJSON_GetObjectItemCaseSensitive(object, "name"), pool, "name", &p->name);
    return rc != EDGE_OK
               ? rc
               : edge_json_get_ll_job(cJSON_GetObjectItemCaseSensitive(object, "count"), pool, "count", &p->count);
}

uint32_t failing_job(cJSON *, const char *, const void *) {
    return EDGE_ERR_HEX_ENCODE;
}

}  // namespace

TEST(CHeader, CompilesAndLinksAsC) {
    EXPECT_EQ(gravel_c_header_probe(), 1);
}

TEST_F(Json, DocumentsAreBuiltAndPrintedIntoThePool) {
    cJSON *root = edge_json_create(nullptr);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(edge_json_add_string(root, "s", "v\"1\"\n"), EDGE_OK);
    EXPECT_EQ(edge_json_add_string(root, "absent", nullptr), EDGE_OK);
    EXPECT_EQ(edge_json_add_number(root, "n", 12), EDGE_OK);
    EXPECT_EQ(edge_json_add_child(root, "c", edge_json_create(nullptr)), EDGE_OK);
    cJSON *array = edge_json_add_array(root, "a");
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(edge_json_add_obj_to_array(array, edge_json_create("{\"k\":1}")), EDGE_OK);
    const char *text = edge_json_to_str(root, pool_);
    edge_json_delete(root);
    // The text lives in the pool, after the tree is gone.
    EXPECT_STREQ(text, R"({"s":"v\"1\"\n","absent":null,"n":12,"c":{},"a":[{"k":1}]})");
}

TEST_F(Json, DocumentCallsRefuseMissingOrMistypedNodes) {
    cJSON *object = edge_json_create(nullptr);
    cJSON *array = edge_json_create("[1,2]");
    ASSERT_NE(array, nullptr);
    EXPECT_TRUE(cJSON_IsArray(array));
    struct Case {
        const char *what;
        uint32_t got;
        uint32_t expected;
    } cases[] = {
        {"string to no object", edge_json_add_string(nullptr, "k", "v"), EDGE_ERR_MISSING},
        {"string without key", edge_json_add_string(object, nullptr, "v"), EDGE_ERR_MISSING},
        {"number to an array", edge_json_add_number(array, "k", 1), EDGE_ERR_BAD_ARGUMENT},
        {"no child", edge_json_add_child(object, "k", nullptr), EDGE_ERR_MISSING},
        {"append to an object", edge_json_add_obj_to_array(object, array), EDGE_ERR_BAD_ARGUMENT},
        {"append nothing", edge_json_add_obj_to_array(array, nullptr), EDGE_ERR_MISSING},
    };
    for (const Case &c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
    EXPECT_EQ(edge_json_add_array(array, "k"), nullptr);
    EXPECT_EQ(edge_json_to_str(nullptr, pool_), nullptr);
    EXPECT_EQ(edge_json_to_str(object, nullptr), nullptr);
    EXPECT_EQ(text_of(object), "{}");  // nothing was added by the failed calls
    edge_json_delete(object);
    edge_json_delete(array);
    edge_json_delete(nullptr);
}

TEST_F(Json, CreateParsesWholeTextsOnly) {
    struct Case {
        const char *text;
        bool parses;
    } cases[] = {
        {"{}", true},     {" [\"a\"] \n", true}, {"\"text\"", true}, {"42", true},        {"{}x", false},
        {"{} {}", false}, {"{\"a\":", false},    {"", false},        {"not json", false}, {"{'a':1}", false},
    };
    for (const Case &c : cases) {
        cJSON *node = edge_json_create(c.text);
        EXPECT_EQ(node != nullptr, c.parses) << c.text;
        edge_json_delete(node);
    }
}

// A parsed document prints its whole numbers with the digits it was given: printed from their
// doubles, those beyond 2^53 (and some of 16 digits below it) would come out as other numbers.
TEST_F(Json, ParsedWholeNumbersPrintWithTheirDigits) {
    struct Case {
        const char *text;
        const char *printed;
    } cases[] = {
        {R"({"a":12})", R"({"a":12})"},
        {R"({"a":9007199254740991})", R"({"a":9007199254740991})"},
        {R"({"a":9007199254740993})", R"({"a":9007199254740993})"},
        {R"({"ns":1733860000123456789,"min":-9223372036854775808})",
         R"({"ns":1733860000123456789,"min":-9223372036854775808})"},
        {R"([123456789012345678901234567890])", R"([123456789012345678901234567890])"},
        {R"({"s":"9007199254740993","n":[0,-0,2.5,1e3]})", R"({"s":"9007199254740993","n":[0,-0,2.5,1000]})"},
    };
    for (const Case &c : cases) {
        cJSON *node = edge_json_create(c.text);
        ASSERT_NE(node, nullptr) << c.text;
        EXPECT_EQ(text_of(node), c.printed) << c.text;
        edge_json_delete(node);
    }
    // A number changed after parsing prints its new value, and printing leaves the tree as it was.
    cJSON *node = edge_json_create(R"({"a":9007199254740993,"b":9007199254740993})");
    ASSERT_NE(node, nullptr);
    cJSON_SetNumberValue(cJSON_GetObjectItemCaseSensitive(node, "b"), 7);
    EXPECT_EQ(text_of(node), R"({"a":9007199254740993,"b":7})");
    EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(node, "a")));
    edge_json_delete(node);
}

TEST_F(Json, StructToStrRunsTheSetJobOnAnUnnamedRoot) {
    Pair p{"n1", 9007199254740993LL};
    char *text = nullptr;
    EXPECT_EQ(edge_json_struct_to_str(&p, &text, pool_, set_pair), EDGE_OK);
    EXPECT_STREQ(text, R"({"name":"n1","count":9007199254740993})");

    text = reinterpret_cast<char *>(&p);  // any stale value is replaced
    EXPECT_EQ(edge_json_struct_to_str(&p, &text, pool_, failing_job), EDGE_ERR_HEX_ENCODE);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(edge_json_struct_to_str(nullptr, &text, pool_, set_pair), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_struct_to_str(&p, nullptr, pool_, set_pair), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_struct_to_str(&p, &text, nullptr, set_pair), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_struct_to_str(&p, &text, pool_, nullptr), EDGE_ERR_MISSING);
}

// What the set job writes, the get job reads back, over the whole 64-bit range; a node whose
// value was set anew after parsing reads as its new value.
TEST_F(Json, SixtyFourBitFieldsRoundTripExactly) {
    const int64_t values[] = {0,
                              -1,
                              9007199254740991LL,
                              9007199254740993LL,
                              -9007199254740993LL,
                              std::numeric_limits<int64_t>::max(),
                              std::numeric_limits<int64_t>::min()};
    for (const int64_t v : values) {
        Pair out{"n", v};
        char *text = nullptr;
        ASSERT_EQ(edge_json_struct_to_str(&out, &text, pool_, set_pair), EDGE_OK);
        Pair in{nullptr, 0};
        ASSERT_EQ(edge_json_str_to_struct(&in, text, pool_, get_pair), EDGE_OK) << text;
        EXPECT_EQ(in.count, v) << text;
    }
    cJSON *doc = edge_json_create(R"({"n":9007199254740993})");
    ASSERT_NE(doc, nullptr);
    cJSON *n = cJSON_GetObjectItemCaseSensitive(doc, "n");
    cJSON_SetNumberValue(n, 12);
    int64_t ll = -1;
    EXPECT_EQ(edge_json_get_ll_job(n, pool_, "n", &ll), EDGE_OK);
    EXPECT_EQ(ll, 12);
    edge_json_delete(doc);
}

TEST_F(Json, StrToStructParsesThenRunsTheGetJob) {
    Pair p{"before", -1};
    EXPECT_EQ(edge_json_str_to_struct(&p, R"({"count":7,"name":"n2"})", pool_, get_pair), EDGE_OK);
    EXPECT_STREQ(p.name, "n2");
    EXPECT_EQ(p.count, 7);

    Pair q{"before", -1};
    EXPECT_EQ(edge_json_str_to_struct(&q, R"({"name":"n3","count":)", pool_, get_pair), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_json_str_to_struct(&q, R"({"name":"n3"})", pool_, get_pair), EDGE_ERR_MISSING);
    EXPECT_STREQ(q.name, "n3");  // filled before the failing field
    EXPECT_EQ(q.count, -1);
    EXPECT_EQ(edge_json_str_to_struct(nullptr, "{}", pool_, get_pair), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_str_to_struct(&q, nullptr, pool_, get_pair), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_str_to_struct(&q, "{}", nullptr, get_pair), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_str_to_struct(&q, "{}", pool_, nullptr), EDGE_ERR_MISSING);
}

TEST_F(Json, SetJobsWriteEachKind) {
    const char *s = "caf\xc3\xa9 \"q\"";
    const char *none = nullptr;
    const int32_t i_min = std::numeric_limits<int32_t>::min();
    const int32_t i_max = std::numeric_limits<int32_t>::max();
    const int64_t ll_min = std::numeric_limits<int64_t>::min();
    const int64_t ll_max = std::numeric_limits<int64_t>::max();
    const int64_t ll_e15 = 1000000000000000LL;
    cJSON *root = edge_json_create(nullptr);
    EXPECT_EQ(edge_json_set_str_job(root, "s", &s), EDGE_OK);
    EXPECT_EQ(edge_json_set_str_job(root, "none", &none), EDGE_OK);
    EXPECT_EQ(edge_json_set_int_job(root, "imin", &i_min), EDGE_OK);
    EXPECT_EQ(edge_json_set_int_job(root, "imax", &i_max), EDGE_OK);
    EXPECT_EQ(edge_json_set_ll_job(root, "llmin", &ll_min), EDGE_OK);
    EXPECT_EQ(edge_json_set_ll_job(root, "llmax", &ll_max), EDGE_OK);
    EXPECT_EQ(edge_json_set_ll_job(root, "lle15", &ll_e15), EDGE_OK);
    EXPECT_EQ(text_of(root),
              "{\"s\":\"caf\xc3\xa9 \\\"q\\\"\",\"none\":null,\"imin\":-2147483648,"
              "\"imax\":2147483647,\"llmin\":-9223372036854775808,"
              "\"llmax\":9223372036854775807,\"lle15\":1000000000000000}");

    // A 64-bit value written into a tree reads back exactly from the same tree.
    int64_t back = 0;
    EXPECT_EQ(edge_json_get_ll_job(cJSON_GetObjectItemCaseSensitive(root, "llmax"), pool_, "llmax", &back), EDGE_OK);
    EXPECT_EQ(back, ll_max);

    cJSON *array = edge_json_create("[]");
    EXPECT_EQ(edge_json_set_str_job(array, "k", &s), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_json_set_int_job(nullptr, "k", &i_min), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_set_ll_job(root, "k", nullptr), EDGE_ERR_MISSING);
    edge_json_delete(array);
    edge_json_delete(root);
}

TEST_F(Json, GetJobsReadOnlyWhatFitsTheField) {
    cJSON *doc = edge_json_create(
        R"({"str":"abc","utf8":"é𝄞","null":null,"num":5,"neg":-2147483648,"big":2147483648,)"
        R"("frac":1.5,"huge":1e400,"text5":"5","yes":true,"arr":[1],"obj":{},)"
        R"("safe":9007199254740991,"unsafe":9007199254740992,"unsafe2":9007199254740993,"negsafe":-9007199254740991,)"
        R"("max":9223372036854775807,"min":-9223372036854775808,"over":9223372036854775808,"under":-9223372036854775809,)"
        R"("bigfrac":9007199254740993.0,"bigexp":9007199254740993e0,"escaped":"\"12345678901234567890"})");
    ASSERT_NE(doc, nullptr);
    auto m = [&](const char *key) { return cJSON_GetObjectItemCaseSensitive(doc, key); };
    constexpr const char *kMark = "untouched";
    struct StrCase {
        const char *key;
        uint32_t rc;
        const char *value;  // expected after a success
    } str_cases[] = {
        {"str", EDGE_OK, "abc"},
        {"utf8", EDGE_OK, "é𝄞"},
        {"null", EDGE_OK, nullptr},
        {"missing", EDGE_ERR_MISSING, kMark},
        {"num", EDGE_ERR_BAD_ARGUMENT, kMark},
        {"yes", EDGE_ERR_BAD_ARGUMENT, kMark},
        {"arr", EDGE_ERR_BAD_ARGUMENT, kMark},
        {"obj", EDGE_ERR_BAD_ARGUMENT, kMark},
    };
    for (const StrCase &c : str_cases) {
        const char *field = kMark;
        EXPECT_EQ(edge_json_get_str_job(m(c.key), pool_, c.key, &field), c.rc) << c.key;
        if (c.value == nullptr) {
            EXPECT_EQ(field, nullptr) << c.key;
        } else {
            EXPECT_STREQ(field, c.value) << c.key;
        }
        if (c.rc == EDGE_OK && field != nullptr) {
            EXPECT_NE(field, m(c.key)->valuestring) << "copied into the pool";
        }
    }
    struct NumCase {
        const char *key;
        uint32_t rc_int;
        int32_t v_int;
        uint32_t rc_ll;
        int64_t v_ll;
    } num_cases[] = {
        {"num", EDGE_OK, 5, EDGE_OK, 5},
        {"neg", EDGE_OK, std::numeric_limits<int32_t>::min(), EDGE_OK, -2147483648LL},
        {"big", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_OK, 2147483648LL},
        {"frac", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_ERR_OUT_OF_RANGE, -1},
        {"huge", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_ERR_OUT_OF_RANGE, -1},
        {"safe", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_OK, 9007199254740991LL},
        {"negsafe", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_OK, -9007199254740991LL},
        // Whole numbers beyond 2^53 read exactly, as far as 64 bits reach; beyond that, and
        // numbers written with a fraction or an exponent, only as far as a double is exact.
        {"unsafe", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_OK, 9007199254740992LL},
        {"unsafe2", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_OK, 9007199254740993LL},
        {"max", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_OK, std::numeric_limits<int64_t>::max()},
        {"min", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_OK, std::numeric_limits<int64_t>::min()},
        {"over", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_ERR_OUT_OF_RANGE, -1},
        {"under", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_ERR_OUT_OF_RANGE, -1},
        {"bigfrac", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_ERR_OUT_OF_RANGE, -1},
        {"bigexp", EDGE_ERR_OUT_OF_RANGE, -1, EDGE_ERR_OUT_OF_RANGE, -1},
        {"text5", EDGE_ERR_BAD_ARGUMENT, -1, EDGE_ERR_BAD_ARGUMENT, -1},
        {"yes", EDGE_ERR_BAD_ARGUMENT, -1, EDGE_ERR_BAD_ARGUMENT, -1},
        {"null", EDGE_ERR_BAD_ARGUMENT, -1, EDGE_ERR_BAD_ARGUMENT, -1},
        {"missing", EDGE_ERR_MISSING, -1, EDGE_ERR_MISSING, -1},
    };
    for (const NumCase &c : num_cases) {
        int32_t i = -1;
        int64_t ll = -1;
        EXPECT_EQ(edge_json_get_int_job(m(c.key), pool_, c.key, &i), c.rc_int) << c.key;
        EXPECT_EQ(i, c.v_int) << c.key;
        EXPECT_EQ(edge_json_get_ll_job(m(c.key), pool_, c.key, &ll), c.rc_ll) << c.key;
        EXPECT_EQ(ll, c.v_ll) << c.key;
    }
    const char *field = nullptr;
    EXPECT_EQ(edge_json_get_str_job(m("str"), nullptr, "str", &field), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_get_str_job(m("str"), pool_, "str", nullptr), EDGE_ERR_MISSING);
    edge_json_delete(doc);
}

TEST_F(Json, StringsMustBeValidUtf8) {
    struct Case {
        const char *what;
        std::string bytes;
        bool valid;
    } cases[] = {
        {"ascii", "plain", true},
        {"two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", true},
        {"highest code point", "\xf4\x8f\xbf\xbf", true},
        {"stray continuation", "a\x80", false},
        {"lone lead byte", "\xc3", false},
        {"cut four-byte form", "\xf0\x9f\x98", false},
        {"overlong slash", "\xc0\xaf", false},
        {"overlong three bytes", "\xe0\x80\xaf", false},
        {"encoded surrogate", "\xed\xa0\x80", false},
        {"above U+10FFFF", "\xf4\x90\x80\x80", false},
        {"invalid byte", "\xff\xfe", false},
    };
    for (const Case &c : cases) {
        const std::string text = "{\"k\":\"" + c.bytes + "\"}";
        cJSON *doc = edge_json_create(text.c_str());
        ASSERT_NE(doc, nullptr) << c.what;  // the parser itself does not check
        const char *field = "untouched";
        const uint32_t rc = edge_json_get_str_job(cJSON_GetObjectItemCaseSensitive(doc, "k"), pool_, "k", &field);
        EXPECT_EQ(rc, c.valid ? EDGE_OK : EDGE_ERR_BAD_ARGUMENT) << c.what;
        EXPECT_EQ(std::string(field), c.valid ? c.bytes : "untouched") << c.what;
        edge_json_delete(doc);
    }
}

TEST_F(Json, PrintJobsRenderValuesAsText) {
    const char *s = "r1";
    const char *none = nullptr;
    const int32_t i = -42;
    const int64_t ll = 1700000000123LL;
    char *out = nullptr;
    EXPECT_EQ(edge_json_print_str_job(&s, &out, pool_, 1), EDGE_OK);
    EXPECT_STREQ(out, "r1");
    EXPECT_EQ(edge_json_print_int_job(&i, &out, pool_, 1), EDGE_OK);
    EXPECT_STREQ(out, "-42");
    EXPECT_EQ(edge_json_print_ll_job(&ll, &out, pool_, 1), EDGE_OK);
    EXPECT_STREQ(out, "1700000000123");

    char *kept = const_cast<char *>("kept");
    out = kept;
    EXPECT_EQ(edge_json_print_ll_job(&ll, &out, pool_, 0), EDGE_OK);
    EXPECT_EQ(out, kept);
    EXPECT_EQ(edge_json_print_str_job(&none, &out, pool_, 1), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_print_int_job(nullptr, &out, pool_, 1), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_print_int_job(&i, nullptr, pool_, 1), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_json_print_int_job(&i, &out, nullptr, 1), EDGE_ERR_MISSING);
    EXPECT_EQ(out, kept);
}

TEST(JsonZero, CheckAllZeroIsTrueExactlyForZeroBytes) {
    const unsigned char zeros[16] = {};
    unsigned char last[16] = {};
    last[15] = 1;
    EXPECT_NE(edge_json_check_all_zero(zeros, sizeof zeros), 0);
    EXPECT_NE(edge_json_check_all_zero(last, 15), 0);
    EXPECT_EQ(edge_json_check_all_zero(last, 16), 0);
    EXPECT_NE(edge_json_check_all_zero(last, 0), 0);
    EXPECT_EQ(edge_json_check_all_zero(nullptr, 4), 0);
}
