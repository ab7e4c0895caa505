// The doubly linked list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <gravel/edge_base.h>

#include "gravel_test_support.hpp"
#include "runtime_test.hpp"

namespace {

class List : public gravel::test::BaseRuntimeTest {
protected:
    void SetUp() override {
        BaseRuntimeTest::SetUp();
        list_ = edge_base_list_create(pool_);
        ASSERT_NE(list_, nullptr);
    }
    void TearDown() override {
        edge_base_list_delete(list_);
        BaseRuntimeTest::TearDown();
    }
    std::string forward() {
        std::string out;
        edge_base_list_iter_t it;
        for (void *d = edge_base_list_loop_start(list_, &it); d != nullptr; d = edge_base_list_loop_next(list_, &it)) {
            out += *static_cast<char *>(d);
        }
        return out;
    }
    std::string backward() {
        std::string out;
        edge_base_list_iter_t it;
        for (void *d = edge_base_list_reverse_start(list_, &it); d != nullptr;
             d = edge_base_list_reverse_next(list_, &it)) {
            out += *static_cast<char *>(d);
        }
        return out;
    }
    edge_base_list_t *list_ = nullptr;
    char a_ = 'A', b_ = 'B', c_ = 'C';
};

}  // namespace

TEST_F(List, NewListIsEmptyEverywhere) {
    edge_base_list_iter_t it;
    EXPECT_EQ(edge_base_list_is_empty(list_), 1);
    EXPECT_EQ(edge_base_list_count_get(list_), 0u);
    EXPECT_EQ(edge_base_list_get_head(list_), nullptr);
    EXPECT_EQ(edge_base_list_get_tail(list_), nullptr);
    EXPECT_EQ(edge_base_list_remove_head(list_), nullptr);
    EXPECT_EQ(edge_base_list_remove_tail(list_), nullptr);
    EXPECT_EQ(edge_base_list_loop_start(list_, &it), nullptr);
    EXPECT_EQ(edge_base_list_reverse_start(list_, &it), nullptr);
    EXPECT_EQ(edge_base_list_count_get(list_), 0u);
}

TEST_F(List, IteratesBothWaysAndRemovesFromBothEnds) {
    edge_base_list_add_tail(list_, &b_);
    edge_base_list_add_tail(list_, &c_);
    edge_base_list_add_head(list_, &a_);
    EXPECT_EQ(forward(), "ABC");
    EXPECT_EQ(backward(), "CBA");
    EXPECT_EQ(edge_base_list_get_head(list_), &a_);
    EXPECT_EQ(edge_base_list_get_tail(list_), &c_);
    EXPECT_EQ(edge_base_list_remove_head(list_), &a_);
    EXPECT_EQ(edge_base_list_count_get(list_), 2u);
    EXPECT_EQ(edge_base_list_remove_tail(list_), &c_);
    EXPECT_EQ(forward(), "B");
    EXPECT_EQ(backward(), "B");
    EXPECT_EQ(edge_base_list_remove_tail(list_), &b_);
    EXPECT_EQ(edge_base_list_is_empty(list_), 1);
    EXPECT_EQ(edge_base_list_get_head(list_), nullptr);
    EXPECT_EQ(edge_base_list_get_tail(list_), nullptr);
}

TEST_F(List, ReturnedNodeMayBeRemovedDuringIteration) {
    for (char *p : {&a_, &b_, &c_}) edge_base_list_add_tail(list_, p);
    std::string seen;
    edge_base_list_iter_t it;
    for (void *d = edge_base_list_loop_start(list_, &it); d != nullptr; d = edge_base_list_loop_next(list_, &it)) {
        seen += *static_cast<char *>(d);
        EXPECT_EQ(edge_base_list_remove_head(list_), d);  // drain while walking
    }
    EXPECT_EQ(seen, "ABC");
    EXPECT_EQ(edge_base_list_count_get(list_), 0u);

    for (char *p : {&a_, &b_, &c_}) edge_base_list_add_tail(list_, p);
    seen.clear();
    for (void *d = edge_base_list_reverse_start(list_, &it); d != nullptr;
         d = edge_base_list_reverse_next(list_, &it)) {
        seen += *static_cast<char *>(d);
        EXPECT_EQ(edge_base_list_remove_tail(list_), d);
    }
    EXPECT_EQ(seen, "CBA");
}

TEST_F(List, ManyAdditionsAndRemovalsKeepTheCount) {
    for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(i % 2 ? edge_base_list_add_head(list_, &a_) : edge_base_list_add_tail(list_, &a_), EDGE_OK);
        ASSERT_EQ(i % 3 ? edge_base_list_remove_head(list_) : edge_base_list_remove_tail(list_), &a_);
    }
    EXPECT_EQ(edge_base_list_count_get(list_), 0u);
    EXPECT_EQ(edge_base_list_is_empty(list_), 1);
}

TEST_F(List, NullArguments) {
    edge_base_list_iter_t it;
    EXPECT_EQ(edge_base_list_create(nullptr), nullptr);
    EXPECT_EQ(edge_base_list_add_head(nullptr, &a_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_list_add_tail(nullptr, &a_), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_base_list_is_empty(nullptr), 1);
    EXPECT_EQ(edge_base_list_count_get(nullptr), 0u);
    EXPECT_EQ(edge_base_list_remove_head(nullptr), nullptr);
    EXPECT_EQ(edge_base_list_loop_start(nullptr, &it), nullptr);
    EXPECT_EQ(edge_base_list_loop_start(list_, nullptr), nullptr);
    EXPECT_EQ(edge_base_list_loop_next(list_, nullptr), nullptr);
    EXPECT_EQ(edge_base_list_reverse_next(nullptr, &it), nullptr);
    edge_base_list_delete(nullptr);
}
