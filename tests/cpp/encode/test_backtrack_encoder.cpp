// The left-to-right scan against the plain reference encoder: random tables of the form it
// takes (with tokens whose bytes do not encode to themselves, and re-inserted pairs), trained
// tables, texts made of token spellings, and the tables it must leave to the queue encoder.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "reference_bpe.hpp"
#include "reference_table.hpp"
#include "tokenizer/encode/backtrack_encoder.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/encode/encode_tables.hpp"
#include "tokenizer/encode/merge_lookup.hpp"
#include "tokenizer/train/train.hpp"

namespace tokenizer {
namespace {

std::vector<TokenId> scan(const EncodeTables& tables, std::string_view text) {
  std::vector<TokenId> out{7, 7};  // appends after what is there
  tables.backtracking()->encode(tables.lookup(), text, out, {});
  out.erase(out.begin(), out.begin() + 2);
  return out;
}

void expect_matches_reference(const MergeTable& merges, const std::string& text) {
  const EncodeTables tables{merges};
  ASSERT_NE(tables.backtracking(), nullptr);
  const std::vector<TokenId> got = scan(tables, text);
  ASSERT_EQ(reference::Sequence(got.begin(), got.end()),
            reference::encode(text, reference_table(merges)))
      << text.size() << " bytes, " << merges.size() << " merges";
}

/// The bytes of every id a table makes.
std::map<TokenId, std::string> spellings(const MergeTable& merges) {
  std::map<TokenId, std::string> bytes;
  for (TokenId b = 0; b < 256; ++b) bytes[b] = std::string(1, static_cast<char>(b));
  for (const auto& [pair, id] : merges) {
    if (bytes.count(pair.left) != 0 && bytes.count(pair.right) != 0) {
      bytes[id] = bytes[pair.left] + bytes[pair.right];
    }
  }
  return bytes;
}

/// A table as one training or one load makes it: merge k gets id 256 + k and joins bytes of
/// `alphabet` or ids given out before. With `reinsert`, some pairs come again and take the new
/// id, leaving gaps and merges that name ids nothing makes any more.
MergeTable random_table(std::mt19937& rng, std::size_t size, const std::string& alphabet,
                        bool reinsert) {
  MergeTable merges;
  std::vector<TokenId> made;
  for (char c : alphabet) made.push_back(static_cast<unsigned char>(c));
  std::vector<TokenPair> pairs;
  for (std::size_t k = 0; k < size; ++k) {
    TokenPair pair{made[rng() % made.size()], made[rng() % made.size()]};
    if (reinsert && !pairs.empty() && rng() % 6 == 0) pair = pairs[rng() % pairs.size()];
    merges.insert_or_assign(pair, kFirstMergeId + k);
    pairs.push_back(pair);
    made.push_back(kFirstMergeId + k);
  }
  return merges;
}

/// Text of random letters and random token spellings, so that long tokens occur.
std::string random_text(std::mt19937& rng, const std::map<TokenId, std::string>& bytes,
                        const std::string& alphabet, std::size_t pieces) {
  std::vector<const std::string*> all;
  for (const auto& [id, spelling] : bytes) {
    if (id >= kFirstMergeId) all.push_back(&spelling);
  }
  std::string text;
  for (std::size_t i = 0; i < pieces; ++i) {
    if (all.empty() || rng() % 3 == 0) {
      text += alphabet[rng() % alphabet.size()];
    } else {
      text += *all[rng() % all.size()];
    }
  }
  return text;
}

struct Shape {
  const char* name;
  std::string alphabet;
  std::size_t merges;  // up to
  std::size_t pieces;  // up to
  std::size_t trials;
  bool reinsert;
};

void PrintTo(const Shape& shape, std::ostream* out) {
  *out << shape.name;
}

class RandomTables : public ::testing::TestWithParam<Shape> {};

TEST_P(RandomTables, MatchTheReference) {
  const Shape& shape = GetParam();
  std::mt19937 rng{31337};
  for (std::size_t trial = 0; trial < shape.trials; ++trial) {
    const MergeTable merges =
        random_table(rng, 1 + rng() % shape.merges, shape.alphabet, shape.reinsert);
    const auto bytes = spellings(merges);
    for (int round = 0; round < 6; ++round) {
      expect_matches_reference(merges,
                               random_text(rng, bytes, shape.alphabet, rng() % (shape.pieces + 1)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scan, RandomTables,
    ::testing::Values(Shape{"TwoLetters", "ab", 12, 40, 1000, false},
                      Shape{"TwoLettersLarger", "ab", 60, 200, 300, false},
                      Shape{"ThreeLetters", "abc", 40, 100, 800, false},
                      Shape{"Reinserted", "abc", 40, 100, 800, true},
                      Shape{"ManyLetters", "abcdefgh ", 120, 300, 100, false},
                      Shape{"Runs", "a", 10, 80, 150, false},
                      // The highest and lowest byte values, on both sides of every trie edge.
                      Shape{"ExtremeBytes", std::string{"\xff\x00\xfe\x01", 4}, 200, 300, 100,
                            false}),
    [](const auto& test) { return std::string{test.param.name}; });

TEST(BacktrackEncoder, TrainedTables) {
  std::mt19937 rng{8};
  for (std::size_t a = 0; a < reference::alphabets().size(); ++a) {
    const auto& alphabet = reference::alphabets()[a];
    Model tokenizer;
    train(tokenizer, reference::random_text(rng, alphabet, 3000), 256 + 200);
    for (int round = 0; round < 20; ++round) {
      expect_matches_reference(tokenizer.merges,
                               reference::random_text(rng, alphabet, rng() % 2000));
    }
  }
}

TEST(BacktrackEncoder, TablesFollowTheirMerges) {
  // Tables are built for one version of the merges: here for the scan. Once a second training
  // makes the table combined, encoding with the old tables builds its own (the queue's) for the
  // call and leaves the stale ones untouched.
  std::mt19937 rng{12};
  const auto& alphabet = reference::alphabets()[1];
  Model tokenizer;
  train(tokenizer, reference::random_text(rng, alphabet, 2000), 256 + 80);
  const std::string text = reference::random_text(rng, alphabet, 1500);
  const EncodeTables tables{tokenizer.merges};
  ASSERT_NE(tables.backtracking(), nullptr);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(tables.built_from(tokenizer.merges), round == 0);
    const std::vector<TokenId> got = encode(tokenizer.merges, tables, text);
    ASSERT_EQ(reference::Sequence(got.begin(), got.end()),
              reference::encode(text, reference_table(tokenizer.merges)));
    train(tokenizer, reference::random_text(rng, alphabet, 2000), 256 + 40);
  }
  EXPECT_EQ(EncodeTables{tokenizer.merges}.backtracking(), nullptr);
}

TEST(BacktrackEncoder, TokensThatAreNotWhole) {
  // (a, b) -> 256 and (b, c) -> 257 come first, so "abc" never becomes 258 = (a, 257):
  // 258 is left out, and the scan must not take it for the text "abc".
  MergeTable merges;
  merges.insert_or_assign(TokenPair{'a', 'b'}, 256);
  merges.insert_or_assign(TokenPair{'b', 'c'}, 257);
  merges.insert_or_assign(TokenPair{'a', 257}, 258);
  merges.insert_or_assign(TokenPair{256, 'c'}, 259);
  const EncodeTables tables{merges};
  ASSERT_NE(tables.backtracking(), nullptr);
  EXPECT_FALSE(tables.backtracking()->whole(258));
  EXPECT_TRUE(tables.backtracking()->whole(259));
  EXPECT_EQ(scan(tables, "abc"), (std::vector<TokenId>{259}));
  EXPECT_EQ(scan(tables, "xabcbc"), (std::vector<TokenId>{'x', 259, 257}));
}

TEST(BacktrackEncoder, LeavesOtherTablesToTheQueue) {
  struct Case {
    const char* name;
    std::vector<std::pair<TokenPair, TokenId>> merges;
  };
  const Case cases[] = {
      {"repeated id", {{{'a', 'b'}, 256}, {{'c', 'd'}, 256}}},
      {"later part", {{{257, 'c'}, 256}, {{'a', 'b'}, 257}}},
      {"own id", {{{'b', 'a'}, 256}, {{256, 'a'}, 256}}},
      {"byte id", {{{'a', 'b'}, 'c'}}},
      {"sparse ids", {{{'a', 'b'}, 5'000'000}}},
  };
  for (const Case& c : cases) {
    MergeTable merges;
    for (const auto& [pair, id] : c.merges) merges.insert_or_assign(pair, id);
    EXPECT_EQ(EncodeTables{merges}.backtracking(), nullptr) << c.name;
  }
  // Each merge doubling the last token: the trie would outgrow its budget.
  MergeTable doubling;
  doubling.insert_or_assign(TokenPair{'a', 'a'}, 256);
  for (TokenId id = 257; id < 256 + 40; ++id)
    doubling.insert_or_assign(TokenPair{id - 1, id - 1}, id);
  EXPECT_EQ(EncodeTables{doubling}.backtracking(), nullptr);
}

TEST(BacktrackEncoder, TokensLongerThanTheirNeighbours) {
  // Runs of one letter: the doubling merges make tokens of 2, 4, ... 256 bytes, and a run of
  // any length encodes into them from the left.
  MergeTable merges;
  merges.insert_or_assign(TokenPair{'a', 'a'}, 256);
  for (TokenId id = 257; id < 264; ++id) merges.insert_or_assign(TokenPair{id - 1, id - 1}, id);
  merges.insert_or_assign(TokenPair{'b', 263}, 264);
  for (std::size_t length : {1, 2, 3, 255, 256, 257, 511, 1000}) {
    expect_matches_reference(merges, std::string(length, 'a'));
    std::string framed(length + 2, 'a');
    framed.front() = framed.back() = 'b';
    expect_matches_reference(merges, framed);
  }
}

TEST(BacktrackEncoder, InterruptionAbandonsTheCall) {
  // Polled every so many tokens: a text of single bytes makes as many tokens as bytes.
  const EncodeTables tables{MergeTable{}};
  int polls = 0;
  InterruptCheck after_two{[](void* count) { return ++*static_cast<int*>(count) > 2; }, &polls};
  std::vector<TokenId> out;
  EXPECT_THROW(
      tables.backtracking()->encode(tables.lookup(), std::string(1 << 20, 'x'), out, after_two),
      Interrupted);
  EXPECT_EQ(polls, 3);
}

TEST(BacktrackEncoder, EmptyTextAndEmptyTable) {
  const EncodeTables empty{MergeTable{}};
  ASSERT_NE(empty.backtracking(), nullptr);
  EXPECT_EQ(scan(empty, ""), std::vector<TokenId>{});
  EXPECT_EQ(scan(empty, "hi"), (std::vector<TokenId>{'h', 'i'}));
}

}  // namespace
}  // namespace tokenizer
