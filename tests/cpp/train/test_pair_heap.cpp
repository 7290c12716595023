// Training's tie rule, and the trainer's heap of candidate pairs, which pops in its order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "tokenizer/core/merge_rules.hpp"
#include "tokenizer/train/pair_heap.hpp"

namespace tokenizer {
namespace {

TEST(TieRule, HigherCountFirstThenSmallerPair) {
  EXPECT_TRUE(outranks({{9, 9}, 3}, {{0, 0}, 2}));
  EXPECT_FALSE(outranks({{0, 0}, 2}, {{9, 9}, 3}));
  EXPECT_TRUE(outranks({{1, 9}, 2}, {{2, 0}, 2}));  // left decides first
  EXPECT_TRUE(outranks({{1, 2}, 2}, {{1, 3}, 2}));  // then right
  EXPECT_FALSE(outranks({{1, 2}, 2}, {{1, 2}, 2}));
}

TEST(TieRule, MostCommonPairIgnoresTableOrder) {
  const std::vector<std::pair<TokenPair, PairCount>> entries = {
      {{5, 1}, 3}, {{2, 9}, 3}, {{2, 8}, 3}, {{1, 1}, 2}, {{0, 0}, 1}};
  for (int round = 0; round < 20; ++round) {  // each table has keys and an order of its own
    PairCounts counts;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const auto& [pair, count] = entries[(i + static_cast<std::size_t>(round)) % entries.size()];
      counts.add(pair, count);
    }
    EXPECT_EQ(most_common_pair(counts), (TokenPair{2, 8}));
  }
  EXPECT_EQ(most_common_pair(PairCounts{}), std::nullopt);
}

template <class Index>
class PairHeapOrder : public ::testing::Test {};
using Indices = ::testing::Types<std::uint32_t, std::uint64_t>;
TYPED_TEST_SUITE(PairHeapOrder, Indices);

TYPED_TEST(PairHeapOrder, PopsWhatOutranksFirst) {
  using Index = TypeParam;
  std::mt19937 rng{7};
  // Few distinct counts and tokens, so that many entries tie on count and some on left.
  std::uniform_int_distribution<int> small{0, 5};
  std::vector<PairRecord<Index>> pairs;
  std::vector<PairCandidate> expected;
  PairHeap<Index> heap;
  for (Index number = 0; number < 300; ++number) {
    const auto left = static_cast<Index>(small(rng));
    const auto right = static_cast<Index>(small(rng) + 256 * (number % 3));
    const auto count = static_cast<Index>(small(rng) + 1);
    pairs.push_back({left, right, 0, 0});
    expected.push_back(
        {{static_cast<TokenId>(left), static_cast<TokenId>(right)}, static_cast<PairCount>(count)});
    // Half enter one by one, half at once and ordered after.
    if (number % 2 == 0) {
      heap.push(count, number, pairs);
    } else {
      heap.add(count, number);
    }
  }
  heap.order(pairs);
  std::sort(expected.begin(), expected.end(), outranks);
  for (const PairCandidate& want : expected) {
    ASSERT_FALSE(heap.empty());
    const auto top = heap.top();
    EXPECT_EQ(static_cast<PairCount>(top.count), want.count);
    const Index number = heap.pop(pairs);
    EXPECT_EQ(number, top.number);
    EXPECT_EQ((TokenPair{static_cast<TokenId>(pairs[number].left),
                         static_cast<TokenId>(pairs[number].right)}),
              want.pair);
  }
  EXPECT_TRUE(heap.empty());
}

}  // namespace
}  // namespace tokenizer
