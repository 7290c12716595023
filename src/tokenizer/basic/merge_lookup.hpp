// MergeLookup: merge ids by pair, laid out for encoding's inner loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tokenizer/basic/state.hpp"
#include "tokenizer/basic/types.hpp"

namespace tokenizer::basic {

class BacktrackEncoder;

/// An immutable copy of a MergeTable's pair -> id mapping in 32-bit form: a dense table for
/// the 65,536 byte pairs and an open-addressing table for the rest. Merges whose ids do not fit
/// in 32 bits cannot be held; `complete()` says whether every merge was. For tables learned in
/// one go it also carries the left-to-right encoder (`backtracking()`).
class MergeLookup {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  explicit MergeLookup(const MergeTable& merges);
  ~MergeLookup();
  MergeLookup(const MergeLookup&) = delete;
  MergeLookup& operator=(const MergeLookup&) = delete;

  /// The merge id of (left, right), or kNone.
  std::uint32_t find(std::uint32_t left, std::uint32_t right) const {
    if ((left | right) < 256) return bytes_[left << 8 | right];
    for (std::uint32_t i = home(left, right);; i = (i + 1) & mask_) {
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

  /// The left-to-right encoder of the table, or null when the table does not have the form it
  /// needs (see backtrack_encoder.hpp).
  const BacktrackEncoder* backtracking() const { return backtracking_.get(); }

 private:
  // An empty slot holds (kNone, kNone) -> kNone; no held pair is (kNone, kNone).
  struct Slot {
    std::uint32_t left = kNone;
    std::uint32_t right = kNone;
    std::uint32_t id = kNone;
  };

  // Multiplicative hashing in 32-bit arithmetic, cheap on 32-bit targets as well.
  // The high bits of the product depend on every bit of both ids.
  std::uint32_t home(std::uint32_t left, std::uint32_t right) const {
    return ((left ^ seed_) * 0x9e3779b1U + right) * 0x85ebca77U >> shift_;
  }

  void find_joinable_bytes(const MergeTable& merges);

  std::vector<std::uint32_t> bytes_;
  std::vector<std::uint64_t> joinable_;  // 65,536 bits
  std::vector<Slot> others_;             // at least one empty slot, so every probe ends
  std::uint32_t mask_ = 0;
  unsigned shift_ = 31;  // 32 - log2 of the table size
  std::uint32_t seed_;
  std::uint32_t largest_ = 0;
  bool complete_ = true;
  std::unique_ptr<const BacktrackEncoder> backtracking_;
};

}  // namespace tokenizer::basic
