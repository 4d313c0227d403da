#include <cobble/collections/core/intrusive_list.hpp>

#include <gtest/gtest.h>

#include <vector>

using Cobble::Core::IntrusiveList;
using Cobble::Core::ListNode;
using Cobble::Core::node_cast;

namespace {

struct Item : ListNode {
    int id = 0;
};

// Ids front to back, checking the back links on the way.
std::vector<int> ids(const IntrusiveList &list) {
    std::vector<int> out;
    const ListNode *prev = nullptr;
    for (ListNode *link : list) {
        EXPECT_EQ(link->prev, prev);
        prev = link;
        out.push_back(node_cast<Item>(link)->id);
    }
    EXPECT_EQ(prev, list.tail());
    EXPECT_EQ(out.size(), list.size());
    return out;
}

class IntrusiveListTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 5; ++i) {
            items[i].id = i;
        }
    }
    Item items[5];
    IntrusiveList list;
};

}  // namespace

TEST_F(IntrusiveListTest, LinksStayConsistentAtBothEnds) {
    EXPECT_EQ(list.begin(), list.end());
    list.push_back(&items[1]);
    list.push_back(&items[2]);
    list.push_front(&items[0]);
    list.push_back(&items[3]);
    list.push_back(&items[4]);
    EXPECT_EQ(ids(list), (std::vector<int>{0, 1, 2, 3, 4}));
    list.unlink(&items[2]);
    list.unlink(&items[0]);
    list.unlink(&items[4]);
    EXPECT_EQ(ids(list), (std::vector<int>{1, 3}));
    list.move_to_front(&items[3]);
    list.move_to_front(&items[3]);  // already there
    EXPECT_EQ(ids(list), (std::vector<int>{3, 1}));
    list.move_to_back(&items[3]);
    list.move_to_back(&items[3]);
    EXPECT_EQ(ids(list), (std::vector<int>{1, 3}));
    EXPECT_EQ(list.pop_back(), &items[3]);
    EXPECT_EQ(list.pop_front(), &items[1]);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.head(), nullptr);
    EXPECT_EQ(list.tail(), nullptr);
    EXPECT_EQ(list.pop_front(), nullptr);
    EXPECT_EQ(list.pop_back(), nullptr);
}

TEST_F(IntrusiveListTest, ClearForgetsElementsAndAllowsReuse) {
    for (int i = 0; i < 3; ++i) {
        list.push_back(&items[i]);
    }
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.begin(), list.end());
    // Stale links from before the clear must not leak into the new list.
    list.push_back(&items[2]);
    list.push_front(&items[1]);
    EXPECT_EQ(ids(list), (std::vector<int>{1, 2}));
}
