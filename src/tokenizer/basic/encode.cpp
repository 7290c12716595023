#include "tokenizer/basic/encode.hpp"

#include <optional>

#include "tokenizer/basic/pair_stats.hpp"

namespace tokenizer::basic {
namespace {

/// A pair of the sequence that has a merge, with that merge's id.
struct MergeCandidate {
  TokenPair pair;
  TokenId id = 0;
};

/// Encoding's tie rule: the smaller merge id wins (the earlier learned merge); among pairs
/// that carry the same id, which a second training or a load can produce, the smaller pair by
/// (left, right) wins, so the result never depends on a table's order.
bool applies_before(const MergeCandidate& a, const MergeCandidate& b) {
  if (a.id != b.id) return a.id < b.id;
  return a.pair < b.pair;
}

/// The pair among `pairs` whose merge applies first, or none when no pair has a merge.
std::optional<MergeCandidate> next_merge(const PairCounts& pairs, const MergeTable& merges) {
  std::optional<MergeCandidate> best;
  pairs.for_each([&](TokenPair pair, PairCount) {
    const TokenId* id = merges.find(pair);
    // An all-ones id never wins: it could not be told apart from merge_pair's removal marker.
    if (id == nullptr || *id == kNoToken) return;
    MergeCandidate candidate{pair, *id};
    if (!best || applies_before(candidate, *best)) best = candidate;
  });
  return best;
}

}  // namespace

std::vector<TokenId> encode(const MergeTable& merges, std::string_view text,
                            const InterruptCheck& interrupt) {
  TokenSequence sequence = byte_sequence(text);
  PairCounts pairs;  // only its keys matter: the distinct adjacent pairs
  while (sequence.size() >= 2) {
    interrupt();
    pairs.clear();
    count_pairs(sequence, pairs, interrupt);
    std::optional<MergeCandidate> merge = next_merge(pairs, merges);
    if (!merge) break;
    merge_pair(sequence, merge->pair, merge->id, interrupt);
  }
  return sequence;
}

}  // namespace tokenizer::basic
