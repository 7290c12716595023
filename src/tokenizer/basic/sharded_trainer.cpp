#include "tokenizer/basic/sharded_trainer.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "tokenizer/basic/interrupt_pacer.hpp"
#include "tokenizer/basic/memory_budget.hpp"
#include "tokenizer/basic/shard.hpp"
#include "tokenizer/basic/shard_coordinator.hpp"
#include "tokenizer/basic/worker_pool.hpp"

namespace tokenizer::basic {
namespace {

// Token ids and positions are 32 bits wide in a shard; ids grow up to 256 + the text's length.
constexpr std::uint64_t kLongestText = Shard::kLongest;

}  // namespace

class ShardedTrainer::State {
 public:
  State(std::string_view text, std::size_t shards, std::size_t num_threads,
        const InterruptCheck& interrupt)
      : shards_(std::max<std::size_t>(shards, 1)), parallel_{num_threads >= 2} {
    const std::size_t n = text.size();
    if (n >= kLongestText || n > std::numeric_limits<std::size_t>::max() / Shard::kBytesPerByte) {
      throw std::bad_alloc();
    }
    check_memory_budget(0, n * Shard::kBytesPerByte);
    const std::size_t count = shards_.size();
    auto range = [&](std::size_t k) {
      // n < 2^32, so k * n fits 64 bits for any count of shards a process can hold.
      auto begin_of = [&](std::size_t at) {
        return static_cast<std::size_t>(std::uint64_t{at} * n / count);
      };
      return text.substr(begin_of(k), begin_of(k + 1) - begin_of(k));
    };
    auto build = [&](std::size_t k, const StopFlag& stop) {
      InterruptPacer pace;
      shards_[k].build(range(k), &stop, pace);
    };
    if (parallel_) {
      interrupt();  // the pool polls only while it waits, which a short count may not do
      run_on_workers(count, build, interrupt);
    } else {
      InterruptPacer pace{interrupt};
      for (std::size_t k = 0; k < count; ++k) shards_[k].build(range(k), nullptr, pace);
    }
    collect();
  }

  std::optional<TokenPair> most_common_pair() { return coordinator_.most_common_pair(); }

  void merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt) {
    const std::optional<TokenPair>& chosen = coordinator_.chosen();
    check(chosen && *chosen == pair, "merge of a pair that is not the most common one");
    check(id < Shard::kLongest + 256, "token id beyond the trainer's range");
    const std::vector<ShardRole> roles = coordinator_.plan(pair);
    if (parallel_) {
      auto step = [&](std::size_t k, const StopFlag& stop) {
        InterruptPacer pace;
        shards_[k].merge(pair, id, roles[k].first_taken, roles[k].takes_next, &stop, pace);
      };
      interrupt();
      run_on_workers(shards_.size(), step, interrupt);
    } else {
      InterruptPacer pace{interrupt};
      for (std::size_t k = 0; k < shards_.size(); ++k) {
        shards_[k].merge(pair, id, roles[k].first_taken, roles[k].takes_next, nullptr, pace);
      }
    }
    collect();
    coordinator_.finish_step(pair);
  }

  std::size_t size() const { return length_; }

 private:
  /// Hands the shards' changes and edges to the coordinator.
  void collect() {
    edges_.clear();
    length_ = 0;
    for (Shard& shard : shards_) {
      shard.drain_deltas(
          [&](TokenPair pair, std::int64_t delta) { coordinator_.add(pair, delta); });
      edges_.push_back(shard.edges());
      length_ += shard.live();
    }
    coordinator_.set_edges(edges_);
  }

  std::vector<Shard> shards_;
  bool parallel_;
  ShardCoordinator coordinator_;
  std::vector<ShardEdges> edges_;
  std::size_t length_ = 0;
};

ShardedTrainer::ShardedTrainer(std::string_view text, std::size_t shards, std::size_t num_threads,
                               const InterruptCheck& interrupt)
    : state_{std::make_unique<State>(text, shards, num_threads, interrupt)} {}

ShardedTrainer::~ShardedTrainer() = default;

std::optional<TokenPair> ShardedTrainer::most_common_pair() {
  return state_->most_common_pair();
}

void ShardedTrainer::merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt) {
  state_->merge(pair, id, interrupt);
}

std::size_t ShardedTrainer::size() const {
  return state_->size();
}

}  // namespace tokenizer::basic
