// PairChoice: each step's pair for both layouts of the incremental trainer, from a heap of pair
// numbers whose counts may have fallen since they entered.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <utility>

#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/train/pair_heap.hpp"

namespace tokenizer {

/// The heap holds every pair that occurs at least twice. Pairs that occur once wait outside
/// it until nothing occurs twice any more (counts never rise after a pair's creation), then
/// all enter at once; this keeps the heap a fraction of the pairs.
///
/// `Engine` derives from this and tells, by pair number: `count(number)`, `queued(number)`
/// and `set_queued(number, bool)` (whether it has a heap entry), `release(number)` (its
/// number is free again), `records()` (the pair records the heap reads) and `size()` (the
/// tokens left).
template <class Engine, class Index, class Pairs>
class PairChoice {
 protected:
  static constexpr Index kNoPair = std::numeric_limits<Index>::max();

  /// The pair with the highest count (ties: the smallest (left, right)), or none when no pair
  /// is left; remembered for take_chosen(). Polls `interrupt` while pairs that occur once enter.
  std::optional<TokenPair> choose(const InterruptCheck& interrupt) {
    for (;;) {
      if (heap_.empty()) {
        if (admit_from_ == 1 || engine().size() < 2) break;
        // Nothing occurs twice any more: from now on every pair that occurs is a candidate.
        admit_from_ = 1;
        enter_pairs(InterruptPacer{interrupt});
        continue;
      }
      const typename PairHeap<Index, Pairs>::Entry top = heap_.top();
      const Index count = engine().count(top.number);
      if (count == top.count) {
        chosen_ = top.number;
        const auto& pair = engine().records()[top.number];
        return TokenPair{pair.left, pair.right};
      }
      // The count fell since the entry was pushed: put it back where it belongs now, leave it
      // waiting outside, or give its number out again.
      pop();
      if (count >= admit_from_) {
        push(top.number);
      } else if (count == 0) {
        engine().release(top.number);
      }
    }
    chosen_ = kNoPair;
    return std::nullopt;
  }

  /// The number of the pair choose() returned last, which must be `pair`, forgotten by
  /// the choice: it is about to be merged.
  Index take_chosen(TokenPair pair) {
    const Index number = std::exchange(chosen_, kNoPair);
    check(number != kNoPair && engine().records()[number].left == pair.left &&
              engine().records()[number].right == pair.right,
          "merge of a pair that is not the most common one");
    return number;
  }

  /// Enters every pair that occurs at least `admit_from_` times and has no entry yet.
  void enter_pairs(InterruptPacer pace = InterruptPacer{}) {
    const Pairs& pairs = engine().records();
    for (std::size_t number = 0; number < pairs.size(); ++number) {
      pace();
      const Index count = engine().count(static_cast<Index>(number));
      if (count == 0 || count < admit_from_ || engine().queued(static_cast<Index>(number))) {
        continue;
      }
      heap_.add(count, static_cast<Index>(number));
      engine().set_queued(static_cast<Index>(number), true);
    }
    heap_.order(pairs);
  }

  void push(Index number) {
    heap_.push(engine().count(number), number, engine().records());
    engine().set_queued(number, true);
  }
  void pop() { engine().set_queued(heap_.pop(engine().records()), false); }

  Index admit_from_ = 2;  // the smallest count the heap takes: 2, and 1 once nothing occurs twice
 private:
  Index chosen_ = kNoPair;  // the pair choose() returned last

  Engine& engine() { return static_cast<Engine&>(*this); }
  PairHeap<Index, Pairs> heap_;
};

}  // namespace tokenizer
