// Keyed hashing for tables whose keys come from files and texts. Every table draws a random
// key, and a strong mixing function makes the slot of each key depend on all of its bits and
// on that key, so no input can be chosen to pile its keys into one run of slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tokenizer {

/// A fresh 64-bit key for one table. Keys come from the operating system's random source
/// (read once per process, at first use), mixed with a process-wide counter, so no two tables
/// place their entries alike.
std::uint64_t random_hash_key();

/// A strong 64-bit finaliser (splitmix64): a bijection in which every input bit changes about
/// half of the output bits.
constexpr std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

/// Hash of one value under `key`. A bijection for each key: distinct values meet only where
/// the table's mask folds them together, and the key decides which do.
constexpr std::uint64_t keyed_hash(std::uint64_t value, std::uint64_t key) {
  return mix64(value ^ key);
}

/// Hash of an ordered pair of values under `key`. Two values of 32 bits are packed into one
/// word and mixed once; wider ones mix the left value before the right joins it, so that no
/// relation between the parts (a fixed step, a shared high half) survives into the slot.
constexpr std::uint64_t keyed_hash(std::uint64_t left, std::uint64_t right, std::uint64_t key) {
  if (((left | right) >> 32) == 0) return mix64((left << 32 | right) ^ key);
  return mix64(mix64(left ^ key) + right);
}

/// Hash of a byte string under `key`, eight bytes at a time, each word mixed into the state
/// before the next joins it. The length enters first, so a string and the same string with
/// NUL bytes appended differ.
inline std::uint64_t keyed_hash(std::string_view text, std::uint64_t key) {
  std::uint64_t state = mix64(key ^ text.size());
  const char* at = text.data();
  std::size_t left = text.size();
  for (; left >= 8; at += 8, left -= 8) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    state = mix64(state ^ word);
  }
  std::uint64_t tail = 0;
  if (left > 0) std::memcpy(&tail, at, left);
  return mix64(state ^ tail ^ key);
}

/// Hashes of the key types of the engine's tables, each under a per-table key: words, byte
/// strings, and ordered pairs of ids (any type with integral `left` and `right`).
struct KeyedHash {
  std::uint64_t key = 0;

  std::uint64_t operator()(std::uint64_t value) const { return keyed_hash(value, key); }
  template <class Pair>
    requires requires(const Pair& pair) {
      std::uint64_t{pair.left};
      std::uint64_t{pair.right};
    }
  std::uint64_t operator()(const Pair& pair) const {
    return keyed_hash(static_cast<std::uint64_t>(pair.left), static_cast<std::uint64_t>(pair.right),
                      key);
  }
  std::uint64_t operator()(std::string_view text) const { return keyed_hash(text, key); }
};

}  // namespace tokenizer
