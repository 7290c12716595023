// The coordinator's batches of steps: shards held apart, driven through the values they ship,
// several steps per exchange, learn what one sequence rewritten step by step learns.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "reference_bpe.hpp"
#include "tokenizer/train/shard.hpp"
#include "tokenizer/train/shard_coordinator.hpp"

namespace tokenizer {
namespace {

struct Batched {
  std::vector<reference::Merge> merges;
  std::size_t exchanges = 0;
};

/// Trains with shards cut at `cuts`, taking up to `limit` steps per exchange with the shards.
Batched driven_in_batches(std::string_view text, const std::vector<std::size_t>& cuts,
                          std::size_t vocab_size, std::size_t limit) {
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
      coordinator.add(shard.take_deltas());
      edges.push_back(shard.edges());
    }
    coordinator.set_edges(edges);
  };
  collect();
  Batched out;
  TokenId id = kFirstMergeId;
  while (id < vocab_size) {
    std::vector<TokenPair> pairs = coordinator.most_common_pairs(std::min(limit, vocab_size - id));
    if (pairs.empty()) break;
    const std::vector<ShardRole> roles = coordinator.plan(pairs.front());
    for (std::size_t k = 0; k < shards.size(); ++k) {
      for (std::size_t step = 0; step < pairs.size(); ++step) {
        const ShardRole role = step == 0 ? roles[k] : ShardRole{};
        shards[k].merge(pairs[step], id + step, role.first_taken, role.takes_next);
      }
    }
    collect();
    coordinator.finish_steps(pairs);
    for (const TokenPair pair : pairs) out.merges.push_back({{pair.left, pair.right}, id++});
    ++out.exchanges;
  }
  return out;
}

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
