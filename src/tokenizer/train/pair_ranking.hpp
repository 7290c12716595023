// Training's tie rule, in one place: which of two counted pairs a training step merges.
#pragma once

#include <optional>

#include "tokenizer/core/pair_counts.hpp"
#include "tokenizer/core/types.hpp"

namespace tokenizer::basic {

/// A pair with its count, as training weighs it.
struct PairCandidate {
  TokenPair pair;
  PairCount count = 0;
};

/// The higher count wins; among equal counts the smaller pair by (left, right) wins. It makes
/// the learned merges the same for every table order, every `num_threads` and every run.
constexpr bool outranks(const PairCandidate& a, const PairCandidate& b) {
  if (a.count != b.count) return a.count > b.count;
  return a.pair < b.pair;
}

/// The entry of `counts` that `outranks` every other one, or none for an empty table.
inline std::optional<TokenPair> most_common_pair(const PairCounts& counts) {
  std::optional<PairCandidate> best;
  counts.for_each([&](TokenPair pair, PairCount count) {
    const PairCandidate candidate{pair, count};
    if (!best || outranks(candidate, *best)) best = candidate;
  });
  if (!best) return std::nullopt;
  return best->pair;
}

}  // namespace tokenizer::basic
