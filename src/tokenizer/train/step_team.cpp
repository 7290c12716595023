#include "tokenizer/train/step_team.hpp"

#include <pthread.h>
#ifdef __linux__
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <chrono>
#include <climits>
#include <csignal>
#include <ctime>
#include <system_error>
#include <utility>

#include "tokenizer/support/signals_blocked.hpp"

namespace tokenizer::basic {
namespace {

// A waiting thread looks at the shared state for this long, pausing between looks, then a
// few times more yielding its processor (to the thread it waits for, on a busy machine),
// before it sleeps. Steps follow each other within tens of microseconds; a sleep and a
// wake-up cost about as much, and far more when the machine is busy.
constexpr auto kSpinTime = std::chrono::microseconds(50);
constexpr int kYields = 8;

// How long the caller sleeps at most between two polls of its interrupt check.
constexpr long kPollNanoseconds = 10'000'000;

/// Sleeps while `*word` holds `expected`, `nanoseconds` at most (0: no limit); returns early
/// when woken, or spuriously. `sleepers` counts the threads asleep on `word`, so that wakers
/// make no system call when there are none.
void sleep_while(std::atomic<std::uint32_t>& word, std::uint32_t expected, long nanoseconds,
                 std::atomic<std::uint32_t>& sleepers) {
  sleepers.fetch_add(1, std::memory_order_seq_cst);
  if (word.load(std::memory_order_seq_cst) == expected) {
#ifdef __linux__
    timespec timeout{0, nanoseconds};
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            nanoseconds > 0 ? &timeout : nullptr, nullptr, 0);
#else
    (void)nanoseconds;
    std::this_thread::yield();
#endif
  }
  sleepers.fetch_sub(1, std::memory_order_seq_cst);
}

/// Wakes the threads asleep on `word`, after a change to it.
void wake_all(std::atomic<std::uint32_t>& word, const std::atomic<std::uint32_t>& sleepers) {
  if (sleepers.load(std::memory_order_seq_cst) == 0) return;
#ifdef __linux__
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
#else
  (void)word;
#endif
}

/// Waits a little while `*word` holds `expected`: true once it changed.
bool spin_while(const std::atomic<std::uint32_t>& word, std::uint32_t expected) {
  const auto until = std::chrono::steady_clock::now() + kSpinTime;
  for (int look = 1;; ++look) {
    if (word.load(std::memory_order_acquire) != expected) return true;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    if (look % 32 == 0 && std::chrono::steady_clock::now() > until) break;
  }
  for (int yield = 0; yield < kYields; ++yield) {
    std::this_thread::yield();
    if (word.load(std::memory_order_acquire) != expected) return true;
  }
  return false;
}

}  // namespace

StepTeam::StepTeam(std::size_t helpers) {
  SignalsBlocked blocked;
  helpers_.reserve(helpers);
  for (std::size_t t = 1; t <= helpers; ++t) {
    try {
      helpers_.emplace_back([this, t] { help(t); });
    } catch (const std::system_error&) {
      break;  // runs do the missing threads' share on the caller
    }
  }
}

StepTeam::~StepTeam() {
  quit_.store(true, std::memory_order_release);
  epoch_.fetch_add(1, std::memory_order_seq_cst);
  wake_all(epoch_, epoch_sleepers_);
  for (std::thread& helper : helpers_) helper.join();
}

void StepTeam::fail(std::exception_ptr failure) noexcept {
  std::lock_guard lock{failure_lock_};
  if (!failure_) failure_ = std::move(failure);
  stop_->request_stop();
}

void StepTeam::help(std::size_t thread) noexcept {
  std::uint32_t seen = 0;
  for (;;) {
    if (!spin_while(epoch_, seen)) {
      sleep_while(epoch_, seen, 0, epoch_sleepers_);
      continue;
    }
    seen = epoch_.load(std::memory_order_acquire);
    if (quit_.load(std::memory_order_acquire)) return;
    InterruptPacer pace;
    try {
      for (std::size_t k = thread; k < count_ && !stop_->stop_requested(); k += size()) {
        (*task_)(k, &*stop_, pace);
      }
    } catch (...) {
      fail(std::current_exception());
    }
    if (busy_.fetch_sub(1, std::memory_order_seq_cst) == 1) wake_all(busy_, busy_sleepers_);
  }
}

void StepTeam::run(std::size_t count, TeamTask task, const InterruptCheck& interrupt) {
  task_.emplace(task);
  count_ = count;
  stop_.emplace();
  failure_ = nullptr;
  busy_.store(static_cast<std::uint32_t>(helpers_.size()), std::memory_order_relaxed);
  epoch_.fetch_add(1, std::memory_order_seq_cst);
  wake_all(epoch_, epoch_sleepers_);
  std::exception_ptr interrupted;
  InterruptPacer pace{interrupt};
  try {
    for (std::size_t k = 0; k < count && !stop_->stop_requested(); k += size()) {
      task(k, nullptr, pace);
    }
  } catch (const Interrupted&) {
    interrupted = std::current_exception();
    stop_->request_stop();
  } catch (...) {
    fail(std::current_exception());
  }
  for (;;) {
    const std::uint32_t busy = busy_.load(std::memory_order_acquire);
    if (busy == 0) break;
    if (spin_while(busy_, busy)) continue;
    sleep_while(busy_, busy, kPollNanoseconds, busy_sleepers_);
    if (!interrupted && busy_.load(std::memory_order_acquire) != 0) {
      try {
        interrupt();
      } catch (const Interrupted&) {
        interrupted = std::current_exception();
        stop_->request_stop();
      }
    }
  }
  if (failure_) std::rethrow_exception(failure_);
  if (interrupted) std::rethrow_exception(interrupted);
}

}  // namespace tokenizer::basic
