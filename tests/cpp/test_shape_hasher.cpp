// The attrs module's cache key and hasher on the map they are used with.
#include "quillet/utils/attrs.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

using quillet::attrs::CACHE_CAPACITY;
using quillet::attrs::ShapeCheckHasher;
using quillet::attrs::ShapeCheckKey;

namespace {

// Keys at chosen addresses, which are hashed and compared but never read.
ShapeCheckKey key_at(std::uintptr_t type, std::uintptr_t shape) {
    return {std::bit_cast<PyTypeObject *>(type), std::bit_cast<PyObject *>(shape)};
}

using ShapeMap = Cobble::Core::OpenMap<ShapeCheckKey, bool, ShapeCheckHasher>;

}  // namespace

TEST(ShapeCheckHasher, KnownAddressesLandInBucket49) {
    const ShapeCheckKey key = key_at(0x1000, 0x2000);
    const std::uint64_t raw = ShapeCheckHasher{}(key);
    EXPECT_EQ(raw, 0xf93c21e9336bfd42ULL);
    const std::uint64_t stored = Cobble::Hashlib::compute_hash(raw);
    EXPECT_EQ(stored, 0xb0653d183fcf48b1ULL);

    ShapeMap map(CACHE_CAPACITY);
    ASSERT_EQ(map.bucket_count(), 128u);
    EXPECT_EQ(map.find_empty_bucket(stored), 49u);
    ASSERT_TRUE(map.insert(key, true));
    EXPECT_EQ(map.find_empty_bucket(stored), 50u);  // 49 is now taken by the key
}

TEST(ShapeCheckHasher, KeysCompareByIdentityOfBothPointers) {
    ShapeMap map(CACHE_CAPACITY);
    ASSERT_TRUE(map.insert(key_at(0x1000, 0x2000), true));
    ASSERT_TRUE(map.insert(key_at(0x1000, 0x2040), false));
    ASSERT_TRUE(map.insert(key_at(0x2000, 0x1000), false));  // swapped roles differ
    EXPECT_FALSE(map.insert(key_at(0x1000, 0x2000), false));
    EXPECT_EQ(map.size(), 3u);
    EXPECT_FALSE(*map.get(key_at(0x1000, 0x2000)));
    EXPECT_TRUE(map.get(key_at(0x3000, 0x2000)) == nullptr);
}

TEST(ShapeCheckHasher, GlobalCacheIsBuiltAtLoad) {
    EXPECT_EQ(quillet::attrs::g_cache.capacity(), 64u);
    EXPECT_EQ(quillet::attrs::g_cache.bucket_count(), 128u);
    EXPECT_EQ(quillet::attrs::g_cache.size(), 0u);
}

TEST(ShapeCheckHasher, SixtyFourAlignedObjectsNeverGrowTheCache) {
    // Type and tuple addresses are 16-byte aligned and close together.
    ShapeMap map(CACHE_CAPACITY);
    for (std::uintptr_t i = 0; i < 64; ++i) {
        ASSERT_TRUE(map.insert(key_at(0x7f0000001000 + 16 * (i % 4), 0x7f0000100000 + 16 * i), true));
    }
    EXPECT_FALSE(map.insert(key_at(0x7f0000001000, 0x7f0000200000), true));
    EXPECT_EQ(map.bucket_count(), 128u);
    for (std::uintptr_t i = 0; i < 64; ++i) {
        EXPECT_NE(map.get(key_at(0x7f0000001000 + 16 * (i % 4), 0x7f0000100000 + 16 * i)), nullptr);
    }
}
