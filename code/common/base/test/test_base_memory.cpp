// Pools and the bounds-checked copy and fill.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>

#include <gravel/edge_base.h>

#include "gravel_test_support.hpp"
#include "runtime_test.hpp"

namespace {

using Pools = gravel::test::BaseRuntimeTest;

}  // namespace

TEST_F(Pools, ChildPoolsHangBelowTheirParentOrTheRoot) {
    apr_pool_t *top = edge_base_memory_pool_create(nullptr);
    ASSERT_NE(top, nullptr);
    apr_pool_t *root = apr_pool_parent_get(top);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(apr_pool_parent_get(edge_BASE_MGR_mgr_get_pool()), root);

    apr_pool_t *child = edge_base_memory_pool_create(top);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(apr_pool_parent_get(child), top);
    // `top` is never destroyed here: it goes with the root pool at edge_base_destroy (the
    // leak checker would report it otherwise).
}

TEST_F(Pools, DestroyNullsTheVariableAndIsHarmlessTwice) {
    apr_pool_t *pool = edge_base_memory_pool_create(nullptr);
    ASSERT_NE(pool, nullptr);
    edge_base_memory_pool_destroy(&pool);
    EXPECT_EQ(pool, nullptr);
    edge_base_memory_pool_destroy(&pool);
    edge_base_memory_pool_destroy(nullptr);
    edge_base_memory_pool_clear(nullptr);
    edge_base_memory_free(nullptr);
}

TEST_F(Pools, ClearKeepsThePoolForReuse) {
    apr_pool_t *pool = edge_base_memory_pool_create(nullptr);
    for (int round = 0; round < 3; ++round) {
        auto *block = static_cast<char *>(edge_base_memory_malloc(pool, 64));
        ASSERT_NE(block, nullptr);
        std::memset(block, 'x', 64);
        edge_base_memory_pool_clear(pool);
    }
    edge_base_memory_pool_destroy(&pool);
}

TEST_F(Pools, AllocationEdges) {
    EXPECT_EQ(edge_base_frame_memory_alloc(0), nullptr);
    EXPECT_NE(edge_base_frame_memory_alloc(16), nullptr);
    EXPECT_EQ(edge_base_memory_malloc(nullptr, 16), nullptr);
}

TEST(PoolsBeforeInit, FrameMemoryNeedsTheRootPool) {
    EXPECT_EQ(edge_base_frame_memory_alloc(16), nullptr);
}

TEST(MemoryCopy, FollowsTheBoundsCheckedContract) {
    const char src[] = "0123456789abcdef";
    struct Case {
        const char *name;
        size_t dest_size;
        bool null_dest, null_src;
        size_t count;
        int want;
        bool zeroed;  // destination zero-filled after a failure
    } cases[] = {
        {"fits", 16, false, false, 8, 0, false},
        {"exactly", 16, false, false, 16, 0, false},
        {"zero count", 16, false, false, 0, 0, false},
        {"too long", 8, false, false, 9, ERANGE, true},
        {"null source", 16, false, true, 4, EINVAL, true},
        {"null destination", 16, true, false, 4, EINVAL, false},
        {"huge size", SIZE_MAX, false, false, 4, ERANGE, false},
    };
    for (const auto &c : cases) {
        std::array<char, 24> buf;
        buf.fill('#');
        const size_t usable = c.dest_size > 16 ? 16 : c.dest_size;
        int rc =
            edge_base_memory_copy(c.null_dest ? nullptr : buf.data(), c.dest_size, c.null_src ? nullptr : src, c.count);
        EXPECT_EQ(rc, c.want) << c.name;
        if (c.want == 0) {
            EXPECT_EQ(std::memcmp(buf.data(), src, c.count), 0) << c.name;
        }
        if (c.zeroed) {
            for (size_t i = 0; i < usable; ++i) EXPECT_EQ(buf[i], '\0') << c.name << " at " << i;
        }
        // Never a byte past the destination size.
        for (size_t i = usable; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << c.name << " at " << i;
    }
}

TEST(MemoryCopy, RefusesOverlap) {
    char buf[16] = "abcdefghijklmno";
    EXPECT_EQ(edge_base_memory_copy(buf + 2, 8, buf, 8), EINVAL);
    char adjacent[16] = "abcdefghijklmno";
    EXPECT_EQ(edge_base_memory_copy(adjacent + 8, 8, adjacent, 8), 0);
    EXPECT_EQ(std::memcmp(adjacent + 8, "abcdefgh", 8), 0);
}

TEST(MemorySet, FillsWithinBounds) {
    std::array<unsigned char, 16> buf;
    buf.fill(0xAA);
    EXPECT_EQ(edge_base_memory_set(buf.data(), 8, 0, 8), 0);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(buf[i], 0);
    EXPECT_EQ(buf[8], 0xAA);

    buf.fill(0xAA);
    EXPECT_EQ(edge_base_memory_set(buf.data(), 4, 0x11, 12), ERANGE);  // fills the 4 it owns, no more
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(buf[i], 0x11);
    EXPECT_EQ(buf[4], 0xAA);
    EXPECT_EQ(edge_base_memory_set(nullptr, 4, 0, 4), EINVAL);
}
