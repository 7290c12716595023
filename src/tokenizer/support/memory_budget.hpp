// The memory budget: how much working memory one piece of engine work (the bytes of all tokens
// of a vocabulary, a decoded text, a line of a file, a list of ids) may take before it is
// refused with std::bad_alloc, so that oversized work fails as MemoryError instead of
// getting the process killed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tokenizer {

/// The limits on this process's memory that the budget is made from; 0 where none applies.
struct MemoryLimits {
  std::uint64_t physical = 0;       ///< installed memory
  std::uint64_t cgroup = 0;         ///< smallest memory limit of the process's cgroup and its
                                    ///< parents (v2 memory.max, v1 memory.limit_in_bytes)
  std::uint64_t address_space = 0;  ///< soft RLIMIT_AS
  std::uint64_t data = 0;           ///< soft RLIMIT_DATA
};

/// Reads the limits. The cgroup files are found from `root`: its proc/self/cgroup names the
/// process's cgroups and proc/self/mountinfo where their hierarchies are mounted.
MemoryLimits read_memory_limits(const std::string& root = "/");

/// A quarter of the smallest limit: each limit bounds the whole process, which holds the
/// interpreter and the caller's data besides, and work is often built beside what it
/// replaces. Never more than a quarter of the address space (1 GiB where size_t has 32 bits).
std::size_t memory_budget_from(const MemoryLimits& limits);

/// The process's budget, read once, at first use.
std::size_t memory_budget();

/// Throws std::bad_alloc when working memory already holding `held` bytes cannot take `more`
/// bytes within the memory budget.
void check_memory_budget(std::size_t held, std::size_t more);

}  // namespace tokenizer
