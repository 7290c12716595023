// Fuzz target: the model-file reader. Whatever the bytes, loading them into a fresh tokenizer
// either fails with one of the reader's content messages, leaving the vocabulary untouched, or
// succeeds; and in both cases what the tokenizer then holds saves to a file that loads into
// another fresh tokenizer and saves again to the same bytes. A loaded table, however odd
// (pairs repeated, ids skipped, merges naming later or enormous ids), also encodes the input
// itself exactly as the plain reference encoder does.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "reference_bpe.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/io/model_file.hpp"
#include "tokenizer/io/vocab_file.hpp"

namespace {

using namespace tokenizer;
using fuzz::escaped;
using fuzz::MemoryFile;

/// Vocabulary bytes above which an input is not loaded: a few lines of merges can describe
/// tokens of gigabytes (each merge doubling the last), which the reader rightly builds, but a
/// fuzzer must not.
constexpr std::size_t kVocabByteCap = std::size_t{1} << 24;

/// Every message a content fault may carry. A file in memory cannot fail to be read, so no
/// system error may come back either.
bool is_content_message(const std::string& message) {
  static const std::set<std::string> messages = {
      "stream did not contain valid UTF-8",
      "missing version",
      "invalid version",
      "missing pattern",
      "missing number of special tokens",
      "not enough special tokens",
      "invalid special token entry",
      "invalid merge entry",
      "cannot parse integer from empty string",
      "invalid digit found in string",
      "number too large to fit in target type",
  };
  return messages.count(message) != 0;
}

/// The bytes build_vocab will hold for these tables on a fresh tokenizer, computed on sizes
/// alone and given up at `cap` (then more than `cap` comes back).
std::size_t planned_vocab_bytes(const Model& tokenizer, std::size_t cap) {
  FlatMap<TokenId, std::size_t> sizes;
  for (unsigned b = 0; b < 256; ++b) sizes[TokenId{b}] = 1;
  for (const auto& [pair, id] : tokenizer.merges) {
    const std::size_t* left = sizes.find(pair.left);
    const std::size_t* right = sizes.find(pair.right);
    if (left == nullptr || right == nullptr) continue;
    if (*left > cap || *right > cap - *left) return cap + 1;
    sizes[id] = *left + *right;
  }
  for (const auto& [text, id] : tokenizer.special_tokens) sizes[id] = text.size();
  std::size_t total = 0;
  bool over = false;
  sizes.for_each([&](TokenId, std::size_t size) {
    if (over || size > cap - total) {
      over = true;
      return;
    }
    total += size;
  });
  return over ? cap + 1 : total;
}

/// Loads `bytes` into `tokenizer`; the failure's message, or none.
std::optional<std::string> load_bytes(Model& tokenizer, std::string_view bytes) {
  MemoryFile file;
  file.write(bytes);
  Result<> result = load(tokenizer, file.path());
  if (result.ok()) return std::nullopt;
  FUZZ_CHECK(result.error().kind == ErrorKind::invalid_data,
             "not a content fault: " + result.error().message);
  return result.error().message;
}

std::string saved(const Model& tokenizer) {
  MemoryFile file;
  Result<> result = save_model(tokenizer, file.path());
  FUZZ_CHECK(result.ok(), result.error().message);
  return file.read();
}

/// Saves `tokenizer`, loads that into a fresh tokenizer and checks that both hold the same
/// tables and that the second one saves to the same bytes.
void check_save_reload(const Model& tokenizer) {
  const std::string first = saved(tokenizer);
  FUZZ_CHECK(first.starts_with(std::string(VERSION) + "\n" + tokenizer.pattern + "\n"),
             escaped(first));
  Model again;
  std::optional<std::string> failure = load_bytes(again, first);
  FUZZ_CHECK(!failure, "saved file does not load: " + failure.value_or("") + "\n" + escaped(first));

  // A pattern line ending in a carriage return loses it on reading, as line ends do; the
  // format has no way to carry it, so that one byte is all that may change.
  std::string expected = first;
  std::string pattern = tokenizer.pattern;
  if (pattern.ends_with('\r')) {
    pattern.pop_back();
    expected.erase(VERSION.size() + 1 + pattern.size(), 1);
  }
  FUZZ_CHECK(again.pattern == pattern, escaped(again.pattern) + " vs " + escaped(pattern));

  FUZZ_CHECK(again.special_tokens.size() == tokenizer.special_tokens.size(), "special tokens");
  for (std::size_t i = 0; i < tokenizer.special_tokens.size(); ++i) {
    FUZZ_CHECK(again.special_tokens[i] == tokenizer.special_tokens[i],
               "special token " + std::to_string(i));
  }
  // The merges come back in the same order, numbered by position.
  FUZZ_CHECK(again.merges.size() == tokenizer.merges.size(), "merge count");
  for (std::size_t i = 0; i < tokenizer.merges.size(); ++i) {
    FUZZ_CHECK(again.merges[i].first == tokenizer.merges[i].first, "merge " + std::to_string(i));
    FUZZ_CHECK(again.merges[i].second == kFirstMergeId + i, "merge id " + std::to_string(i));
  }

  const std::string second = saved(again);
  FUZZ_CHECK(second == expected, escaped(second) + "\n  vs\n" + escaped(expected));
}

/// Whether the listing can be written without its documented fault: every id that a merge
/// makes and that has an entry must have entries for both parts too.
bool listing_has_all_parts(const Model& tokenizer) {
  for (const auto& [pair, id] : tokenizer.merges) {
    if (tokenizer.vocab.find(id) == nullptr) continue;
    if (tokenizer.vocab.find(pair.left) == nullptr || tokenizer.vocab.find(pair.right) == nullptr)
      return false;
  }
  return true;
}

/// Encoding some text with the loaded table agrees with the reference encoder.
void check_table_encoding(const Model& tokenizer, std::string_view text) {
  std::map<reference::Pair, reference::Id> merges;
  for (const auto& [pair, id] : tokenizer.merges) merges[{pair.left, pair.right}] = id;
  const reference::Sequence expected = reference::encode(text, merges);
  const std::vector<TokenId> ids = encode(tokenizer.merges, text);
  FUZZ_CHECK(std::vector<TokenId>(expected.begin(), expected.end()) == ids,
             "encoding " + escaped(text) + " differs from the reference");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input{reinterpret_cast<const char*>(data), size};

  // First read the tables without building anything: the input followed by a line that no
  // section accepts makes the reader stop before the vocabulary is built. The tables it leaves
  // are those a successful load would build from.
  {
    Model probe;
    std::string probe_input{input};
    probe_input += "\n\x01";
    (void)load_bytes(probe, probe_input);
    if (planned_vocab_bytes(probe, kVocabByteCap) > kVocabByteCap) return -1;
  }

  Model tokenizer;
  std::optional<std::string> failure = load_bytes(tokenizer, input);
  if (failure) {
    FUZZ_CHECK(is_content_message(*failure), "unexpected message: " + *failure);
    // The vocabulary is built only after a whole file was read.
    FUZZ_CHECK(tokenizer.vocab.empty(), "failed load changed the vocabulary");
  } else {
    FUZZ_CHECK(tokenizer.vocab.size() >= 256, "vocabulary lacks byte tokens");
    for (unsigned b = 0; b < 256; ++b)
      FUZZ_CHECK(tokenizer.vocab.find(TokenId{b}) != nullptr, "byte");
    if (listing_has_all_parts(tokenizer)) {
      MemoryFile listing;
      Result<> result = save_vocab(tokenizer, listing.path());
      FUZZ_CHECK(result.ok(), result.error().message);
      const std::string text = listing.read();
      FUZZ_CHECK(std::count(text.begin(), text.end(), '\n') ==
                     static_cast<std::ptrdiff_t>(tokenizer.vocab.size()),
                 "one listing line per vocabulary entry");
    }
  }
  if (!tokenizer.merges.empty()) check_table_encoding(tokenizer, input.substr(0, 512));
  // Whatever a load left behind, complete or partial, saves and reloads to itself.
  check_save_reload(tokenizer);
  return 0;
}
