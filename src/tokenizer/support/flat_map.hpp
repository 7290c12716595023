// Open-addressing hash maps for the engine: FlatMap (unordered) and OrderedMap (insertion order).
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/keyed_hash.hpp"

namespace tokenizer {

/// How far the tables below let probing go. Under a random key, entries at three-quarters
/// load sit 1.5 slots past their home on average and a few hundred at most in the largest
/// tables. A table doing much worse holds keys that its key happens (or was found) to suit,
/// and is rebuilt under a fresh key, bigger when it is more than three-eighths full.
inline constexpr std::size_t kLongestProbe = 512;
inline constexpr std::size_t kProbesPerEntry = 4;

/// True when an insertion that went `probe` slots past home, leaving `displaced` slots of
/// displacement over `entries` entries in all, calls for a fresh key.
constexpr bool probing_degraded(std::size_t probe, std::size_t displaced, std::size_t entries) {
  return probe > kLongestProbe || displaced > kProbesPerEntry * entries + kLongestProbe;
}

/// A hash map with linear probing and a power-of-two table, keyed at random per instance.
/// Entries are never erased one by one; `clear` empties the map and keeps its capacity.
template <class Key, class Value>
class FlatMap {
 public:
  FlatMap() : hash_{random_hash_key()} {}
  /// A map under a fixed key, for tests that need to know where keys land.
  explicit FlatMap(std::uint64_t key) : hash_{key} {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  /// The value for `key`, or null.
  template <class K>
  Value* find(const K& key) {
    Slot* slot = find_slot(key);
    return slot != nullptr ? &slot->value : nullptr;
  }
  template <class K>
  const Value* find(const K& key) const {
    return const_cast<FlatMap*>(this)->find(key);
  }

  /// The value for `key`, inserted value-initialised when absent.
  template <class K>
  Value& operator[](const K& key) {
    return slot_for(key).value;
  }

  /// Sets the value for `key`, replacing any value held.
  template <class K>
  void insert_or_assign(const K& key, Value value) {
    slot_for(key).value = std::move(value);
  }

  /// Empties the map, keeping its storage.
  void clear() {
    if (size_ == 0) return;
    for (Slot& slot : slots_) slot = Slot{};
    size_ = 0;
    displaced_ = 0;
  }

  void reserve(std::size_t count) {
    std::size_t wanted = std::bit_ceil(count + count / 2 + 8);
    if (wanted > slots_.size()) rehash(wanted, hash_.key);
  }

  /// reserve() for tables of millions of entries, polling `pacer` while the new table is laid
  /// out and the entries move. An interruption leaves the map as it was.
  void reserve(std::size_t count, InterruptPacer& pacer) {
    std::size_t wanted = std::bit_ceil(count + count / 2 + 8);
    if (wanted > slots_.size()) rehash(wanted, hash_.key, pacer);
  }

  /// Grows the table, if one more entry would need it, as an insertion would, but polling
  /// `pacer` as reserve(count, pacer) does.
  void make_room(InterruptPacer& pacer) {
    if ((size_ + 1) * 4 > slots_.size() * 3)
      rehash(slots_.empty() ? 16 : slots_.size() * 2, hash_.key, pacer);
  }

  /// Calls `visit(key, value)` for every entry, in table order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    if (size_ == 0) return;
    for (const Slot& slot : slots_) {
      if (slot.used) visit(slot.key, slot.value);
    }
  }

  /// Slots that finding every entry once would look at.
  std::size_t probes_to_find_all() const { return size_ + displaced_; }

 private:
  struct Slot {
    Key key{};
    Value value{};
    bool used = false;
  };

  std::size_t mask() const { return slots_.size() - 1; }

  template <class K>
  std::size_t home(const K& key) const {
    return static_cast<std::size_t>(hash_(key)) & mask();
  }

  template <class K>
  Slot* find_slot(const K& key) {
    if (size_ == 0) return nullptr;
    for (std::size_t i = home(key);; i = (i + 1) & mask()) {
      Slot& slot = slots_[i];
      if (!slot.used) return nullptr;
      if (slot.key == key) return &slot;
    }
  }

  template <class K>
  Slot& slot_for(const K& key) {
    if ((size_ + 1) * 4 > slots_.size() * 3) {
      rehash(slots_.empty() ? 16 : slots_.size() * 2, hash_.key);
    }
    const std::size_t start = home(key);
    for (std::size_t i = start;; i = (i + 1) & mask()) {
      Slot& slot = slots_[i];
      if (slot.used) {
        if (slot.key == key) return slot;
        continue;
      }
      slot.key = Key(key);
      slot.used = true;
      ++size_;
      const std::size_t probe = (i - start) & mask();
      displaced_ += probe;
      if (!probing_degraded(probe, displaced_, size_)) return slot;
      rehash(size_ * 8 > slots_.size() * 3 ? slots_.size() * 2 : slots_.size(), random_hash_key());
      for (std::size_t j = home(key);; j = (j + 1) & mask()) {
        if (slots_[j].used && slots_[j].key == key) return slots_[j];
      }
    }
  }

  /// Moves every entry into a new table of `capacity` slots (a power of two) under `key`,
  /// laid out in steps paced by `pacer`. Plain entries are then copied with polls; entries that
  /// own memory move without (an interruption must find them whole). Running out of memory or
  /// an interruption leaves the map as it was.
  void rehash(std::size_t capacity, std::uint64_t key, InterruptPacer& pacer) {
    std::vector<Slot> fresh;
    assign_paced(fresh, capacity, Slot{}, pacer);
    const KeyedHash hash{key};
    const std::size_t mask = capacity - 1;
    std::size_t displaced = 0;
    for (Slot& slot : slots_) {
      if constexpr (std::is_trivially_copyable_v<Slot>) pacer();
      if (!slot.used) continue;
      const std::size_t start = static_cast<std::size_t>(hash(slot.key)) & mask;
      for (std::size_t i = start;; i = (i + 1) & mask) {
        if (!fresh[i].used) {
          fresh[i] = std::move(slot);
          displaced += (i - start) & mask;
          break;
        }
      }
    }
    slots_.swap(fresh);
    hash_ = hash;
    displaced_ = displaced;
  }

  void rehash(std::size_t capacity, std::uint64_t key) {
    InterruptPacer unpaced;
    rehash(capacity, key, unpaced);
  }

  KeyedHash hash_;
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::size_t displaced_ = 0;  // slots between each entry and its home, summed
};

/// A hash map that iterates in the order in which keys were first inserted. Inserting a key
/// that is present replaces its value and keeps its place; entries are never removed. Keys are
/// held once, in the entries; the hash index holds only entry positions.
template <class Key, class Value>
class OrderedMap {
 public:
  using Entry = std::pair<Key, Value>;

  OrderedMap() : hash_{random_hash_key()} {}
  /// A map under a fixed key, for tests that need to know where keys land.
  explicit OrderedMap(std::uint64_t key) : hash_{key} {}

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  /// Changes whenever an entry is inserted or replaced; never the same for two different
  /// contents of any maps in the process, so derived data can be checked against it.
  std::uint64_t version() const { return version_; }

  template <class K>
  const Value* find(const K& key) const {
    const std::size_t slot = slot_of(key);
    return slot == kNoSlot || index_[slot] == kFree ? nullptr : &entries_[index_[slot]].second;
  }

  template <class K>
  void insert_or_assign(const K& key, Value value) {
    std::size_t slot = slot_of(key);
    if (slot != kNoSlot && index_[slot] != kFree) {
      entries_[index_[slot]].second = std::move(value);
      version_ = next_version();
      return;
    }
    // Everything that can fail happens before the map changes.
    Entry entry{Key(key), std::move(value)};
    if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.size() * 2 + 8);
    if ((entries_.size() + 1) * 4 > index_.size() * 3) {
      rehash(index_.empty() ? 16 : index_.size() * 2, hash_.key);
      slot = slot_of(entry.first);
    }
    index_[slot] = entries_.size();
    entries_.push_back(std::move(entry));
    version_ = next_version();
    const std::size_t mask = index_.size() - 1;
    const std::size_t probe = (slot - home(entries_.back().first, mask)) & mask;
    displaced_ += probe;
    if (probing_degraded(probe, displaced_, entries_.size())) {
      rehash(entries_.size() * 8 > index_.size() * 3 ? index_.size() * 2 : index_.size(),
             random_hash_key());
    }
  }

  /// Grows the storage, if one more entry would need it, as insert_or_assign would, but
  /// polling `pacer` as entries are copied and the index is rebuilt: a table of millions of
  /// entries takes seconds to move. An interruption leaves the map as it was.
  void make_room(InterruptPacer& pacer) {
    if (entries_.size() == entries_.capacity()) {
      reserve_paced(entries_, entries_.size() * 2 + 8, pacer);
    }
    if ((entries_.size() + 1) * 4 > index_.size() * 3) {
      rehash(index_.empty() ? 16 : index_.size() * 2, hash_.key, pacer);
    }
  }

  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  const Entry& operator[](std::size_t i) const { return entries_[i]; }

  /// Index slots that finding every entry once would look at.
  std::size_t probes_to_find_all() const { return entries_.size() + displaced_; }

 private:
  static constexpr std::size_t kFree = static_cast<std::size_t>(-1);
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);

  static std::uint64_t next_version() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
  }

  /// The index slot holding `key`, or the free slot where it would go (kNoSlot while the
  /// index is empty).
  template <class K>
  std::size_t home(const K& key, std::size_t mask) const {
    return static_cast<std::size_t>(hash_(key)) & mask;
  }

  template <class K>
  std::size_t slot_of(const K& key) const {
    if (index_.empty()) return kNoSlot;
    const std::size_t mask = index_.size() - 1;
    for (std::size_t i = home(key, mask);; i = (i + 1) & mask) {
      if (index_[i] == kFree || entries_[index_[i]].first == key) return i;
    }
  }

  /// Rebuilds the index with `capacity` slots under `key`, polling `pacer`. Running out of
  /// memory, or an interruption, leaves the map as it was.
  void rehash(std::size_t capacity, std::uint64_t key, InterruptPacer& pacer) {
    std::vector<std::size_t> fresh;
    assign_paced(fresh, capacity, kFree, pacer);
    const KeyedHash hash{key};
    const std::size_t mask = capacity - 1;
    std::size_t displaced = 0;
    for (std::size_t e = 0; e < entries_.size(); ++e) {
      pacer();
      const std::size_t start = static_cast<std::size_t>(hash(entries_[e].first)) & mask;
      std::size_t i = start;
      while (fresh[i] != kFree) i = (i + 1) & mask;
      fresh[i] = e;
      displaced += (i - start) & mask;
    }
    hash_ = hash;
    index_.swap(fresh);
    displaced_ = displaced;
  }

  void rehash(std::size_t capacity, std::uint64_t key) {
    InterruptPacer unpaced;
    rehash(capacity, key, unpaced);
  }

  KeyedHash hash_;
  std::vector<Entry> entries_;
  std::vector<std::size_t> index_;  // entry position per slot, or kFree
  std::size_t displaced_ = 0;       // slots between each entry and its home, summed
  std::uint64_t version_ = 0;
};

}  // namespace tokenizer
