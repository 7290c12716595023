// The vocabulary listing: line forms, order, the merge that decides a shared id, and the fault
// for a merge whose part has no entry.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tokenizer/io/vocab_file.hpp"

namespace tokenizer {
namespace {

class Listing : public testing::Test {
 protected:
  ~Listing() override { std::remove(path_.c_str()); }

  std::string write(const Model& tokenizer) {
    Result<> result = save_vocab(tokenizer, path_);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message);
    return contents();
  }
  std::string contents() const {
    std::ifstream in{path_, std::ios::binary};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string path_ = testing::TempDir() + "pairloom-listing.txt";
};

TEST_F(Listing, LinesByNumericIdAndTheLastMergeOfAnIdDecides) {
  Model tokenizer;
  tokenizer.vocab.insert_or_assign(TokenId{1000}, TokenBytes{"z\n"});
  tokenizer.vocab.insert_or_assign(TokenId{99}, TokenBytes{"c"});
  tokenizer.vocab.insert_or_assign(TokenId{256}, TokenBytes{"[]"});
  tokenizer.vocab.insert_or_assign(TokenId{97}, TokenBytes{"a"});
  tokenizer.vocab.insert_or_assign(TokenId{98}, TokenBytes{"b"});
  tokenizer.merges.insert_or_assign(TokenPair{97, 97}, 256);
  tokenizer.merges.insert_or_assign(TokenPair{98, 99}, 256);  // later in the table: wins
  tokenizer.merges.insert_or_assign(TokenPair{5, 6}, 300);    // no entry for 300: no line
  EXPECT_EQ(write(tokenizer), "[a] 97\n[b] 98\n[c] 99\n[b][c] -> [[]] 256\n[z\\u000a] 1000\n");
}

TEST_F(Listing, MergeWithAMissingPartFaultsAfterWritingTheLinesBeforeIt) {
  for (TokenPair broken : {TokenPair{7, 98}, TokenPair{98, 7}}) {
    Model tokenizer;
    tokenizer.vocab.insert_or_assign(TokenId{98}, TokenBytes{"b"});
    tokenizer.vocab.insert_or_assign(TokenId{300}, TokenBytes{"b?"});
    tokenizer.vocab.insert_or_assign(TokenId{301}, TokenBytes{"never listed"});
    tokenizer.merges.insert_or_assign(broken, 300);
    testing::internal::CaptureStderr();
    EXPECT_THROW((void)save_vocab(tokenizer, path_), InternalFault);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("src/tokenizer/io/vocab_file.cpp"),
              std::string::npos);
    EXPECT_EQ(contents(), "[b] 98\n");
  }
}

}  // namespace
}  // namespace tokenizer
