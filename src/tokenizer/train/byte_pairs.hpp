// Counting the byte pairs of a text: the first count of every trainer.
#pragma once

#include <algorithm>
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

/// Accounts for `work` units: on a worker (with `stop`), false once `stop` was raised; on the
/// calling thread (without), the pacer polls its interrupt check and throws.
inline bool paced(const StopFlag* stop, InterruptPacer& pace, std::size_t work = 1) {
  if (stop == nullptr) {
    pace(work);
    return true;
  }
  return !(pace.due(work) && stop->stop_requested());
}

/// Calls `visit(i)` for every i in [begin, end), polling as `paced` does once per block of
/// kInterruptInterval positions, so that the inner loop carries no count of its own. False
/// when `stop` cut it short.
template <class Visit>
bool for_each_paced(std::size_t begin, std::size_t end, const StopFlag* stop, InterruptPacer& pace,
                    Visit&& visit) {
  while (begin < end) {
    const std::size_t block_end = begin + std::min(end - begin, kInterruptInterval);
    for (std::size_t i = begin; i < block_end; ++i) visit(i);
    if (!paced(stop, pace, block_end - begin)) return false;
    begin = block_end;
  }
  return true;
}

/// Adds 1 to `table[key]` for every byte pair starting at a position in [begin, end) (so
/// bytes[end] must exist when end > begin), polling as `paced` does. False when `stop` cut it
/// short.
template <class Count>
bool count_byte_pairs(const unsigned char* bytes, std::size_t begin, std::size_t end, Count* table,
                      const StopFlag* stop, InterruptPacer& pace) {
  return for_each_paced(begin, end, stop, pace,
                        [&](std::size_t i) { ++table[byte_pair_key(bytes, i)]; });
}

}  // namespace tokenizer
