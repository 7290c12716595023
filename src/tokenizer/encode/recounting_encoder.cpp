#include "tokenizer/encode/recounting_encoder.hpp"

#include <optional>

#include "tokenizer/core/merge_rules.hpp"
#include "tokenizer/core/pair_counts.hpp"

namespace tokenizer {
namespace {

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

std::vector<TokenId> encode_by_recounting(const MergeTable& merges, std::string_view text,
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

}  // namespace tokenizer
