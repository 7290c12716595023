#include "tokenizer/io/vocab_file.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tokenizer/io/file_io.hpp"
#include "tokenizer/io/render.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/memory_budget.hpp"

namespace tokenizer {
namespace {

using Entry = std::pair<TokenId, const TokenBytes*>;

/// render_token, refusing with std::bad_alloc a rendering that could not fit in memory: a token
/// of control bytes grows sixfold.
std::string render_within_budget(const TokenBytes& bytes) {
  check_memory_budget(0, rendered_size(bytes));
  return render_token(bytes);
}

std::vector<Entry> entries_by_id(const Vocabulary& vocab) {
  std::vector<Entry> entries;
  entries.reserve(vocab.size());
  vocab.for_each([&](TokenId id, const TokenBytes& bytes) { entries.emplace_back(id, &bytes); });
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.first < b.first; });
  return entries;
}

Result<> write_listing(const Model& tokenizer, const FlatMap<TokenId, TokenPair>& made_from,
                       BufferedWriter& out, const InterruptCheck& interrupt) {
  const Vocabulary& vocab = tokenizer.vocab;
  // Paced by bytes rendered (the writer paces what it writes).
  InterruptPacer pace{interrupt};
  for (const auto& [id, bytes] : entries_by_id(vocab)) {
    pace(bytes->size());
    const std::string token = render_within_budget(*bytes);
    const TokenPair* pair = made_from.find(id);
    if (pair == nullptr) {
      PAIRLOOM_TRY(out.write("[", token, "] ", id, "\n"));
      continue;
    }
    const TokenBytes* left = vocab.find(pair->left);
    const TokenBytes* right = left ? vocab.find(pair->right) : nullptr;
    if (right == nullptr) {
      // The listing so far is still worth having; the fault is what the caller hears about.
      (void)out.flush();
      raise_fault("a merged token's part has no vocabulary entry");
    }
    pace(left->size() + right->size());
    const std::string left_text = render_within_budget(*left);
    const std::string right_text = render_within_budget(*right);
    PAIRLOOM_TRY(out.write("[", left_text, "][", right_text, "] -> [", token, "] ", id, "\n"));
  }
  return {};
}

}  // namespace

Result<> save_vocab(const Model& tokenizer, std::string_view path,
                    const InterruptCheck& interrupt) {
  // Merge id -> the pair it was made from. Where several merges share an id, the last in table
  // order decides.
  InterruptPacer pace{interrupt};
  FlatMap<TokenId, TokenPair> made_from;
  made_from.reserve(tokenizer.merges.size());
  for (const auto& [pair, id] : tokenizer.merges) {
    made_from.insert_or_assign(id, pair);
    pace();
  }

  Result<FileDescriptor> file = create_file(path, interrupt);
  if (!file.ok()) return std::move(file).error();
  BufferedWriter out{std::move(file).value(), interrupt};
  PAIRLOOM_TRY(write_listing(tokenizer, made_from, out, interrupt));
  return out.finish();
}

}  // namespace tokenizer
