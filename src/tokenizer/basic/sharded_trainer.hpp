// ShardedTrainer: learns the same merges as IncrementalTrainer with the text cut into shards
// that can be rewritten side by side.
//
// Each shard holds the tokens of one byte range of the text, the position lists of the pairs
// that lie wholly inside it, and the count changes its rewrites cause in one step. The
// coordinator holds the global counts and the pair heap (highest count, then the smallest
// (left, right)), and the pairs across cuts: between the last live token of one non-empty
// shard and the first of the next.
//
// Why the merges equal those of one sequence rewritten greedily from the left:
//  - a rewrite of (a, b) only depends on what lies to its left through the token just before
//    it: whether that token is an `a` not yet taken by a rewrite. Before each step the
//    coordinator walks the shards in order and works out, for each, whether its first token
//    is taken by the last token of the non-empty shard before it. When a != b any `a` is
//    free; when a == b a run of `a` ending a shard leaves its last token free when the run,
//    less a first token taken from the left, has odd length;
//  - a shard whose first token is taken drops it before rewriting its own occurrences, in
//    increasing position order; a shard whose last token takes the next shard's first one
//    turns it into the new token after them. Each shard thus rewrites in the order one
//    sequence would, and shards touch only their own state;
//  - counts are of adjacencies: each shard reports the changes around its rewrites, and the
//    coordinator recounts the pairs across cuts after the step.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "tokenizer/basic/error.hpp"
#include "tokenizer/basic/types.hpp"

namespace tokenizer::basic {

class ShardedTrainer {
 public:
  /// Cuts `text` into `shards` byte ranges, at least one (shard k starts at byte
  /// floor(k * n / shards), so cuts fall anywhere, inside characters and runs, and short texts
  /// give empty shards) and counts them. The shards' work runs on the worker pool when
  /// `num_threads` is 2 or more, else on the calling thread. Texts of 2^32 - 256 bytes or more are
  /// refused with std::bad_alloc, as are texts whose state would exceed the memory budget.
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
  class Shard;
  class Coordinator;
  std::unique_ptr<Coordinator> coordinator_;
};

}  // namespace tokenizer::basic
