// The trie of whole tokens that the backtracking scan walks for the longest token at each
// position: built node by node as the whole tokens are found (TrieBuilder), then laid out as a
// double array of one word per state (TokenTrie), where each byte of the walk costs one load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tokenizer/support/flat_map.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"

namespace tokenizer {

/// No node, no token.
inline constexpr std::uint32_t kNoTrieNode = UINT32_MAX;

/// A trie node while the trie is being built: children in a list.
struct TrieNode {
  std::uint32_t parent;
  std::uint32_t first_child;
  std::uint32_t next_sibling;
  std::uint32_t token;     // the whole token spelled by the path to here, or kNoTrieNode
  std::uint16_t children;  // how many
  unsigned char byte;      // the byte on the edge from the parent
};

/// The trie of whole tokens while it is being built. Node 0 is the root, node 1 + b the byte b.
class TrieBuilder {
 public:
  TrieBuilder();

  /// The nodes made so far, parents before children.
  const std::vector<TrieNode>& nodes() const { return nodes_; }

  /// Makes node `v` spell `token` (which must be the first to end there).
  void mark(std::uint32_t v, std::uint32_t token);

  /// The node spelling the bytes of node `from` followed by those of node `tail`, made as
  /// needed. The node list and the index of wide nodes grow in steps paced by `pacer`.
  std::uint32_t extend(std::uint32_t from, std::uint32_t tail, InterruptPacer& pacer);

 private:
  /// The child of node `v` by byte `c`, made as needed.
  std::uint32_t child(std::uint32_t v, unsigned char c, InterruptPacer& pacer);

  static constexpr std::uint16_t kListedChildren = 8;

  std::vector<TrieNode> nodes_;
  FlatMap<std::uint64_t, std::uint32_t> wide_;  // (parent << 8 | byte) -> child, wide parents
  std::vector<unsigned char> spelling_;
};

/// The longest whole token at the start of a text, and its length.
struct TrieMatch {
  std::uint32_t token;
  std::uint32_t length;
};

/// The trie as a double array of one word per state: the child of state s by byte c is state
/// base(s) + c when that state's label is c. No two states with children share a base, so the
/// label alone tells whose child a state is. A word holds base << 10 | whole << 9 | label, the
/// label 0x1ff in cells that are no state. State 0 is the root, state 1 + b the byte b.
class TokenTrie {
 public:
  /// Lays out the nodes of a TrieBuilder, or gives an empty trie when the bases would not fit
  /// their bits. Nodes are placed in the order they were made, which is the order of the first
  /// token through them: parents before children, and the paths of the earliest, most used
  /// merges packed together at the front, where they share cache lines. Each node's children
  /// take the cells base + byte for the first unused base where all those are free.
  static TokenTrie lay_out(const std::vector<TrieNode>& nodes, InterruptPacer& pacer);

  /// True for the trie that could not be laid out.
  bool empty() const { return words_.empty(); }

  /// The longest whole token spelled by text[at, size) from its start: at least the byte
  /// text[at] (at < size).
  [[gnu::always_inline]] TrieMatch longest(const unsigned char* text, std::size_t at,
                                           std::size_t size) const {
    const std::uint32_t* trie = words_.data();
    std::uint32_t state = 1U + text[at];
    std::uint32_t word = trie[state];
    std::uint32_t best = state;
    std::size_t best_end = at + 1;
    for (std::size_t i = at + 1; i < size; ++i) {
      const std::uint32_t c = text[i];
      const std::uint32_t next = (word >> kBaseShift) + c;
      const std::uint32_t next_word = trie[next];
      if ((next_word & kLabelMask) != c) break;
      state = next;
      word = next_word;
      if ((word & kWholeBit) != 0) {
        best = state;
        best_end = i + 1;
      }
    }
    return TrieMatch{tokens_[best], static_cast<std::uint32_t>(best_end - at)};
  }

 private:
  // Fields of a word.
  static constexpr std::uint32_t kLabelMask = 0x1ff;
  static constexpr std::uint32_t kFreeLabel = 0x1ff;  // no byte: never matches
  static constexpr std::uint32_t kWholeBit = 0x200;
  static constexpr unsigned kBaseShift = 10;

  std::vector<std::uint32_t> words_;
  std::vector<std::uint32_t> tokens_;  // by state: the whole token spelled, or kNoTrieNode
};

}  // namespace tokenizer
