// The trainer's packed layout: the packed sequence's links, the gap lists' coding; and
// training on texts that stress them, in both layouts, against the plain reference trainer.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <list>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "reference_bpe.hpp"
#include "tokenizer/train/gap_lists.hpp"
#include "tokenizer/train/incremental_trainer.hpp"
#include "tokenizer/train/packed_tokens.hpp"
#include "tokenizer/train/train.hpp"
#include "trainer_layouts.hpp"

namespace tokenizer {
namespace {

TEST(PackedTokens, LinksAcrossEveryGapAsAListWould) {
  // Remove live positions at random, as merges do (never the first), and compare next() and
  // prev() of every live position with a plain list: gaps of one position, long gaps, gaps
  // joining and a gap reaching the end.
  std::mt19937 rng{5};
  for (std::size_t n : {2, 3, 4, 9, 40, 300}) {
    PackedTokens<std::uint32_t> words;
    words.resize(n);
    for (std::size_t i = 0; i + 1 < n; ++i) words[i] = 0;
    words[n - 1] = PackedTokens<std::uint32_t>::kLast;
    std::list<std::uint32_t> live;
    for (std::uint32_t i = 0; i < n; ++i) live.push_back(i);
    while (live.size() > 1) {
      auto at = std::next(live.begin(),
                          std::uniform_int_distribution<std::size_t>(1, live.size() - 1)(rng));
      const std::uint32_t p = *std::prev(at);
      const std::uint32_t q = std::next(at) == live.end() ? words.kNone : *std::next(at);
      words.remove(p, *at, q);
      live.erase(at);
      std::uint32_t before = words.kNone;
      for (auto it = live.begin(); it != live.end(); ++it) {
        const std::uint32_t after = std::next(it) == live.end() ? words.kNone : *std::next(it);
        ASSERT_EQ(words.next(*it), after) << n << " positions, at " << *it;
        ASSERT_EQ(words.prev(*it), before) << n << " positions, at " << *it;
        ASSERT_FALSE(PackedTokens<std::uint32_t>::removed(words[*it]));
        before = *it;
      }
    }
    for (std::uint32_t i = 1; i < n; ++i)
      EXPECT_TRUE(PackedTokens<std::uint32_t>::removed(words[i]));
  }
}

TEST(GapLists, VarintsRoundTripAtEveryWidth) {
  const std::uint64_t values[] = {0,     1,       127,        128,        16383,
                                  16384, 1 << 21, 0xffffffff, 1ull << 35, ~std::uint64_t{0}};
  unsigned char buffer[16];
  for (std::uint64_t value : values) {
    unsigned char* end = put_varint(buffer, value);
    ASSERT_EQ(static_cast<std::size_t>(end - buffer), varint_size(value)) << value;
    std::uint64_t read = 0;
    ASSERT_EQ(get_varint(static_cast<const unsigned char*>(buffer), read), end) << value;
    EXPECT_EQ(read, value);
  }
  // Every width's first and last value: varint_size() must agree with what put_varint() writes.
  for (unsigned bits = 7; bits < 64; bits += 7) {
    for (std::uint64_t value : {(std::uint64_t{1} << bits) - 1, std::uint64_t{1} << bits}) {
      EXPECT_EQ(static_cast<std::size_t>(put_varint(buffer, value) - buffer), varint_size(value))
          << value;
      const auto narrow = static_cast<std::uint32_t>(value);
      EXPECT_EQ(static_cast<std::size_t>(put_varint(buffer, narrow) - buffer), varint_size(narrow))
          << narrow;
    }
  }
}

// ---- Texts that stress the layout ----

std::vector<std::pair<std::string, std::string>> stressing_texts() {
  std::mt19937 rng{2026};
  std::vector<std::pair<std::string, std::string>> texts = {
      {"run of 1", "a"},
      {"run of 2", "aa"},
      {"run of 3", "aaa"},
      {"run of 777", std::string(777, 'a')},
      {"run of 1024", std::string(1024, 'a')},
      {"one pair repeated",
       [] {
         std::string s;
         for (int k = 0; k < 600; ++k) s += "xy";
         return s;
       }()},
      {"one pair repeated, odd end",
       [] {
         std::string s = "y";
         for (int k = 0; k < 301; ++k) s += "xy";
         return s + "x";
       }()},
      {"runs of growing length",
       [] {
         std::string s;
         for (int k = 1; k < 40; ++k) s += std::string(k, 'a') + "b";
         return s;
       }()},
  };
  std::string all_bytes;
  for (int k = 0; k < 6; ++k)
    all_bytes += reference::random_text(rng, reference::alphabets()[3], 400);
  for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  texts.emplace_back("all 256 byte values", all_bytes);
  // A pair recurring a few to tens of thousands of positions apart in a random text of four
  // letters: gaps of one to three varint bytes, in lists laid out again many times as merges
  // thin the text and free pair numbers that later pairs take.
  std::string sparse = reference::random_text(rng, reference::alphabets()[1], 42000);
  for (std::size_t at = 0, step = 5; at + 2 < sparse.size(); at += step, step *= 2) {
    sparse[at] = '\xfe';
    sparse[at + 1] = '\xff';
  }
  texts.emplace_back("pairs far apart", sparse);
  texts.emplace_back("DNA-like", reference::dna_like(rng, 6000));
  texts.emplace_back("unspaced script", reference::unspaced_text(rng, 6000));
  return texts;
}

using StressingTexts = EachLayout;

TEST_P(StressingTexts, LearnsWhatRecountingLearnsOnStressingTexts) {
  for (const auto& [name, text] : stressing_texts()) {
    // To the end: until one token is left or no pair occurs twice long after.
    const std::size_t vocab_size = 256 + std::min<std::size_t>(text.size(), 1200);
    ASSERT_EQ(learn(text, vocab_size), reference::train(text, vocab_size)) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Layout, StressingTexts, ::testing::ValuesIn(every_layout()), config_name);

using EitherLayout = EachLayout;

TEST_P(EitherLayout, EveryThreadCountTrainsAsTheReference) {
  for (const auto& [name, text] : stressing_texts()) {
    const std::vector<reference::Merge> expected = reference::train(text, 256 + 300);
    for (std::size_t threads = 1; threads <= 4; ++threads) {
      Model tokenizer;
      tokenizer.num_threads = threads;
      train(tokenizer, text, 256 + 300);
      std::vector<reference::Merge> merges;
      for (const auto& [pair, id] : tokenizer.merges)
        merges.push_back({{pair.left, pair.right}, id});
      ASSERT_EQ(merges, expected) << name << ", num_threads " << threads;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layout, EitherLayout, ::testing::ValuesIn(both_layouts()), config_name);

}  // namespace
}  // namespace tokenizer
