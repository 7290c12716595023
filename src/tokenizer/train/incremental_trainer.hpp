// IncrementalTrainer: finds training merges without recounting the sequence at every step.
//
// The text is counted once. Afterwards each merge visits only the occurrences of the merged
// pair (kept as position lists) and adjusts the counts of the pairs around each occurrence,
// so a whole training costs about O(n log n) instead of O(merges * n).
//
// Why the results equal those of recounting:
//  - counts are of adjacencies (overlapping occurrences count, as in a recount), and every
//    adjacency that a merge destroys or creates is decremented or incremented on the spot;
//  - occurrences are rewritten in increasing position order, checking each one against the
//    current sequence, which is exactly the greedy left-to-right rewrite;
//  - only pairs holding the new token gain occurrences, so each pair gains all its occurrences
//    in one step; a max-heap entry pushed at that moment is an upper bound of its count ever
//    after, and a popped entry whose count is stale is pushed again with the current count.
//    The top entry whose count is current is therefore the true maximum; ties go to the
//    smallest (left, right).
//
// Two layouts of the trainer's memory give the same merges: `linked` (two words per position,
// 4-byte position lists; faster, counts the text on the worker pool) and `packed` (one word
// per position, varint gap lists; about half the memory, on the calling thread alone). One
// thread takes the packed layout from 64 MiB of text on, where it runs at its full speed and
// the linked layout's memory (16-20 bytes per byte) starts to count; two or more threads keep
// the linked layout, the one that uses them. Either way the linked one only while its
// estimated peak fits the memory budget.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

class TrainerEngine;

/// How the trainer lays out its working memory.
enum class TrainerLayout {
  automatic,  ///< by text size, threads and memory budget (IncrementalTrainer::choose_layout)
  linked,     ///< two words per position and 4-byte position lists: the faster
  packed,     ///< one word per position and varint gap lists: about half the memory
};

/// Learns merges on one text. Ties between pairs of equal count go to the smallest pair by
/// (left, right), the same rule as `most_common_pair`.
class IncrementalTrainer {
 public:
  /// Counts the text's adjacent pairs and lists where each starts. The linked layout counts in
  /// chunks of floor(n / num_threads) bytes on the worker pool when `num_threads` is 2 or more
  /// and the text has at least that many bytes; the packed one on the calling thread. Polls
  /// `interrupt` on the calling thread. Keeps no view of `text`: the caller may free it once
  /// the constructor returns.
  IncrementalTrainer(std::string_view text, std::size_t num_threads,
                     const InterruptCheck& interrupt = {},
                     TrainerLayout layout = TrainerLayout::automatic);
  ~IncrementalTrainer();
  IncrementalTrainer(const IncrementalTrainer&) = delete;
  IncrementalTrainer& operator=(const IncrementalTrainer&) = delete;

  /// The pair with the highest count in the current sequence, or none when it holds fewer
  /// than two tokens.
  std::optional<TokenPair> most_common_pair();

  /// Rewrites every non-overlapping occurrence of `pair` (greedy from the left) as `id`.
  /// `pair` must be the result of the last most_common_pair(); `id` must be new.
  void merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt = {});

  /// Number of tokens in the current sequence.
  std::size_t size() const;

  /// The layout this trainer took: linked or packed.
  TrainerLayout layout() const { return layout_; }

  /// From this many bytes of text on, a training on one thread takes the packed layout
  /// whatever the budget.
  static constexpr std::size_t kPackedFrom = std::size_t{64} << 20;

  /// On two or more threads, the linked layout rewrites the merges of this many occurrences or
  /// more in parts on the worker pool; shorter ones are not worth waking it.
  static constexpr std::size_t kSplitMergesFrom = std::size_t{1} << 15;

  /// The layout `automatic` takes for a text of `text_bytes` bytes within a memory budget of
  /// `budget` bytes: packed when `num_threads` is 0 or 1 and the text has kPackedFrom bytes or
  /// more; otherwise linked when its estimated peak above the text fits the budget, else packed.
  static TrainerLayout choose_layout(std::size_t text_bytes, std::size_t budget,
                                     std::size_t num_threads);

  /// Uses 64-bit positions and ids even for short texts (to test the wide variant).
  static void force_wide_for_testing(bool wide);
  /// Leaves no room beyond the packed layout's position lists, so that they are laid out anew
  /// at almost every merge (to test that path).
  static void tight_lists_for_testing(bool tight);
  /// Makes `automatic` take `layout` whatever the text (automatic: the budget decides again),
  /// so that tests of `train` cover either layout.
  static void force_layout_for_testing(TrainerLayout layout);
  /// Makes the linked layout rewrite merges of `occurrences` or more in parts on two or more
  /// threads (at least 2; kSplitMergesFrom restores the default).
  static void split_merges_from_for_testing(std::size_t occurrences);

 private:
  std::unique_ptr<TrainerEngine> engine_;
  TrainerLayout layout_;
};

}  // namespace tokenizer
