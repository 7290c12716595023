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
#include "shard_driving.hpp"
#include "tokenizer/train/shard.hpp"

namespace tokenizer {
namespace {

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
      {"DNA-like", reference::dna_like(rng, 5000)},
      {"unspaced script", reference::unspaced_text(rng, 5000)},
      // Shards of this text are long enough to number their byte pairs through a dense table.
      {"long unspaced script", reference::unspaced_text(rng, 40000)},
  };
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
        ASSERT_EQ(driven_in_batches(text, cuts, vocab_size, limit).merges, expected)
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
