// Where the test corpora are: the directory PAIRLOOM_CORPORA names, else ../shared/corpora
// beside the source tree.
#pragma once

#include <cstdlib>
#include <filesystem>

namespace tokenizer {

inline std::filesystem::path corpora_dir() {
  if (const char* dir = std::getenv("PAIRLOOM_CORPORA"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  return std::filesystem::path{PAIRLOOM_SOURCE_DIR} / ".." / "shared" / "corpora";
}

}  // namespace tokenizer
