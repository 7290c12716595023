#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/train/byte_pairs.hpp"
#include "tokenizer/train/gap_lists.hpp"
#include "tokenizer/train/packed_tokens.hpp"
#include "tokenizer/train/pair_choice.hpp"
#include "tokenizer/train/pair_heap.hpp"
#include "tokenizer/train/pair_table.hpp"
#include "tokenizer/train/trainer_engine.hpp"

namespace tokenizer {
namespace {

/// A pair a merge made start at a position, waiting to be filed: the pair by its place among
/// the pairs the merge made.
template <class Index>
struct Gain {
  Index made;
  Index position;
};

/// The trainer over positions, ids and pair numbers of type Index (32 bits whenever the text
/// allows).
///
/// Memory per byte of text: the sequence takes one word per position (PackedTokens: the
/// number of the pair a position starts, its token being that pair's left one); the
/// positions of every pair lie in gap lists (a varint count, then varint gaps), about one and
/// a half bytes per position at first and fewer as merges thin the sequence; each pair
/// number takes 17 bytes. Pairs are known by number, never hashed: the byte pairs
/// are numbered from a dense table, and every later pair holds the token of the merge that
/// created it, so during that merge it is found through a small table indexed by its other
/// token. Numbers of pairs that no longer occur are given out again.
///
/// Each list is sorted, and stays so without sorting: the byte pairs' lists are filed in text
/// order, and every later pair gains all its occurrences in the one merge that creates its
/// newer token, which visits them from the left.
template <class Index>
class PackedEngine final : public TrainerEngine,
                           PairChoice<PackedEngine<Index>, Index, PairTable<Index>> {
 public:
  PackedEngine(std::string_view text, const InterruptCheck& interrupt, bool tight_lists);

  std::optional<TokenPair> most_common_pair() override { return this->choose(interrupt_); }
  void merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt) override;
  std::size_t size() const override { return length_; }

 private:
  using Sequence = PackedTokens<Index>;
  using Pair = LeanPair<Index>;
  using Pairs = PairTable<Index>;
  using Choice = PairChoice<PackedEngine<Index>, Index, Pairs>;
  friend Choice;
  using Choice::admit_from_;
  using Choice::push;
  static constexpr Index kNone = Sequence::kNone;
  static constexpr Index kLast = Sequence::kLast;
  // How many entries of the merged list are read ahead of the rewrite, and how far ahead
  // prefetch_ahead() fetches an occurrence's node, the node after it, and the one after that.
  static constexpr std::size_t kAhead = 64;
  static constexpr std::size_t kPrefetchFar = 40;
  static constexpr std::size_t kPrefetchNext = 22;
  static constexpr std::size_t kPrefetchNear = 8;

  Index count(Index number) const { return pairs_[number].count; }
  bool queued(Index number) const { return pairs_.queued(number); }
  void set_queued(Index number, bool queued) { pairs_.set_queued(number, queued); }
  const Pairs& records() const { return pairs_; }

  void build(const unsigned char* bytes, std::size_t n);
  Index new_pair(Index left, Index right);
  void release(Index number);
  void lose(Index number) {
    if (--pairs_[number].count == 0 && !pairs_.queued(number)) dead_.push_back(number);
  }

  void rewrite(Index i, Index id);
  void gain_before(Index p, Index id);
  [[gnu::always_inline]] void gain(Index& slot, Index left, Index right, Index position) {
    if (slot == kNone) slot = make(left, right);
    Pair& made = pairs_[slot];
    ++made.count;
    words_[position] = slot;
    gained_[gained_count_++] = Gain<Index>{static_cast<Index>(made.at_low), position};
  }
  Index make(Index left, Index right) {
    const Index number = new_pair(left, right);
    // Until published, a new pair's list_at is its place among the pairs the merge made (far
    // below 2^32: at most two per token and one more), so the low part alone holds it.
    pairs_.set_list_at(number, created_.size());
    created_.push_back(number);
    return number;
  }
  // Inlined: as a call, it would be dropped for having no effect the compiler can see.
  [[gnu::always_inline]] void prefetch_ahead(const std::array<Index, kAhead>& ahead, std::size_t k,
                                             std::size_t end) const;
  /// Enters the merge's new pairs into the heap and files their positions: first into
  /// [spare, spare_end), the bytes of the list of the pair just merged, then after the last
  /// list.
  void publish_new_pairs(std::size_t spare, std::size_t spare_end);
  /// Lays every list out anew from the sequence.
  void rebuild_lists();
  /// Gives out again the numbers of the pairs that no longer occur and have no heap entry.
  void release_dead();

  /// Polled, paced, by every pass over the whole text or all pairs on the calling thread.
  InterruptCheck interrupt_;
  bool tight_lists_;  // no room beyond the lists
  Sequence words_;
  std::size_t length_ = 0;

  Pairs pairs_;
  std::vector<Index> free_;  // pair numbers to give out again
  GapArena lists_;

  // One merge's state. Pairs it makes are found through two small tables indexed by their
  // other token: with_left_[x] numbers the pair (x, id), with_right_[y] the pair (id, y).
  std::vector<Index> with_left_;
  std::vector<Index> with_right_;
  std::vector<Index> created_;  // the pairs made, in the order made
  std::vector<Gain<Index>, Uninitialised<Gain<Index>>> gained_;
  std::size_t gained_count_ = 0;
  struct Made {
    std::size_t at;  // bytes of its list, then where its next gap goes
    Index last;      // the last position filed
  };
  std::vector<Made> made_;               // per pair made, in one record so a gain touches one
  std::vector<std::size_t> made_start_;  // per pair made: where its list starts
  std::vector<Index> dead_;  // pairs that stopped occurring in this merge, outside the heap
};

template <class Index>
PackedEngine<Index>::PackedEngine(std::string_view text, const InterruptCheck& interrupt,
                                  bool tight_lists)
    : interrupt_{interrupt}, tight_lists_{tight_lists} {
  const std::size_t n = text.size();
  length_ = n;
  words_.resize(n);
  build(reinterpret_cast<const unsigned char*>(text.data()), n);
  this->enter_pairs();
}

template <class Index>
void PackedEngine<Index>::build(const unsigned char* bytes, std::size_t n) {
  if (n < 2) {
    if (n == 1) words_[0] = kLast | bytes[0];
    return;
  }
  InterruptPacer pace{interrupt_};
  // One pass counts each byte pair and the bytes of its list; a second numbers the positions'
  // pairs and files them. `last` is each list's last position so far.
  std::vector<Index> counts(kBytePairKeys, 0);
  std::vector<Index> last(kBytePairKeys, 0);
  std::vector<std::size_t> at(kBytePairKeys, 0);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const unsigned key = byte_pair_key(bytes, i);
    ++counts[key];
    at[key] += varint_size(static_cast<Index>(i - last[key]));
    last[key] = static_cast<Index>(i);
    pace();
  }
  std::vector<Index> number_of(kBytePairKeys, kNone);
  std::size_t total = 0;
  for (unsigned key = 0; key < kBytePairKeys; ++key) {
    if (counts[key] == 0) continue;
    number_of[key] = static_cast<Index>(pairs_.size());
    pairs_.push_back(
        Pair{static_cast<Index>(key >> 8), static_cast<Index>(key & 0xff), counts[key], 0});
    pairs_.set_list_at(number_of[key], total);
    total += std::exchange(at[key], total) + varint_size(counts[key]);
    last[key] = 0;
  }
  lists_.lay_out(tight_lists_ ? total : GapArena::room_for(total));
  lists_.resize(total);
  unsigned char* arena = lists_.data();
  for (unsigned key = 0; key < kBytePairKeys; ++key) {
    if (counts[key] != 0)
      at[key] = static_cast<std::size_t>(put_varint(arena + at[key], counts[key]) - arena);
  }
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const unsigned key = byte_pair_key(bytes, i);
    words_[i] = number_of[key];
    at[key] = static_cast<std::size_t>(
        put_varint(arena + at[key], static_cast<Index>(i - last[key])) - arena);
    last[key] = static_cast<Index>(i);
    pace();
  }
  words_[n - 1] = kLast | bytes[n - 1];
}

template <class Index>
Index PackedEngine<Index>::new_pair(Index left, Index right) {
  Index number;
  if (!free_.empty()) {
    number = free_.back();
    free_.pop_back();
  } else {
    // Never reached in practice: that many pair records alone would take far more memory
    // than any process is given.
    if (pairs_.size() >= Sequence::kLimit) throw std::bad_alloc();
    number = static_cast<Index>(pairs_.size());
    pairs_.push_back(Pair{left, right, 0, 0});
    return number;
  }
  pairs_[number] = Pair{left, right, 0, 0};
  return number;
}

template <class Index>
void PackedEngine<Index>::release(Index number) {
  if (pairs_[number].left == kNone) return;
  pairs_[number] = Pair{kNone, kNone, 0, 0};
  free_.push_back(number);
}

template <class Index>
inline void PackedEngine<Index>::prefetch_ahead(const std::array<Index, kAhead>& ahead,
                                                std::size_t k, std::size_t end) const {
  // A rewrite reads the words around i, j = next(i) and next(j). Fetch them a few occurrences
  // ahead, a link further the closer the occurrence comes, so that the misses overlap. Stale
  // entries may lead anywhere in the array, which costs a wasted fetch at most.
  const Index* words = words_.data();
  const std::size_t size = words_.size();
  if (k + kPrefetchFar < end) {
    const Index i = ahead[(k + kPrefetchFar) % kAhead];
    __builtin_prefetch(&words[i]);
    if (i > 0) __builtin_prefetch(&words[i - 1]);
    if (static_cast<std::size_t>(i) + 1 < size) __builtin_prefetch(&words[i + 1]);
  }
  if (k + kPrefetchNext < end) {
    const Index i = ahead[(k + kPrefetchNext) % kAhead];
    const Index j = words_.peek_next(i);
    if (j < size) {
      __builtin_prefetch(&words[j]);
      if (static_cast<std::size_t>(j) + 1 < size) __builtin_prefetch(&words[j + 1]);
    }
    const Index p = i > 0 && i < size ? words_.prev(i) : kNone;
    if (p < size) __builtin_prefetch(&words[p]);
  }
  if (k + kPrefetchNear < end) {
    const Index i = ahead[(k + kPrefetchNear) % kAhead];
    const Index j = words_.peek_next(i);
    if (j < size) {
      const Index word_j = words[j];
      if (word_j < pairs_.size()) __builtin_prefetch(&pairs_[word_j]);
    }
    const Index p = i > 0 && i < size ? words_.prev(i) : kNone;
    if (p < size) {
      const Index word_p = words[p];
      if (word_p < pairs_.size()) __builtin_prefetch(&pairs_[word_p]);
    }
  }
}

template <class Index>
void PackedEngine<Index>::merge(TokenPair pair, TokenId token_id, const InterruptCheck& interrupt) {
  interrupt_ = interrupt;
  const Index number = this->take_chosen(pair);
  const Index id = static_cast<Index>(token_id);
  dead_.clear();
  created_.clear();
  gained_count_ = 0;
  if (with_left_.size() <= id) {
    with_left_.resize(static_cast<std::size_t>(id) + 1, kNone);
    with_right_.resize(static_cast<std::size_t>(id) + 1, kNone);
  }
  // Sized before the merge, so that gains are written without checks: two per rewrite.
  if (gained_.size() < 2 * std::size_t{pairs_[number].count}) {
    gained_.resize(2 * std::size_t{pairs_[number].count});
  }

  const auto begin = static_cast<std::size_t>(pairs_.list_at(number));
  Index listed_count = 0;
  GapReader<Index> reader{get_varint(lists_.data() + begin, listed_count)};
  const std::size_t listed = listed_count;
  std::array<Index, kAhead> ahead{};
  for (std::size_t k = 0; k < std::min(listed, kAhead); ++k) ahead[k] = reader.next();
  InterruptPacer pace{interrupt};
  for (std::size_t k = 0; k < listed; ++k) {
    pace();
    const Index i = ahead[k % kAhead];
    if (k + kAhead < listed) ahead[k % kAhead] = reader.next();
    prefetch_ahead(ahead, k, listed);
    // A listed position is stale once a rewrite removed it or changed the pair it starts.
    if (words_[i] != number) continue;
    rewrite(i, id);
    --length_;
  }
  const std::size_t end = static_cast<std::size_t>(reader.at - lists_.data());
  check(pairs_[number].count == 0, "merged pair still occurs");
  publish_new_pairs(begin, end);
}

template <class Index>
[[gnu::always_inline]] inline void PackedEngine<Index>::rewrite(Index i, Index id) {
  // Live position i starts the pair merged, (a, b): the position j after it goes, and the pairs
  // around turn into (x, id) and (id, y).
  const Index j = words_.next(i);
  const Index word_j = words_[j];
  const Index p = words_.prev(i);
  --pairs_[words_[i]].count;
  if (p != kNone) gain_before(p, id);
  if (Sequence::starts_pair(word_j)) {
    const Index q = words_.next(j);
    // q comes after i, so no rewrite of this merge has reached it: y is older than id.
    const Index y = pairs_[word_j].right;
    lose(word_j);
    gain(with_right_[y], id, y, i);
    words_.remove(i, j, q);
  } else {
    words_[i] = kLast | id;
    words_.remove(i, j, kNone);
  }
}

template <class Index>
[[gnu::always_inline]] inline void PackedEngine<Index>::gain_before(Index p, Index id) {
  // The pair starting at live position p, (x, a), becomes (x, id).
  const Index word_p = words_[p];
  const Index x = pairs_[word_p].left;
  lose(word_p);
  if (x == id) {
    // p was rewritten earlier in this merge, and its gain, (id, a), is the latest one: it
    // becomes (id, id). So every gain stays current and publishing reads no word.
    Index& slot = with_left_[id];
    if (slot == kNone) slot = make(id, id);
    ++pairs_[slot].count;
    words_[p] = slot;
    gained_[gained_count_ - 1].made = static_cast<Index>(pairs_[slot].at_low);
  } else {
    gain(with_left_[x], x, id, p);
  }
}

template <class Index>
void PackedEngine<Index>::publish_new_pairs(std::size_t spare, std::size_t spare_end) {
  // Forget the merge's lookup tables and enter the new pairs that occur often enough into
  // the heap.
  for (Index number : created_) {
    with_left_[pairs_[number].left] = kNone;
    with_right_[pairs_[number].right] = kNone;
    if (pairs_[number].count > 0 && pairs_[number].count >= admit_from_) push(number);
  }
  // Each gain is current and each pair's gains come in increasing position order: size the
  // new lists, place them (in the merged pair's bytes while they fit), then file the gains.
  made_.resize(created_.size());
  for (std::size_t made = 0; made < created_.size(); ++made) {
    made_[made] = Made{varint_size(pairs_[created_[made]].count), 0};
  }
  for (std::size_t g = 0; g < gained_count_; ++g) {
    const Gain<Index> gain = gained_[g];
    Made& made = made_[gain.made];
    made.at += varint_size(static_cast<Index>(gain.position - made.last));
    made.last = gain.position;
  }
  made_start_.resize(created_.size());
  std::size_t at = lists_.size();
  for (std::size_t made = 0; made < created_.size(); ++made) {
    const std::size_t bytes = made_[made].at;
    if (bytes <= spare_end - spare) {
      made_start_[made] = spare;
      spare += bytes;
    } else {
      made_start_[made] = at;
      at += bytes;
    }
  }
  if (at > lists_.capacity()) {
    rebuild_lists();
    release_dead();
    return;
  }
  lists_.resize(at);
  unsigned char* arena = lists_.data();
  for (std::size_t made = 0; made < created_.size(); ++made) {
    made_[made] =
        Made{static_cast<std::size_t>(
                 put_varint(arena + made_start_[made], pairs_[created_[made]].count) - arena),
             0};
  }
  for (std::size_t g = 0; g < gained_count_; ++g) {
    const Gain<Index> gain = gained_[g];
    Made& made = made_[gain.made];
    made.at = static_cast<std::size_t>(
        put_varint(arena + made.at, static_cast<Index>(gain.position - made.last)) - arena);
    made.last = gain.position;
  }
  for (std::size_t made = 0; made < created_.size(); ++made) {
    pairs_.set_list_at(created_[made], made_start_[made]);
  }
  release_dead();
}

template <class Index>
void PackedEngine<Index>::release_dead() {
  // Numbers of pairs that no longer occur, and have no heap entry, are free again.
  for (Index number : created_) {
    if (pairs_[number].count == 0) release(number);
  }
  for (Index number : dead_) {
    if (pairs_[number].count == 0 && !pairs_.queued(number)) release(number);
  }
}

template <class Index>
void PackedEngine<Index>::rebuild_lists() {
  // Two scans of the sequence in position order, so each list comes out sorted and stale
  // entries are dropped: the first sizes the lists, the second files the positions after each
  // list's count; laid out one after another in number order. A scan reads the words one
  // after another and skips removed positions by their tag instead of following the links:
  // one predictable pass over the array, and no word read twice. What a scan keeps per pair
  // number lies in one record (Fill, 16 bytes a number while the layout lasts) rather than in
  // the pair table, so filing a position touches one place.
  InterruptPacer pace{interrupt_};
  struct Fill {
    std::size_t at;  // the list's bytes so far; once laid out, where its next gap goes
    Index last;      // the last position filed
  };
  std::vector<Fill> fill(pairs_.size(), Fill{0, 0});
  auto scan = [&](auto&& file) {
    const Index* words = words_.data();
    const std::size_t n = words_.size();
    for (std::size_t from = 0; from < n; from += kInterruptInterval) {
      const std::size_t to = std::min(n, from + kInterruptInterval);
      for (std::size_t i = from; i < to; ++i) {
        const Index word = words[i];
        if (Sequence::starts_pair(word)) file(fill[word], static_cast<Index>(i));
      }
      pace(to - from);
    }
  };
  scan([](Fill& list, Index i) {
    list.at += varint_size(static_cast<Index>(i - list.last));
    list.last = i;
  });
  std::size_t total = 0;
  for (std::size_t number = 0; number < fill.size(); ++number) {
    const Index count = pairs_[number].count;
    const std::size_t bytes = count == 0 ? 0 : fill[number].at + varint_size(count);
    pairs_.set_list_at(number, total);
    fill[number] = Fill{total, 0};
    total += bytes;
  }
  // Keep the room that the arena leaves beyond the lists at least an eighth of them, or
  // layouts would follow each other ever faster.
  if (tight_lists_ ? lists_.capacity() < total : lists_.capacity() < total + total / 8 + 4096) {
    lists_.lay_out(tight_lists_ ? total : GapArena::room_for(total));
  }
  lists_.resize(total);
  unsigned char* arena = lists_.data();
  for (std::size_t number = 0; number < fill.size(); ++number) {
    const Index count = pairs_[number].count;
    if (count == 0) continue;
    fill[number].at = static_cast<std::size_t>(put_varint(arena + fill[number].at, count) - arena);
  }
  scan([arena](Fill& list, Index i) {
    list.at = static_cast<std::size_t>(
        put_varint(arena + list.at, static_cast<Index>(i - list.last)) - arena);
    list.last = i;
  });
}

}  // namespace

std::unique_ptr<TrainerEngine> make_packed_engine(std::string_view text,
                                                  const InterruptCheck& interrupt, bool wide,
                                                  bool tight_lists) {
  // 32-bit words whenever the text is short enough: positions, pair numbers and ids (at most
  // 255 + positions) stay below the tags, the top two bits.
  constexpr std::uint64_t kNarrowLimit = PackedTokens<std::uint32_t>::kLimit - 256;
  if (wide_positions(text.size(), kNarrowLimit, wide)) {
    return std::make_unique<PackedEngine<WideIndex>>(text, interrupt, tight_lists);
  }
  return std::make_unique<PackedEngine<std::uint32_t>>(text, interrupt, tight_lists);
}

}  // namespace tokenizer
