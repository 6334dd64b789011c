#ifndef TARNIX_SCHEMA_VDB_ID_SET_H_
#define TARNIX_SCHEMA_VDB_ID_SET_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/container/flat_set.hpp>

namespace tarnix {

using VdbId = uint16_t;
// A sorted set of vdb ids, held in one array: objects are mostly in one or
// a few vdbs, and every pending operation and change record holds a set.
using VdbIdSet = boost::container::flat_set<VdbId>;

// Compact byte form of a vdb-id set: a header of n + 1 bytes (n in the top two
// bits of the first byte, then the smallest id big-endian in the remaining
// 6 + 8n bits) followed by a bitmap, most significant bit first, of the ids
// above the smallest one. Canonical: equal sets give equal bytes.
using EncodedVdbIdSet = std::string;

constexpr VdbId kMainVdbId = 1;

// The empty set encodes as "".
EncodedVdbIdSet EncodeVdbIdSet(const VdbIdSet& ids);

// Membership of id in a non-empty encoded set. Bytes shorter than their own
// header hold nothing; ids beyond the bitmap are not members.
bool IdBitmapContains(const char* data, size_t length, VdbId id);
bool IdBitmapContains(const std::string& encoded, VdbId id);

// The vdb suffix of a stored record key: an empty suffix stands for the main
// vdb alone, anything else is an EncodedVdbIdSet. Every reader of record keys
// goes through these two.
bool VdbSuffixContains(const std::string& suffix, VdbId id);
// Returns false (and leaves *ids empty) for a suffix too short for its header
// or whose smallest id does not fit 16 bits; ids above 65535 in the bitmap are
// dropped.
bool DecodeVdbSuffix(const std::string& suffix, VdbIdSet* ids);

// Edits of an encoded set, as a record changes vdbs. Both write a canonical
// encoding into *out, whose capacity is reused, and return false, leaving
// *out empty, only when `old` is not readable: bytes too short for their
// header, or a smallest id above 65535. An empty `old` is the empty set (not
// a suffix: callers map the empty suffix to the main vdb first). `old` is
// read as DecodeVdbSuffix reads it: a header of any width, trailing zero
// bytes and bitmap bits for ids above 65535 ignored.
// *out := old plus ids.
bool AddToVdbIdSet(const VdbIdSet& ids, const EncodedVdbIdSet& old, EncodedVdbIdSet* out);
// *out := old minus ids ("" when nothing is left).
bool RemoveFromVdbIdSet(const VdbIdSet& ids, const EncodedVdbIdSet& old, EncodedVdbIdSet* out);
// Whether DecodeVdbSuffix reads `suffix`, without building the set.
bool IsValidVdbSuffix(const std::string& suffix);

// Removes every id of `ids` from *from.
void EraseVdbIds(const VdbIdSet& ids, VdbIdSet* from);

// "1, 5, 7": the form vdb-id sets take in log and status texts.
std::string VdbIdSetToString(const VdbIdSet& ids);

// One changed object as the transaction log records it.
struct ObjectUpdateRecord {
  ObjectUpdateRecord(uint32_t kind, std::string type_name, std::string id,
                     const VdbIdSet& vdb_ids);

  uint32_t kind;
  std::string type_name;
  std::string id;
  EncodedVdbIdSet vdb_set;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_VDB_ID_SET_H_
