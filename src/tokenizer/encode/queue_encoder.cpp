#include "tokenizer/encode/queue_encoder.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <ranges>

#include "tokenizer/core/merge_rules.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"

namespace tokenizer {
namespace {

constexpr std::uint32_t kNone = MergeLookup::kNone;

// How many batch positions ahead the loops prefetch.
constexpr std::size_t kPrefetchDistance = 16;

// Texts shorter than this use the heap; longer ones the buckets.
constexpr std::size_t kBucketThreshold = 16384;

/// Queue of (merge id, position) entries as a binary heap: cheap to set up, for short texts.
class HeapQueue {
 public:
  HeapQueue(std::uint32_t, std::size_t expected) { heap_.reserve(expected); }

  void push(std::uint32_t merge, std::uint32_t position) {
    heap_.push_back(std::uint64_t{merge} << 32 | position);
    std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
  }

  /// Moves the positions queued under the smallest merge id into `positions`, in increasing
  /// order, and sets `merge`. False when the queue is empty.
  bool take(std::uint32_t& merge, std::vector<std::uint32_t>& positions) {
    if (heap_.empty()) return false;
    merge = static_cast<std::uint32_t>(heap_.front() >> 32);
    while (!heap_.empty() && (heap_.front() >> 32) == merge) {
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
      positions.push_back(static_cast<std::uint32_t>(heap_.back()));
      heap_.pop_back();
    }
    return true;
  }

 private:
  std::vector<std::uint64_t> heap_;  // (merge << 32 | position), smallest on top
};

/// Queue of (merge id, position) entries as one bucket per merge id: a chain of small blocks
/// in arrival order, with a bitmap of the non-empty buckets. Constant time per entry, but it
/// costs arrays as long as the largest merge id, so it serves long texts.
class BucketQueue {
 public:
  BucketQueue(std::uint32_t largest_merge, std::size_t expected)
      : head_(std::size_t{largest_merge} + 1, kNone),
        tail_(std::size_t{largest_merge} + 1, kNone),
        bits_(std::size_t{largest_merge} / 64 + 1, 0) {
    blocks_.reserve(expected / kBlockItems + 16);
  }

  void push(std::uint32_t merge, std::uint32_t position) {
    std::uint32_t block = tail_[merge];
    if (block == kNone || blocks_[block].used == kBlockItems) {
      std::uint32_t fresh = new_block();
      if (block == kNone) {
        head_[merge] = fresh;
        bits_[merge / 64] |= std::uint64_t{1} << (merge % 64);
        lowest_ = std::min(lowest_, merge);
      } else {
        blocks_[block].next = fresh;
      }
      tail_[merge] = block = fresh;
    }
    Block& b = blocks_[block];
    b.items[b.used++] = position;
  }

  bool take(std::uint32_t& merge, std::vector<std::uint32_t>& positions) {
    std::size_t word = lowest_ / 64;
    while (word < bits_.size() && bits_[word] == 0) ++word;
    if (word == bits_.size()) {
      lowest_ = kNone;
      return false;
    }
    merge = static_cast<std::uint32_t>(word * 64 +
                                       static_cast<std::size_t>(std::countr_zero(bits_[word])));
    lowest_ = merge;
    bits_[word] &= bits_[word] - 1;
    for (std::uint32_t block = head_[merge]; block != kNone;) {
      Block& b = blocks_[block];
      positions.insert(positions.end(), b.items, b.items + b.used);
      std::uint32_t next = b.next;
      b.next = free_;
      free_ = block;
      block = next;
    }
    head_[merge] = tail_[merge] = kNone;
    // Entries arrive in increasing runs (one per round that queued them); merge the runs.
    if (!std::is_sorted(positions.begin(), positions.end())) {
      std::sort(positions.begin(), positions.end());
    }
    return true;
  }

 private:
  static constexpr std::uint32_t kBlockItems = 14;
  struct Block {
    std::uint32_t next;
    std::uint32_t used;
    std::uint32_t items[kBlockItems];
  };

  std::uint32_t new_block() {
    std::uint32_t block = free_;
    if (block != kNone) {
      free_ = blocks_[block].next;
    } else {
      block = static_cast<std::uint32_t>(blocks_.size());
      blocks_.emplace_back();
    }
    blocks_[block].next = kNone;
    blocks_[block].used = 0;
    return block;
  }

  std::vector<Block> blocks_;
  std::uint32_t free_ = kNone;
  std::vector<std::uint32_t> head_;
  std::vector<std::uint32_t> tail_;
  std::vector<std::uint64_t> bits_;  // bit m set: bucket m holds entries
  std::uint32_t lowest_ = 0;         // no bucket below it holds entries
};

/// Encodes short pieces directly on arrays: each round scans for the merge that applies first,
/// then merges every occurrence of its pair and compacts. Quadratic in the piece length,
/// which for a few dozen bytes beats any queue.
class ShortPieceEncoder {
 public:
  static constexpr std::size_t kLongest = 64;

  explicit ShortPieceEncoder(const MergeLookup& lookup) : lookup_{lookup} {}

  /// Appends the ids of `piece` (at most kLongest bytes) to `out`.
  void encode(std::string_view piece, std::vector<TokenId>& out) {
    std::size_t length = piece.size();
    for (std::size_t i = 0; i < length; ++i) token_[i] = static_cast<unsigned char>(piece[i]);
    for (std::size_t i = 0; i + 1 < length; ++i) merge_[i] = lookup_.find(token_[i], token_[i + 1]);
    merge_[length - 1] = kNone;
    MergeCandidate merge;
    while (next_merge(length, merge)) length = merge_all(merge, length);
    out.insert(out.end(), token_, token_ + length);
  }

 private:
  // The merge that applies first among the piece's pairs; false when none has a merge.
  bool next_merge(std::size_t length, MergeCandidate& best) const {
    bool found = false;
    for (std::size_t i = 0; i + 1 < length; ++i) {
      if (merge_[i] == kNone) continue;
      const MergeCandidate candidate{TokenPair{token_[i], token_[i + 1]}, merge_[i]};
      if (!found || applies_before(candidate, best)) best = candidate;
      found = true;
    }
    return found;
  }

  // Rewrites every occurrence of the merge's pair (left to right, without overlap) as its id
  // and returns the new length. Merge ids are carried along for untouched pairs and looked up
  // for pairs next to a new token.
  std::size_t merge_all(const MergeCandidate& merge, std::size_t length) {
    const auto id = static_cast<std::uint32_t>(merge.id);
    rewrite_from_left(
        std::views::iota(std::size_t{0}, length - 1),
        [&](std::size_t r) {
          return merge_[r] == id && token_[r] == merge.pair.left &&
                 token_[r + 1] == merge.pair.right;
        },
        [&](std::size_t r) {
          token_[r] = id;
          token_[r + 1] = kNone;  // consumed: dropped below
        },
        [] {});
    std::size_t w = 0;
    for (std::size_t r = 0; r < length; ++r) {
      if (token_[r] == kNone) continue;
      token_[w] = token_[r];
      merge_[w] = merge_[r];
      ++w;
    }
    for (std::size_t i = 0; i + 1 < w; ++i) {
      if (token_[i] == id || token_[i + 1] == id)
        merge_[i] = lookup_.find(token_[i], token_[i + 1]);
    }
    merge_[w - 1] = kNone;
    return w;
  }

  const MergeLookup& lookup_;
  std::uint32_t token_[kLongest];
  std::uint32_t merge_[kLongest];  // merge id of (token_[i], token_[i + 1]), or kNone
};

/// Encodes one piece of text at a time, keeping its storage from piece to piece.
template <class Queue>
class QueuedEncoder {
 public:
  QueuedEncoder(const MergeLookup& lookup, std::size_t expected)
      : lookup_{lookup}, queue_{lookup.largest(), expected} {}

  /// Appends the ids of `piece` to `out`.
  void encode(std::string_view piece, std::vector<TokenId>& out, InterruptPacer& pace);

 private:
  /// One position of the piece: its token (kNone once removed), its neighbours, and the merge
  /// id of the pair it starts (kNone when that pair has no merge or nothing follows).
  struct Node {
    std::uint32_t token;
    std::uint32_t prev;
    std::uint32_t next;
    std::uint32_t merge;
  };

  TokenPair pair_at(std::uint32_t position) const {
    return TokenPair{nodes_[position].token, nodes_[nodes_[position].next].token};
  }
  // A batch's positions lie anywhere in the piece: fetch ahead so the cache misses overlap.
  void prefetch(std::size_t k) const {
    if (k < batch_.size()) __builtin_prefetch(&nodes_[batch_[k]]);
  }
  bool take_batch(std::uint32_t& merge);
  void link(std::uint32_t position);
  void rewrite(std::uint32_t position, std::uint32_t id);

  const MergeLookup& lookup_;
  std::vector<Node> nodes_;
  Queue queue_;
  std::vector<std::uint32_t> batch_;  // positions to rewrite in this round
};

template <class Queue>
bool QueuedEncoder<Queue>::take_batch(std::uint32_t& merge) {
  // The live positions of the smallest queued merge id. A repeated entry (a pair that vanished
  // and came back at the same place) sits next to its twin once sorted.
  for (;;) {
    batch_.clear();
    if (!queue_.take(merge, batch_)) return false;
    std::size_t kept = 0;
    for (std::size_t k = 0; k < batch_.size(); ++k) {
      prefetch(k + kPrefetchDistance);
      const std::uint32_t position = batch_[k];
      const Node& node = nodes_[position];
      if (node.token == kNone || node.merge != merge) continue;
      if (kept > 0 && batch_[kept - 1] == position) continue;
      batch_[kept++] = position;
    }
    batch_.resize(kept);
    if (kept == 0) continue;
    // Pairs sharing one id (a table grown by several trainings or loads): this round takes the
    // smallest pair; the others are queued again for the next round.
    MergeCandidate first{pair_at(batch_.front()), merge};
    for (std::uint32_t position : batch_) {
      const MergeCandidate candidate{pair_at(position), merge};
      if (applies_before(candidate, first)) first = candidate;
    }
    std::erase_if(batch_, [&](std::uint32_t position) {
      if (pair_at(position) == first.pair) return false;
      queue_.push(merge, position);
      return true;
    });
    return true;
  }
}

template <class Queue>
void QueuedEncoder<Queue>::link(std::uint32_t position) {
  // Records the merge of the pair starting at `position`, queueing it when there is one.
  Node& node = nodes_[position];
  node.merge = node.next == kNone ? kNone : lookup_.find(node.token, nodes_[node.next].token);
  if (node.merge != kNone) queue_.push(node.merge, position);
}

template <class Queue>
void QueuedEncoder<Queue>::rewrite(std::uint32_t i, std::uint32_t id) {
  Node& at = nodes_[i];
  const std::uint32_t j = at.next;
  const std::uint32_t q = nodes_[j].next;
  at.token = id;
  at.next = q;
  nodes_[j].token = kNone;
  if (q != kNone) nodes_[q].prev = i;
  if (at.prev != kNone) link(at.prev);
  link(i);
}

template <class Queue>
void QueuedEncoder<Queue>::encode(std::string_view piece, std::vector<TokenId>& out,
                                  InterruptPacer& pace) {
  const auto n = static_cast<std::uint32_t>(piece.size());
  nodes_.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    nodes_[i] = Node{static_cast<unsigned char>(piece[i]), i == 0 ? kNone : i - 1,
                     i + 1 == n ? kNone : i + 1, kNone};
  }
  for (std::uint32_t i = 0; i + 1 < n; ++i) link(i);

  std::uint32_t merge = kNone;
  while (take_batch(merge)) {
    const TokenPair pair = pair_at(batch_.front());
    // An earlier rewrite of this round may have removed a position or its partner.
    rewrite_from_left(
        std::views::iota(std::size_t{0}, batch_.size()),
        [&](std::size_t k) {
          prefetch(k + kPrefetchDistance);
          const Node& node = nodes_[batch_[k]];
          return node.token == pair.left && node.next != kNone &&
                 nodes_[node.next].token == pair.right;
        },
        [&](std::size_t k) { rewrite(batch_[k], merge); }, pace);
  }
  for (std::uint32_t i = n == 0 ? kNone : 0; i != kNone; i = nodes_[i].next) {
    out.push_back(nodes_[i].token);
  }
}

}  // namespace

std::vector<TokenId> encode_queued(const MergeLookup& lookup, std::string_view text,
                                   const InterruptCheck& interrupt) {
  check(lookup.complete() && text.size() <= kQueuedEncodeLimit, "text or merges too large");
  interrupt();
  std::vector<TokenId> out;
  out.reserve(text.size() / 2 + 16);
  InterruptPacer pace{interrupt};
  ShortPieceEncoder short_pieces{lookup};
  QueuedEncoder<HeapQueue> medium{lookup, 64};
  std::optional<QueuedEncoder<BucketQueue>> large;

  // The text falls apart where two adjacent bytes can never be joined; each piece encodes on
  // its own, most of them small enough to stay in cache.
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t start = 0;
  for (std::size_t end = 1; end <= text.size(); ++end) {
    if (end < text.size() && lookup.joinable(bytes[end - 1], bytes[end])) continue;
    const std::string_view piece = text.substr(start, end - start);
    if (piece.size() == 1) {
      out.push_back(bytes[start]);
    } else if (piece.size() == 2) {
      const std::uint32_t merge = lookup.find(bytes[start], bytes[start + 1]);
      if (merge != kNone) {
        out.push_back(merge);
      } else {
        out.push_back(bytes[start]);
        out.push_back(bytes[start + 1]);
      }
    } else if (piece.size() <= ShortPieceEncoder::kLongest) {
      short_pieces.encode(piece, out);
    } else if (piece.size() < kBucketThreshold ||
               piece.size() < std::size_t{lookup.largest()} / 4) {
      // The buckets' arrays cost about as much as a piece a quarter as long as the largest
      // merge id; shorter pieces take the heap.
      medium.encode(piece, out, pace);
    } else {
      if (!large) large.emplace(lookup, piece.size());
      large->encode(piece, out, pace);
    }
    pace(piece.size());
    start = end;
  }
  return out;
}

}  // namespace tokenizer
