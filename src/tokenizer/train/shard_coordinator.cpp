#include "tokenizer/train/shard_coordinator.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <utility>

#include "tokenizer/support/error.hpp"

namespace tokenizer {

ShardCoordinator::ShardCoordinator() : pairs_(kBytePairs), counts_(kBytePairs, 0) {
  for (std::size_t key = 0; key < kBytePairs; ++key) pairs_[key] = TokenPair{key >> 8, key & 0xff};
}

void ShardCoordinator::add(std::span<const PairDelta> deltas) {
  for (const PairDelta& change : deltas) add(change.pair, change.delta);
}

void ShardCoordinator::add(TokenPair pair, std::int64_t delta) {
  if (delta == 0) return;
  if (delta > 0 && std::max(pair.left, pair.right) >= 256) {
    // Filed with the step's other new pairs once the step's changes are in.
    fresh_.push_back({pair, delta});
    return;
  }
  const Index index = index_of(pair);
  check(index != kAbsent, "count change of a pair that does not occur");
  PairCount& count = counts_[index];
  count += delta;
  check(count >= 0, "pair count below zero");
  if (delta > 0 && count >= admit_from_ && started_) push(index);
}

void ShardCoordinator::subtract_concurrently(TokenPair pair, std::int64_t loss) {
  subtract_concurrently_at(index_of(pair), loss);
}

void ShardCoordinator::subtract_concurrently_at(Index index, std::int64_t loss) {
  check(loss > 0, "a concurrent change must be a loss");
  check(index < counts_.size(), "count change of a pair that does not occur");
  const PairCount before =
      std::atomic_ref<PairCount>{counts_[index]}.fetch_sub(loss, std::memory_order_relaxed);
  check(before >= loss, "pair count below zero");
}

ShardCoordinator::Index ShardCoordinator::index_of(TokenPair pair) const {
  const TokenId newer = std::max(pair.left, pair.right);
  if (newer < 256) return static_cast<Index>(pair.left << 8 | pair.right);
  if (newer - 256 >= made_by_.size()) return kAbsent;
  const auto [begin, end] = made_by_[newer - 256];
  const auto first = pairs_.begin() + static_cast<std::ptrdiff_t>(begin);
  const auto last = pairs_.begin() + static_cast<std::ptrdiff_t>(end);
  const auto at = std::lower_bound(first, last, pair);
  return at != last && *at == pair ? static_cast<Index>(at - pairs_.begin()) : kAbsent;
}

void ShardCoordinator::file_fresh() {
  if (fresh_.empty()) return;
  auto newer = [](TokenPair pair) { return std::max(pair.left, pair.right); };
  // By token, then pair: the steps of a batch file their tokens' pairs in the order of the ids.
  std::sort(fresh_.begin(), fresh_.end(), [&](const PairDelta& x, const PairDelta& y) {
    const TokenId tx = newer(x.pair);
    const TokenId ty = newer(y.pair);
    return tx != ty ? tx < ty : x.pair < y.pair;
  });
  check(pairs_.size() + fresh_.size() < kAbsent, "more pairs than the coordinator can number");
  for (std::size_t k = 0; k < fresh_.size();) {
    const TokenId token = newer(fresh_[k].pair);
    // Pairs are filed by their newer token's id, which a step gives out after the last one.
    check(token - 256 < made_by_.size() + (std::size_t{1} << 20),
          "token id far beyond those of the steps so far");
    check(token - 256 >= made_by_.size() ||
              made_by_[token - 256].first == made_by_[token - 256].second,
          "pairs of a token made twice");
    const auto begin = static_cast<Index>(pairs_.size());
    while (k < fresh_.size() && newer(fresh_[k].pair) == token) {
      PairDelta sum = fresh_[k];
      for (++k; k < fresh_.size() && fresh_[k].pair == sum.pair; ++k) sum.delta += fresh_[k].delta;
      pairs_.push_back(sum.pair);
      counts_.push_back(sum.delta);
    }
    if (made_by_.size() <= token - 256) made_by_.resize(token - 255, {0, 0});
    made_by_[token - 256] = {begin, static_cast<Index>(pairs_.size())};
    for (auto index = begin; index < pairs_.size(); ++index) {
      if (counts_[index] >= admit_from_ && started_) push(index);
    }
  }
  fresh_.clear();
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
    // Count only what changed: a pair across a cut that stays there keeps its count.
    std::vector<TokenPair> gone = boundaries_;
    std::vector<TokenPair> made = boundaries;
    std::sort(gone.begin(), gone.end());
    std::sort(made.begin(), made.end());
    std::size_t g = 0;
    std::size_t m = 0;
    while (g < gone.size() || m < made.size()) {
      if (m == made.size() || (g < gone.size() && gone[g] < made[m])) {
        add(gone[g++], -1);
      } else if (g == gone.size() || made[m] < gone[g]) {
        add(made[m++], 1);
      } else {
        ++g;
        ++m;
      }
    }
    boundaries_ = std::move(boundaries);
  }
  edges_.assign(edges.begin(), edges.end());
  file_fresh();
}

std::optional<TokenPair> ShardCoordinator::most_common_pair() {
  file_fresh();
  batch_.clear();
  for (;;) {
    if (heap_.empty()) {
      // At the start, and once nothing occurs twice any more (from then on every pair that
      // occurs is a candidate): every pair that occurs often enough enters at once.
      if (admit_from_ == 1 && started_) break;
      if (started_) admit_from_ = 1;
      started_ = true;
      for (std::size_t index = 0; index < counts_.size(); ++index) {
        if (counts_[index] >= admit_from_)
          heap_.push_back({counts_[index], static_cast<Index>(index)});
      }
      std::make_heap(heap_.begin(), heap_.end(),
                     [this](const Entry& x, const Entry& y) { return lower_priority(x, y); });
      if (heap_.empty() && admit_from_ == 1) break;
      continue;
    }
    const Entry top = heap_.front();
    const PairCount now = counts_[top.index];
    if (now == top.count) {
      chosen_ = pairs_[top.index];
      return chosen_;
    }
    // The count fell since the entry was pushed: put it back where it belongs now, or leave
    // it waiting outside.
    std::pop_heap(heap_.begin(), heap_.end(),
                  [this](const Entry& x, const Entry& y) { return lower_priority(x, y); });
    heap_.pop_back();
    if (now >= admit_from_) push(top.index);
  }
  chosen_.reset();
  return std::nullopt;
}

std::optional<ShardCoordinator::Entry> ShardCoordinator::pop_current() {
  auto order = [this](const Entry& x, const Entry& y) { return lower_priority(x, y); };
  while (!heap_.empty()) {
    const Entry top = heap_.front();
    std::pop_heap(heap_.begin(), heap_.end(), order);
    heap_.pop_back();
    const PairCount now = counts_[top.index];
    if (now == top.count) return top;
    if (now >= admit_from_) push(top.index);
  }
  return std::nullopt;
}

std::vector<TokenPair> ShardCoordinator::most_common_pairs(std::size_t limit) {
  const std::optional<TokenPair> top = most_common_pair();
  if (!top) return {};
  chosen_.reset();
  batch_.assign(1, *top);
  // The shards' first and last tokens. Rewriting (a, b) changes a shard's edges (or gives it a
  // role) only where its first token is a (it may start a pair), its last is b (it may end
  // one), or a first b follows a last a (across the cut).
  std::vector<TokenId> firsts;
  std::vector<TokenId> lasts;
  for (const ShardEdges& shard : edges_) {
    if (shard.empty) continue;
    firsts.push_back(shard.first);
    lasts.push_back(shard.last);
  }
  std::sort(firsts.begin(), firsts.end());
  std::sort(lasts.begin(), lasts.end());
  auto in = [](const std::vector<TokenId>& tokens, TokenId token) {
    return std::binary_search(tokens.begin(), tokens.end(), token);
  };
  auto at_an_end = [&](TokenPair pair) {
    return in(firsts, pair.left) || in(lasts, pair.right) ||
           (in(firsts, pair.right) && in(lasts, pair.left));
  };
  if (limit <= 1 || top->left == top->right || at_an_end(*top)) return batch_;

  // Walk the heap in order from the top (most_common_pair left it there, current), taking
  // pairs while the steps taken leave their counts alone; then on until the first pair whose
  // count they may change (the highest count such a pair, or a pair they make, can have) or a
  // count below the last pair taken (nothing they change or make can reach it).
  std::vector<Entry> popped{*pop_current()};
  std::vector<PairCount> counts{popped.front().count};
  // Rewriting (a, b) changes the counts of the pairs (x, a) and (b, y) only: (a, y) and
  // (x, b) keep theirs unless y is a or x is b.
  std::vector<TokenId> lefts{top->left};    // the a of each pair taken
  std::vector<TokenId> rights{top->right};  // the b of each pair taken
  auto changed = [&](TokenPair pair) {
    return std::find(lefts.begin(), lefts.end(), pair.right) != lefts.end() ||
           std::find(rights.begin(), rights.end(), pair.left) != rights.end();
  };
  // The walk is cut short past this many entries (on a flat tail of equal counts), as if the
  // next entry were one the steps change.
  const std::size_t walk_limit = 4 * limit + 64;
  PairCount bound = -1;  // the highest count a pair the steps change or make may have
  bool taking = true;
  while (true) {
    if (popped.size() >= walk_limit) {
      bound = counts.back();
      break;
    }
    const std::optional<Entry> entry = pop_current();
    if (!entry) break;
    popped.push_back(*entry);
    const TokenPair pair = pairs_[entry->index];
    if (changed(pair)) {
      bound = entry->count;
      break;
    }
    if (taking && (batch_.size() == limit || at_an_end(pair))) taking = false;
    if (!taking) {
      if (entry->count < counts.back()) break;
      continue;
    }
    batch_.push_back(pair);
    counts.push_back(entry->count);
    lefts.push_back(pair.left);
    rights.push_back(pair.right);
    if (pair.left == pair.right) taking = false;
  }
  // A pair made in the batch may tie with a pair taken and come first by the tie rule.
  while (batch_.size() > 1 && counts.back() <= bound) {
    batch_.pop_back();
    counts.pop_back();
  }
  for (const Entry& entry : popped) push(entry.index);
  return batch_;
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
  file_fresh();
  check(count(merged) == 0, "merged pair still occurs");
}

void ShardCoordinator::finish_steps(std::span<const TokenPair> merged) {
  check(!batch_.empty() && std::equal(merged.begin(), merged.end(), batch_.begin(), batch_.end()),
        "merges that are not the steps chosen");
  batch_.clear();
  file_fresh();
  for (const TokenPair pair : merged) check(count(pair) == 0, "merged pair still occurs");
}

PairCount ShardCoordinator::count(TokenPair pair) const {
  const Index index = index_of(pair);
  return index != kAbsent ? counts_[index] : 0;
}

// Heap order: training's tie rule, `outranks`; the top is the entry that outranks the rest.
bool ShardCoordinator::lower_priority(const Entry& x, const Entry& y) const {
  return outranks({pairs_[y.index], y.count}, {pairs_[x.index], x.count});
}

void ShardCoordinator::push(Index index) {
  heap_.push_back({counts_[index], index});
  std::push_heap(heap_.begin(), heap_.end(),
                 [this](const Entry& x, const Entry& y) { return lower_priority(x, y); });
}

}  // namespace tokenizer
