#include "tokenizer/train/shard.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

#include "tokenizer/support/memory_budget.hpp"
#include "tokenizer/train/byte_pairs.hpp"

namespace tokenizer {
namespace {

// Shards at least this long number their byte pairs through a dense table of all 65,536;
// shorter ones sort theirs.
constexpr std::size_t kDenseShard = std::size_t{1} << 14;

}  // namespace

Shard::Shard(std::string_view text, const InterruptCheck& interrupt) {
  if (text.size() >= kLongest ||
      text.size() > std::numeric_limits<std::size_t>::max() / kBytesPerByte) {
    throw std::bad_alloc();
  }
  check_memory_budget(0, text.size() * kBytesPerByte);
  InterruptPacer pace{interrupt};
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  nodes_.resize(n);
  live_ = n;
  if (n == 0) return;
  first_ = 0;
  last_ = static_cast<Index>(n - 1);
  number_pairs(bytes, n, pace);
  nodes_[n - 1] = Node{bytes[n - 1], kNone};
  for (std::size_t number = 0; number < pairs_.size(); ++number) {
    const Pair& pair = pairs_[number];
    pending_.push_back({TokenPair{pair.left, pair.right}, counts_[number]});
    pending_numbers_.push_back(static_cast<Index>(number));
  }
  tags_.assign(pairs_.size(), kNoTag);
  steps_pending_ = 1;
}

/// Numbers the byte pairs in key order, lays out their position lists one after another and
/// fills the nodes.
void Shard::number_pairs(const unsigned char* bytes, std::size_t n, InterruptPacer& pace) {
  const std::size_t pairs = n - 1;
  occurrences_.reserve_for(n);
  auto add_number = [&](unsigned key, Index count) {
    byte_keys_.push_back(static_cast<std::uint16_t>(key));
    pairs_.push_back(Pair{key >> 8, key & 0xff, 0, static_cast<Index>(occurrences_.size())});
    counts_.push_back(count);
    occurrences_.open(count);
  };
  auto file = [&](std::size_t i, Index number) {
    nodes_[i] = Node{bytes[i], number};
    occurrences_.file(pairs_[number], static_cast<Index>(i));
  };
  if (n >= kDenseShard) {
    std::vector<Index> counts(kBytePairKeys, 0);
    count_byte_pairs(bytes, 0, pairs, counts.data(), nullptr, pace);
    std::vector<Index>& number_of = counts;  // each count becomes its pair's number
    for (unsigned key = 0; key < kBytePairKeys; ++key) {
      if (counts[key] == 0) continue;
      const Index count = counts[key];
      number_of[key] = static_cast<Index>(pairs_.size());
      add_number(key, count);
    }
    for (std::size_t i = 0; i < pairs; ++i) {
      file(i, number_of[byte_pair_key(bytes, i)]);
      pace();
    }
  } else {
    std::vector<std::uint16_t> keys(pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
      keys[i] = static_cast<std::uint16_t>(byte_pair_key(bytes, i));
    }
    std::vector<std::uint16_t> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t k = 0; k < pairs;) {
      std::size_t end = k;
      while (end < pairs && sorted[end] == sorted[k]) ++end;
      add_number(sorted[k], static_cast<Index>(end - k));
      k = end;
    }
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    for (std::size_t i = 0; i < pairs; ++i) {
      const auto at = std::lower_bound(sorted.begin(), sorted.end(), keys[i]) - sorted.begin();
      file(i, static_cast<Index>(at));
    }
    pace();
  }
  touched_mark_.assign(pairs_.size(), 0);
}

ShardEdges Shard::edges() const {
  if (first_ == kNone) return {};
  const Index token = nodes_[last_].token;
  if (!run_known_) {
    std::uint64_t length = 0;
    Index i = last_;
    for (; i != kNone && nodes_[i].token == token; i = nodes_.prev(i)) ++length;
    last_run_ = length;
    run_is_whole_ = i == kNone;
    run_known_ = true;
  }
  return {false, nodes_[first_].token, token, last_run_, run_is_whole_};
}

std::vector<PairDelta> Shard::take_deltas() {
  if (unsummed_) sum_pending();
  std::vector<PairDelta> out = std::move(pending_);
  pending_.clear();
  pending_numbers_.clear();
  steps_pending_ = 0;
  return out;
}

/// Sums the changes of several steps per pair.
void Shard::sum_pending() {
  std::sort(pending_.begin(), pending_.end(),
            [](const PairDelta& x, const PairDelta& y) { return x.pair < y.pair; });
  std::size_t kept = 0;
  for (std::size_t k = 0; k < pending_.size();) {
    PairDelta sum = pending_[k];
    for (++k; k < pending_.size() && pending_[k].pair == sum.pair; ++k) {
      sum.delta += pending_[k].delta;
    }
    if (sum.delta != 0) pending_[kept++] = sum;
  }
  pending_.resize(kept);
  pending_numbers_.clear();
  unsummed_ = false;
}

void Shard::merge(TokenPair pair, TokenId token_id, bool first_taken, bool takes_next,
                  const InterruptCheck& interrupt) {
  InterruptPacer pace{interrupt};
  check(token_id >= kFirstMergeId && token_id < Sequence::kEnd && pair.left < Sequence::kEnd &&
            pair.right < Sequence::kEnd,
        "token id beyond the trainer's range");
  const auto a = static_cast<Index>(pair.left);
  const auto b = static_cast<Index>(pair.right);
  const auto id = static_cast<Index>(token_id);
  // The run ending the shard changes only where its token is one of the pair's (id is new).
  if (last_ != kNone && (nodes_[last_].token == a || nodes_[last_].token == b)) {
    run_known_ = false;
  }
  if (first_taken) {
    check(first_ != kNone && nodes_[first_].token == b,
          "taken first token is not the pair's right");
    drop_first();
  }
  const Index number = number_of(a, b);
  std::size_t begin = 0;
  std::size_t end = 0;
  if (number != kNone) {
    begin = pairs_[number].list_at;
    end = begin + pairs_[number].list_size;
  }
  // Two gains per rewrite, and one for taking the next shard's first token.
  rewrites_.start(id, 2 * (end - begin) + 1);
  if (number != kNone) {
    for (std::size_t k = begin; k < end; ++k) {
      nodes_.prefetch_ahead(occurrences_.data(), k, end);
      // A listed position is stale once a rewrite removed it or changed the pair it starts.
      const Index i = occurrences_[k];
      if (!nodes_.starts(i, number)) continue;
      if (rewrites_.rewrite(*this, i, id) == kNone) last_ = i;
      --live_;
      pace();
    }
    check(counts_[number] == 0, "merged pair still occurs");
    pairs_[number].list_size = 0;
  }
  if (takes_next) {
    check(last_ != kNone && nodes_[last_].token == a, "taking last token is not the pair's left");
    const Index p = nodes_.prev(last_);
    if (p != kNone) rewrites_.gain_before(*this, p, id);
    nodes_[last_].token = id;
    run_known_ = false;
  }
  publish(id, begin, end);
}

/// Removes the first live token, taken by the last token of the shard before.
void Shard::drop_first() {
  const Index f = first_;
  const Index q = nodes_.next(f);
  if (nodes_[f].pair != kNone) lose(nodes_[f].pair);
  nodes_.remove(kNone, f, q);
  if (q == kNone) last_ = kNone;
  first_ = q;
  --live_;
  run_known_ = false;
}

/// The number of pair (left, right) while it occurs, else kNone.
Shard::Index Shard::number_of(Index left, Index right) const {
  const Index newer = std::max(left, right);
  auto is = [&](Index number) {
    return pairs_[number].left == left && pairs_[number].right == right;
  };
  if (newer < 256) {
    const auto key = static_cast<std::uint16_t>(left << 8 | right);
    const auto at = std::lower_bound(byte_keys_.begin(), byte_keys_.end(), key);
    if (at == byte_keys_.end() || *at != key) return kNone;
    const auto number = static_cast<Index>(at - byte_keys_.begin());
    return is(number) ? number : kNone;
  }
  if (newer - 256 >= created_by_.size()) return kNone;
  const auto [begin, end] = created_by_[newer - 256];
  for (Index k = begin; k < end; ++k) {
    if (is(created_log_[k])) return created_log_[k];
  }
  return kNone;
}

Shard::Index Shard::new_pair(Index left, Index right) {
  Index number = reuse_number(free_, pairs_, counts_, left, right);
  if (number != kNone) {
    tags_[number] = kNoTag;
  } else {
    number = static_cast<Index>(pairs_.size());
    pairs_.push_back(Pair{left, right, 0, 0});
    counts_.push_back(0);
    touched_mark_.push_back(0);
    tags_.push_back(kNoTag);
  }
  touch(number);
  return number;
}

/// Remembers the count a pair had before this step, the first time the step changes it.
inline void Shard::touch(Index number) {
  if (touched_mark_[number] == 0) {
    touched_mark_[number] = 1;
    touched_.push_back({number, counts_[number]});
  }
}

inline void Shard::lose(Index number) {
  touch(number);
  --counts_[number];
}

/// Files the step's count changes and gives the new pairs their position lists: first in
/// [spare, spare_end), the list of the pair just merged, then after the last list.
void Shard::publish(Index id, std::size_t spare, std::size_t spare_end) {
  const std::vector<Index>& created = rewrites_.created();
  if (!created.empty()) {
    if (created_by_.size() <= id - 256) created_by_.resize(id - 255, {0, 0});
    const auto begin = static_cast<Index>(created_log_.size());
    created_log_.insert(created_log_.end(), created.begin(), created.end());
    created_by_[id - 256] = {begin, static_cast<Index>(created_log_.size())};
  }
  rewrites_.forget(pairs_);
  if (!occurrences_.place(pairs_, counts_, created, rewrites_.gained(), rewrites_.gained_count(),
                          spare, spare_end)) {
    rebuild_occurrences();
  }
  if (!pending_.empty()) unsummed_ = true;
  ++steps_pending_;
  for (const auto [number, before] : touched_) {
    touched_mark_[number] = 0;
    const Pair& pair = pairs_[number];
    const auto delta = static_cast<std::int64_t>(counts_[number]) - before;
    if (delta != 0) {
      pending_.push_back({TokenPair{pair.left, pair.right}, delta});
      pending_numbers_.push_back(number);
    }
    // Numbers of pairs that no longer occur are free again.
    if (counts_[number] == 0) release_number(free_, pairs_, counts_, number);
  }
  touched_.clear();
}

void Shard::rebuild_occurrences() {
  occurrences_.rebuild(pairs_, counts_, nodes_, first_, [] {});
}

}  // namespace tokenizer
