// Gap lists: increasing positions stored as the varint-coded differences between neighbours,
// in one byte arena for all lists.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tokenizer/support/huge_page_allocator.hpp"

namespace tokenizer {

/// Bytes that put_varint() writes for `value`: 7 bits per byte, low bits first.
/// Without a loop: sizing runs once per position in every layout of the lists.
template <class Index>
[[gnu::always_inline]] inline std::size_t varint_size(Index value) {
  return (static_cast<std::size_t>(std::bit_width(value | 1)) + 6) / 7;
}

/// Writes `value` at `at`, every byte but the last with its high bit set; the byte after.
template <class Index>
[[gnu::always_inline]] inline unsigned char* put_varint(unsigned char* at, Index value) {
  while (value >= 0x80) {
    *at++ = static_cast<unsigned char>(value | 0x80);
    value >>= 7;
  }
  *at++ = static_cast<unsigned char>(value);
  return at;
}

/// Reads a value put_varint() wrote at `at`; the byte after.
template <class Index>
[[gnu::always_inline]] inline const unsigned char* get_varint(const unsigned char* at,
                                                              Index& value) {
  Index result = *at & 0x7f;
  for (unsigned shift = 7; (*at++ & 0x80) != 0; shift += 7) {
    result |= static_cast<Index>(*at & 0x7f) << shift;
  }
  value = result;
  return at;
}

/// Reads one list: each entry is its position less the one before (less 0 for the first).
template <class Index>
struct GapReader {
  const unsigned char* at;
  Index last = 0;
  [[gnu::always_inline]] Index next() {
    Index gap;
    at = get_varint(at, gap);
    last += gap;
    return last;
  }
};

/// The arena of a trainer's lists: a byte array whose capacity is fixed when it is laid out,
/// so that it never moves while lists are read; lists are appended until it is full, and then
/// laid out again by their owner.
class GapArena {
 public:
  /// Empties the arena and gives it room for `capacity` bytes (released first, so that the
  /// old and the new array are never held together).
  void lay_out(std::size_t capacity) {
    bytes_ = {};
    bytes_.reserve(capacity);
    capacity_ = capacity;
  }
  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return bytes_.size(); }
  /// Grows the used part to `size` bytes (at most the capacity), left unset.
  void resize(std::size_t size) { bytes_.resize(size); }
  unsigned char* data() { return bytes_.data(); }
  const unsigned char* data() const { return bytes_.data(); }

  /// Room to leave beyond lists of `bytes` bytes when laying them out: three eighths more, so
  /// that the lists a merge makes are appended many times over before the next layout.
  static std::size_t room_for(std::size_t bytes) { return bytes + bytes * 3 / 8 + 4096; }

 private:
  std::vector<unsigned char, Uninitialised<unsigned char>> bytes_;
  std::size_t capacity_ = 0;
};

}  // namespace tokenizer
