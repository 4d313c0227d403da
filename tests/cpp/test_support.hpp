// Hashers that give tests control over where keys land.
#pragma once

#include <cobble/hashlib/utils.hpp>

#include <cstdint>

namespace cobble_test {

// Multiplicative inverse of an odd number modulo 2^64 (Newton's iteration
// doubles the correct low bits each round).
constexpr std::uint64_t inverse_mod_2_64(std::uint64_t a) {
    std::uint64_t x = a;
    for (int round = 0; round < 6; ++round) {
        x *= 2 - a * x;
    }
    return x;
}

// Inverse of Hashlib::mix_hash: x ^= x >> 33 undoes itself since 33 > 32.
constexpr std::uint64_t unmix(std::uint64_t x) {
    x ^= x >> 33;
    x *= inverse_mod_2_64(0xc4ceb9fe1a85ec53ULL);
    x ^= x >> 33;
    x *= inverse_mod_2_64(0xff51afd7ed558ccdULL);
    x ^= x >> 33;
    return x;
}

static_assert(Cobble::Hashlib::mix_hash(unmix(0x0123456789abcdefULL)) == 0x0123456789abcdefULL);

// The map's final hash of key k is k itself, so k's home bucket is k & mask.
struct HomeHasher {
    std::uint64_t operator()(std::uint64_t k) const noexcept { return unmix(k); }
};

// Every key gets the same hash: one probe run holds the whole map.
struct ConstantHasher {
    std::uint64_t operator()(std::uint64_t) const noexcept { return 42; }
};

// A handful of hashes shared by many keys.
struct FewHashesHasher {
    std::uint64_t operator()(std::uint64_t k) const noexcept { return k % 5; }
};

struct IdentityHasher {
    std::uint64_t operator()(std::uint64_t k) const noexcept { return k; }
};

}  // namespace cobble_test
