#include "tokenizer/encode/encode_tables.hpp"

#include "tokenizer/encode/backtrack_encoder.hpp"
#include "tokenizer/encode/merge_lookup.hpp"
#include "tokenizer/encode/queue_encoder.hpp"
#include "tokenizer/encode/recounting_encoder.hpp"

namespace tokenizer {

EncodeTables::EncodeTables(const MergeTable& merges, const InterruptCheck& interrupt)
    : lookup_{std::make_unique<const MergeLookup>(merges, interrupt)},
      backtracking_{BacktrackEncoder::build(merges, *lookup_, interrupt)},
      version_{merges.version()} {}

EncodeTables::~EncodeTables() = default;
EncodeTables::EncodeTables(EncodeTables&&) noexcept = default;
EncodeTables& EncodeTables::operator=(EncodeTables&&) noexcept = default;

std::vector<TokenId> EncodeTables::encode(const MergeTable& merges, std::string_view text,
                                          const InterruptCheck& interrupt) const {
  std::vector<TokenId> out;
  encode(merges, text, out, interrupt);
  return out;
}

void EncodeTables::encode(const MergeTable& merges, std::string_view text,
                          std::vector<TokenId>& out, const InterruptCheck& interrupt) const {
  out.clear();
  if (!lookup_->complete() || text.size() > kQueuedEncodeLimit) {
    out = encode_by_recounting(merges, text, interrupt);
  } else if (backtracking_ != nullptr) {
    interrupt();
    out.reserve(text.size() / 4 + 16);
    backtracking_->encode(*lookup_, text, out, interrupt);
  } else {
    out = encode_queued(*lookup_, text, interrupt);
  }
}

}  // namespace tokenizer
