// Count changes of one training step, summed per pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tokenizer/basic/keyed_hash.hpp"
#include "tokenizer/basic/types.hpp"

namespace tokenizer::basic {

/// Count changes summed per pair. Emptying it costs the entries it held, not its capacity, so
/// that a step touching few pairs stays cheap after one that touched many.
class PairDeltas {
 public:
  PairDeltas() : hash_{random_hash_key()} { slots_.resize(64); }

  void add(TokenPair pair, std::int64_t delta) {
    if ((used_.size() + 1) * 4 > slots_.size() * 3) grow();
    Slot& slot = slots_[find(pair)];
    if (!slot.used) {
      slot = Slot{pair, 0, true};
      used_.push_back(static_cast<std::size_t>(&slot - slots_.data()));
    }
    slot.delta += delta;
  }

  std::size_t size() const { return used_.size(); }

  /// Calls `visit(pair, delta)` for every pair added since the last clear().
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t at : used_) visit(slots_[at].pair, slots_[at].delta);
  }

  void clear() {
    for (std::size_t at : used_) slots_[at].used = false;
    used_.clear();
  }

 private:
  struct Slot {
    TokenPair pair;
    std::int64_t delta = 0;
    bool used = false;
  };

  std::size_t find(TokenPair pair) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash_(pair)) & mask;; i = (i + 1) & mask) {
      if (!slots_[i].used || slots_[i].pair == pair) return i;
    }
  }

  void grow() {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.size() * 2));
    std::vector<std::size_t> held = std::exchange(used_, {});
    for (std::size_t at : held) {
      const std::size_t to = find(old[at].pair);
      slots_[to] = old[at];
      used_.push_back(to);
    }
  }

  KeyedHash hash_;
  std::vector<Slot> slots_;
  std::vector<std::size_t> used_;
};

}  // namespace tokenizer::basic
