// EncodeTables: everything encoding needs from one merge table, built once per table.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "tokenizer/core/model.hpp"
#include "tokenizer/core/types.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

class BacktrackEncoder;
class MergeLookup;

/// The merge lookup of a table and the fastest encoder the table allows: the left-to-right
/// scan for tables from one training or one load into a fresh object, the queue encoder for
/// any other, and recounting for tables or texts beyond 32 bits. Immutable once built, so any
/// number of threads may encode with it at once; whoever changes the merges builds new tables
/// (with exclusive access to them), never a reading call.
class EncodeTables {
 public:
  /// Tables for `merges`. Polls `interrupt` as they fill; a throw from it abandons the
  /// construction.
  explicit EncodeTables(const MergeTable& merges, const InterruptCheck& interrupt = {});
  ~EncodeTables();
  EncodeTables(EncodeTables&&) noexcept;
  EncodeTables& operator=(EncodeTables&&) noexcept;

  /// True when these tables were built from `merges` as it is now.
  bool built_from(const MergeTable& merges) const { return version_ == merges.version(); }

  /// The ids of `text` (see encode.hpp). `merges` is the table these were built from.
  std::vector<TokenId> encode(const MergeTable& merges, std::string_view text,
                              const InterruptCheck& interrupt = {}) const;
  /// The same into `out`, which is emptied first; its memory is used again where it suffices.
  void encode(const MergeTable& merges, std::string_view text, std::vector<TokenId>& out,
              const InterruptCheck& interrupt = {}) const;

  const MergeLookup& lookup() const { return *lookup_; }
  /// The left-to-right encoder, or null when the table does not have the form it needs.
  const BacktrackEncoder* backtracking() const { return backtracking_.get(); }

 private:
  std::unique_ptr<const MergeLookup> lookup_;
  std::unique_ptr<const BacktrackEncoder> backtracking_;
  std::uint64_t version_ = 0;
};

}  // namespace tokenizer
