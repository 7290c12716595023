#include "tokenizer/core/pair_counts.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <ranges>
#include <utility>

#include "tokenizer/core/merge_rules.hpp"
#include "tokenizer/support/flat_map.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/keyed_hash.hpp"

namespace tokenizer {

TokenSequence byte_sequence(std::string_view text) {
  TokenSequence sequence(text.size());
  std::transform(text.begin(), text.end(), sequence.begin(),
                 [](char c) { return TokenId{static_cast<unsigned char>(c)}; });
  return sequence;
}

// ---- PairCounts ----

PairCounts::PairCounts() : key_{random_hash_key()} {}

std::size_t PairCounts::home(TokenPair pair) const {
  const std::uint64_t hash = keyed_hash(static_cast<std::uint64_t>(pair.left),
                                        static_cast<std::uint64_t>(pair.right), key_);
  return static_cast<std::size_t>(hash) & (slots_.size() - 1);
}

void PairCounts::add(TokenPair pair, PairCount count) {
  // At most half full: probes stay short, and a free slot always ends a search.
  if ((size_ + 1) * 2 > slots_.size()) grow(slots_.empty() ? 64 : slots_.size() * 2, key_);
  const std::size_t mask = slots_.size() - 1;
  const std::size_t start = home(pair);
  for (std::size_t i = start;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.pair == pair) {
      slot.count += count;
      return;
    }
    if (slot.pair.left == kNoToken) {
      slot.pair = pair;
      slot.count = count;
      ++size_;
      const std::size_t probe = (i - start) & mask;
      displaced_ += probe;
      if (probing_degraded(probe, displaced_, size_)) {
        grow(size_ * 4 > slots_.size() ? slots_.size() * 2 : slots_.size(), random_hash_key());
      }
      return;
    }
  }
}

PairCount PairCounts::count(TokenPair pair) const {
  if (size_ == 0) return 0;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = home(pair);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.pair == pair) return slot.count;
    if (slot.pair.left == kNoToken) return 0;
  }
}

void PairCounts::clear() {
  if (size_ == 0) return;
  std::fill(slots_.begin(), slots_.end(), Slot{});
  size_ = 0;
  displaced_ = 0;
}

void PairCounts::reserve(std::size_t pairs) {
  if (pairs > std::numeric_limits<std::size_t>::max() / 4) throw std::bad_alloc{};
  std::size_t wanted = std::bit_ceil(std::max<std::size_t>(pairs * 2, 64));
  if (wanted > slots_.size()) grow(wanted, key_);
}

void PairCounts::grow(std::size_t capacity, std::uint64_t key) {
  // Allocate before touching anything, so running out of memory leaves the table intact.
  std::vector<Slot> old(capacity);
  old.swap(slots_);
  key_ = key;
  displaced_ = 0;
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.pair.left == kNoToken) continue;
    const std::size_t start = home(slot.pair);
    std::size_t i = start;
    while (slots_[i].pair.left != kNoToken) i = (i + 1) & mask;
    slots_[i] = slot;
    displaced_ += (i - start) & mask;
  }
}

// ---- Counting and choosing ----

void count_pairs(std::span<const TokenId> sequence, PairCounts& counts,
                 const InterruptCheck& interrupt) {
  InterruptPacer pace{interrupt};
  for (std::size_t k = 0; k + 1 < sequence.size(); ++k) {
    counts.add(TokenPair{sequence[k], sequence[k + 1]});
    pace();
  }
}

std::optional<TokenPair> most_common_pair(const PairCounts& counts) {
  std::optional<PairCandidate> best;
  counts.for_each([&](TokenPair pair, PairCount count) {
    const PairCandidate candidate{pair, count};
    if (!best || outranks(candidate, *best)) best = candidate;
  });
  if (!best) return std::nullopt;
  return best->pair;
}

// ---- Merging ----

void merge_pair(TokenSequence& sequence, TokenPair pair, TokenId new_id,
                const InterruptCheck& interrupt) {
  const std::size_t n = sequence.size();
  InterruptPacer pace{interrupt};
  // Pass 1: mark every occurrence, greedily from the left.
  std::size_t first_marker = n;
  rewrite_from_left(
      std::views::iota(std::size_t{0}, n < 2 ? std::size_t{0} : n - 1),
      [&](std::size_t k) { return sequence[k] == pair.left && sequence[k + 1] == pair.right; },
      [&](std::size_t k) {
        sequence[k] = new_id;
        sequence[k + 1] = kNoToken;
        first_marker = std::min(first_marker, k + 1);
      },
      pace);
  if (first_marker == n) return;
  // Pass 2: drop the markers; nothing before the first one moves.
  std::size_t kept = first_marker;
  for (std::size_t read = first_marker; read < n; ++read) {
    if (sequence[read] != kNoToken) sequence[kept++] = sequence[read];
    pace();
  }
  sequence.resize(kept);
}

}  // namespace tokenizer
