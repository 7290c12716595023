#include "tokenizer/train/incremental_trainer.hpp"

#include <cstdint>

#include "tokenizer/support/memory_budget.hpp"
#include "tokenizer/train/trainer_engine.hpp"

namespace tokenizer {
namespace {

bool force_wide = false;
bool tight_lists = false;
TrainerLayout forced_layout = TrainerLayout::automatic;
std::size_t split_merges_from = IncrementalTrainer::kSplitMergesFrom;

// The linked layout's peak working memory per byte of text, above the text, with 32-bit
// positions: measured at 14-15 on 100-300 MB of shuffled lines to 32,768 merges, where the
// choice is made on a machine of a few gigabytes (21 at 10 MB, far below any budget); 20
// leaves a margin for texts of more varied pairs. Twice that with 64-bit positions.
constexpr std::uint64_t kLinkedBytesPerByte = 20;
constexpr std::uint64_t kLinkedNarrowLimit = (std::uint64_t{1} << 31) - 256;

}  // namespace

// Why 64 MiB (shuffled lines to 32,768 merges, one thread): the packed layout's speed grows
// with the text up to about 32-48 MB and stays flat from there (9.3-9.8 MB/s of CPU time at
// 32-100 MB on a loaded machine; 9.4 MB/s wall at 100 MB with a load of 2.5), about 0.7 of
// the linked one's; below, its fixed costs make it 0.6 of the linked speed, for 10-11 bytes
// per byte. From 64 MiB on its peak comes to about 8 bytes per byte (8.0 at 68 MB, 7.7 at
// 100 MB) against the linked layout's 16-17, more than a gigabyte there. With two or more
// threads the linked layout counts the text on the pool (at 100 MB: 6.0-6.7 s against the
// packed layout's 10.6 s): those callers asked for speed, and the budget still bounds their
// memory.
TrainerLayout IncrementalTrainer::choose_layout(std::size_t text_bytes, std::size_t budget,
                                                std::size_t num_threads) {
  if (num_threads < 2 && text_bytes >= kPackedFrom) return TrainerLayout::packed;
  const std::uint64_t bytes = text_bytes;
  const std::uint64_t per_byte =
      bytes < kLinkedNarrowLimit ? kLinkedBytesPerByte : 2 * kLinkedBytesPerByte;
  return bytes * per_byte <= budget ? TrainerLayout::linked : TrainerLayout::packed;
}

IncrementalTrainer::IncrementalTrainer(std::string_view text, std::size_t num_threads,
                                       const InterruptCheck& interrupt, TrainerLayout layout) {
  if (layout == TrainerLayout::automatic) layout = forced_layout;
  if (layout == TrainerLayout::automatic)
    layout = choose_layout(text.size(), memory_budget(), num_threads);
  layout_ = layout;
  if (layout == TrainerLayout::linked) {
    engine_ = make_linked_engine(text, num_threads, interrupt, force_wide, split_merges_from);
  } else {
    engine_ = make_packed_engine(text, interrupt, force_wide, tight_lists);
  }
}

IncrementalTrainer::~IncrementalTrainer() = default;

std::optional<TokenPair> IncrementalTrainer::most_common_pair() {
  return engine_->most_common_pair();
}

void IncrementalTrainer::merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt) {
  engine_->merge(pair, id, interrupt);
}

std::size_t IncrementalTrainer::size() const {
  return engine_->size();
}

void IncrementalTrainer::force_wide_for_testing(bool wide) {
  force_wide = wide;
}

void IncrementalTrainer::tight_lists_for_testing(bool tight) {
  tight_lists = tight;
}

void IncrementalTrainer::force_layout_for_testing(TrainerLayout layout) {
  forced_layout = layout;
}

void IncrementalTrainer::split_merges_from_for_testing(std::size_t occurrences) {
  split_merges_from = occurrences;
}

}  // namespace tokenizer
