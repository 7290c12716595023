// The queue encoder against the plain reference encoder: short pieces, pieces on the heap,
// pieces in buckets, and tables that repeat ids or name later ids; and against the
// left-to-right scan on texts too long for the reference.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "reference_bpe.hpp"
#include "reference_table.hpp"
#include "tokenizer/encode/backtrack_encoder.hpp"
#include "tokenizer/encode/encode_tables.hpp"
#include "tokenizer/encode/merge_lookup.hpp"
#include "tokenizer/encode/queue_encoder.hpp"
#include "tokenizer/train/train.hpp"

namespace tokenizer {
namespace {

void expect_matches_reference(const MergeTable& merges, const std::string& text) {
  MergeLookup lookup{merges};
  std::vector<TokenId> got = encode_queued(lookup, text);
  ASSERT_EQ(reference::Sequence(got.begin(), got.end()),
            reference::encode(text, reference_table(merges)))
      << text.size() << " bytes, " << merges.size() << " merges";
}

/// A table of `size` merges over the letters of `alphabet` and the ids the table itself gives
/// out; with `combined`, some ids repeat and some merges name ids given out only later, as in
/// tables grown by several trainings or loads. With `join_all`, it first merges every two
/// letters, so that no place in a text over `alphabet` cuts it into pieces.
MergeTable random_table(std::mt19937& rng, std::size_t size, const std::string& alphabet,
                        bool combined, bool join_all) {
  MergeTable merges;
  if (join_all) {
    for (char a : alphabet) {
      for (char b : alphabet) {
        merges.insert_or_assign(
            TokenPair{static_cast<unsigned char>(a), static_cast<unsigned char>(b)},
            kFirstMergeId + merges.size());
      }
    }
  }
  auto token = [&]() -> TokenId {
    if (rng() % 3 == 0) return kFirstMergeId + rng() % (size + (combined ? 2 : 0) + 1);
    return static_cast<unsigned char>(alphabet[rng() % alphabet.size()]);
  };
  for (std::size_t k = merges.size(); k < size; ++k) {
    TokenId id = kFirstMergeId + k;
    if (combined && rng() % 4 == 0) id = kFirstMergeId + rng() % (k + 1);
    TokenPair pair{token(), token()};
    // A trained table only merges tokens that exist before the merge.
    if (!combined && (pair.left >= id || pair.right >= id)) continue;
    merges.insert_or_assign(pair, id);
  }
  return merges;
}

std::string random_text(std::mt19937& rng, const std::string& alphabet, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += alphabet[rng() % alphabet.size()];
  return text;
}

struct Shape {
  const char* name;
  std::string alphabet;
  std::size_t length;  // decides the path: up to 64 bytes, up to 16 KiB, beyond
  std::size_t trials;
  bool one_piece;  // every two letters can join: the whole text is one piece
};

class Paths : public ::testing::TestWithParam<Shape> {};

TEST_P(Paths, MatchesTheReference) {
  const Shape& shape = GetParam();
  std::mt19937 rng{2024};
  for (std::size_t trial = 0; trial < shape.trials; ++trial) {
    const bool combined = trial % 2 == 1;
    const MergeTable merges =
        random_table(rng, 1 + rng() % 40, shape.alphabet, combined, shape.one_piece);
    const std::size_t length = shape.length / 2 + rng() % (shape.length / 2 + 1);
    expect_matches_reference(merges, random_text(rng, shape.alphabet, length));
  }
}

INSTANTIATE_TEST_SUITE_P(Encoder, Paths,
                         ::testing::Values(Shape{"Short", "ab", 40, 3000, true},
                                           Shape{"ShortManyCuts", "abcdefgh", 60, 2000, false},
                                           Shape{"Heap", "abc", 3000, 60, true},
                                           Shape{"HeapManyCuts", "abcdefghij", 5000, 30, false},
                                           Shape{"Buckets", "ab", 40000, 6, true},
                                           Shape{"BucketsThreeLetters", "abc", 30000, 6, true}),
                         [](const auto& test) { return std::string{test.param.name}; });

TEST(QueueEncoder, AgreesWithTheScanOnLongTexts) {
  // Texts too long for the reference: the queue and the left-to-right scan (which serves
  // tables of one training) must still agree, on pieces of every path.
  std::mt19937 rng{77};
  const std::vector<std::string> words = {"the ", "cat ", "sat", " on", " a ",  "mat",
                                          ".\n",  "s",    "at",  "the", "and ", "on the "};
  auto sentence_text = [&](std::size_t size) {
    std::string text;
    while (text.size() < size) text += words[rng() % words.size()];
    return text;
  };
  for (std::size_t vocab : {300, 600, 1200}) {
    Model tokenizer;
    train(tokenizer, sentence_text(60000), vocab);
    const EncodeTables tables{tokenizer.merges};
    ASSERT_NE(tables.backtracking(), nullptr);
    for (std::size_t size : {50, 5000, 120000}) {
      const std::string text = sentence_text(size);
      std::vector<TokenId> scanned;
      tables.backtracking()->encode(tables.lookup(), text, scanned, {});
      ASSERT_EQ(encode_queued(tables.lookup(), text), scanned)
          << vocab << " merges, " << size << " bytes";
    }
  }
  // Random tables of one training, with tokens whose bytes do not encode to themselves.
  for (int trial = 0; trial < 20; ++trial) {
    const MergeTable merges = random_table(rng, 60, "abc", false, trial % 2 == 0);
    const EncodeTables tables{merges};
    ASSERT_NE(tables.backtracking(), nullptr);
    const std::string text = random_text(rng, "abc", 30000);
    std::vector<TokenId> scanned;
    tables.backtracking()->encode(tables.lookup(), text, scanned, {});
    ASSERT_EQ(encode_queued(tables.lookup(), text), scanned) << "trial " << trial;
  }
}

TEST(QueueEncoder, TrainedTableOnALongRun) {
  // Doubling merges over a run of one letter: every round halves the run.
  MergeTable merges;
  merges.insert_or_assign(TokenPair{97, 97}, kFirstMergeId);
  for (TokenId id = kFirstMergeId + 1; id < kFirstMergeId + 12; ++id) {
    merges.insert_or_assign(TokenPair{id - 1, id - 1}, id);
  }
  for (std::size_t length : {1, 2, 3, 100, 4095, 4096, 40000, 40001}) {
    expect_matches_reference(merges, std::string(length, 'a'));
  }
}

TEST(QueueEncoder, RepeatedIdMadeInTwoRounds) {
  // 256 is made by (a, b) in one round and by (c, d) in the next, so the entries waiting for
  // (256, e) arrive in two runs of positions that must be put back in order.
  MergeTable merges;
  std::uint32_t next = 300;
  for (char x : std::string{"abcde"}) {
    for (char y : std::string{"abcde"}) {
      merges.insert_or_assign(
          TokenPair{static_cast<unsigned char>(x), static_cast<unsigned char>(y)}, next++);
    }
  }
  merges.insert_or_assign(TokenPair{'a', 'b'}, 256);
  merges.insert_or_assign(TokenPair{'c', 'd'}, 256);
  merges.insert_or_assign(TokenPair{256, 'e'}, 258);
  std::mt19937 rng{5};
  std::string text;
  while (text.size() < 40000)
    text += (rng() % 2 ? std::string{"abe"} : std::string{"cde"}) + (rng() % 3 ? "" : "cb");
  expect_matches_reference(merges, text);
}

TEST(QueueEncoder, MergeNamingItsOwnId) {
  // (256, 97) -> 256 can apply again to what it just made, but only in a later round.
  MergeTable merges;
  merges.insert_or_assign(TokenPair{256, 97}, 256);
  merges.insert_or_assign(TokenPair{98, 97}, 256);
  for (const std::string& text : {std::string{"baaaa"}, std::string{"babababaaa"},
                                  std::string{"aaaab"}, std::string(20000, 'a') + "b"}) {
    expect_matches_reference(merges, text);
  }
}

}  // namespace
}  // namespace tokenizer
