// The model one tokenizer carries (merges, vocabulary, special tokens), and the rebuilding of
// its vocabulary from the merges.
#pragma once

#include <cstddef>
#include <string>

#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"
#include "tokenizer/support/flat_map.hpp"

namespace tokenizer {

/// Merged pair -> id of the token the merge makes, in the order merges were learned or read.
using MergeTable = OrderedMap<TokenPair, TokenId>;

/// Special token text -> its id, in the order the model file listed them.
using SpecialTokenTable = OrderedMap<std::string, TokenId>;

/// Token id -> the token's bytes. Iteration order is unspecified.
using Vocabulary = FlatMap<TokenId, TokenBytes>;

/// Everything one tokenizer object owns.
struct Model {
  MergeTable merges;                 ///< learned merges in learning order
  std::string pattern;               ///< pattern text carried by the model file; never applied
  SpecialTokenTable special_tokens;  ///< special tokens from the model file
  Vocabulary vocab;                  ///< derived by build_vocab, kept current by training
  std::size_t num_threads = 1;       ///< 0 or 1: count pairs on the calling thread; more: chunks
};

/// A vocabulary holding exactly the 256 single-byte tokens.
Vocabulary byte_vocabulary();

/// Rebuilds `tokenizer.vocab` in three passes: the 256 bytes, then every merge whose two parts
/// have entries at that moment (in table order), then the special tokens. Entries no pass writes
/// stay. Throws std::bad_alloc, leaving the vocabulary as it was, when the tokens would not fit
/// in memory. Polls `interrupt` as the work goes (a chain of long merges can copy gigabytes);
/// an interruption also leaves the vocabulary as it was.
void build_vocab(Model& tokenizer, const InterruptCheck& interrupt = {});

}  // namespace tokenizer
