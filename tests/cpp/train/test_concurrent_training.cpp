// Training on the worker pool from several calling threads at once, and interrupted part way:
// the paths that the ThreadSanitizer lane is there to watch. Each result must equal what the
// same training learns on the calling thread alone.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "reference_bpe.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/train/incremental_trainer.hpp"
#include "tokenizer/train/train.hpp"

namespace tokenizer {
namespace {

struct Learned {
  std::vector<std::pair<TokenPair, TokenId>> merges;
  std::vector<std::pair<TokenId, TokenBytes>> tokens;
  friend bool operator==(const Learned&, const Learned&) = default;
};

Learned learn(std::string_view text, std::size_t vocab_size, std::size_t num_threads) {
  Model tokenizer;
  tokenizer.num_threads = num_threads;
  train(tokenizer, text, vocab_size);
  Learned learned;
  for (const auto& entry : tokenizer.merges) learned.merges.push_back(entry);
  for (TokenId id = 0; id < vocab_size; ++id) {
    if (const TokenBytes* bytes = tokenizer.vocab.find(id)) learned.tokens.emplace_back(id, *bytes);
  }
  return learned;
}

std::vector<std::string> texts() {
  std::mt19937 rng{11};
  std::vector<std::string> all;
  for (const auto& alphabet : reference::alphabets()) {
    all.push_back(reference::random_text(rng, alphabet, 3000));
  }
  return all;
}

TEST(ConcurrentTraining, CallersOnSeveralThreadsLearnWhatOneThreadLearns) {
  const std::vector<std::string> inputs = texts();
  std::vector<Learned> expected;
  for (const std::string& text : inputs) expected.push_back(learn(text, 400, 1));

  std::atomic<int> mismatches{0};
  auto caller = [&](std::size_t num_threads) {
    for (int round = 0; round < 3; ++round) {
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (learn(inputs[i], 400, num_threads) != expected[i]) ++mismatches;
      }
    }
  };
  std::vector<std::thread> callers;
  for (std::size_t num_threads : {2, 3, 8}) callers.emplace_back(caller, num_threads);
  caller(4);
  for (std::thread& thread : callers) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

class SplitOrNot : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override { IncrementalTrainer::split_merges_from_for_testing(GetParam()); }
  void TearDown() override {
    IncrementalTrainer::split_merges_from_for_testing(IncrementalTrainer::kSplitMergesFrom);
  }
};

// With merges split from 2 occurrences on, nearly every merge runs its rewrites on the pool.
TEST_P(SplitOrNot, InterruptionKeepsACompletedPrefixAndThePoolServesOn) {
  const std::string text = texts()[2];
  const Learned whole = learn(text, 320, 1);
  for (int polls_allowed : {1, 2, 5, 20}) {
    struct Budget {
      std::atomic<int> left;
    } budget{polls_allowed};
    InterruptCheck check{[](void* context) { return --static_cast<Budget*>(context)->left < 0; },
                         &budget};
    Model tokenizer;
    tokenizer.num_threads = 3;
    try {
      train(tokenizer, text, 320, check);
    } catch (const Interrupted&) {
    }
    // Whatever was learned before the interruption is the start of the whole training.
    ASSERT_LE(tokenizer.merges.size(), whole.merges.size());
    for (std::size_t k = 0; k < tokenizer.merges.size(); ++k) {
      ASSERT_EQ(tokenizer.merges[k], whole.merges[k]) << "polls " << polls_allowed << " step " << k;
    }
    // And the pool still serves the next training.
    ASSERT_EQ(learn(text, 320, 3), whole) << "after polls " << polls_allowed;
  }
}

INSTANTIATE_TEST_SUITE_P(Merges, SplitOrNot,
                         ::testing::Values(IncrementalTrainer::kSplitMergesFrom, std::size_t{2}));

TEST(ConcurrentTraining, EncodingOnOtherThreadsWhileTrainingUsesThePool) {
  const std::vector<std::string> inputs = texts();
  Model fixed;
  train(fixed, inputs[1], 350);
  const std::vector<TokenId> expected = encode(fixed.merges, inputs[1]);
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  // Encoding tables are immutable: the encoding thread reads them while training runs.
  const EncodeTables tables{fixed.merges};
  std::thread encoder{[&] {
    while (!done) {
      if (encode(fixed.merges, tables, inputs[1]) != expected) ++mismatches;
    }
  }};
  for (const std::string& text : inputs) (void)learn(text, 330, 2);
  done = true;
  encoder.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace tokenizer
