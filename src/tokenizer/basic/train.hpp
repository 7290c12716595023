// Training: learning byte-pair merges from one text.
#pragma once

#include <cstddef>
#include <string_view>

#include "tokenizer/basic/error.hpp"
#include "tokenizer/basic/state.hpp"

namespace tokenizer::basic {

/// Learns up to `vocab_size` - 256 merges from the UTF-8 bytes of `text`: replaces the
/// vocabulary by the 256 byte tokens, then per step takes the most frequent adjacent pair,
/// gives it id 256 + step, records it in `merges` and `vocab` and rewrites the sequence.
/// Stops early when no pair is left.
/// Faults: "vocab_size must be at least 256" (nothing changed). Every step completed before a
/// failure (fault, std::bad_alloc, Interrupted) stays in `merges` and `vocab`.
void train(Tokenizer& tokenizer, std::string_view text, std::size_t vocab_size,
           const InterruptCheck& interrupt = {});

}  // namespace tokenizer::basic
