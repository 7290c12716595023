#include "tokenizer/basic/train.hpp"

#include <optional>
#include <utility>

#include "tokenizer/basic/pair_stats.hpp"

namespace tokenizer::basic {
namespace {

/// Finds each step's pair: on the worker pool when `num_threads` asks for chunks and the
/// sequence can be cut into that many, otherwise on the calling thread into one table that
/// every step reuses.
class PairFinder {
 public:
  explicit PairFinder(std::size_t num_threads) : num_threads_{num_threads} {}

  /// The most common pair of `sequence` by the training tie rule, or none when it holds no
  /// pair.
  std::optional<TokenPair> find(const TokenSequence& sequence, const InterruptCheck& interrupt) {
    // A sequence shorter than the chunk count cannot be cut into chunks; counting it here
    // gives the same answer, so training ends quietly however many threads were asked for.
    if (num_threads_ >= 2 && sequence.size() >= num_threads_) {
      // What parallel_get_most_common_pair does, keeping the number of distinct pairs: it
      // changes little from one step to the next and sizes the next step's tables.
      PairCounts counts = parallel_count_pairs(sequence, num_threads_, interrupt, distinct_pairs_);
      distinct_pairs_ = counts.size();
      return most_common_pair(counts);
    }
    step_table_.clear();
    count_pairs(sequence, step_table_, interrupt);
    return most_common_pair(step_table_);
  }

 private:
  std::size_t num_threads_;
  PairCounts step_table_;
  std::size_t distinct_pairs_ = 0;
};

/// Records a learned merge in `merges` and `vocab`. Everything that can fail happens before
/// the merge table changes, so a step is recorded whole or not at all.
void record_merge(Tokenizer& tokenizer, TokenPair pair, TokenId id, std::size_t& vocab_bytes) {
  const TokenBytes* left = tokenizer.vocab.find(pair.left);
  const TokenBytes* right = tokenizer.vocab.find(pair.right);
  check(left != nullptr && right != nullptr, "merged pair has no vocabulary entry");
  check_token_budget(vocab_bytes, left->size() + right->size());
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
  TokenSequence sequence = byte_sequence(text);

  tokenizer.vocab = byte_vocabulary();
  std::size_t vocab_bytes = kFirstMergeId;

  PairFinder finder{tokenizer.num_threads};
  for (std::size_t step = 0; step < steps; ++step) {
    interrupt();
    std::optional<TokenPair> pair = finder.find(sequence, interrupt);
    if (!pair) break;
    const TokenId id = kFirstMergeId + step;
    merge_pair(sequence, *pair, id, interrupt);
    record_merge(tokenizer, *pair, id, vocab_bytes);
  }
}

}  // namespace tokenizer::basic
