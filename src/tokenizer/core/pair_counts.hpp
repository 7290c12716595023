// Token sequences and their adjacent pairs, as training and encoding both work on them:
// counting the pairs of a sequence, choosing the most common, and merging a pair in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// A working sequence of tokens. It never holds `kNoToken`, which `merge_pair` uses as its
/// removal marker.
using TokenSequence = std::vector<TokenId>;

/// How often a pair occurs. 64 bits wide on every platform: a text of more than 2^31 bytes can
/// hold one pair more often than a 32-bit count can say.
using PairCount = std::int64_t;

/// The sequence of byte tokens of `text`: one id 0..255 per UTF-8 byte, in order.
TokenSequence byte_sequence(std::string_view text);

/// Occurrence counts of adjacent pairs: an open-addressing table with linear probing, keyed at
/// random per instance, so its traversal order differs between instances and runs; probing
/// is bounded as in FlatMap. Pairs holding `kNoToken` cannot be stored (a left id of
/// `kNoToken` marks a free slot).
class PairCounts {
 public:
  PairCounts();
  /// A table under a fixed key, for tests that need to know where pairs land.
  explicit PairCounts(std::uint64_t key) : key_{key} {}

  /// Number of distinct pairs held.
  std::size_t size() const { return size_; }
  /// True when no pair is held.
  bool empty() const { return size_ == 0; }

  /// Adds `count` to the pair's count, creating the entry at 0 when the pair is absent.
  void add(TokenPair pair, PairCount count = 1);
  /// The pair's count; 0 when the pair is absent.
  PairCount count(TokenPair pair) const;
  /// Removes every entry and keeps the storage, so refilling a table of the same size does
  /// not allocate.
  void clear();
  /// Makes room for `pairs` distinct pairs without growing again.
  void reserve(std::size_t pairs);

  /// Slots that finding every entry once would look at.
  std::size_t probes_to_find_all() const { return size_ + displaced_; }

  /// Calls `visit(pair, count)` for every entry, in the table's own (random) order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    if (size_ == 0) return;
    for (const Slot& slot : slots_) {
      if (slot.pair.left != kNoToken) visit(slot.pair, slot.count);
    }
  }

 private:
  struct Slot {
    TokenPair pair{kNoToken, kNoToken};
    PairCount count = 0;
  };

  std::size_t home(TokenPair pair) const;
  void grow(std::size_t capacity, std::uint64_t key);

  std::uint64_t key_;
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::size_t displaced_ = 0;  // slots between each entry and its home, summed
};

/// Adds 1 to `counts` for every adjacent pair (sequence[k], sequence[k+1]); adds nothing for
/// fewer than two tokens. Polls `interrupt` paced by the tokens counted; when it throws,
/// `counts` holds a partial count.
void count_pairs(std::span<const TokenId> sequence, PairCounts& counts,
                 const InterruptCheck& interrupt = {});

/// The entry that `outranks` every other one, or none for an empty table.
std::optional<TokenPair> most_common_pair(const PairCounts& counts);

/// Rewrites every occurrence of `pair` as `new_id`, greedily from the left and without
/// overlap (with a == b, three a become new_id, a). Works in place: a first pass writes
/// new_id and a removal marker (`kNoToken`) over each occurrence, a second drops the markers;
/// the storage is kept. Polls `interrupt` paced by the tokens passed; when it throws, the
/// sequence is left part-way rewritten and the caller must discard it.
void merge_pair(TokenSequence& sequence, TokenPair pair, TokenId new_id,
                const InterruptCheck& interrupt = {});

}  // namespace tokenizer
