// The incremental trainer against the plain reference trainer, in both layouts and in their
// 32- and 64-bit forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
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
  const std::pair<std::string, std::size_t> cases[] = {{std::string(20001, 'a'), 400},
                                                       {cycle, 400},
                                                       {random_bytes, 400},
                                                       {pieces, 1000},
                                                       {reference::dna_like(rng, 30000), 500}};
  // On two threads or more the linked layout rewrites long merges in parts side by side: here
  // from the default length, from 64 occurrences (long and short merges mixed) and from 2
  // (parts of an occurrence or two, cut wherever two lie far enough apart).
  struct SplitFrom {
    std::size_t occurrences;
    SplitFrom(std::size_t n) : occurrences{n} {
      IncrementalTrainer::split_merges_from_for_testing(n);
    }
    ~SplitFrom() {
      IncrementalTrainer::split_merges_from_for_testing(IncrementalTrainer::kSplitMergesFrom);
    }
  };
  for (const auto& [text, vocab_size] : cases) {
    const auto expected = reference::train(text, vocab_size);
    std::vector<std::size_t> splits{IncrementalTrainer::kSplitMergesFrom};
    if (GetParam().layout == TrainerLayout::linked) splits.insert(splits.end(), {64, 2});
    for (std::size_t split : splits) {
      const SplitFrom split_from{split};
      for (std::size_t threads : {1, 2, 3, 4}) {
        EXPECT_EQ(learn(text, vocab_size, threads), expected)
            << text.size() << " bytes from " << static_cast<int>(text[1]) << ", " << threads
            << " threads, split from " << split;
      }
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

TEST_P(AnyLayout, KeepsNoViewOfTheText) {
  // Callers may free the text once the trainer is built (the module drops its UTF-8 copy
  // there); under ASan a later read of it would be reported.
  std::mt19937 rng{31};
  const std::string kept = reference::random_text(rng, reference::alphabets()[1], 3000);
  auto text = std::make_unique<std::string>(kept);
  IncrementalTrainer trainer{*text, 1};
  std::fill(text->begin(), text->end(), 'z');
  text.reset();
  std::vector<reference::Merge> merges;
  for (TokenId id = kFirstMergeId; id < 500; ++id) {
    std::optional<TokenPair> pair = trainer.most_common_pair();
    if (!pair) break;
    trainer.merge(*pair, id);
    merges.push_back({{pair->left, pair->right}, id});
  }
  EXPECT_EQ(merges, reference::train(kept, 500));
}

TEST(IncrementalTrainer, SplitsLongMergesAtTheDefaultLengthAndLearnsTheSame) {
  // 1.5 MB of a four-letter genome: its first merges have 100,000 occurrences or more, so on
  // two threads or more they are rewritten in parts as training on a real text would be.
  std::mt19937 rng{7};
  const std::string text = reference::dna_like(rng, 1'500'000);
  ASSERT_EQ(IncrementalTrainer(text, 2).layout(), TrainerLayout::linked);
  const auto expected = learn(text, 700, 1);
  for (std::size_t threads : {2, 3}) EXPECT_EQ(learn(text, 700, threads), expected) << threads;
}

TEST(IncrementalTrainer, ChoosesTheLayoutBySizeThreadsAndBudget) {
  constexpr std::size_t kLarge = IncrementalTrainer::kPackedFrom;
  constexpr std::size_t kAmple = std::numeric_limits<std::size_t>::max();
  struct Case {
    std::size_t bytes, budget, threads;
    TrainerLayout expected;
  };
  for (const Case& c : std::vector<Case>{
           // 20 bytes per byte of text for the linked layout, whatever the thread count.
           {0, 0, 1, TrainerLayout::linked},
           {100, 2000, 1, TrainerLayout::linked},
           {101, 2000, 1, TrainerLayout::packed},
           {101, 2000, 2, TrainerLayout::packed},
           {std::size_t{1} << 30, std::size_t{6} << 30, 4, TrainerLayout::packed},
           // One thread (0 counts as 1) takes the packed layout from kPackedFrom on; more keep
           // the linked one while the budget allows.
           {kLarge - 1, kAmple, 1, TrainerLayout::linked},
           {kLarge, kAmple, 1, TrainerLayout::packed},
           {kLarge, kAmple, 0, TrainerLayout::packed},
           {kLarge, kAmple, 2, TrainerLayout::linked},
           {2 * kLarge, 40 * kLarge, 2, TrainerLayout::linked},
           {2 * kLarge, 40 * kLarge - 1, 2, TrainerLayout::packed},
       }) {
    EXPECT_EQ(IncrementalTrainer::choose_layout(c.bytes, c.budget, c.threads), c.expected)
        << c.bytes << " bytes, budget " << c.budget << ", " << c.threads << " threads";
  }
  const std::string text(1000, 'a');
  for (std::size_t threads : {1, 2}) {
    EXPECT_EQ(IncrementalTrainer(text, threads).layout(),
              IncrementalTrainer::choose_layout(text.size(), memory_budget(), threads));
  }
  for (TrainerLayout layout : {TrainerLayout::linked, TrainerLayout::packed}) {
    EXPECT_EQ(IncrementalTrainer(text, 1, {}, layout).layout(), layout);
    IncrementalTrainer::force_layout_for_testing(layout);
    EXPECT_EQ(IncrementalTrainer(text, 2).layout(), layout);
  }
  IncrementalTrainer::force_layout_for_testing(TrainerLayout::automatic);
}

}  // namespace
}  // namespace tokenizer
