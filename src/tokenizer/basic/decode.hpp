// Decoding: token ids to printable text.
#pragma once

#include <span>
#include <string>

#include "tokenizer/basic/error.hpp"
#include "tokenizer/basic/state.hpp"

namespace tokenizer::basic {

/// The rendered tokens of `ids`, joined. Fails with invalid input "invalid token ID: <id>" for
/// the first id without a vocabulary entry.
IoResult<std::string> decode(const Vocabulary& vocab, std::span<const TokenId> ids);

}  // namespace tokenizer::basic
