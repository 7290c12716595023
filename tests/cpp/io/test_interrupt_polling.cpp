// Long engine operations other than training and encoding poll their InterruptCheck: building
// the vocabulary, decoding, reading and writing files. An interruption leaves what each
// operation promises for a failure part-way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tokenizer/core/model.hpp"
#include "tokenizer/io/decode.hpp"
#include "tokenizer/io/file_io.hpp"
#include "tokenizer/io/model_file.hpp"
#include "tokenizer/support/flat_map.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"

namespace tokenizer {
namespace {

/// An InterruptCheck that counts its polls and interrupts from poll number `stop_at` on
/// (never, when 0).
struct Poller {
  explicit Poller(std::size_t stop_from = 0) : stop_at{stop_from} {}
  static bool poll(void* self) {
    auto& poller = *static_cast<Poller*>(self);
    ++poller.polls;
    return poller.stop_at != 0 && poller.polls >= poller.stop_at;
  }
  InterruptCheck check() { return InterruptCheck{&poll, this}; }

  std::size_t stop_at;
  std::size_t polls = 0;
};

/// Merges (97, 97) -> 256, (256, 256) -> 257, ...: `lines` merges, the last token 2^lines bytes.
void add_doubling_merges(Model& tokenizer, unsigned lines) {
  tokenizer.merges.insert_or_assign(TokenPair{97, 97}, 256);
  for (unsigned k = 1; k < lines; ++k) {
    tokenizer.merges.insert_or_assign(TokenPair{255 + k, 255 + k}, 256 + k);
  }
}

std::string temp_path(const char* name) {
  return testing::TempDir() + "pairloom_polling_" + std::to_string(getpid()) + "_" + name;
}

TEST(InterruptPacer, PollsOncePerIntervalOfWork) {
  Poller poller;
  InterruptPacer pace{poller.check()};
  for (std::size_t i = 0; i < 9 * kInterruptInterval + 5; ++i) pace();
  EXPECT_EQ(poller.polls, 9u);
  pace(kInterruptInterval * 3);  // a large piece of work polls at once
  EXPECT_EQ(poller.polls, 10u);
  pace.poll_now();
  EXPECT_EQ(poller.polls, 11u);
  pace(kInterruptInterval - 1);  // counting started over at the last poll
  EXPECT_EQ(poller.polls, 11u);
}

TEST(FlatMap, ReservingMillionsPollsAndAnInterruptionLeavesTheMap) {
  FlatMap<TokenId, std::size_t> map;
  for (TokenId id = 0; id < 1000; ++id) map[id] = id * 3;
  Poller poller{3};
  InterruptPacer pace{poller.check()};
  EXPECT_THROW(map.reserve(std::size_t{1} << 22, pace), Interrupted);
  EXPECT_EQ(poller.polls, 3u);
  ASSERT_EQ(map.size(), 1000u);
  for (TokenId id = 0; id < 1000; ++id) ASSERT_EQ(*map.find(id), id * 3);
  Poller patient;
  InterruptPacer paced{patient.check()};
  map.reserve(std::size_t{1} << 22, paced);
  EXPECT_GE(patient.polls, std::size_t{1} << 22 >> 16);  // one per interval of slots laid out
  for (TokenId id = 0; id < 1000; ++id) ASSERT_EQ(*map.find(id), id * 3);

  // Grown through make_room at every insertion, as a trie under construction does: an
  // interruption at the first poll of a growth leaves every entry.
  for (std::size_t stop = 1; stop <= 2; ++stop) {
    FlatMap<TokenId, std::size_t> grown;
    Poller stopping{stop};
    InterruptPacer pacing{stopping.check()};
    TokenId inserted = 0;
    try {
      for (;; ++inserted) {
        grown.make_room(pacing);
        grown[inserted] = inserted * 3;
      }
    } catch (const Interrupted&) {
    }
    ASSERT_EQ(grown.size(), inserted);
    for (TokenId id = 0; id < inserted; ++id) ASSERT_EQ(*grown.find(id), id * 3);
  }
}

TEST(InterruptPacer, PacedGrowthOfAVectorKeepsItWhenInterrupted) {
  std::vector<TokenId> ids(1u << 20);
  for (TokenId k = 0; k < ids.size(); ++k) ids[k] = k * 7;
  Poller stopping{2};
  InterruptPacer pace{stopping.check()};
  const std::size_t capacity = ids.capacity();
  EXPECT_THROW(push_back_paced(ids, TokenId{1}, pace), Interrupted);
  ASSERT_EQ(ids.size(), std::size_t{1} << 20);
  EXPECT_EQ(ids.capacity(), capacity);
  for (TokenId k = 0; k < ids.size(); ++k) ASSERT_EQ(ids[k], k * 7);
  Poller counting;
  InterruptPacer paced{counting.check()};
  push_back_paced(ids, TokenId{1}, paced);
  EXPECT_GE(counting.polls, 8u);  // 8 MiB moved in 256 KiB steps
  EXPECT_EQ(ids.back(), 1u);
  EXPECT_EQ(ids[12345], 12345u * 7);
}

TEST(OrderedMap, GrowingPollsAndAnInterruptionLeavesTheMap) {
  // Grown through make_room at every insertion, as a model file's reader does: the entries
  // move and the index is rebuilt in polled steps, and an interruption at any of those polls
  // leaves every entry in place and in order.
  OrderedMap<TokenPair, TokenId> map;
  Poller counting;
  InterruptPacer paced{counting.check()};
  const TokenId entries = 3 * kInterruptInterval;
  for (TokenId k = 0; k < entries; ++k) {
    map.make_room(paced);
    map.insert_or_assign(TokenPair{k, k + 1}, 256 + k);
  }
  EXPECT_GE(counting.polls, 4u);
  for (std::size_t stop = 1; stop <= 3; ++stop) {
    OrderedMap<TokenPair, TokenId> copy = map;
    Poller stopping{stop};
    InterruptPacer pace{stopping.check()};
    try {
      for (;;) {  // until a growth polls and is interrupted
        copy.make_room(pace);
        copy.insert_or_assign(TokenPair{copy.size(), 0}, 0);
      }
    } catch (const Interrupted&) {
    }
    for (TokenId k = 0; k < entries; ++k) {
      ASSERT_EQ(copy[k].first, (TokenPair{k, k + 1}));
      ASSERT_EQ(*copy.find(TokenPair{k, k + 1}), 256 + k);
    }
  }
}

TEST(BuildVocab, InterruptionLeavesTheOldVocabulary) {
  Model tokenizer;
  tokenizer.vocab.insert_or_assign(TokenId{256}, TokenBytes{"old"});
  add_doubling_merges(tokenizer, 22);  // copies 8 MiB: polls several times
  Poller counting;
  Model copy = tokenizer;
  build_vocab(copy, counting.check());
  EXPECT_GE(counting.polls, 4u);
  EXPECT_EQ(copy.vocab.find(TokenId{256 + 21})->size(), std::size_t{1} << 22);

  Poller stopping{1};
  EXPECT_THROW(build_vocab(tokenizer, stopping.check()), Interrupted);
  ASSERT_EQ(tokenizer.vocab.size(), 1u);
  EXPECT_EQ(*tokenizer.vocab.find(TokenId{256}), "old");
}

TEST(Decode, PollsPerIdAndPerByteAndStopsWhenAsked) {
  Vocabulary vocab = byte_vocabulary();
  std::vector<TokenId> ids(3u << 20, 104);
  Poller counting;
  Result<std::string> text = decode(vocab, ids, counting.check());
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(text.value().size(), ids.size());
  EXPECT_GE(counting.polls, 6u);  // looking up, measuring and rendering: 3 Mi units each

  Poller stopping{2};
  EXPECT_THROW((void)decode(vocab, ids, stopping.check()), Interrupted);
}

TEST(ModelFile, LoadPollsWhileReadingAndAnInterruptionKeepsTheOldVocabulary) {
  const std::string path = temp_path("load.model");
  {
    std::ofstream out{path, std::ios::binary};
    out << "pairloom v1\nnew\n0\n";
    for (int i = 0; i < 800000; ++i) out << "97 98\n";  // 4.6 MiB
  }
  Model tokenizer;
  tokenizer.vocab.insert_or_assign(TokenId{7}, TokenBytes{"old"});
  Poller stopping{20};  // part-way through the merges
  EXPECT_THROW((void)load(tokenizer, path, stopping.check()), Interrupted);
  EXPECT_EQ(tokenizer.pattern, "new");  // what was read stays, as after any failure part-way
  EXPECT_EQ(tokenizer.merges.size(), 1u);
  ASSERT_EQ(tokenizer.vocab.size(), 1u);
  EXPECT_EQ(*tokenizer.vocab.find(TokenId{7}), "old");

  Poller counting;
  Model again;
  ASSERT_TRUE(load(again, path, counting.check()).ok());
  EXPECT_GE(counting.polls, 3u);
  std::remove(path.c_str());
}

TEST(ModelFile, SavePollsWhileWriting) {
  Model tokenizer;
  for (TokenId id = 0; id < 400000; ++id) tokenizer.merges.insert_or_assign(TokenPair{id, 7}, id);
  const std::string path = temp_path("save.model");
  Poller counting;
  ASSERT_TRUE(save_model(tokenizer, path, counting.check()).ok());  // 3.7 MiB
  EXPECT_GE(counting.polls, 3u);
  Poller stopping{1};
  EXPECT_THROW((void)save_model(tokenizer, path, stopping.check()), Interrupted);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tokenizer
