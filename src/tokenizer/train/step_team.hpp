// StepTeam: a few threads kept for the length of one training, for work done in many short
// steps (a sharded merge each step). A run costs a wake-up and a barrier, microseconds, where
// the worker pool's queue and condition variables cost tens of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "tokenizer/support/error.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/worker_pool.hpp"

namespace tokenizer::basic {

/// A borrowed callable `void(std::size_t index, const StopFlag* stop, InterruptPacer& pace)`.
/// On the calling thread `stop` is null and `pace` polls the run's InterruptCheck (and throws);
/// on a helper `stop` is the run's flag and `pace` only counts.
class TeamTask {
 public:
  template <class Task, class = std::enable_if_t<!std::is_same_v<std::decay_t<Task>, TeamTask>>>
  TeamTask(Task& task)  // NOLINT: implicit on purpose, like a function reference
      : context_{&task},
        call_{[](void* context, std::size_t index, const StopFlag* stop, InterruptPacer& pace) {
          (*static_cast<Task*>(context))(index, stop, pace);
        }} {}

  void operator()(std::size_t index, const StopFlag* stop, InterruptPacer& pace) const {
    call_(context_, index, stop, pace);
  }

 private:
  void* context_;
  void (*call_)(void*, std::size_t, const StopFlag*, InterruptPacer&);
};

class StepTeam {
 public:
  /// Starts `helpers` threads (with every signal blocked, so signals keep going to the
  /// caller's thread). Fewer start when the system refuses some; runs then do more on the
  /// calling thread.
  explicit StepTeam(std::size_t helpers);
  ~StepTeam();
  StepTeam(const StepTeam&) = delete;
  StepTeam& operator=(const StepTeam&) = delete;

  /// Threads that share a run: the helpers and the calling thread.
  std::size_t size() const { return helpers_.size() + 1; }

  /// Runs task(i) for every i in [0, count): thread t of size() (the caller is 0) takes
  /// t, t + size(), ... in that order. Returns when all are done. When a task throws, or
  /// `interrupt` does while the caller works or waits, the others see their stop flag raised,
  /// and once every thread is done the first failure (a task's before an interruption) is
  /// rethrown here.
  void run(std::size_t count, TeamTask task, const InterruptCheck& interrupt);

 private:
  void help(std::size_t thread) noexcept;
  void fail(std::exception_ptr failure) noexcept;

  std::vector<std::thread> helpers_;
  // Both are waited on with futexes: 32 bits wide.
  std::atomic<std::uint32_t> epoch_{0};           // bumped to start a run
  std::atomic<std::uint32_t> busy_{0};            // helpers not yet done with the current run
  std::atomic<std::uint32_t> epoch_sleepers_{0};  // threads asleep on each
  std::atomic<std::uint32_t> busy_sleepers_{0};
  std::atomic<bool> quit_{false};
  // The current run; written by the caller before it bumps `epoch_`.
  std::optional<TeamTask> task_;
  std::size_t count_ = 0;
  std::optional<StopFlag> stop_;
  std::mutex failure_lock_;
  std::exception_ptr failure_;
};

}  // namespace tokenizer::basic
