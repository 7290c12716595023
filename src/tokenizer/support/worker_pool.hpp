// The process-wide pool of worker threads on which parallel pair counting runs, and the cut
// of a range into its chunks.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <type_traits>

#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// Raised for the tasks of one run when the caller stops waiting for them (it was
/// interrupted) or when another task of the run failed. Long tasks poll it and return early.
class StopFlag {
 public:
  /// True once the run's remaining work is no longer wanted.
  bool stop_requested() const { return stop_.load(std::memory_order_relaxed); }
  /// Asks every task of the run to stop.
  void request_stop() { stop_.store(true, std::memory_order_relaxed); }

 private:
  std::atomic<bool> stop_{false};
};

/// A borrowed callable `void(std::size_t index, const StopFlag&)`. It refers to the callable
/// without copying it, so the callable must outlive every call through the reference.
class TaskRef {
 public:
  template <class Task, class = std::enable_if_t<!std::is_same_v<std::decay_t<Task>, TaskRef>>>
  TaskRef(Task& task)  // NOLINT: implicit on purpose, like a function reference
      : context_{&task}, call_{[](void* context, std::size_t index, const StopFlag& stop) {
          (*static_cast<Task*>(context))(index, stop);
        }} {}

  /// Runs the task for `index`.
  void operator()(std::size_t index, const StopFlag& stop) const { call_(context_, index, stop); }

 private:
  void* context_;
  void (*call_)(void*, std::size_t, const StopFlag&);
};

/// `n` items cut for `parts` workers: chunks of floor(n / parts) items in order, then one
/// holding the items left over, so `parts` to 2 * parts - 1 chunks in all. Fault "chunk_size
/// must not be zero" unless 1 <= parts <= n.
class Chunks {
 public:
  Chunks(std::size_t n, std::size_t parts) : n_{n}, size_{parts == 0 ? 0 : n / parts} {
    check(size_ != 0, "chunk_size must not be zero");
    count_ = n / size_ + (n % size_ != 0 ? 1 : 0);
  }

  /// Number of chunks.
  std::size_t count() const { return count_; }
  /// The first item of chunk `k`.
  std::size_t begin(std::size_t k) const { return k * size_; }
  /// One past the last item of chunk `k`.
  std::size_t end(std::size_t k) const { return std::min(begin(k) + size_, n_); }

 private:
  std::size_t n_;
  std::size_t size_;
  std::size_t count_ = 0;
};

/// The worker pool: a fork-join pool with one worker thread per processor available to the
/// process. It starts on the first call below and lives until the process ends; a forked child
/// starts a pool of its own on its first call, since the parent's threads do not exist there.

/// Number of worker threads in the pool, starting it if needed (0 only when the system
/// refused to start any thread; runs then happen on the calling thread).
std::size_t worker_count();

/// Runs `task(i)` for every i in [0, count) on the pool and returns when all are done. The
/// index range is halved recursively, one half kept and the other offered to idle workers,
/// until there are a few pieces per worker; a piece runs its indexes one after another in
/// increasing order. The calling thread does no task work: it waits, polling `interrupt`
/// every few milliseconds. When a task throws (an InternalFault, std::bad_alloc, anything)
/// or `interrupt` throws, tasks not yet started are skipped, running ones see their StopFlag
/// raised, and once none is running the first task failure (or else the interruption) is
/// rethrown on the calling thread.
void run_on_workers(std::size_t count, TaskRef task, const InterruptCheck& interrupt = {});

/// Number of processors this process may run on (its CPU affinity mask), at least 1.
std::size_t available_processors();

}  // namespace tokenizer
