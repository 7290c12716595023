// MergeLookup: merge ids by pair, laid out for encoding's inner loop.
#pragma once

#include <cstdint>
#include <cstddef>
#include <vector>

#include "tokenizer/basic/state.hpp"
#include "tokenizer/basic/types.hpp"

namespace tokenizer::basic {

/// An immutable copy of a MergeTable's pair -> id mapping in 32-bit form: a dense table for
/// the 65,536 byte pairs and an open-addressing table for the rest. Merges whose ids do not fit
/// in 32 bits cannot be held; `complete()` says whether every merge was.
class MergeLookup {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  explicit MergeLookup(const MergeTable& merges);

  /// The merge id of (left, right), or kNone.
  std::uint32_t find(std::uint32_t left, std::uint32_t right) const {
    if ((left | right) < 256) return bytes_[left << 8 | right];
    if (others_.empty()) return kNone;
    const std::uint64_t key = std::uint64_t{left} << 32 | right;
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      const Slot& slot = others_[i];
      if (slot.id == kNone) return kNone;
      if (slot.key == key) return slot.id;
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

 private:
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t id = kNone;
  };

  std::size_t home(std::uint64_t key) const { return static_cast<std::size_t>(mix64(key ^ seed_)) & mask_; }

  void find_joinable_bytes(const MergeTable& merges);

  std::vector<std::uint32_t> bytes_;
  std::vector<std::uint64_t> joinable_;  // 65,536 bits
  std::vector<Slot> others_;
  std::size_t mask_ = 0;
  std::uint64_t seed_;
  std::uint32_t largest_ = 0;
  bool complete_ = true;
};

}  // namespace tokenizer::basic
