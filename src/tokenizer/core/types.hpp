// Shared vocabulary types of the engine: token ids, pairs and the keyed hash of table keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

#include "tokenizer/support/keyed_hash.hpp"

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

/// Hashes of the key types of the engine's tables, each under a per-table key.
struct KeyedHash {
  std::uint64_t key = 0;

  std::uint64_t operator()(std::uint64_t value) const { return keyed_hash(value, key); }
  std::uint64_t operator()(const TokenPair& pair) const {
    return keyed_hash(static_cast<std::uint64_t>(pair.left), static_cast<std::uint64_t>(pair.right),
                      key);
  }
  std::uint64_t operator()(std::string_view text) const { return keyed_hash(text, key); }
};

}  // namespace tokenizer::basic
