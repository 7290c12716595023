// MergeLookup: merge ids by pair, laid out for encoding's inner loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tokenizer/core/model.hpp"
#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/keyed_hash.hpp"

namespace tokenizer {

/// An immutable copy of a MergeTable's pair -> id mapping in 32-bit form: a dense table for
/// the 65,536 byte pairs and an open-addressing table for the rest. Merges whose ids do not fit
/// in 32 bits cannot be held; `complete()` says whether every merge was.
///
/// The open-addressing table hashes under a key drawn per table, through a full 64-bit mixing
/// function, so no file can choose pairs that collide; and no probe is ever longer than
/// kLongestProbe slots: should one be (by bad luck, as no input can force it), the table is
/// filled again under a new key, and after a few tries at twice the size.
class MergeLookup {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;
  /// The most slots a lookup ever visits in the open-addressing table.
  static constexpr std::size_t kLongestProbe = 64;

  /// Polls `interrupt` as the tables fill; a throw from it abandons the construction.
  explicit MergeLookup(const MergeTable& merges, const InterruptCheck& interrupt = {});

  /// The merge id of (left, right), or kNone.
  std::uint32_t find(std::uint32_t left, std::uint32_t right) const {
    if ((left | right) < 256) return bytes_[left << 8 | right];
    for (std::size_t i = home(left, right);; i = (i + 1) & mask_) {
      const Slot& slot = others_[i];
      if (slot.left == left && slot.right == right) return slot.id;
      if (slot.id == kNone) return kNone;
    }
  }

  /// True when some merge can join a token ending in byte `left` to one starting with byte
  /// `right`. Where a text holds two adjacent bytes that no merge can join, no token will ever
  /// span them, and the text on either side encodes on its own.
  bool joinable(unsigned char left, unsigned char right) const {
    const unsigned bit = static_cast<unsigned>(left) << 8 | right;
    return (joinable_[bit / 64] >> (bit % 64) & 1) != 0;
  }

  /// The largest merge id held (0 when none is).
  std::uint32_t largest() const { return largest_; }

  /// False when some merge id is too large for 32 bits (a table of over four billion merges).
  bool complete() const { return complete_; }

  /// The most slots any held pair's lookup visits (1 when every pair sits at its home slot;
  /// 0 when the open-addressing table holds nothing).
  std::size_t longest_probe() const { return longest_probe_; }

 private:
  // An empty slot holds (kNone, kNone) -> kNone; no held pair is (kNone, kNone).
  struct Slot {
    std::uint32_t left = kNone;
    std::uint32_t right = kNone;
    std::uint32_t id = kNone;
  };

  std::size_t home(std::uint32_t left, std::uint32_t right) const {
    return static_cast<std::size_t>(keyed_hash(left, right, key_) >> shift_);
  }

  /// Fills `others_` with `count` slots; false when some probe would exceed kLongestProbe.
  bool fill_others(const MergeTable& merges, std::size_t count, InterruptPacer& pacer);
  void find_joinable_bytes(const MergeTable& merges, InterruptPacer& pacer);

  std::vector<std::uint32_t> bytes_;
  std::vector<std::uint64_t> joinable_;  // 65,536 bits
  std::vector<Slot> others_;             // at least one empty slot, so every probe ends
  std::size_t mask_ = 0;
  unsigned shift_ = 63;  // 64 - log2 of the table size
  std::uint64_t key_ = 0;
  std::uint32_t largest_ = 0;
  std::size_t longest_probe_ = 0;
  bool complete_ = true;
};

}  // namespace tokenizer
