// Each stage's header stands on its own and brings its public face.
#include <gtest/gtest.h>

#include "tokenizer/core/core.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/io/io.hpp"
#include "tokenizer/support/support.hpp"
#include "tokenizer/train/train.hpp"

namespace tokenizer {
namespace {

TEST(StageHeaders, BringTheirPublicFace) {
  Model model;
  build_vocab(model);
  train(model, "abab", 257);
  EXPECT_EQ(encode(model.merges, "abab"), (std::vector<TokenId>{256, 256}));
  EXPECT_EQ(decode(model.vocab, std::vector<TokenId>{256}).value(), "ab");
  EXPECT_EQ(Chunks(4, 2).count(), 2u);
}

}  // namespace
}  // namespace tokenizer
