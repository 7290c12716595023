// Encoding: text to token ids by the learned merges.
#pragma once

#include <string_view>
#include <vector>

#include "tokenizer/basic/error.hpp"
#include "tokenizer/basic/state.hpp"

namespace tokenizer::basic {

/// The token ids of `text`: its UTF-8 bytes, then repeatedly every occurrence of the adjacent
/// pair with the smallest merge id merged, until no adjacent pair has a merge.
std::vector<TokenId> encode(const MergeTable& merges, std::string_view text,
                            const InterruptCheck& interrupt = {});

}  // namespace tokenizer::basic
