// Pacing of interrupt polls: long loops count their work and poll once per interval of it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// Units of work between two polls, whatever a loop counts: tokens or bytes scanned, rewrites,
/// ids looked up, bytes copied, read or written, table entries made. In tables of hundreds of
/// megabytes a read that misses the caches and the TLB can take microseconds under a virtual
/// machine; at this interval a pending signal is still noticed within tens of milliseconds,
/// while the polls themselves (a load and a compare) cost nothing measurable.
inline constexpr std::size_t kInterruptInterval = std::size_t{1} << 13;

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

/// Elements of T laid out or moved between two polls: 256 KiB of memory, which takes a
/// millisecond or more where memory is touched for the first time.
template <class T>
inline constexpr std::size_t kPacedElements =
    std::max<std::size_t>(1, (std::size_t{1} << 18) / sizeof(T));

/// Sets `v` to `count` copies of `value`, touching the memory in paced steps: the first touch
/// of hundreds of megabytes takes seconds where the system is slow to hand out memory. An
/// interruption leaves `v` with part of the copies.
template <class T>
void assign_paced(std::vector<T>& v, std::size_t count, const T& value, InterruptPacer& pacer) {
  v.clear();
  v.reserve(count);
  while (v.size() < count) {
    const std::size_t step = std::min(count - v.size(), kPacedElements<T>);
    v.insert(v.end(), step, value);
    pacer.poll_now();
  }
}

/// Gives `v` room for `capacity` elements, moving those it holds in paced steps. An
/// interruption leaves `v` as it was.
template <class T>
void reserve_paced(std::vector<T>& v, std::size_t capacity, InterruptPacer& pacer) {
  if (capacity <= v.capacity()) return;
  std::vector<T> grown;
  grown.reserve(capacity);
  for (std::size_t at = 0; at < v.size();) {
    const std::size_t step = std::min(v.size() - at, kPacedElements<T>);
    const auto from = v.begin() + static_cast<std::ptrdiff_t>(at);
    grown.insert(grown.end(), from, from + static_cast<std::ptrdiff_t>(step));
    at += step;
    pacer.poll_now();
  }
  v.swap(grown);
}

/// Appends `value` to `v`, growing its storage as push_back would but in paced steps.
template <class T>
void push_back_paced(std::vector<T>& v, T value, InterruptPacer& pacer) {
  if (v.size() == v.capacity()) reserve_paced(v, v.size() * 2 + 16, pacer);
  v.push_back(std::move(value));
}

}  // namespace tokenizer
