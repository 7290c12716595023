#include "tokenizer/basic/step_team.hpp"

#include <pthread.h>

#include <csignal>
#include <system_error>
#include <utility>

namespace tokenizer::basic {
namespace {

// How many times a waiting thread looks at the shared state before it sleeps (a helper) or
// polls its interrupt check (the caller). Steps follow each other within microseconds.
constexpr int kSpins = 4000;

/// Blocks every signal for the lifetime of the guard and then restores the mask.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_{};
};

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
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
  epoch_.fetch_add(1, std::memory_order_release);
  epoch_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void StepTeam::fail(std::exception_ptr failure) noexcept {
  std::lock_guard lock{failure_lock_};
  if (!failure_) failure_ = std::move(failure);
  stop_->request_stop();
}

void StepTeam::help(std::size_t thread) noexcept {
  std::uint64_t seen = 0;
  for (;;) {
    std::uint64_t now = epoch_.load(std::memory_order_acquire);
    for (int spin = 0; now == seen && spin < kSpins; ++spin) {
      relax();
      now = epoch_.load(std::memory_order_acquire);
    }
    if (now == seen) {
      epoch_.wait(seen, std::memory_order_acquire);
      continue;
    }
    seen = now;
    if (quit_.load(std::memory_order_acquire)) return;
    InterruptPacer pace;
    try {
      for (std::size_t k = thread; k < count_ && !stop_->stop_requested(); k += size()) {
        (*task_)(k, &*stop_, pace);
      }
    } catch (...) {
      fail(std::current_exception());
    }
    busy_.fetch_sub(1, std::memory_order_acq_rel);
  }
}

void StepTeam::run(std::size_t count, TeamTask task, const InterruptCheck& interrupt) {
  task_.emplace(task);
  count_ = count;
  stop_.emplace();
  failure_ = nullptr;
  busy_.store(helpers_.size(), std::memory_order_relaxed);
  epoch_.fetch_add(1, std::memory_order_release);
  epoch_.notify_all();
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
  for (int spin = 0; busy_.load(std::memory_order_acquire) != 0; ++spin) {
    if (spin < kSpins) {
      relax();
      continue;
    }
    spin = 0;
    std::this_thread::yield();
    if (!interrupted) {
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
