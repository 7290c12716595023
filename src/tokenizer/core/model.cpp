#include "tokenizer/core/model.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/memory_budget.hpp"

namespace tokenizer {

Vocabulary byte_vocabulary() {
  Vocabulary vocab;
  vocab.reserve(256);
  for (unsigned b = 0; b < 256; ++b)
    vocab.insert_or_assign(TokenId{b}, TokenBytes(1, static_cast<char>(b)));
  return vocab;
}

namespace {

// The byte count the vocabulary will hold after build_vocab, found by running its passes on
// sizes alone. Lets a vocabulary that cannot fit be refused before anything is built.
std::size_t planned_vocab_bytes(const Model& tokenizer, InterruptPacer& pace) {
  FlatMap<TokenId, std::size_t> sizes;
  sizes.reserve(tokenizer.vocab.size() + tokenizer.merges.size() + 256, pace);
  tokenizer.vocab.for_each([&](TokenId id, const TokenBytes& bytes) {
    sizes[id] = bytes.size();
    pace();
  });
  for (unsigned b = 0; b < 256; ++b) sizes[TokenId{b}] = 1;
  for (const auto& [pair, id] : tokenizer.merges) {
    const std::size_t* left = sizes.find(pair.left);
    const std::size_t* right = sizes.find(pair.right);
    if (left == nullptr || right == nullptr) continue;
    std::size_t both = *left + *right;
    // Model files can describe tokens of astronomical length in a few lines (each merge
    // doubling the last): they are refused here, before any memory is touched.
    check_memory_budget(*left, *right);  // also keeps `both` from overflowing
    sizes[id] = both;
    pace();
  }
  for (const auto& [text, id] : tokenizer.special_tokens) {
    sizes[id] = text.size();
    pace();
  }
  std::size_t total = 0;
  sizes.for_each([&](TokenId, std::size_t size) {
    check_memory_budget(total, size);
    total += size;
    pace();
  });
  return total;
}

}  // namespace

void build_vocab(Model& tokenizer, const InterruptCheck& interrupt) {
  // Paced by merges planned and bytes copied.
  InterruptPacer pace{interrupt};
  planned_vocab_bytes(tokenizer, pace);
  // Build into a copy so that running out of memory part-way leaves the old vocabulary.
  Vocabulary vocab;
  // Room for every entry up front: growing moves every token, and a move of millions of them
  // is work no poll would break.
  vocab.reserve(
      tokenizer.vocab.size() + 256 + tokenizer.merges.size() + tokenizer.special_tokens.size(),
      pace);
  tokenizer.vocab.for_each([&](TokenId id, const TokenBytes& bytes) {
    vocab.insert_or_assign(id, bytes);
    pace(bytes.size());
  });
  for (unsigned b = 0; b < 256; ++b) {
    vocab.insert_or_assign(TokenId{b}, TokenBytes(1, static_cast<char>(b)));
  }
  for (const auto& [pair, id] : tokenizer.merges) {
    const TokenBytes* left = vocab.find(pair.left);
    const TokenBytes* right = vocab.find(pair.right);
    if (left == nullptr || right == nullptr) continue;
    TokenBytes bytes;
    bytes.reserve(left->size() + right->size());
    bytes.append(*left).append(*right);
    pace(bytes.size());
    vocab.insert_or_assign(id, std::move(bytes));
  }
  for (const auto& [text, id] : tokenizer.special_tokens) {
    vocab.insert_or_assign(id, TokenBytes(text));
    pace(text.size());
  }
  tokenizer.vocab = std::move(vocab);
}

}  // namespace tokenizer
