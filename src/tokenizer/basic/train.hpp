// Training: learning byte-pair merges from one text.
#pragma once

#include <cstddef>
#include <string_view>

#include "tokenizer/basic/error.hpp"
#include "tokenizer/basic/state.hpp"

namespace tokenizer::basic {

/// Learns up to `vocab_size` - 256 merges from the UTF-8 bytes of `text`: replaces the
/// vocabulary by the 256 byte tokens, then per step takes the most frequent adjacent pair
/// (ties: the smallest (left, right)), gives it id 256 + step, records it in `merges` and
/// `vocab` and rewrites the sequence. Stops early, successfully, when no pair is left.
/// With `num_threads` >= 2 each step counts on the worker pool in `num_threads` chunks, or on
/// the calling thread once the sequence is shorter than that; the result does not depend on
/// `num_threads`. Polls `interrupt` on the calling thread once per step and every million
/// tokens within one.
/// Faults: "vocab_size must be at least 256" (nothing changed). Every step completed before a
/// failure (fault, std::bad_alloc, Interrupted) stays in `merges` and `vocab`; the failing
/// step changes neither.
void train(Tokenizer& tokenizer, std::string_view text, std::size_t vocab_size,
           const InterruptCheck& interrupt = {});

}  // namespace tokenizer::basic
