#include "tokenizer/basic/state.hpp"

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <new>

#include "tokenizer/basic/interrupt_pacer.hpp"

namespace tokenizer::basic {
namespace {

std::size_t token_budget() {
  // A quarter of the machine's memory for the bytes of all tokens together, and never more
  // than a quarter of the address space.
  static const std::size_t budget = [] {
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGE_SIZE);
    unsigned long long memory = (pages > 0 && page_size > 0)
                                    ? static_cast<unsigned long long>(pages) *
                                          static_cast<unsigned long long>(page_size)
                                    : 1ULL << 32;
    unsigned long long quarter = memory / 4;
    unsigned long long limit = std::numeric_limits<std::size_t>::max() / 4;
    return static_cast<std::size_t>(std::min(quarter, limit));
  }();
  return budget;
}

}  // namespace

void check_token_budget(std::size_t held, std::size_t more) {
  std::size_t budget = token_budget();
  if (more > budget || held > budget - more) throw std::bad_alloc{};
}

Vocabulary byte_vocabulary() {
  Vocabulary vocab;
  vocab.reserve(256);
  for (unsigned b = 0; b < 256; ++b) vocab.insert_or_assign(TokenId{b}, TokenBytes(1, static_cast<char>(b)));
  return vocab;
}

namespace {

// The byte count the vocabulary will hold after build_vocab, found by running its passes on
// sizes alone. Lets a vocabulary that cannot fit be refused before anything is built.
std::size_t planned_vocab_bytes(const Tokenizer& tokenizer, InterruptPacer& pace) {
  FlatMap<TokenId, std::size_t> sizes;
  sizes.reserve(tokenizer.vocab.size() + tokenizer.merges.size() + 256);
  tokenizer.vocab.for_each([&](TokenId id, const TokenBytes& bytes) { sizes[id] = bytes.size(); });
  for (unsigned b = 0; b < 256; ++b) sizes[TokenId{b}] = 1;
  for (const auto& [pair, id] : tokenizer.merges) {
    const std::size_t* left = sizes.find(pair.left);
    const std::size_t* right = sizes.find(pair.right);
    if (left == nullptr || right == nullptr) continue;
    std::size_t both = *left + *right;
    check_token_budget(*left, *right);  // also keeps `both` from overflowing
    sizes[id] = both;
    pace();
  }
  for (const auto& [text, id] : tokenizer.special_tokens) sizes[id] = text.size();
  std::size_t total = 0;
  sizes.for_each([&](TokenId, std::size_t size) {
    check_token_budget(total, size);
    total += size;
  });
  return total;
}

}  // namespace

void build_vocab(Tokenizer& tokenizer, const InterruptCheck& interrupt) {
  // Paced by merges planned and bytes copied.
  InterruptPacer pace{interrupt};
  planned_vocab_bytes(tokenizer, pace);
  // Build into a copy so that running out of memory part-way leaves the old vocabulary.
  Vocabulary vocab = tokenizer.vocab;
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
  }
  tokenizer.vocab = std::move(vocab);
}

}  // namespace tokenizer::basic
