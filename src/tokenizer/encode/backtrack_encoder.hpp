// Encoding in one left-to-right scan for tables learned in one go: the longest token that fits,
// checked against its left neighbour, with backtracking where it does not fit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "tokenizer/core/model.hpp"
#include "tokenizer/core/types.hpp"
#include "tokenizer/encode/merge_lookup.hpp"
#include "tokenizer/encode/token_trie.hpp"
#include "tokenizer/support/error.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"

namespace tokenizer {

/// Encodes with a table in which every merge id belongs to one pair only, is at least 256 and
/// is larger than both ids it joins: the table one training, or one load into an empty
/// tokenizer, gives. For such a table the rounds of encoding (the smallest merge id present,
/// all its occurrences from the left) come down to merging, one at a time, the leftmost
/// occurrence of the pair with the smallest id, since a merge only ever creates pairs with
/// larger ids. Two consequences carry the scan:
///
/// - A token t can only appear in an encoding if its own bytes encode as [t]; call it whole.
///   Tokens that are not whole are left out of everything below.
/// - A sequence of whole tokens is the encoding of its bytes exactly when every two neighbours
///   (a, b) are the encoding of bytes(a) + bytes(b): when no merge joins a token of a's right
///   edge to one of b's left edge before a and b are complete. Call such a pair separate. So
///   the encoding of a prefix of the text that ends between two of the text's tokens is the
///   start of the text's encoding, and no prefix has two encodings.
///
/// The scan holds the encoding of the text up to a position and extends it by the longest
/// whole token that starts there and is separate from the last token, trying shorter whole
/// tokens when it is not. Where none fits, no encoding of the text passes through the position:
/// it is marked so, and the last token gives way to its next shorter candidate. A position is
/// given up at most once, so the work is linear in the text (times the length of the longest
/// tokens).
///
/// Whether a pair is separate is decided without encoding anything: going back in time through
/// the merges that built a and b, the token at a's right edge and the one at b's left edge are
/// followed down the edges of their merge trees, and at every step the merge of the two, if
/// any, is compared with the moments they are consumed. Most pairs are settled before that by
/// masks of what merges can join to each token's edges, taken by the bytes at the seam, and by
/// the merge of the two bytes at the seam.
class BacktrackEncoder {
 public:
  /// The encoder for `merges`, whose pairs `lookup` holds, or null when the table does not have
  /// the form described above, its ids are sparse, or its tokens are too long to index. Polls
  /// `interrupt` as it goes; a throw from it abandons the construction.
  static std::unique_ptr<const BacktrackEncoder> build(const MergeTable& merges,
                                                       const MergeLookup& lookup,
                                                       const InterruptCheck& interrupt = {});

  /// Appends the ids of `text` to `out`. `lookup` is the one the encoder was built with.
  /// Polls `interrupt` every so often; a throw from it abandons the call.
  void encode(const MergeLookup& lookup, std::string_view text, std::vector<TokenId>& out,
              const InterruptCheck& interrupt) const;

  /// True when `id` is a whole token: its bytes encode as [id].
  bool whole(std::uint32_t id) const { return id < tokens_.size() && tokens_[id].length != 0; }

 private:
  /// The merges that may join something to one edge of a token while the edge token is at
  /// the seam, by what they bring to the seam: a single byte, one bit per byte class (bytes
  /// fall into 64 classes); a longer token, one bit per hash of its two bytes at the seam.
  struct Risk {
    std::uint64_t single;
    std::uint64_t longer;
  };

  /// A whole token as the scan uses it: one cache line.
  struct alignas(64) Token {
    Risk after;                 // merges joining its right edge to what follows
    Risk before;                // merges joining what precedes to its left edge
    std::uint32_t shorter;      // the longest whole token that is a proper prefix, or kNone
    std::uint32_t length;       // bytes; 0 when not whole
    std::uint32_t last_limit;   // when its last byte is consumed (see Parts)
    std::uint32_t first_limit;  // when its first byte is consumed
    std::uint32_t chain_limit;  // the smallest first_limit of it and its shorter candidates
  };

  /// The merge that makes an id, and the first merges the id takes part in. The right edge
  /// of a token is the token, the right part of its merge, that part's right part and so on
  /// down to a byte; the left edge likewise. An edge token is at the seam from when it is made
  /// until the token above it on the edge is made: its limit. A merge across the seam must
  /// come before the limits of both its parts; on the left edge a merge with the very id of
  /// the limit still does (it is the same pair, and the seam's occurrence is the leftmost), so
  /// left limits are one more than the id above.
  struct Parts {
    std::uint32_t left;  // kNone for bytes and ids no merge makes
    std::uint32_t right;
    std::uint32_t first_as_left;   // the smallest merge id with this as left part, or kNone
    std::uint32_t first_as_right;  // the same as right part
  };

  BacktrackEncoder() = default;

  /// True when no merge with an id below `limit` joins a token of a's right edge to one of
  /// b's left edge while both are at the seam. With `limit` kNone: a and b are separate.
  /// Adds the steps taken to `*steps` when given, and then accounts for them to `*pacer` when
  /// that is given too (a walk can be as long as the table is deep).
  static bool edges_apart(const MergeLookup& lookup, const Parts* parts, std::uint32_t a,
                          std::uint32_t b, std::uint32_t limit, std::size_t* steps = nullptr,
                          InterruptPacer* pacer = nullptr);

  /// True when whole tokens a and b, in this order, are separate. `seam` points at b's first
  /// byte in the text, right after a's last.
  /// Inlined into the scan: most pairs are settled by the masks alone.
  [[gnu::always_inline]] inline bool separate(const MergeLookup& lookup, std::uint32_t a,
                                              std::uint32_t b, const unsigned char* seam) const;

  /// Fills the byte classes and the tokens' Risks.
  void find_risks(const std::vector<Parts>& parts, const std::vector<bool>& made,
                  const std::vector<unsigned char>& first_byte,
                  const std::vector<unsigned char>& second_byte,
                  const std::vector<unsigned char>& penultimate_byte,
                  const std::vector<unsigned char>& last_byte, InterruptPacer& pacer);

  std::vector<Token> tokens_;  // by id
  std::vector<Parts> parts_;   // by id
  std::array<std::uint8_t, 256> byte_class_{};
  TokenTrie trie_;  // the whole tokens
};

}  // namespace tokenizer
