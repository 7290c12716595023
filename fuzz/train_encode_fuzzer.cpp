// Fuzz target: training, encoding and decoding on arbitrary bytes.
//
// Input: byte 0 sets vocab_size (256 + its low seven bits) and, by its top bit, whether the
// trainer uses its 64-bit positions (normally kept for huge texts); byte 1 the thread count of
// a second training (low two bits) and where the rest is cut into a training text T and
// another text U (the upper six bits). Checked:
//  - training learns the merges of the plain reference trainer, for every num_threads, with
//    ids 256, 257, ... in order, at most vocab_size - 256 of them, and a vocabulary of the 256
//    bytes plus one token per merge, each the concatenation of its parts; training that stops
//    early has merged the text down to at most one token;
//  - encoding T, U and T + U gives the reference encoder's ids, whose token bytes concatenate
//    back to the text; decoding them gives the text's own rendering whenever no token boundary
//    falls inside a character, and the text itself when it also is valid UTF-8 without controls;
//  - after a second training on U the table holds repeated ids, and encoding still agrees with
//    the reference (ties between pairs of one id go to the smaller pair).
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "reference_bpe.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/io/decode.hpp"
#include "tokenizer/io/render.hpp"
#include "tokenizer/train/incremental_trainer.hpp"
#include "tokenizer/train/train.hpp"

namespace {

using namespace tokenizer;
using fuzz::escaped;

std::string ids_text(const std::vector<TokenId>& ids) {
  std::string out;
  for (TokenId id : ids) out += std::to_string(id) + " ";
  return out;
}

std::vector<reference::Merge> merges_of(const Model& tokenizer) {
  std::vector<reference::Merge> merges;
  for (const auto& [pair, id] : tokenizer.merges) merges.push_back({{pair.left, pair.right}, id});
  return merges;
}

std::map<reference::Pair, reference::Id> merge_map(const Model& tokenizer) {
  std::map<reference::Pair, reference::Id> map;
  for (const auto& [pair, id] : tokenizer.merges) map[{pair.left, pair.right}] = id;
  return map;
}

Model trained(std::string_view text, std::size_t vocab_size, std::size_t num_threads) {
  Model tokenizer;
  tokenizer.num_threads = num_threads;
  train(tokenizer, text, vocab_size);
  return tokenizer;
}

void check_training(const Model& tokenizer, std::string_view text, std::size_t vocab_size) {
  const std::size_t learned = tokenizer.merges.size();
  FUZZ_CHECK(learned <= vocab_size - 256, "too many merges");
  FUZZ_CHECK(tokenizer.vocab.size() == 256 + learned, "vocabulary size");
  for (unsigned b = 0; b < 256; ++b) {
    const TokenBytes* bytes = tokenizer.vocab.find(TokenId{b});
    FUZZ_CHECK(bytes != nullptr && *bytes == std::string(1, static_cast<char>(b)), "byte token");
  }
  for (std::size_t k = 0; k < learned; ++k) {
    const auto& [pair, id] = tokenizer.merges[k];
    FUZZ_CHECK(id == kFirstMergeId + k, "merge ids out of order");
    FUZZ_CHECK(pair.left < id && pair.right < id, "merge of a later token");
    const TokenBytes* left = tokenizer.vocab.find(pair.left);
    const TokenBytes* right = tokenizer.vocab.find(pair.right);
    const TokenBytes* whole = tokenizer.vocab.find(id);
    FUZZ_CHECK(left && right && whole && *whole == *left + *right, "token is not its parts");
  }
  if (learned < vocab_size - 256) {
    FUZZ_CHECK(encode(tokenizer.merges, text).size() <= 1, "training stopped with pairs left");
  }
  const std::vector<reference::Merge> expected = reference::train(text, vocab_size);
  FUZZ_CHECK(merges_of(tokenizer) == expected, "merges differ from the reference trainer");
}

/// Offsets at which a character (or a maximal ill-formed part) of `text` ends.
std::vector<bool> unit_ends(std::string_view text) {
  std::vector<bool> ends(text.size() + 1, false);
  ends[0] = true;
  for (std::size_t at = 0; at < text.size();) {
    at += next_utf8_unit(text.substr(at)).length;
    ends[at] = true;
  }
  return ends;
}

bool has_control(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const Utf8Unit unit = next_utf8_unit(text.substr(at));
    const char32_t c = unit.code_point;
    if (unit.well_formed && (c < 0x20 || (c >= 0x7F && c <= 0x9F))) return true;
    at += unit.length;
  }
  return false;
}

void check_encoding(const Model& tokenizer, std::string_view text) {
  const std::vector<TokenId> ids = EncodeTables{tokenizer.merges}.encode(tokenizer.merges, text);
  const reference::Sequence expected = reference::encode(text, merge_map(tokenizer));
  FUZZ_CHECK(std::vector<TokenId>(expected.begin(), expected.end()) == ids,
             "text " + escaped(text) + "\n got " + ids_text(ids));
  FUZZ_CHECK(encode(tokenizer.merges, text) == ids, "encoding from the bare table differs");

  // The tokens' bytes, joined, are the text; note where the boundaries fall.
  const std::vector<bool> ends = unit_ends(text);
  bool whole_characters = true;
  std::string joined;
  for (TokenId id : ids) {
    const TokenBytes* bytes = tokenizer.vocab.find(id);
    FUZZ_CHECK(bytes != nullptr, "encoding gave an id without a token: " + std::to_string(id));
    joined += *bytes;
    if (joined.size() <= text.size() && !ends[joined.size()]) whole_characters = false;
  }
  FUZZ_CHECK(joined == text, "tokens do not spell the text " + escaped(text));

  Result<std::string> decoded = decode(tokenizer.vocab, ids);
  FUZZ_CHECK(decoded.ok(), decoded.error().message);
  if (whole_characters) {
    FUZZ_CHECK(decoded.value() == render_token(text), "decoding is not the rendering");
    if (is_valid_utf8(text) && !has_control(text)) {
      FUZZ_CHECK(decoded.value() == text, "decoding does not give the text back");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return -1;
  const std::size_t vocab_size = 256 + (data[0] & 0x7Fu);
  struct WideIndexes {
    explicit WideIndexes(bool wide) { IncrementalTrainer::force_wide_for_testing(wide); }
    ~WideIndexes() { IncrementalTrainer::force_wide_for_testing(false); }
  } wide_indexes{(data[0] & 0x80u) != 0};
  const std::size_t low_bits = data[1] & 3u;
  const std::size_t other_threads = low_bits == 1 ? 0 : low_bits;  // 0, 2 or 3
  const std::string_view rest{reinterpret_cast<const char*>(data) + 2, size - 2};
  const std::size_t cut = rest.size() * (data[1] >> 2) / 63;
  const std::string_view first = rest.substr(0, cut);
  const std::string_view second = rest.substr(cut);

  // The first training in the linked layout, the threaded one in the packed layout.
  struct Layouts {
    ~Layouts() { IncrementalTrainer::force_layout_for_testing(TrainerLayout::automatic); }
  } layouts;
  IncrementalTrainer::force_layout_for_testing(TrainerLayout::linked);
  Model tokenizer = trained(first, vocab_size, 1);
  check_training(tokenizer, first, vocab_size);
  IncrementalTrainer::force_layout_for_testing(TrainerLayout::packed);
  const Model threaded = trained(first, vocab_size, other_threads);
  IncrementalTrainer::force_layout_for_testing(TrainerLayout::automatic);
  FUZZ_CHECK(merges_of(threaded) == merges_of(tokenizer),
             "num_threads " + std::to_string(other_threads) + " in the packed layout learned " +
                 "other merges");
  check_encoding(tokenizer, first);
  check_encoding(tokenizer, second);
  check_encoding(tokenizer, rest);

  // A second training on the other text: ids from 256 again, pairs of the first training kept.
  train(tokenizer, second, vocab_size);
  const std::vector<TokenId> ids = encode(tokenizer.merges, rest);
  const reference::Sequence expected = reference::encode(rest, merge_map(tokenizer));
  FUZZ_CHECK(std::vector<TokenId>(expected.begin(), expected.end()) == ids,
             "after retraining: text " + escaped(rest) + "\n got " + ids_text(ids));
  return 0;
}
