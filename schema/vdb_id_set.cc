#include "schema/vdb_id_set.h"

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

}  // namespace

EncodedVdbIdSet EncodeVdbIdSet(const VdbIdSet& ids) {
  std::string out;
  if (ids.empty()) return out;
  const uint32_t base = *ids.begin();
  const uint32_t max = *ids.rbegin();
  AppendCompactUint16(&out, *ids.begin());
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
  ids->insert(static_cast<VdbId>(base));
  for (size_t i = header_length; i < suffix.size(); ++i) {
    const uint8_t byte = static_cast<uint8_t>(suffix[i]);
    for (uint32_t bit = 0; bit < 8; ++bit) {
      if ((byte & (0x80u >> bit)) == 0) continue;
      const uint64_t id = uint64_t{base} + 1 + 8 * (i - header_length) + bit;
      if (id > 0xFFFF) return true;
      ids->insert(static_cast<VdbId>(id));
    }
  }
  return true;
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
