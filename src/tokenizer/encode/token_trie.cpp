#include "tokenizer/encode/token_trie.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "tokenizer/support/error.hpp"

namespace tokenizer {

TrieBuilder::TrieBuilder() : nodes_(257, TrieNode{0, kNoTrieNode, kNoTrieNode, kNoTrieNode, 0, 0}) {
  nodes_[0].parent = kNoTrieNode;
  for (std::uint32_t b = 0; b < 256; ++b) {
    nodes_[1 + b].token = b;
    nodes_[1 + b].byte = static_cast<unsigned char>(b);
  }
}

void TrieBuilder::mark(std::uint32_t v, std::uint32_t token) {
  // Bytes have one encoding, so no two whole tokens spell the same ones.
  check(nodes_[v].token == kNoTrieNode, "two whole tokens spell the same bytes");
  nodes_[v].token = token;
}

std::uint32_t TrieBuilder::extend(std::uint32_t from, std::uint32_t tail, InterruptPacer& pacer) {
  spelling_.clear();
  for (std::uint32_t v = tail; v != 0; v = nodes_[v].parent) spelling_.push_back(nodes_[v].byte);
  std::uint32_t v = from;
  for (auto c = spelling_.rbegin(); c != spelling_.rend(); ++c) v = child(v, *c, pacer);
  return v;
}

std::uint32_t TrieBuilder::child(std::uint32_t v, unsigned char c, InterruptPacer& pacer) {
  // Along the sibling list while it is short; a node may have all 256 children, and the
  // children of such wide nodes are found by hash.
  const std::uint64_t key = std::uint64_t{v} << 8 | c;
  if (nodes_[v].children <= kListedChildren) {
    for (std::uint32_t w = nodes_[v].first_child; w != kNoTrieNode; w = nodes_[w].next_sibling) {
      if (nodes_[w].byte == c) return w;
    }
  } else if (const std::uint32_t* w = wide_.find(key)) {
    return *w;
  }
  const auto w = static_cast<std::uint32_t>(nodes_.size());
  push_back_paced(nodes_, TrieNode{v, kNoTrieNode, nodes_[v].first_child, kNoTrieNode, 0, c},
                  pacer);
  TrieNode& parent = nodes_[v];
  parent.first_child = w;
  if (++parent.children == kListedChildren + 1) {
    for (std::uint32_t u = w; u != kNoTrieNode; u = nodes_[u].next_sibling) {
      wide_.make_room(pacer);
      wide_[std::uint64_t{v} << 8 | nodes_[u].byte] = u;
    }
  } else if (parent.children > kListedChildren) {
    wide_.make_room(pacer);
    wide_[key] = w;
  }
  return w;
}

TokenTrie TokenTrie::lay_out(const std::vector<TrieNode>& nodes, InterruptPacer& pacer) {
  std::vector<std::uint32_t> base_of(257, 0);  // by cell
  std::vector<std::uint32_t> label_of(257, kFreeLabel);
  std::vector<std::uint32_t> token_of(257, kNoTrieNode);
  std::vector<bool> base_used(257, false);
  base_of[0] = 1;  // the root's children are the bytes
  base_used[1] = true;
  std::vector<std::uint32_t> cell_of(nodes.size(), kNoTrieNode);
  for (std::uint32_t b = 0; b < 256; ++b) {
    label_of[1 + b] = b;
    token_of[1 + b] = b;
    cell_of[1 + b] = 1 + b;
  }
  // The cells worth trying for a node's lowest child, found through skip links with path
  // compression: skip[k] is k for such a cell and otherwise leads towards the next one. A cell
  // leaves when it is taken, or when it has failed often enough (crowded by bases and cells
  // around it) that trying it again costs more than the space it could save.
  std::vector<std::uint32_t> skip(257);
  std::iota(skip.begin(), skip.end(), 1U);
  std::vector<std::uint8_t> failures(257, 0);
  auto grow = [&](std::size_t size) {
    for (std::size_t k = label_of.size(); k < size; ++k) {
      skip.push_back(static_cast<std::uint32_t>(k));
    }
    if (label_of.size() >= size) return;
    failures.resize(size, 0);
    label_of.resize(size, kFreeLabel);
    base_of.resize(size, 0);
    base_used.resize(size, false);
    token_of.resize(size, kNoTrieNode);
  };
  auto next_candidate_cell = [&skip](std::size_t k) {
    std::size_t found = k;
    while (found < skip.size() && skip[found] != found) found = skip[found];
    while (k < found && k < skip.size()) {
      const std::size_t next = skip[k];
      skip[k] = static_cast<std::uint32_t>(found);
      k = next;
    }
    return found;
  };
  std::vector<unsigned char> labels;
  for (std::uint32_t v = 1; v < nodes.size(); ++v) {
    pacer();
    labels.clear();
    for (std::uint32_t w = nodes[v].first_child; w != kNoTrieNode; w = nodes[w].next_sibling) {
      labels.push_back(nodes[w].byte);
    }
    // A leaf keeps base 0: its probes land on the root or a byte's cell, labelled otherwise.
    if (labels.empty()) continue;
    const unsigned char lowest = *std::min_element(labels.begin(), labels.end());
    std::size_t base = 0;
    for (std::size_t cell = next_candidate_cell(257);; cell = next_candidate_cell(cell + 1)) {
      base = cell - lowest;
      grow(base + 256);
      if (!base_used[base] && std::all_of(labels.begin(), labels.end(), [&](unsigned char c) {
            return label_of[base + c] == kFreeLabel;
          })) {
        break;
      }
      pacer(labels.size());
      if (++failures[cell] == 16) skip[cell] = static_cast<std::uint32_t>(cell + 1);
    }
    base_used[base] = true;
    base_of[cell_of[v]] = static_cast<std::uint32_t>(base);
    for (std::uint32_t w = nodes[v].first_child; w != kNoTrieNode; w = nodes[w].next_sibling) {
      const auto cell = static_cast<std::uint32_t>(base + nodes[w].byte);
      label_of[cell] = nodes[w].byte;
      skip[cell] = cell + 1;
      token_of[cell] = nodes[w].token;
      cell_of[w] = cell;
    }
  }
  if (label_of.size() > std::size_t{1} << (32 - kBaseShift)) return TokenTrie{};
  std::vector<std::uint32_t> words;
  words.reserve(label_of.size());
  for (std::size_t cell = 0; cell < label_of.size(); ++cell) {
    const std::uint32_t whole = token_of[cell] != kNoTrieNode ? kWholeBit : 0;
    words.push_back(base_of[cell] << kBaseShift | whole | label_of[cell]);
  }
  TokenTrie trie;
  trie.words_ = std::move(words);
  trie.tokens_ = std::move(token_of);
  return trie;
}

}  // namespace tokenizer
