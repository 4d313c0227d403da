#include <cobble/collections/core/node_pool.hpp>

#include <gtest/gtest.h>

#include <set>

using Cobble::Core::ListNode;
using Cobble::Core::NodePool;

namespace {

struct Item : ListNode {
    int payload;
};

}  // namespace

TEST(NodePool, HandsOutNodesInArrayOrderThenFull) {
    NodePool<Item> pool(4);
    EXPECT_TRUE(pool.empty());
    Item *first = pool.alloc();
    EXPECT_EQ(first->payload, 0);  // value-initialised
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(pool.alloc(), first + i);
    }
    EXPECT_TRUE(pool.full());
    EXPECT_EQ(pool.in_use(), 4u);
    EXPECT_EQ(pool.available(), 0u);
    EXPECT_EQ(pool.alloc(), nullptr);
    EXPECT_EQ(pool.in_use(), 4u);
}

TEST(NodePool, ReleaseIsLastInFirstOut) {
    NodePool<Item> pool(3);
    Item *a = pool.alloc();
    Item *b = pool.alloc();
    pool.release(a);
    pool.release(b);
    pool.release(nullptr);
    EXPECT_EQ(pool.in_use(), 0u);
    EXPECT_EQ(pool.alloc(), b);
    EXPECT_EQ(pool.alloc(), a);
    Item *c = pool.alloc();
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    EXPECT_TRUE(pool.full());
}

TEST(NodePool, ResetTakesEverythingBack) {
    NodePool<Item> pool(5);
    std::set<Item *> seen;
    while (!pool.full()) {
        seen.insert(pool.alloc());
    }
    pool.reset();
    EXPECT_TRUE(pool.empty());
    EXPECT_EQ(pool.available(), 5u);
    std::set<Item *> again;
    while (!pool.full()) {
        again.insert(pool.alloc());
    }
    EXPECT_EQ(seen, again);
}

TEST(NodePool, ZeroCapacityIsAlwaysFull) {
    NodePool<Item> pool(0);
    EXPECT_TRUE(pool.full());
    EXPECT_EQ(pool.alloc(), nullptr);
}
