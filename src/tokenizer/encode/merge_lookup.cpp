#include "tokenizer/encode/merge_lookup.hpp"

#include <algorithm>
#include <bit>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "tokenizer/support/error.hpp"
#include "tokenizer/support/flat_map.hpp"

namespace tokenizer {

namespace {

// Fresh keys tried at one size before the table doubles.
constexpr int kKeysPerSize = 3;

}  // namespace

MergeLookup::MergeLookup(const MergeTable& merges, const InterruptCheck& interrupt)
    : bytes_(65536, kNone) {
  InterruptPacer pacer{interrupt};
  std::size_t others = 0;
  for (const auto& [pair, id] : merges) {
    if (id >= kNone) complete_ = false;
    if (pair.left >= 256 || pair.right >= 256) ++others;
    pacer();
  }
  // At most half full; two slots at least, so that a probe always meets an empty one.
  std::size_t size = std::bit_ceil(std::max<std::size_t>(others * 2, 2));
  for (int tries = 1; !fill_others(merges, size, pacer); ++tries) {
    if (tries % kKeysPerSize == 0) size *= 2;
  }
  find_joinable_bytes(merges, pacer);
}

bool MergeLookup::fill_others(const MergeTable& merges, std::size_t count, InterruptPacer& pacer) {
  check(count <= std::size_t{1} << 31, "too many merges");
  assign_paced(others_, count, Slot{}, pacer);
  mask_ = count - 1;
  shift_ = 64U - static_cast<unsigned>(std::countr_zero(count));
  key_ = random_hash_key();
  longest_probe_ = 0;
  largest_ = 0;
  for (const auto& [pair, id] : merges) {
    pacer();
    // A token id never reaches 2^32 - 1 while every merge id stays below it, so merges naming
    // such an id can never apply and are left out.
    if (id >= kNone || pair.left >= kNone || pair.right >= kNone) continue;
    const auto left = static_cast<std::uint32_t>(pair.left);
    const auto right = static_cast<std::uint32_t>(pair.right);
    const auto merge_id = static_cast<std::uint32_t>(id);
    largest_ = std::max(largest_, merge_id);
    if ((left | right) < 256) {
      bytes_[left << 8 | right] = merge_id;
      continue;
    }
    std::size_t i = home(left, right);
    std::size_t probe = 1;
    while (others_[i].id != kNone && (others_[i].left != left || others_[i].right != right)) {
      if (++probe > kLongestProbe) return false;
      i = (i + 1) & mask_;
    }
    others_[i] = Slot{left, right, merge_id};
    longest_probe_ = std::max(longest_probe_, probe);
  }
  return true;
}

void MergeLookup::find_joinable_bytes(const MergeTable& merges, InterruptPacer& pacer) {
  // For every token a merge can make: the bytes it can start with and end with (a merge
  // id can be made by several merges when tables were combined, and a merge may name a
  // token that only a later merge makes, so this runs to a fixed point over a work list).
  using ByteSet = std::bitset<256>;
  FlatMap<TokenId, std::size_t> slot;  // id -> index into the sets below
  slot.reserve(merges.size() + 256, pacer);
  std::vector<ByteSet> first(256), last(256);
  first.reserve(merges.size() + 256);
  last.reserve(merges.size() + 256);
  for (unsigned b = 0; b < 256; ++b) {
    slot[TokenId{b}] = b;
    first[b].set(b);
    last[b].set(b);
  }
  std::vector<std::size_t> made;  // per merge, its id's slot
  auto slot_of = [&](TokenId id) {
    std::size_t& s = slot[id];
    if (s == 0 && id != 0) {
      s = first.size();
      first.emplace_back();
      last.emplace_back();
    }
    return s;
  };
  std::vector<std::pair<std::size_t, std::size_t>> parts;  // per merge, (left slot, right slot)
  made.reserve(merges.size());
  parts.reserve(merges.size());
  for (const auto& [pair, id] : merges) {
    pacer();
    const std::size_t left = slot_of(pair.left);
    const std::size_t right = slot_of(pair.right);
    made.push_back(slot_of(id));
    parts.emplace_back(left, right);
  }
  // The merges naming each slot: uses[use_start[s] .. use_start[s + 1]) (one flat list, which
  // also goes at once where millions of small ones would take long to free).
  std::vector<std::size_t> use_start;
  assign_paced(use_start, first.size() + 1, std::size_t{0}, pacer);
  for (const auto& [left, right] : parts) {
    pacer();
    ++use_start[left + 1];
    if (right != left) ++use_start[right + 1];
  }
  std::partial_sum(use_start.begin(), use_start.end(), use_start.begin());
  std::vector<std::size_t> uses;
  assign_paced(uses, use_start[first.size()], std::size_t{0}, pacer);
  {
    std::vector<std::size_t> fill;  // where the next use of each slot goes
    assign_paced(fill, use_start.size(), std::size_t{0}, pacer);
    std::copy(use_start.begin(), use_start.end(), fill.begin());
    for (std::size_t k = 0; k < parts.size(); ++k) {
      pacer();
      const auto [left, right] = parts[k];
      uses[fill[left]++] = k;
      if (right != left) uses[fill[right]++] = k;
    }
  }
  // Taken from the back: table order first, in which a trained table settles in one pass. A
  // merge waits in the list at most once, so the list never outgrows its first size.
  std::vector<std::size_t> work;
  assign_paced(work, parts.size(), std::size_t{0}, pacer);
  for (std::size_t k = 0; k < parts.size(); ++k) work[k] = parts.size() - 1 - k;
  std::vector<bool> waiting(parts.size(), true);
  while (!work.empty()) {
    pacer();
    const std::size_t k = work.back();
    work.pop_back();
    waiting[k] = false;
    const auto [left, right] = parts[k];
    const std::size_t merged = made[k];
    const ByteSet grown_first = first[merged] | first[left];
    const ByteSet grown_last = last[merged] | last[right];
    if (grown_first == first[merged] && grown_last == last[merged]) continue;
    first[merged] = grown_first;
    last[merged] = grown_last;
    pacer(use_start[merged + 1] - use_start[merged]);
    for (std::size_t u = use_start[merged]; u < use_start[merged + 1]; ++u) {
      if (waiting[uses[u]]) continue;
      waiting[uses[u]] = true;
      work.push_back(uses[u]);
    }
  }
  std::vector<ByteSet> rows(256);  // rows[x]: the bytes y that x can be joined to
  for (const auto& [left, right] : parts) {
    const ByteSet& ends = last[left];
    pacer(ends.count());
    // The set bits, a 64-bit word at a time (std::bitset has no portable way to find them).
    for (std::size_t word = 0; word < 4; ++word) {
      std::uint64_t bits = ((ends >> (64 * word)) & ByteSet{~std::uint64_t{0}}).to_ullong();
      for (; bits != 0; bits &= bits - 1) {
        rows[64 * word + static_cast<std::size_t>(std::countr_zero(bits))] |= first[right];
      }
    }
  }
  joinable_.assign(1024, 0);
  for (unsigned x = 0; x < 256; ++x) {
    for (unsigned y = 0; y < 256; ++y) {
      if (rows[x].test(y)) joinable_[(x << 8 | y) / 64] |= std::uint64_t{1} << ((x << 8 | y) % 64);
    }
  }
}

}  // namespace tokenizer
