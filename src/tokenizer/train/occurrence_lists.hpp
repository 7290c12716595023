// OccurrenceLists: per pair of a trainer's sequence, the positions where it starts, all lists
// in one arena.
#pragma once

#include <cstddef>
#include <vector>

#include "tokenizer/support/huge_page_allocator.hpp"
#include "tokenizer/train/linked_tokens.hpp"

namespace tokenizer {

/// A pair of tokens known by number, and where its list lies in the arena.
template <class Index>
struct PairRecord {
  Index left;  // kNone while the number is free
  Index right;
  Index list_size;  // entries of this pair in the lists
  Index list_at;    // where they start
};

/// Gives pair (left, right), with no occurrence yet, a number from `free`, the numbers of
/// pairs that no longer occur; kNone when there is none.
template <class Index>
Index reuse_number(std::vector<Index>& free, std::vector<PairRecord<Index>>& pairs,
                   std::vector<Index>& counts, Index left, Index right) {
  if (free.empty()) return LinkedTokens<Index>::kNone;
  const Index number = free.back();
  free.pop_back();
  pairs[number] = PairRecord<Index>{left, right, 0, 0};
  counts[number] = 0;
  return number;
}

/// Puts the number of a pair that no longer occurs into `free`, unless it is free already.
template <class Index>
void release_number(std::vector<Index>& free, std::vector<PairRecord<Index>>& pairs,
                    std::vector<Index>& counts, Index number) {
  constexpr Index kNone = LinkedTokens<Index>::kNone;
  if (pairs[number].left == kNone) return;
  pairs[number] = PairRecord<Index>{kNone, kNone, 0, 0};
  counts[number] = 0;
  free.push_back(number);
}

/// A pair a merge made start at a position, waiting to be filed.
template <class Index>
struct GainedPair {
  Index number;    // the pair gained
  Index position;  // where it starts
};

/// Per pair, its positions in increasing order; entries go stale as rewrites change the pair
/// a position starts. The arena's capacity is fixed when it is laid out; when full, the lists
/// are rebuilt from the sequence, which drops every stale entry.
template <class Index>
class OccurrenceLists {
 public:
  using Pairs = std::vector<PairRecord<Index>>;

  /// Room for the lists of a text of n positions, with a quarter more for the merges' lists.
  void reserve_for(std::size_t n) {
    capacity_ = n + n / 4 + 1024;
    entries_.reserve(capacity_);
  }
  /// Where the next list opened starts.
  std::size_t size() const { return entries_.size(); }
  /// Appends `count` unset entries for a new list.
  void open(std::size_t count) { entries_.resize(entries_.size() + count); }

  Index& operator[](std::size_t k) { return entries_[k]; }
  Index operator[](std::size_t k) const { return entries_[k]; }
  const Index* data() const { return entries_.data(); }
  Index* data() { return entries_.data(); }

  /// Appends `position` to the list of `pair`.
  void file(PairRecord<Index>& pair, Index position) {
    entries_[pair.list_at + pair.list_size++] = position;
  }

  /// Gives the pairs `created` by a merge their lists, sized by `counts`: in [spare,
  /// spare_end), the list of the pair just merged, while a list fits there (there is room for
  /// at least half of them, as every rewrite gains at most two pairs), else after the last
  /// list; then files the merge's `gained` positions. False, with nothing filed, when the
  /// arena is full: the caller then rebuilds the lists.
  bool place(Pairs& pairs, const std::vector<Index>& counts, const std::vector<Index>& created,
             const GainedPair<Index>* gained, std::size_t gained_count, std::size_t spare,
             std::size_t spare_end) {
    if (!lay_out(pairs, counts, created, spare, spare_end)) return false;
    for (std::size_t g = 0; g < gained_count; ++g)
      file(pairs[gained[g].number], gained[g].position);
    return true;
  }

  /// place() without the filing: the pairs `created` get their lists, empty, for the caller
  /// to fill (data() + list_at on) and size.
  bool lay_out(Pairs& pairs, const std::vector<Index>& counts, const std::vector<Index>& created,
               std::size_t spare, std::size_t spare_end) {
    std::size_t at = entries_.size();
    for (Index number : created) {
      const std::size_t count = counts[number];
      if (count <= spare_end - spare) {
        pairs[number].list_at = static_cast<Index>(spare);
        spare += count;
      } else {
        pairs[number].list_at = static_cast<Index>(at);
        at += count;
      }
    }
    if (at > capacity_) return false;
    entries_.resize(at);
    return true;
  }

  /// Lays the lists out anew from `sequence`, walked from live position `first` (kNone when
  /// empty), calling `poll()` at each position. The counts are exact, so the lists are laid
  /// out first; walking the sequence in order keeps each list sorted.
  template <class Poll>
  void rebuild(Pairs& pairs, const std::vector<Index>& counts, const LinkedTokens<Index>& sequence,
               Index first, Poll&& poll) {
    std::size_t at = 0;
    for (std::size_t number = 0; number < pairs.size(); ++number) {
      pairs[number].list_at = static_cast<Index>(at);
      pairs[number].list_size = 0;
      at += counts[number];
    }
    entries_.resize(at);
    for (Index i = first; i != LinkedTokens<Index>::kNone; i = sequence.next(i)) {
      poll();
      const Index number = sequence[i].pair;
      if (number == LinkedTokens<Index>::kNone) continue;
      file(pairs[number], i);
    }
  }

 private:
  std::vector<Index, Uninitialised<Index>> entries_;
  std::size_t capacity_ = 0;
};

}  // namespace tokenizer
