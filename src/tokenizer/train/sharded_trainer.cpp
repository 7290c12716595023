#include "tokenizer/train/sharded_trainer.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/memory_budget.hpp"
#include "tokenizer/train/shard.hpp"
#include "tokenizer/train/shard_coordinator.hpp"
#include "tokenizer/train/step_team.hpp"

namespace tokenizer::basic {

class ShardedTrainer::State {
 public:
  State(std::string_view text, std::size_t shards, std::size_t num_threads,
        const InterruptCheck& interrupt)
      : shards_(std::max<std::size_t>(shards, 1)), fresh_(shards_.size()), edges_(shards_.size()) {
    const std::size_t n = text.size();
    if (n >= Shard::kLongest ||
        n > std::numeric_limits<std::size_t>::max() / Shard::kBytesPerByte) {
      throw std::bad_alloc();
    }
    check_memory_budget(0, n * Shard::kBytesPerByte);
    if (num_threads >= 2) team_.emplace(std::min(num_threads, shards_.size()) - 1);
    const std::size_t count = shards_.size();
    auto build = [&](std::size_t k, const StopFlag* stop, InterruptPacer& pace) {
      // n < 2^32, so k * n fits 64 bits for any count of shards a process can hold.
      auto begin_of = [&](std::size_t at) {
        return static_cast<std::size_t>(std::uint64_t{at} * n / count);
      };
      shards_[k].build(text.substr(begin_of(k), begin_of(k + 1) - begin_of(k)), stop, pace);
    };
    run(build, interrupt);
    for (std::size_t k = 0; k < count; ++k) {
      shards_[k].drain_deltas(
          [&](TokenPair pair, std::int64_t delta) { coordinator_.add(pair, delta); });
      edges_[k] = shards_[k].edges();
    }
    end_step();
  }

  std::optional<TokenPair> most_common_pair() { return coordinator_.most_common_pair(); }

  void merge(TokenPair pair, TokenId id, const InterruptCheck& interrupt) {
    const std::optional<TokenPair>& chosen = coordinator_.chosen();
    check(chosen && *chosen == pair, "merge of a pair that is not the most common one");
    check(id >= kFirstMergeId && id < Shard::kLongest + 256, "token id beyond the trainer's range");
    const std::vector<ShardRole> roles = coordinator_.plan(pair);
    // Each shard rewrites, files its losses with the coordinator at once and keeps its rises,
    // which need the whole step's, for after.
    auto step = [&](std::size_t k, const StopFlag* stop, InterruptPacer& pace) {
      Shard& shard = shards_[k];
      if (!shard.merge(pair, id, roles[k].first_taken, roles[k].takes_next, stop, pace)) return;
      fresh_[k].clear();
      shard.drain_tagged([&](TokenPair changed) { return coordinator_.index_of(changed); },
                         [&](std::uint32_t index, TokenPair changed, std::int64_t delta) {
                           if (delta < 0 && index != Shard::kNoTag) {
                             coordinator_.subtract_concurrently_at(index, -delta);
                           } else if (delta < 0) {
                             coordinator_.subtract_concurrently(changed, -delta);
                           } else {
                             fresh_[k].push_back({changed, delta});
                           }
                         });
      edges_[k] = shard.edges();
    };
    run(step, interrupt);
    for (const std::vector<PairDelta>& rises : fresh_) coordinator_.add(rises);
    end_step();
    coordinator_.finish_step(pair);
  }

  std::size_t size() const { return length_; }

 private:
  template <class Task>
  void run(Task& task, const InterruptCheck& interrupt) {
    if (team_) {
      interrupt();  // the caller's share may be too short to poll
      team_->run(shards_.size(), task, interrupt);
    } else {
      InterruptPacer pace{interrupt};
      for (std::size_t k = 0; k < shards_.size(); ++k) task(k, nullptr, pace);
    }
  }

  void end_step() {
    coordinator_.set_edges(edges_);
    length_ = 0;
    for (const Shard& shard : shards_) length_ += shard.live();
  }

  std::vector<Shard> shards_;
  std::vector<std::vector<PairDelta>> fresh_;
  std::vector<ShardEdges> edges_;
  ShardCoordinator coordinator_;
  std::optional<StepTeam> team_;
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
