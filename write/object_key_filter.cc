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

bool ObjectKeyFilter::MayContain(std::string_view object_key) const {
  if (!enabled_) return true;
  const uint64_t hash = HashKey(object_key);
  for (const Level& level : levels_) {
    if (LevelHas(level, hash)) return true;
  }
  return false;
}

void ObjectKeyFilter::Add(std::string_view object_key) {
  const uint64_t hash = HashKey(object_key);
  for (const Level& level : levels_) {
    if (LevelHas(level, hash)) return;  // counted once
  }
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

bool ObjectKeyFilter::AddRecordKey(std::string_view record_key) {
  const size_t length = ObjectKeyLength(record_key);
  if (length == 0) return false;
  Add(record_key.substr(0, length));
  return true;
}

}  // namespace tarnix
