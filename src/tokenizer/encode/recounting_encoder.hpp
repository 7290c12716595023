// Encoding by recounting the distinct pairs every round: needs nothing but the table, so it
// serves the tables and texts the queue encoder cannot take (ids or texts beyond 32 bits).
#pragma once

#include <string_view>
#include <vector>

#include "tokenizer/core/model.hpp"
#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// The ids of `text` by `merges`, each round merging the pair whose merge applies first among
/// all pairs present. Polls `interrupt` as it goes; a throw from it abandons the call.
std::vector<TokenId> encode_by_recounting(const MergeTable& merges, std::string_view text,
                                          const InterruptCheck& interrupt);

}  // namespace tokenizer
