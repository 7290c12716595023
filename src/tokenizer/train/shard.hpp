// Shard: the tokens of one byte range of a training text, rewritten step by step as the
// coordinator chooses pairs, reporting the count changes its rewrites cause.
//
// A shard holds its tokens in the packed layout of the single-machine trainer: one word per
// position (counted from the range's first byte), the pairs that lie wholly inside it by
// number, their positions as varint gap lists, and the count changes of the current step. Pairs
// across cuts are the coordinator's (see shard_coordinator.hpp); a shard only says what its ends
// look like (`edges`) and, each step, whether its first token is taken by the shard before it and
// whether its last token takes the next shard's first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"
#include "tokenizer/support/huge_page_allocator.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/train/gap_lists.hpp"
#include "tokenizer/train/packed_tokens.hpp"
#include "tokenizer/train/pair_table.hpp"

namespace tokenizer {

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
  /// Positions, pair numbers and ids lie below the packed words' tags (30 bits): a shard
  /// holds fewer than this many bytes, and ids stay below kLongest + 256.
  static constexpr std::uint64_t kLongest = PackedTokens<std::uint32_t>::kLimit - 256;
  /// Bytes of state per byte of the range asked of the memory budget: a word, its gap list
  /// entry (about one and a half bytes, with a quarter more room) and the pair records, 17
  /// bytes each. Ranges of tens of megabytes stay below it; shorter ones hold more pairs per
  /// byte.
  static constexpr std::size_t kBytesPerByte = 8;

  /// An empty shard.
  Shard() = default;
  /// Lays out the bytes, counts its pairs; the counts are then in take_deltas(). Ranges of
  /// kLongest bytes or more, or beyond the memory budget, are refused with std::bad_alloc.
  explicit Shard(std::string_view bytes, const InterruptCheck& interrupt = {});
  Shard(Shard&&) = default;
  Shard& operator=(Shard&&) = default;
  Shard(const Shard&) = delete;
  Shard& operator=(const Shard&) = delete;

  ShardEdges edges() const;
  /// Live tokens.
  std::size_t live() const { return live_; }

  /// One step's rewrites of `pair` into `id` (roles from ShardCoordinator::plan): drops the
  /// first token when `first_taken`, rewrites the shard's own occurrences from the left, then
  /// turns the last token into `id` when `takes_next`. After it throws (an interruption
  /// included) the shard must not be used again.
  void merge(TokenPair pair, TokenId id, bool first_taken, bool takes_next,
             const InterruptCheck& interrupt = {});

  /// The count changes since the last call (after construction: the initial counts), summed
  /// per pair, in any order; empties them.
  std::vector<PairDelta> take_deltas();
  /// take_deltas() for a driver that numbers pairs its own way (its "tag" of a pair, below
  /// kNoTag): calls `visit(tag, pair, delta)` for each change and empties them. The shard
  /// remembers each pair's tag while the pair occurs in it; a change of a pair without one
  /// asks `resolve(pair)`, except a rise (the step made the pair), which is passed with
  /// kNoTag. Changes of several steps not taken in between are passed untagged.
  static constexpr std::uint32_t kNoTag = std::numeric_limits<std::uint32_t>::max();
  template <class Resolve, class Visit>
  void drain_tagged(Resolve&& resolve, Visit&& visit) {
    if (unsummed_) {
      drain_deltas([&](TokenPair pair, std::int64_t delta) { visit(kNoTag, pair, delta); });
      return;
    }
    for (std::size_t k = 0; k < pending_.size(); ++k) {
      const PairDelta& change = pending_[k];
      std::uint32_t tag = kNoTag;
      if (change.delta < 0) {
        const Index number = pending_numbers_[k];
        if (tags_.size() < pairs_.size()) tags_.resize(pairs_.size(), kNoTag);
        tag = tags_[number];
        if (tag == kNoTag) {
          tag = resolve(change.pair);
          if (count(number) > 0) tags_[number] = tag;  // else the number is free again
        }
      }
      visit(tag, change.pair, change.delta);
    }
    pending_.clear();
    pending_numbers_.clear();
    steps_pending_ = 0;
  }
  /// take_deltas() without the vector: calls `visit(pair, delta)` for each and empties them.
  template <class Visit>
  void drain_deltas(Visit&& visit) {
    if (unsummed_) sum_pending();
    for (const PairDelta& change : pending_) visit(change.pair, change.delta);
    pending_.clear();
    pending_numbers_.clear();
    steps_pending_ = 0;
  }

 private:
  using Index = std::uint32_t;
  using Sequence = PackedTokens<Index>;
  using Pair = LeanPair<Index>;
  static constexpr Index kNone = Sequence::kNone;
  static constexpr Index kLast = Sequence::kLast;
  // Set in a count while the step has changed it: the count before is in `touched_`.
  static constexpr Index kTouched = Index{1} << 31;

  struct Touched {
    Index number;
    Index count;  // its count before the step
  };
  struct Gain {  // a pair the step made start at a position, waiting to be filed
    Index number;
    Index position;
  };

  Index count(Index number) const { return pairs_[number].count & ~kTouched; }
  Index token_at(Index i) const {
    const Index word = words_[i];
    return Sequence::starts_pair(word) ? pairs_[word].left : Sequence::last_token(word);
  }
  void number_pairs(const unsigned char* bytes, std::size_t n, InterruptPacer& pace);
  Index number_of(Index left, Index right) const;
  Index new_pair(Index left, Index right);
  void release(Index number);
  void lose(Index number);
  void rewrite(Index i, Index id);
  void gain_before(Index p, Index id);
  void gain(Index& slot, Index left, Index right, Index position);
  void drop_first();
  void publish(Index id, std::size_t spare, std::size_t spare_end, InterruptPacer& pace);
  void rebuild_lists(InterruptPacer& pace);
  void compact_log();
  void sum_pending();

  Sequence words_;
  Index first_ = kNone;
  Index last_ = kNone;
  std::size_t live_ = 0;
  // The run of the last token ending the shard, remembered until a merge may change it.
  mutable std::uint64_t last_run_ = 0;
  mutable bool run_is_whole_ = false;
  mutable bool run_known_ = false;

  // Pairs inside the shard by number, each with its gap list (a varint count, then the gaps);
  // numbers of pairs that no longer occur are given out again.
  PairTable<Index> pairs_;
  std::vector<Index> free_;
  GapArena lists_;
  // Where the number of a pair is found: a pair of bytes by its key's rank among the byte
  // pairs the range held (their numbers were given in key order); any other pair among those
  // created in the merge of its newer token, the only step in which it gains occurrences.
  // Entries of numbers given out again are dropped when the lists are laid out anew.
  std::vector<std::uint16_t> byte_keys_;
  std::deque<Index> created_log_;                    // in blocks: no doubling, no copy as it grows
  std::vector<std::pair<Index, Index>> created_by_;  // per id - 256: its range in the log

  // One merge's state. Pairs it makes are found through two small tables indexed by their
  // other token: with_left_[x] numbers the pair (x, id), with_right_[y] the pair (id, y).
  std::vector<Index> with_left_;
  std::vector<Index> with_right_;
  std::vector<Index> created_;  // the pairs made, in the order made
  std::vector<Gain, Uninitialised<Gain>> gained_;
  std::size_t gained_count_ = 0;
  std::vector<std::size_t> made_at_;     // per pair made: bytes of its list, then where it goes
  std::vector<std::size_t> made_start_;  // per pair made: where its list starts
  std::vector<Index> made_last_;         // per pair made: the last position filed
  std::vector<Touched> touched_;

  // Count changes not yet taken; when more than one step's, a pair may be listed twice.
  std::vector<PairDelta> pending_;
  std::vector<Index> pending_numbers_;  // the number of each change's pair, while summed
  std::vector<std::uint32_t> tags_;     // per number: the driver's tag of its pair, once asked
  std::size_t steps_pending_ = 0;
  bool unsummed_ = false;

 public:
  /// Leaves no room beyond the gap lists, so that every merge lays them out anew.
  static void tight_lists_for_testing(bool tight);
};

}  // namespace tokenizer
