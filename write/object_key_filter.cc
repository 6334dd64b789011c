#include "write/object_key_filter.h"

#include <functional>

#include "schema/varint.h"
#include "storage/key_space.h"

namespace tarnix {

namespace {

constexpr size_t kWordsPerBlock = 8;
constexpr size_t kBlockBits = kWordsPerBlock * 64;

uint64_t HashKey(std::string_view key) { return std::hash<std::string_view>()(key); }

// Calls fn(word, bit) for the probes of `hash`, all in one block of
// `words`, while fn returns true; returns whether every call did.
template <class Word, class Fn>
bool ForEachProbe(Word* words, size_t size, uint64_t hash, Fn fn) {
  Word* block = words + (hash % (size / kWordsPerBlock)) * kWordsPerBlock;
  // The probes take their bits from the half of the hash the block did not.
  uint64_t bits = hash >> 32 | hash << 32;
  const uint64_t step = (bits >> 17) | 1;
  for (int i = 0; i < 8; ++i) {
    const size_t bit = bits % kBlockBits;
    if (!fn(block[bit / 64], uint64_t{1} << (bit % 64))) return false;
    bits += step;
  }
  return true;
}

}  // namespace

size_t ObjectKeyFilter::ObjectKeyLength(std::string_view key) {
  if (key.empty() || key[0] != kObjectPrefix[0]) return 0;
  uint64_t value = 0;
  const size_t type_length = DecodeVarint64(key.data() + 1, key.size() - 1, &value);
  if (type_length == 0) return 0;
  const size_t offset = 1 + type_length;
  const size_t used = DecodeVarint64(key.data() + offset, key.size() - offset, &value);
  if (used == 0 || value > key.size() - offset - used) return 0;
  return offset + used + static_cast<size_t>(value);
}

bool ObjectKeyFilter::LevelHas(const Level& level, uint64_t hash) {
  return ForEachProbe(level.words.data(), level.words.size(), hash,
                      [](const uint64_t& word, uint64_t bit) { return (word & bit) != 0; });
}

bool ObjectKeyFilter::BloomHas(uint64_t hash) const {
  for (const Level& level : levels_) {
    if (LevelHas(level, hash)) return true;
  }
  return false;
}

bool ObjectKeyFilter::MayContain(std::string_view object_key) const {
  if (enabled_ && (object_key > largest_ || !BloomHas(HashKey(object_key)))) return false;
  return deleted_.empty() || deleted_.count(std::string(object_key)) == 0;
}

void ObjectKeyFilter::Add(std::string_view object_key) {
  if (journaling_) Journal(object_key, false);
  if (object_key > largest_) largest_.assign(object_key.data(), object_key.size());
  if (!deleted_.empty()) {
    const auto it = deleted_.find(std::string(object_key));
    if (it != deleted_.end()) {
      deleted_bytes_ -= it->size() + kEntryOverhead;
      deleted_.erase(it);
    }
  }
  const uint64_t hash = HashKey(object_key);
  if (BloomHas(hash)) return;  // counted once
  if (levels_.empty() || levels_.back().keys >= levels_.back().capacity) {
    Level level;
    level.capacity = levels_.empty() ? kFirstLevelKeys : levels_.back().capacity * 2;
    level.words.assign(level.capacity * kBitsPerKey / 64, 0);
    levels_.push_back(std::move(level));
  }
  Level& level = levels_.back();
  ForEachProbe(level.words.data(), level.words.size(), hash, [](uint64_t& word, uint64_t bit) {
    word |= bit;
    return true;
  });
  ++level.keys;
}

void ObjectKeyFilter::Remove(std::string_view object_key) {
  if (journaling_) Journal(object_key, true);
  const size_t cost = object_key.size() + kEntryOverhead;
  if (deleted_bytes_ + cost > deleted_bound_) {
    wants_rebuild_ = true;
    return;
  }
  if (deleted_.emplace(object_key).second) deleted_bytes_ += cost;
}

void ObjectKeyFilter::Journal(std::string_view object_key, bool removed) {
  if (journal_overflowed_) return;
  const size_t cost = object_key.size() + kEntryOverhead;
  if (journal_bytes_ + cost > deleted_bound_) {
    journal_overflowed_ = true;
    journal_.clear();
    journal_.shrink_to_fit();
    return;
  }
  journal_.emplace_back(object_key, removed);
  journal_bytes_ += cost;
}

void ObjectKeyFilter::StartJournal() {
  journaling_ = true;
  journal_overflowed_ = false;
}

void ObjectKeyFilter::DropJournal() {
  journaling_ = false;
  journal_overflowed_ = false;
  std::vector<std::pair<std::string, bool>>().swap(journal_);
  journal_bytes_ = 0;
}

bool ObjectKeyFilter::Adopt(ObjectKeyFilter* fresh) {
  const bool complete = !journal_overflowed_;
  if (complete) {
    for (const auto& entry : journal_) {
      if (entry.second) {
        fresh->Remove(entry.first);
      } else {
        fresh->Add(entry.first);
      }
    }
    levels_ = std::move(fresh->levels_);
    largest_ = std::move(fresh->largest_);
    enabled_ = fresh->enabled_;
    deleted_ = std::move(fresh->deleted_);
    deleted_bytes_ = fresh->deleted_bytes_;
    wants_rebuild_ = fresh->wants_rebuild_;
    fresh->levels_.clear();
    fresh->largest_.clear();
    fresh->deleted_.clear();
    fresh->deleted_bytes_ = 0;
  }
  DropJournal();
  return complete;
}

bool ObjectKeyFilter::AddRecordKey(std::string_view record_key) {
  const size_t length = ObjectKeyLength(record_key);
  if (length == 0) return false;
  Add(record_key.substr(0, length));
  return true;
}

}  // namespace tarnix
