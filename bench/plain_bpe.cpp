// The plain baseline for bench/bench.py: training and encoding done the straightforward way,
// with the engine's own one-step operations, so the comparison is native against native.
//
//   plain_bpe train  TEXT VOCAB_SIZE MERGES_OUT   every step recounts all pairs, then merges
//   plain_bpe encode TEXT MERGES_IN MIN_SECONDS [IDS_OUT]
//                                                 every round recounts all pairs, then merges
//                                                 the pair learned earliest
//   plain_bpe count  TEXT THREADS REPEATS         one count of the byte pairs: count_pairs on
//                                                 this thread vs in THREADS chunks on the pool
//
// TEXT is a file of UTF-8 bytes. A merges file holds one "left right" line per merge; the
// k-th line is merge id 256 + k. Each command prints one JSON object on standard output:
// wall and CPU seconds, and resident memory after loading the text and at its peak.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "tokenizer/core/pair_counts.hpp"
#include "tokenizer/core/types.hpp"
#include "tokenizer/support/keyed_hash.hpp"
#include "tokenizer/support/worker_pool.hpp"

namespace {

using tokenizer::byte_sequence;
using tokenizer::Chunks;
using tokenizer::count_pairs;
using tokenizer::KeyedHash;
using tokenizer::kFirstMergeId;
using tokenizer::merge_pair;
using tokenizer::most_common_pair;
using tokenizer::PairCount;
using tokenizer::PairCounts;
using tokenizer::run_on_workers;
using tokenizer::StopFlag;
using tokenizer::TokenId;
using tokenizer::TokenPair;
using tokenizer::TokenSequence;

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

/// A "Vm...:  N kB" line of /proc/self/status, in bytes.
long long status_bytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      return std::stoll(line.substr(field.size() + 1)) * 1024;
    }
  }
  return 0;
}

long long current_rss_bytes() {
  return status_bytes("VmRSS");
}

/// The peak of this process's own memory. Not ru_maxrss: after a vfork-and-exec start that
/// also holds the parent's peak.
long long peak_rss_bytes() {
  return status_bytes("VmHWM");
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << path << "\n";
    std::exit(2);
  }
  in.seekg(0, std::ios::end);
  std::string text(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  return text;
}

struct PairHash {
  KeyedHash hash{0x9e3779b97f4a7c15ULL};
  std::size_t operator()(const TokenPair& pair) const {
    return static_cast<std::size_t>(hash(pair));
  }
};

using MergeIds = std::unordered_map<TokenPair, TokenId, PairHash>;

int train(const char* text_path, std::size_t vocab_size, const char* merges_path) {
  const std::string text = read_file(text_path);
  const long long baseline = current_rss_bytes();
  const double cpu_start = cpu_seconds();
  const Clock::time_point start = Clock::now();

  TokenSequence sequence = byte_sequence(text);
  std::vector<TokenPair> merges;
  PairCounts counts;
  for (std::size_t step = 0; kFirstMergeId + step < vocab_size; ++step) {
    counts.clear();
    count_pairs(sequence, counts);
    const std::optional<TokenPair> pair = most_common_pair(counts);
    if (!pair) break;
    merge_pair(sequence, *pair, kFirstMergeId + step);
    merges.push_back(*pair);
  }

  const double wall = since(start);
  const double cpu = cpu_seconds() - cpu_start;
  const long long peak = peak_rss_bytes();
  std::ofstream out(merges_path);
  for (const TokenPair& pair : merges) out << pair.left << ' ' << pair.right << '\n';
  std::printf(
      "{\"wall\": %.6f, \"cpu\": %.6f, \"baseline_rss\": %lld, \"peak_rss\": %lld, "
      "\"merges\": %zu, \"final_tokens\": %zu}\n",
      wall, cpu, baseline, peak, merges.size(), sequence.size());
  return 0;
}

MergeIds read_merges(const char* path) {
  MergeIds ids;
  std::ifstream in(path);
  TokenId left = 0;
  TokenId right = 0;
  TokenId next = kFirstMergeId;
  while (in >> left >> right) ids.emplace(TokenPair{left, right}, next++);
  return ids;
}

/// One encoding: each round recounts the distinct adjacent pairs and merges every occurrence
/// of the one with the smallest merge id (the smaller pair on equal ids).
TokenSequence encode_once(const std::string& text, const MergeIds& merges) {
  TokenSequence sequence = byte_sequence(text);
  PairCounts pairs;
  while (sequence.size() >= 2) {
    pairs.clear();
    count_pairs(sequence, pairs);
    std::optional<TokenPair> best;
    TokenId best_id = tokenizer::kNoToken;
    pairs.for_each([&](TokenPair pair, PairCount) {
      auto found = merges.find(pair);
      if (found == merges.end()) return;
      if (found->second < best_id || (found->second == best_id && pair < *best)) {
        best = pair;
        best_id = found->second;
      }
    });
    if (!best) break;
    merge_pair(sequence, *best, best_id);
  }
  return sequence;
}

int encode(const char* text_path, const char* merges_path, double min_seconds,
           const char* ids_path) {
  const MergeIds merges = read_merges(merges_path);
  const std::string text = read_file(text_path);
  const long long baseline = current_rss_bytes();

  // Repeat until the total passes min_seconds, so short texts are timed over many calls.
  std::vector<double> walls;
  double cpu_total = 0;
  TokenSequence ids;
  double total = 0;
  while (walls.empty() || total < min_seconds) {
    const double cpu_start = cpu_seconds();
    const Clock::time_point start = Clock::now();
    ids = encode_once(text, merges);
    walls.push_back(since(start));
    cpu_total += cpu_seconds() - cpu_start;
    total += walls.back();
  }
  const long long peak = peak_rss_bytes();
  std::sort(walls.begin(), walls.end());
  if (ids_path != nullptr) {
    std::ofstream out(ids_path, std::ios::binary);
    for (TokenId id : ids) {
      const auto value = static_cast<std::uint32_t>(id);
      out.write(reinterpret_cast<const char*>(&value), sizeof value);
    }
  }
  std::printf(
      "{\"wall\": %.9f, \"cpu\": %.9f, \"calls\": %zu, \"baseline_rss\": %lld, "
      "\"peak_rss\": %lld, \"tokens\": %zu}\n",
      walls[walls.size() / 2], cpu_total / static_cast<double>(walls.size()), walls.size(),
      baseline, peak, ids.size());
  return 0;
}

/// count_pairs in `threads` chunks on the worker pool, each into a table of its own that is
/// then added to the result under a lock: what one count spread over the pool can reach.
PairCounts count_on_pool(const TokenSequence& sequence, std::size_t threads) {
  const Chunks chunks{sequence.size(), threads};
  PairCounts total;
  std::mutex total_lock;
  auto count_chunk = [&](std::size_t k, const StopFlag&) {
    // One token past the chunk's end, so the pair across its right boundary is counted here.
    const std::size_t end = std::min(chunks.end(k) + 1, sequence.size());
    PairCounts own;
    count_pairs(std::span{sequence}.subspan(chunks.begin(k), end - chunks.begin(k)), own);
    std::lock_guard lock{total_lock};
    own.for_each([&](TokenPair pair, PairCount n) { total.add(pair, n); });
  };
  run_on_workers(chunks.count(), count_chunk);
  return total;
}

int count(const char* text_path, std::size_t threads, int repeats) {
  const std::string text = read_file(text_path);
  const TokenSequence sequence = byte_sequence(text);
  std::vector<double> serial;
  std::vector<double> serial_cpu;
  std::vector<double> parallel;
  std::vector<double> parallel_cpu;
  std::size_t distinct = 0;
  for (int r = 0; r < repeats; ++r) {
    {
      const double cpu_start = cpu_seconds();
      const Clock::time_point start = Clock::now();
      PairCounts counts;
      count_pairs(sequence, counts);
      serial.push_back(since(start));
      serial_cpu.push_back(cpu_seconds() - cpu_start);
      distinct = counts.size();
    }
    {
      const double cpu_start = cpu_seconds();
      const Clock::time_point start = Clock::now();
      PairCounts counts = count_on_pool(sequence, threads);
      parallel.push_back(since(start));
      parallel_cpu.push_back(cpu_seconds() - cpu_start);
      if (counts.size() != distinct) {
        std::cerr << "parallel count disagrees with the serial one\n";
        return 1;
      }
    }
  }
  auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  std::printf(
      "{\"serial\": %.6f, \"serial_cpu\": %.6f, \"parallel\": %.6f, \"parallel_cpu\": %.6f, "
      "\"threads\": %zu, \"repeats\": %d, \"distinct_pairs\": %zu}\n",
      median(serial), median(serial_cpu), median(parallel), median(parallel_cpu), threads, repeats,
      distinct);
  return 0;
}

int usage() {
  std::cerr << "usage: plain_bpe train TEXT VOCAB_SIZE MERGES_OUT\n"
               "       plain_bpe encode TEXT MERGES_IN MIN_SECONDS [IDS_OUT]\n"
               "       plain_bpe count TEXT THREADS REPEATS\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "train" && argc == 5) {
    return train(argv[2], std::stoul(argv[3]), argv[4]);
  }
  if (command == "encode" && (argc == 5 || argc == 6)) {
    return encode(argv[2], argv[3], std::stod(argv[4]), argc == 6 ? argv[5] : nullptr);
  }
  if (command == "count" && argc == 5) {
    return count(argv[2], std::stoul(argv[3]), std::stoi(argv[4]));
  }
  return usage();
}
