// The coordinator's batches of steps: shards held apart, driven through the values they ship,
// several steps per exchange, learn what one sequence rewritten step by step learns.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "reference_bpe.hpp"
#include "shard_driving.hpp"

namespace tokenizer {
namespace {

TEST(ShardBatches, StepsInBatchesLearnWhatStepsOneByOneLearn) {
  std::mt19937 rng{23};
  for (const auto& alphabet : reference::alphabets()) {
    for (std::size_t pieces : {0, 5, 300, 1500}) {
      const std::string text = reference::random_text(rng, alphabet, pieces) + "aaaaaaa";
      const auto expected = reference::train(text, 500);
      for (std::size_t count : {1, 2, 5, 13}) {
        std::vector<std::size_t> cuts;
        for (std::size_t k = 0; k + 1 < count; ++k) cuts.push_back(rng() % (text.size() + 1));
        std::sort(cuts.begin(), cuts.end());
        for (std::size_t limit : {1, 2, 64}) {
          const Batched got = driven_in_batches(text, cuts, 500, limit);
          ASSERT_EQ(got.merges, expected)
              << text.size() << " bytes, " << count << " shards, batches of " << limit;
          if (limit == 1) {
            EXPECT_EQ(got.exchanges, got.merges.size());
          }
        }
      }
    }
  }
}

TEST(ShardBatches, RefusesToEndStepsItDidNotChoose) {
  ShardCoordinator coordinator;
  Shard shard{"abababab cdcdcd"};
  coordinator.add(shard.take_deltas());
  coordinator.set_edges(std::vector<ShardEdges>{shard.edges()});
  const std::vector<TokenPair> pairs = coordinator.most_common_pairs(8);
  ASSERT_FALSE(pairs.empty());
  const std::vector<TokenPair> other{TokenPair{'x', 'y'}};
  EXPECT_THROW(coordinator.finish_steps(other), InternalFault);
}

}  // namespace
}  // namespace tokenizer
