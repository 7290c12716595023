// The engine's merge table in the form the reference encoder takes.
#pragma once

#include <map>

#include "reference_bpe.hpp"
#include "tokenizer/core/model.hpp"

namespace tokenizer {

inline std::map<reference::Pair, reference::Id> reference_table(const MergeTable& merges) {
  std::map<reference::Pair, reference::Id> table;
  for (const auto& [pair, id] : merges) table[{pair.left, pair.right}] = id;
  return table;
}

}  // namespace tokenizer
