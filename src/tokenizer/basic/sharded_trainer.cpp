#include "tokenizer/basic/sharded_trainer.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "tokenizer/basic/flat_map.hpp"
#include "tokenizer/basic/interrupt_pacer.hpp"
#include "tokenizer/basic/keyed_hash.hpp"
#include "tokenizer/basic/memory_budget.hpp"
#include "tokenizer/basic/pair_stats.hpp"
#include "tokenizer/basic/worker_pool.hpp"

namespace tokenizer::basic {
namespace {

using Index = std::uint32_t;
constexpr Index kNone = std::numeric_limits<Index>::max();
// Token ids are below 256 + the text's length; a removed position holds this.
constexpr Index kRemoved = kNone - 1;
constexpr std::uint64_t kLongestText = std::uint64_t{kRemoved} - 256;

// Bytes of shard state per byte of text: a token and two links per position, and up to two
// list entries per position (one from the count, and stale ones left by rewrites).
constexpr std::size_t kBytesPerPosition = 5 * sizeof(Index);

// Shards at least this long number their byte pairs through a dense table.
constexpr std::size_t kDenseShard = std::size_t{1} << 14;

// How many occurrences ahead a merge prefetches an occurrence's node, the nodes beside it,
// and the node after next.
constexpr std::size_t kPrefetchFar = 40;
constexpr std::size_t kPrefetchNext = 22;
constexpr std::size_t kPrefetchNear = 8;

/// Count changes of one step, summed per pair. Emptying it costs the entries it held, not its
/// capacity, so that a step touching few pairs stays cheap after one that touched many.
class PairDeltas {
 public:
  PairDeltas() : hash_{random_hash_key()} { slots_.resize(64); }

  void add(TokenPair pair, std::int64_t delta) {
    if ((used_.size() + 1) * 4 > slots_.size() * 3) grow();
    Slot& slot = slots_[find(pair)];
    if (!slot.used) {
      slot = Slot{pair, 0, true};
      used_.push_back(static_cast<std::size_t>(&slot - slots_.data()));
    }
    slot.delta += delta;
  }

  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t at : used_) visit(slots_[at].pair, slots_[at].delta);
  }

  void clear() {
    for (std::size_t at : used_) slots_[at].used = false;
    used_.clear();
  }

 private:
  struct Slot {
    TokenPair pair;
    std::int64_t delta = 0;
    bool used = false;
  };

  std::size_t find(TokenPair pair) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash_(pair)) & mask;; i = (i + 1) & mask) {
      if (!slots_[i].used || slots_[i].pair == pair) return i;
    }
  }

  void grow() {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.size() * 2));
    std::vector<std::size_t> held = std::exchange(used_, {});
    for (std::size_t at : held) {
      const std::size_t to = find(old[at].pair);
      slots_[to] = old[at];
      used_.push_back(to);
    }
  }

  KeyedHash hash_;
  std::vector<Slot> slots_;
  std::vector<std::size_t> used_;
};

/// Count changes of one step's rewrites of (a, b) into z for the pairs on one side of a
/// token, indexed by the token on the other side: (x, a), (b, y), (x, z) or (z, y). For the
/// pairs holding z it also keeps where their position lists are.
struct StepSide {
  std::vector<std::int64_t> delta;
  std::vector<Index> list;     // 1 + where the pair's list is, 0 for none yet
  std::vector<Index> touched;  // others whose entries may be set (repeats allowed)

  void fit(std::size_t ids) {
    if (delta.size() < ids) {
      delta.resize(ids, 0);
      list.resize(ids, 0);
    }
  }
  void add(Index other, std::int64_t change) {
    if (delta[other] == 0 && list[other] == 0) touched.push_back(other);
    delta[other] += change;
  }
};

}  // namespace

/// The tokens of one byte range as a linked list of positions, with the position lists of the
/// pairs inside it. Positions are counted from the range's first byte.
class ShardedTrainer::Shard {
 public:
  /// Lays out `bytes[0, n)` and reports its pairs' counts. Returns false when `stop` cut it
  /// short.
  bool build(const unsigned char* bytes, std::size_t n, const StopFlag* stop,
             InterruptPacer& pace) {
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
    for (const auto& [pair, at] : listed_pairs()) {
      deltas_.add(pair, static_cast<std::int64_t>(lists_[at].size()));
    }
    return true;
  }

  bool empty() const { return first_ == kNone; }
  std::size_t live() const { return live_; }
  Index first_token() const { return nodes_[first_].token; }
  Index last_token() const { return nodes_[last_].token; }

  /// How many tokens equal to the last one end the shard, and whether that run starts it.
  std::pair<std::size_t, bool> last_run() const {
    const Index token = nodes_[last_].token;
    std::size_t length = 0;
    Index i = last_;
    for (; i != kNone && nodes_[i].token == token; i = nodes_[i].prev) ++length;
    return {length, i == kNone};
  }

  /// One step's rewrites of (a, b) into z: drops the first token when the shard before takes
  /// it, rewrites the shard's own occurrences from the left, then turns the last token into z
  /// when it takes the next shard's first. Returns false when `stop` cut the step short.
  bool merge(TokenPair pair, Index z, bool first_taken, bool takes_next, const StopFlag* stop,
             InterruptPacer& pace) {
    const auto a = static_cast<Index>(pair.left);
    const auto b = static_cast<Index>(pair.right);
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
    }
    publish(pair);
    return true;
  }

  PairDeltas& deltas() { return deltas_; }

 private:
  /// Counts a unit of work; false when a worker's `stop` was raised (on the calling thread,
  /// without one, the pacer polls the interrupt check and throws).
  static bool paced(const StopFlag* stop, InterruptPacer& pace) {
    if (stop == nullptr) {
      pace();
      return true;
    }
    return !(pace.due() && stop->stop_requested());
  }

  std::vector<std::pair<TokenPair, std::size_t>> listed_pairs() const {
    std::vector<std::pair<TokenPair, std::size_t>> pairs;
    list_index_.for_each([&](const TokenPair& pair, Index at) {
      if (at != 0) pairs.emplace_back(pair, at - 1);
    });
    return pairs;
  }

  /// The occurrences lie anywhere in the shard, and a rewrite reads the nodes of i, of the
  /// positions beside it and of the one after next. Fetch a node some occurrences ahead and
  /// its neighbours a few closer, so that the misses overlap; stale entries cost a wasted
  /// fetch at most.
  void prefetch_ahead(const std::vector<Index>& list, std::size_t k) const {
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
  void lose_before(Index x) {
    if (x == z_) {
      after_z_.add(a_, -1);
    } else {
      before_a_.add(x, -1);
    }
  }

  /// Counts a new occurrence, at `position`, of the pair holding z and `other` on `side`.
  void gain(StepSide& side, Index other, Index position) {
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
  void publish(TokenPair pair) {
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

  void drop_list(Index at) {
    lists_[at - 1] = {};
    free_lists_.push_back(at);
  }

  void rewrite(Index i, Index j, Index z) {
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

  // A position's token (kRemoved once a rewrite took it) and its live neighbours, side by
  // side: a rewrite reads all three of several positions scattered over the shard.
  struct Node {
    Index token;
    Index next;
    Index prev;
  };
  std::vector<Node> nodes_;
  Index first_ = kNone;
  Index last_ = kNone;
  std::size_t live_ = 0;
  // Per pair inside the shard: 1 + where its list is in `lists_`, 0 once merged. A list holds
  // the pair's positions in increasing order; entries go stale as rewrites change the pair a
  // position starts, and are checked against the tokens when the pair is merged.
  FlatMap<TokenPair, Index> list_index_;
  std::vector<std::vector<Index>> lists_;
  std::vector<Index> free_lists_;  // 1 + where an emptied list is, to be given out again
  // The current step's changes, by side; (z, z) is filed under before_z_.
  StepSide before_a_;
  StepSide after_b_;
  StepSide before_z_;
  StepSide after_z_;
  std::int64_t merged_ = 0;
  Index a_ = kNone;
  Index z_ = kNone;
  PairDeltas deltas_;
};

class ShardedTrainer::Coordinator {
 public:
  Coordinator(std::string_view text, std::size_t shards, std::size_t num_threads,
              const InterruptCheck& interrupt)
      : shards_(std::max<std::size_t>(shards, 1)), parallel_{num_threads >= 2} {
    const std::size_t n = text.size();
    if (n >= kLongestText || n > std::numeric_limits<std::size_t>::max() / kBytesPerPosition) {
      throw std::bad_alloc();
    }
    check_memory_budget(0, n * kBytesPerPosition);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t count = shards_.size();
    auto begin_of = [&](std::size_t k) {
      // n < 2^32, so k * n fits 64 bits for any count of shards a process can hold.
      return static_cast<std::size_t>(std::uint64_t{k} * n / count);
    };
    auto build = [&](std::size_t k, const StopFlag& stop) {
      InterruptPacer pace;
      const std::size_t begin = begin_of(k);
      shards_[k].build(bytes + begin, begin_of(k + 1) - begin, &stop, pace);
    };
    if (parallel_) {
      interrupt();  // the pool polls only while it waits, which a short count may not do
      run_on_workers(count, build, interrupt);
    } else {
      InterruptPacer pace{interrupt};
      for (std::size_t k = 0; k < count; ++k) {
        const std::size_t begin = begin_of(k);
        shards_[k].build(bytes + begin, begin_of(k + 1) - begin, nullptr, pace);
      }
    }
    boundaries_ = current_boundaries();
    for (TokenPair pair : boundaries_) ++counts_[pair];
    for (Shard& shard : shards_) {
      shard.deltas().for_each(
          [&](TokenPair pair, std::int64_t delta) { counts_[pair] += static_cast<Index>(delta); });
      shard.deltas().clear();
    }
    counts_.for_each([&](const TokenPair& pair, Index pairs) { heap_.push_back({pairs, pair}); });
    std::make_heap(heap_.begin(), heap_.end(), lower_priority);
    for (const Shard& shard : shards_) length_ += shard.live();
  }

  std::optional<TokenPair> most_common_pair() {
    while (!heap_.empty()) {
      const Entry top = heap_.front();
      const Index count = count_of(top.pair);
      if (count == top.count) {
        chosen_ = top.pair;
        return top.pair;
      }
      // The count fell since the entry was pushed: put it back where it belongs now.
      std::pop_heap(heap_.begin(), heap_.end(), lower_priority);
      heap_.pop_back();
      if (count > 0) push(top.pair, count);
    }
    chosen_.reset();
    return std::nullopt;
  }

  void merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt) {
    check(chosen_ && *chosen_ == pair, "merge of a pair that is not the most common one");
    chosen_.reset();
    check(id < kRemoved, "token id beyond the trainer's range");
    const auto z = static_cast<Index>(id);
    plan(pair);
    if (parallel_) {
      auto step = [&](std::size_t k, const StopFlag& stop) {
        InterruptPacer pace;
        shards_[k].merge(pair, z, first_taken_[k] != 0, takes_next_[k] != 0, &stop, pace);
      };
      interrupt();
      run_on_workers(shards_.size(), step, interrupt);
    } else {
      InterruptPacer pace{interrupt};
      for (std::size_t k = 0; k < shards_.size(); ++k) {
        shards_[k].merge(pair, z, first_taken_[k] != 0, takes_next_[k] != 0, nullptr, pace);
      }
    }
    // Sum the shards' changes and those across cuts; the pairs whose counts rose (they hold
    // the new token) get fresh heap entries, which keeps every count's entry at or above it.
    gained_.clear();
    auto apply = [&](TokenPair changed, std::int64_t delta) {
      Index& count = counts_[changed];
      count = static_cast<Index>(static_cast<std::int64_t>(count) + delta);
      if (delta > 0) gained_.push_back(changed);
    };
    for (Shard& shard : shards_) {
      shard.deltas().for_each(apply);
      shard.deltas().clear();
    }
    std::vector<TokenPair> boundaries = current_boundaries();
    if (boundaries != boundaries_) {
      for (TokenPair gone : boundaries_) apply(gone, -1);
      for (TokenPair made : boundaries) apply(made, 1);
      boundaries_ = std::move(boundaries);
    }
    check(count_of(pair) == 0, "merged pair still occurs");
    std::sort(gained_.begin(), gained_.end());
    gained_.erase(std::unique(gained_.begin(), gained_.end()), gained_.end());
    for (TokenPair made : gained_) {
      if (const Index count = count_of(made); count > 0) push(made, count);
    }
    length_ = 0;
    for (const Shard& shard : shards_) length_ += shard.live();
  }

  std::size_t size() const { return length_; }

 private:
  struct Entry {
    Index count;
    TokenPair pair;
  };

  // Heap order: training's tie rule, `outranks`; the top is the entry that outranks the rest.
  static bool lower_priority(const Entry& x, const Entry& y) {
    return outranks({y.pair, static_cast<PairCount>(y.count)},
                    {x.pair, static_cast<PairCount>(x.count)});
  }

  Index count_of(TokenPair pair) const {
    const Index* count = counts_.find(pair);
    return count != nullptr ? *count : 0;
  }

  void push(TokenPair pair, Index count) {
    heap_.push_back({count, pair});
    std::push_heap(heap_.begin(), heap_.end(), lower_priority);
  }

  /// The pairs across cuts: between the last token of each non-empty shard and the first of
  /// the next non-empty one.
  std::vector<TokenPair> current_boundaries() const {
    std::vector<TokenPair> pairs;
    const Shard* before = nullptr;
    for (const Shard& shard : shards_) {
      if (shard.empty()) continue;
      if (before != nullptr) pairs.push_back(TokenPair{before->last_token(), shard.first_token()});
      before = &shard;
    }
    return pairs;
  }

  /// Decides, walking the shards from the left, which shards lose their first token to the
  /// last token of the non-empty shard before them in this step's rewrite of `pair`.
  void plan(TokenPair pair) {
    const std::size_t count = shards_.size();
    first_taken_.assign(count, 0);
    takes_next_.assign(count, 0);
    // Whether the token before the shard at hand is an `a` no rewrite has taken yet.
    bool open = false;
    std::size_t before = count;
    for (std::size_t k = 0; k < count; ++k) {
      const Shard& shard = shards_[k];
      if (shard.empty()) continue;
      const bool taken = open && shard.first_token() == pair.right;
      if (taken) {
        first_taken_[k] = 1;
        takes_next_[before] = 1;
      }
      if (shard.last_token() != pair.left) {
        open = false;
      } else if (pair.left != pair.right) {
        open = true;  // an `a` is never the right half of (a, b)
      } else {
        // A run of `a` is rewritten in pairs from its start; its last token stays free when
        // the part this shard rewrites has odd length.
        const auto [length, whole] = shard.last_run();
        open = (length - (whole && taken ? 1 : 0)) % 2 == 1;
      }
      before = k;
    }
  }

  std::vector<Shard> shards_;
  bool parallel_;
  std::size_t length_ = 0;
  FlatMap<TokenPair, Index> counts_;
  std::vector<Entry> heap_;
  std::optional<TokenPair> chosen_;
  std::vector<TokenPair> boundaries_;
  std::vector<TokenPair> gained_;
  std::vector<std::uint8_t> first_taken_;
  std::vector<std::uint8_t> takes_next_;
};

ShardedTrainer::ShardedTrainer(std::string_view text, std::size_t shards, std::size_t num_threads,
                               const InterruptCheck& interrupt)
    : coordinator_{std::make_unique<Coordinator>(text, shards, num_threads, interrupt)} {}

ShardedTrainer::~ShardedTrainer() = default;

std::optional<TokenPair> ShardedTrainer::most_common_pair() {
  return coordinator_->most_common_pair();
}

void ShardedTrainer::merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt) {
  coordinator_->merge(pair, id, interrupt);
}

std::size_t ShardedTrainer::size() const {
  return coordinator_->size();
}

}  // namespace tokenizer::basic
