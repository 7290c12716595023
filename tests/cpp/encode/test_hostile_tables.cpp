// Tables chosen to defeat encoding's data structures: pairs spaced so that a hash without a
// key would put them all in one run of slots, and merge trees deep enough that deciding which
// tokens are whole would take quadratic time. Each must cost about what a random table of the
// same size costs, counted in probes, and still encode exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "reference_bpe.hpp"
#include "reference_table.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/encode/encode_tables.hpp"
#include "tokenizer/encode/merge_lookup.hpp"

namespace tokenizer {
namespace {

constexpr std::size_t kMerges = 200'000;

/// Merges (left, right) -> 256, 257, ... for rights spaced `stride` apart (modulo 2^32): left
/// 97 while the spaced rights last, then 98, 99 and so on.
MergeTable strided_table(std::uint32_t stride) {
  MergeTable merges;
  for (std::uint32_t k = 0; merges.size() < kMerges; ++k) {
    const std::uint32_t right = 256 + k * stride;
    if (right == UINT32_MAX) continue;
    merges.insert_or_assign(TokenPair{97 + k / 65536, right}, 256 + merges.size());
  }
  return merges;
}

MergeTable random_pairs_table() {
  std::mt19937 rng{5};
  MergeTable merges;
  while (merges.size() < kMerges) {
    merges.insert_or_assign(TokenPair{rng() % 4'000'000, rng() % 4'000'000 + 256},
                            256 + merges.size());
  }
  return merges;
}

TEST(HostileTables, SpacedPairsProbeLikeRandomOnes) {
  const std::size_t random_probe = MergeLookup{random_pairs_table()}.longest_probe();
  ASSERT_GT(random_probe, 0U);
  // Consecutive ids, powers of two (which keep the low bits equal), and the inverse of a
  // multiplier, which steps a multiplicative hash by one, so that thousands share a home.
  for (std::uint32_t stride : {1U, 1U << 8, 1U << 16, 1U << 20, 0xb6c92f47U}) {
    const MergeTable merges = strided_table(stride);
    const MergeLookup lookup{merges};
    EXPECT_LE(lookup.longest_probe(), 2 * random_probe + 8) << "stride " << stride;
    EXPECT_LE(lookup.longest_probe(), MergeLookup::kLongestProbe);
    std::size_t k = 0;
    for (const auto& [pair, id] : merges) {
      if (k++ % 997 != 0) continue;
      ASSERT_EQ(lookup.find(static_cast<std::uint32_t>(pair.left),
                            static_cast<std::uint32_t>(pair.right)),
                id);
    }
    EXPECT_EQ(lookup.find(5'000'000, 256), MergeLookup::kNone);
  }
}

TEST(HostileTables, DeepMergeTreesFallBackToTheQueue) {
  // r(k) = (x, r(k - 1)) has a right edge k tokens deep, l(k) = (l(k - 1), y) a left edge as
  // deep; (z, w) is learned first, so every (r(i), l(j)) is decided only at the bytes at the
  // bottom of both edges. Deciding all of them would take tens of millions of steps.
  constexpr TokenId kDepth = 300;
  MergeTable merges;
  TokenId next = 256;
  merges.insert_or_assign(TokenPair{'z', 'w'}, next++);
  std::vector<TokenId> r{'z'}, l{'w'};
  for (TokenId k = 1; k <= kDepth; ++k) {
    r.push_back(next);
    merges.insert_or_assign(TokenPair{'x', r[k - 1]}, next++);
    l.push_back(next);
    merges.insert_or_assign(TokenPair{l[k - 1], 'y'}, next++);
  }
  for (TokenId i = kDepth / 2; i <= kDepth; ++i) {
    for (TokenId j = kDepth / 2; j <= kDepth; ++j) {
      merges.insert_or_assign(TokenPair{r[i], l[j]}, next++);
    }
  }
  const EncodeTables tables{merges};
  EXPECT_EQ(tables.backtracking(), nullptr);
  std::mt19937 rng{3};
  const std::string text = reference::random_text(rng, {"x", "y", "z", "w"}, 400);
  const std::vector<TokenId> got = tables.encode(merges, text);
  EXPECT_EQ(reference::Sequence(got.begin(), got.end()),
            reference::encode(text, reference_table(merges)));
}

TEST(HostileTables, BuildingPollsForInterrupts) {
  // A million merges: building must poll often enough for Ctrl-C to be felt within the build.
  MergeTable merges;
  for (TokenId k = 0; k < 1'000'000; ++k) {
    merges.insert_or_assign(TokenPair{97 + k % 16, 256 + k}, 256 + k + 1);
  }
  int polls = 0;
  InterruptCheck count{[](void* n) { return ++*static_cast<int*>(n) > 8; }, &polls};
  EXPECT_THROW(EncodeTables(merges, count), Interrupted);
  EXPECT_EQ(polls, 9);
}

}  // namespace
}  // namespace tokenizer
