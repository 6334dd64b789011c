#include "schema/vdb_id_set.h"

#include <algorithm>
#include <utility>

#include "schema/compact_uint.h"

namespace tarnix {
namespace {

// Writers never need more: a 1-byte header and 8192 bitmap bytes.
constexpr size_t kMaxEncodedVdbIdSetBytes = 8196;

// Reads the header; false when the bytes end inside it.
bool ReadHeader(const char* data, size_t length, uint32_t* base, size_t* header_length) {
  *header_length = DecodeWideCompactUint16(data, length, base);
  return *header_length != 0;
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
    if (!ReadHeader(encoded.data(), encoded.size(), &base_, &header_length) || base_ > 0xFFFF) {
      return false;
    }
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

}  // namespace

EncodedVdbIdSet EncodeVdbIdSet(const VdbIdSet& ids) {
  std::string out;
  if (ids.empty()) return out;
  const uint32_t base = *ids.begin();
  const uint32_t max = *ids.rbegin();
  AppendCompactUint16(&out, static_cast<uint16_t>(base));
  const size_t bitmap_length = (max - base + 7) / 8;
  if (out.size() + bitmap_length > kMaxEncodedVdbIdSetBytes) return std::string();
  if (bitmap_length == 0) return out;
  const size_t header_length = out.size();
  out.resize(header_length + bitmap_length, '\0');
  for (auto it = std::next(ids.begin()); it != ids.end(); ++it) {
    const uint32_t d = static_cast<uint32_t>(*it) - base - 1;
    out[header_length + d / 8] |= static_cast<char>(0x80u >> (d % 8));
  }
  return out;
}

bool IdBitmapContains(const char* data, size_t length, VdbId id) {
  uint32_t base = 0;
  size_t header_length = 0;
  if (!ReadHeader(data, length, &base, &header_length)) return false;
  if (id == base) return true;
  if (id < base) return false;
  const uint32_t d = id - base - 1;
  const size_t byte_index = d / 8;
  if (byte_index >= length - header_length) return false;
  return (static_cast<uint8_t>(data[header_length + byte_index]) & (0x80u >> (d % 8))) != 0;
}

bool IdBitmapContains(const std::string& encoded, VdbId id) {
  return IdBitmapContains(encoded.data(), encoded.size(), id);
}

bool VdbSuffixContains(const std::string& suffix, VdbId id) {
  if (suffix.empty()) return id == kMainVdbId;
  return IdBitmapContains(suffix, id);
}

bool DecodeVdbSuffix(const std::string& suffix, VdbIdSet* ids) {
  ids->clear();
  if (suffix.empty()) {
    ids->insert(kMainVdbId);
    return true;
  }
  uint32_t base = 0;
  size_t header_length = 0;
  if (!ReadHeader(suffix.data(), suffix.size(), &base, &header_length) || base > 0xFFFF) {
    return false;
  }
  // The ids come in ascending order: the set takes them as they are.
  VdbIdSet::sequence_type ordered;
  ordered.push_back(static_cast<VdbId>(base));
  for (size_t i = header_length; i < suffix.size(); ++i) {
    const uint8_t byte = static_cast<uint8_t>(suffix[i]);
    for (uint32_t bit = 0; bit < 8; ++bit) {
      if ((byte & (0x80u >> bit)) == 0) continue;
      const uint64_t id = uint64_t{base} + 1 + 8 * (i - header_length) + bit;
      if (id > 0xFFFF) break;
      ordered.push_back(static_cast<VdbId>(id));
    }
  }
  ids->adopt_sequence(boost::container::ordered_unique_range, std::move(ordered));
  return true;
}

bool AddToVdbIdSet(const VdbIdSet& ids, const EncodedVdbIdSet& old, EncodedVdbIdSet* out) {
  out->clear();
  if (old.empty()) {
    *out = EncodeVdbIdSet(ids);
    return true;
  }
  SetView view;
  if (!view.Read(old)) return false;
  const uint32_t base = view.base();
  const uint32_t new_base = ids.empty() ? base : std::min<uint32_t>(base, *ids.begin());
  const uint32_t largest =
      ids.empty() ? view.LargestId() : std::max<uint32_t>(view.LargestId(), *ids.rbegin());
  AppendCompactUint16(out, static_cast<uint16_t>(new_base));
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

bool RemoveFromVdbIdSet(const VdbIdSet& ids, const EncodedVdbIdSet& old,
                        EncodedVdbIdSet* out) {
  out->clear();
  if (old.empty()) return true;
  SetView view;
  if (!view.Read(old)) return false;
  const uint32_t base = view.base();
  const uint32_t old_bits = static_cast<uint32_t>(8 * view.length());
  if (ids.count(static_cast<VdbId>(base)) == 0) {
    AppendCompactUint16(out, static_cast<uint16_t>(base));
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
  AppendCompactUint16(out, static_cast<uint16_t>(new_base));
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

void EraseVdbIds(const VdbIdSet& ids, VdbIdSet* from) {
  for (VdbId id : ids) from->erase(id);
}

std::string VdbIdSetToString(const VdbIdSet& ids) {
  std::string out;
  for (VdbId id : ids) {
    if (!out.empty()) out += ", ";
    out += std::to_string(id);
  }
  return out;
}

ObjectUpdateRecord::ObjectUpdateRecord(uint32_t kind, std::string type_name,
                                       std::string id, const VdbIdSet& vdb_ids)
    : kind(kind),
      type_name(std::move(type_name)),
      id(std::move(id)),
      vdb_set(EncodeVdbIdSet(vdb_ids)) {}

}  // namespace tarnix
