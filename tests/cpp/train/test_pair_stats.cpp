// Pair counting (serial and on the worker pool), the training tie rule, merge_pair, and the
// worker pool's failure, interruption and fork behaviour.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/worker_pool.hpp"
#include "tokenizer/train/pair_stats.hpp"

namespace tokenizer::basic {
namespace {

using CountMap = std::map<TokenPair, PairCount>;

CountMap as_map(const PairCounts& counts) {
  CountMap map;
  counts.for_each([&](TokenPair pair, PairCount count) { map[pair] = count; });
  return map;
}

CountMap serial_counts(const TokenSequence& sequence) {
  PairCounts counts;
  count_pairs(sequence, counts);
  return as_map(counts);
}

TokenSequence random_sequence(std::mt19937& rng, std::size_t length, TokenId alphabet) {
  std::uniform_int_distribution<TokenId> pick(0, alphabet - 1);
  TokenSequence sequence(length);
  for (TokenId& id : sequence) id = pick(rng);
  return sequence;
}

TEST(CountPairs, CountsEveryAdjacentPairAndAddsToTheTable) {
  EXPECT_EQ(serial_counts({1, 2, 1, 2}), (CountMap{{{1, 2}, 2}, {{2, 1}, 1}}));
  EXPECT_TRUE(serial_counts({7}).empty());
  EXPECT_TRUE(serial_counts({}).empty());

  PairCounts counts;
  count_pairs(TokenSequence{1, 2}, counts);
  count_pairs(TokenSequence{1, 2, 3}, counts);
  EXPECT_EQ(as_map(counts), (CountMap{{{1, 2}, 2}, {{2, 3}, 1}}));
}

TEST(CountPairs, PollingLosesNoPair) {
  std::mt19937 rng{7};
  TokenSequence sequence = random_sequence(rng, 2 * kInterruptInterval + 5, 3);
  int polls = 0;
  PairCounts counts;
  count_pairs(sequence, counts,
              InterruptCheck{[](void* n) { return ++*static_cast<int*>(n) < 0; }, &polls});
  EXPECT_EQ(polls, 2);
  CountMap expected;
  for (std::size_t k = 0; k + 1 < sequence.size(); ++k) ++expected[{sequence[k], sequence[k + 1]}];
  EXPECT_EQ(as_map(counts), expected);
}

TEST(PairCounts, CountsBeyond32BitsAndClearsForReuse) {
  PairCounts counts;
  counts.add({1, 2}, PairCount{3'000'000'000});
  counts.add({1, 2}, PairCount{3'000'000'000});
  EXPECT_EQ(counts.count({1, 2}), PairCount{6'000'000'000});
  for (TokenId i = 0; i < 5000; ++i) counts.add({i, i + 1});
  EXPECT_EQ(counts.size(), 5000u);
  EXPECT_EQ(counts.count({4999, 5000}), 1);
  EXPECT_EQ(counts.count({5000, 4999}), 0);
  counts.clear();
  EXPECT_TRUE(counts.empty());
  EXPECT_EQ(counts.count({1, 2}), 0);
  counts.add({9, 9});
  EXPECT_EQ(as_map(counts), (CountMap{{{9, 9}, 1}}));
}

TEST(TieRule, HigherCountFirstThenSmallerPair) {
  EXPECT_TRUE(outranks({{9, 9}, 3}, {{0, 0}, 2}));
  EXPECT_FALSE(outranks({{0, 0}, 2}, {{9, 9}, 3}));
  EXPECT_TRUE(outranks({{1, 9}, 2}, {{2, 0}, 2}));  // left decides first
  EXPECT_TRUE(outranks({{1, 2}, 2}, {{1, 3}, 2}));  // then right
  EXPECT_FALSE(outranks({{1, 2}, 2}, {{1, 2}, 2}));
}

TEST(TieRule, MostCommonPairIgnoresTableOrder) {
  const std::vector<std::pair<TokenPair, PairCount>> entries = {
      {{5, 1}, 3}, {{2, 9}, 3}, {{2, 8}, 3}, {{1, 1}, 2}, {{0, 0}, 1}};
  for (int round = 0; round < 20; ++round) {  // each table has keys and an order of its own
    PairCounts counts;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const auto& [pair, count] = entries[(i + static_cast<std::size_t>(round)) % entries.size()];
      counts.add(pair, count);
    }
    EXPECT_EQ(most_common_pair(counts), (TokenPair{2, 8}));
  }
  EXPECT_EQ(most_common_pair(PairCounts{}), std::nullopt);
}

struct MergeCase {
  TokenSequence before;
  TokenPair pair;
  TokenSequence after;
};

TEST(MergePair, GreedyFromTheLeftWithoutOverlap) {
  const TokenId n = 300;
  const MergeCase cases[] = {
      {{7, 7, 7}, {7, 7}, {n, 7}},
      {{7, 7, 7, 7}, {7, 7}, {n, n}},
      {{1, 2, 1, 2}, {1, 2}, {n, n}},
      {{2, 1}, {1, 2}, {2, 1}},
      {{3, 1, 2, 1}, {1, 2}, {3, n, 1}},
      {{1, 2, 2, 1, 2, 1}, {1, 2}, {n, 2, n, 1}},
      {{}, {1, 2}, {}},
      {{1}, {1, 2}, {1}},
  };
  for (const MergeCase& c : cases) {
    TokenSequence sequence = c.before;
    const std::size_t capacity = sequence.capacity();
    merge_pair(sequence, c.pair, n);
    EXPECT_EQ(sequence, c.after);
    EXPECT_EQ(sequence.capacity(), capacity);
  }
}

TEST(ParallelCount, EqualsTheSerialCountForEveryChunking) {
  std::mt19937 rng{11};
  const std::size_t threads[] = {2, 3, 4, 7, 8};
  for (std::size_t t : threads) {
    for (std::size_t n = t; n < t + 40; ++n) {  // n = t: every pair spans a chunk boundary
      TokenSequence sequence = random_sequence(rng, n, 3);
      CountMap expected = serial_counts(sequence);
      ASSERT_EQ(as_map(parallel_count_pairs(sequence, t)), expected) << "n=" << n << " t=" << t;
      PairCounts serial;
      count_pairs(sequence, serial);
      ASSERT_EQ(parallel_get_most_common_pair(sequence, t), most_common_pair(serial));
    }
  }
}

TEST(ParallelCount, BoundaryPairOfTheLastChunkIsCounted) {
  // n = 10, t = 3: chunks of 3, 3, 3 and 1 tokens; (8, 9) spans the last boundary.
  const TokenSequence sequence = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  CountMap counts = as_map(parallel_count_pairs(sequence, 3));
  EXPECT_EQ(counts.size(), 9u);
  EXPECT_EQ(counts[(TokenPair{8, 9})], 1);
}

TEST(ParallelCount, FewerTokensThanThreadsIsAFault) {
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 2}, {1, 2}, {7, 8}};
  for (auto [n, t] : cases) {
    TokenSequence sequence(n, 1);
    try {
      parallel_get_most_common_pair(sequence, t);
      ADD_FAILURE() << "n=" << n << " t=" << t;
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
  // The pool is still whole.
  TokenSequence sequence = {1, 2, 1, 2, 1};
  EXPECT_EQ(parallel_get_most_common_pair(sequence, 2), (TokenPair{1, 2}));
}

TEST(WorkerPool, InterruptionStopsRunningTasks) {
  auto endless = [](std::size_t, const StopFlag& stop) {
    while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  InterruptCheck always{[](void*) { return true; }, nullptr};
  EXPECT_THROW(run_on_workers(3, endless, always), Interrupted);
}

TEST(WorkerPool, ServesSeveralCallingThreadsAtOnce) {
  std::mt19937 rng{5};
  TokenSequence sequence = random_sequence(rng, 5000, 4);
  CountMap expected = serial_counts(sequence);
  std::atomic<int> mismatches{0};
  auto caller = [&] {
    for (int i = 0; i < 50; ++i) {
      if (as_map(parallel_count_pairs(sequence, 3)) != expected) ++mismatches;
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
  TokenSequence sequence = {1, 2, 1, 2, 1, 2, 3};
  ASSERT_EQ(parallel_get_most_common_pair(sequence, 2), (TokenPair{1, 2}));  // parent's pool runs
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(30);  // a child waiting on the parent's workers would hang: let the alarm end it
    bool ok = parallel_get_most_common_pair(sequence, 2) == TokenPair{1, 2};
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tokenizer::basic
