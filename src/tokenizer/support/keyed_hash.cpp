#include "tokenizer/support/keyed_hash.hpp"

#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

namespace tokenizer {
namespace {

std::uint64_t process_seed() {
  std::uint64_t seed = 0;
  // The system call itself: glibc has a getrandom function only since 2.25, and the wheels
  // are built for older C libraries.
  if (syscall(SYS_getrandom, &seed, sizeof seed, GRND_NONBLOCK) != static_cast<long>(sizeof seed)) {
    // No entropy yet (very early boot, or a kernel before 3.17): the clock still varies from
    // run to run.
    seed = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
  }
  return seed;
}

}  // namespace

std::uint64_t random_hash_key() {
  // One system call per process; every table then takes the next value of a mixed sequence.
  static const std::uint64_t seed = process_seed();
  static std::atomic<std::uint64_t> counter{0};
  return mix64(seed + 0x9e3779b97f4a7c15ULL * ++counter);
}

}  // namespace tokenizer
