// The floor under any encoder that walks a trie byte by byte: greedy longest match over a
// double-array trie of a model's whole tokens (those whose own bytes encode as themselves, the
// only ones an encoding can hold), with none of the checks that make an encoding exact and no
// list of ids kept.
//
//   trie_walk MODEL_FILE TEXT [MIN_SECONDS]
//
// The scan of bench/encode_engine.cpp does this walk and more for every token it places, so its
// MB/s cannot exceed the figure printed here for the same model and text. Prints one JSON
// object: the whole tokens, the trie's states, the text's size, the tokens the greedy walk
// takes (and a checksum of their ids), and the median CPU seconds of one pass with the MB/s they
// give.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tokenizer/core/model.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/encode/encode_tables.hpp"
#include "tokenizer/io/model_file.hpp"

namespace {

namespace engine = tokenizer;

constexpr std::uint32_t kFree = 0x1ff;  // the label of a cell that is no state
constexpr unsigned kBaseShift = 9;

/// A cell holds base << 9 | label; the child of state s by byte c is base(s) + c when that
/// cell's label is c. No two states share a base, so the label alone tells whose child a cell
/// is. `token` is the token spelled by a state, or -1.
struct DoubleArray {
  std::vector<std::uint32_t> cells;
  std::vector<std::int32_t> token;
};

/// The trie of the whole tokens of `tokenizer`; counts them into `whole`.
DoubleArray lay_out(const engine::Model& tokenizer, std::size_t& whole) {
  struct Node {
    std::vector<std::pair<unsigned char, std::uint32_t>> children;
    std::int32_t token = -1;
  };
  std::vector<Node> nodes(1);
  const engine::EncodeTables tables{tokenizer.merges};
  whole = 0;
  tokenizer.vocab.for_each([&](engine::TokenId id, const engine::TokenBytes& bytes) {
    if (engine::encode(tokenizer.merges, tables, bytes) != std::vector<engine::TokenId>{id}) return;
    ++whole;
    std::uint32_t v = 0;
    for (const char byte : bytes) {
      const auto c = static_cast<unsigned char>(byte);
      auto& children = nodes[v].children;
      auto found = std::find_if(children.begin(), children.end(),
                                [&](const auto& child) { return child.first == c; });
      if (found == children.end()) {
        children.emplace_back(c, static_cast<std::uint32_t>(nodes.size()));
        v = static_cast<std::uint32_t>(nodes.size());
        nodes.emplace_back();
      } else {
        v = found->second;
      }
    }
    nodes[v].token = static_cast<std::int32_t>(id);
  });
  DoubleArray out;
  out.cells.assign(nodes.size() + 512, kFree);
  out.token.assign(out.cells.size(), -1);
  std::vector<std::uint32_t> cell_of(nodes.size(), 0);
  std::vector<bool> base_taken(out.cells.size(), false);
  std::vector<std::uint32_t> queue{0};
  out.cells[0] = 0;
  std::size_t first_free = 1;
  for (std::size_t q = 0; q < queue.size(); ++q) {
    const std::uint32_t v = queue[q];
    std::uint32_t base = 0;
    if (!nodes[v].children.empty()) {
      for (base = static_cast<std::uint32_t>(first_free > 256 ? first_free - 256 : 1);; ++base) {
        if (base + 256 >= out.cells.size()) {
          out.cells.resize(base + 512, kFree);
          out.token.resize(base + 512, -1);
          base_taken.resize(base + 512, false);
        }
        if (base_taken[base]) continue;
        if (std::all_of(nodes[v].children.begin(), nodes[v].children.end(),
                        [&](const auto& child) { return out.cells[base + child.first] == kFree; }))
          break;
      }
      base_taken[base] = true;
      for (const auto& [c, w] : nodes[v].children) {
        out.cells[base + c] = c;
        cell_of[w] = base + c;
        queue.push_back(w);
      }
      while (first_free < out.cells.size() && out.cells[first_free] != kFree) ++first_free;
    }
    out.cells[cell_of[v]] = (out.cells[cell_of[v]] & kFree) | base << kBaseShift;
    out.token[cell_of[v]] = nodes[v].token;
  }
  return out;
}

/// One greedy pass: the longest token at each position, then on after it. Returns the tokens
/// taken and folds their ids into `sum`, so that the pass cannot be optimised away.
std::size_t walk(const DoubleArray& trie, const std::string& text, std::uint64_t& sum) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::uint32_t* cells = trie.cells.data();
  const std::int32_t* token = trie.token.data();
  const std::size_t size = text.size();
  std::size_t tokens = 0;
  for (std::size_t at = 0; at < size; ++tokens) {
    std::uint32_t state = 0;
    std::int32_t best = -1;
    std::size_t best_end = at + 1;
    for (std::size_t i = at; i < size; ++i) {
      const std::uint32_t next = (cells[state] >> kBaseShift) + bytes[i];
      if ((cells[next] & kFree) != bytes[i]) break;
      state = next;
      if (token[state] >= 0) {
        best = token[state];
        best_end = i + 1;
      }
    }
    sum += static_cast<std::uint32_t>(best);
    at = best_end;
  }
  return tokens;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::cerr << "usage: trie_walk MODEL_FILE TEXT [MIN_SECONDS]\n";
    return 2;
  }
  const double min_seconds = argc > 3 ? std::atof(argv[3]) : 3.0;
  std::ifstream in{argv[2], std::ios::binary};
  if (!in) {
    std::cerr << "cannot read " << argv[2] << "\n";
    return 1;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string text = std::move(buffer).str();
  engine::Model tokenizer;
  const engine::Result<> loaded = engine::load(tokenizer, argv[1]);
  if (!loaded.ok()) {
    std::cerr << "cannot load " << argv[1] << ": " << loaded.error().message << "\n";
    return 1;
  }
  std::size_t whole = 0;
  const DoubleArray trie = lay_out(tokenizer, whole);

  std::vector<double> cpu;
  std::size_t tokens = 0;
  std::uint64_t sum = 0;
  double spent = 0;
  while (cpu.size() < 3 || spent < min_seconds) {
    const std::clock_t start = std::clock();
    sum = 0;
    tokens = walk(trie, text, sum);
    cpu.push_back(static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
    spent += cpu.back();
  }
  std::sort(cpu.begin(), cpu.end());
  const double median = cpu[cpu.size() / 2];
  // A pass too short for the CPU clock to see gives no rate (JSON has no infinity).
  const double rate = median > 0 ? static_cast<double>(text.size()) / 1e6 / median : 0.0;
  std::printf(
      "{\"whole_tokens\": %zu, \"states\": %zu, \"bytes\": %zu, \"tokens\": %zu, \"runs\": %zu, "
      "\"median_cpu_seconds\": %.6f, \"mb_per_cpu_second\": %.2f, \"checksum\": %llu}\n",
      whole,
      static_cast<std::size_t>(std::count_if(trie.cells.begin(), trie.cells.end(),
                                             [](std::uint32_t c) { return (c & kFree) != kFree; })),
      text.size(), tokens, cpu.size(), median, rate,
      static_cast<unsigned long long>(sum % 1000003));
  return 0;
}
