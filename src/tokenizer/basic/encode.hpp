// Encoding: text to token ids by the learned merges.
#pragma once

#include <string_view>
#include <vector>

#include "tokenizer/basic/error.hpp"
#include "tokenizer/basic/state.hpp"

namespace tokenizer::basic {

/// The token ids of `text`: its UTF-8 bytes, then repeatedly every occurrence (greedy from the
/// left) of one adjacent pair merged, until no adjacent pair has a merge. Each round takes the
/// pair with the smallest merge id, and among pairs sharing that id the smallest (left, right).
/// Works for any table: ids repeated by a second training or a load, merges naming later ids.
/// Polls `interrupt` once per round and every million tokens within one; a throw from it
/// abandons the call.
std::vector<TokenId> encode(const MergeTable& merges, std::string_view text,
                            const InterruptCheck& interrupt = {});

/// The same for `tokenizer.merges`, keeping the table's encoding form in the tokenizer between
/// calls. Safe under shared access: the form is made before any interrupt poll and never
/// changed afterwards, only replaced by a call that finds `merges` changed.
std::vector<TokenId> encode(const Tokenizer& tokenizer, std::string_view text,
                            const InterruptCheck& interrupt = {});

}  // namespace tokenizer::basic
