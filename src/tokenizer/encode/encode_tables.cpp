#include "tokenizer/encode/encode_tables.hpp"

#include <optional>

#include "tokenizer/core/merge_rules.hpp"
#include "tokenizer/encode/backtrack_encoder.hpp"
#include "tokenizer/encode/merge_lookup.hpp"
#include "tokenizer/encode/queue_encoder.hpp"
#include "tokenizer/train/pair_stats.hpp"

namespace tokenizer::basic {
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

/// Encoding by recounting the distinct pairs every round: needs nothing but the table, so it
/// serves the tables and texts the queue encoder cannot take (ids or texts beyond 32 bits).
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

}  // namespace

EncodeTables::EncodeTables(const MergeTable& merges, const InterruptCheck& interrupt)
    : lookup_{std::make_unique<const MergeLookup>(merges, interrupt)},
      backtracking_{BacktrackEncoder::build(merges, *lookup_, interrupt)},
      version_{merges.version()} {}

EncodeTables::~EncodeTables() = default;
EncodeTables::EncodeTables(EncodeTables&&) noexcept = default;
EncodeTables& EncodeTables::operator=(EncodeTables&&) noexcept = default;

std::vector<TokenId> EncodeTables::encode(const MergeTable& merges, std::string_view text,
                                          const InterruptCheck& interrupt) const {
  std::vector<TokenId> out;
  encode(merges, text, out, interrupt);
  return out;
}

void EncodeTables::encode(const MergeTable& merges, std::string_view text,
                          std::vector<TokenId>& out, const InterruptCheck& interrupt) const {
  out.clear();
  if (!lookup_->complete() || text.size() > kQueuedEncodeLimit) {
    out = encode_by_recounting(merges, text, interrupt);
  } else if (backtracking_ != nullptr) {
    interrupt();
    out.reserve(text.size() / 4 + 16);
    backtracking_->encode(*lookup_, text, out, interrupt);
  } else {
    out = encode_queued(*lookup_, text, interrupt);
  }
}

}  // namespace tokenizer::basic
