// encode: text to token ids by a Model's merges. Uses core and support; nothing in train or
// io. Encoding begins here.
//
// Public face:
//   encode.hpp             encode (this header): the entry of every encoding
//   encode_tables.hpp      EncodeTables: a table's encoders, built once, chosen per text
//   merge_lookup.hpp       MergeLookup: the merge id of a pair, the table encoders share
// Detail:
//   backtrack_encoder.hpp  the one-scan encoder for tables learned in one go
//   token_trie.hpp         the trie of whole tokens that scan walks
//   queue_encoder.hpp      the encoder for any table: merges in order from a queue
//   recounting_encoder.hpp the encoder for ids or texts beyond 32 bits: recounts every round
#pragma once

#include <string_view>
#include <vector>

#include "tokenizer/core/model.hpp"
#include "tokenizer/encode/encode_tables.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// The token ids of `text`: its UTF-8 bytes, then repeatedly every occurrence (greedy from the
/// left) of one adjacent pair merged, until no adjacent pair has a merge. Each round takes the
/// pair with the smallest merge id, and among pairs sharing that id the smallest (left, right).
/// Works for any table: ids repeated by a second training or a load, merges naming later ids.
/// Builds the table's EncodeTables for this one call. Polls `interrupt` while building and
/// while encoding; a throw from it abandons the call.
std::vector<TokenId> encode(const MergeTable& merges, std::string_view text,
                            const InterruptCheck& interrupt = {});

/// The same with tables built beforehand. Tables built from another version of `merges` (a
/// rebuild that was interrupted) are not used: the call builds its own, and leaves `tables`
/// alone, so it is safe under shared access.
std::vector<TokenId> encode(const MergeTable& merges, const EncodeTables& tables,
                            std::string_view text, const InterruptCheck& interrupt = {});

/// The same into `out`, which is emptied first; its memory is used again where it suffices.
void encode(const MergeTable& merges, const EncodeTables& tables, std::string_view text,
            std::vector<TokenId>& out, const InterruptCheck& interrupt = {});

}  // namespace tokenizer
