// The step team: every index runs once per run, a helper's failure and an interruption reach
// the caller, and the team stays usable after a failed run.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <vector>

#include "tokenizer/train/step_team.hpp"

namespace tokenizer::basic {
namespace {

TEST(StepTeam, RunsEveryIndexOnceInEveryRun) {
  for (std::size_t helpers : {0, 1, 3}) {
    StepTeam team{helpers};
    for (std::size_t count : {0, 1, 2, 5, 64}) {
      std::vector<std::atomic<int>> runs(count);
      auto task = [&](std::size_t k, const StopFlag*, InterruptPacer&) { ++runs[k]; };
      for (int round = 0; round < 50; ++round) team.run(count, task, {});
      for (std::size_t k = 0; k < count; ++k) EXPECT_EQ(runs[k], 50) << helpers << " helpers";
    }
  }
}

TEST(StepTeam, HandsFailuresAndInterruptionsToTheCaller) {
  StepTeam team{2};
  // A helper's failure, whatever the caller does meanwhile.
  auto failing = [](std::size_t k, const StopFlag*, InterruptPacer&) {
    if (k == 2) throw std::bad_alloc();
  };
  EXPECT_THROW(team.run(3, failing, {}), std::bad_alloc);
  // An interruption noticed while the caller waits for a helper that runs until stopped.
  auto until_stopped = [](std::size_t k, const StopFlag* stop, InterruptPacer&) {
    if (k == 1) {
      while (!stop->stop_requested()) {
      }
    }
  };
  bool pending = true;
  const InterruptCheck interrupt{[](void* flag) { return *static_cast<bool*>(flag); }, &pending};
  EXPECT_THROW(team.run(2, until_stopped, interrupt), Interrupted);
  // The team is usable again.
  std::atomic<int> runs{0};
  auto count = [&](std::size_t, const StopFlag*, InterruptPacer&) { ++runs; };
  team.run(6, count, {});
  EXPECT_EQ(runs, 6);
}

}  // namespace
}  // namespace tokenizer::basic
