// Pacing of interrupt polls: long loops count their work and poll once per interval of it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "tokenizer/basic/error.hpp"

namespace tokenizer::basic {

/// Units of work between two polls, whatever a loop counts: tokens or bytes scanned, rewrites,
/// ids looked up, bytes copied, read or written, table entries made. The dearest of these (a
/// rewrite or an insertion that misses the cache) takes well under a microsecond, so a pending
/// signal is noticed within milliseconds, while the polls themselves cost nothing measurable.
inline constexpr std::size_t kInterruptInterval = std::size_t{1} << 16;

/// Counts a loop's work and polls an InterruptCheck once per kInterruptInterval units.
class InterruptPacer {
 public:
  /// A pacer that only counts: `due()` says when to poll something of the caller's own (a
  /// worker's stop flag, say); `operator()` never interrupts.
  InterruptPacer() = default;
  /// A pacer that polls `interrupt`.
  explicit InterruptPacer(const InterruptCheck& interrupt) : interrupt_{interrupt} {}

  /// Accounts for `work` more units; true once an interval is complete, and counting starts
  /// over. A piece of work of an interval or more is due at once.
  bool due(std::size_t work = 1) {
    if (work < kInterruptInterval - done_) {
      done_ += work;
      return false;
    }
    done_ = 0;
    return true;
  }

  /// Accounts for `work` more units and polls when an interval is complete; throws
  /// Interrupted when the check says so.
  void operator()(std::size_t work = 1) {
    if (due(work)) interrupt_();
  }

  /// Polls now, whatever the count (before a long piece of work, or after a system call that a
  /// signal interrupted); counting starts over.
  void poll_now() {
    done_ = 0;
    interrupt_();
  }

 private:
  InterruptCheck interrupt_;
  std::size_t done_ = 0;
};

/// Sets `v` to `count` copies of `value`, touching the memory in paced steps: the first touch
/// of hundreds of megabytes takes seconds where the system is slow to hand out memory. An
/// interruption leaves `v` with part of the copies.
template <class T>
void assign_paced(std::vector<T>& v, std::size_t count, const T& value, InterruptPacer& pacer) {
  v.clear();
  v.reserve(count);
  while (v.size() < count) {
    const std::size_t step = std::min(count - v.size(), kInterruptInterval);
    v.insert(v.end(), step, value);
    pacer(step);
  }
}

}  // namespace tokenizer::basic
