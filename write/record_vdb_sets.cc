#include "write/record_vdb_sets.h"

#include <algorithm>

namespace tarnix {
namespace {

// The header of an EncodedVdbIdSet, as schema/vdb_id_set.cc writes it: n in
// the top two bits of the first byte, then the smallest id big-endian in the
// remaining 6 + 8n bits of n + 1 bytes.
bool ReadHeader(const std::string& encoded, uint32_t* base, size_t* header_length) {
  if (encoded.empty()) return false;
  const size_t n = static_cast<uint8_t>(encoded[0]) >> 6;
  if (encoded.size() < n + 1) return false;
  uint32_t value = static_cast<uint8_t>(encoded[0]) & 0x3F;
  for (size_t i = 1; i <= n; ++i) value = (value << 8) | static_cast<uint8_t>(encoded[i]);
  if (value > 0xFFFF) return false;
  *base = value;
  *header_length = n + 1;
  return true;
}

void AppendHeader(uint32_t base, std::string* out) {
  size_t n = 0;
  while ((base >> (6 + 8 * n)) != 0) ++n;
  const size_t start = out->size();
  for (size_t i = 0; i <= n; ++i) {
    out->push_back(static_cast<char>((base >> (8 * (n - i))) & 0xFF));
  }
  (*out)[start] = static_cast<char>((*out)[start] | (n << 6));
}

// Bit p of a bitmap stands for id base + 1 + p, most significant bit first.
void SetBit(char* bitmap, uint32_t p) {
  bitmap[p / 8] = static_cast<char>(bitmap[p / 8] | (0x80u >> (p % 8)));
}
void ClearBit(char* bitmap, uint32_t p) {
  bitmap[p / 8] = static_cast<char>(bitmap[p / 8] & ~(0x80u >> (p % 8)));
}

void TrimTrailingZeros(size_t header_length, std::string* encoded) {
  size_t end = encoded->size();
  while (end > header_length && (*encoded)[end - 1] == '\0') --end;
  encoded->resize(end);
}

// The members of a valid encoding as its readers see them: a header of any
// width, and a bitmap without its trailing zero bytes and without bits for
// ids above 65535.
class SetView {
 public:
  // False when `encoded` is empty or not a valid encoding.
  bool Read(const std::string& encoded) {
    size_t header_length = 0;
    if (!ReadHeader(encoded, &base_, &header_length)) return false;
    bitmap_ = encoded.data() + header_length;
    const uint32_t bits = 0xFFFF - base_;  // ids base + 1 to 65535
    const size_t cap = (bits + 7) / 8;
    length_ = std::min(encoded.size() - header_length, cap);
    last_mask_ = length_ == cap && bits % 8 != 0 ? static_cast<uint8_t>(0xFF00u >> (bits % 8))
                                                 : 0xFF;
    while (length_ > 0 && (static_cast<uint8_t>(bitmap_[length_ - 1]) & last_mask_) == 0) {
      --length_;
      last_mask_ = 0xFF;
    }
    return true;
  }

  uint32_t base() const { return base_; }
  size_t length() const { return length_; }
  uint8_t Byte(size_t i) const {
    const uint8_t byte = static_cast<uint8_t>(bitmap_[i]);
    return i + 1 == length_ ? (byte & last_mask_) : byte;
  }
  bool TestBit(uint32_t p) const { return (Byte(p / 8) & (0x80u >> (p % 8))) != 0; }
  uint32_t LargestId() const {
    if (length_ == 0) return base_;
    const uint8_t byte = Byte(length_ - 1);
    uint32_t bit = 7;
    while ((byte & (0x80u >> bit)) == 0) --bit;
    return base_ + 1 + static_cast<uint32_t>(8 * (length_ - 1)) + bit;
  }

 private:
  uint32_t base_ = 0;
  const char* bitmap_ = nullptr;
  size_t length_ = 0;
  uint8_t last_mask_ = 0xFF;
};

void Encode(const VdbIdSet& ids, std::string* out) {
  out->clear();
  if (ids.empty()) return;
  const uint32_t base = *ids.begin();
  AppendHeader(base, out);
  const size_t header_length = out->size();
  out->resize(header_length + (*ids.rbegin() - base + 7) / 8, '\0');
  for (auto it = std::next(ids.begin()); it != ids.end(); ++it) {
    SetBit(&(*out)[header_length], *it - base - 1);
  }
}

}  // namespace

bool AddToVdbIdSet(const VdbIdSet& ids, const std::string& old, std::string* out) {
  out->clear();
  if (old.empty()) {
    Encode(ids, out);
    return true;
  }
  SetView view;
  if (!view.Read(old)) return false;
  const uint32_t base = view.base();
  const uint32_t new_base = ids.empty() ? base : std::min<uint32_t>(base, *ids.begin());
  const uint32_t largest =
      ids.empty() ? view.LargestId() : std::max<uint32_t>(view.LargestId(), *ids.rbegin());
  AppendHeader(new_base, out);
  const size_t new_header_length = out->size();
  const size_t new_length = (largest - new_base + 7) / 8;
  out->resize(new_header_length + new_length, '\0');
  char* bitmap = &(*out)[new_header_length];
  // Re-basing moves the old bitmap up by `shift` bits; the old base itself
  // becomes an ordinary bit. The old largest id bounds every byte written.
  const uint32_t shift = base - new_base;
  const size_t whole = shift / 8;
  const uint32_t part = shift % 8;
  for (size_t i = 0; i < view.length(); ++i) {
    const uint8_t byte = view.Byte(i);
    const size_t at = i + whole;
    bitmap[at] = static_cast<char>(bitmap[at] | (byte >> part));
    if (part != 0 && at + 1 < new_length) {
      bitmap[at + 1] = static_cast<char>(bitmap[at + 1] | ((byte << (8 - part)) & 0xFF));
    }
  }
  if (shift != 0) SetBit(bitmap, shift - 1);
  for (VdbId id : ids) {
    if (id != new_base) SetBit(bitmap, id - new_base - 1);
  }
  return true;
}

bool RemoveFromVdbIdSet(const VdbIdSet& ids, const std::string& old, std::string* out) {
  out->clear();
  if (old.empty()) return true;
  SetView view;
  if (!view.Read(old)) return false;
  const uint32_t base = view.base();
  const uint32_t old_bits = static_cast<uint32_t>(8 * view.length());
  if (ids.count(static_cast<VdbId>(base)) == 0) {
    AppendHeader(base, out);
    const size_t header_length = out->size();
    out->resize(header_length + view.length());
    char* bitmap = &(*out)[header_length];
    for (size_t i = 0; i < view.length(); ++i) bitmap[i] = static_cast<char>(view.Byte(i));
    for (auto it = ids.upper_bound(static_cast<VdbId>(base)); it != ids.end(); ++it) {
      const uint32_t p = *it - base - 1;
      if (p >= old_bits) break;
      ClearBit(bitmap, p);
    }
    TrimTrailingZeros(header_length, out);
    return true;
  }
  // The base goes: the new base is the smallest remaining id above it.
  uint32_t first = 0;  // bit of the new base in the old bitmap, plus one
  auto removed = ids.upper_bound(static_cast<VdbId>(base));
  for (uint32_t p = 0; p < old_bits && first == 0; ++p) {
    if (!view.TestBit(p)) continue;
    const uint32_t id = base + 1 + p;
    while (removed != ids.end() && *removed < id) ++removed;
    if (removed == ids.end() || *removed != id) first = p + 1;
  }
  if (first == 0) return true;  // nothing left
  const uint32_t new_base = base + first;
  AppendHeader(new_base, out);
  const size_t new_header_length = out->size();
  // Bit p of the old bitmap becomes bit p - first of the new one.
  const size_t new_length = (old_bits - first + 7) / 8;
  out->resize(new_header_length + new_length, '\0');
  char* bitmap = &(*out)[new_header_length];
  const size_t whole = first / 8;
  const uint32_t part = first % 8;
  for (size_t j = 0; j < new_length; ++j) {
    const size_t i = j + whole;
    uint32_t byte = (view.Byte(i) << part) & 0xFF;
    if (part != 0 && i + 1 < view.length()) byte |= view.Byte(i + 1) >> (8 - part);
    bitmap[j] = static_cast<char>(byte);
  }
  for (auto it = ids.upper_bound(static_cast<VdbId>(new_base)); it != ids.end(); ++it) {
    const uint32_t p = *it - new_base - 1;
    if (p >= 8 * new_length) break;
    ClearBit(bitmap, p);
  }
  TrimTrailingZeros(new_header_length, out);
  return true;
}

bool IsValidVdbSuffix(const std::string& suffix) {
  SetView view;
  return suffix.empty() || view.Read(suffix);
}

// --- DbRecord ---

void DbRecord::SetStored(std::string key, std::string suffix) {
  kind_ = STORED;
  key_ = std::move(key);
  suffix_ = std::move(suffix);
  merged_keys_.clear();
}

bool DbRecord::MergeStored(std::string key, const std::string& suffix) {
  VdbIdSet ids;
  if (!DecodeVdbSuffix(suffix, &ids)) return false;
  // An empty suffix holds the main vdb alone, on either side.
  static const std::string kMainVdbOnly = EncodeVdbIdSet(VdbIdSet{kMainVdbId});
  std::string merged;
  if (!AddToVdbIdSet(ids, suffix_.empty() ? kMainVdbOnly : suffix_, &merged)) return false;
  suffix_ = std::move(merged);
  merged_keys_.push_back(std::move(key));
  return true;
}

bool DbRecord::HasVdb(VdbId id) const {
  switch (kind_) {
    case EXPLICIT:
      return include_.count(id) != 0;
    case CHANGED:
      if (exclude_.count(id) != 0) return false;
      if (include_.count(id) != 0) return true;
      return StoredHas(id);
    case STORED:
      return StoredHas(id);
  }
  return false;
}

void DbRecord::AddVdbs(const VdbIdSet& ids) {
  if (kind_ == EXPLICIT) {
    include_.insert(ids.begin(), ids.end());
    return;
  }
  for (VdbId id : ids) {
    exclude_.erase(id);
    include_.insert(id);
  }
  kind_ = CHANGED;
  SettleKind();
}

void DbRecord::RemoveVdbs(const VdbIdSet& ids) {
  if (kind_ == EXPLICIT) {
    for (VdbId id : ids) include_.erase(id);
    return;
  }
  for (VdbId id : ids) {
    if (exclude_.count(id) != 0) continue;
    include_.erase(id);
    if (StoredHas(id)) exclude_.insert(id);
  }
  kind_ = CHANGED;
  SettleKind();
}

void DbRecord::SettleKind() {
  if (kind_ == CHANGED && include_.empty() && exclude_.empty()) kind_ = STORED;
}

void DbRecord::CollectHeldVdbs(const VdbIdSet& ids, VdbIdSet* out) const {
  for (VdbId id : ids) {
    if (HasVdb(id)) out->insert(id);
  }
}

void DbRecord::ExcludedAmong(const VdbIdSet& ids, VdbIdSet* out) const {
  for (VdbId id : exclude_) {
    if (ids.count(id) != 0) out->insert(id);
  }
}

void DbRecord::IncludedAmong(const VdbIdSet& ids, VdbIdSet* out) const {
  for (VdbId id : include_) {
    if (ids.count(id) != 0) out->insert(id);
  }
}

void DbRecord::CollectStoredIncludes(VdbIdSet* out) const {
  if (kind_ != CHANGED) return;
  for (VdbId id : include_) {
    if (StoredHas(id)) out->insert(id);
  }
}

// --- RecordBodyTable ---

int RecordBodyTable::Find(const std::string& body) const {
  for (size_t i = 0; i < records_.size(); ++i) {
    if (*records_[i].body == body) return static_cast<int>(i);
  }
  return -1;
}

size_t RecordBodyTable::FindOrAdd(const ObjectBody& body) {
  const int found = Find(*body);
  if (found >= 0) return static_cast<size_t>(found);
  records_.push_back(WorkingRecord{body, DbRecord()});
  return records_.size() - 1;
}

// --- ObjectRecordWrites ---

void ObjectRecordWrites::Clear() {
  puts_.clear();
  deletes_.clear();
}

bool ObjectRecordWrites::AddObject(const std::string& object_key,
                                   const RecordBodyTable& table) {
  for (const WorkingRecord& record : table) {
    if (!AddRecord(object_key, record)) return false;
  }
  return true;
}

bool ObjectRecordWrites::AddRecord(const std::string& object_key,
                                   const WorkingRecord& working) {
  const DbRecord& record = working.record;
  if (record.kind() == DbRecord::EXPLICIT) {
    if (record.include().empty()) return true;
    Encode(record.include(), &added_);
    AddPut(object_key + added_, working.body);
    return true;
  }
  const std::vector<std::string>& merged = record.merged_keys();
  if (record.kind() == DbRecord::STORED && merged.empty()) return true;
  // A key without a suffix holds the main vdb alone; the new set starts
  // from that, so the main vdb keeps the body.
  static const std::string kMainVdbOnly = EncodeVdbIdSet(VdbIdSet{kMainVdbId});
  const std::string& stored = record.suffix().empty() ? kMainVdbOnly : record.suffix();
  if (!RemoveFromVdbIdSet(record.exclude(), stored, &removed_) ||
      !AddToVdbIdSet(record.include(), removed_, &added_)) {
    return false;
  }
  // The record ends under the key of its new set (none when it has no vdb
  // left); every other key it was stored under goes.
  const std::string key = added_.empty() ? std::string() : object_key + added_;
  const bool stored_there = key == record.key() ||
                            std::find(merged.begin(), merged.end(), key) != merged.end();
  if (!key.empty() && !stored_there) AddPut(key, working.body);
  if (record.key() != key) AddDelete(record.key());
  for (const std::string& other : merged) {
    if (other != key) AddDelete(other);
  }
  return true;
}

void ObjectRecordWrites::AddPut(std::string key, const ObjectBody& body) {
  // A key that another record of the object gives up is taken over, not
  // deleted.
  deletes_.erase(std::remove(deletes_.begin(), deletes_.end(), key), deletes_.end());
  for (Put& put : puts_) {
    if (put.first == key) {
      put.second = body;
      return;
    }
  }
  puts_.emplace_back(std::move(key), body);
}

void ObjectRecordWrites::AddDelete(const std::string& key) {
  for (const Put& put : puts_) {
    if (put.first == key) return;
  }
  if (std::find(deletes_.begin(), deletes_.end(), key) == deletes_.end()) {
    deletes_.push_back(key);
  }
}

}  // namespace tarnix
