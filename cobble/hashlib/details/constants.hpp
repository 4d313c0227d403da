// Well-known hashing constants kept beside the hash utilities so that every
// hasher in the library draws them from one place.
#pragma once

#include <cstdint>

namespace Cobble::SipHash {

// Initialisation words of SipHash ("somepseudorandomlygeneratedbytes").
inline constexpr std::uint64_t IV0 = 0x736f6d6570736575ULL;
inline constexpr std::uint64_t IV1 = 0x646f72616e646f6dULL;
inline constexpr std::uint64_t IV2 = 0x6c7967656e657261ULL;
inline constexpr std::uint64_t IV3 = 0x7465646279746573ULL;

}  // namespace Cobble::SipHash

namespace Cobble::FNV {

// 64-bit FNV-1 / FNV-1a parameters.
inline constexpr std::uint64_t OFFSET_BASIS = 14695981039346656037ULL;
inline constexpr std::uint64_t PRIME = 1099511628211ULL;

}  // namespace Cobble::FNV
