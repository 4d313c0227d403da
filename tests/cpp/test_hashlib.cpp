#include "test_support.hpp"

#include <cobble/hashlib/details/constants.hpp>
#include <cobble/hashlib/utils.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <stdexcept>

using namespace Cobble::Hashlib;

TEST(Hashlib, MixHashKnownValues) {
    EXPECT_EQ(mix_hash(0), 0u);
    EXPECT_EQ(mix_hash(1), 0xb456bcfc34c2cb2cULL);
    EXPECT_EQ(compute_hash(std::uint64_t{1}), 0xb456bcfc34c2cb2cULL);
    EXPECT_EQ(cobble_test::unmix(mix_hash(0xdeadbeefULL)), 0xdeadbeefULL);
}

TEST(Hashlib, HashCombineKnownValues) {
    EXPECT_EQ(hash_combine(0, 0), 0x9e3779b97f4a7c15ULL);
    // The seed's shifted copies enter the sum and the sum wraps.
    EXPECT_EQ(hash_combine(1, 0), 1ULL ^ (0x9e3779b97f4a7c15ULL + 64));
    EXPECT_EQ(hash_combine(0, ~0ULL), 0x9e3779b97f4a7c14ULL);
}

TEST(Hashlib, ProbeWrapsAtTheMask) {
    EXPECT_EQ(probe_next(126, mask_for(128)), 127u);
    EXPECT_EQ(probe_next(127, mask_for(128)), 0u);
}

TEST(Hashlib, GrowthThresholdIsSevenTenths) {
    EXPECT_FALSE(should_grow(89, 0, 128));
    EXPECT_TRUE(should_grow(90, 0, 128));
    EXPECT_TRUE(should_grow(64, 26, 128));
    EXPECT_FALSE(should_grow(11, 0, 16));
    EXPECT_TRUE(should_grow(11, 1, 16));
}

TEST(Hashlib, NextPowerOf2) {
    EXPECT_EQ(next_power_of_2(0), 1u);
    EXPECT_EQ(next_power_of_2(1), 1u);
    EXPECT_EQ(next_power_of_2(17), 32u);
    EXPECT_EQ(next_power_of_2(32), 32u);
    EXPECT_EQ(next_power_of_2(std::size_t{1} << 63), std::size_t{1} << 63);
    EXPECT_EQ(next_power_of_2((std::size_t{1} << 62) + 1), std::size_t{1} << 63);
    EXPECT_THROW((void)next_power_of_2((std::size_t{1} << 63) + 1), std::length_error);
    EXPECT_THROW((void)next_power_of_2(std::numeric_limits<std::size_t>::max()), std::length_error);
}

TEST(Hashlib, BucketsForCapacityIsTheSmallestFittingPowerOfTwo) {
    EXPECT_EQ(buckets_for_capacity(64), 128u);
    EXPECT_EQ(buckets_for_capacity(1), MIN_BUCKETS);
    EXPECT_EQ(buckets_for_capacity(11), 16u);  // 110 < 112
    EXPECT_EQ(buckets_for_capacity(12), 32u);  // 120 >= 112
    for (std::size_t capacity = 0; capacity <= 5000; ++capacity) {
        const std::size_t buckets = buckets_for_capacity(capacity);
        ASSERT_EQ(buckets & (buckets - 1), 0u) << capacity;
        ASSERT_GE(buckets, MIN_BUCKETS) << capacity;
        ASSERT_LT(capacity * 10, buckets * 7) << capacity;
        ASSERT_FALSE(should_grow(capacity, 0, buckets)) << capacity;
        if (buckets > MIN_BUCKETS) {
            ASSERT_GE(capacity * 10, buckets / 2 * 7) << "not the smallest for " << capacity;
        }
    }
}

TEST(Hashlib, BucketsForHugeCapacities) {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    const std::size_t largest = max / 10;
    const std::size_t buckets = buckets_for_capacity(largest);
    EXPECT_EQ(buckets, std::size_t{1} << 62);
    using wide = unsigned __int128;
    EXPECT_GT(wide{buckets} * 7, wide{largest} * 10);
    EXPECT_LE(wide{buckets} / 2 * 7, wide{largest} * 10);
    EXPECT_THROW((void)buckets_for_capacity(largest + 1), std::length_error);
    EXPECT_THROW((void)buckets_for_capacity(max), std::length_error);
}

TEST(Hashlib, SeedConstants) {
    // FNV-1a of "a".
    std::uint64_t fnv = Cobble::FNV::OFFSET_BASIS;
    fnv ^= 'a';
    fnv *= Cobble::FNV::PRIME;
    EXPECT_EQ(fnv, 0xaf63dc4c8601ec8cULL);
    // The SipHash words spell their nickname, big-endian.
    const std::uint64_t words[] = {
        Cobble::SipHash::IV0, Cobble::SipHash::IV1, Cobble::SipHash::IV2, Cobble::SipHash::IV3};
    char text[33] = {};
    for (int w = 0; w < 4; ++w) {
        for (int b = 0; b < 8; ++b) {
            text[w * 8 + b] = static_cast<char>(words[w] >> (56 - 8 * b));
        }
    }
    EXPECT_STREQ(text, "somepseudorandomlygeneratedbytes");
}
