// Performance notes (English text, byte-level tables of 4,096 and 32,768 tokens, one core of a
// machine shared with other jobs; CPU-time medians of runs taken in turns, and callgrind's
// counts with a 32 KiB L1 and a 1 MiB L2, per MB encoded):
//
// - Where the time goes: a third of the instructions and over half of the L1 misses in the trie
//   walk (one dependent load per byte, the walk running past the longest whole token until a
//   byte has no child: 1.4 steps per byte, two thirds of them L1 misses at 32,768 tokens);
//   a fifth in `edges_apart` for large tables (a quarter of the seams reach it, 3.4 steps and
//   1.4 hashed lookups each); the rest in the masks, the candidate's Token record (64 bytes per
//   id: 2 MiB for 32,768 ids) and the backtracking (a quarter of the tokens placed are taken
//   back). Building the Python list takes about an eighth of a call from Python.
// - The scan is bound by latency, not by instructions: several changes that cut instructions
//   by 5-20% were slower. Kept: `separate`'s mask tests inlined into the loop (4-5% faster).
// - Tried and dropped: a per-call direct-mapped cache of `separate` answers by (a, b), and one
//   of `edges_apart` answers only (pairs that reach the walk are diverse: 54,000 distinct in
//   95,000 per MB, so a small cache misses most and costs every call); 32-byte Token records
//   with 32-bit masks (the weaker masks send more seams to the walk); the token id in the
//   high half of 64-bit trie words instead of trie_tokens_ (fewer instructions and L1 misses,
//   but the trie's doubled footprint makes it 8-20% slower); the walk keeping only its last
//   whole state, its length read from the token's record (5% fewer instructions, 10% slower:
//   the next walk then waits for that record); the tokens stacked in an array of their own and
//   appended to `out` at the end (fewer instructions, 12% slower at 4,096 tokens: one more
//   buffer through the caches); polls counted down per 256 tokens (no difference); prefetching
//   each whole match's Token record during the walk (slower); two scans stepped in turn, over
//   halves of the text cut where two bytes can never be joined (such cuts come every 26 bytes
//   at 4,096 tokens), for two chains of loads in flight: 30-40% slower, as the walk's end
//   mispredicts in each and every miss flushes both; the walk's first 2-6 steps without a
//   branch on its end (a conditional move to a dead word of base 0): 5-25% slower, as each
//   step's load then waits for the previous step's compare, where a predicted branch does not.
// - Also dropped, at 32,768 tokens (within 2% either way, or slower): the records split into
//   32 bytes of masks and the rest elsewhere (half the footprint; doubling it to 128 bytes is 13%
//   slower, but halving gains nothing); the candidate's length taken from the walk, so that the
//   first mask test does not wait for its record; prefetching the token id of each whole state
//   met in the walk; prefetching both possible next parts in `edges_apart`; and, again, a cache
//   of `edges_apart` answers sized to the text, on 25 MB.
// - Not reached: 150 MB/s for the engine alone. Where the time goes at 32,768 tokens (perf, per
//   MB): 173,000 tokens placed, 288,000 candidates tried, 97,000 seams reaching `edges_apart`
//   with 404,000 steps; samples gather on the candidate's record (a quarter), the trie's words
//   (a sixth), the hashed lookups of the walks (a tenth) and the token id of the walk's end.
//   The walk alone, with no checks and no output (bench/trie_walk.cpp), runs at 150-157 MB/s
//   on 64 bits and 134-142 MB/s on 32 bits for this table: a scan that walks the trie byte by
//   byte cannot reach 150 MB/s on 32 bits. 4,096 tokens: the walk alone 192 MB/s, the scan 93.
// - Building the tables: the trie's children were found along sibling lists, 256 long for
//   tables whose tokens share two-byte prefixes (10 s for 2,000,000 such merges); wide nodes
//   now find their children by hash (3 s, most of it the double-array layout and the
//   joinable-byte sets).
#include "tokenizer/encode/backtrack_encoder.hpp"

#include <algorithm>
#include <array>
#include <numeric>

#include "tokenizer/support/flat_map.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"

namespace tokenizer::basic {
namespace {

// Units of work for one read of a table by id, where ids far apart are read one after the
// other: in tables of millions of merges each such read misses the caches.
constexpr std::size_t kScatteredReads = 4;

constexpr std::uint32_t kNone = MergeLookup::kNone;

// Building the trie may spell this many bytes (at most that many states); tables that need
// more (pathological ones, where every merge doubles the last token) are left to the queue
// encoder. Trie bases take 22 bits.
constexpr std::size_t kStateBudget = std::size_t{1} << 21;

// Fields of a trie word.
constexpr std::uint32_t kLabelMask = 0x1ff;
constexpr std::uint32_t kFreeLabel = 0x1ff;  // no byte: never matches
constexpr std::uint32_t kWholeBit = 0x200;
constexpr unsigned kBaseShift = 10;

/// One of 64 bits for two adjacent bytes.
unsigned pair_hash(unsigned char first, unsigned char second) {
  return (static_cast<std::uint32_t>(first) << 8 | second) * 0x9e3779b1U >> 26;
}

/// A trie node while the trie is being built: children in a list.
struct BuildNode {
  std::uint32_t parent;
  std::uint32_t first_child;
  std::uint32_t next_sibling;
  std::uint32_t token;     // the whole token spelled by the path to here, or kNone
  std::uint16_t children;  // how many
  unsigned char byte;      // the byte on the edge from the parent
};

/// The trie of whole tokens while it is being built. Node 0 is the root, node 1 + b the byte b.
class BuildTrie {
 public:
  BuildTrie() : nodes_(257, BuildNode{0, kNone, kNone, kNone, 0, 0}) {
    nodes_[0].parent = kNone;
    for (std::uint32_t b = 0; b < 256; ++b) {
      nodes_[1 + b].token = b;
      nodes_[1 + b].byte = static_cast<unsigned char>(b);
    }
  }

  const std::vector<BuildNode>& nodes() const { return nodes_; }

  /// Makes node `v` spell `token` (which must be the first to end there).
  void mark(std::uint32_t v, std::uint32_t token) {
    // Bytes have one encoding, so no two whole tokens spell the same ones.
    check(nodes_[v].token == kNone, "two whole tokens spell the same bytes");
    nodes_[v].token = token;
  }

  /// The node spelling the bytes of node `from` followed by those of node `tail`, made as
  /// needed. The node list and the index of wide nodes grow in steps paced by `pacer`.
  std::uint32_t extend(std::uint32_t from, std::uint32_t tail, InterruptPacer& pacer) {
    spelling_.clear();
    for (std::uint32_t v = tail; v != 0; v = nodes_[v].parent) spelling_.push_back(nodes_[v].byte);
    std::uint32_t v = from;
    for (auto c = spelling_.rbegin(); c != spelling_.rend(); ++c) v = child(v, *c, pacer);
    return v;
  }

 private:
  std::uint32_t child(std::uint32_t v, unsigned char c, InterruptPacer& pacer) {
    // Along the sibling list while it is short; a node may have all 256 children, and the
    // children of such wide nodes are found by hash.
    const std::uint64_t key = std::uint64_t{v} << 8 | c;
    if (nodes_[v].children <= kListedChildren) {
      for (std::uint32_t w = nodes_[v].first_child; w != kNone; w = nodes_[w].next_sibling) {
        if (nodes_[w].byte == c) return w;
      }
    } else if (const std::uint32_t* w = wide_.find(key)) {
      return *w;
    }
    const auto w = static_cast<std::uint32_t>(nodes_.size());
    push_back_paced(nodes_, BuildNode{v, kNone, nodes_[v].first_child, kNone, 0, c}, pacer);
    BuildNode& parent = nodes_[v];
    parent.first_child = w;
    if (++parent.children == kListedChildren + 1) {
      for (std::uint32_t u = w; u != kNone; u = nodes_[u].next_sibling) {
        wide_.make_room(pacer);
        wide_[std::uint64_t{v} << 8 | nodes_[u].byte] = u;
      }
    } else if (parent.children > kListedChildren) {
      wide_.make_room(pacer);
      wide_[key] = w;
    }
    return w;
  }

  static constexpr std::uint16_t kListedChildren = 8;

  std::vector<BuildNode> nodes_;
  FlatMap<std::uint64_t, std::uint32_t> wide_;  // (parent << 8 | byte) -> child, wide parents
  std::vector<unsigned char> spelling_;
};

/// The trie laid out as a double array (see BacktrackEncoder::trie_), or empty when the bases
/// would not fit their bits. Nodes are placed in the order they were made, which is the order
/// of the first token through them: parents before children, and the paths of the earliest,
/// most used merges packed together at the front, where they share cache lines. Each node's
/// children take the cells base + byte for the first unused base where all those are free.
struct DoubleArray {
  std::vector<std::uint32_t> words;
  std::vector<std::uint32_t> tokens;
};

DoubleArray lay_out(const std::vector<BuildNode>& nodes, InterruptPacer& pacer) {
  std::vector<std::uint32_t> base_of(257, 0);  // by cell
  std::vector<std::uint32_t> label_of(257, kFreeLabel);
  std::vector<std::uint32_t> token_of(257, kNone);
  std::vector<bool> base_used(257, false);
  base_of[0] = 1;  // the root's children are the bytes
  base_used[1] = true;
  std::vector<std::uint32_t> cell_of(nodes.size(), kNone);
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
    token_of.resize(size, kNone);
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
    for (std::uint32_t w = nodes[v].first_child; w != kNone; w = nodes[w].next_sibling) {
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
    for (std::uint32_t w = nodes[v].first_child; w != kNone; w = nodes[w].next_sibling) {
      const auto cell = static_cast<std::uint32_t>(base + nodes[w].byte);
      label_of[cell] = nodes[w].byte;
      skip[cell] = cell + 1;
      token_of[cell] = nodes[w].token;
      cell_of[w] = cell;
    }
  }
  if (label_of.size() > std::size_t{1} << (32 - kBaseShift)) return DoubleArray{};
  std::vector<std::uint32_t> words;
  words.reserve(label_of.size());
  for (std::size_t cell = 0; cell < label_of.size(); ++cell) {
    const std::uint32_t whole = token_of[cell] != kNone ? kWholeBit : 0;
    words.push_back(base_of[cell] << kBaseShift | whole | label_of[cell]);
  }
  return DoubleArray{std::move(words), std::move(token_of)};
}

}  // namespace

bool BacktrackEncoder::edges_apart(const MergeLookup& lookup, const Parts* parts, std::uint32_t a,
                                   std::uint32_t b, std::uint32_t limit, std::size_t* steps,
                                   InterruptPacer* pacer) {
  // Walks back in time from (a, b): the tokens at the seam are one of a's right edge and one
  // of b's left edge. Each step undoes the later made of the two; before it was made, its part
  // on the seam's side was at the seam, until the undone merge consumed it. The limit is that
  // of the token undone last, the earliest of all so far (see Parts). Most edge tokens take
  // part in no early enough merge on the seam's side: no lookup then.
  Parts left = parts[a];
  Parts right = parts[b];
  for (;;) {
    if (steps != nullptr) {
      ++*steps;
      if (pacer != nullptr) (*pacer)(kScatteredReads);
    }
    if (left.first_as_left < limit && right.first_as_right < limit && lookup.find(a, b) < limit) {
      return false;
    }
    if (a > b) {
      if (a < 256) return true;  // both bytes
      limit = a;
      a = left.right;
      left = parts[a];
    } else {
      if (b < 256) return true;
      limit = b + 1;
      b = right.left;
      right = parts[b];
    }
  }
}

bool BacktrackEncoder::separate(const MergeLookup& lookup, std::uint32_t a, std::uint32_t b,
                                const unsigned char* seam) const {
  // A merge across the seam joins a token of a's right edge to one of b's left edge. The one
  // from b's edge is b's first byte, or begins with b's first two bytes, and must be among
  // what may join a's right edge in time; likewise the other way round.
  const Token& left = tokens_[a];
  const Token& right = tokens_[b];
  const bool risk_from_right =
      (left.after.single >> byte_class_[seam[0]] & 1) != 0 ||
      (right.length > 1 && (left.after.longer >> pair_hash(seam[0], seam[1]) & 1) != 0);
  if (!risk_from_right) return true;
  const bool risk_from_left =
      (right.before.single >> byte_class_[seam[-1]] & 1) != 0 ||
      (left.length > 1 && (right.before.longer >> pair_hash(seam[-2], seam[-1]) & 1) != 0);
  if (!risk_from_left) return true;
  // The two bytes at the seam are the pair most often joined: settle that case at once.
  if (lookup.find(seam[-1], seam[0]) < std::min(left.last_limit, right.first_limit)) return false;
  return edges_apart(lookup, parts_.data(), a, b, kNone);
}

std::unique_ptr<const BacktrackEncoder> BacktrackEncoder::build(const MergeTable& merges,
                                                                const MergeLookup& lookup,
                                                                const InterruptCheck& interrupt) {
  if (!lookup.complete()) return nullptr;
  InterruptPacer pacer{interrupt};
  // Ids may leave gaps (a pair inserted again takes a new id), but the arrays by id must stay
  // in proportion to the table.
  const std::size_t ids = std::size_t{std::max<std::uint32_t>(lookup.largest(), 255)} + 1;
  if (ids > 4 * merges.size() + 65536) return nullptr;

  std::unique_ptr<BacktrackEncoder> encoder{new BacktrackEncoder};
  std::vector<Parts>& parts = encoder->parts_;
  assign_paced(parts, ids, Parts{kNone, kNone, kNone, kNone}, pacer);
  for (const auto& [pair, id] : merges) {
    pacer();
    if (id < kFirstMergeId || pair.left >= id || pair.right >= id) return nullptr;
    // Every such merge is held by the lookup, so id <= largest.
    const auto merge_id = static_cast<std::uint32_t>(id);
    const auto left = static_cast<std::uint32_t>(pair.left);
    const auto right = static_cast<std::uint32_t>(pair.right);
    if (parts[merge_id].left != kNone) return nullptr;  // a second pair with this id
    parts[merge_id].left = left;
    parts[merge_id].right = right;
    parts[left].first_as_left = std::min(parts[left].first_as_left, merge_id);
    parts[right].first_as_right = std::min(parts[right].first_as_right, merge_id);
  }

  // The ids that merges make out of bytes in the end (merges naming other ids never apply),
  // with the two bytes at either end: second_byte follows first_byte, penultimate_byte comes
  // before last_byte (both meaningless for bytes).
  std::vector<bool> made(ids, false);
  std::vector<unsigned char> first_byte;
  assign_paced(first_byte, ids, static_cast<unsigned char>(0), pacer);
  std::vector<unsigned char> second_byte;
  assign_paced(second_byte, ids, static_cast<unsigned char>(0), pacer);
  std::vector<unsigned char> penultimate_byte;
  assign_paced(penultimate_byte, ids, static_cast<unsigned char>(0), pacer);
  std::vector<unsigned char> last_byte;
  assign_paced(last_byte, ids, static_cast<unsigned char>(0), pacer);
  for (std::uint32_t b = 0; b < 256; ++b) {
    made[b] = true;
    first_byte[b] = last_byte[b] = static_cast<unsigned char>(b);
  }
  for (std::uint32_t id = kFirstMergeId; id < ids; ++id) {
    pacer();
    const std::uint32_t left = parts[id].left;
    const std::uint32_t right = parts[id].right;
    if (left == kNone || !made[left] || !made[right]) continue;
    made[id] = true;
    first_byte[id] = first_byte[left];
    second_byte[id] = left >= 256 ? second_byte[left] : first_byte[right];
    penultimate_byte[id] = right >= 256 ? penultimate_byte[right] : last_byte[left];
    last_byte[id] = last_byte[right];
  }

  // The whole tokens, in id order: a token is whole when its parts are and stay apart until
  // the token's own merge. Their trie nodes: a token's parts are done before it, so its node
  // is the left part's node extended by the right part's bytes.
  std::vector<Token>& tokens = encoder->tokens_;
  assign_paced(tokens, ids, Token{{0, 0}, {0, 0}, kNone, 0, kNone, kNone, kNone}, pacer);
  for (std::uint32_t b = 0; b < 256; ++b) tokens[b].length = 1;
  BuildTrie trie;
  std::vector<std::uint32_t> node_of;
  assign_paced(node_of, ids, kNone, pacer);
  for (std::uint32_t b = 0; b < 256; ++b) node_of[b] = 1 + b;
  std::size_t spelled = 0;
  // Deciding whether a token is whole walks down the edges of its parts' merge trees. Tables
  // built for it can make every walk as long as the table is deep; past this many steps in
  // all, the table is left to the queue encoder.
  std::size_t walked = 0;
  const std::size_t walk_budget = 64 * merges.size() + kStateBudget;
  for (std::uint32_t id = kFirstMergeId; id < ids; ++id) {
    pacer(kScatteredReads);
    const std::uint32_t left = parts[id].left;
    const std::uint32_t right = parts[id].right;
    if (left == kNone || tokens[left].length == 0 || tokens[right].length == 0) continue;
    const bool apart = edges_apart(lookup, parts.data(), left, right, id, &walked, &pacer);
    if (walked > walk_budget) return nullptr;
    if (!apart) continue;
    spelled += tokens[right].length;
    if (spelled > kStateBudget) return nullptr;
    pacer(kScatteredReads * tokens[right].length);
    node_of[id] = trie.extend(node_of[left], node_of[right], pacer);
    trie.mark(node_of[id], id);
    Token& token = tokens[id];
    token.length = tokens[left].length + tokens[right].length;
    // The bytes at either end stay at the seam until the lowest merge on their edge.
    token.last_limit = right < 256 ? id : tokens[right].last_limit;
    token.first_limit = left < 256 ? id + 1 : tokens[left].first_limit;
  }
  DoubleArray laid_out = lay_out(trie.nodes(), pacer);
  if (laid_out.words.empty()) return nullptr;
  encoder->trie_ = std::move(laid_out.words);
  encoder->trie_tokens_ = std::move(laid_out.tokens);

  // The next shorter candidate of each whole token: the nearest whole token above its node.
  const std::vector<BuildNode>& nodes = trie.nodes();
  std::vector<std::uint32_t> above;  // the deepest token at or above
  assign_paced(above, nodes.size(), kNone, pacer);
  for (std::uint32_t v = 1; v < nodes.size(); ++v) {
    pacer();
    const std::uint32_t parent = nodes[v].parent;
    const std::uint32_t inherited = parent == 0 ? kNone : above[parent];
    const std::uint32_t token = nodes[v].token;
    if (token != kNone) {
      Token& whole = tokens[token];
      whole.shorter = inherited;
      whole.chain_limit =
          std::min(whole.first_limit, inherited == kNone ? kNone : tokens[inherited].chain_limit);
    }
    above[v] = token != kNone ? token : inherited;
  }

  encoder->find_risks(parts, made, first_byte, second_byte, penultimate_byte, last_byte, pacer);
  return encoder;
}

void BacktrackEncoder::find_risks(const std::vector<Parts>& parts, const std::vector<bool>& made,
                                  const std::vector<unsigned char>& first_byte,
                                  const std::vector<unsigned char>& second_byte,
                                  const std::vector<unsigned char>& penultimate_byte,
                                  const std::vector<unsigned char>& last_byte,
                                  InterruptPacer& pacer) {
  const std::size_t ids = parts.size();
  std::vector<Token>& tokens = tokens_;

  // Byte classes: the 63 bytes that begin or end the most whole tokens get a class each, all
  // other bytes share the last one.
  std::array<std::uint32_t, 256> uses{};
  for (std::uint32_t id = 0; id < ids; ++id) {
    pacer();
    if (tokens[id].length == 0) continue;
    ++uses[first_byte[id]];
    ++uses[last_byte[id]];
  }
  std::array<unsigned char, 256> by_use{};
  std::iota(by_use.begin(), by_use.end(), static_cast<unsigned char>(0));
  std::stable_sort(by_use.begin(), by_use.end(),
                   [&uses](unsigned char x, unsigned char y) { return uses[x] > uses[y]; });
  for (std::size_t rank = 0; rank < 256; ++rank) {
    byte_class_[by_use[rank]] = static_cast<std::uint8_t>(std::min<std::size_t>(rank, 63));
  }
  // What a token brings to a seam with its first or its last bytes.
  auto first_side = [&](std::uint32_t token) {
    if (token < 256) return Risk{std::uint64_t{1} << byte_class_[token], 0};
    return Risk{0, std::uint64_t{1} << pair_hash(first_byte[token], second_byte[token])};
  };
  auto last_side = [&](std::uint32_t token) {
    if (token < 256) return Risk{std::uint64_t{1} << byte_class_[token], 0};
    return Risk{0, std::uint64_t{1} << pair_hash(penultimate_byte[token], last_byte[token])};
  };
  auto join = [](Risk x, Risk y) { return Risk{x.single | y.single, x.longer | y.longer}; };

  // The merges that apply, listed by left part and by right part in id order, each with what
  // the other part brings to the seam, gathered over the list up to it.
  struct Use {
    std::uint32_t id;
    Risk gathered;
  };
  struct Uses {
    std::vector<std::uint32_t> start;  // by part: where its list begins (one more entry)
    std::vector<Use> list;

    /// What the merges of `part` with ids below `limit` bring.
    Risk before(std::uint32_t part, std::uint32_t limit) const {
      const Use* begin = list.data() + start[part];
      const Use* end = list.data() + start[part + 1];
      const Use* past = std::lower_bound(
          begin, end, limit, [](const Use& use, std::uint32_t id) { return use.id < id; });
      return past == begin ? Risk{0, 0} : (past - 1)->gathered;
    }
  };
  Uses by_left, by_right;
  assign_paced(by_left.start, ids + 1, std::uint32_t{0}, pacer);
  assign_paced(by_right.start, ids + 1, std::uint32_t{0}, pacer);
  for (std::uint32_t id = kFirstMergeId; id < ids; ++id) {
    pacer();
    if (!made[id]) continue;
    ++by_left.start[parts[id].left + 1];
    ++by_right.start[parts[id].right + 1];
  }
  for (Uses* uses_of : {&by_left, &by_right}) {
    std::partial_sum(uses_of->start.begin(), uses_of->start.end(), uses_of->start.begin());
    uses_of->list.resize(uses_of->start.back());
  }
  {
    std::vector<std::uint32_t> left_fill(by_left.start.begin(), by_left.start.end() - 1);
    std::vector<std::uint32_t> right_fill(by_right.start.begin(), by_right.start.end() - 1);
    for (std::uint32_t id = kFirstMergeId; id < ids; ++id) {
      pacer();
      if (!made[id]) continue;
      const std::uint32_t left = parts[id].left;
      const std::uint32_t right = parts[id].right;
      by_left.list[left_fill[left]++] = Use{id, first_side(right)};
      by_right.list[right_fill[right]++] = Use{id, last_side(left)};
    }
  }
  for (Uses* uses_of : {&by_left, &by_right}) {
    for (std::size_t part = 0; part + 1 < uses_of->start.size(); ++part) {
      pacer(uses_of->start[part + 1] - uses_of->start[part] + 1);
      for (std::uint32_t k = uses_of->start[part] + 1; k < uses_of->start[part + 1]; ++k) {
        uses_of->list[k].gathered = join(uses_of->list[k].gathered, uses_of->list[k - 1].gathered);
      }
    }
  }

  // On t's right edge, t stays at the seam for good, its right part r until t is made, and
  // below r the edge is r's own with the same limits. So what may join the edge below t is
  // what r's merges before t bring plus what may join below r. Left edges alike, with their
  // limits one higher.
  std::vector<Risk> below;
  assign_paced(below, ids, Risk{0, 0}, pacer);
  for (std::uint32_t id = 0; id < ids; ++id) {
    pacer();
    if (tokens[id].length == 0) continue;
    if (id >= kFirstMergeId) {
      const std::uint32_t right = parts[id].right;
      below[id] = join(by_left.before(right, id), below[right]);
    }
    tokens[id].after = join(by_left.before(id, kNone), below[id]);
  }
  std::fill(below.begin(), below.end(), Risk{0, 0});
  for (std::uint32_t id = 0; id < ids; ++id) {
    pacer();
    if (tokens[id].length == 0) continue;
    if (id >= kFirstMergeId) {
      const std::uint32_t left = parts[id].left;
      below[id] = join(by_right.before(left, id + 1), below[left]);
    }
    tokens[id].before = join(by_right.before(id, kNone), below[id]);
  }
}

BacktrackEncoder::Match BacktrackEncoder::longest_token(const unsigned char* text, std::size_t at,
                                                        std::size_t size) const {
  const std::uint32_t* trie = trie_.data();
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
  return Match{trie_tokens_[best], static_cast<std::uint32_t>(best_end - at)};
}

void BacktrackEncoder::encode(const MergeLookup& lookup, std::string_view text,
                              std::vector<TokenId>& out, const InterruptCheck& interrupt) const {
  const std::size_t size = text.size();
  if (size == 0) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const Token* tokens = tokens_.data();
  // Bit p clear: no encoding of the text has a token boundary after its first p bytes.
  std::vector<std::uint32_t> open(size / 32 + 1, ~std::uint32_t{0});
  const std::size_t first = out.size();
  std::size_t at = 0;  // the tokens from `first` on encode the first `at` bytes
  InterruptPacer pace{interrupt};
  // The candidate to try after `failed`: the next shorter one, unless none of those left can
  // follow the last token. That is so when the two bytes at the seam are joined before the
  // last token's last byte is consumed and before any of them has its first byte consumed.
  // (Worth asking once a candidate has failed; not after giving a position up.)
  auto next_candidate = [&](std::uint32_t failed) {
    const std::uint32_t shorter = tokens[failed].shorter;
    if (shorter == kNone || out.size() == first) return shorter;
    const std::uint32_t limit =
        std::min(tokens[out.back()].last_limit, tokens[shorter].chain_limit);
    return lookup.find(bytes[at - 1], bytes[at]) < limit ? kNone : shorter;
  };
  Match candidate = longest_token(bytes, 0, size);
  for (;;) {
    const std::size_t end = at + candidate.length;
    if ((open[end / 32] >> (end % 32) & 1) != 0 &&
        (out.size() == first ||
         separate(lookup, static_cast<std::uint32_t>(out.back()), candidate.token, bytes + at))) {
      out.push_back(candidate.token);
      at = end;
      if (at == size) return;
      pace();
      candidate = longest_token(bytes, at, size);
      continue;
    }
    std::uint32_t shorter = next_candidate(candidate.token);
    while (shorter == kNone) {
      // No whole token starting here fits after the last one: give the position up and try
      // the last token's next shorter candidate instead.
      check(out.size() > first, "no encoding found");
      open[at / 32] &= ~(std::uint32_t{1} << (at % 32));
      const auto last = static_cast<std::uint32_t>(out.back());
      out.pop_back();
      at -= tokens[last].length;
      shorter = tokens[last].shorter;
    }
    candidate = Match{shorter, tokens[shorter].length};
  }
}

}  // namespace tokenizer::basic
