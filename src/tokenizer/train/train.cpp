#include "tokenizer/train/train.hpp"

#include <optional>
#include <utility>

#include "tokenizer/support/memory_budget.hpp"
#include "tokenizer/train/incremental_trainer.hpp"

namespace tokenizer {
namespace {

/// Records a learned merge in `merges` and `vocab`. Everything that can fail happens before
/// the merge table changes, so a step is recorded whole or not at all.
void record_merge(Model& tokenizer, TokenPair pair, TokenId id, std::size_t& vocab_bytes) {
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

Training::Training(Model& tokenizer, std::string_view text, std::size_t vocab_size,
                   const InterruptCheck& interrupt)
    : tokenizer_{tokenizer} {
  check(vocab_size >= kFirstMergeId, "vocab_size must be at least 256");
  steps_ = vocab_size - kFirstMergeId;
  text_bytes_ = text.size();
  tokenizer.vocab = byte_vocabulary();
  done_ = steps_ == 0;
  if (done_) return;
  // Each step's pair is the one a full recount would find (by the tie rule of `outranks`),
  // but the trainer counts the text once and then only updates the counts around each
  // rewritten occurrence.
  incremental_ = std::make_unique<IncrementalTrainer>(text, tokenizer.num_threads, interrupt);
  vocab_bytes_ = kFirstMergeId;
}

Training::~Training() = default;

std::size_t Training::tokens() const {
  if (incremental_) return incremental_->size();
  return text_bytes_;
}

std::size_t Training::step(std::size_t max_merges, const InterruptCheck& interrupt) {
  check(!broken_, "training cannot go on after a step failed part way through a merge");
  std::size_t count = 0;
  while (count < max_merges && !done_) {
    interrupt();
    std::optional<TokenPair> pair = incremental_->most_common_pair();
    if (!pair) {
      done_ = true;
      break;
    }
    const TokenId id = kFirstMergeId + learned_;
    broken_ = true;  // until the merge is rewritten and recorded whole
    incremental_->merge(*pair, id, interrupt);
    record_merge(tokenizer_, *pair, id, vocab_bytes_);
    broken_ = false;
    ++learned_;
    ++count;
    done_ = learned_ == steps_;
  }
  return count;
}

void train(Model& tokenizer, std::string_view text, std::size_t vocab_size,
           const InterruptCheck& interrupt) {
  Training training{tokenizer, text, vocab_size, interrupt};
  while (!training.done()) (void)training.step(1, interrupt);
}

}  // namespace tokenizer
