// train: learning byte-pair merges from one text. Uses core and support; nothing in encode
// or io. Training ends here: it hands back a Model whose merges encode/ and io/ take up.
//
// Public face:
//   train.hpp                train, Training (this header): the entry of every training
//   incremental_trainer.hpp  IncrementalTrainer: counts once, then updates around each rewrite
//   shard.hpp, shard_coordinator.hpp
//                            Shard, ShardCoordinator: training on a cluster, a shard per range
// Detail:
//   trainer_engine.hpp       the trainer's two layouts behind one interface
//   linked_trainer.cpp       the linked layout (faster):
//     linked_tokens.hpp      the text as a linked list of tokens that merges rewrite in place
//     occurrence_lists.hpp   each pair's positions, in text order
//     merge_rewrite.hpp      one merge's rewrites and the count changes they make
//   packed_trainer.cpp       the packed layout (about half the memory), also the shards':
//     packed_tokens.hpp      one word per position, links across removed positions in place
//     gap_lists.hpp          each pair's positions as varint gaps
//     pair_table.hpp         pair records in blocks that never move
//   byte_pairs.hpp           the first count, of byte pairs (dense tables, chunks on the pool)
//   pair_heap.hpp            the pairs by count, in the order of the tie rule
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "tokenizer/core/model.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// Learns up to `vocab_size` - 256 merges from the UTF-8 bytes of `text`: replaces the
/// vocabulary by the 256 byte tokens, then per step takes the most frequent adjacent pair
/// (ties: the smallest (left, right)), gives it id 256 + step, records it in `merges` and
/// `vocab` and rewrites the sequence. Stops early, successfully, when no pair is left.
/// The steps update counts kept from one count of the text instead of recounting. The trainer's
/// layout follows the text's size, `num_threads` and the memory budget (IncrementalTrainer):
/// the faster one counts the text on the worker pool in `num_threads` chunks when
/// `num_threads` >= 2, the compact one on the calling thread; the result depends on neither.
/// Polls `interrupt` on the calling thread once per step and every million tokens within one.
/// Faults: "vocab_size must be at least 256" (nothing changed). Every step completed before a
/// failure (fault, std::bad_alloc, Interrupted) stays in `merges` and `vocab`; the failing
/// step changes neither.
void train(Model& tokenizer, std::string_view text, std::size_t vocab_size,
           const InterruptCheck& interrupt = {});

class IncrementalTrainer;

/// `train` in steps, for callers that report progress between them: the constructor does what
/// `train` does before its first merge (the fault, the byte vocabulary, the count of the text),
/// each `step` learns some of the merges. `tokenizer` must outlive the training; `text` need
/// not: the training keeps its own tokens from the constructor on.
class Training {
 public:
  Training(Model& tokenizer, std::string_view text, std::size_t vocab_size,
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
  /// Tokens in the text as rewritten by the merges learned so far: once the training is done,
  /// the length of the text's encoding by the learned merges.
  std::size_t tokens() const;

 private:
  Model& tokenizer_;
  std::unique_ptr<IncrementalTrainer> incremental_;
  std::size_t steps_ = 0;
  std::size_t learned_ = 0;
  std::size_t vocab_bytes_ = 0;
  std::size_t text_bytes_ = 0;
  bool done_ = false;
  bool broken_ = false;
};

}  // namespace tokenizer
