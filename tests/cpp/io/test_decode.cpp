// Decoding: per-token rendering, the unknown-id failure, and output too large to build.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "tokenizer/io/decode.hpp"

namespace tokenizer {
namespace {

struct DecodeCase {
  std::vector<TokenId> ids;
  std::string text_or_error;
  bool ok = true;
};

class DecodeTable : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, DecodesOrReportsTheFirstUnknownId) {
  Model tokenizer;
  tokenizer.merges.insert_or_assign(TokenPair{195, 169}, 256);
  build_vocab(tokenizer);
  const DecodeCase& c = GetParam();
  Result<std::string> result = decode(tokenizer.vocab, c.ids);
  ASSERT_EQ(result.ok(), c.ok);
  if (c.ok) {
    EXPECT_EQ(result.value(), c.text_or_error);
  } else {
    EXPECT_EQ(result.error().kind, ErrorKind::invalid_input);
    EXPECT_EQ(result.error().message, c.text_or_error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeTable,
    testing::Values(  // A character split over two tokens is two replacements, not one character.
        DecodeCase{{195, 169}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        DecodeCase{{256, 10}, "\xC3\xA9\\u000a"},
        DecodeCase{{104, 1000, 105, 2000}, "invalid token ID: 1000", false},
        DecodeCase{{kNoToken}, "invalid token ID: " + std::to_string(kNoToken), false}));

TEST(Decode, RefusesTextBeyondMemoryBeforeBuildingIt) {
  Vocabulary vocab;
  vocab.insert_or_assign(TokenId{7}, TokenBytes(std::size_t{1} << 26, 'x'));
  // 2^17 copies of a 64 MiB token: 8 TiB of text, more than any machine here holds.
  std::vector<TokenId> ids(std::size_t{1} << 17, 7);
  EXPECT_THROW((void)decode(vocab, ids), std::bad_alloc);
}

}  // namespace
}  // namespace tokenizer
