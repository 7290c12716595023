// The shards' packed layout on texts that stress it: runs, every byte value, one pair
// repeated, DNA-like and unspaced script, shards long enough for the dense numbering of byte
// pairs; with room beyond the gap lists and without (every merge then lays them out anew),
// steps one by one and in batches, against the plain reference trainer.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "reference_bpe.hpp"
#include "tokenizer/train/shard.hpp"
#include "tokenizer/train/shard_coordinator.hpp"

namespace tokenizer {
namespace {

std::string dna_like(std::mt19937& rng, std::size_t size) {
  // Fresh bases and copies of earlier stretches with point mutations, in lines of 60 to 80.
  const char bases[] = "ACGT";
  std::string genome;
  while (genome.size() < size) {
    if (genome.size() > 200 && rng() % 2 == 0) {
      const std::size_t length = 20 + rng() % 180;
      std::string copy = genome.substr(rng() % (genome.size() - length), length);
      for (std::size_t k = 0; k < length / 30 + 1; ++k) copy[rng() % length] = bases[rng() % 4];
      genome += copy;
    } else {
      for (std::size_t k = 0, length = 10 + rng() % 90; k < length; ++k) genome += bases[rng() % 4];
    }
  }
  std::string text;
  for (std::size_t at = 0; text.size() < size; at += 70) text += genome.substr(at, 70) + "\n";
  return text.substr(0, size);
}

std::vector<std::pair<std::string, std::string>> stressing_texts() {
  std::mt19937 rng{77};
  std::string pair_repeated = "y";
  for (int k = 0; k < 701; ++k) pair_repeated += "xy";
  std::string all_bytes = reference::random_text(rng, reference::alphabets()[3], 3000);
  for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  std::string runs;
  for (int k = 1; k < 40; ++k) runs += std::string(k, 'a') + "b";
  return {
      {"run of 1", "a"},
      {"run of 999", std::string(999, 'a')},
      {"runs of growing length", runs},
      {"one pair repeated, odd ends", pair_repeated},
      {"all 256 byte values", all_bytes},
      {"DNA-like", dna_like(rng, 5000)},
      {"unspaced script", reference::unspaced_text(rng, 5000)},
      // Shards of this text are long enough to number their byte pairs through a dense table.
      {"long unspaced script", reference::unspaced_text(rng, 40000)},
  };
}

/// Trains with shards cut at `cuts`, driven through the values they ship, up to `limit` steps
/// per exchange with them.
std::vector<reference::Merge> sharded(std::string_view text, const std::vector<std::size_t>& cuts,
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
  std::vector<reference::Merge> merges;
  TokenId id = kFirstMergeId;
  while (id < vocab_size) {
    const std::vector<TokenPair> pairs =
        coordinator.most_common_pairs(std::min(limit, vocab_size - id));
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
    for (const TokenPair pair : pairs) merges.push_back({{pair.left, pair.right}, id++});
  }
  return merges;
}

class ShardLayout : public ::testing::TestWithParam<std::tuple<bool, std::size_t>> {
 protected:
  void SetUp() override { Shard::tight_lists_for_testing(std::get<0>(GetParam())); }
  void TearDown() override { Shard::tight_lists_for_testing(false); }
};

TEST_P(ShardLayout, LearnsWhatTheReferenceLearnsOnStressingTexts) {
  const std::size_t limit = std::get<1>(GetParam());
  std::mt19937 rng{404};
  for (const auto& [name, text] : stressing_texts()) {
    // To the end on the short texts: until one token is left or no pair occurs twice.
    const std::size_t vocab_size = 256 + std::min<std::size_t>(text.size(), 700);
    const std::vector<reference::Merge> expected = reference::train(text, vocab_size);
    for (std::size_t count : {1, 2, 4}) {
      std::vector<std::size_t> even;
      std::vector<std::size_t> random;
      for (std::size_t k = 1; k < count; ++k) {
        even.push_back(k * text.size() / count);
        random.push_back(rng() % (text.size() + 1));
      }
      std::sort(random.begin(), random.end());
      for (const auto& cuts : {even, random}) {
        ASSERT_EQ(sharded(text, cuts, vocab_size, limit), expected)
            << name << ", " << count << " shards, batches of " << limit;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RoomAndBatches, ShardLayout,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(std::size_t{1}, std::size_t{64})),
                         [](const auto& param_info) {
                           return std::string(std::get<0>(param_info.param) ? "Tight" : "Roomy") +
                                  "Batches" + std::to_string(std::get<1>(param_info.param));
                         });

}  // namespace
}  // namespace tokenizer
