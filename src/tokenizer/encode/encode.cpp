#include "tokenizer/encode/encode.hpp"

namespace tokenizer {

std::vector<TokenId> encode(const MergeTable& merges, std::string_view text,
                            const InterruptCheck& interrupt) {
  return EncodeTables{merges, interrupt}.encode(merges, text, interrupt);
}

std::vector<TokenId> encode(const MergeTable& merges, const EncodeTables& tables,
                            std::string_view text, const InterruptCheck& interrupt) {
  std::vector<TokenId> out;
  encode(merges, tables, text, out, interrupt);
  return out;
}

void encode(const MergeTable& merges, const EncodeTables& tables, std::string_view text,
            std::vector<TokenId>& out, const InterruptCheck& interrupt) {
  // Tables left behind by an interrupted rebuild: correct ones for this call only, as a
  // reading call may not replace shared tables.
  if (!tables.built_from(merges)) {
    out = encode(merges, text, interrupt);
  } else {
    tables.encode(merges, text, out, interrupt);
  }
}

}  // namespace tokenizer
