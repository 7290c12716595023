// The vocabulary listing: one human-readable line per vocabulary entry, by id.
#pragma once

#include <string_view>

#include "tokenizer/basic/error.hpp"
#include "tokenizer/basic/state.hpp"

namespace tokenizer::basic {

/// Writes the listing of `tokenizer.vocab` to `path`.
IoResult<> save_vocab(const Tokenizer& tokenizer, std::string_view path);

}  // namespace tokenizer::basic
