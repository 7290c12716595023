// The incremental trainer against the plain reference trainer, in both layouts and in their
// 32- and 64-bit forms.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "corpora.hpp"
#include "reference_bpe.hpp"
#include "tokenizer/support/memory_budget.hpp"
#include "tokenizer/train/incremental_trainer.hpp"
#include "trainer_layouts.hpp"

namespace tokenizer {
namespace {

using WideOrNarrow = EachLayout;
using AnyLayout = EachLayout;

TEST_P(WideOrNarrow, LearnsWhatRecountingLearnsOnRandomTexts) {
  std::mt19937 rng{12345};
  for (const auto& alphabet : reference::alphabets()) {
    for (std::size_t pieces : {0, 1, 2, 3, 7, 40, 300, 2000}) {
      const std::string text = reference::random_text(rng, alphabet, pieces);
      for (std::size_t vocab_size : {256, 257, 260, 300, 600}) {
        ASSERT_EQ(learn(text, vocab_size), reference::train(text, vocab_size))
            << "alphabet of " << alphabet.size() << ", " << text.size() << " bytes, vocab "
            << vocab_size;
      }
    }
  }
}

TEST_P(WideOrNarrow, MergesRunsAndChainsLikeRecounting) {
  // Long runs of one byte make the pair overlap itself; alternations make (a, b) and (b, a)
  // tie again and again.
  for (const std::string& text : {std::string(1000, 'a'), std::string(1001, 'a'),
                                  std::string("ab") + std::string(999, 'b'), [] {
                                    std::string s;
                                    for (int i = 0; i < 500; ++i) s += i % 3 == 0 ? "aab" : "ab";
                                    return s;
                                  }()}) {
    EXPECT_EQ(learn(text, 2000), reference::train(text, 2000)) << text.substr(0, 20);
  }
}

TEST_P(WideOrNarrow, LearnsWhatRecountingLearnsOnLongListsOnEveryThreadCount) {
  // Lists of several polling blocks, with occurrences overlapping across the blocks' edges
  // (the run), every byte value and its pairs (the cycle), and more pairs than the trainer
  // reserves for a text this long (the random bytes), whose tables then grow.
  std::mt19937 rng{2024};
  std::string cycle(40000, '\0');
  for (std::size_t i = 0; i < cycle.size(); ++i) cycle[i] = static_cast<char>(i * 7 % 256);
  std::string random_bytes(60000, '\0');
  for (char& c : random_bytes) c = static_cast<char>(rng() % 256);
  // Pieces of unequal length, to 1,000, fill the room beyond the lists: they are laid out
  // again from the sequence.
  const std::string pieces = reference::random_text(rng, {"ab", "cd", "abc", "e"}, 3000);
  const std::pair<std::string, std::size_t> cases[] = {
      {std::string(20001, 'a'), 400}, {cycle, 400}, {random_bytes, 400}, {pieces, 1000}};
  for (const auto& [text, vocab_size] : cases) {
    const auto expected = reference::train(text, vocab_size);
    for (std::size_t threads : {1, 2, 3, 4}) {
      EXPECT_EQ(learn(text, vocab_size, threads), expected)
          << text.size() << " bytes from " << static_cast<int>(text[1]) << ", " << threads
          << " threads";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layout, WideOrNarrow, ::testing::ValuesIn(every_layout()), config_name);

TEST_P(AnyLayout, EndsWhenOneTokenIsLeft) {
  for (const std::string& text : {std::string{}, std::string{"x"}, std::string{"xy"}}) {
    IncrementalTrainer trainer{text, 1};
    for (std::size_t step = 0; step < 3; ++step) {
      std::optional<TokenPair> pair = trainer.most_common_pair();
      if (!pair) break;
      trainer.merge(*pair, kFirstMergeId + step);
    }
    EXPECT_EQ(trainer.most_common_pair(), std::nullopt);
    EXPECT_EQ(trainer.size(), text.empty() ? 0u : 1u);
  }
}

TEST_P(AnyLayout, CountingOnThreadsChangesNothing) {
  std::mt19937 rng{99};
  const std::string text = reference::random_text(rng, reference::alphabets()[2], 5000);
  const auto expected = learn(text, 700, 1);
  for (std::size_t threads : {0, 2, 3, 8, 64}) EXPECT_EQ(learn(text, 700, threads), expected);
}

TEST_P(AnyLayout, LearnsWhatRecountingLearnsWithArraysOnLargePages) {
  // Past 4 MiB the trainer's arrays come aligned from a different allocation path.
  std::mt19937 rng{7};
  std::string text = reference::random_text(rng, reference::alphabets()[1], 60000);
  while (text.size() < 420000) text += text.substr(0, 420000 - text.size());
  EXPECT_EQ(learn(text, 280), reference::train(text, 280));
}

TEST_P(AnyLayout, LearnsWhatRecountingLearnsOnRealText) {
  std::ifstream file{corpora_dir() / "udhr_sample_25_languages.txt"};
  if (!file) {
    GTEST_SKIP() << "no corpora at " << corpora_dir() << " (PAIRLOOM_CORPORA names them)";
  }
  std::stringstream content;
  content << file.rdbuf();
  const std::string text = content.str().substr(0, 20000);
  EXPECT_EQ(learn(text, 600), reference::train(text, 600));
}

INSTANTIATE_TEST_SUITE_P(Layout, AnyLayout, ::testing::ValuesIn(both_layouts()), config_name);

TEST(IncrementalTrainer, TakesTheLinkedLayoutWhileItFitsTheBudget) {
  // 20 bytes per byte of text for the linked layout.
  EXPECT_EQ(IncrementalTrainer::choose_layout(0, 0), TrainerLayout::linked);
  EXPECT_EQ(IncrementalTrainer::choose_layout(100, 2000), TrainerLayout::linked);
  EXPECT_EQ(IncrementalTrainer::choose_layout(101, 2000), TrainerLayout::packed);
  EXPECT_EQ(IncrementalTrainer::choose_layout(std::size_t{1} << 30, std::size_t{6} << 30),
            TrainerLayout::packed);
  const std::string text(1000, 'a');
  EXPECT_EQ(IncrementalTrainer(text, 1).layout(),
            IncrementalTrainer::choose_layout(text.size(), memory_budget()));
  for (TrainerLayout layout : {TrainerLayout::linked, TrainerLayout::packed}) {
    EXPECT_EQ(IncrementalTrainer(text, 1, {}, layout).layout(), layout);
  }
}

}  // namespace
}  // namespace tokenizer
