// Encoding in O(n log n): a priority queue of merge ids over a linked sequence.
#pragma once

#include <string_view>
#include <vector>

#include "tokenizer/core/types.hpp"
#include "tokenizer/encode/merge_lookup.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// The longest text encode_queued takes (its positions are 32-bit).
inline constexpr std::size_t kQueuedEncodeLimit = std::size_t{UINT32_MAX} - 1;

/// The same ids as the plain encoding (merge the pair with the smallest merge id, all its
/// occurrences at once, ties between pairs sharing that id to the smallest (left, right);
/// repeat), found without rescanning the text: every adjacent pair with a merge is queued by
/// (merge id, position) once, when it comes into being; a queued entry whose position no
/// longer starts that merge is dropped when it surfaces. Needs `lookup.complete()` and a text
/// of at most kQueuedEncodeLimit bytes.
std::vector<TokenId> encode_queued(const MergeLookup& lookup, std::string_view text,
                                   const InterruptCheck& interrupt = {});

}  // namespace tokenizer
