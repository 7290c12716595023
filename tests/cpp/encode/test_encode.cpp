// Encoding: golden cases, the tie rule for repeated ids, and agreement with the reference
// encoder on random merge tables and on trained ones.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "reference_bpe.hpp"
#include "reference_table.hpp"
#include "tokenizer/core/merge_rules.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/train/train.hpp"

namespace tokenizer {
namespace {

using Ids = std::vector<TokenId>;
using Entries = std::vector<std::pair<TokenPair, TokenId>>;

MergeTable table_of(const Entries& entries) {
  MergeTable merges;
  for (const auto& [pair, id] : entries) merges.insert_or_assign(pair, id);
  return merges;
}

void expect_matches_reference(const MergeTable& merges, const std::string& text) {
  reference::Sequence expected = reference::encode(text, reference_table(merges));
  Ids got = encode(merges, text);
  ASSERT_EQ(reference::Sequence(got.begin(), got.end()), expected) << "text of " << text.size();
}

struct GoldenCase {
  Entries merges;
  std::string text;
  Ids ids;
};

TEST(Encode, GoldenCases) {
  const GoldenCase cases[] = {
      {{}, "", {}},
      {{{{97, 97}, 256}}, "a", {97}},
      {{}, "hi", {104, 105}},
      {{}, "\xc3\xa9", {195, 169}},
      {{{{104, 105}, 256}, {{256, 33}, 257}}, "hi!", {257}},
      // The smaller id wins although (97, 98) comes first in the text.
      {{{{98, 99}, 256}, {{97, 98}, 257}}, "abc", {97, 256}},
      {{{{97, 97}, 256}}, "aaa", {256, 97}},
      {{{{97, 97}, 256}}, "aaaa", {256, 256}},
      {{{{97, 97}, 256}, {{256, 256}, 257}}, "aaaa", {257}},
      // Two pairs share the smallest id: the smaller pair goes first, whatever the table order.
      {{{{97, 98}, 300}, {{98, 99}, 300}}, "abc", {300, 99}},
      {{{{98, 99}, 300}, {{97, 98}, 300}}, "abc", {300, 99}},
      // A merge naming a later id applies once that id appears.
      {{{{257, 99}, 256}, {{97, 98}, 257}}, "abc", {256}},
      // A re-inserted pair keeps its place but takes the new id.
      {{{{97, 98}, 256}, {{98, 99}, 257}, {{97, 98}, 258}}, "abc", {97, 257}},
  };
  for (const GoldenCase& c : cases) {
    EXPECT_EQ(encode(table_of(c.merges), c.text), c.ids) << c.text;
  }
}

TEST(Encode, TieRuleOnEveryPath) {
  // The smaller id first; for one id the smaller pair; the table's order never matters.
  EXPECT_TRUE(applies_before({{9, 9}, 256}, {{1, 1}, 257}));
  EXPECT_TRUE(applies_before({{1, 9}, 300}, {{2, 0}, 300}));
  EXPECT_FALSE(applies_before({{2, 0}, 300}, {{1, 9}, 300}));
  EXPECT_FALSE(applies_before({{1, 9}, 300}, {{1, 9}, 300}));
  // Pairs sharing ids, through short pieces, the heap, the buckets, and (with an id the 32-bit
  // lookup cannot hold in the table) recounting.
  const Entries shared = {{{98, 99}, 300},   {{97, 98}, 300},  {{99, 97}, 300},
                          {{300, 300}, 301}, {{300, 99}, 301}, {{97, 301}, 302}};
  Entries huge_id = shared;
  huge_id.push_back({{120, 121}, TokenId{UINT32_MAX}});
  std::mt19937 rng{21};
  for (const Entries& entries : {shared, huge_id}) {
    const MergeTable merges = table_of(entries);
    for (std::size_t size : {7, 60, 3000, 40000}) {
      expect_matches_reference(merges, reference::random_text(rng, {"a", "b", "c", "bc"}, size));
    }
  }
}

TEST(Encode, InterruptionAbandonsTheCall) {
  InterruptCheck always{[](void*) { return true; }, nullptr};
  EXPECT_THROW(encode(table_of({{{97, 97}, 256}}), "aaaa", always), Interrupted);
}

/// A random table over bytes of `alphabet` and ids up to 256 + extra: ids repeat, merges name
/// ids that only later merges make, and some pairs are inserted twice.
MergeTable random_table(std::mt19937& rng, const std::vector<TokenId>& alphabet, TokenId extra) {
  std::uniform_int_distribution<TokenId> id(256, 256 + extra);
  std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
  std::bernoulli_distribution from_alphabet(0.5);
  auto token = [&] { return from_alphabet(rng) ? alphabet[letter(rng)] : id(rng); };
  MergeTable merges;
  for (TokenId i = 0; i < 2 * extra; ++i)
    merges.insert_or_assign(TokenPair{token(), token()}, id(rng));
  return merges;
}

TEST(Encode, MatchesReferenceOnRandomTables) {
  std::mt19937 rng{99};
  const std::vector<TokenId> letters = {'a', 'b', 'c'};
  std::uniform_int_distribution<std::size_t> pieces(0, 300);
  for (int round = 0; round < 200; ++round) {
    MergeTable merges = random_table(rng, letters, 12);
    expect_matches_reference(merges,
                             reference::random_text(rng, reference::alphabets()[1], pieces(rng)));
  }
}

TEST(Encode, MatchesReferenceOnTrainedTables) {
  std::mt19937 rng{17};
  std::uniform_int_distribution<std::size_t> pieces(0, 400);
  for (std::size_t a = 0; a < reference::alphabets().size(); ++a) {
    const auto& alphabet = reference::alphabets()[a];
    Model tokenizer;
    train(tokenizer, reference::random_text(rng, alphabet, 600), 256 + 60);
    // A second training repeats ids 256, 257, ... for other pairs.
    if (a % 2 == 1) train(tokenizer, reference::random_text(rng, alphabet, 600), 256 + 30);
    for (int round = 0; round < 10; ++round) {
      expect_matches_reference(tokenizer.merges,
                               reference::random_text(rng, alphabet, pieces(rng)));
    }
  }
}

}  // namespace
}  // namespace tokenizer
