// Performance notes (the measurements, and what was tried and dropped, are in
// bench/results/encoder_notes.md):
// - The scan is bound by latency, not instructions: the trie walk's one dependent load per byte
//   and the candidate's Token record. Changes that cut instructions by 5-20% (smaller records,
//   ids in the trie words, stacked output, two interleaved scans) were slower; measure before
//   changing either layout.
// - Caches of `separate` or `edges_apart` answers do not pay: the pairs reaching them are
//   diverse (54,000 distinct in 95,000 per MB of English).
// - The walk alone (bench/trie_walk.cpp) bounds the scan: 150-157 MB/s on 64 bits and
//   134-142 MB/s on 32 bits at 32,768 tokens.
// - Building: wide trie nodes find their children by hash (token_trie.cpp); sibling lists alone
//   took 10 s instead of 3 s for 2,000,000 merges sharing two-byte prefixes.
#include "tokenizer/encode/backtrack_encoder.hpp"

#include <algorithm>
#include <array>
#include <numeric>

#include "tokenizer/support/interrupt_pacer.hpp"

namespace tokenizer {
namespace {

// Units of work for one read of a table by id, where ids far apart are read one after the
// other: in tables of millions of merges each such read misses the caches.
constexpr std::size_t kScatteredReads = 4;

constexpr std::uint32_t kNone = MergeLookup::kNone;
static_assert(kNone == kNoTrieNode, "the trie's tokens are the table's ids");

// Building the trie may spell this many bytes (at most that many states); tables that need
// more (pathological ones, where every merge doubles the last token) are left to the queue
// encoder. Trie bases take 22 bits.
constexpr std::size_t kStateBudget = std::size_t{1} << 21;

/// One of 64 bits for two adjacent bytes.
unsigned pair_hash(unsigned char first, unsigned char second) {
  return (static_cast<std::uint32_t>(first) << 8 | second) * 0x9e3779b1U >> 26;
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
  TrieBuilder trie;
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
  encoder->trie_ = TokenTrie::lay_out(trie.nodes(), pacer);
  if (encoder->trie_.empty()) return nullptr;

  // The next shorter candidate of each whole token: the nearest whole token above its node.
  const std::vector<TrieNode>& nodes = trie.nodes();
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
  TrieMatch candidate = trie_.longest(bytes, 0, size);
  for (;;) {
    const std::size_t end = at + candidate.length;
    if ((open[end / 32] >> (end % 32) & 1) != 0 &&
        (out.size() == first ||
         separate(lookup, static_cast<std::uint32_t>(out.back()), candidate.token, bytes + at))) {
      out.push_back(candidate.token);
      at = end;
      if (at == size) return;
      pace();
      candidate = trie_.longest(bytes, at, size);
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
    candidate = TrieMatch{shorter, tokens[shorter].length};
  }
}

}  // namespace tokenizer
