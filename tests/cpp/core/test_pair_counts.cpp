// Pair counting and merge_pair.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "tokenizer/core/pair_counts.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"

namespace tokenizer {
namespace {

using CountMap = std::map<TokenPair, PairCount>;

CountMap as_map(const PairCounts& counts) {
  CountMap map;
  counts.for_each([&](TokenPair pair, PairCount count) { map[pair] = count; });
  return map;
}

CountMap serial_counts(const TokenSequence& sequence) {
  PairCounts counts;
  count_pairs(sequence, counts);
  return as_map(counts);
}

TokenSequence random_sequence(std::mt19937& rng, std::size_t length, TokenId alphabet) {
  std::uniform_int_distribution<TokenId> pick(0, alphabet - 1);
  TokenSequence sequence(length);
  for (TokenId& id : sequence) id = pick(rng);
  return sequence;
}

TEST(CountPairs, CountsEveryAdjacentPairAndAddsToTheTable) {
  EXPECT_EQ(serial_counts({1, 2, 1, 2}), (CountMap{{{1, 2}, 2}, {{2, 1}, 1}}));
  EXPECT_TRUE(serial_counts({7}).empty());
  EXPECT_TRUE(serial_counts({}).empty());

  PairCounts counts;
  count_pairs(TokenSequence{1, 2}, counts);
  count_pairs(TokenSequence{1, 2, 3}, counts);
  EXPECT_EQ(as_map(counts), (CountMap{{{1, 2}, 2}, {{2, 3}, 1}}));
}

TEST(CountPairs, PollingLosesNoPair) {
  std::mt19937 rng{7};
  TokenSequence sequence = random_sequence(rng, 2 * kInterruptInterval + 5, 3);
  int polls = 0;
  PairCounts counts;
  count_pairs(sequence, counts,
              InterruptCheck{[](void* n) { return ++*static_cast<int*>(n) < 0; }, &polls});
  EXPECT_EQ(polls, 2);
  CountMap expected;
  for (std::size_t k = 0; k + 1 < sequence.size(); ++k) ++expected[{sequence[k], sequence[k + 1]}];
  EXPECT_EQ(as_map(counts), expected);
}

TEST(PairCounts, CountsBeyond32BitsAndClearsForReuse) {
  PairCounts counts;
  counts.add({1, 2}, PairCount{3'000'000'000});
  counts.add({1, 2}, PairCount{3'000'000'000});
  EXPECT_EQ(counts.count({1, 2}), PairCount{6'000'000'000});
  for (TokenId i = 0; i < 5000; ++i) counts.add({i, i + 1});
  EXPECT_EQ(counts.size(), 5000u);
  EXPECT_EQ(counts.count({4999, 5000}), 1);
  EXPECT_EQ(counts.count({5000, 4999}), 0);
  counts.clear();
  EXPECT_TRUE(counts.empty());
  EXPECT_EQ(counts.count({1, 2}), 0);
  counts.add({9, 9});
  EXPECT_EQ(as_map(counts), (CountMap{{{9, 9}, 1}}));
}

struct MergeCase {
  TokenSequence before;
  TokenPair pair;
  TokenSequence after;
};

TEST(MergePair, GreedyFromTheLeftWithoutOverlap) {
  const TokenId n = 300;
  const MergeCase cases[] = {
      {{7, 7, 7}, {7, 7}, {n, 7}},
      {{7, 7, 7, 7}, {7, 7}, {n, n}},
      {{1, 2, 1, 2}, {1, 2}, {n, n}},
      {{2, 1}, {1, 2}, {2, 1}},
      {{3, 1, 2, 1}, {1, 2}, {3, n, 1}},
      {{1, 2, 2, 1, 2, 1}, {1, 2}, {n, 2, n, 1}},
      {{}, {1, 2}, {}},
      {{1}, {1, 2}, {1}},
  };
  for (const MergeCase& c : cases) {
    TokenSequence sequence = c.before;
    const std::size_t capacity = sequence.capacity();
    merge_pair(sequence, c.pair, n);
    EXPECT_EQ(sequence, c.after);
    EXPECT_EQ(sequence.capacity(), capacity);
  }
}

}  // namespace
}  // namespace tokenizer
