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
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer::basic {

/// Learns merges on one text. Ties between pairs of equal count go to the smallest pair by
/// (left, right), the same rule as `most_common_pair`.
class IncrementalTrainer {
 public:
  /// Counts the text's adjacent pairs and lists where each starts, on the calling thread (the
  /// count is a small part of a training; `num_threads` changes nothing). Polls `interrupt`.
  IncrementalTrainer(std::string_view text, std::size_t num_threads,
                     const InterruptCheck& interrupt = {});
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

  /// Uses 64-bit positions and ids even for short texts (to test the wide variant).
  static void force_wide_for_testing(bool wide);
  /// Leaves no room beyond the position lists, so that they are laid out anew at almost every
  /// merge (to test that path).
  static void tight_lists_for_testing(bool tight);

 private:
  class Engine;
  template <class Index>
  class Impl;
  std::unique_ptr<Engine> engine_;
};

}  // namespace tokenizer::basic
