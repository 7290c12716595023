#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <ranges>
#include <type_traits>
#include <utility>
#include <vector>

#include "tokenizer/core/merge_rules.hpp"
#include "tokenizer/core/pair_counts.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/worker_pool.hpp"
#include "tokenizer/train/byte_pairs.hpp"
#include "tokenizer/train/linked_tokens.hpp"
#include "tokenizer/train/merge_rewrite.hpp"
#include "tokenizer/train/occurrence_lists.hpp"
#include "tokenizer/train/pair_choice.hpp"
#include "tokenizer/train/pair_heap.hpp"
#include "tokenizer/train/split_rewrite.hpp"
#include "tokenizer/train/trainer_engine.hpp"

namespace tokenizer {
namespace {

// Chunks at least this long count into a dense table of all 65,536 byte pairs; shorter ones
// list their pairs.
constexpr std::size_t kDenseChunk = std::size_t{1} << 16;

/// Adds the count of every adjacent byte pair of `bytes[0, n)` into `counts`, on the worker
/// pool: chunks of c = floor(n / num_threads) bytes (the last takes the rest), each counting
/// the pairs that start in it (so the pair across its right boundary too) into a table of its
/// own, then adding that into `counts` under one lock acquisition.
template <class Index>
void count_in_chunks(const unsigned char* bytes, std::size_t n, std::size_t num_threads,
                     std::vector<Index>& counts, const InterruptCheck& interrupt) {
  const Chunks chunks{n, num_threads};
  std::mutex shared;
  auto count_chunk = [&](std::size_t k, const StopFlag& stop) {
    const std::size_t begin = chunks.begin(k);
    const std::size_t end = std::min(chunks.end(k), n - 1);  // pairs starting before `end`
    if (begin >= end) return;
    if (end - begin >= kDenseChunk) {
      std::vector<Index> own(kBytePairKeys, 0);
      InterruptPacer pace;
      if (!count_byte_pairs(bytes, begin, end, own.data(), &stop, pace)) return;
      std::lock_guard lock{shared};
      for (std::size_t key = 0; key < kBytePairKeys; ++key) counts[key] += own[key];
    } else {
      std::vector<std::uint16_t> own(end - begin);
      for (std::size_t i = begin; i < end; ++i) {
        own[i - begin] = static_cast<std::uint16_t>(byte_pair_key(bytes, i));
      }
      std::lock_guard lock{shared};
      for (std::uint16_t key : own) ++counts[key];
    }
  };
  run_on_workers(chunks.count(), count_chunk, interrupt);
}

// Building in chunks keeps a 65,536-entry table per chunk; beyond this many chunks the
// trainer only counts in chunks and lays the lists out on the calling thread.
constexpr std::size_t kMostChunksLaidOut = 64;

/// The trainer over positions and ids of type Index (32 bits whenever the text allows).
///
/// Pairs are known by number, never hashed: the byte pairs are numbered from a dense table,
/// and every later pair holds the token of the merge that created it, so during that merge
/// it is found through a small table indexed by its other token. Numbers of pairs that no
/// longer occur are given out again.
template <class Index>
class LinkedEngine final : public TrainerEngine,
                           PairChoice<LinkedEngine<Index>, Index, std::vector<PairRecord<Index>>> {
 public:
  LinkedEngine(std::string_view text, std::size_t num_threads, const InterruptCheck& interrupt,
               std::size_t split_from);

  std::optional<TokenPair> most_common_pair() override { return this->choose(interrupt_); }
  void merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt) override;
  std::size_t size() const override { return length_; }

 private:
  friend class MergeRewrite<Index>;
  using Sequence = LinkedTokens<Index>;
  using Node = typename Sequence::Node;
  using Pair = PairRecord<Index>;
  using Choice = PairChoice<LinkedEngine<Index>, Index, std::vector<Pair>>;
  friend Choice;
  using Choice::admit_from_;
  using Choice::push;
  static constexpr Index kNone = Sequence::kNone;

  Index count(Index number) const { return counts_[number]; }
  bool queued(Index number) const { return queued_[number] != 0; }
  void set_queued(Index number, bool queued) { queued_[number] = queued ? 1 : 0; }
  const std::vector<Pair>& records() const { return pairs_; }

  void build_on_caller(const unsigned char* bytes, std::size_t n, std::size_t num_threads);
  void build_in_chunks(const unsigned char* bytes, std::size_t n, std::size_t num_threads);
  /// Gives the byte pair `key` the next number and a list for its `count` positions.
  void number_byte_pair(unsigned key, Index count);
  Index new_pair(Index left, Index right);
  void release(Index number);
  void lose(Index number) {
    if (--counts_[number] == 0 && !queued_[number]) dead_.push_back(number);
  }
  /// Enters the merge's new pairs into the heap and files their positions: first into
  /// [spare, spare_end), the list of the pair just merged, then after the last list.
  /// `split`: the merge was rewritten in parts, which file their gains themselves.
  void publish_new_pairs(std::size_t spare, std::size_t spare_end, bool split);
  /// Files the gains of a merge rewritten in parts, each part on the worker pool, every
  /// pair's after those of the parts before.
  void file_parts();
  /// Rewrites the occurrences [begin, end) of pair `number` as `id` on the calling thread.
  void rewrite_on_caller(Index number, Index id, std::size_t begin, std::size_t end,
                         const InterruptCheck& interrupt);
  void rebuild_occurrences();
  /// Rewrites the occurrences [begin, end) of pair `number` as `id` in parts on the worker
  /// pool; false, with nothing done, when the list is too short or cannot be cut.
  bool rewrite_in_parts(Index number, Index id, std::size_t begin, std::size_t end,
                        const InterruptCheck& interrupt);
  /// Whether the rewrites at live occurrences i and, later, k touch no node in common: a
  /// rewrite at i reaches from the position before it to the second after it.
  bool far_apart(Index i, Index k) const;

  /// Polled, paced, by every pass over the whole text or all pairs on the calling thread.
  InterruptCheck interrupt_;
  Sequence nodes_;
  std::size_t length_ = 0;

  std::vector<Pair> pairs_;
  std::vector<Index> counts_;         // per pair number: its occurrences now (kept apart from
                                      // the records: rewrites touch little else)
  std::vector<std::uint8_t> queued_;  // per pair number: 1 while it has a heap entry
  std::vector<Index> free_;           // pair numbers to give out again
  OccurrenceLists<Index> occurrences_;

  MergeRewrite<Index> rewrites_;
  std::vector<Index> dead_;  // pairs that stopped occurring in this merge, outside the heap

  // Merges of split_from_ occurrences or more are rewritten in up to threads_ parts at once.
  std::size_t threads_;
  std::size_t split_from_;
  std::vector<std::pair<std::size_t, std::size_t>> ranges_;  // each part's entries of the list
  std::vector<SplitRewrite<Index>> parts_;
};

template <class Index>
LinkedEngine<Index>::LinkedEngine(std::string_view text, std::size_t num_threads,
                                  const InterruptCheck& interrupt, std::size_t split_from)
    : interrupt_{interrupt},
      threads_{num_threads},
      split_from_{std::max<std::size_t>(2, split_from)} {
  const std::size_t n = text.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  length_ = n;
  nodes_.resize(n);
  // The pair tables grow as merges make pairs. Reserved here for about one pair per 8 bytes
  // of text (shuffled corpus lines reach one per 12 at 4,096 merges), they rarely move: no
  // copies, and never the old and the new array at once. Reserved pages are only taken as
  // numbers are given out.
  const std::size_t expected_pairs = n / 8 + 1024;
  pairs_.reserve(expected_pairs);
  counts_.reserve(expected_pairs);
  queued_.reserve(expected_pairs);
  // A text shorter than the chunk count cannot be cut into chunks; built here, it gives the
  // same start.
  if (num_threads >= 2 && n >= num_threads && n / (n / num_threads) <= kMostChunksLaidOut) {
    build_in_chunks(bytes, n, num_threads);
  } else {
    build_on_caller(bytes, n, num_threads);
  }
  this->enter_pairs();
}

template <class Index>
void LinkedEngine<Index>::build_on_caller(const unsigned char* bytes, std::size_t n,
                                          std::size_t num_threads) {
  if (n < 2) {
    if (n == 1) nodes_[0] = Node{bytes[0], kNone};
    return;
  }
  InterruptPacer pace{interrupt_};
  std::vector<Index> counts(kBytePairKeys, 0);
  if (num_threads >= 2 && n >= num_threads) {
    count_in_chunks(bytes, n, num_threads, counts, interrupt_);
  } else {
    count_byte_pairs(bytes, 0, n - 1, counts.data(), nullptr, pace);
  }
  // Number the byte pairs in key order and lay out their position lists one after another;
  // `fill` is where each byte pair's next position goes. Number and fill side by side cost
  // the loop below one cache line per key rather than two.
  occurrences_.reserve_for(n);
  struct Slot {
    Index number;
    Index fill;
  };
  std::vector<Slot> slots(kBytePairKeys, Slot{kNone, 0});
  for (unsigned key = 0; key < kBytePairKeys; ++key) {
    if (counts[key] == 0) continue;
    slots[key] = Slot{static_cast<Index>(pairs_.size()), static_cast<Index>(occurrences_.size())};
    number_byte_pair(key, counts[key]);
  }
  Node* nodes = &nodes_[0];
  Index* entries = &occurrences_[0];
  for_each_paced(0, n - 1, nullptr, pace, [&](std::size_t i) {
    Slot& slot = slots[byte_pair_key(bytes, i)];
    nodes[i] = Node{bytes[i], slot.number};
    entries[slot.fill++] = static_cast<Index>(i);
  });
  nodes_[n - 1] = Node{bytes[n - 1], kNone};
}

template <class Index>
void LinkedEngine<Index>::number_byte_pair(unsigned key, Index count) {
  pairs_.push_back(Pair{static_cast<Index>(key >> 8), static_cast<Index>(key & 0xff), count,
                        static_cast<Index>(occurrences_.size())});
  counts_.push_back(count);
  queued_.push_back(0);
  occurrences_.open(count);
}

template <class Index>
void LinkedEngine<Index>::build_in_chunks(const unsigned char* bytes, std::size_t n,
                                          std::size_t num_threads) {
  // Chunks of c = floor(n / num_threads) positions (the last takes the rest). Each chunk
  // counts the pairs starting in its positions (so the pair across its right boundary too)
  // into a table of its own; the tables then say where in each pair's list a chunk's
  // positions go, and the chunks fill their nodes and file their positions there, again side
  // by side. Chunks come in text order, so every list comes out sorted.
  const Chunks chunks{n, num_threads};
  std::vector<std::vector<Index>> tables(chunks.count());
  auto count = [&](std::size_t k, const StopFlag& stop) {
    const std::size_t begin = chunks.begin(k);
    const std::size_t end = chunks.end(k);
    std::vector<Index>& own = tables[k];
    own.assign(kBytePairKeys, 0);
    InterruptPacer pace;
    count_byte_pairs(bytes, begin, std::min(end, n - 1), own.data(), &stop, pace);
  };
  run_on_workers(chunks.count(), count, interrupt_);

  occurrences_.reserve_for(n);
  std::vector<Index> number_of(kBytePairKeys, kNone);
  for (unsigned key = 0; key < kBytePairKeys; ++key) {
    Index total = 0;
    for (const std::vector<Index>& own : tables) total += own[key];
    if (total == 0) continue;
    number_of[key] = static_cast<Index>(pairs_.size());
    // Each chunk's count of this pair becomes where its positions of the pair begin.
    Index at = static_cast<Index>(occurrences_.size());
    for (std::vector<Index>& own : tables) at += std::exchange(own[key], at);
    number_byte_pair(key, total);
  }

  auto file = [&](std::size_t k, const StopFlag& stop) {
    const std::size_t begin = chunks.begin(k);
    const std::size_t end = std::min(chunks.end(k), n - 1);
    Index* at = tables[k].data();
    Node* nodes = &nodes_[0];
    Index* entries = &occurrences_[0];
    InterruptPacer pace;
    for_each_paced(begin, end, &stop, pace, [&](std::size_t i) {
      const unsigned key = byte_pair_key(bytes, i);
      nodes[i] = Node{bytes[i], number_of[key]};
      entries[at[key]++] = static_cast<Index>(i);
    });
  };
  run_on_workers(chunks.count(), file, interrupt_);
  nodes_[n - 1] = Node{bytes[n - 1], kNone};
}

template <class Index>
Index LinkedEngine<Index>::new_pair(Index left, Index right) {
  Index number = reuse_number(free_, pairs_, counts_, left, right);
  if (number == kNone) {
    number = static_cast<Index>(pairs_.size());
    if (pairs_.size() == pairs_.capacity()) {
      // Grow by half rather than double: the table is the trainer's largest after the text.
      pairs_.reserve(pairs_.size() + pairs_.size() / 2 + 1024);
      counts_.reserve(pairs_.capacity());
      queued_.reserve(pairs_.capacity());
    }
    pairs_.push_back(Pair{left, right, 0, 0});
    counts_.push_back(0);
    queued_.push_back(0);
  }
  return number;
}

template <class Index>
void LinkedEngine<Index>::release(Index number) {
  release_number(free_, pairs_, counts_, number);
}

template <class Index>
void LinkedEngine<Index>::merge(TokenPair pair, TokenId token_id, const InterruptCheck& interrupt) {
  interrupt_ = interrupt;
  const Index number = this->take_chosen(pair);
  const Index id = static_cast<Index>(token_id);
  dead_.clear();

  const std::size_t begin = pairs_[number].list_at;
  const std::size_t end = begin + pairs_[number].list_size;
  const bool split = rewrite_in_parts(number, id, begin, end, interrupt);
  if (!split) {
    rewrites_.start(id, 2 * (end - begin));
    rewrite_on_caller(number, id, begin, end, interrupt);
  }
  check(counts_[number] == 0, "merged pair still occurs");
  pairs_[number].list_size = 0;
  publish_new_pairs(begin, end, split);
}

template <class Index>
void LinkedEngine<Index>::rewrite_on_caller(Index number, Index id, std::size_t begin,
                                            std::size_t end, const InterruptCheck& interrupt) {
  // The list goes in blocks of one interrupt interval, polled between blocks, so that the
  // loop over a block carries no count.
  InterruptPacer pace{interrupt};
  for (std::size_t block = begin; block < end;) {
    const std::size_t block_end = block + std::min(end - block, kInterruptInterval);
    rewrite_from_left(
        std::views::iota(block, block_end),
        [&](std::size_t k) {
          nodes_.prefetch_ahead(occurrences_.data(), k, end, [](Index) { return true; });
          // A listed position is stale once a rewrite removed it or changed the pair it
          // starts.
          return nodes_.starts(occurrences_[k], number);
        },
        [&](std::size_t k) {
          rewrites_.rewrite(*this, occurrences_[k], id);
          --length_;
        },
        [] {});
    pace(block_end - block);
    block = block_end;
  }
}

template <class Index>
bool LinkedEngine<Index>::far_apart(Index i, Index k) const {
  const Index j = nodes_.next(i);
  const Index q = j == kNone ? kNone : nodes_.next(j);
  const Index r = q == kNone ? kNone : nodes_.next(q);
  const Index s = r == kNone ? kNone : nodes_.next(r);
  // The rewrite at k reaches back to prev(k), at or after s, so past q.
  return s != kNone && s <= k;
}

template <class Index>
bool LinkedEngine<Index>::rewrite_in_parts(Index number, Index id, std::size_t begin,
                                           std::size_t end, const InterruptCheck& interrupt) {
  const std::size_t length = end - begin;
  const std::size_t parts = std::min(threads_, length / (split_from_ / 2));
  if (length < split_from_ || parts < 2) return false;
  // Cut near every length / parts entries: part t ends after its last live occurrence before
  // the cut, and part t + 1 begins at the first live one after it far enough apart. The stale
  // entries between are nobody's.
  const Index* list = occurrences_.data();
  ranges_.clear();
  std::size_t from = begin;
  for (std::size_t t = 1; t < parts; ++t) {
    const std::size_t cut = std::max(from, begin + t * length / parts);
    std::size_t last = cut;  // one past the part's last live occurrence
    while (last > from && !nodes_.starts(list[last - 1], number)) --last;
    std::size_t next = cut;
    for (;;) {
      while (next < end && !nodes_.starts(list[next], number)) ++next;
      if (next == end || last == from || far_apart(list[last - 1], list[next])) break;
      last = ++next;  // too close: the occurrence stays in this part
    }
    if (next == end) break;
    if (last == from) continue;
    ranges_.emplace_back(from, last);
    from = next;
  }
  if (ranges_.empty()) return false;
  ranges_.emplace_back(from, end);
  if (parts_.size() < ranges_.size()) parts_.resize(ranges_.size());

  rewrites_.start(id, 0);
  std::mutex making;
  auto number_for = [&](Index left, Index right) {
    std::lock_guard lock{making};
    return rewrites_.number_for(*this, left, right, id);
  };
  auto rewrite_part = [&](std::size_t t, const StopFlag& stop) {
    const auto [part_begin, part_end] = ranges_[t];
    SplitRewrite<Index>& part = parts_[t];
    part.start(id, 2 * (part_end - part_begin));
    InterruptPacer pace;
    for_each_paced(part_begin, part_end, &stop, pace, [&](std::size_t k) {
      nodes_.prefetch_ahead(list, k, part_end, [&](Index i) { return nodes_.starts(i, number); });
      if (nodes_.starts(list[k], number)) part.rewrite(nodes_, list[k], id, number_for);
    });
  };
  run_on_workers(ranges_.size(), rewrite_part, interrupt);

  // The counts of the pairs made first, so that every loss finds its pair counted.
  for (std::size_t t = 0; t < ranges_.size(); ++t) {
    for (const auto& made : parts_[t].made()) counts_[made.number] += made.count;
  }
  for (std::size_t t = 0; t < ranges_.size(); ++t) {
    SplitRewrite<Index>& part = parts_[t];
    part.take_losses(number, [&](Index lost, Index count) {
      counts_[lost] -= count;
      if (counts_[lost] == 0 && !queued_[lost]) dead_.push_back(lost);
    });
    length_ -= part.rewrites();
  }
  return true;
}

template <class Index>
void LinkedEngine<Index>::file_parts() {
  for (std::size_t t = 0; t < ranges_.size(); ++t) {
    for (auto& made : parts_[t].made()) {
      Pair& record = pairs_[made.number];
      made.at = record.list_at + record.list_size;
      record.list_size += made.count;
    }
  }
  Index* entries = occurrences_.data();
  auto file = [&](std::size_t t, const StopFlag& stop) {
    SplitRewrite<Index>& part = parts_[t];
    const GainedPair<Index>* gained = part.gained();
    auto& made = part.made();
    InterruptPacer pace;
    for_each_paced(0, part.gained_count(), &stop, pace, [&](std::size_t g) {
      entries[made[gained[g].number].at++] = gained[g].position;
    });
  };
  run_on_workers(ranges_.size(), file, interrupt_);
}

template <class Index>
void LinkedEngine<Index>::publish_new_pairs(std::size_t spare, std::size_t spare_end, bool split) {
  // Forget the merge's lookup tables and enter the new pairs that occur often enough into
  // the heap.
  const std::vector<Index>& created = rewrites_.created();
  rewrites_.forget(pairs_);
  for (Index number : created) {
    if (counts_[number] > 0 && counts_[number] >= admit_from_) push(number);
  }
  // Give the new pairs their position lists, in the merged pair's list while they fit.
  const bool placed = split ? occurrences_.lay_out(pairs_, counts_, created, spare, spare_end)
                            : occurrences_.place(pairs_, counts_, created, rewrites_.gained(),
                                                 rewrites_.gained_count(), spare, spare_end);
  if (placed && split) file_parts();
  for (std::size_t t = 0; split && t < ranges_.size(); ++t) parts_[t].forget();
  if (!placed) {
    rebuild_occurrences();
  } else {
    for (Index number : created) {
      check(pairs_[number].list_size == counts_[number], "occurrence list out of step");
    }
  }
  // Numbers of pairs that no longer occur, and have no heap entry, are free again.
  for (Index number : created) {
    if (counts_[number] == 0) release(number);
  }
  for (Index number : dead_) {
    if (counts_[number] == 0 && !queued_[number]) release(number);
  }
}

template <class Index>
void LinkedEngine<Index>::rebuild_occurrences() {
  // Position 0 is never removed.
  InterruptPacer pace{interrupt_};
  occurrences_.rebuild(pairs_, counts_, nodes_, nodes_.empty() ? kNone : 0, pace);
}

}  // namespace

std::unique_ptr<TrainerEngine> make_linked_engine(std::string_view text, std::size_t num_threads,
                                                  const InterruptCheck& interrupt, bool wide,
                                                  std::size_t split_from) {
  // 32-bit positions, ids and list offsets whenever the text is short enough for all three:
  // positions and ids (at most 255 + positions) stay below the gap mark, bit 31.
  constexpr std::uint64_t kNarrowLimit = (std::uint64_t{1} << 31) - 256;
  if (wide_positions(text.size(), kNarrowLimit, wide)) {
    return std::make_unique<LinkedEngine<WideIndex>>(text, num_threads, interrupt, split_from);
  }
  return std::make_unique<LinkedEngine<std::uint32_t>>(text, num_threads, interrupt, split_from);
}

}  // namespace tokenizer
