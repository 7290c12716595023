#include "tokenizer/train/shard.hpp"

#include <algorithm>
#include <array>
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

// How many entries of the merged list are read ahead of the rewrites, and how far ahead a
// listed position's words are fetched.
constexpr std::size_t kAhead = 64;
constexpr std::size_t kPrefetchFar = 40;
constexpr std::size_t kPrefetchNear = 16;

bool tight_lists = false;

}  // namespace

void Shard::tight_lists_for_testing(bool tight) {
  tight_lists = tight;
}

Shard::Shard(std::string_view text, const InterruptCheck& interrupt) {
  if (text.size() >= kLongest ||
      text.size() > std::numeric_limits<std::size_t>::max() / kBytesPerByte) {
    throw std::bad_alloc();
  }
  check_memory_budget(0, text.size() * kBytesPerByte);
  InterruptPacer pace{interrupt};
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  words_.resize(n);
  live_ = n;
  if (n == 0) return;
  first_ = 0;
  last_ = static_cast<Index>(n - 1);
  number_pairs(bytes, n, pace);
  for (std::size_t number = 0; number < pairs_.size(); ++number) {
    const Pair& pair = pairs_[number];
    pending_.push_back({TokenPair{pair.left, pair.right}, pair.count});
    pending_numbers_.push_back(static_cast<Index>(number));
  }
  steps_pending_ = 1;
}

/// Numbers the byte pairs in key order, fills the words, and files every position in its
/// pair's gap list, the lists laid out one after another in number order.
void Shard::number_pairs(const unsigned char* bytes, std::size_t n, InterruptPacer& pace) {
  words_[n - 1] = kLast | bytes[n - 1];
  if (n == 1) return;
  const std::size_t pairs = n - 1;
  if (n >= kDenseShard) {
    std::vector<Index> number_of(kBytePairKeys, 0);
    count_byte_pairs(bytes, 0, pairs, number_of.data(), nullptr, pace);
    for (unsigned key = 0; key < kBytePairKeys; ++key) {
      if (number_of[key] == 0) continue;
      number_of[key] = static_cast<Index>(byte_keys_.size());
      byte_keys_.push_back(static_cast<std::uint16_t>(key));
    }
    for (std::size_t i = 0; i < pairs; ++i) {
      words_[i] = number_of[byte_pair_key(bytes, i)];
      pace();
    }
  } else {
    for (std::size_t i = 0; i < pairs; ++i) {
      byte_keys_.push_back(static_cast<std::uint16_t>(byte_pair_key(bytes, i)));
    }
    std::sort(byte_keys_.begin(), byte_keys_.end());
    byte_keys_.erase(std::unique(byte_keys_.begin(), byte_keys_.end()), byte_keys_.end());
    for (std::size_t i = 0; i < pairs; ++i) {
      const auto key = static_cast<std::uint16_t>(byte_pair_key(bytes, i));
      words_[i] = static_cast<Index>(std::lower_bound(byte_keys_.begin(), byte_keys_.end(), key) -
                                     byte_keys_.begin());
    }
    pace();
  }
  byte_keys_.shrink_to_fit();
  for (const std::uint16_t key : byte_keys_) {
    pairs_.push_back(Pair{static_cast<Index>(key >> 8), static_cast<Index>(key & 0xff), 0, 0});
  }
  for (std::size_t i = 0; i < pairs; ++i) ++pairs_[words_[i]].count;
  rebuild_lists(pace);
}

ShardEdges Shard::edges() const {
  if (first_ == kNone) return {};
  const Index token = token_at(last_);
  if (!run_known_) {
    std::uint64_t length = 0;
    Index i = last_;
    for (; i != kNone && token_at(i) == token; i = words_.prev(i)) ++length;
    last_run_ = length;
    run_is_whole_ = i == kNone;
    run_known_ = true;
  }
  return {false, token_at(first_), token, last_run_, run_is_whole_};
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
  check(token_id >= kFirstMergeId && token_id < Sequence::kLimit && pair.left < Sequence::kLimit &&
            pair.right < Sequence::kLimit,
        "token id beyond the trainer's range");
  const auto a = static_cast<Index>(pair.left);
  const auto b = static_cast<Index>(pair.right);
  const auto id = static_cast<Index>(token_id);
  check(
      created_by_.size() <= id - 256 || created_by_[id - 256].first == created_by_[id - 256].second,
      "token id given twice");
  // The run ending the shard changes only where its token is one of the pair's (id is new).
  if (last_ != kNone) {
    const Index last = token_at(last_);
    if (last == a || last == b) run_known_ = false;
  }
  if (first_taken) {
    check(first_ != kNone && token_at(first_) == b, "taken first token is not the pair's right");
    drop_first();
  }
  created_.clear();
  gained_count_ = 0;
  if (with_left_.size() <= id) {
    with_left_.resize(static_cast<std::size_t>(id) + 1, kNone);
    with_right_.resize(static_cast<std::size_t>(id) + 1, kNone);
  }
  const Index number = number_of(a, b);
  const std::size_t listed_count = number == kNone ? 0 : count(number);
  // Sized before the merge, so that gains are written without checks: two per rewrite, and
  // one for taking the next shard's first token.
  // Held through the training, it is given back once far larger than the merges need: the
  // first merges are the largest.
  const std::size_t gains = 2 * listed_count + 1;
  if (gained_.size() > 4 * gains + 4096) gained_ = decltype(gained_){};
  if (gained_.size() < gains) gained_.resize(gains);
  std::size_t begin = 0;
  std::size_t end = 0;
  if (number != kNone) {
    begin = pairs_[number].at_low;
    Index listed = 0;
    GapReader<Index> reader{get_varint(lists_.data() + begin, listed)};
    std::array<Index, kAhead> ahead{};
    for (std::size_t k = 0; k < std::min<std::size_t>(listed, kAhead); ++k) {
      ahead[k] = reader.next();
    }
    const Index* words = words_.data();
    for (std::size_t k = 0; k < listed; ++k) {
      pace();
      const Index i = ahead[k % kAhead];
      if (k + kAhead < listed) ahead[k % kAhead] = reader.next();
      // A rewrite reads the words around i and its neighbours' pair records: fetch them
      // ahead, so that the misses overlap. A stale entry costs a wasted fetch at most.
      if (k + kPrefetchFar < listed) {
        const Index far = ahead[(k + kPrefetchFar) % kAhead];
        __builtin_prefetch(&words[far]);
        if (far > 0) __builtin_prefetch(&words[far - 1]);
        if (static_cast<std::size_t>(far) + 2 < words_.size()) __builtin_prefetch(&words[far + 2]);
      }
      if (k + kPrefetchNear < listed) {
        const Index near = ahead[(k + kPrefetchNear) % kAhead];
        const Index j = words_.peek_next(near);
        if (j < words_.size()) {
          const Index word_j = words[j];
          if (word_j < pairs_.size()) __builtin_prefetch(&pairs_[word_j]);
        }
        if (near > 0 && near < words_.size()) {
          const Index word_p = words[near - 1];
          if (word_p < pairs_.size()) __builtin_prefetch(&pairs_[word_p]);
        }
      }
      // A listed position is stale once a rewrite removed it or changed the pair it starts.
      if (words_[i] != number) continue;
      rewrite(i, id);
      --live_;
    }
    end = static_cast<std::size_t>(reader.at - lists_.data());
    check(count(number) == 0, "merged pair still occurs");
  }
  if (takes_next) {
    check(last_ != kNone && token_at(last_) == a, "taking last token is not the pair's left");
    const Index p = words_.prev(last_);
    if (p != kNone) gain_before(p, id);
    words_[last_] = kLast | id;
    run_known_ = false;
  }
  publish(id, begin, end, pace);
}

/// Live position i starts the pair merged, (a, b): the position j after it goes, and the pairs
/// around turn into (x, id) and (id, y).
inline void Shard::rewrite(Index i, Index id) {
  const Index j = words_.next(i);
  const Index word_j = words_[j];
  const Index p = words_.prev(i);
  lose(words_[i]);
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
    last_ = i;
  }
}

/// The pair starting at live position p, (x, a), becomes (x, id).
inline void Shard::gain_before(Index p, Index id) {
  const Index word_p = words_[p];
  const Index x = pairs_[word_p].left;
  if (x == id) {
    // p was rewritten earlier in this merge, and its gain, (id, a), is the latest one: it
    // becomes (id, id). That pair was made in this step, so its loss is no count change to
    // report; every gain stays current and publishing reads no word.
    --pairs_[word_p].count;
    Index& slot = with_left_[id];
    if (slot == kNone) {
      slot = new_pair(id, id);
      created_.push_back(slot);
    }
    ++pairs_[slot].count;
    words_[p] = slot;
    gained_[gained_count_ - 1].number = slot;
  } else {
    lose(word_p);
    gain(with_left_[x], x, id, p);
  }
}

inline void Shard::gain(Index& slot, Index left, Index right, Index position) {
  if (slot == kNone) {
    slot = new_pair(left, right);
    created_.push_back(slot);
  }
  ++pairs_[slot].count;
  words_[position] = slot;
  gained_[gained_count_++] = Gain{slot, position};
}

/// One occurrence fewer of a pair that occurred before the step; the first time in a step,
/// its count is remembered.
inline void Shard::lose(Index number) {
  Index& count = pairs_[number].count;
  if ((count & kTouched) == 0) {
    touched_.push_back({number, count});
    count |= kTouched;
  }
  --count;
}

/// Removes the first live token, taken by the last token of the shard before.
void Shard::drop_first() {
  const Index f = first_;
  const Index q = words_.next(f);
  if (Sequence::starts_pair(words_[f])) lose(words_[f]);
  words_.remove(kNone, f, q);
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
  if (!free_.empty()) {
    const Index number = free_.back();
    free_.pop_back();
    pairs_[number] = Pair{left, right, 0, 0};
    if (number < tags_.size()) tags_[number] = kNoTag;
    return number;
  }
  // Never reached in practice: fewer pairs than positions ever occur at once.
  if (pairs_.size() >= Sequence::kLimit) throw std::bad_alloc();
  const auto number = static_cast<Index>(pairs_.size());
  pairs_.push_back(Pair{left, right, 0, 0});
  return number;
}

void Shard::release(Index number) {
  if (pairs_[number].left == kNone) return;
  pairs_[number] = Pair{kNone, kNone, 0, 0};
  free_.push_back(number);
}

/// Files the step's count changes, gives the new pairs their gap lists (first in [spare,
/// spare_end), the bytes of the list of the pair just merged, then after the last list) and
/// frees the numbers of the pairs that no longer occur.
void Shard::publish(Index id, std::size_t spare, std::size_t spare_end, InterruptPacer& pace) {
  if (!pending_.empty()) unsummed_ = true;
  ++steps_pending_;
  for (const auto [number, before] : touched_) {
    Pair& pair = pairs_[number];
    pair.count &= ~kTouched;
    const auto delta = static_cast<std::int64_t>(pair.count) - before;
    if (delta != 0) {
      pending_.push_back({TokenPair{pair.left, pair.right}, delta});
      pending_numbers_.push_back(number);
    }
  }
  const auto logged = static_cast<Index>(created_log_.size());
  for (std::size_t made = 0; made < created_.size(); ++made) {
    const Index number = created_[made];
    Pair& pair = pairs_[number];
    with_left_[pair.left] = kNone;
    with_right_[pair.right] = kNone;
    // Until the lists are placed, a new pair's at_low is its place among the pairs made.
    pair.at_low = static_cast<std::uint32_t>(made);
    if (pair.count == 0) continue;
    pending_.push_back({TokenPair{pair.left, pair.right}, pair.count});
    pending_numbers_.push_back(number);
    created_log_.push_back(number);
  }
  if (created_log_.size() > logged) {
    if (created_by_.size() <= id - 256) created_by_.resize(id - 255, {0, 0});
    created_by_[id - 256] = {logged, static_cast<Index>(created_log_.size())};
    // Entries of numbers given out again are dropped once they may be half the log.
    if (created_log_.size() > 2 * (pairs_.size() - free_.size()) + 65536) compact_log();
  }
  // Each gain is current and each pair's gains come in increasing position order: size the
  // new lists, place them, then file the gains.
  made_at_.resize(created_.size());
  made_last_.assign(created_.size(), 0);
  for (std::size_t made = 0; made < created_.size(); ++made) {
    made_at_[made] = varint_size(pairs_[created_[made]].count);
  }
  for (std::size_t g = 0; g < gained_count_; ++g) {
    const Gain gain = gained_[g];
    const std::size_t made = pairs_[gain.number].at_low;
    made_at_[made] += varint_size(static_cast<Index>(gain.position - made_last_[made]));
    made_last_[made] = gain.position;
  }
  std::size_t at = lists_.size();
  for (std::size_t made = 0; made < created_.size(); ++made) {
    if (pairs_[created_[made]].count == 0) continue;
    const std::size_t bytes = made_at_[made];
    if (bytes <= spare_end - spare) {
      made_at_[made] = spare;
      spare += bytes;
    } else {
      made_at_[made] = at;
      at += bytes;
    }
  }
  // Free the numbers of the pairs that no longer occur.
  for (const auto [number, before] : touched_) {
    if (pairs_[number].count == 0) release(number);
  }
  touched_.clear();
  if (at > lists_.capacity()) {
    for (const Index number : created_) {
      if (pairs_[number].count == 0) release(number);
    }
    rebuild_lists(pace);
    return;
  }
  lists_.resize(at);
  unsigned char* arena = lists_.data();
  made_start_.resize(created_.size());
  for (std::size_t made = 0; made < created_.size(); ++made) {
    const Index number = created_[made];
    if (pairs_[number].count == 0) continue;
    made_start_[made] = made_at_[made];
    made_at_[made] =
        static_cast<std::size_t>(put_varint(arena + made_at_[made], pairs_[number].count) - arena);
    made_last_[made] = 0;
  }
  for (std::size_t g = 0; g < gained_count_; ++g) {
    const Gain gain = gained_[g];
    const std::size_t made = pairs_[gain.number].at_low;
    made_at_[made] = static_cast<std::size_t>(
        put_varint(arena + made_at_[made], static_cast<Index>(gain.position - made_last_[made])) -
        arena);
    made_last_[made] = gain.position;
  }
  for (std::size_t made = 0; made < created_.size(); ++made) {
    const Index number = created_[made];
    if (pairs_[number].count == 0) {
      release(number);
    } else {
      pairs_[number].at_low = static_cast<std::uint32_t>(made_start_[made]);
    }
  }
}

/// Lays every list out anew from the words, scanned in text order, so each list comes out
/// sorted and stale entries are dropped. A shard's lists start below 4 GiB: where a list starts
/// is kept in the pair record's low word alone.
void Shard::rebuild_lists(InterruptPacer& pace) {
  const std::size_t pairs = pairs_.size();
  std::vector<Index> last(pairs, 0);
  for (std::size_t number = 0; number < pairs; ++number) pairs_[number].at_low = 0;
  // A scan reads the words one after another and skips removed positions (the first token
  // dropped included) by their tag instead of following the links: one predictable pass.
  auto walk = [&](auto&& file) {
    const std::size_t n = words_.size();
    for (std::size_t from = 0; from < n; from += kInterruptInterval) {
      const std::size_t to = std::min(n, from + kInterruptInterval);
      for (std::size_t i = from; i < to; ++i) {
        const Index word = words_[i];
        if (Sequence::starts_pair(word)) file(pairs_[word], last[word], static_cast<Index>(i));
      }
      pace(to - from);
    }
  };
  // First the bytes of each list's gaps (in at_low), then the lists one after another in
  // number order, then the gaps filed after each count (at_low then the place of the next).
  walk([](Pair& pair, Index& before, Index i) {
    pair.at_low += static_cast<std::uint32_t>(varint_size(static_cast<Index>(i - before)));
    before = i;
  });
  std::size_t total = 0;
  for (std::size_t number = 0; number < pairs; ++number) {
    Pair& pair = pairs_[number];
    const std::size_t bytes = pair.count == 0 ? 0 : pair.at_low + varint_size(pair.count);
    pair.at_low = static_cast<std::uint32_t>(total);
    total += bytes;
    last[number] = 0;
  }
  // Room beyond the lists for a quarter more after every layout: a merge's lists are appended
  // while the merged list's bytes lie unused until the next layout, and the room is what a
  // shard holds beyond its lists.
  const std::size_t room = tight_lists ? total : total + total / 4 + 4096;
  if (std::uint64_t{room} > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  if (tight_lists ? lists_.capacity() != total : lists_.capacity() < room) {
    lists_.lay_out(room);
  }
  lists_.resize(total);
  unsigned char* arena = lists_.data();
  for (std::size_t number = 0; number < pairs; ++number) {
    Pair& pair = pairs_[number];
    if (pair.count == 0) continue;
    pair.at_low = static_cast<std::uint32_t>(put_varint(arena + pair.at_low, pair.count) - arena);
  }
  walk([arena](Pair& pair, Index& before, Index i) {
    pair.at_low = static_cast<std::uint32_t>(
        put_varint(arena + pair.at_low, static_cast<Index>(i - before)) - arena);
    before = i;
  });
  std::uint32_t begin = 0;
  for (std::size_t number = 0; number < pairs; ++number) {
    Pair& pair = pairs_[number];
    begin = std::exchange(pair.at_low, begin);
  }
  compact_log();
}

/// Keeps in the log, per token, the numbers that still hold a pair of that token.
void Shard::compact_log() {
  std::size_t kept = 0;
  for (std::size_t token = 0; token < created_by_.size(); ++token) {
    auto& [from, to] = created_by_[token];
    const auto start = static_cast<Index>(kept);
    for (Index k = from; k < to; ++k) {
      const Index number = created_log_[k];
      const Pair& pair = pairs_[number];
      if (pair.left != kNone && std::max(pair.left, pair.right) == token + 256) {
        created_log_[kept++] = number;
      }
    }
    from = start;
    to = static_cast<Index>(kept);
  }
  created_log_.resize(kept);
}

}  // namespace tokenizer
