// Shared vocabulary types of the engine: token ids and pairs of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace tokenizer {

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

}  // namespace tokenizer
