// MergeRewrite: one merge's rewrites of a trainer's LinkedTokens, and the pairs they make.
#pragma once

#include <cstddef>
#include <vector>

#include "tokenizer/support/huge_page_allocator.hpp"
#include "tokenizer/train/linked_tokens.hpp"
#include "tokenizer/train/occurrence_lists.hpp"

namespace tokenizer {

/// The state of a merge creating token z, over positions and ids of type Index, for a trainer
/// (the Owner, which befriends this class) holding `nodes_` (a LinkedTokens), `counts_` (per
/// pair number, its occurrences), `lose(number)` (one occurrence of a pair fewer) and
/// `new_pair(left, right)` (a number for a pair with no occurrence yet).
///
/// Pairs made by the merge are found through two small tables indexed by their other token:
/// with_left[x] numbers the pair (x, z), with_right[y] the pair (z, y); kNone when not made
/// yet. Every pair gained is recorded with its position, for the owner to file.
template <class Index>
class MergeRewrite {
 public:
  using Sequence = LinkedTokens<Index>;
  using Gained = GainedPair<Index>;
  static constexpr Index kNone = Sequence::kNone;

  /// Starts the merge creating `id`, which gains at most `gains` pairs (two per rewrite).
  /// Every token in the sequence is below `id`.
  void start(Index id, std::size_t gains) {
    if (with_left_.size() <= id) {
      with_left_.resize(static_cast<std::size_t>(id) + 1, kNone);
      with_right_.resize(static_cast<std::size_t>(id) + 1, kNone);
    }
    created_.clear();
    gained_count_ = 0;
    // Sized before the merge, so that gains are written without checks.
    if (gained_.size() < gains) gained_.resize(gains);
  }

  /// Rewrites live position i, which starts the pair merged, into `id`: the position after
  /// it goes, and the pairs around turn into (x, id) and (id, y). The live position after i
  /// now (kNone when i is the last).
  template <class Owner>
  [[gnu::always_inline]] Index rewrite(Owner& owner, Index i, Index id) {
    Sequence& nodes = owner.nodes_;
    auto& at = nodes[i];
    const Index j = nodes.next(i);
    auto& right = nodes[j];
    const Index p = nodes.prev(i);
    const Index q = nodes.next(j);
    owner.lose(at.pair);
    if (p != kNone) gain_before(owner, p, id);
    if (q != kNone) {
      const auto& after = nodes[q];
      owner.lose(right.pair);
      // (id, id) is always filed under with_left_, whichever side finds it.
      Index& slot = after.token == id ? with_left_[id] : with_right_[after.token];
      gain(owner, slot, id, after.token, i);
    } else {
      at.pair = kNone;
    }
    at.token = id;
    nodes.remove(i, j, q);
    return q;
  }

  /// The pair starting at live position p, before a token turning into `id`, becomes (x, id).
  template <class Owner>
  [[gnu::always_inline]] void gain_before(Owner& owner, Index p, Index id) {
    auto& left = owner.nodes_[p];
    owner.lose(left.pair);
    if (left.token == id) {
      // p was rewritten earlier in this merge, and its record, (id, a), is the latest one:
      // it becomes (id, id). So every record stays current and publishing reads no node.
      Index& slot = with_left_[id];
      if (slot == kNone) slot = make(owner, id, id);
      ++owner.counts_[slot];
      left.pair = slot;
      gained_[gained_count_ - 1].number = slot;
    } else {
      gain(owner, with_left_[left.token], left.token, id, p);
    }
  }

  /// Ends the merge's lookups: the tables forget the pairs it made (`pairs` by number).
  void forget(const std::vector<PairRecord<Index>>& pairs) {
    for (Index number : created_) {
      with_left_[pairs[number].left] = kNone;
      with_right_[pairs[number].right] = kNone;
    }
  }

  /// The number of pair (left, right), made by this merge: (x, id), (id, y) or (id, id). Made
  /// when it has none yet (for a part of a split merge, under the owner's lock).
  template <class Owner>
  Index number_for(Owner& owner, Index left, Index right, Index id) {
    Index& slot = right == id ? with_left_[left] : with_right_[right];
    if (slot == kNone) slot = make(owner, left, right);
    return slot;
  }

  /// The numbers of the pairs this merge made, in the order made.
  const std::vector<Index>& created() const { return created_; }
  const Gained* gained() const { return gained_.data(); }
  std::size_t gained_count() const { return gained_count_; }

 private:
  template <class Owner>
  Index make(Owner& owner, Index left, Index right) {
    const Index number = owner.new_pair(left, right);
    created_.push_back(number);
    return number;
  }
  /// Counts pair (left, right), numbered in `slot` (made when absent), as starting at
  /// `position`, and records that for publishing.
  template <class Owner>
  [[gnu::always_inline]] void gain(Owner& owner, Index& slot, Index left, Index right,
                                   Index position) {
    if (slot == kNone) slot = make(owner, left, right);
    ++owner.counts_[slot];
    owner.nodes_[position].pair = slot;
    gained_[gained_count_++] = Gained{slot, position};
  }

  std::vector<Index> with_left_;
  std::vector<Index> with_right_;
  std::vector<Index> created_;
  std::vector<Gained, Uninitialised<Gained>> gained_;
  std::size_t gained_count_ = 0;
};

}  // namespace tokenizer
