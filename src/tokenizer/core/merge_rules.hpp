// The rules of merging, in one place: which pair a training step merges and which merge
// encoding applies first (the two tie rules), and how one merge rewrites a sequence.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tokenizer/core/types.hpp"

namespace tokenizer {

/// A counted pair, as training weighs it, and a pair that has a merge, as encoding does.
struct PairCandidate {
  TokenPair pair;
  std::int64_t count = 0;
};
struct MergeCandidate {
  TokenPair pair;
  TokenId id = 0;
};

/// Training's tie rule: the higher count wins; among equal counts the smaller pair by
/// (left, right). It makes the learned merges the same for every table order, every
/// `num_threads` and every run.
constexpr bool outranks(const PairCandidate& a, const PairCandidate& b) {
  return a.count != b.count ? a.count > b.count : a.pair < b.pair;
}

/// Encoding's tie rule: the smaller merge id wins (the earlier learned merge); among pairs
/// that carry the same id, which a second training or a load can produce, the smaller pair by
/// (left, right), so the result never depends on a table's order.
constexpr bool applies_before(const MergeCandidate& a, const MergeCandidate& b) {
  return a.id != b.id ? a.id < b.id : a.pair < b.pair;
}

/// One merge as a single pass from the left: visits `positions` (increasing; where the merged
/// pair may start) and rewrites each at which `starts` says the pair still starts. A rewrite
/// consumes the token after its position, so an occurrence overlapping the one just rewritten
/// no longer starts where it did and is passed over: the occurrences merged are the greedy,
/// non-overlapping ones from the left. Calls `pace()` once per position visited (an interrupt
/// pacer). Returns the number of rewrites.
template <class Positions, class Starts, class Rewrite, class Pace>
std::size_t rewrite_from_left(const Positions& positions, Starts&& starts, Rewrite&& rewrite,
                              Pace&& pace) {
  std::size_t rewrites = 0;
  for (const auto position : positions) {
    pace();
    if (!starts(position)) continue;
    rewrite(position);
    ++rewrites;
  }
  return rewrites;
}

}  // namespace tokenizer
