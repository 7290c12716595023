#include "tokenizer/basic/encode.hpp"

#include <optional>

#include "tokenizer/basic/backtrack_encoder.hpp"
#include "tokenizer/basic/merge_lookup.hpp"
#include "tokenizer/basic/pair_stats.hpp"
#include "tokenizer/basic/queue_encoder.hpp"

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

std::vector<TokenId> encode_with(const MergeTable& merges, const MergeLookup& lookup,
                                 std::string_view text, const InterruptCheck& interrupt) {
  if (!lookup.complete() || text.size() > kQueuedEncodeLimit) {
    return encode_by_recounting(merges, text, interrupt);
  }
  if (const BacktrackEncoder* scan = lookup.backtracking()) {
    interrupt();
    std::vector<TokenId> out;
    out.reserve(text.size() / 4 + 16);
    scan->encode(lookup, text, out, interrupt);
    return out;
  }
  return encode_queued(lookup, text, interrupt);
}

}  // namespace

std::vector<TokenId> encode(const MergeTable& merges, std::string_view text,
                            const InterruptCheck& interrupt) {
  return encode_with(merges, MergeLookup{merges}, text, interrupt);
}

std::vector<TokenId> encode(const Tokenizer& tokenizer, std::string_view text,
                            const InterruptCheck& interrupt) {
  if (!tokenizer.merge_lookup || tokenizer.merge_lookup_version != tokenizer.merges.version()) {
    tokenizer.merge_lookup = std::make_shared<const MergeLookup>(tokenizer.merges);
    tokenizer.merge_lookup_version = tokenizer.merges.version();
  }
  // Held here as well: a call nested in an interrupt poll may not replace it meanwhile, but
  // owning it costs nothing.
  std::shared_ptr<const MergeLookup> lookup = tokenizer.merge_lookup;
  return encode_with(tokenizer.merges, *lookup, text, interrupt);
}

}  // namespace tokenizer::basic
