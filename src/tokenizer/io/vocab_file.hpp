// The vocabulary listing: one human-readable line per vocabulary entry, by id.
#pragma once

#include <string_view>

#include "tokenizer/core/model.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// Writes the listing of `tokenizer.vocab` to `path`, by increasing id, every token rendered:
/// "[left][right] -> [token] id" for an id that a merge makes (the last merge in table order
/// when several share it), "[token] id" otherwise. Raises a fault, after writing out the lines
/// before it, when a listed merge's left or right part has no vocabulary entry. Polls
/// `interrupt` as the lines are rendered and written.
Result<> save_vocab(const Model& tokenizer, std::string_view path,
                    const InterruptCheck& interrupt = {});

}  // namespace tokenizer
