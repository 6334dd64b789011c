// The decoders of stored record bytes on arbitrary input. The first byte
// picks the decoder, the rest is its input. Besides not crashing, each
// decoder must agree with its encoder.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include <google/protobuf/unknown_field_set.h>

#include "schema/compact_uint.h"
#include "schema/record_key.h"
#include "schema/fuzz_schema.h"
#include "schema/schema.h"
#include "schema/vdb_id_set.h"
#include "schema/wire_format.h"
#include "util/fuzz_support.h"

namespace tarnix {
namespace {

uint64_t Read64(const std::string& in, size_t at) {
  uint64_t v = 0;
  for (size_t i = at; i < at + 8 && i < in.size(); ++i) {
    v = (v << 8) | static_cast<uint8_t>(in[i]);
  }
  return v;
}

void CompactUints(const std::string& in) {
  uint64_t v = 0;
  const size_t used = DecodeCompactUint64(in.data(), in.size(), &v);
  if (used != 0) {
    TARNIX_FUZZ_CHECK(used <= kMaxCompactUint64Bytes && v < kCompactUint64Limit);
    std::string again;
    TARNIX_FUZZ_CHECK(AppendCompactUint64(&again, v) && again.size() <= used);
    uint64_t w = 0;
    TARNIX_FUZZ_CHECK(DecodeCompactUint64(again.data(), again.size(), &w) == again.size());
    TARNIX_FUZZ_CHECK(w == v);
  }
  uint16_t s = 0;
  const size_t used16 = DecodeCompactUint16(in.data(), in.size(), &s);
  if (used16 != 0) {
    TARNIX_FUZZ_CHECK(used16 <= kMaxCompactUint16Bytes);
    std::string again;
    AppendCompactUint16(&again, s);
    uint16_t t = 0;
    TARNIX_FUZZ_CHECK(again.size() <= used16);
    TARNIX_FUZZ_CHECK(DecodeCompactUint16(again.data(), again.size(), &t) == again.size() && t == s);
  }
  // Bytewise order of two encodings is numeric order; neither is a prefix of
  // the other.
  const uint64_t a = Read64(in, 0) % kCompactUint64Limit;
  const uint64_t b = Read64(in, 8) % kCompactUint64Limit;
  std::string ea, eb;
  TARNIX_FUZZ_CHECK(AppendCompactUint64(&ea, a) && AppendCompactUint64(&eb, b));
  TARNIX_FUZZ_CHECK((ea < eb) == (a < b) && (ea == eb) == (a == b));
  TARNIX_FUZZ_CHECK(a == b || (ea.compare(0, eb.size(), eb) != 0 && eb.compare(0, ea.size(), ea) != 0));
  uint64_t back = 0;
  TARNIX_FUZZ_CHECK(DecodeCompactUint64(ea.data(), ea.size(), &back) == ea.size() && back == a);
}

// in[0] % 8 ids of two bytes each to add or remove, then an encoded set.
void VdbSets(const std::string& in) {
  if (in.empty()) return;
  const size_t count = static_cast<uint8_t>(in[0]) % 8;
  if (in.size() < 1 + 2 * count) return;
  VdbIdSet ids;
  for (size_t i = 0; i < count; ++i) {
    ids.insert(static_cast<VdbId>(static_cast<uint8_t>(in[1 + 2 * i]) << 8 |
                                  static_cast<uint8_t>(in[2 + 2 * i])));
  }
  const std::string suffix = in.substr(1 + 2 * count);

  VdbIdSet held;
  const bool readable = DecodeVdbSuffix(suffix, &held);
  TARNIX_FUZZ_CHECK(readable == IsValidVdbSuffix(suffix));
  std::string out = "x";
  if (!readable) {
    TARNIX_FUZZ_CHECK(held.empty());
    TARNIX_FUZZ_CHECK(!AddToVdbIdSet(ids, suffix, &out) && out.empty());
    out = "x";
    TARNIX_FUZZ_CHECK(!RemoveFromVdbIdSet(ids, suffix, &out) && out.empty());
    return;
  }
  TARNIX_FUZZ_CHECK(!held.empty());
  for (VdbId id : held) TARNIX_FUZZ_CHECK(VdbSuffixContains(suffix, id));
  for (VdbId id : ids) TARNIX_FUZZ_CHECK(VdbSuffixContains(suffix, id) == (held.count(id) != 0));

  VdbIdSet again;
  TARNIX_FUZZ_CHECK(DecodeVdbSuffix(EncodeVdbIdSet(held), &again) && again == held);

  // The edits read "" as the empty set, not as the main vdb.
  const EncodedVdbIdSet old = suffix.empty() ? EncodeVdbIdSet(held) : suffix;
  VdbIdSet sum = held;
  sum.insert(ids.begin(), ids.end());
  TARNIX_FUZZ_CHECK(AddToVdbIdSet(ids, old, &out));
  TARNIX_FUZZ_CHECK(out == EncodeVdbIdSet(sum));
  VdbIdSet rest = held;
  EraseVdbIds(ids, &rest);
  TARNIX_FUZZ_CHECK(RemoveFromVdbIdSet(ids, old, &out));
  TARNIX_FUZZ_CHECK(out == EncodeVdbIdSet(rest));
}

void RecordKeys(const Schema& schema, const std::string& key) {
  std::string type_name, id, suffix;
  const bool split = TryDecodeObjectRecordKey(schema, key, &type_name, &id, &suffix);
  std::string thrown_type, thrown_id, thrown_suffix;
  bool threw = false;
  try {
    DecodeObjectRecordKey(schema, key, &thrown_type, &thrown_id, &thrown_suffix);
  } catch (const std::out_of_range&) {
    threw = true;
  }
  if (!split) return;
  TARNIX_FUZZ_CHECK(!threw && thrown_type == type_name && thrown_id == id &&
                    thrown_suffix == suffix);
  std::string rebuilt;
  TARNIX_FUZZ_CHECK(MakeObjectRecordKey(schema, type_name, id, &rebuilt));
  rebuilt += suffix;
  std::string type2, id2, suffix2;
  TARNIX_FUZZ_CHECK(TryDecodeObjectRecordKey(schema, rebuilt, &type2, &id2, &suffix2));
  TARNIX_FUZZ_CHECK(type2 == type_name && id2 == id && suffix2 == suffix);
}

bool HasGroup(const google::protobuf::UnknownFieldSet& fields) {
  for (int i = 0; i < fields.field_count(); ++i) {
    if (fields.field(i).type() == google::protobuf::UnknownField::TYPE_GROUP) return true;
  }
  return false;
}

void WireFormat(const std::string& bytes) {
  const std::string sorted = SortSerializedFields(bytes);
  std::string a = bytes, b = sorted;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  TARNIX_FUZZ_CHECK(a == b);  // the same bytes, reordered
  google::protobuf::UnknownFieldSet fields;
  if (fields.ParseFromString(bytes) && !HasGroup(fields)) {
    TARNIX_FUZZ_CHECK(SortSerializedFields(sorted) == sorted);
    google::protobuf::UnknownFieldSet reordered;
    TARNIX_FUZZ_CHECK(reordered.ParseFromString(sorted));
    TARNIX_FUZZ_CHECK(reordered.field_count() == fields.field_count());
  }
  for (size_t at = 0; at <= bytes.size(); ++at) {
    const size_t after = ReadVarint(bytes, at).second;
    TARNIX_FUZZ_CHECK(after <= bytes.size() && after <= at + 10);
  }
}

}  // namespace
}  // namespace tarnix

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarnix::SilenceLogs();
  tarnix::ExampleSchema();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string in(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      tarnix::CompactUints(in);
      break;
    case 1:
      tarnix::VdbSets(in);
      break;
    case 2:
      tarnix::RecordKeys(tarnix::ExampleSchema(), in);
      break;
    case 3:
      tarnix::WireFormat(in);
      break;
  }
  return 0;
}
