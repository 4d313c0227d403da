#include "test_support.hpp"

#include <cobble/collections/core/open_map.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using Cobble::Core::OpenMap;
using cobble_test::HomeHasher;

// Lets a test make the next allocation fail; counts allocations otherwise.
namespace {
int g_fail_next_allocation = 0;
int g_allocations = 0;
}  // namespace

namespace {

void *counted_allocation(std::size_t n) {
    if (g_fail_next_allocation != 0) {
        g_fail_next_allocation = 0;
        throw std::bad_alloc();
    }
    ++g_allocations;
    if (void *p = std::malloc(n == 0 ? 1 : n)) {
        return p;
    }
    throw std::bad_alloc();
}

}  // namespace

// Both forms are replaced: sanitizer runtimes bring their own array form.
void *operator new(std::size_t n) {
    return counted_allocation(n);
}

void *operator new[](std::size_t n) {
    return counted_allocation(n);
}

void operator delete(void *p) noexcept {
    std::free(p);
}

void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}

void operator delete[](void *p) noexcept {
    std::free(p);
}

void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using HomeMap = OpenMap<std::uint64_t, int, HomeHasher>;

std::vector<std::pair<std::uint64_t, int>> entries(const HomeMap &map) {
    std::vector<std::pair<std::uint64_t, int>> out;
    for (const auto entry : map) {
        out.emplace_back(entry.first, entry.second);
    }
    return out;
}

std::vector<std::uint64_t> keys(const HomeMap &map) {
    std::vector<std::uint64_t> out;
    for (const auto entry : map) {
        out.push_back(entry.first);
    }
    return out;
}

// A capacity-8 map (16 buckets, grows at a load of 12) left at a load of 11:
// keys 4..10 live, homes 0..3 tombstones.
void load_one_below_growth(HomeMap &map) {
    for (std::uint64_t k = 0; k < 8; ++k) {
        ASSERT_TRUE(map.insert(k, 0));
    }
    for (std::uint64_t k = 0; k < 4; ++k) {
        ASSERT_TRUE(map.remove(k));
    }
    for (std::uint64_t k = 8; k < 11; ++k) {
        ASSERT_TRUE(map.insert(k, 0));
    }
}

}  // namespace

TEST(OpenMap, CapacitySixtyFourHasOneHundredTwentyEightBuckets) {
    OpenMap<std::uint64_t, bool> map(64);
    EXPECT_EQ(map.capacity(), 64u);
    EXPECT_EQ(map.bucket_count(), 128u);
    EXPECT_EQ(map.find_empty_bucket(127), 127u);
    EXPECT_EQ(map.find_empty_bucket(128), 0u);  // mask 127
    EXPECT_TRUE(map.empty());
}

TEST(OpenMap, SixtyFifthInsertIsRefusedAndNothingGrows) {
    OpenMap<std::uint64_t, std::uint64_t> map(64);
    for (std::uint64_t k = 0; k < 64; ++k) {
        ASSERT_TRUE(map.insert(k * 7919, k));
    }
    EXPECT_EQ(map.size(), 64u);
    EXPECT_TRUE(map.full());
    EXPECT_EQ(map.bucket_count(), 128u);
    EXPECT_FALSE(map.insert(1, 1));
    EXPECT_EQ(map.get(1), nullptr);
    EXPECT_EQ(map.size(), 64u);
    for (std::uint64_t k = 0; k < 64; ++k) {
        ASSERT_NE(map.get(k * 7919), nullptr) << k;
        EXPECT_EQ(*map.get(k * 7919), k);
    }
    // Overwriting still works on a full map.
    EXPECT_FALSE(map.insert(0, 99));
    EXPECT_EQ(*map.get(0), 99u);
}

TEST(OpenMap, InsertsAllocateNothingAfterConstruction) {
    OpenMap<std::uint64_t, std::uint64_t> map(64);
    const int before = g_allocations;
    for (std::uint64_t k = 0; k < 100; ++k) {
        map.insert(k, k);
        (void)map.get(k);
    }
    map.clear();
    map.insert(5, 5);
    EXPECT_EQ(g_allocations, before);
}

TEST(OpenMap, OverwriteKeepsOrderAndSize) {
    HomeMap map(8);
    EXPECT_TRUE(map.insert(1, 10));
    EXPECT_TRUE(map.insert(2, 20));
    EXPECT_TRUE(map.insert(3, 30));
    EXPECT_FALSE(map.insert(1, 11));
    EXPECT_EQ(map.size(), 3u);
    EXPECT_EQ(entries(map), (std::vector<std::pair<std::uint64_t, int>>{{1, 11}, {2, 20}, {3, 30}}));
    EXPECT_EQ(map.oldest().first, 1u);
    EXPECT_EQ(map.newest().second, 30);
}

TEST(OpenMap, ClearReturnsEveryNodeAndKeepsTheTable) {
    OpenMap<std::uint64_t, int> map(64);
    for (std::uint64_t k = 0; k < 64; ++k) {
        ASSERT_TRUE(map.insert(k, 1));
    }
    map.clear();
    EXPECT_EQ(map.size(), 0u);
    EXPECT_FALSE(map.full());
    EXPECT_EQ(map.bucket_count(), 128u);
    EXPECT_EQ(map.get(3), nullptr);
    EXPECT_EQ(map.begin(), map.end());
    for (std::uint64_t k = 100; k < 164; ++k) {
        ASSERT_TRUE(map.insert(k, 2)) << k;
    }
    EXPECT_TRUE(map.full());
    EXPECT_EQ(map.get(3), nullptr);
}

TEST(OpenMap, CollidingKeysProbeLinearlyAndWrap) {
    HomeMap map(64);  // mask 127
    // Three keys whose home is the last bucket, with different full hashes.
    ASSERT_TRUE(map.insert(127, 1));
    ASSERT_TRUE(map.insert(255, 2));
    ASSERT_TRUE(map.insert(383, 3));
    // They took 127, 0 and 1; the next free bucket on the run is 2.
    EXPECT_EQ(map.find_empty_bucket(127), 2u);
    EXPECT_EQ(*map.get(255), 2);
    EXPECT_EQ(*map.get(383), 3);
    // A key homed at 0 must walk past the wrapped ones.
    ASSERT_TRUE(map.insert(128, 4));
    EXPECT_EQ(map.find_empty_bucket(0), 3u);
    EXPECT_EQ(*map.get(128), 4);
    EXPECT_EQ(map.get(511), nullptr);  // same home, absent: the run ends at 3
}

TEST(OpenMap, EqualHashesFallBackToKeyEquality) {
    OpenMap<std::uint64_t, int, cobble_test::ConstantHasher> map(8);
    for (std::uint64_t k = 0; k < 8; ++k) {
        ASSERT_TRUE(map.insert(k, static_cast<int>(k) * 10));
    }
    for (std::uint64_t k = 0; k < 8; ++k) {
        EXPECT_EQ(*map.get(k), static_cast<int>(k) * 10);
    }
    EXPECT_EQ(map.get(8), nullptr);
}

TEST(OpenMap, RemovalLeavesATombstoneThatLookupsCross) {
    HomeMap map(64);
    ASSERT_TRUE(map.insert(127, 1));
    ASSERT_TRUE(map.insert(255, 2));  // wrapped to bucket 0
    ASSERT_TRUE(map.remove(127));
    EXPECT_EQ(map.tombstone_count(), 1u);
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(*map.get(255), 2);  // past the tombstone and around the end
    EXPECT_FALSE(map.remove(127));
    EXPECT_EQ(keys(map), (std::vector<std::uint64_t>{255}));
}

TEST(OpenMap, TombstonesAreReusedButNeverDuplicateAKey) {
    HomeMap map(64);
    ASSERT_TRUE(map.insert(5, 1));    // bucket 5
    ASSERT_TRUE(map.insert(133, 2));  // home 5, bucket 6
    ASSERT_TRUE(map.remove(5));
    // The present key behind the tombstone is updated in place.
    EXPECT_FALSE(map.insert(133, 3));
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(map.tombstone_count(), 1u);
    EXPECT_EQ(*map.get(133), 3);
    // A new key on the same run takes the tombstone.
    ASSERT_TRUE(map.insert(261, 4));
    EXPECT_EQ(map.tombstone_count(), 0u);
    EXPECT_EQ(map.find_empty_bucket(5), 7u);
    EXPECT_EQ(keys(map), (std::vector<std::uint64_t>{133, 261}));
}

TEST(OpenMap, GrowsOnlyWhenEntriesPlusTombstonesReachNinety) {
    HomeMap map(64);
    for (std::uint64_t k = 0; k < 64; ++k) {
        ASSERT_TRUE(map.insert(k, 0));
    }
    for (std::uint64_t k = 0; k < 26; ++k) {
        ASSERT_TRUE(map.remove(k));
    }
    EXPECT_EQ(map.tombstone_count(), 26u);
    for (std::uint64_t k = 64; k < 89; ++k) {  // empty homes: no tombstone reuse
        ASSERT_TRUE(map.insert(k, 1));
    }
    EXPECT_EQ(map.size() + map.tombstone_count(), 89u);
    EXPECT_EQ(map.bucket_count(), 128u);
    ASSERT_TRUE(map.insert(89, 1));
    EXPECT_EQ(map.bucket_count(), 256u);
    EXPECT_EQ(map.tombstone_count(), 0u);
    EXPECT_EQ(map.size(), 64u);
    std::vector<std::uint64_t> expected;
    for (std::uint64_t k = 26; k < 90; ++k) {
        expected.push_back(k);
        ASSERT_NE(map.get(k), nullptr) << k;
    }
    EXPECT_EQ(keys(map), expected);  // rehashing keeps the insertion order
    EXPECT_EQ(map.find_empty_bucket(26), 90u);  // placed by stored hash, mask 255
}

TEST(OpenMap, ChurnCompactsInsteadOfGrowing) {
    HomeMap map(64);
    for (std::uint64_t k = 0; k < 40; ++k) {
        ASSERT_TRUE(map.insert(k, 0));
    }
    for (std::uint64_t k = 0; k < 32; ++k) {
        ASSERT_TRUE(map.remove(k));
    }
    EXPECT_EQ(map.tombstone_count(), 32u);  // a quarter of the table, still kept
    ASSERT_TRUE(map.remove(32));
    EXPECT_EQ(map.tombstone_count(), 0u);
    EXPECT_EQ(map.bucket_count(), 128u);
    EXPECT_EQ(keys(map), (std::vector<std::uint64_t>{33, 34, 35, 36, 37, 38, 39}));
    // Endless insert/remove cycles keep the table bounded.
    for (std::uint64_t k = 1000; k < 20000; ++k) {
        ASSERT_TRUE(map.insert(k, 0));
        ASSERT_TRUE(map.remove(k));
    }
    EXPECT_EQ(map.bucket_count(), 128u);
    EXPECT_EQ(map.size(), 7u);
}

TEST(OpenMap, FailedGrowthWithdrawsTheInsertion) {
    HomeMap map(8);
    ASSERT_NO_FATAL_FAILURE(load_one_below_growth(map));
    const auto before = entries(map);
    g_fail_next_allocation = 1;
    EXPECT_THROW(map.insert(11, 7), std::bad_alloc);
    EXPECT_EQ(entries(map), before);
    EXPECT_EQ(map.get(11), nullptr);
    EXPECT_EQ(map.tombstone_count(), 4u);
    EXPECT_EQ(map.bucket_count(), 16u);
    ASSERT_TRUE(map.insert(11, 7));
    EXPECT_EQ(map.bucket_count(), 32u);
    EXPECT_EQ(*map.get(11), 7);
}

TEST(OpenMap, FillingATombstoneNeverGrows) {
    HomeMap map(8);
    ASSERT_NO_FATAL_FAILURE(load_one_below_growth(map));
    g_fail_next_allocation = 1;
    ASSERT_TRUE(map.insert(16, 1));  // home 0 is a tombstone: the load stays 11
    EXPECT_EQ(g_fail_next_allocation, 1) << "the insertion tried to allocate";
    g_fail_next_allocation = 0;
    EXPECT_EQ(map.tombstone_count(), 3u);
    EXPECT_EQ(map.bucket_count(), 16u);
    EXPECT_EQ(keys(map), (std::vector<std::uint64_t>{4, 5, 6, 7, 8, 9, 10, 16}));
}

TEST(OpenMap, TouchAndEvictFollowTheOrder) {
    HomeMap map(4);
    for (std::uint64_t k = 1; k <= 4; ++k) {
        ASSERT_TRUE(map.insert(k, static_cast<int>(k)));
    }
    map.touch(1);
    map.touch(99);  // absent: ignored
    EXPECT_EQ(keys(map), (std::vector<std::uint64_t>{2, 3, 4, 1}));
    ASSERT_TRUE(map.evict_oldest());
    EXPECT_EQ(map.get(2), nullptr);
    EXPECT_EQ(map.tombstone_count(), 1u);
    EXPECT_TRUE(map.insert(5, 5));  // the evicted node is reused
    EXPECT_EQ(keys(map), (std::vector<std::uint64_t>{3, 4, 1, 5}));
    while (map.evict_oldest()) {
    }
    EXPECT_TRUE(map.empty());
    EXPECT_THROW((void)map.oldest(), std::out_of_range);
    EXPECT_THROW((void)map.newest(), std::out_of_range);
}

TEST(OpenMap, AtAndConstAccess) {
    HomeMap map(4);
    map.insert(3, 30);
    map.at(3) = 31;
    const HomeMap &view = map;
    EXPECT_EQ(view.at(3), 31);
    EXPECT_EQ(*view.get(3), 31);
    EXPECT_TRUE(view.contains(3));
    EXPECT_FALSE(view.contains(4));
    EXPECT_THROW((void)view.at(4), std::out_of_range);
    EXPECT_EQ(view.order().size(), 1u);
}

TEST(OpenMap, ZeroCapacityStoresNothing) {
    OpenMap<std::uint64_t, int> map(0);
    EXPECT_EQ(map.bucket_count(), 16u);
    EXPECT_FALSE(map.insert(1, 1));
    EXPECT_EQ(map.get(1), nullptr);
    EXPECT_TRUE(map.full());
}

TEST(OpenMap, MovedMapKeepsItsEntries) {
    OpenMap<std::string, int> map(4);
    map.insert("a", 1);
    map.insert("b", 2);
    OpenMap<std::string, int> moved(std::move(map));
    EXPECT_EQ(*moved.get("a"), 1);
    EXPECT_EQ(*moved.get("b"), 2);
    EXPECT_TRUE(moved.insert("c", 3));
    EXPECT_EQ(moved.size(), 3u);
}
