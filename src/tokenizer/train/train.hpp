// Training: learning byte-pair merges from one text.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "tokenizer/core/state.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer::basic {

/// Learns up to `vocab_size` - 256 merges from the UTF-8 bytes of `text`: replaces the
/// vocabulary by the 256 byte tokens, then per step takes the most frequent adjacent pair
/// (ties: the smallest (left, right)), gives it id 256 + step, records it in `merges` and
/// `vocab` and rewrites the sequence. Stops early, successfully, when no pair is left.
/// The steps update counts kept from one count of the text instead of recounting, all on the
/// calling thread; the result does not depend on `num_threads`. Polls `interrupt` on the
/// calling thread once per step and every million tokens within one.
/// Faults: "vocab_size must be at least 256" (nothing changed). Every step completed before a
/// failure (fault, std::bad_alloc, Interrupted) stays in `merges` and `vocab`; the failing
/// step changes neither.
void train(Tokenizer& tokenizer, std::string_view text, std::size_t vocab_size,
           const InterruptCheck& interrupt = {});

class IncrementalTrainer;
class ShardedTrainer;

/// `train` in steps, for callers that report progress between them: the constructor does what
/// `train` does before its first merge (the fault, the byte vocabulary, the count of the text),
/// each `step` learns some of the merges. `tokenizer` must outlive the training.
class Training {
 public:
  Training(Tokenizer& tokenizer, std::string_view text, std::size_t vocab_size,
           const InterruptCheck& interrupt = {});
  ~Training();
  Training(const Training&) = delete;
  Training& operator=(const Training&) = delete;

  /// Learns up to `max_merges` more merges and returns how many it learned: fewer only when the
  /// training is done (all `vocab_size` - 256 merges learned, or no pair left). Polls
  /// `interrupt` as `train` does. A failure (an interruption included) leaves every merge
  /// learned before it recorded; after one that came in the middle of a merge, `broken()`
  /// holds and `step` raises a fault.
  std::size_t step(std::size_t max_merges, const InterruptCheck& interrupt = {});

  /// Merges learned so far.
  std::size_t learned() const { return learned_; }
  /// True once no further step can learn a merge.
  bool done() const { return done_; }
  /// True after a step failed half way through a merge: the counts are lost.
  bool broken() const { return broken_; }

 private:
  Tokenizer& tokenizer_;
  // One of the two, as `train` would choose.
  std::unique_ptr<IncrementalTrainer> incremental_;
  std::unique_ptr<ShardedTrainer> sharded_;
  std::size_t steps_ = 0;
  std::size_t learned_ = 0;
  std::size_t vocab_bytes_ = 0;
  bool done_ = false;
  bool broken_ = false;
};

}  // namespace tokenizer::basic
