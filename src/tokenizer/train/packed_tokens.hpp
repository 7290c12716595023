// PackedTokens: a trainer's working sequence in one word per position of the text, with the
// removed positions linked across in place.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "tokenizer/support/huge_page_allocator.hpp"

namespace tokenizer {

/// The positions of a text, one word of type Index each; the two top bits tag the word:
///  - pair (00): a live position that starts a pair; the word is the pair's number, and the
///    position's token is the pair's left token;
///  - last (01): the last live position, which starts no pair; the word holds its token;
///  - head (10): the first removed position of a gap; it holds the live position after the gap
///    (kNoNext for none), or kSingle when the gap is this one position (never at the end);
///  - tail (11): the last removed position of a gap of two or more; it holds the live position
///    before the gap (kNoPrev for none).
/// Removed positions inside a gap keep some removed tag. So next() and prev() read one
/// neighbouring word. Positions, pair numbers and tokens stay below kLimit.
template <class Index>
class PackedTokens {
 public:
  static constexpr int kBits = std::numeric_limits<Index>::digits;
  static constexpr Index kNone = std::numeric_limits<Index>::max();
  static constexpr Index kLast = Index{1} << (kBits - 2);
  static constexpr Index kHead = Index{2} << (kBits - 2);
  static constexpr Index kTail = Index{3} << (kBits - 2);
  static constexpr Index kValue = kLast - 1;  // the bits below the tag
  static constexpr Index kSingle = kValue;
  static constexpr Index kNoNext = kValue - 1;
  static constexpr Index kNoPrev = kValue - 1;
  static constexpr Index kLimit = kValue - 1;

  /// n positions, left unset for the caller to fill.
  void resize(std::size_t n) { words_.resize(n); }
  std::size_t size() const { return words_.size(); }
  bool empty() const { return words_.empty(); }
  Index& operator[](std::size_t i) { return words_[i]; }
  Index operator[](std::size_t i) const { return words_[i]; }
  const Index* data() const { return words_.data(); }

  static bool starts_pair(Index word) { return word < kLast; }
  static bool removed(Index word) { return word >= kHead; }
  /// The token a `last` word holds.
  static Index last_token(Index word) { return word & kValue; }

  /// Where the link after position i points: kNone for none, and any value for a removed i,
  /// which looking ahead tolerates.
  [[gnu::always_inline]] Index peek_next(Index i) const {
    if (static_cast<std::size_t>(i) + 1 >= words_.size()) return kNone;
    const Index word = words_[i + 1];
    if (word < kHead) return i + 1;
    const Index link = word & kValue;
    if (link == kSingle) return i + 2;
    return link == kNoNext ? kNone : link;
  }
  /// The live position after live position i (kNone for the last).
  Index next(Index i) const { return peek_next(i); }
  /// The live position before live position i (kNone for the first).
  Index prev(Index i) const {
    if (i == 0) return kNone;
    const Index word = words_[i - 1];
    if (word < kHead) return i - 1;
    const Index link = word & kValue;
    if (word < kTail) return i - 2;  // a head before a live position: a one-position gap
    return link == kNoPrev ? kNone : link;
  }

  /// Removes live position j, between live positions p and q (either kNone for none): the
  /// gaps around j join into one, from p + 1 (or the start) to q - 1 (or the end).
  void remove(Index p, Index j, Index q) {
    const std::size_t head = p == kNone ? 0 : static_cast<std::size_t>(p) + 1;
    const std::size_t tail = q == kNone ? words_.size() - 1 : static_cast<std::size_t>(q) - 1;
    const Index before = kTail | (p == kNone ? kNoPrev : p);
    if (q == kNone) {
      words_[head] = kHead | kNoNext;
      if (tail != head) words_[tail] = before;
    } else if (head == tail) {
      words_[head] = kHead | kSingle;
    } else {
      words_[head] = kHead | q;
      words_[tail] = before;
    }
    if (j != head && j != tail) words_[j] = kHead | kNoNext;
  }

 private:
  std::vector<Index, Uninitialised<Index>> words_;
};

}  // namespace tokenizer
