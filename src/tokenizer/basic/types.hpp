// Shared vocabulary types of the engine: token ids, pairs and seeded hashing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

namespace tokenizer::basic {

/// A token id: 0..255 are the single bytes, merges count up from 256.
using TokenId = std::size_t;

/// The all-ones id. No merge ever carries it, so it serves as "no id" and as a removal marker.
inline constexpr TokenId kNoToken = std::numeric_limits<TokenId>::max();

/// The first id given to a merge.
inline constexpr TokenId kFirstMergeId = 256;

/// The bytes of one token. Every element is a byte value 0..255.
using TokenBytes = std::string;

/// An ordered pair of adjacent tokens.
struct TokenPair {
  TokenId left = 0;
  TokenId right = 0;

  friend constexpr bool operator==(const TokenPair&, const TokenPair&) = default;
  friend constexpr auto operator<=>(const TokenPair&, const TokenPair&) = default;
};

/// A fresh 64-bit key for one hash table. Keys come from the operating system's random source,
/// mixed with a process-wide counter, so no two tables traverse their entries alike.
std::uint64_t random_hash_key();

/// A strong 64-bit finaliser (splitmix64).
constexpr std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

/// Hashes of the key types of the engine's tables, each under a per-table key.
struct SeededHash {
  std::uint64_t key = 0;

  std::uint64_t operator()(std::uint64_t value) const { return mix64(value ^ key); }
  std::uint64_t operator()(const TokenPair& pair) const {
    return mix64(mix64(static_cast<std::uint64_t>(pair.left) ^ key) +
                 static_cast<std::uint64_t>(pair.right));
  }
  std::uint64_t operator()(std::string_view text) const {
    std::uint64_t h = key ^ text.size();
    for (char c : text) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return mix64(h);
  }
};

}  // namespace tokenizer::basic
