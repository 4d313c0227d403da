// Hashing and table-sizing rules shared by the hash containers: the 64-bit
// finaliser every stored hash goes through, seed combination, linear probing
// over power-of-two tables and the 7/10 load factor.
//
// All arithmetic is on unsigned 64-bit values, so it wraps modulo 2^64.
#pragma once

#include "details/constants.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace Cobble::Hashlib {

// Marks "no bucket found yet" in a tombstone search; never a valid index.
inline constexpr std::size_t EMPTY_SLOT = std::numeric_limits<std::size_t>::max();
inline constexpr std::size_t MIN_BUCKETS = 16;
inline constexpr std::size_t LOAD_FACTOR_NUM = 7;
inline constexpr std::size_t LOAD_FACTOR_DEN = 10;

// The 64-bit finaliser of MurmurHash3: a bijection that spreads every input
// bit over the whole word, so masking the low bits gives well-spread buckets.
[[nodiscard]] constexpr std::uint64_t mix_hash(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

[[nodiscard]] constexpr std::uint64_t hash_combine(std::uint64_t seed, std::uint64_t v) noexcept {
    return seed ^ (v + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

// The final hash a map stores for a hasher result. Hashers may be weak (an
// address, an identity), so the result is always mixed once more.
template <std::integral T>
[[nodiscard]] constexpr std::uint64_t compute_hash(T v) noexcept {
    return mix_hash(static_cast<std::uint64_t>(v));
}

[[nodiscard]] constexpr std::size_t probe_next(std::size_t i, std::size_t mask) noexcept {
    return (i + 1) & mask;
}

[[nodiscard]] constexpr std::size_t mask_for(std::size_t n) noexcept {
    return n - 1;
}

// Tombstones count as load: they lengthen probe runs just as live entries do.
[[nodiscard]] constexpr bool should_grow(std::size_t count, std::size_t tombstones, std::size_t buckets) noexcept {
    return (count + tombstones) * LOAD_FACTOR_DEN > buckets * LOAD_FACTOR_NUM;
}

namespace detail {

[[noreturn, gnu::cold, gnu::noinline]] inline void throw_capacity_too_large() {
    throw std::length_error("Cobble: capacity too large for a bucket table");
}

}  // namespace detail

// Smallest power of two not below n (1 for 0). Above the largest power of two
// a size_t holds there is none: that throws std::length_error.
[[nodiscard]] constexpr std::size_t next_power_of_2(std::size_t n) {
    constexpr std::size_t largest = std::size_t{1} << (std::numeric_limits<std::size_t>::digits - 1);
    if (n > largest) {
        detail::throw_capacity_too_large();
    }
    std::size_t p = 1;
    while (p < n) {
        p <<= 1;
    }
    return p;
}

// Table size for a pool of `capacity` nodes: the smallest power of two, at
// least MIN_BUCKETS, that keeps a full pool below the load factor
// (capacity * 10 < buckets * 7), so a map that never removes never grows.
[[nodiscard]] constexpr std::size_t buckets_for_capacity(std::size_t capacity) {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    if (capacity > max / LOAD_FACTOR_DEN) {
        detail::throw_capacity_too_large();
    }
    // buckets * 7 > capacity * 10  <=>  buckets > floor(capacity * 10 / 7),
    // which cannot overflow: the bound stays below max / 7.
    const std::size_t bound = capacity * LOAD_FACTOR_DEN / LOAD_FACTOR_NUM;
    const std::size_t buckets = next_power_of_2(bound + 1);
    return buckets < MIN_BUCKETS ? MIN_BUCKETS : buckets;
}

}  // namespace Cobble::Hashlib
