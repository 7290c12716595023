// The two layouts of the incremental trainer behind one interface: IncrementalTrainer picks
// one per text and forwards to it. Each lays the text out in its own memory while it is built
// and keeps no view of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>

#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// One layout's trainer: what IncrementalTrainer promises, over that layout's memory.
class TrainerEngine {
 public:
  virtual ~TrainerEngine() = default;
  virtual std::optional<TokenPair> most_common_pair() = 0;
  virtual void merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt) = 0;
  virtual std::size_t size() const = 0;
};

/// Positions and ids of 64 bits; where size_t has 32 bits no text needs more, and the wide
/// variant is the narrow one.
using WideIndex = std::conditional_t<(sizeof(std::size_t) > 4), std::uint64_t, std::uint32_t>;

/// Two words per position (LinkedTokens) and 4-byte position lists: the faster layout. With
/// `num_threads` 2 or more it counts the text on the worker pool, and rewrites the merges of
/// `split_from` occurrences or more there in up to `num_threads` parts. `wide` takes 64-bit
/// positions whatever the text's length.
std::unique_ptr<TrainerEngine> make_linked_engine(std::string_view text, std::size_t num_threads,
                                                  const InterruptCheck& interrupt, bool wide,
                                                  std::size_t split_from);

/// One word per position (PackedTokens) and varint gap lists: about half the memory of the
/// linked layout, on the calling thread alone. `tight_lists` leaves no room beyond the lists.
std::unique_ptr<TrainerEngine> make_packed_engine(std::string_view text,
                                                  const InterruptCheck& interrupt, bool wide,
                                                  bool tight_lists);

/// True when a text of `text_bytes` bytes takes 64-bit positions: when `wide`, or at
/// `narrow_limit` bytes or more. Where size_t has 32 bits a text at the limit is refused with
/// std::bad_alloc: such a process cannot hold its trainer anyway.
inline bool wide_positions(std::size_t text_bytes, std::uint64_t narrow_limit, bool wide) {
  if constexpr (sizeof(WideIndex) == 4) {
    if (text_bytes >= narrow_limit) throw std::bad_alloc();
  }
  return wide || text_bytes >= narrow_limit;
}

}  // namespace tokenizer
