#include "tokenizer/train/train.hpp"

#include <optional>
#include <utility>

#include "tokenizer/support/memory_budget.hpp"
#include "tokenizer/train/incremental_trainer.hpp"
#include "tokenizer/train/shard.hpp"
#include "tokenizer/train/sharded_trainer.hpp"

namespace tokenizer::basic {
namespace {

// Training with two threads or more may use the sharded trainer on texts of this many bytes or
// more. Off: on a busy two-core machine its two threads were measured slower than the
// incremental trainer on one (bench/shard_scaling.py), as every step pays a hand-over between
// the threads.
constexpr bool kShardedTraining = false;
constexpr std::size_t kShardedFrom = std::size_t{1} << 20;

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

/// Whether training with `num_threads` on `text` goes to the sharded trainer, one shard per
/// thread: with two threads or more, on texts long enough for the threads to pay off, and
/// only where it needs no more memory than the incremental trainer would be let have, so that
/// what fails fails alike.
bool sharded_training(std::string_view text, std::size_t num_threads) {
  if (!kShardedTraining || num_threads < 2 || text.size() < kShardedFrom) return false;
  if (text.size() >= Shard::kLongest) return false;
  return text.size() <= memory_budget() / Shard::kBytesPerByte;
}

}  // namespace

Training::Training(Tokenizer& tokenizer, std::string_view text, std::size_t vocab_size,
                   const InterruptCheck& interrupt)
    : tokenizer_{tokenizer} {
  check(vocab_size >= kFirstMergeId, "vocab_size must be at least 256");
  steps_ = vocab_size - kFirstMergeId;
  tokenizer.vocab = byte_vocabulary();
  done_ = steps_ == 0;
  if (done_) return;
  // Each step's pair is the one a full recount would find (by the tie rule of `outranks`),
  // but the trainer counts the text once and then only updates the counts around each
  // rewritten occurrence.
  // With several threads the text may instead be cut into shards rewritten side by side,
  // which learns the same merges.
  if (sharded_training(text, tokenizer.num_threads)) {
    sharded_ = std::make_unique<ShardedTrainer>(text, tokenizer.num_threads, tokenizer.num_threads,
                                                interrupt);
  } else {
    incremental_ = std::make_unique<IncrementalTrainer>(text, tokenizer.num_threads, interrupt);
  }
  vocab_bytes_ = kFirstMergeId;
}

Training::~Training() = default;

std::size_t Training::step(std::size_t max_merges, const InterruptCheck& interrupt) {
  check(!broken_, "training cannot go on after a step failed part way through a merge");
  std::size_t count = 0;
  while (count < max_merges && !done_) {
    interrupt();
    std::optional<TokenPair> pair =
        incremental_ ? incremental_->most_common_pair() : sharded_->most_common_pair();
    if (!pair) {
      done_ = true;
      break;
    }
    const TokenId id = kFirstMergeId + learned_;
    broken_ = true;  // until the merge is rewritten and recorded whole
    if (incremental_) {
      incremental_->merge(*pair, id, interrupt);
    } else {
      sharded_->merge(*pair, id, interrupt);
    }
    record_merge(tokenizer_, *pair, id, vocab_bytes_);
    broken_ = false;
    ++learned_;
    ++count;
    done_ = learned_ == steps_;
  }
  return count;
}

void train(Tokenizer& tokenizer, std::string_view text, std::size_t vocab_size,
           const InterruptCheck& interrupt) {
  Training training{tokenizer, text, vocab_size, interrupt};
  while (!training.done()) (void)training.step(1, interrupt);
}

}  // namespace tokenizer::basic
