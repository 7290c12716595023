// Shards driven by the coordinator only through the values a remote shard ships (deltas,
// edges, roles), as training on a cluster drives them, against the plain reference trainer and
// `train`: cuts inside characters and runs, more shards than bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "corpora.hpp"
#include "reference_bpe.hpp"
#include "shard_driving.hpp"
#include "tokenizer/train/shard.hpp"
#include "tokenizer/train/shard_coordinator.hpp"
#include "tokenizer/train/train.hpp"

namespace tokenizer {
namespace {

const std::size_t kShardCounts[] = {1, 2, 3, 4, 7, 16, 64};

/// The merges `train` learns from `text`.
std::vector<reference::Merge> learned(std::string_view text, std::size_t vocab_size) {
  Model model;
  train(model, text, vocab_size);
  std::vector<reference::Merge> merges;
  for (const auto& [pair, id] : model.merges) merges.push_back({{pair.left, pair.right}, id});
  return merges;
}

/// Trains with shards cut at `cuts` (byte offsets, increasing), each driven only through the
/// values a remote shard would ship: its deltas, its edges and its role.
std::vector<reference::Merge> driven_apart(std::string_view text,
                                           const std::vector<std::size_t>& cuts,
                                           std::size_t vocab_size) {
  std::vector<Shard> shards = cut_into_shards(text, cuts);
  ShardCoordinator coordinator;
  auto collect = [&] { collect_changes(coordinator, shards); };
  collect();
  std::vector<reference::Merge> merges;
  for (TokenId id = kFirstMergeId; id < vocab_size; ++id) {
    std::optional<TokenPair> pair = coordinator.most_common_pair();
    if (!pair) break;
    const std::vector<ShardRole> roles = coordinator.plan(*pair);
    for (std::size_t k = 0; k < shards.size(); ++k) {
      shards[k].merge(*pair, id, roles[k].first_taken, roles[k].takes_next);
    }
    collect();
    coordinator.finish_step(*pair);
    merges.push_back({{pair->left, pair->right}, id});
  }
  return merges;
}

/// Trains with `shards` shards cut at floor(k * n / shards), k = 1 .. shards - 1: cuts fall
/// anywhere, inside characters and runs, and short texts give empty shards.
std::vector<reference::Merge> sharded(std::string_view text, std::size_t vocab_size,
                                      std::size_t shards) {
  std::vector<std::size_t> cuts;
  for (std::size_t k = 1; k < shards; ++k) {
    cuts.push_back(static_cast<std::size_t>(std::uint64_t{k} * text.size() / shards));
  }
  return driven_apart(text, cuts, vocab_size);
}

/// Every shard count learns what `train` learns, merge for merge.
void expect_same_as_incremental(std::string_view text, std::size_t vocab_size) {
  const auto expected = learned(text, vocab_size);
  for (std::size_t shards : kShardCounts) {
    ASSERT_EQ(sharded(text, vocab_size, shards), expected)
        << shards << " shards, " << text.size() << " bytes";
  }
}

TEST(ShardedTraining, LearnsWhatRecountingLearnsOnRandomTexts) {
  std::mt19937 rng{2024};
  for (const auto& alphabet : reference::alphabets()) {
    for (std::size_t pieces : {0, 1, 2, 3, 7, 40, 300, 1500}) {
      const std::string text = reference::random_text(rng, alphabet, pieces);
      const auto expected = reference::train(text, 500);
      for (std::size_t shards : kShardCounts) {
        ASSERT_EQ(sharded(text, 500, shards), expected)
            << "alphabet of " << alphabet.size() << ", " << text.size() << " bytes, " << shards
            << " shards";
      }
    }
  }
}

TEST(ShardedTraining, TakesRunsAcrossCutsFromTheLeft) {
  // Every run length against every cut: "aaa|aaaa" (two shards over seven bytes) must merge
  // the first shard's third byte with the second shard's first, and so on for every parity
  // and for runs spanning several shards, shards of one byte and empty shards included.
  for (std::size_t length = 0; length <= 70; ++length) {
    const std::string text(length, 'a');
    const auto expected = reference::train(text, 270);
    for (std::size_t shards = 1; shards <= 64; ++shards) {
      ASSERT_EQ(sharded(text, 270, shards), expected) << length << " bytes, " << shards;
    }
  }
  // Runs between other bytes, where the run's start decides the parity.
  std::mt19937 rng{5};
  std::geometric_distribution<int> run_length{0.08};
  for (int round = 0; round < 20; ++round) {
    std::string text;
    while (text.size() < 600) text += std::string(1 + run_length(rng), "ab"[rng() % 2]);
    expect_same_as_incremental(text, 400);
  }
}

TEST(ShardedTraining, LearnsWhatTheIncrementalTrainerLearnsOnRealText) {
  for (const char* name : {"gutenberg_00011_alice_in_wonderland.txt",
                           "udhr_sample_25_languages.txt", "code_python_stdlib.txt"}) {
    std::ifstream file{corpora_dir() / name};
    if (!file) {
      GTEST_SKIP() << "no corpora at " << corpora_dir() << " (PAIRLOOM_CORPORA names them)";
    }
    std::stringstream content;
    content << file.rdbuf();
    expect_same_as_incremental(content.str().substr(0, 150000), 1500);
  }
}

TEST(ShardCoordinator, DrivesShardsHeldApartThroughTheValuesTheyShip) {
  std::mt19937 rng{91};
  for (const auto& alphabet : reference::alphabets()) {
    for (std::size_t pieces : {0, 5, 300, 1200}) {
      const std::string text = reference::random_text(rng, alphabet, pieces) + "aaaaaaa";
      const auto expected = reference::train(text, 400);
      for (std::size_t count : {1, 2, 5, 13}) {
        // Uneven cuts, repeats (empty shards) included.
        std::vector<std::size_t> cuts;
        for (std::size_t k = 0; k < count; ++k) cuts.push_back(rng() % (text.size() + 1));
        std::sort(cuts.begin(), cuts.end());
        ASSERT_EQ(driven_apart(text, cuts, 400), expected)
            << text.size() << " bytes, cuts " << count;
      }
    }
  }
}

TEST(ShardCoordinator, RefusesChangesThatWouldMakeACountNegative) {
  ShardCoordinator coordinator;
  coordinator.add(TokenPair{1, 2}, 2);
  EXPECT_THROW(coordinator.add(TokenPair{1, 2}, -3), InternalFault);
  EXPECT_THROW(coordinator.add(TokenPair{3, 4}, -1), InternalFault);
}

}  // namespace
}  // namespace tokenizer
