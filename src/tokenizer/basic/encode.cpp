#include "tokenizer/basic/encode.hpp"

namespace tokenizer::basic {

std::vector<TokenId> encode(const MergeTable& merges, std::string_view text,
                            const InterruptCheck& interrupt) {
  return EncodeTables{merges, interrupt}.encode(merges, text, interrupt);
}

std::vector<TokenId> encode(const MergeTable& merges, const EncodeTables& tables,
                            std::string_view text, const InterruptCheck& interrupt) {
  // Tables left behind by an interrupted rebuild: correct ones for this call only, as a
  // reading call may not replace shared tables.
  if (!tables.built_from(merges)) return encode(merges, text, interrupt);
  return tables.encode(merges, text, interrupt);
}

}  // namespace tokenizer::basic
