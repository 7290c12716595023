// Training: golden cases, failures and the state they leave, and agreement with the reference
// trainer on random and real texts for every num_threads, in both layouts of the trainer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "corpora.hpp"
#include "reference_bpe.hpp"
#include "tokenizer/train/train.hpp"
#include "trainer_layouts.hpp"

namespace tokenizer {
namespace {

using reference::Merge;

const std::size_t kThreadCounts[] = {0, 1, 2, 3, 8};

std::vector<Merge> learned(const Model& tokenizer) {
  std::vector<Merge> merges;
  for (const auto& [pair, id] : tokenizer.merges) merges.push_back({{pair.left, pair.right}, id});
  return merges;
}

Model trained(std::string_view text, std::size_t vocab_size, std::size_t num_threads) {
  Model tokenizer;
  tokenizer.num_threads = num_threads;
  train(tokenizer, text, vocab_size);
  return tokenizer;
}

/// The vocabulary holds the 256 bytes and exactly the tokens of `merges`.
void expect_vocab_of(const Model& tokenizer, const std::vector<Merge>& merges) {
  const auto expected = reference::token_bytes(merges);
  ASSERT_EQ(tokenizer.vocab.size(), expected.size());
  for (const auto& [id, bytes] : expected) {
    const TokenBytes* got = tokenizer.vocab.find(static_cast<TokenId>(id));
    ASSERT_NE(got, nullptr) << id;
    ASSERT_EQ(*got, bytes) << id;
  }
}

/// Replays `merges` on `text`: ids run 256, 257, ... and each pair had the highest count at
/// its step, whatever the tie rule.
void expect_each_merge_was_most_common(std::string_view text, const std::vector<Merge>& merges) {
  reference::Sequence sequence = reference::bytes_of(text);
  for (std::size_t step = 0; step < merges.size(); ++step) {
    const auto counts = reference::count(sequence);
    std::uint64_t highest = 0;
    for (const auto& entry : counts) highest = std::max(highest, entry.second);
    ASSERT_EQ(merges[step].id, 256 + step);
    ASSERT_EQ(counts.at(merges[step].pair), highest) << "step " << step;
    sequence = reference::replace(sequence, merges[step].pair, merges[step].id);
  }
}

/// Trains with every thread count and checks the result against the reference trainer.
void expect_matches_reference(const std::string& text, std::size_t vocab_size) {
  const std::vector<Merge> expected = reference::train(text, vocab_size);
  expect_each_merge_was_most_common(text, expected);
  for (std::size_t threads : kThreadCounts) {
    SCOPED_TRACE("num_threads " + std::to_string(threads));
    Model tokenizer = trained(text, vocab_size, threads);
    ASSERT_EQ(learned(tokenizer), expected);
    expect_vocab_of(tokenizer, expected);
  }
}

struct GoldenCase {
  std::string text;
  std::size_t vocab_size;
  std::vector<Merge> merges;
};

TEST(Train, GoldenCasesOnEveryPath) {
  const GoldenCase cases[] = {
      {"aaaa", 300, {{{97, 97}, 256}, {{256, 256}, 257}}},  // ends early: one token left
      {"\xc3\xa9\xc3\xa9", 258, {{{195, 169}, 256}, {{256, 256}, 257}}},
      {"hi!", 258, {{{104, 105}, 256}, {{256, 33}, 257}}},  // a tie, won by the smaller pair
      {"", 300, {}},
      {"a", 300, {}},
      {"ab", 256, {}},
  };
  for (const GoldenCase& c : cases) {
    for (std::size_t threads : kThreadCounts) {
      SCOPED_TRACE(c.text + " with num_threads " + std::to_string(threads));
      Model tokenizer = trained(c.text, c.vocab_size, threads);
      EXPECT_EQ(learned(tokenizer), c.merges);
      expect_vocab_of(tokenizer, c.merges);
    }
  }
}

TEST(Train, VocabSizeBelow256ChangesNothing) {
  Model tokenizer = trained("aaaa", 300, 1);
  try {
    train(tokenizer, "bbbb", 255);
    ADD_FAILURE() << "no fault";
  } catch (const InternalFault& fault) {
    EXPECT_EQ(fault.message(), "vocab_size must be at least 256");
  }
  EXPECT_EQ(learned(tokenizer), (std::vector<Merge>{{{97, 97}, 256}, {{256, 256}, 257}}));
  EXPECT_EQ(tokenizer.vocab.size(), 258u);
}

TEST(Train, VocabSize256OnlyResetsTheVocabulary) {
  Model tokenizer = trained("aaaa", 300, 1);
  tokenizer.vocab.insert_or_assign(TokenId{900}, TokenBytes{"stale"});
  train(tokenizer, "zzzz", 256);
  EXPECT_EQ(tokenizer.vocab.size(), 256u);
  EXPECT_EQ(learned(tokenizer).size(), 2u);
}

TEST(Train, SecondTrainingRenumbersFrom256AndKeepsOldPlaces) {
  for (std::size_t threads : kThreadCounts) {
    Model tokenizer = trained("aaaa", 300, threads);
    train(tokenizer, "bbbaa", 258);
    // (98, 98) -> 256, then three pairs tie at one and the smallest, (97, 97), takes 257 while
    // keeping its first place.
    EXPECT_EQ(learned(tokenizer),
              (std::vector<Merge>{{{97, 97}, 257}, {{256, 256}, 257}, {{98, 98}, 256}}));
    EXPECT_EQ(tokenizer.vocab.size(), 258u);
    EXPECT_EQ(*tokenizer.vocab.find(TokenId{256}), "bb");
    EXPECT_EQ(*tokenizer.vocab.find(TokenId{257}), "aa");
  }
}

using TrainInLayout = EachLayout;

TEST_P(TrainInLayout, InterruptionKeepsTheCompletedSteps) {
  std::mt19937 rng{3};
  const std::string text = reference::random_text(rng, reference::alphabets()[1], 400);
  const std::vector<Merge> all = reference::train(text, 256 + 40);
  for (std::size_t threads : {1, 2}) {
    for (int allowed = 0; allowed < 6; ++allowed) {
      Model tokenizer;
      tokenizer.num_threads = threads;
      int polls = allowed;
      InterruptCheck check{[](void* left) { return --*static_cast<int*>(left) < 0; }, &polls};
      EXPECT_THROW(train(tokenizer, text, 256 + 40, check), Interrupted);
      std::vector<Merge> kept = learned(tokenizer);
      ASSERT_LE(kept.size(), all.size());
      // One thread polls as the work goes; with workers, the waiting thread also polls every
      // period it waits, so how many steps the polls allow depends on the machine's speed.
      if (threads == 1) {
        EXPECT_GE(kept.size() + 1, static_cast<std::size_t>(allowed));
      }
      EXPECT_TRUE(std::equal(kept.begin(), kept.end(), all.begin()));
      expect_vocab_of(tokenizer, kept);
    }
  }
}

TEST_P(TrainInLayout, StepsLearnWhatOneCallLearns) {
  std::mt19937 rng{5};
  const std::string text = reference::random_text(rng, reference::alphabets()[0], 300);
  const std::vector<Merge> all = reference::train(text, 256 + 60);
  // Once done, the training's sequence is the text's encoding by the merges it learned.
  std::map<reference::Pair, reference::Id> rules;
  for (const Merge& merge : all) rules[merge.pair] = merge.id;
  const std::size_t encoded = reference::encode(text, rules).size();
  for (std::size_t chunk : {1, 7, 1000}) {
    Model tokenizer;
    Training training{tokenizer, text, 256 + 60};
    EXPECT_EQ(training.tokens(), text.size());
    std::size_t total = 0;
    while (std::size_t got = training.step(chunk)) {
      EXPECT_TRUE(got == chunk || training.done());
      total += got;
      ASSERT_EQ(learned(tokenizer).size(), total);
    }
    EXPECT_TRUE(training.done());
    EXPECT_EQ(training.learned(), all.size());
    EXPECT_EQ(training.tokens(), encoded);
    EXPECT_EQ(learned(tokenizer), all);
    expect_vocab_of(tokenizer, all);
  }
}

TEST(Train, StepInterruptedBetweenMergesGoesOn) {
  std::mt19937 rng{6};
  const std::string text = reference::random_text(rng, reference::alphabets()[1], 300);
  const std::vector<Merge> all = reference::train(text, 256 + 30);
  Model tokenizer;
  Training training{tokenizer, text, 256 + 30};
  ASSERT_EQ(training.step(5), 5u);
  // The poll before the next merge says stop: nothing changes, and the training goes on.
  InterruptCheck stop{[](void*) { return true; }, nullptr};
  EXPECT_THROW((void)training.step(5, stop), Interrupted);
  EXPECT_FALSE(training.broken());
  EXPECT_EQ(learned(tokenizer).size(), 5u);
  while (training.step(4) != 0) {
  }
  EXPECT_EQ(learned(tokenizer), all);
}

TEST_P(TrainInLayout, MatchesReferenceOnRandomTexts) {
  std::mt19937 rng{2024};
  std::uniform_int_distribution<std::size_t> pieces(0, 500);
  std::uniform_int_distribution<std::size_t> merges(0, 80);
  for (std::size_t a = 0; a < reference::alphabets().size(); ++a) {
    for (int round = 0; round < 6; ++round) {
      const std::string text = reference::random_text(rng, reference::alphabets()[a], pieces(rng));
      SCOPED_TRACE("alphabet " + std::to_string(a) + ", round " + std::to_string(round));
      expect_matches_reference(text, 256 + merges(rng));
    }
  }
}

std::string corpus_slice(const char* name, std::size_t offset, std::size_t length) {
  std::ifstream file{corpora_dir() / name, std::ios::binary};
  std::string text{std::istreambuf_iterator<char>{file}, {}};
  return text.substr(std::min(offset, text.size()), length);
}

TEST_P(TrainInLayout, MatchesReferenceOnRealTexts) {
  if (!std::filesystem::is_directory(corpora_dir())) {
    GTEST_SKIP() << "no corpora at " << corpora_dir() << " (PAIRLOOM_CORPORA names them)";
  }
  for (const char* name : {"gutenberg_01342_pride_and_prejudice.txt",
                           "udhr_sample_25_languages.txt", "code_c_sqlite.txt"}) {
    SCOPED_TRACE(name);
    expect_matches_reference(corpus_slice(name, 20000, 12000), 256 + 60);
  }
}

INSTANTIATE_TEST_SUITE_P(Layout, TrainInLayout, ::testing::ValuesIn(both_layouts()), config_name);

TEST(Train, ThreadCountsAgreeOnALongerText) {
  if (!std::filesystem::is_directory(corpora_dir())) {
    GTEST_SKIP() << "no corpora at " << corpora_dir() << " (PAIRLOOM_CORPORA names them)";
  }
  const std::string text = corpus_slice("unicode_emoji_test.txt", 0, 200000);
  const std::vector<Merge> serial = learned(trained(text, 256 + 150, 1));
  ASSERT_EQ(serial.size(), 150u);
  for (std::size_t threads : {2, 3, 8})
    EXPECT_EQ(learned(trained(text, 256 + 150, threads)), serial);
}

TEST(Train, TwoThreadsLearnWhatOneLearnsOnAMegabyteAndKeepWholeStepsWhenInterrupted) {
  // Long enough for training with several threads to cut the text into shards.
  std::mt19937 rng{12};
  std::string text;
  while (text.size() < (std::size_t{3} << 19)) {
    text += reference::random_text(rng, reference::alphabets()[1], 2000);
  }
  const std::vector<Merge> serial = learned(trained(text, 256 + 300, 1));
  ASSERT_EQ(serial.size(), 300u);
  EXPECT_EQ(learned(trained(text, 256 + 300, 2)), serial);
  for (int allowed : {0, 3, 40}) {
    Model tokenizer;
    tokenizer.num_threads = 2;
    int polls = allowed;
    InterruptCheck check{[](void* left) { return --*static_cast<int*>(left) < 0; }, &polls};
    EXPECT_THROW(train(tokenizer, text, 256 + 300, check), Interrupted);
    const std::vector<Merge> kept = learned(tokenizer);
    ASSERT_LT(kept.size(), serial.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), serial.begin()));
    expect_vocab_of(tokenizer, kept);
  }
}

}  // namespace
}  // namespace tokenizer
