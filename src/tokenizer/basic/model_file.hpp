// The model file: header, pattern, special tokens and merges, one record per line.
#pragma once

#include <string_view>

#include "tokenizer/basic/error.hpp"
#include "tokenizer/basic/state.hpp"

namespace tokenizer::basic {

/// The model file's first line.
inline constexpr std::string_view VERSION = "pairloom v1";

/// Writes the model file of `tokenizer` to `path` (created 0666 less the umask, or truncated).
IoResult<> save_model(const Tokenizer& tokenizer, std::string_view path);

/// Reads the model file at `path` into `tokenizer`, adding to what it holds, then rebuilds the
/// vocabulary. What was read before a failure stays; the vocabulary is rebuilt only on success.
IoResult<> load(Tokenizer& tokenizer, std::string_view path);

}  // namespace tokenizer::basic
