// LinkedTokens: the working token sequence a trainer rewrites, one node per position of the
// text, with removed positions linked across in place.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "tokenizer/support/huge_page_allocator.hpp"

namespace tokenizer {

/// The positions of a text, over positions and ids of type Index. A live position holds a
/// token of the working sequence and the number of the pair it starts (kNone at the end).
/// Removed positions form gaps between live ones, and hold the links across their gap: every
/// removed position is marked by kGap in `token`, the first of a gap holds there the live
/// position after it (kEnd for none), and the last of a gap holds in `pair` the live position
/// before it (kNone for none). So next() and prev() read one neighbouring slot, and a position
/// costs two words. Positions and ids stay below kEnd. One more node past the last position,
/// removed for good, links to kEnd: the node after any position exists, and looking there
/// needs no bounds check.
template <class Index>
class LinkedTokens {
 public:
  static constexpr Index kNone = std::numeric_limits<Index>::max();
  static constexpr Index kGap = Index{1} << (std::numeric_limits<Index>::digits - 1);
  static constexpr Index kEnd = kGap - 1;

  struct Node {
    Index token;
    Index pair;
  };

  /// n positions, left unset for the caller to fill.
  void resize(std::size_t n) {
    nodes_.resize(n + 1);
    nodes_[n] = Node{kGap | kEnd, kNone};
  }
  std::size_t size() const { return nodes_.empty() ? 0 : nodes_.size() - 1; }
  bool empty() const { return size() == 0; }
  Node& operator[](std::size_t i) { return nodes_[i]; }
  const Node& operator[](std::size_t i) const { return nodes_[i]; }

  static bool removed(const Node& node) { return (node.token & kGap) != 0; }
  /// Position i is live and starts the pair numbered `number`; false for a stale entry of
  /// that pair's list.
  bool starts(Index i, Index number) const {
    return !removed(nodes_[i]) && nodes_[i].pair == number;
  }

  /// Where the link after position i (below size()) points: kEnd for none, and any value
  /// for a stale i, which looking ahead tolerates.
  [[gnu::always_inline]] Index peek_next(Index i) const {
    const Index after = nodes_[i + 1].token;
    return (after & kGap) == 0 ? i + 1 : after & ~kGap;
  }
  /// The live position after live position i (kNone for the last).
  Index next(Index i) const {
    const Index link = peek_next(i);
    return link == kEnd ? kNone : link;
  }
  /// The live position before live position i (kNone for the first).
  Index prev(Index i) const {
    if (i == 0) return kNone;
    const Node& before = nodes_[i - 1];
    return removed(before) ? before.pair : i - 1;
  }

  /// Removes live position j, between live positions p and q (either kNone for none): the
  /// gaps around j join into one, from p + 1 (or the start) to q - 1 (or the end).
  void remove(Index p, Index j, Index q) {
    const Index link = kGap | (q == kNone ? kEnd : q);
    nodes_[j].token = link;
    nodes_[p == kNone ? 0 : p + 1].token = link;
    if (q != kNone) nodes_[q - 1].pair = p;
  }

  /// A merge visits its occurrences `list[k]` in turn, and a rewrite reads the nodes around
  /// i, j = next(i) and next(j). Fetch them a few occurrences ahead, a link further the closer
  /// the occurrence comes, so that the misses overlap. Links are followed only from entries
  /// `i` for which `follow(i)`: a merge rewritten on one thread follows every entry (a stale
  /// one may lead anywhere in the array, which costs a wasted fetch at most); a part of a split
  /// merge only those still live, so that its loads stay among its own occurrences' nodes.
  template <class Follow>
  [[gnu::always_inline]] void prefetch_ahead(const Index* list, std::size_t k, std::size_t end,
                                             Follow&& follow) const {
    const Node* nodes = nodes_.data();
    const std::size_t size = this->size();
    if (k + kPrefetchFar < end) {
      const Index i = list[k + kPrefetchFar];
      __builtin_prefetch(&nodes[i]);
      if (i > 0) __builtin_prefetch(&nodes[i - 1]);
      __builtin_prefetch(&nodes[i + 1]);
    }
    if (k + kPrefetchNext < end && follow(list[k + kPrefetchNext])) {
      const Index j = peek_next(list[k + kPrefetchNext]);
      if (j < size) {
        __builtin_prefetch(&nodes[j]);
        __builtin_prefetch(&nodes[j + 1]);
      }
    }
    if (k + kPrefetchNear < end && follow(list[k + kPrefetchNear])) {
      const Index j = peek_next(list[k + kPrefetchNear]);
      const Index q = j < size ? peek_next(j) : kNone;
      if (q < size) {
        __builtin_prefetch(&nodes[q]);
        __builtin_prefetch(&nodes[q - 1]);
      }
    }
  }

 private:
  // How many occurrences ahead prefetch_ahead() fetches an occurrence's node, the node after
  // it, and the node after that.
  static constexpr std::size_t kPrefetchFar = 40;
  static constexpr std::size_t kPrefetchNext = 22;
  static constexpr std::size_t kPrefetchNear = 8;

  std::vector<Node, Uninitialised<Node>> nodes_;
};

}  // namespace tokenizer
