// Encoding speed of the engine alone, without Python: loads a model file, builds its encoding
// tables, then encodes a text file over and over for at least MIN_SECONDS.
//
//   encode_engine MODEL_FILE TEXT [MIN_SECONDS] [REPEAT]
//
// REPEAT (default 1) concatenates the text that many times first, for the scaling runs.
// Prints one JSON object: the load and table-building seconds, the encoder the tables chose,
// the text's size, the tokens made, and the median wall and CPU seconds of one encode with the
// MB/s they give (CPU time is the steadier figure on a shared machine).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tokenizer/core/model.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/encode/encode_tables.hpp"
#include "tokenizer/io/model_file.hpp"

namespace {

namespace engine = tokenizer;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpu_seconds() {
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool read_file(const char* path, std::string& out) {
  std::ifstream in{path, std::ios::binary};
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  out = std::move(buffer).str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::cerr << "usage: encode_engine MODEL_FILE TEXT [MIN_SECONDS] [REPEAT]\n";
    return 2;
  }
  const double min_seconds = argc > 3 ? std::atof(argv[3]) : 3.0;
  const long repeat = argc > 4 ? std::max(1L, std::atol(argv[4])) : 1L;

  std::string once;
  if (!read_file(argv[2], once)) {
    std::cerr << "cannot read " << argv[2] << "\n";
    return 1;
  }
  std::string text;
  text.reserve(once.size() * static_cast<std::size_t>(repeat));
  for (long k = 0; k < repeat; ++k) text += once;

  engine::Model tokenizer;
  Clock::time_point start = Clock::now();
  const engine::Result<> loaded = engine::load(tokenizer, argv[1]);
  if (!loaded.ok()) {
    std::cerr << "cannot load " << argv[1] << ": " << loaded.error().message << "\n";
    return 1;
  }
  const double load_seconds = seconds_since(start);
  start = Clock::now();
  const engine::EncodeTables tables{tokenizer.merges};
  const double build_seconds = seconds_since(start);

  std::vector<double> wall;
  std::vector<double> cpu;
  std::size_t tokens = 0;
  const Clock::time_point all = Clock::now();
  while (wall.size() < 3 || seconds_since(all) < min_seconds) {
    start = Clock::now();
    const double cpu_start = cpu_seconds();
    const std::vector<engine::TokenId> ids = engine::encode(tokenizer.merges, tables, text);
    cpu.push_back(cpu_seconds() - cpu_start);
    wall.push_back(seconds_since(start));
    tokens = ids.size();
  }
  const double megabytes = static_cast<double>(text.size()) / 1e6;
  const double wall_median = median(wall);
  const double cpu_median = median(cpu);
  std::printf(
      "{\"load_seconds\": %.4f, \"tables_seconds\": %.4f, \"encoder\": \"%s\", \"bytes\": %zu, "
      "\"tokens\": %zu, \"runs\": %zu, \"median_seconds\": %.6f, \"mb_per_second\": %.2f, "
      "\"median_cpu_seconds\": %.6f, \"mb_per_cpu_second\": %.2f}\n",
      load_seconds, build_seconds, tables.backtracking() != nullptr ? "scan" : "queue", text.size(),
      tokens, wall.size(), wall_median, megabytes / wall_median, cpu_median,
      megabytes / cpu_median);
  return 0;
}
