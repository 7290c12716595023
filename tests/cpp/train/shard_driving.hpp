// Shards of a text driven by the coordinator only through the values a remote shard ships
// (deltas, edges, roles), as training on a cluster drives them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

#include "reference_bpe.hpp"
#include "tokenizer/train/shard.hpp"
#include "tokenizer/train/shard_coordinator.hpp"

namespace tokenizer {

/// Shards of `text` cut at `cuts` (byte offsets, increasing).
inline std::vector<Shard> cut_into_shards(std::string_view text,
                                          const std::vector<std::size_t>& cuts) {
  std::vector<Shard> shards;
  std::size_t begin = 0;
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    const std::size_t end = k < cuts.size() ? cuts[k] : text.size();
    shards.emplace_back(text.substr(begin, end - begin));
    begin = end;
  }
  return shards;
}

/// Adds every shard's count changes to the coordinator, then sets all their edges.
inline void collect_changes(ShardCoordinator& coordinator, std::vector<Shard>& shards) {
  std::vector<ShardEdges> edges;
  for (Shard& shard : shards) {
    coordinator.add(shard.take_deltas());
    edges.push_back(shard.edges());
  }
  coordinator.set_edges(edges);
}

struct Batched {
  std::vector<reference::Merge> merges;
  std::size_t exchanges = 0;
};

/// Trains with shards cut at `cuts`, taking up to `limit` steps per exchange with the shards.
inline Batched driven_in_batches(std::string_view text, const std::vector<std::size_t>& cuts,
                                 std::size_t vocab_size, std::size_t limit) {
  std::vector<Shard> shards = cut_into_shards(text, cuts);
  ShardCoordinator coordinator;
  collect_changes(coordinator, shards);
  Batched out;
  TokenId id = kFirstMergeId;
  while (id < vocab_size) {
    const std::vector<TokenPair> pairs =
        coordinator.most_common_pairs(std::min(limit, vocab_size - id));
    if (pairs.empty()) break;
    const std::vector<ShardRole> roles = coordinator.plan(pairs.front());
    for (std::size_t k = 0; k < shards.size(); ++k) {
      for (std::size_t step = 0; step < pairs.size(); ++step) {
        const ShardRole role = step == 0 ? roles[k] : ShardRole{};
        shards[k].merge(pairs[step], id + step, role.first_taken, role.takes_next);
      }
    }
    collect_changes(coordinator, shards);
    coordinator.finish_steps(pairs);
    for (const TokenPair pair : pairs) out.merges.push_back({{pair.left, pair.right}, id++});
    ++out.exchanges;
  }
  return out;
}

}  // namespace tokenizer
