#include "tokenizer/basic/train.hpp"

#include <optional>
#include <utility>

#include "tokenizer/basic/incremental_trainer.hpp"
#include "tokenizer/basic/memory_budget.hpp"

namespace tokenizer::basic {
namespace {

/// Records a learned merge in `merges` and `vocab`. Everything that can fail happens before
/// the merge table changes, so a step is recorded whole or not at all.
void record_merge(Tokenizer& tokenizer, TokenPair pair, TokenId id, std::size_t& vocab_bytes) {
  const TokenBytes* left = tokenizer.vocab.find(pair.left);
  const TokenBytes* right = tokenizer.vocab.find(pair.right);
  check(left != nullptr && right != nullptr, "merged pair has no vocabulary entry");
  check_memory_budget(vocab_bytes, left->size() + right->size());
  TokenBytes bytes;
  bytes.reserve(left->size() + right->size());
  bytes.append(*left).append(*right);
  tokenizer.vocab.reserve(tokenizer.vocab.size() + 1);
  vocab_bytes += bytes.size();
  tokenizer.merges.insert_or_assign(pair, id);
  tokenizer.vocab.insert_or_assign(id, std::move(bytes));
}

}  // namespace

void train(Tokenizer& tokenizer, std::string_view text, std::size_t vocab_size,
           const InterruptCheck& interrupt) {
  check(vocab_size >= kFirstMergeId, "vocab_size must be at least 256");
  const std::size_t steps = vocab_size - kFirstMergeId;
  tokenizer.vocab = byte_vocabulary();
  if (steps == 0) return;
  // Each step's pair is the one a full recount would find (by the tie rule of `outranks`),
  // but the trainer counts the text once and then only updates the counts around each
  // rewritten occurrence.
  IncrementalTrainer trainer{text, tokenizer.num_threads, interrupt};
  std::size_t vocab_bytes = kFirstMergeId;
  for (std::size_t step = 0; step < steps; ++step) {
    interrupt();
    std::optional<TokenPair> pair = trainer.most_common_pair();
    if (!pair) break;
    const TokenId id = kFirstMergeId + step;
    trainer.merge(*pair, id, interrupt);
    record_merge(tokenizer, *pair, id, vocab_bytes);
  }
}

}  // namespace tokenizer::basic
