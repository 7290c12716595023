// A fixture that runs a test once per layout of the incremental trainer (and per width of its
// positions, and for the packed layout with and without room beyond its lists), through the
// trainer's test hooks, so that `IncrementalTrainer{text, n}` and `train` take that layout.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reference_bpe.hpp"
#include "tokenizer/train/incremental_trainer.hpp"

namespace tokenizer {

struct TrainerConfig {
  TrainerLayout layout;
  bool wide;
  bool tight;
  const char* name;
};

class EachLayout : public ::testing::TestWithParam<TrainerConfig> {
 protected:
  void SetUp() override {
    IncrementalTrainer::force_layout_for_testing(GetParam().layout);
    IncrementalTrainer::force_wide_for_testing(GetParam().wide);
    IncrementalTrainer::tight_lists_for_testing(GetParam().tight);
  }
  void TearDown() override {
    IncrementalTrainer::force_layout_for_testing(TrainerLayout::automatic);
    IncrementalTrainer::force_wide_for_testing(false);
    IncrementalTrainer::tight_lists_for_testing(false);
  }
};

inline std::vector<TrainerConfig> every_layout() {
  return {{TrainerLayout::linked, false, false, "LinkedNarrow"},
          {TrainerLayout::linked, true, false, "LinkedWide"},
          {TrainerLayout::packed, false, false, "PackedNarrowRoomy"},
          {TrainerLayout::packed, false, true, "PackedNarrowTight"},
          {TrainerLayout::packed, true, false, "PackedWideRoomy"},
          {TrainerLayout::packed, true, true, "PackedWideTight"}};
}

/// Two configurations, one per layout, for the slower tests.
inline std::vector<TrainerConfig> both_layouts() {
  return {{TrainerLayout::linked, false, false, "Linked"},
          {TrainerLayout::packed, false, false, "Packed"}};
}

inline std::string config_name(const ::testing::TestParamInfo<TrainerConfig>& info) {
  return info.param.name;
}

/// The merges an IncrementalTrainer learns on `text`, up to `vocab_size`.
inline std::vector<reference::Merge> learn(std::string_view text, std::size_t vocab_size,
                                           std::size_t num_threads = 1) {
  IncrementalTrainer trainer{text, num_threads};
  std::vector<reference::Merge> merges;
  for (TokenId id = kFirstMergeId; id < vocab_size; ++id) {
    std::optional<TokenPair> pair = trainer.most_common_pair();
    if (!pair) break;
    trainer.merge(*pair, id);
    merges.push_back({{pair->left, pair->right}, id});
  }
  return merges;
}

}  // namespace tokenizer
