// SplitRewrite: one part of a long merge's occurrence list, rewritten on a worker thread while
// the other parts are rewritten on others.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

#include "tokenizer/support/error.hpp"
#include "tokenizer/support/huge_page_allocator.hpp"
#include "tokenizer/train/linked_tokens.hpp"
#include "tokenizer/train/occurrence_lists.hpp"

namespace tokenizer {

/// The rewrites of one part of a merge creating token z, over positions and ids of type Index.
/// The parts of a list lie far enough apart in the sequence that no two touch the same node
/// (LinkedEngine cuts them so), and they read nothing else that another part writes: a part
/// keeps for itself the counts of the pairs it makes and the occurrences it takes from pairs
/// that existed before. Once every part is done, the owner adds and subtracts these, lays out
/// the lists of the pairs made, and has each part file its gains there after those of the
/// parts before it, side by side again: the trainer then holds what rewriting the whole list
/// in one pass gives (MergeRewrite), but for the numbers of the pairs made, which go out in the
/// order the parts first ask for them.
///
/// The pairs that lose occurrences are few and known by one token each: the merged pair
/// (a, b), the pairs (x, a) before an occurrence, and (b, y) after one. A part tallies them in
/// tables indexed by x and y, so that the owner's sums cost one step per pair, not per loss.
///
/// A pair made is numbered on first use in the part by `number_for(left, right)`, which the
/// owner serialises across parts and which gives the same number to every part asking for the
/// same pair.
template <class Index>
class alignas(64) SplitRewrite {
 public:
  using Sequence = LinkedTokens<Index>;
  using Gained = GainedPair<Index>;
  static constexpr Index kNone = Sequence::kNone;

  /// A pair this part made, its occurrences here, and where in its list the next of them
  /// goes (set by the owner before filing).
  struct Made {
    Index left;
    Index right;
    Index number;
    Index count;
    Index at;
  };
  /// A pair that existed before the merge, and the occurrences it lost here.
  struct Lost {
    Index number;
    Index count;
  };

  /// Starts this part of the merge creating `id`, which gains at most `gains` pairs.
  void start(Index id, std::size_t gains) {
    if (with_left_.size() <= id) {
      with_left_.resize(static_cast<std::size_t>(id) + 1, kNone);
      with_right_.resize(static_cast<std::size_t>(id) + 1, kNone);
      lost_before_.resize(static_cast<std::size_t>(id) + 1, Lost{kNone, 0});
      lost_after_.resize(static_cast<std::size_t>(id) + 1, Lost{kNone, 0});
    }
    made_.clear();
    merged_lost_ = 0;
    gained_count_ = 0;
    rewrites_ = 0;
    if (gained_.size() < gains) gained_.resize(gains);
  }

  /// Rewrites live position i, which starts the pair merged, into `id`, as
  /// MergeRewrite::rewrite does.
  template <class NumberFor>
  [[gnu::always_inline]] void rewrite(Sequence& nodes, Index i, Index id, NumberFor& number_for) {
    auto& at = nodes[i];
    const Index a = at.token;
    const Index j = nodes.next(i);
    auto& right = nodes[j];
    const Index p = nodes.prev(i);
    const Index q = nodes.next(j);
    ++merged_lost_;
    if (p != kNone) gain_before(nodes, p, a, id, number_for);
    if (q != kNone) {
      const auto& after = nodes[q];
      lose(lost_after_, touched_after_, after.token, right.pair);
      Index& slot = after.token == id ? with_left_[id] : with_right_[after.token];
      gain(nodes, slot, id, after.token, i, number_for);
    } else {
      at.pair = kNone;
    }
    at.token = id;
    nodes.remove(i, j, q);
    ++rewrites_;
  }

  /// The pairs this part made, in the order made.
  std::vector<Made>& made() { return made_; }
  /// Calls `lose(number, count)` for every pair that existed before the merge and lost
  /// occurrences here, the merged one included, and forgets them.
  template <class Lose>
  void take_losses(Index merged, Lose&& lose) {
    if (merged_lost_ > 0) lose(merged, static_cast<Index>(merged_lost_));
    for (auto [table, touched] :
         {std::pair{&lost_before_, &touched_before_}, std::pair{&lost_after_, &touched_after_}}) {
      for (Index token : *touched) {
        lose((*table)[token].number, (*table)[token].count);
        (*table)[token] = Lost{kNone, 0};
      }
      touched->clear();
    }
  }
  /// The pairs gained here, by position, each known by its index in made().
  const Gained* gained() const { return gained_.data(); }
  std::size_t gained_count() const { return gained_count_; }
  std::size_t rewrites() const { return rewrites_; }

  /// Ends the part's lookups: its tables forget the pairs it made.
  void forget() {
    for (const Made& pair : made_) {
      with_left_[pair.left] = kNone;
      with_right_[pair.right] = kNone;
    }
  }

 private:
  /// The pair starting at live position p, before position i (token `a`) turning into `id`,
  /// becomes (x, id).
  template <class NumberFor>
  [[gnu::always_inline]] void gain_before(Sequence& nodes, Index p, Index a, Index id,
                                          NumberFor& number_for) {
    auto& left = nodes[p];
    if (left.token == id) {
      // p was rewritten earlier in this part, so its pair is (id, a), made here: it becomes
      // (id, id), and the record filed for p last says so.
      const Index before = with_right_[a];
      check(before != kNone && made_[before].number == left.pair, "split merge lost a pair");
      --made_[before].count;
      Index& slot = with_left_[id];
      if (slot == kNone) slot = make(id, id, number_for);
      ++made_[slot].count;
      left.pair = made_[slot].number;
      gained_[gained_count_ - 1].number = slot;
    } else {
      lose(lost_before_, touched_before_, left.token, left.pair);
      gain(nodes, with_left_[left.token], left.token, id, p, number_for);
    }
  }

  template <class NumberFor>
  [[gnu::always_inline]] void gain(Sequence& nodes, Index& slot, Index left, Index right,
                                   Index position, NumberFor& number_for) {
    if (slot == kNone) slot = make(left, right, number_for);
    Made& pair = made_[slot];
    ++pair.count;
    nodes[position].pair = pair.number;
    gained_[gained_count_++] = Gained{slot, position};
  }

  /// Tallies one occurrence lost by pair `number`, known in `table` by its other token.
  [[gnu::always_inline]] void lose(std::vector<Lost>& table, std::vector<Index>& touched,
                                   Index token, Index number) {
    Lost& lost = table[token];
    if (lost.number == kNone) {
      lost.number = number;
      touched.push_back(token);
    }
    check(lost.number == number, "split merge lost a pair");
    ++lost.count;
  }

  template <class NumberFor>
  Index make(Index left, Index right, NumberFor& number_for) {
    made_.push_back(Made{left, right, number_for(left, right), 0, 0});
    return static_cast<Index>(made_.size() - 1);
  }

  std::vector<Index> with_left_;   // x -> this part's record of (x, id), kNone when none
  std::vector<Index> with_right_;  // y -> this part's record of (id, y)
  std::vector<Made> made_;
  std::size_t merged_lost_ = 0;        // occurrences the merged pair lost
  std::vector<Lost> lost_before_;      // x -> (x, a) and its losses
  std::vector<Lost> lost_after_;       // y -> (b, y) and its losses
  std::vector<Index> touched_before_;  // the x and y with an entry in those
  std::vector<Index> touched_after_;
  std::vector<Gained, Uninitialised<Gained>> gained_;
  std::size_t gained_count_ = 0;
  std::size_t rewrites_ = 0;
};

}  // namespace tokenizer
