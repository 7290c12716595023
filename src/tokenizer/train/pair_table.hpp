// PairTable: a trainer's pairs by number, in blocks that never move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace tokenizer {

/// A pair of tokens known by number, and its count. Where its list starts is kept in two
/// parts: the low 32 bits here, the higher ones beside the queued flag (PairTable).
template <class Index>
struct LeanPair {
  Index left;  // kNone while the number is free
  Index right;
  Index count;  // its occurrences now
  std::uint32_t at_low;
};

/// Pairs by number, with a flag each (whether the pair has a heap entry) and where its list
/// starts. The records lie in blocks of 65,536, so that the table grows without moving what
/// it holds: no copy, and never the old and the new array at once.
template <class Index>
class PairTable {
 public:
  using Pair = LeanPair<Index>;
  /// Lists start below this many bytes into their arena.
  static constexpr std::uint64_t kListLimit = std::uint64_t{1} << 39;

  std::size_t size() const { return size_; }
  Pair& operator[](std::size_t number) { return block(number).records[number % kBlock]; }
  const Pair& operator[](std::size_t number) const {
    return blocks_[number / kBlock]->records[number % kBlock];
  }

  /// Appends a pair, unqueued, with its list at 0.
  void push_back(const Pair& pair) {
    if (size_ == blocks_.size() * kBlock) blocks_.push_back(std::make_unique<Block>());
    (*this)[size_] = pair;
    block(size_).high[size_ % kBlock] = 0;
    ++size_;
  }

  bool queued(std::size_t number) const {
    return (blocks_[number / kBlock]->high[number % kBlock] & 1) != 0;
  }
  void set_queued(std::size_t number, bool queued) {
    std::uint8_t& high = block(number).high[number % kBlock];
    high = static_cast<std::uint8_t>((high & ~1u) | (queued ? 1u : 0u));
  }
  std::uint64_t list_at(std::size_t number) const {
    const Block& in = *blocks_[number / kBlock];
    return in.records[number % kBlock].at_low |
           std::uint64_t{static_cast<std::uint8_t>(in.high[number % kBlock] >> 1)} << 32;
  }
  void set_list_at(std::size_t number, std::uint64_t at) {
    if (at >= kListLimit) throw std::bad_alloc();
    Block& in = block(number);
    in.records[number % kBlock].at_low = static_cast<std::uint32_t>(at);
    std::uint8_t& high = in.high[number % kBlock];
    high = static_cast<std::uint8_t>((high & 1u) | ((at >> 32) << 1));
  }

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 16;
  struct Block {
    Pair records[kBlock];
    std::uint8_t high[kBlock];  // bit 0: queued; bits 1-7: list_at's bits 32-38
  };
  Block& block(std::size_t number) { return *blocks_[number / kBlock]; }

  std::vector<std::unique_ptr<Block>> blocks_;
  std::size_t size_ = 0;
};

}  // namespace tokenizer
