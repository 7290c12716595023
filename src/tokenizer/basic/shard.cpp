#include "tokenizer/basic/shard.hpp"

#include <limits>
#include <new>
#include <utility>

#include "tokenizer/basic/memory_budget.hpp"

namespace tokenizer::basic {
namespace {

// Shards at least this long number their byte pairs through a dense table.
constexpr std::size_t kDenseShard = std::size_t{1} << 14;

// How many occurrences ahead a merge prefetches an occurrence's node, the nodes beside it,
// and the node after next.
constexpr std::size_t kPrefetchFar = 40;
constexpr std::size_t kPrefetchNext = 22;
constexpr std::size_t kPrefetchNear = 8;

}  // namespace

Shard::Shard(std::string_view bytes, const InterruptCheck& interrupt) {
  if (bytes.size() >= kLongest ||
      bytes.size() > std::numeric_limits<std::size_t>::max() / kBytesPerByte) {
    throw std::bad_alloc();
  }
  check_memory_budget(0, bytes.size() * kBytesPerByte);
  InterruptPacer pace{interrupt};
  build(bytes, nullptr, pace);
}

bool Shard::build(std::string_view text, const StopFlag* stop, InterruptPacer& pace) {
  check(nodes_.empty() && first_ == kNone, "shard built twice");
  if (text.size() >= kLongest) throw std::bad_alloc();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  nodes_.resize(n);
  live_ = n;
  first_ = n == 0 ? kNone : 0;
  last_ = n == 0 ? kNone : static_cast<Index>(n - 1);
  // Byte pairs find their lists through a table of all 65,536 where a shard is long enough
  // to pay for filling it, else through the map.
  std::vector<Index> list_of(n >= kDenseShard ? 65536 : 0, 0);
  for (std::size_t i = 0; i < n; ++i) {
    nodes_[i].token = bytes[i];
    nodes_[i].prev = i == 0 ? kNone : static_cast<Index>(i - 1);
    nodes_[i].next = i + 1 == n ? kNone : static_cast<Index>(i + 1);
    if (i + 1 < n) {
      const unsigned key = static_cast<unsigned>(bytes[i]) << 8 | bytes[i + 1];
      Index& at = list_of.empty() ? list_index_[TokenPair{bytes[i], bytes[i + 1]}] : list_of[key];
      if (at == 0) {
        lists_.emplace_back();
        at = static_cast<Index>(lists_.size());
        if (!list_of.empty()) list_index_[TokenPair{bytes[i], bytes[i + 1]}] = at;
      }
      lists_[at - 1].push_back(static_cast<Index>(i));
    }
    if (!paced(stop, pace)) return false;
  }
  list_index_.for_each([&](const TokenPair& pair, Index at) {
    if (at != 0) deltas_.add(pair, static_cast<std::int64_t>(lists_[at - 1].size()));
  });
  return true;
}

ShardEdges Shard::edges() const {
  if (first_ == kNone) return {};
  const Index token = nodes_[last_].token;
  if (!run_known_) {
    std::uint64_t length = 0;
    Index i = last_;
    for (; i != kNone && nodes_[i].token == token; i = nodes_[i].prev) ++length;
    last_run_ = length;
    run_is_whole_ = i == kNone;
    run_known_ = true;
  }
  return {false, nodes_[first_].token, token, last_run_, run_is_whole_};
}

std::vector<PairDelta> Shard::take_deltas() {
  std::vector<PairDelta> out;
  out.reserve(deltas_.size());
  drain_deltas([&](TokenPair pair, std::int64_t delta) { out.push_back({pair, delta}); });
  return out;
}

void Shard::merge(TokenPair pair, TokenId id, bool first_taken, bool takes_next,
                  const InterruptCheck& interrupt) {
  InterruptPacer pace{interrupt};
  merge(pair, id, first_taken, takes_next, nullptr, pace);
}

bool Shard::merge(TokenPair pair, TokenId id, bool first_taken, bool takes_next,
                  const StopFlag* stop, InterruptPacer& pace) {
  check(id < kRemoved && pair.left < kRemoved && pair.right < kRemoved,
        "token id beyond the trainer's range");
  const auto a = static_cast<Index>(pair.left);
  const auto b = static_cast<Index>(pair.right);
  const auto z = static_cast<Index>(id);
  // The run ending the shard changes only where its token is one of the pair's (z is new).
  if (run_known_ && last_ != kNone && (nodes_[last_].token == a || nodes_[last_].token == b)) {
    run_known_ = false;
  }
  for (StepSide* side : {&before_a_, &after_b_, &before_z_, &after_z_}) {
    side->fit(static_cast<std::size_t>(z) + 1);
  }
  a_ = a;
  z_ = z;
  if (first_taken) {
    check(first_ != kNone && nodes_[first_].token == b,
          "taken first token is not the pair's right");
    const Index f = first_;
    const Index after = nodes_[f].next;
    if (after != kNone) {
      after_b_.add(nodes_[after].token, -1);
      nodes_[after].prev = kNone;
    } else {
      last_ = kNone;
    }
    nodes_[f].token = kRemoved;
    first_ = after;
    --live_;
    run_known_ = false;
  }
  if (Index* at = list_index_.find(pair); at != nullptr && *at != 0) {
    std::vector<Index> list = std::move(lists_[*at - 1]);
    drop_list(*at);
    *at = 0;  // a merged pair never occurs again
    const std::size_t count = list.size();
    for (std::size_t k = 0; k < count; ++k) {
      prefetch_ahead(list, k);
      const Index i = list[k];
      if (nodes_[i].token != a) continue;  // removed, or rewritten
      const Index j = nodes_[i].next;
      if (j == kNone || nodes_[j].token != b) continue;
      rewrite(i, j, z);
      if (!paced(stop, pace)) return false;
    }
  }
  if (takes_next) {
    check(last_ != kNone && nodes_[last_].token == a, "taking last token is not the pair's left");
    const Index l = last_;
    const Index p = nodes_[l].prev;
    if (p != kNone) {
      lose_before(nodes_[p].token);
      gain(before_z_, nodes_[p].token, p);
    }
    nodes_[l].token = z;
    run_known_ = false;
  }
  publish(pair);
  return true;
}

/// Counts a unit of work; false when a worker's `stop` was raised (on the calling thread,
/// without one, the pacer polls the interrupt check and throws).
bool Shard::paced(const StopFlag* stop, InterruptPacer& pace) {
  if (stop == nullptr) {
    pace();
    return true;
  }
  return !(pace.due() && stop->stop_requested());
}

/// The occurrences lie anywhere in the shard, and a rewrite reads the nodes of i, of the
/// positions beside it and of the one after next. Fetch a node some occurrences ahead and
/// its neighbours a few closer, so that the misses overlap; stale entries cost a wasted
/// fetch at most.
void Shard::prefetch_ahead(const std::vector<Index>& list, std::size_t k) const {
  const Node* nodes = nodes_.data();
  const std::size_t size = list.size();
  if (k + kPrefetchFar < size) __builtin_prefetch(&nodes[list[k + kPrefetchFar]]);
  if (k + kPrefetchNext < size) {
    // Fetched kPrefetchFar - kPrefetchNext occurrences ago.
    const Node& at = nodes[list[k + kPrefetchNext]];
    if (at.prev < kRemoved) __builtin_prefetch(&nodes[at.prev]);
    if (at.next < kRemoved) __builtin_prefetch(&nodes[at.next]);
  }
  if (k + kPrefetchNear < size) {
    const Index j = nodes[list[k + kPrefetchNear]].next;
    if (j < kRemoved) {
      const Index q = nodes[j].next;
      if (q < kRemoved) __builtin_prefetch(&nodes[q]);
    }
  }
}

/// Counts the loss of (x, a); when x is z, rewritten earlier in this step, that pair was
/// gained as (z, a).
void Shard::lose_before(Index x) {
  if (x == z_) {
    after_z_.add(a_, -1);
  } else {
    before_a_.add(x, -1);
  }
}

/// Counts a new occurrence, at `position`, of the pair holding z and `other` on `side`.
void Shard::gain(StepSide& side, Index other, Index position) {
  side.add(other, 1);
  Index& at = side.list[other];
  if (at == 0) {
    if (free_lists_.empty()) {
      lists_.emplace_back();
      at = static_cast<Index>(lists_.size());
    } else {
      at = free_lists_.back();
      free_lists_.pop_back();
    }
  }
  lists_[at - 1].push_back(position);
}

/// Moves the step's changes into `deltas_` and files the lists of the pairs that now occur.
void Shard::publish(TokenPair pair) {
  const auto a = static_cast<Index>(pair.left);
  const auto b = static_cast<Index>(pair.right);
  if (merged_ != 0) deltas_.add(pair, merged_);
  merged_ = 0;
  auto flush = [&](StepSide& side, auto pair_of) {
    for (Index other : side.touched) {
      const TokenPair changed = pair_of(other);
      if (side.delta[other] != 0) deltas_.add(changed, side.delta[other]);
      if (side.list[other] != 0) {
        // A pair whose occurrences this step made and unmade again has no list to keep.
        if (side.delta[other] > 0) {
          list_index_.insert_or_assign(changed, side.list[other]);
        } else {
          drop_list(side.list[other]);
        }
      }
      side.delta[other] = 0;
      side.list[other] = 0;
    }
    side.touched.clear();
  };
  const auto z = static_cast<TokenId>(z_);
  flush(before_a_, [&](Index x) { return TokenPair{x, a}; });
  flush(after_b_, [&](Index y) { return TokenPair{b, y}; });
  flush(before_z_, [&](Index x) { return TokenPair{x, z}; });
  flush(after_z_, [&](Index y) { return TokenPair{z, y}; });
}

void Shard::drop_list(Index at) {
  lists_[at - 1] = {};
  free_lists_.push_back(at);
}

void Shard::rewrite(Index i, Index j, Index z) {
  const Index p = nodes_[i].prev;
  const Index q = nodes_[j].next;
  --merged_;
  if (p != kNone) {
    lose_before(nodes_[p].token);
    gain(before_z_, nodes_[p].token, p);
  }
  if (q != kNone) {
    after_b_.add(nodes_[q].token, -1);
    gain(after_z_, nodes_[q].token, i);
    nodes_[q].prev = i;
  } else {
    last_ = i;
  }
  nodes_[i].token = z;
  nodes_[j].token = kRemoved;
  nodes_[i].next = q;
  --live_;
}

}  // namespace tokenizer::basic
