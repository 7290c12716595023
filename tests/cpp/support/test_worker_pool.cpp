// The worker pool: every index run once, failures and interruptions carried back to the
// caller, several callers at once, a forked child; and the cut of a range into chunks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/worker_pool.hpp"

namespace tokenizer {
namespace {

/// 0 + 1 + ... + (count - 1), summed by tasks on the pool.
std::size_t sum_on_workers(std::size_t count) {
  std::atomic<std::size_t> sum{0};
  auto task = [&](std::size_t i, const StopFlag&) { sum += i; };
  run_on_workers(count, task);
  return sum.load();
}

TEST(Chunks, CoverTheRangeInOrderWithTheRestLast) {
  for (std::size_t parts : {1, 2, 3, 4, 7, 8}) {
    for (std::size_t n = parts; n < parts + 40; ++n) {  // n = parts: chunks of one item
      const Chunks chunks{n, parts};
      ASSERT_GE(chunks.count(), parts);
      ASSERT_LE(chunks.count(), 2 * parts - 1);
      std::size_t at = 0;
      for (std::size_t k = 0; k < chunks.count(); ++k) {
        ASSERT_EQ(chunks.begin(k), at) << "n=" << n << " parts=" << parts;
        ASSERT_GT(chunks.end(k), at);
        if (k + 1 < chunks.count()) {
          ASSERT_EQ(chunks.end(k) - at, n / parts);
        }
        at = chunks.end(k);
      }
      ASSERT_EQ(at, n);
    }
  }
}

TEST(Chunks, FewerItemsThanPartsIsAFault) {
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 2}, {1, 2}, {7, 8}, {5, 0}};
  for (auto [n, parts] : cases) {
    try {
      const Chunks chunks{n, parts};
      ADD_FAILURE() << "n=" << n << " parts=" << parts << ": " << chunks.count() << " chunks";
    } catch (const InternalFault& fault) {
      EXPECT_EQ(fault.message(), "chunk_size must not be zero");
    }
  }
}

TEST(WorkerPool, RunsEveryIndexOnceWithOneWorkerPerProcessor) {
  EXPECT_EQ(worker_count(), available_processors());
  for (std::size_t count : {1, 2, 3, 7, 64, 1000}) {
    std::vector<std::atomic<int>> runs(count);
    auto task = [&](std::size_t i, const StopFlag&) { ++runs[i]; };
    run_on_workers(count, task);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << i << " of " << count;
  }
}

TEST(WorkerPool, CarriesFailuresBackToTheCaller) {
  auto faulty = [](std::size_t i, const StopFlag&) {
    if (i == 5) raise_fault("worker fault");
  };
  try {
    run_on_workers(16, faulty);
    ADD_FAILURE() << "no fault";
  } catch (const InternalFault& fault) {
    EXPECT_EQ(fault.message(), "worker fault");
  }
  auto starved = [](std::size_t i, const StopFlag&) {
    if (i == 0) throw std::bad_alloc{};
  };
  EXPECT_THROW(run_on_workers(4, starved), std::bad_alloc);
  EXPECT_EQ(sum_on_workers(100), 4950u);  // the pool is still whole
}

TEST(WorkerPool, InterruptionStopsRunningTasks) {
  auto endless = [](std::size_t, const StopFlag& stop) {
    while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  InterruptCheck always{[](void*) { return true; }, nullptr};
  EXPECT_THROW(run_on_workers(3, endless, always), Interrupted);
}

TEST(WorkerPool, ServesSeveralCallingThreadsAtOnce) {
  std::atomic<int> mismatches{0};
  auto caller = [&] {
    for (int i = 0; i < 50; ++i) {
      if (sum_on_workers(5000) != 12497500u) ++mismatches;
    }
  };
  std::thread other{caller};
  caller();
  other.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(WorkerPool, ForkedChildStartsAPoolOfItsOwn) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multi-threaded fork";
#endif
  ASSERT_EQ(sum_on_workers(10), 45u);  // the parent's pool runs
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(30);  // a child waiting on the parent's workers would hang: let the alarm end it
    _exit(sum_on_workers(10) == 45u ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tokenizer
