// The three passes of build_vocab and the maps under the tokenizer state.
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "tokenizer/core/model.hpp"

namespace tokenizer {
namespace {

std::string bytes_of(const Vocabulary& vocab, TokenId id) {
  const TokenBytes* bytes = vocab.find(id);
  return bytes ? *bytes : std::string{"<none>"};
}

TEST(BuildVocab, FreshTokenizerGetsTheByteTokens) {
  Model tokenizer;
  build_vocab(tokenizer);
  ASSERT_EQ(tokenizer.vocab.size(), 256u);
  for (unsigned b = 0; b < 256; ++b)
    EXPECT_EQ(bytes_of(tokenizer.vocab, b), std::string(1, char(b)));
}

TEST(BuildVocab, MergesBuildInTableOrderAndSkipMissingParts) {
  Model tokenizer;
  tokenizer.merges.insert_or_assign(TokenPair{104, 105}, 256);
  tokenizer.merges.insert_or_assign(TokenPair{256, 258}, 257);  // 258 only comes later
  tokenizer.merges.insert_or_assign(TokenPair{33, 33}, 258);
  tokenizer.merges.insert_or_assign(TokenPair{999, 97}, 259);  // 999 exists nowhere
  build_vocab(tokenizer);
  EXPECT_EQ(bytes_of(tokenizer.vocab, 256), "hi");
  EXPECT_EQ(bytes_of(tokenizer.vocab, 257), "<none>");
  EXPECT_EQ(bytes_of(tokenizer.vocab, 258), "!!");
  EXPECT_EQ(bytes_of(tokenizer.vocab, 259), "<none>");
  // A second call finds what the first left and builds the skipped merge.
  build_vocab(tokenizer);
  EXPECT_EQ(bytes_of(tokenizer.vocab, 257), "hi!!");
}

TEST(BuildVocab, SpecialTokensOverrideAndFeedTheNextCall) {
  Model tokenizer;
  tokenizer.special_tokens.insert_or_assign("<A>", 65);
  tokenizer.special_tokens.insert_or_assign("<eot>", 300);
  tokenizer.special_tokens.insert_or_assign("<m>", 256);
  tokenizer.merges.insert_or_assign(TokenPair{104, 105}, 256);
  tokenizer.merges.insert_or_assign(TokenPair{300, 33}, 257);
  build_vocab(tokenizer);
  EXPECT_EQ(bytes_of(tokenizer.vocab, 65), "<A>");
  EXPECT_EQ(bytes_of(tokenizer.vocab, 256), "<m>");
  EXPECT_EQ(bytes_of(tokenizer.vocab, 300), "<eot>");
  EXPECT_EQ(bytes_of(tokenizer.vocab, 257), "<none>");
  build_vocab(tokenizer);
  EXPECT_EQ(bytes_of(tokenizer.vocab, 257), "<eot>!");
}

TEST(BuildVocab, KeepsEntriesNoPassWrites) {
  Model tokenizer;
  tokenizer.vocab.insert_or_assign(TokenId{5000}, TokenBytes{"old"});
  build_vocab(tokenizer);
  EXPECT_EQ(bytes_of(tokenizer.vocab, 5000), "old");
  EXPECT_EQ(tokenizer.vocab.size(), 257u);
}

TEST(BuildVocab, ReinsertedPairIsBuiltAtItsFirstPlace) {
  Model tokenizer;
  tokenizer.merges.insert_or_assign(TokenPair{97, 97}, 256);
  tokenizer.merges.insert_or_assign(TokenPair{256, 97}, 257);
  tokenizer.merges.insert_or_assign(TokenPair{97, 97}, 258);  // same pair, new id, old place
  ASSERT_EQ(tokenizer.merges.size(), 2u);
  build_vocab(tokenizer);
  EXPECT_EQ(bytes_of(tokenizer.vocab, 258), "aa");
  EXPECT_EQ(bytes_of(tokenizer.vocab, 256), "<none>");
  EXPECT_EQ(bytes_of(tokenizer.vocab, 257), "<none>");  // its left part 256 was never built
}

TEST(BuildVocab, RefusesTokensBeyondMemoryAndKeepsTheOldVocabulary) {
  // Each merge doubles the last token: 2^70 bytes by the end.
  Model tokenizer;
  tokenizer.vocab.insert_or_assign(TokenId{7}, TokenBytes{"kept"});
  tokenizer.merges.insert_or_assign(TokenPair{97, 97}, 256);
  for (TokenId id = 257; id < 256 + 70; ++id)
    tokenizer.merges.insert_or_assign(TokenPair{id - 1, id - 1}, id);
  EXPECT_THROW(build_vocab(tokenizer), std::bad_alloc);
  EXPECT_EQ(tokenizer.vocab.size(), 1u);
  EXPECT_EQ(bytes_of(tokenizer.vocab, 7), "kept");
}

TEST(OrderedMap, ReplacingKeepsThePlace) {
  OrderedMap<std::string, TokenId> map;
  map.insert_or_assign(std::string{"b"}, 1);
  map.insert_or_assign(std::string{"a"}, 2);
  map.insert_or_assign(std::string{"b"}, 3);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map[0].first, "b");
  EXPECT_EQ(map[0].second, 3u);
  EXPECT_EQ(map[1].first, "a");
  EXPECT_EQ(*map.find(std::string_view{"a"}), 2u);
  EXPECT_EQ(map.find(std::string_view{"c"}), nullptr);
}

TEST(FlatMap, GrowsAndFindsEveryKey) {
  FlatMap<TokenId, TokenId> map;
  for (TokenId i = 0; i < 10000; ++i) map[i * 7919] = i;
  EXPECT_EQ(map.size(), 10000u);
  for (TokenId i = 0; i < 10000; ++i) ASSERT_EQ(*map.find(i * 7919), i);
  EXPECT_EQ(map.find(TokenId{1}), nullptr);
  map.clear();
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.find(TokenId{0}), nullptr);
}

}  // namespace
}  // namespace tokenizer
