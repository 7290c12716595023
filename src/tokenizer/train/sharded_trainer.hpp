// ShardedTrainer: learns the same merges as IncrementalTrainer with the text cut into shards
// that can be rewritten side by side.
//
// The shards (shard.hpp) hold the text's tokens, cut at byte ranges; the coordinator
// (shard_coordinator.hpp) holds the counts and the heap and tells the shards their roles at
// the cuts each step. This trainer holds both in one process and runs the shards' work on a
// team of threads kept for its lifetime (step_team.hpp).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer::basic {

class ShardedTrainer {
 public:
  /// Cuts `text` into `shards` byte ranges, at least one (shard k starts at byte
  /// floor(k * n / shards), so cuts fall anywhere, inside characters and runs, and short texts
  /// give empty shards) and counts them. The shards' work runs on `num_threads` threads (the
  /// calling one and min(num_threads, shards) - 1 helpers) when `num_threads` is 2 or more,
  /// else on the calling thread. Texts of Shard::kLongest bytes or more are refused with
  /// std::bad_alloc, as are texts whose state would exceed the memory budget.
  ShardedTrainer(std::string_view text, std::size_t shards, std::size_t num_threads,
                 const InterruptCheck& interrupt = {});
  ~ShardedTrainer();
  ShardedTrainer(const ShardedTrainer&) = delete;
  ShardedTrainer& operator=(const ShardedTrainer&) = delete;

  /// The pair with the highest count in the current sequence (the smallest among equals), or
  /// none when it holds fewer than two tokens.
  std::optional<TokenPair> most_common_pair();

  /// Rewrites every non-overlapping occurrence of `pair` (greedy from the left) as `id`.
  /// `pair` must be the result of the last most_common_pair(); `id` must be new. After it
  /// throws (an interruption included) the trainer must not be used again.
  void merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt = {});

  /// Number of tokens in the current sequence.
  std::size_t size() const;

 private:
  class State;
  std::unique_ptr<State> state_;
};

}  // namespace tokenizer::basic
