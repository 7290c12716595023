// The sharded trainer against the plain reference trainer and the incremental trainer: cuts
// inside characters and runs, more shards than bytes, and shards rewritten on the pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "corpora.hpp"
#include "reference_bpe.hpp"
#include "tokenizer/train/incremental_trainer.hpp"
#include "tokenizer/train/shard.hpp"
#include "tokenizer/train/shard_coordinator.hpp"
#include "tokenizer/train/sharded_trainer.hpp"

namespace tokenizer::basic {
namespace {

const std::size_t kShardCounts[] = {1, 2, 3, 4, 7, 16, 64};

/// The merges a trainer learns, and the sequence length after each.
template <class Trainer>
std::pair<std::vector<reference::Merge>, std::vector<std::size_t>> run(Trainer& trainer,
                                                                       std::size_t vocab_size) {
  std::vector<reference::Merge> merges;
  std::vector<std::size_t> sizes;
  for (TokenId id = kFirstMergeId; id < vocab_size; ++id) {
    std::optional<TokenPair> pair = trainer.most_common_pair();
    if (!pair) break;
    trainer.merge(*pair, id);
    merges.push_back({{pair->left, pair->right}, id});
    sizes.push_back(trainer.size());
  }
  return {merges, sizes};
}

std::vector<reference::Merge> sharded(std::string_view text, std::size_t vocab_size,
                                      std::size_t shards, std::size_t num_threads = 1) {
  ShardedTrainer trainer{text, shards, num_threads};
  return run(trainer, vocab_size).first;
}

/// Every shard count learns what the incremental trainer learns, merge for merge, and keeps
/// the same sequence length after each merge.
void expect_same_as_incremental(std::string_view text, std::size_t vocab_size,
                                std::size_t num_threads = 1) {
  IncrementalTrainer plain{text, 1};
  const auto expected = run(plain, vocab_size);
  for (std::size_t shards : kShardCounts) {
    ShardedTrainer trainer{text, shards, num_threads};
    const auto got = run(trainer, vocab_size);
    ASSERT_EQ(got.first, expected.first) << shards << " shards, " << text.size() << " bytes";
    ASSERT_EQ(got.second, expected.second) << shards << " shards, " << text.size() << " bytes";
  }
}

TEST(ShardedTrainer, LearnsWhatRecountingLearnsOnRandomTexts) {
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

TEST(ShardedTrainer, TakesRunsAcrossCutsFromTheLeft) {
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

TEST(ShardedTrainer, EndsWhenOneTokenIsLeft) {
  for (const std::string& text : {std::string{}, std::string{"x"}, std::string{"xy"}}) {
    for (std::size_t shards : kShardCounts) {
      ShardedTrainer trainer{text, shards, 1};
      for (std::size_t step = 0; step < 3; ++step) {
        std::optional<TokenPair> pair = trainer.most_common_pair();
        if (!pair) break;
        trainer.merge(*pair, kFirstMergeId + step);
      }
      EXPECT_EQ(trainer.most_common_pair(), std::nullopt);
      EXPECT_EQ(trainer.size(), text.empty() ? 0u : 1u);
    }
  }
}

TEST(ShardedTrainer, RewritingShardsOnThePoolChangesNothing) {
  std::mt19937 rng{77};
  const std::string text = reference::random_text(rng, reference::alphabets()[2], 6000);
  const auto expected = sharded(text, 900, 1);
  for (std::size_t threads : {2, 3, 8}) {
    for (std::size_t shards : kShardCounts) {
      EXPECT_EQ(sharded(text, 900, shards, threads), expected) << shards << " shards";
    }
  }
}

TEST(ShardedTrainer, LearnsWhatTheIncrementalTrainerLearnsOnRealText) {
  for (const char* name : {"gutenberg_00011_alice_in_wonderland.txt",
                           "udhr_sample_25_languages.txt", "code_python_stdlib.txt"}) {
    std::ifstream file{corpora_dir() / name};
    if (!file) {
      GTEST_SKIP() << "no corpora at " << corpora_dir() << " (PAIRLOOM_CORPORA names them)";
    }
    std::stringstream content;
    content << file.rdbuf();
    expect_same_as_incremental(content.str().substr(0, 150000), 1500, 2);
  }
}

TEST(ShardedTrainer, StopsWhenInterrupted) {
  struct Counter {
    std::size_t polls = 0;
    std::size_t stop_at = 0;
    static bool poll(void* self) {
      auto& counter = *static_cast<Counter*>(self);
      return ++counter.polls >= counter.stop_at;
    }
  };
  std::mt19937 rng{3};
  const std::string text = reference::random_text(rng, reference::alphabets()[0], 400000);
  for (std::size_t threads : {1, 2}) {
    // During the count, and during a merge rewriting many occurrences.
    Counter early{0, 1};
    EXPECT_THROW((ShardedTrainer{text, 4, threads, InterruptCheck{&Counter::poll, &early}}),
                 Interrupted);
    ShardedTrainer trainer{text, 4, threads};
    std::optional<TokenPair> pair = trainer.most_common_pair();
    ASSERT_TRUE(pair);
    Counter late{0, 1};
    EXPECT_THROW(trainer.merge(*pair, kFirstMergeId, InterruptCheck{&Counter::poll, &late}),
                 Interrupted);
  }
}

/// Trains with shards cut at `cuts` (byte offsets, increasing), each driven only through the
/// values a remote shard would ship: its deltas, its edges and its role.
std::vector<reference::Merge> driven_apart(std::string_view text,
                                           const std::vector<std::size_t>& cuts,
                                           std::size_t vocab_size) {
  std::vector<Shard> shards;
  std::size_t begin = 0;
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    const std::size_t end = k < cuts.size() ? cuts[k] : text.size();
    shards.emplace_back(text.substr(begin, end - begin));
    begin = end;
  }
  ShardCoordinator coordinator;
  auto collect = [&] {
    std::vector<ShardEdges> edges;
    for (Shard& shard : shards) {
      const std::vector<PairDelta> deltas = shard.take_deltas();
      coordinator.add(deltas);
      edges.push_back(shard.edges());
    }
    coordinator.set_edges(edges);
  };
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
}  // namespace tokenizer::basic
