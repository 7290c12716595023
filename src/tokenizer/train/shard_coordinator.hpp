// ShardCoordinator: the global side of sharded training. It holds the counts of every pair,
// the pair heap under training's tie rule, and the pairs across the cuts between shards; each
// step it chooses the pair, tells every shard its role at the cuts, and takes back the
// shards' count changes. It never sees a shard itself, only the values shards ship
// (ShardEdges, PairDelta), so the shards may live in other threads or other machines.
//
// One step, for shards 0..n-1 in text order:
//   pair = most_common_pair();           // none: training is over
//   roles = plan(pair);                  // from the edges last set
//   shard k: merge(pair, id, roles[k].first_taken, roles[k].takes_next);
//   add(shard k's take_deltas()) for every k; set_edges(every shard's edges(), in order);
//   finish_step(pair);
// Construction is the same without the merge: add every shard's initial deltas, set_edges.
//
// Why the merges equal those of one sequence rewritten greedily from the left:
//  - a rewrite of (a, b) only depends on what lies to its left through the token just before
//    it: whether that token is an `a` not yet taken by a rewrite. `plan` walks the shards in
//    order and works out, for each, whether its first token is taken by the last token of the
//    non-empty shard before it. When a != b any `a` is free; when a == b a run of `a` ending a
//    shard leaves its last token free when the run, less a first token taken from the left,
//    has odd length;
//  - a shard whose first token is taken drops it before rewriting its own occurrences, in
//    increasing position order; a shard whose last token takes the next shard's first one
//    turns it into the new token after them. Each shard thus rewrites in the order one
//    sequence would, and shards touch only their own state;
//  - counts are of adjacencies: each shard reports the changes around its rewrites, and the
//    coordinator recounts the pairs across cuts from the edges after the step.
//
// Several steps per round trip (most_common_pairs): rewriting (a, b) into t (a != b) lowers
// only the counts of the pairs (x, a) and (b, y), and every pair it makes holds t and occurs
// at most as often as one of those did before (x a b y gives x t from x a, t y from b y, t t
// from b a). So when the pairs that follow the most common one, in the heap's order, are none
// of the pairs the steps before them in the batch change, and every pair those steps change
// occurs less often, their counts are exact and nothing can overtake them: they are the pairs
// the steps one by one would choose. Those steps must also leave the cuts alone: no shard starts
// with their a or ends with their b, and no shard ending with a is followed by one starting
// with b, so their roles are all false and the edges stay as they are. A pair (a, a) ends a
// batch, as its pairs (t t out of a a a a) have no such bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "tokenizer/core/merge_rules.hpp"
#include "tokenizer/core/pair_counts.hpp"
#include "tokenizer/core/types.hpp"
#include "tokenizer/train/shard.hpp"

namespace tokenizer {

/// A shard's part at the cuts in one step.
struct ShardRole {
  bool first_taken = false;  ///< its first token is the right of a rewrite begun before it
  bool takes_next = false;   ///< its last token takes the next non-empty shard's first

  bool operator==(const ShardRole&) const = default;
};

class ShardCoordinator {
 public:
  ShardCoordinator();

  /// Adds count changes (a shard's take_deltas()) before the next choice. A count falling
  /// below zero is a fault, and so is a rise of a pair that does not hold the step's new
  /// token (or, at the start, is not a pair of bytes).
  void add(std::span<const PairDelta> deltas);
  /// Adds one count change.
  void add(TokenPair pair, std::int64_t delta);
  /// add() of a loss (`loss` > 0), safe to call from several threads at once while nothing
  /// else runs on the coordinator (between a step's choice and its set_edges). Rises must go
  /// through add().
  void subtract_concurrently(TokenPair pair, std::int64_t loss);
  /// The coordinator's number of a pair that occurred at some point of the training (it
  /// never changes), else kAbsent.
  std::uint32_t index_of(TokenPair pair) const;
  static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};
  /// subtract_concurrently() of the pair numbered `index`.
  void subtract_concurrently_at(std::uint32_t index, std::int64_t loss);
  /// After every shard's changes of a step (or the initial counts) were added: recounts the
  /// pairs across cuts from the shards' edges, given for every shard in shard order.
  void set_edges(std::span<const ShardEdges> edges);

  /// The pair with the highest count (the smallest among equals, as `outranks` says), or none
  /// when no pair occurs.
  std::optional<TokenPair> most_common_pair();
  /// The pairs of the next steps, at most `limit` (at least one): most_common_pair(), then the
  /// pairs sure to be the most common of their steps once the ones before are merged,
  /// whatever the shards report, and whose rewrite changes no shard's edges (see above).
  /// Only the first step has roles (plan()); in the others every role is false. Empty when
  /// no pair occurs. The steps end with finish_steps().
  std::vector<TokenPair> most_common_pairs(std::size_t limit);
  /// Each shard's role in this step's rewrite of `pair`, from the edges last set.
  std::vector<ShardRole> plan(TokenPair pair) const;
  /// Ends the step that merged `merged`, the last most_common_pair(): checks that it no longer
  /// occurs and files the pairs whose counts rose.
  void finish_step(TokenPair merged);
  /// finish_step() for the steps of the last most_common_pairs(), after every shard's changes
  /// of all of them were added and the edges set.
  void finish_steps(std::span<const TokenPair> merged);

  /// The last most_common_pair() until finish_step(), else none.
  const std::optional<TokenPair>& chosen() const { return chosen_; }
  /// The pair's current count.
  PairCount count(TokenPair pair) const;
  /// Pairs that occurred at some point of the training (some of them no longer do).
  std::size_t pairs() const { return pairs_.size() - kBytePairs; }

 private:
  using Index = std::uint32_t;
  struct Entry {
    PairCount count;
    Index index;
  };
  bool lower_priority(const Entry& x, const Entry& y) const;
  void push(Index index);
  /// The heap's top entry, popped, whose count is current (stale ones go back with theirs, or
  /// wait outside); none when the heap is empty.
  std::optional<Entry> pop_current();
  /// Files the pairs that gained their occurrences in this step, all holding its new token.
  void file_fresh();
  static constexpr std::size_t kBytePairs = 65536;

  // Every pair that occurred so far, by index: the byte pairs at their key (left byte high),
  // then the pairs of each later token `t` together, sorted, in the step that made `t`: a
  // pair gains occurrences only in the step that made the newer of its tokens, from the
  // rewrites inside shards or across a cut.
  std::vector<TokenPair> pairs_;
  std::vector<PairCount> counts_;
  std::vector<std::pair<Index, Index>> made_by_;  // per token - 256: its pairs' index range
  // Pairs whose counts rose in this step, not yet filed (repeats allowed).
  std::vector<PairDelta> fresh_;
  // Every pair occurring at least `admit_from_` times has an entry here with a count at or
  // above its own. Pairs that occur once wait outside until nothing occurs twice, then all
  // enter at once; this keeps the heap a fraction of the pairs.
  std::vector<Entry> heap_;
  PairCount admit_from_ = 2;
  bool started_ = false;  // the heap was filled once
  std::optional<TokenPair> chosen_;
  std::vector<TokenPair> batch_;  // the last most_common_pairs() until finish_steps()
  std::vector<ShardEdges> edges_;
  std::vector<TokenPair> boundaries_;  // the pairs across cuts, in order
};

}  // namespace tokenizer
