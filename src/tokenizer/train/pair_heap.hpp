// PairHeap: a trainer's candidate pairs by number, ordered by training's tie rule.
#pragma once

#include <algorithm>
#include <vector>

#include "tokenizer/core/merge_rules.hpp"
#include "tokenizer/core/pair_counts.hpp"
#include "tokenizer/core/types.hpp"
#include "tokenizer/train/occurrence_lists.hpp"

namespace tokenizer {

/// Entries of pair numbers with the count each had when it entered; the top is the entry
/// that `outranks` the rest. The pairs themselves are looked up by number in the records the
/// caller passes (any records with `left` and `right`), which must not change while an entry
/// holds their number. Counts may fall after an entry entered: the caller compares the top's
/// count with the current one.
template <class Index, class Pairs = std::vector<PairRecord<Index>>>
class PairHeap {
 public:
  struct Entry {
    Index count;
    Index number;
  };

  bool empty() const { return entries_.empty(); }
  const Entry& top() const { return entries_.front(); }

  /// Adds an entry out of order; order() then makes the heap again.
  void add(Index count, Index number) { entries_.push_back(Entry{count, number}); }
  void order(const Pairs& pairs) { std::make_heap(entries_.begin(), entries_.end(), below(pairs)); }

  void push(Index count, Index number, const Pairs& pairs) {
    entries_.push_back(Entry{count, number});
    std::push_heap(entries_.begin(), entries_.end(), below(pairs));
  }
  /// Removes the top entry; its number.
  Index pop(const Pairs& pairs) {
    std::pop_heap(entries_.begin(), entries_.end(), below(pairs));
    const Index number = entries_.back().number;
    entries_.pop_back();
    return number;
  }

 private:
  /// The heap's order: a below b when b outranks a.
  static auto below(const Pairs& pairs) {
    return [&pairs](const Entry& a, const Entry& b) {
      return outranks(candidate(pairs, b), candidate(pairs, a));
    };
  }
  static PairCandidate candidate(const Pairs& pairs, const Entry& entry) {
    const auto& pair = pairs[entry.number];
    return {{static_cast<TokenId>(pair.left), static_cast<TokenId>(pair.right)},
            static_cast<PairCount>(entry.count)};
  }

  std::vector<Entry> entries_;
};

}  // namespace tokenizer
