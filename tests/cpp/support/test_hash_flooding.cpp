// Tables keyed by data from files and texts against keys chosen to pile up: the keys the old
// stride weakness favoured (one id fixed, the other counting up; multiples of a power of two;
// names sharing a long prefix), and keys found to share one home under a table's known key.
// Probes, counted by the tables themselves, stay within a small factor of random keys.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tokenizer/core/pair_counts.hpp"
#include "tokenizer/support/flat_map.hpp"
#include "tokenizer/support/keyed_hash.hpp"

namespace tokenizer {
namespace {

constexpr std::size_t kKeys = 2000;
// Every table below ends with 4096 slots for kKeys keys; keys sharing the low 12 bits of their
// hash share a home in it, and in every smaller table on the way.
constexpr std::uint64_t kHomeMask = 4095;

struct IdTable {
  using Key = std::uint64_t;
  using Table = FlatMap<TokenId, int>;
  static void insert(Table& table, Key key) { table.insert_or_assign(key, 1); }
  static std::uint64_t hash(Key key, std::uint64_t table_key) { return keyed_hash(key, table_key); }
  static Key patterned(std::size_t i) { return std::uint64_t{i} << 16; }
  static Key random(std::mt19937_64& rng) { return rng() >> 16; }
  static Key candidate(std::uint64_t n) { return n; }
};

struct MergeTable {
  using Key = TokenPair;
  using Table = OrderedMap<TokenPair, TokenId>;
  static void insert(Table& table, Key key) { table.insert_or_assign(key, 1); }
  static std::uint64_t hash(Key key, std::uint64_t table_key) {
    return keyed_hash(key.left, key.right, table_key);
  }
  static Key patterned(std::size_t i) { return {97, static_cast<TokenId>(256 + i)}; }
  static Key random(std::mt19937_64& rng) {
    return {static_cast<TokenId>(rng() % 50000), static_cast<TokenId>(rng() % 50000)};
  }
  static Key candidate(std::uint64_t n) { return {97, static_cast<TokenId>(n)}; }
};

struct SpecialTokens {
  using Key = std::string;
  using Table = OrderedMap<std::string, TokenId>;
  static void insert(Table& table, const Key& key) { table.insert_or_assign(key, 1); }
  static std::uint64_t hash(const Key& key, std::uint64_t table_key) {
    return keyed_hash(key, table_key);
  }
  static Key patterned(std::size_t i) { return std::string(40, '<') + std::to_string(i) + ">"; }
  static Key random(std::mt19937_64& rng) { return std::to_string(rng()); }
  static Key candidate(std::uint64_t n) { return "<|" + std::to_string(n) + "|>"; }
};

struct PairCountTable {
  using Key = TokenPair;
  using Table = PairCounts;
  static void insert(Table& table, Key key) { table.add(key); }
  static std::uint64_t hash(Key key, std::uint64_t table_key) {
    return keyed_hash(key.left, key.right, table_key);
  }
  static Key patterned(std::size_t i) { return {static_cast<TokenId>(i), 97}; }
  static Key random(std::mt19937_64& rng) {
    return {static_cast<TokenId>(rng() % 50000), static_cast<TokenId>(rng() % 50000)};
  }
  static Key candidate(std::uint64_t n) { return {static_cast<TokenId>(n), 97}; }
};

template <class Kind>
class HashFlooding : public testing::Test {
 protected:
  using Key = typename Kind::Key;
  using Table = typename Kind::Table;

  static std::size_t probes(Table& table, const std::vector<Key>& keys) {
    for (const Key& key : keys) Kind::insert(table, key);
    return table.probes_to_find_all();
  }

  static std::size_t random_probes() {
    std::mt19937_64 rng{11};
    std::vector<Key> keys;
    while (keys.size() < kKeys) keys.push_back(Kind::random(rng));
    Table table;
    return probes(table, keys);
  }
};

using Kinds = testing::Types<IdTable, MergeTable, SpecialTokens, PairCountTable>;
TYPED_TEST_SUITE(HashFlooding, Kinds);

TYPED_TEST(HashFlooding, PatternedKeysProbeLikeRandomOnes) {
  std::vector<typename TypeParam::Key> keys;
  for (std::size_t i = 0; i < kKeys; ++i) keys.push_back(TypeParam::patterned(i));
  typename TypeParam::Table table;
  EXPECT_LE(this->probes(table, keys), 2 * this->random_probes());
}

TYPED_TEST(HashFlooding, KeysSharingOneHomeUnderTheTablesKeyGetAFreshKey) {
  // Someone who learned the table's key could pick keys that all share one home: kKeys of
  // them cost kKeys^2 / 2 probes in a table that kept its key.
  constexpr std::uint64_t kKnownKey = 0x243f6a8885a308d3ULL;
  std::vector<typename TypeParam::Key> keys;
  for (std::uint64_t n = 0; keys.size() < kKeys; ++n) {
    auto key = TypeParam::candidate(n);
    if ((TypeParam::hash(key, kKnownKey) & kHomeMask) == 0) keys.push_back(key);
  }
  typename TypeParam::Table table{kKnownKey};
  EXPECT_LE(this->probes(table, keys), 3 * this->random_probes());
  for (const auto& key : keys) TypeParam::insert(table, key);  // all found again, none added
  EXPECT_EQ(table.size(), kKeys);
}

}  // namespace
}  // namespace tokenizer
