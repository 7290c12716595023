// The two rules every encoder and the trainer share: which merge applies first, and how one
// merge rewrites a sequence.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tokenizer/core/types.hpp"

namespace tokenizer::basic {

/// A pair of the sequence that has a merge, with that merge's id.
struct MergeCandidate {
  TokenPair pair;
  TokenId id = 0;
};

/// Encoding's tie rule: the smaller merge id wins (the earlier learned merge); among pairs
/// that carry the same id, which a second training or a load can produce, the smaller pair by
/// (left, right) wins, so the result never depends on a table's order.
constexpr bool applies_before(const MergeCandidate& a, const MergeCandidate& b) {
  if (a.id != b.id) return a.id < b.id;
  return a.pair < b.pair;
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

}  // namespace tokenizer::basic
