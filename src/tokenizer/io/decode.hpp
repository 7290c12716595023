// Decoding: token ids to printable text.
#pragma once

#include <span>
#include <string>

#include "tokenizer/core/model.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// The rendered tokens of `ids`, joined; each token is rendered on its own, so a character
/// split between tokens comes out as replacement characters. Fails with invalid input
/// "invalid token ID: <id>" for the first id without a vocabulary entry. Throws std::bad_alloc,
/// before building anything, when the text could not fit in memory. Polls `interrupt` every so
/// many ids and rendered bytes.
Result<std::string> decode(const Vocabulary& vocab, std::span<const TokenId> ids,
                           const InterruptCheck& interrupt = {});

}  // namespace tokenizer
