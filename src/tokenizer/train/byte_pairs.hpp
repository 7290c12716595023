// Counting the byte pairs of a text: the first count of every trainer.
#pragma once

#include <cstddef>

#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/worker_pool.hpp"

namespace tokenizer {

/// Number of distinct byte pairs, and of entries in a dense table of them.
inline constexpr std::size_t kBytePairKeys = 65536;

/// The key of the byte pair starting at bytes[i], 0..65535: left byte high, right byte low.
inline unsigned byte_pair_key(const unsigned char* bytes, std::size_t i) {
  return static_cast<unsigned>(bytes[i]) << 8 | bytes[i + 1];
}

/// Counts a unit of work: on a worker (with `stop`), false once `stop` was raised; on the
/// calling thread (without), the pacer polls its interrupt check and throws.
inline bool paced(const StopFlag* stop, InterruptPacer& pace) {
  if (stop == nullptr) {
    pace();
    return true;
  }
  return !(pace.due() && stop->stop_requested());
}

/// Adds 1 to `table[key]` for every byte pair starting at a position in [begin, end) (so
/// bytes[end] must exist when end > begin), polling as `paced` does. False when `stop` cut it
/// short.
template <class Count>
bool count_byte_pairs(const unsigned char* bytes, std::size_t begin, std::size_t end, Count* table,
                      const StopFlag* stop, InterruptPacer& pace) {
  for (std::size_t i = begin; i < end; ++i) {
    ++table[byte_pair_key(bytes, i)];
    if (!paced(stop, pace)) return false;
  }
  return true;
}

}  // namespace tokenizer
