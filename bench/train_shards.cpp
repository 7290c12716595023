// Training speed of shards driven by the coordinator beside the incremental trainer, without
// Python.
//
//   train_shards TEXT VOCAB_SIZE incremental           one thread, the incremental trainer
//   train_shards TEXT VOCAB_SIZE simulated SHARDS [STEPS]
//                                                      shards driven in turn on this thread
//                                                      through the values a remote shard ships
//                                                      (deltas, edges, roles), timing the
//                                                      coordinator's part of each step apart;
//                                                      writes each step's pair and roles to
//                                                      the file STEPS when given
//   train_shards TEXT VOCAB_SIZE replay SHARDS STEPS   the shards alone, as the workers hold
//                                                      them: the steps of STEPS replayed, each
//                                                      step's deltas taken and dropped
//
// Prints one JSON object: wall and CPU seconds, resident memory after loading the text and at
// its peak, state bytes per byte of text (in replay: the shards' state alone, without the
// coordinator's), and a digest of the merges learned (equal digests mean equal merges).
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tokenizer/train/incremental_trainer.hpp"
#include "tokenizer/train/shard.hpp"
#include "tokenizer/train/shard_coordinator.hpp"

namespace {

using namespace tokenizer;
using Clock = std::chrono::steady_clock;

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// One step as the coordinator sent it: the pair, and the shards that take part at a cut.
struct Step {
  TokenPair pair;
  std::vector<ShardRole> roles;
};

std::vector<Shard> cut_into(std::string_view text, std::size_t count) {
  std::vector<Shard> shards;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t begin = k * text.size() / count;
    const std::size_t end = (k + 1) * text.size() / count;
    shards.emplace_back(text.substr(begin, end - begin));
  }
  return shards;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

long current_rss_kib() {
  std::ifstream status{"/proc/self/statm"};
  long pages = 0, resident = 0;
  status >> pages >> resident;
  return resident * 4;
}

struct Digest {
  std::uint64_t value = 1469598103934665603ull;
  void add(std::uint64_t x) {
    for (int k = 0; k < 8; ++k) {
      value ^= (x >> (8 * k)) & 0xff;
      value *= 1099511628211ull;
    }
  }
};

std::size_t run(IncrementalTrainer& trainer, std::size_t vocab_size, Digest& digest) {
  std::size_t steps = 0;
  for (TokenId id = kFirstMergeId; id < vocab_size; ++id, ++steps) {
    std::optional<TokenPair> pair = trainer.most_common_pair();
    if (!pair) break;
    trainer.merge(*pair, id);
    digest.add(pair->left);
    digest.add(pair->right);
  }
  return steps;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: train_shards TEXT VOCAB_SIZE incremental|simulated S [STEPS]|replay S "
                 "STEPS\n";
    return 2;
  }
  std::ifstream file{argv[1], std::ios::binary};
  std::stringstream content;
  content << file.rdbuf();
  const std::string text = content.str();
  const std::size_t vocab_size = std::strtoull(argv[2], nullptr, 10);
  const std::string mode = argv[3];
  long baseline = current_rss_kib();
  Digest digest;
  double coordination = 0;
  std::size_t steps = 0;
  const Clock::time_point start = Clock::now();
  const double cpu_start = cpu_seconds();
  if (mode == "incremental") {
    IncrementalTrainer trainer{text, 1};
    steps = run(trainer, vocab_size, digest);
  } else if (mode == "simulated" && argc >= 5) {
    const std::size_t count = std::strtoull(argv[4], nullptr, 10);
    std::vector<Shard> shards = cut_into(text, count);
    std::ofstream record;
    if (argc >= 6) record.open(argv[5]);
    ShardCoordinator coordinator;
    auto collect = [&] {
      std::vector<ShardEdges> edges;
      for (Shard& shard : shards) {
        const std::vector<PairDelta> deltas = shard.take_deltas();
        const Clock::time_point at = Clock::now();
        coordinator.add(deltas);
        coordination += seconds_since(at);
        edges.push_back(shard.edges());
      }
      const Clock::time_point at = Clock::now();
      coordinator.set_edges(edges);
      coordination += seconds_since(at);
    };
    collect();
    for (TokenId id = kFirstMergeId; id < vocab_size; ++id, ++steps) {
      Clock::time_point at = Clock::now();
      std::optional<TokenPair> pair = coordinator.most_common_pair();
      if (!pair) break;
      const std::vector<ShardRole> roles = coordinator.plan(*pair);
      coordination += seconds_since(at);
      if (record.is_open()) {
        record << pair->left << ' ' << pair->right;
        for (const ShardRole role : roles) record << ' ' << role.first_taken << role.takes_next;
        record << '\n';
      }
      for (std::size_t k = 0; k < count; ++k) {
        shards[k].merge(*pair, id, roles[k].first_taken, roles[k].takes_next);
      }
      collect();
      at = Clock::now();
      coordinator.finish_step(*pair);
      coordination += seconds_since(at);
      digest.add(pair->left);
      digest.add(pair->right);
    }
  } else if (mode == "replay" && argc >= 6) {
    const std::size_t count = std::strtoull(argv[4], nullptr, 10);
    std::vector<Step> steps_in;
    std::ifstream in{argv[5]};
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields{line};
      Step step;
      fields >> step.pair.left >> step.pair.right;
      for (std::string role; fields >> role;) {
        step.roles.push_back({role[0] == '1', role[1] == '1'});
      }
      if (step.roles.size() != count) {
        std::cerr << "steps recorded for another number of shards\n";
        return 2;
      }
      steps_in.push_back(std::move(step));
    }
    baseline = current_rss_kib();  // the steps read are the driver's, not the shards'
    std::vector<Shard> shards = cut_into(text, count);
    for (Shard& shard : shards) shard.take_deltas();
    TokenId id = kFirstMergeId;
    for (const Step& step : steps_in) {
      for (std::size_t k = 0; k < count; ++k) {
        shards[k].merge(step.pair, id, step.roles[k].first_taken, step.roles[k].takes_next);
        shards[k].take_deltas();
        shards[k].edges();
      }
      digest.add(step.pair.left);
      digest.add(step.pair.right);
      ++id;
      ++steps;
    }
  } else {
    std::cerr << "unknown mode\n";
    return 2;
  }
  const double wall = seconds_since(start);
  const double cpu = cpu_seconds() - cpu_start;
  const long peak = peak_rss_kib();
  std::printf(
      "{\"mode\": \"%s\", \"bytes\": %zu, \"steps\": %zu, \"seconds\": %.3f, "
      "\"cpu_seconds\": %.3f, "
      "\"coordination_seconds\": %.3f, \"rss_text_kib\": %ld, \"rss_peak_kib\": %ld, "
      "\"state_bytes_per_byte\": %.2f, \"merges_digest\": \"%016llx\"}\n",
      mode.c_str(), text.size(), steps, wall, cpu, coordination, baseline, peak,
      text.empty() ? 0.0 : static_cast<double>(peak - baseline) * 1024.0 / text.size(),
      static_cast<unsigned long long>(digest.value));
}
