// The memory budget's sources: cgroup files laid out under a temporary root the way v1, v2 and
// namespaced hierarchies show them, and the rule that combines the limits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tokenizer/support/memory_budget.hpp"

namespace tokenizer {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

struct Layout {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // path under the root, content
  std::uint64_t limit;
};

const char* const kMounts =
    "25 1 0:22 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"
    "30 1 0:27 /ns /sys/fs/cgroup/memory rw shared:9 - cgroup cgroup rw,memory\n"
    "31 1 0:28 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n";

const Layout kLayouts[] = {
    {"v2_parent_limit_applies",
     {{"proc/self/cgroup", "0::/user.slice/app.scope\n"},
      {"proc/self/mountinfo", kMounts},
      {"sys/fs/cgroup/unified/user.slice/app.scope/memory.max", "max\n"},
      {"sys/fs/cgroup/unified/user.slice/memory.max", "2147483648\n"},
      {"sys/fs/cgroup/unified/memory.max", "8589934592\n"}},
     2 * kGiB},
    {"v1_seen_through_a_namespace_mount",
     {{"proc/self/cgroup", "3:cpu:/\n2:cpuset,memory:/ns/job\n0::/\n"},
      {"proc/self/mountinfo", kMounts},
      {"sys/fs/cgroup/memory/job/memory.limit_in_bytes", "536870912\n"},
      {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
      {"sys/fs/cgroup/cpu/job/memory.limit_in_bytes", "1\n"}},  // not the memory hierarchy
     kGiB / 2},
    {"both_hierarchies_the_smaller_wins",
     {{"proc/self/cgroup", "2:memory:/ns\n0::/a\n"},
      {"proc/self/mountinfo", kMounts},
      {"sys/fs/cgroup/unified/a/memory.max", "3221225472\n"},
      {"sys/fs/cgroup/memory/memory.limit_in_bytes", "4294967296\n"}},
     3 * kGiB},
    {"path_missing_under_the_mount_falls_back_to_its_top",
     {{"proc/self/cgroup", "0::/elsewhere/deep\n"},
      {"proc/self/mountinfo", kMounts},
      {"sys/fs/cgroup/unified/memory.max", "1073741824\n"}},
     kGiB},
    {"no_cgroup_files", {}, 0},
};

class CgroupLimit : public testing::TestWithParam<Layout> {};

TEST_P(CgroupLimit, ReadFromTheFilesUnderTheRoot) {
  const fs::path root = fs::path{testing::TempDir()} /
                        ("pairloom_cgroup_" + std::to_string(getpid()) + "_" + GetParam().name);
  for (const auto& [path, content] : GetParam().files) {
    fs::create_directories((root / path).parent_path());
    std::ofstream{root / path} << content;
  }
  fs::create_directories(root);
  EXPECT_EQ(read_memory_limits(root.string()).cgroup, GetParam().limit);
  fs::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(Layouts, CgroupLimit, testing::ValuesIn(kLayouts),
                         [](const auto& layout) { return std::string{layout.param.name}; });

TEST(MemoryBudget, AQuarterOfTheSmallestLimitThatApplies) {
  EXPECT_EQ(memory_budget_from({16 * kGiB, 2 * kGiB, 0, 0}), kGiB / 2);
  EXPECT_EQ(memory_budget_from({16 * kGiB, 0, 4 * kGiB, kGiB}), kGiB / 4);
  EXPECT_EQ(memory_budget_from({2 * kGiB, 0, 0, 0}), kGiB / 2);
  if constexpr (sizeof(std::size_t) == 4) {
    EXPECT_EQ(memory_budget_from({64 * kGiB, 0, 0, 0}), kGiB - 1);  // a quarter of 4 GiB
  }
}

}  // namespace
}  // namespace tokenizer
