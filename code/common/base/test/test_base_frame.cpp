// Initialisation, teardown, the global table, the registry and the accessor family.
#include <gtest/gtest.h>

#include <string>

#include <gravel/edge_base.h>

#include "gravel_test_support.hpp"
#include "runtime_test.hpp"

extern "C" int gravel_c_header_probe(void);

using gravel::test::WorkDir;

namespace {

// Initialises the runtime for a fresh work dir and tears it down afterwards.
class BaseRuntime : public gravel::test::BaseRuntimeTest {
protected:
    void SetUp() override { start_runtime("1.2.3"); }
};

}  // namespace

TEST(CHeader, CompilesAndLinksAsC) {
    EXPECT_EQ(gravel_c_header_probe(), 1);
}

TEST(BaseInit, RejectsBadWorkDirBeforeTouchingAnything) {
    EXPECT_EQ(edge_base_init(nullptr, nullptr), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_base_init("", nullptr), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_base_init(std::string(257, 'a').c_str(), nullptr), EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(edge_base_get_ca_file(), nullptr);
    EXPECT_EQ(edge_base_get_workdir(), nullptr);
}

TEST(BaseInit, WorkDirOf256CharactersPassesTheLengthCheck) {
    // 256 characters that name no directory: the length check passes, the directory check fails.
    std::string dir = "/tmp/" + std::string(251, 'd');
    ASSERT_EQ(dir.size(), 256u);
    EXPECT_EQ(edge_base_init(dir.c_str(), nullptr), EDGE_ERR_NOT_DIRECTORY);
    edge_base_destroy();
}

TEST(BaseInit, MissingCaFileFailsAfterFieldsAreSet) {
    gravel::test::TempDir dir;
    EXPECT_EQ(edge_base_init(dir.path().c_str(), nullptr), EDGE_ERR_FILE_MISSING);
    ASSERT_NE(edge_base_get_workdir(), nullptr);
    EXPECT_EQ(std::string(edge_base_get_workdir()), dir.path());
    EXPECT_EQ(std::string(edge_base_get_ca_file()), dir.path() + "/conf/rootcert.pem");
    edge_base_destroy();
}

TEST(BaseInit, MissingOrInvalidLogConfigurationFailsWithMinusOneAfterManagerExists) {
    WorkDir work;
    std::remove(work.file("conf/sdk_log.conf").c_str());
    EXPECT_EQ(edge_base_init(work.path().c_str(), nullptr), static_cast<uint32_t>(-1));
    edge_base_mgr_t *mgr = edge_BASE_MGR_mgr_get();
    ASSERT_NE(mgr, nullptr);
    EXPECT_EQ(std::string(mgr->log_conf), work.path() + "/conf/sdk_log.conf");
    edge_base_destroy();
}

TEST_F(BaseRuntime, KeepsWorkDirCaFileVersionAndCompileTime) {
    edge_base_mgr_t *mgr = edge_BASE_MGR_mgr_get();
    ASSERT_NE(mgr, nullptr);
    EXPECT_STREQ(mgr->head.name, "BASE_MGR");
    EXPECT_EQ(mgr->head.slot, EDGE_MGR_SLOT_BASE);
    EXPECT_EQ(std::string(edge_base_get_workdir()), work_.path());
    EXPECT_EQ(std::string(edge_base_get_ca_file()), work_.path() + "/conf/rootcert.pem");
    EXPECT_STREQ(mgr->version, "1.2.3");
    // "Mmm dd yyyy hh:mm:ss", the day padded with a blank.
    EXPECT_TRUE(testing::internal::RE::FullMatch(mgr->compile_time,
                                                 "[A-Z][a-z][a-z] [ 123][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}"))
        << mgr->compile_time;
}

TEST(BaseInit, VersionIsCutAt32CharactersAndEmptyMeansNone) {
    struct Case {
        const char *given;
        const char *kept;
    } cases[] = {{nullptr, nullptr},
                 {"", nullptr},
                 {"v", "v"},
                 {"0123456789abcdef0123456789abcdefXYZ", "0123456789abcdef0123456789abcdef"}};
    for (const auto &c : cases) {
        WorkDir work;
        ASSERT_EQ(edge_base_init(work.path().c_str(), c.given), EDGE_OK);
        const char *kept = edge_BASE_MGR_mgr_get()->version;
        if (c.kept == nullptr) {
            EXPECT_EQ(kept, nullptr);
        } else {
            EXPECT_STREQ(kept, c.kept);
        }
        edge_base_destroy();
    }
}

TEST_F(BaseRuntime, GlobalTableHasOneLazySlot) {
    EXPECT_EQ(edge_base_global_get(1, 8), nullptr);
    void **registry = edge_base_MGR_GLOBAL_get();
    ASSERT_NE(registry, nullptr);
    EXPECT_EQ(edge_base_global_get(0, 1), registry);  // same object whatever size is asked
    EXPECT_EQ(registry[EDGE_MGR_SLOT_BASE], edge_BASE_MGR_mgr_get());
}

TEST_F(BaseRuntime, RegistrySlotsAreBounded) {
    int marker = 0;
    EXPECT_EQ(edge_base_mgr_set(9, &marker), EDGE_ERR_OUT_OF_RANGE);
    EXPECT_EQ(edge_base_mgr_get(9), nullptr);
    EXPECT_EQ(edge_base_mgr_set(8, &marker), EDGE_OK);
    EXPECT_EQ(edge_base_mgr_get(8), &marker);
    EXPECT_EQ(edge_base_mgr_get(1), nullptr);
}

namespace {
// A manager whose head follows a field of its own, as one service library's record does.
struct OffsetRecord {
    uint64_t own_field;
    edge_mgr_head_t head;
    int payload;
};
OffsetRecord g_offset_record;
edge_mgr_head_t *offset_vector(void *record) {
    return &static_cast<OffsetRecord *>(record)->head;
}
edge_mgr_head_t *null_vector(void *) {
    return nullptr;
}
}  // namespace

TEST_F(BaseRuntime, CreateImplFillsTheHeadThroughTheGetVector) {
    g_offset_record = OffsetRecord{};
    g_offset_record.own_field = 77;
    ASSERT_EQ(edge_base_mgr_create_impl(6, "OFFSET_MGR", &g_offset_record, sizeof g_offset_record, offset_vector),
              &g_offset_record);
    EXPECT_EQ(g_offset_record.own_field, 77u);
    EXPECT_EQ(g_offset_record.head.slot, 6u);
    EXPECT_STREQ(g_offset_record.head.name, "OFFSET_MGR");
    EXPECT_NE(g_offset_record.head.pool, nullptr);
    EXPECT_EQ(edge_base_mgr_get(6), &g_offset_record);

    edge_base_mgr_delete_impl(6, offset_vector);
    EXPECT_EQ(g_offset_record.head.pool, nullptr);
    EXPECT_EQ(edge_base_mgr_get(6), &g_offset_record);  // still registered
}

TEST_F(BaseRuntime, CreateImplRefusesMissingPieces) {
    int record = 0;
    EXPECT_EQ(edge_base_mgr_create_impl(6, nullptr, &record, 4, offset_vector), nullptr);
    EXPECT_EQ(edge_base_mgr_create_impl(6, "", &record, 4, offset_vector), nullptr);
    EXPECT_EQ(edge_base_mgr_create_impl(6, "X_MGR", nullptr, 4, offset_vector), nullptr);
    EXPECT_EQ(edge_base_mgr_create_impl(6, "X_MGR", &record, 4, nullptr), nullptr);
    EXPECT_EQ(edge_base_mgr_create_impl(6, "X_MGR", &record, 4, null_vector), nullptr);
    EXPECT_EQ(edge_base_mgr_get(6), nullptr);
    edge_base_mgr_delete_impl(6, offset_vector);  // empty slot: nothing happens
}

TEST_F(BaseRuntime, AccessorFamilyFollowsTheManagerLife) {
    apr_pool_t *pool = edge_BASE_MGR_mgr_get_pool();
    ASSERT_NE(pool, nullptr);
    apr_pool_t *child = edge_BASE_MGR_mgr_create_pool();
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(apr_pool_parent_get(child), pool);
    edge_base_mgr_t *mgr = edge_BASE_MGR_mgr_get();
    EXPECT_EQ(edge_BASE_MGR_get_vector(mgr), &mgr->head);
    EXPECT_EQ(edge_BASE_MGR_get_vector(nullptr), nullptr);

    edge_BASE_MGR_mgr_delete();
    EXPECT_EQ(edge_BASE_MGR_mgr_get(), mgr);
    EXPECT_EQ(edge_BASE_MGR_mgr_get_pool(), nullptr);
    EXPECT_EQ(edge_BASE_MGR_mgr_create_pool(), nullptr);
    EXPECT_EQ(edge_base_get_workdir(), nullptr);
}

TEST(Status, NamesEveryCodeAndUnknownValues) {
    struct Case {
        uint32_t code;
        const char *name;
    } cases[] = {{EDGE_OK, "EDGE_OK"},
                 {20001, "EDGE_ERR_MISSING"},
                 {20004, "EDGE_ERR_OUT_OF_RANGE"},
                 {20030, "EDGE_ERR_PROPERTY_SYNTAX"},
                 {20043, "EDGE_ERR_BROKER_OVERLOADED"},
                 {20006, "EDGE_ERR_UNKNOWN"},
                 {0xFFFFFFFFu, "EDGE_ERR_UNKNOWN"}};
    for (const auto &c : cases) EXPECT_STREQ(edge_base_status_name(c.code), c.name) << c.code;
}

TEST(BaseInit, AcceptsARealCaFile) {
    gravel::test::TestPki pki;
    WorkDir work;
    pki.install_ca(work);
    ASSERT_EQ(edge_base_init(work.path().c_str(), nullptr), EDGE_OK);
    EXPECT_EQ(gravel::test::read_file(edge_base_get_ca_file()), gravel::test::read_file(pki.ca()));
    edge_base_destroy();
}
