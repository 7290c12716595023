// The fuzz targets' checks, replayed over their committed corpora (seeds and the inputs of
// faults found and fixed), so that every engine lane, sanitizers and 32-bit builds included,
// runs them without libFuzzer.
#define PAIRLOOM_FUZZ_REPLAY 1

#define LLVMFuzzerTestOneInput model_file_one_input
#include "model_file_fuzzer.cpp"
#undef LLVMFuzzerTestOneInput

#define LLVMFuzzerTestOneInput render_one_input
#define LLVMFuzzerInitialize render_initialize
#include "render_fuzzer.cpp"
#undef LLVMFuzzerTestOneInput
#undef LLVMFuzzerInitialize

#define LLVMFuzzerTestOneInput train_encode_one_input
#include "train_encode_fuzzer.cpp"
#undef LLVMFuzzerTestOneInput

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

struct Target {
  const char* name;
  int (*one_input)(const std::uint8_t*, std::size_t);
};

class FuzzCorpus : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpus, EveryInputKeepsTheProperties) {
  const std::filesystem::path folder =
      std::filesystem::path(PAIRLOOM_FUZZ_CORPUS) / GetParam().name;
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty());
  for (const auto& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    try {
      GetParam().one_input(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    } catch (const fuzz::PropertyBroken& broken) {
      ADD_FAILURE() << path.filename() << ": " << broken.what();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus,
                         ::testing::Values(Target{"model_file", model_file_one_input},
                                           Target{"render", render_one_input},
                                           Target{"train_encode", train_encode_one_input}),
                         [](const auto& target) { return std::string(target.param.name); });

}  // namespace
