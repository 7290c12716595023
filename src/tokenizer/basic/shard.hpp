// Shard: the tokens of one byte range of a training text, rewritten step by step as the
// coordinator chooses pairs, reporting the count changes its rewrites cause.
//
// A shard holds its tokens as a linked list of positions (counted from the range's first
// byte), the position lists of the pairs that lie wholly inside it, and the count changes of
// the current step. Pairs across cuts are the coordinator's (see shard_coordinator.hpp); a
// shard only says what its ends look like (`edges`) and, each step, whether its first token
// is taken by the shard before it and whether its last token takes the next shard's first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "tokenizer/basic/error.hpp"
#include "tokenizer/basic/flat_map.hpp"
#include "tokenizer/basic/interrupt_pacer.hpp"
#include "tokenizer/basic/pair_deltas.hpp"
#include "tokenizer/basic/types.hpp"
#include "tokenizer/basic/worker_pool.hpp"

namespace tokenizer::basic {

/// What the coordinator needs to know of a shard's ends each step.
struct ShardEdges {
  bool empty = true;
  TokenId first = 0, last = 0;  ///< first and last live token (when not empty)
  std::uint64_t last_run = 0;   ///< how many tokens equal to `last` end the shard
  bool run_is_whole = false;    ///< that run is the whole shard

  bool operator==(const ShardEdges&) const = default;
};

/// A change of one pair's count.
struct PairDelta {
  TokenPair pair;
  std::int64_t delta = 0;

  bool operator==(const PairDelta&) const = default;
};

class Shard {
 public:
  /// Positions are 32 bits wide: a shard holds fewer than this many bytes.
  static constexpr std::uint64_t kLongest = std::numeric_limits<std::uint32_t>::max() - 257;
  /// Bytes of state per byte of the range, at most.
  static constexpr std::size_t kBytesPerByte = 5 * sizeof(std::uint32_t);

  /// An empty shard.
  Shard() = default;
  /// Lays out the bytes, counts its pairs; the counts are then in take_deltas(). Ranges of
  /// kLongest bytes or more, or beyond the memory budget, are refused with std::bad_alloc.
  explicit Shard(std::string_view bytes, const InterruptCheck& interrupt = {});

  /// Lays out `bytes` into this empty shard, as the constructor does, for a worker of the pool:
  /// polls `stop` (when given; else `pace` polls its own interrupt check and throws). False
  /// when `stop` cut it short; the shard must then be dropped. Does not check the budget.
  bool build(std::string_view bytes, const StopFlag* stop, InterruptPacer& pace);

  ShardEdges edges() const;
  /// Live tokens.
  std::size_t live() const { return live_; }

  /// One step's rewrites of `pair` into `id` (roles from ShardCoordinator::plan): drops the
  /// first token when `first_taken`, rewrites the shard's own occurrences from the left, then
  /// turns the last token into `id` when `takes_next`. After it throws (an interruption
  /// included) the shard must not be used again.
  void merge(TokenPair pair, TokenId id, bool first_taken, bool takes_next,
             const InterruptCheck& interrupt = {});
  /// merge() for a worker of the pool, polling as build() does. False when `stop` cut it
  /// short; the shard must then be dropped.
  bool merge(TokenPair pair, TokenId id, bool first_taken, bool takes_next, const StopFlag* stop,
             InterruptPacer& pace);

  /// The count changes since the last call (after construction: the initial counts), summed
  /// per pair, in any order; empties them.
  std::vector<PairDelta> take_deltas();
  /// take_deltas() without the vector: calls `visit(pair, delta)` for each and empties them.
  template <class Visit>
  void drain_deltas(Visit&& visit) {
    deltas_.for_each(visit);
    deltas_.clear();
  }

 private:
  using Index = std::uint32_t;
  static constexpr Index kNone = std::numeric_limits<Index>::max();
  // Token ids are below 256 + the text's length; a removed position holds this.
  static constexpr Index kRemoved = kNone - 1;

  /// Count changes of one step's rewrites of (a, b) into z for the pairs on one side of a
  /// token, indexed by the token on the other side: (x, a), (b, y), (x, z) or (z, y). For the
  /// pairs holding z it also keeps where their position lists are.
  struct StepSide {
    std::vector<std::int64_t> delta;
    std::vector<Index> list;     // 1 + where the pair's list is, 0 for none yet
    std::vector<Index> touched;  // others whose entries may be set (repeats allowed)

    void fit(std::size_t ids) {
      if (delta.size() < ids) {
        delta.resize(ids, 0);
        list.resize(ids, 0);
      }
    }
    void add(Index other, std::int64_t change) {
      if (delta[other] == 0 && list[other] == 0) touched.push_back(other);
      delta[other] += change;
    }
  };

  // A position's token (kRemoved once a rewrite took it) and its live neighbours, side by
  // side: a rewrite reads all three of several positions scattered over the shard.
  struct Node {
    Index token;
    Index next;
    Index prev;
  };

  static bool paced(const StopFlag* stop, InterruptPacer& pace);
  void prefetch_ahead(const std::vector<Index>& list, std::size_t k) const;
  void lose_before(Index x);
  void gain(StepSide& side, Index other, Index position);
  void publish(TokenPair pair);
  void drop_list(Index at);
  void rewrite(Index i, Index j, Index z);

  std::vector<Node> nodes_;
  Index first_ = kNone;
  Index last_ = kNone;
  std::size_t live_ = 0;
  // The run of the last token ending the shard, remembered until a merge may change it.
  mutable std::uint64_t last_run_ = 0;
  mutable bool run_is_whole_ = false;
  mutable bool run_known_ = false;
  // Per pair inside the shard: 1 + where its list is in `lists_`, 0 once merged. A list holds
  // the pair's positions in increasing order; entries go stale as rewrites change the pair a
  // position starts, and are checked against the tokens when the pair is merged.
  FlatMap<TokenPair, Index> list_index_;
  std::vector<std::vector<Index>> lists_;
  std::vector<Index> free_lists_;  // 1 + where an emptied list is, to be given out again
  // The current step's changes, by side; (z, z) is filed under before_z_.
  StepSide before_a_;
  StepSide after_b_;
  StepSide before_z_;
  StepSide after_z_;
  std::int64_t merged_ = 0;
  Index a_ = kNone;
  Index z_ = kNone;
  PairDeltas deltas_;
};

}  // namespace tokenizer::basic
