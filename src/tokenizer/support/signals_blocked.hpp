// A guard that blocks every signal on the calling thread for its lifetime.
#pragma once

#include <pthread.h>

#include <csignal>

namespace tokenizer {

/// Blocks every signal for the lifetime of the guard and then restores the mask. Threads
/// started meanwhile inherit the full mask, so the interpreter's thread stays the one that
/// receives signals and notices them when it polls.
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

}  // namespace tokenizer
