// One shard on its own: its counts and edges against the plain algorithm on its bytes, and
// changes of several steps handed over at once, summed per pair.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "reference_bpe.hpp"
#include "tokenizer/train/shard.hpp"

namespace tokenizer {
namespace {

using Counts = std::map<reference::Pair, std::int64_t>;

void add_to(Counts& counts, const std::vector<PairDelta>& deltas) {
  for (const PairDelta& change : deltas) {
    const reference::Pair key{change.pair.left, change.pair.right};
    std::int64_t& count = counts[key];
    count += change.delta;
    if (count == 0) counts.erase(key);
  }
}

Counts counted(const reference::Sequence& sequence) {
  Counts counts;
  for (const auto& [pair, count] : reference::count(sequence)) {
    counts[pair] = static_cast<std::int64_t>(count);
  }
  return counts;
}

ShardEdges edges_of(const reference::Sequence& sequence) {
  if (sequence.empty()) return {};
  std::uint64_t run = 0;
  while (run < sequence.size() && sequence[sequence.size() - 1 - run] == sequence.back()) ++run;
  return {false, static_cast<TokenId>(sequence.front()), static_cast<TokenId>(sequence.back()), run,
          run == sequence.size()};
}

TEST(Shard, KeepsCountsAndEdgesOfItsBytesAndSumsUntakenSteps) {
  std::mt19937 rng{8};
  for (const auto& alphabet : reference::alphabets()) {
    const std::string text = reference::random_text(rng, alphabet, 400) + "zzzzz";
    Shard shard{text};
    Counts counts;
    add_to(counts, shard.take_deltas());
    reference::Sequence sequence = reference::bytes_of(text);
    ASSERT_EQ(counts, counted(sequence));
    for (TokenId id = kFirstMergeId; id < kFirstMergeId + 60; ++id) {
      const auto pair = reference::most_frequent(reference::count(sequence));
      if (!pair) break;
      shard.merge({static_cast<TokenId>(pair->first), static_cast<TokenId>(pair->second)}, id,
                  false, false);
      sequence = reference::replace(sequence, *pair, id);
      EXPECT_EQ(shard.edges(), edges_of(sequence)) << "after merge " << id;
      EXPECT_EQ(shard.live(), sequence.size());
      if (id % 7 == 0) {
        // Steps left untaken in between come out summed: at most one change per pair.
        const std::vector<PairDelta> deltas = shard.take_deltas();
        std::set<reference::Pair> pairs;
        for (const PairDelta& change : deltas) {
          EXPECT_NE(change.delta, 0);
          pairs.insert({change.pair.left, change.pair.right});
        }
        EXPECT_EQ(pairs.size(), deltas.size());
        add_to(counts, deltas);
        ASSERT_EQ(counts, counted(sequence)) << "after merge " << id;
      }
    }
  }
}

}  // namespace
}  // namespace tokenizer
