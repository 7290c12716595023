// Encoding speed of the engine alone, without Python: loads a model file, builds its encoding
// tables, then encodes a text file over and over for at least MIN_SECONDS.
//
//   encode_engine MODEL_FILE TEXT [MIN_SECONDS] [REPEAT]
//
// REPEAT (default 1) concatenates the text that many times first, for the scaling runs.
// Prints one JSON object: the load and table-building seconds, the encoder the tables chose,
// the text's size, the tokens made, the median seconds of one encode and the MB/s it gives.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tokenizer/basic/encode.hpp"
#include "tokenizer/basic/encode_tables.hpp"
#include "tokenizer/basic/model_file.hpp"
#include "tokenizer/basic/state.hpp"

namespace {

namespace engine = tokenizer::basic;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
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

  engine::Tokenizer tokenizer;
  Clock::time_point start = Clock::now();
  const engine::IoResult<> loaded = engine::load(tokenizer, argv[1]);
  if (!loaded.ok()) {
    std::cerr << "cannot load " << argv[1] << ": " << loaded.error().message << "\n";
    return 1;
  }
  const double load_seconds = seconds_since(start);
  start = Clock::now();
  const engine::EncodeTables tables{tokenizer.merges};
  const double build_seconds = seconds_since(start);

  std::vector<double> times;
  std::size_t tokens = 0;
  const Clock::time_point all = Clock::now();
  while (times.size() < 3 || seconds_since(all) < min_seconds) {
    start = Clock::now();
    const std::vector<engine::TokenId> ids = engine::encode(tokenizer.merges, tables, text);
    times.push_back(seconds_since(start));
    tokens = ids.size();
  }
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  std::printf(
      "{\"load_seconds\": %.4f, \"tables_seconds\": %.4f, \"encoder\": \"%s\", \"bytes\": %zu, "
      "\"tokens\": %zu, \"runs\": %zu, \"median_seconds\": %.6f, \"mb_per_second\": %.2f}\n",
      load_seconds, build_seconds, tables.backtracking() != nullptr ? "scan" : "queue", text.size(),
      tokens, times.size(), median, static_cast<double>(text.size()) / 1e6 / median);
  return 0;
}
