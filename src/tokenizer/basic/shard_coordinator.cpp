#include "tokenizer/basic/shard_coordinator.hpp"

#include <algorithm>
#include <utility>

#include "tokenizer/basic/error.hpp"

namespace tokenizer::basic {

void ShardCoordinator::add(std::span<const PairDelta> deltas) {
  for (const PairDelta& change : deltas) add(change.pair, change.delta);
}

void ShardCoordinator::add(TokenPair pair, std::int64_t delta) {
  if (delta == 0) return;
  check(pair.left <= 0xffffffff && pair.right <= 0xffffffff, "token id beyond 32 bits");
  PairCount& count = counts_[key_of(pair)];
  count += delta;
  check(count >= 0, "pair count below zero");
  if (delta > 0) gained_.push_back(pair);
}

void ShardCoordinator::set_edges(std::span<const ShardEdges> edges) {
  std::vector<TokenPair> boundaries;
  const ShardEdges* before = nullptr;
  for (const ShardEdges& shard : edges) {
    if (shard.empty) continue;
    if (before != nullptr) boundaries.push_back(TokenPair{before->last, shard.first});
    before = &shard;
  }
  if (boundaries != boundaries_) {
    for (TokenPair gone : boundaries_) add(gone, -1);
    for (TokenPair made : boundaries) add(made, 1);
    boundaries_ = std::move(boundaries);
  }
  edges_.assign(edges.begin(), edges.end());
}

std::optional<TokenPair> ShardCoordinator::most_common_pair() {
  push_gained();
  for (;;) {
    if (heap_.empty()) {
      if (admit_from_ == 1) break;
      // Nothing occurs twice any more: from now on every pair that occurs is a candidate.
      admit_from_ = 1;
      counts_.for_each([&](std::uint64_t key, PairCount now) {
        if (now > 0) heap_.push_back({now, TokenPair{key >> 32, key & 0xffffffff}});
      });
      std::make_heap(heap_.begin(), heap_.end(), lower_priority);
      continue;
    }
    const Entry top = heap_.front();
    const PairCount now = count(top.pair);
    if (now == top.count) {
      chosen_ = top.pair;
      return top.pair;
    }
    // The count fell since the entry was pushed: put it back where it belongs now, or leave
    // it waiting outside.
    std::pop_heap(heap_.begin(), heap_.end(), lower_priority);
    heap_.pop_back();
    if (now >= admit_from_) push(top.pair, now);
  }
  chosen_.reset();
  return std::nullopt;
}

std::vector<ShardRole> ShardCoordinator::plan(TokenPair pair) const {
  const std::size_t count = edges_.size();
  std::vector<ShardRole> roles(count);
  // Whether the token before the shard at hand is an `a` no rewrite has taken yet.
  bool open = false;
  std::size_t before = count;
  for (std::size_t k = 0; k < count; ++k) {
    const ShardEdges& shard = edges_[k];
    if (shard.empty) continue;
    const bool taken = open && shard.first == pair.right;
    if (taken) {
      roles[k].first_taken = true;
      roles[before].takes_next = true;
    }
    if (shard.last != pair.left) {
      open = false;
    } else if (pair.left != pair.right) {
      open = true;  // an `a` is never the right half of (a, b)
    } else {
      // A run of `a` is rewritten in pairs from its start; its last token stays free when
      // the part this shard rewrites has odd length.
      open = (shard.last_run - (shard.run_is_whole && taken ? 1 : 0)) % 2 == 1;
    }
    before = k;
  }
  return roles;
}

void ShardCoordinator::finish_step(TokenPair merged) {
  check(chosen_ && *chosen_ == merged, "merge of a pair that is not the most common one");
  chosen_.reset();
  check(count(merged) == 0, "merged pair still occurs");
  push_gained();
}

PairCount ShardCoordinator::count(TokenPair pair) const {
  if (pair.left > 0xffffffff || pair.right > 0xffffffff) return 0;
  const PairCount* held = counts_.find(key_of(pair));
  return held != nullptr ? *held : 0;
}

// Heap order: training's tie rule, `outranks`; the top is the entry that outranks the rest.
bool ShardCoordinator::lower_priority(const Entry& x, const Entry& y) {
  return outranks({y.pair, y.count}, {x.pair, x.count});
}

void ShardCoordinator::push(TokenPair pair, PairCount count) {
  heap_.push_back({count, pair});
  std::push_heap(heap_.begin(), heap_.end(), lower_priority);
}

/// Gives the pairs whose counts rose fresh heap entries, which keeps every count's entry at or
/// above it (entries above are found stale when they reach the top).
void ShardCoordinator::push_gained() {
  if (gained_.empty()) return;
  std::sort(gained_.begin(), gained_.end());
  gained_.erase(std::unique(gained_.begin(), gained_.end()), gained_.end());
  const bool fresh = heap_.empty();
  for (TokenPair made : gained_) {
    const PairCount now = count(made);
    if (now < admit_from_) continue;
    if (fresh) {
      heap_.push_back({now, made});
    } else {
      push(made, now);
    }
  }
  if (fresh) std::make_heap(heap_.begin(), heap_.end(), lower_priority);
  gained_.clear();
}

}  // namespace tokenizer::basic
