// Open-addressing hash maps for the engine: FlatMap (unordered) and OrderedMap (insertion order).
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tokenizer/basic/types.hpp"

namespace tokenizer::basic {

/// A hash map with linear probing and a power-of-two table, keyed at random per instance.
/// Entries are never erased one by one; `clear` empties the map and keeps its capacity.
template <class Key, class Value>
class FlatMap {
 public:
  FlatMap() : hash_{random_hash_key()} {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  /// The value for `key`, or null.
  template <class K>
  Value* find(const K& key) {
    if (size_ == 0) return nullptr;
    for (std::size_t i = home(key);; i = (i + 1) & mask()) {
      Slot& slot = slots_[i];
      if (!slot.used) return nullptr;
      if (slot.key == key) return &slot.value;
    }
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
  }

  void reserve(std::size_t count) {
    std::size_t wanted = std::bit_ceil(count + count / 2 + 8);
    if (wanted > slots_.size()) rehash(wanted);
  }

  /// Calls `visit(key, value)` for every entry, in table order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    if (size_ == 0) return;
    for (const Slot& slot : slots_) {
      if (slot.used) visit(slot.key, slot.value);
    }
  }

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
  Slot& slot_for(const K& key) {
    if ((size_ + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    for (std::size_t i = home(key);; i = (i + 1) & mask()) {
      Slot& slot = slots_[i];
      if (!slot.used) {
        slot.key = Key(key);
        slot.used = true;
        ++size_;
        return slot;
      }
      if (slot.key == key) return slot;
    }
  }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    for (Slot& slot : old) {
      if (!slot.used) continue;
      for (std::size_t i = home(slot.key);; i = (i + 1) & mask()) {
        if (!slots_[i].used) {
          slots_[i] = std::move(slot);
          break;
        }
      }
    }
  }

  KeyedHash hash_;
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

/// A hash map that iterates in the order in which keys were first inserted. Inserting a key
/// that is present replaces its value and keeps its place; entries are never removed. Keys are
/// held once, in the entries; the hash index holds only entry positions.
template <class Key, class Value>
class OrderedMap {
 public:
  using Entry = std::pair<Key, Value>;

  OrderedMap() : hash_{random_hash_key()} {}

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
      rehash(index_.empty() ? 16 : index_.size() * 2);
      slot = slot_of(entry.first);
    }
    index_[slot] = entries_.size();
    entries_.push_back(std::move(entry));
    version_ = next_version();
  }

  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  const Entry& operator[](std::size_t i) const { return entries_[i]; }

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
  std::size_t slot_of(const K& key) const {
    if (index_.empty()) return kNoSlot;
    const std::size_t mask = index_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash_(key)) & mask;; i = (i + 1) & mask) {
      if (index_[i] == kFree || entries_[index_[i]].first == key) return i;
    }
  }

  void rehash(std::size_t capacity) {
    std::vector<std::size_t> fresh(capacity, kFree);
    const std::size_t mask = capacity - 1;
    for (std::size_t e = 0; e < entries_.size(); ++e) {
      std::size_t i = static_cast<std::size_t>(hash_(entries_[e].first)) & mask;
      while (fresh[i] != kFree) i = (i + 1) & mask;
      fresh[i] = e;
    }
    index_.swap(fresh);
  }

  KeyedHash hash_;
  std::vector<Entry> entries_;
  std::vector<std::size_t> index_;  // entry position per slot, or kFree
  std::uint64_t version_ = 0;
};

}  // namespace tokenizer::basic
