// core: what every stage shares. Includes run support -> core -> {train, encode, io}.
//
// Public face (this header):
//   model.hpp        Model: merges, vocabulary, special tokens; build_vocab, byte_vocabulary
//   types.hpp        TokenId, TokenPair, TokenBytes, kFirstMergeId, kNoToken
//   merge_rules.hpp  the tie rules of training (outranks) and encoding (applies_before), and
//                    one merge as a pass from the left
//   pair_counts.hpp  token sequences, counting their adjacent pairs, merging a pair in place
#pragma once

#include "tokenizer/core/merge_rules.hpp"
#include "tokenizer/core/model.hpp"
#include "tokenizer/core/pair_counts.hpp"
#include "tokenizer/core/types.hpp"
