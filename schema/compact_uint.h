#ifndef TARNIX_SCHEMA_COMPACT_UINT_H_
#define TARNIX_SCHEMA_COMPACT_UINT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnix {

// Order-preserving, length-tagged big-endian integers for database keys: the
// top bits of the first byte hold the count n of bytes that follow, the value
// fills the remaining bits of the n + 1 bytes, using the fewest bytes that
// hold it. Bytewise order of encodings is numeric order, and no encoding is a
// prefix of another.

// Three-bit count: 1 to 8 bytes, values below 2^61.
constexpr uint64_t kCompactUint64Limit = uint64_t{1} << 61;
constexpr size_t kMaxCompactUint64Bytes = 8;

// Appends `value`; false, with nothing appended, when value >= 2^61.
bool AppendCompactUint64(std::string* out, uint64_t value);
// Decodes the encoding at the start of [data, data + size). Returns the bytes
// it occupies, or 0 when the input ends inside it (*value is then untouched).
size_t DecodeCompactUint64(const char* data, size_t size, uint64_t* value);

// Two-bit count: 1 to 3 bytes. Exactly the header of an EncodedVdbIdSet that
// holds the one id.
constexpr size_t kMaxCompactUint16Bytes = 3;

void AppendCompactUint16(std::string* out, uint16_t value);
// As DecodeCompactUint64; also 0 for a count of 3 or a value above 65535.
size_t DecodeCompactUint16(const char* data, size_t size, uint16_t* value);
// The two-bit-count form without those limits: counts 0 to 3, values below
// 2^30. Set headers are read this way, so that a wide header still yields
// its base.
size_t DecodeWideCompactUint16(const char* data, size_t size, uint32_t* value);

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_COMPACT_UINT_H_
