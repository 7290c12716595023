// A plain, deliberately slow byte-pair encoder that the engine is checked against. It shares
// no code with the engine: every training step and every encoding round recounts the whole
// sequence into ordered maps and builds a new sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reference {

using Id = std::uint64_t;
using Pair = std::pair<Id, Id>;
using Sequence = std::vector<Id>;

/// One learned merge.
struct Merge {
  Pair pair;
  Id id;
  friend bool operator==(const Merge&, const Merge&) = default;
};

inline Sequence bytes_of(std::string_view text) {
  Sequence sequence;
  for (char c : text) sequence.push_back(static_cast<unsigned char>(c));
  return sequence;
}

inline std::map<Pair, std::uint64_t> count(const Sequence& sequence) {
  std::map<Pair, std::uint64_t> counts;
  for (std::size_t i = 0; i + 1 < sequence.size(); ++i) ++counts[{sequence[i], sequence[i + 1]}];
  return counts;
}

/// A new sequence with the occurrences of `pair`, taken from the left without overlap,
/// replaced by `id`.
inline Sequence replace(const Sequence& sequence, Pair pair, Id id) {
  Sequence out;
  for (std::size_t i = 0; i < sequence.size();) {
    if (i + 1 < sequence.size() && Pair{sequence[i], sequence[i + 1]} == pair) {
      out.push_back(id);
      i += 2;
    } else {
      out.push_back(sequence[i++]);
    }
  }
  return out;
}

/// The pair with the highest count and, among those, the smallest: the map runs in ascending
/// order and only a strictly higher count displaces the best so far.
inline std::optional<Pair> most_frequent(const std::map<Pair, std::uint64_t>& counts) {
  std::optional<Pair> best;
  std::uint64_t best_count = 0;
  for (const auto& [pair, n] : counts) {
    if (n > best_count) {
      best = pair;
      best_count = n;
    }
  }
  return best;
}

/// The merges training should learn on a fresh tokenizer, in order.
inline std::vector<Merge> train(std::string_view text, std::size_t vocab_size) {
  std::vector<Merge> merges;
  Sequence sequence = bytes_of(text);
  for (Id id = 256; id < vocab_size; ++id) {
    std::optional<Pair> pair = most_frequent(count(sequence));
    if (!pair) break;
    sequence = replace(sequence, *pair, id);
    merges.push_back({*pair, id});
  }
  return merges;
}

/// The bytes of each token that `merges` (learned in one training) create.
inline std::map<Id, std::string> token_bytes(const std::vector<Merge>& merges) {
  std::map<Id, std::string> bytes;
  for (Id b = 0; b < 256; ++b) bytes[b] = std::string(1, static_cast<char>(b));
  for (const Merge& merge : merges)
    bytes[merge.id] = bytes.at(merge.pair.first) + bytes.at(merge.pair.second);
  return bytes;
}

/// The ids encoding should give: each round merges the present pair with the smallest
/// (merge id, pair), until no present pair has a merge.
inline Sequence encode(std::string_view text, const std::map<Pair, Id>& merges) {
  Sequence sequence = bytes_of(text);
  for (;;) {
    std::set<Pair> present;
    for (std::size_t i = 0; i + 1 < sequence.size(); ++i)
      present.insert({sequence[i], sequence[i + 1]});
    std::optional<std::pair<Id, Pair>> best;
    for (const Pair& pair : present) {
      auto found = merges.find(pair);
      if (found == merges.end()) continue;
      std::pair<Id, Pair> candidate{found->second, pair};
      if (!best || candidate < *best) best = candidate;
    }
    if (!best) return sequence;
    sequence = replace(sequence, best->second, best->first);
  }
}

// ---- Inputs for comparisons ----

/// Alphabets of pieces that random texts are made of: few letters make many ties, multi-byte
/// characters make pairs inside characters, raw bytes make almost every pair distinct.
inline const std::vector<std::vector<std::string>>& alphabets() {
  static const std::vector<std::vector<std::string>> all = [] {
    std::vector<std::vector<std::string>> sets = {
        {"a", "b"},
        {"a", "b", "c", " "},
        {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "a", " "},  // é € 😀
    };
    std::vector<std::string> bytes;
    for (int b = 0; b < 256; ++b) bytes.emplace_back(1, static_cast<char>(b));
    sets.push_back(bytes);
    return sets;
  }();
  return all;
}

/// `pieces` random pieces of `alphabet`, joined.
inline std::string random_text(std::mt19937& rng, const std::vector<std::string>& alphabet,
                               std::size_t pieces) {
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string text;
  for (std::size_t i = 0; i < pieces; ++i) text += alphabet[pick(rng)];
  return text;
}

/// At least `size` bytes of Chinese and Japanese characters without spaces, phrases recurring as
/// in running text.
inline std::string unspaced_text(std::mt19937& rng, std::size_t size) {
  const std::vector<std::string> characters = {"人", "権", "宣", "言", "の", "に", "は", "を",
                                               "世", "界", "和", "平", "自", "由", "。", "、"};
  std::vector<std::string> phrases;
  for (int k = 0; k < 12; ++k) phrases.push_back(random_text(rng, characters, 2 + rng() % 6));
  std::string text;
  while (text.size() < size) {
    text +=
        rng() % 3 == 0 ? characters[rng() % characters.size()] : phrases[rng() % phrases.size()];
    if (rng() % 25 == 0) text += "\n";
  }
  return text;
}

/// `size` bytes of A, C, G and T in lines of 60 to 80: fresh bases and copies of earlier
/// segments with point mutations, as a genome repeats itself.
inline std::string dna_like(std::mt19937& rng, std::size_t size) {
  const char bases[] = "ACGT";
  std::string genome;
  while (genome.size() < size) {
    if (genome.size() > 200 && rng() % 2 == 0) {
      const std::size_t length = 20 + rng() % 180;
      std::string copy = genome.substr(rng() % (genome.size() - length), length);
      for (std::size_t k = 0; k < length / 30 + 1; ++k) copy[rng() % length] = bases[rng() % 4];
      genome += copy;
    } else {
      for (std::size_t k = 0, length = 10 + rng() % 90; k < length; ++k) genome += bases[rng() % 4];
    }
  }
  std::string text;
  for (std::size_t at = 0; at < genome.size() && text.size() < size;) {
    const std::size_t width = 60 + rng() % 21;
    text += genome.substr(at, width) + "\n";
    at += width;
  }
  return text.substr(0, size);
}

}  // namespace reference
