#ifndef TARNIX_SCHEMA_WIRE_FORMAT_H_
#define TARNIX_SCHEMA_WIRE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include <google/protobuf/message.h>

namespace tarnix {

// Reads the varint at offset: returns its value (groups summed modulo 2^32)
// and the offset just after it. Reads at most ten bytes and never past the
// end of bytes.
std::pair<uint32_t, size_t> ReadVarint(const std::string& bytes, size_t offset);

// bytes[from, to), with to clamped to the end; throws std::out_of_range when
// from is beyond the end.
std::string SliceSerialized(const std::string& bytes, size_t from, size_t to);

// Canonical form of a serialised message: its top-level field records (tag
// and payload) stable-sorted bytewise and joined. Input holding a group or an
// invalid wire type comes back unchanged, with an error log.
std::string SortSerializedFields(const std::string& bytes);

// Serialises `message` into *out with map entries in key order, so equal
// messages give equal bytes; the bytes every comparison of messages uses.
// False when the message cannot be serialised.
bool SerializeDeterministic(const google::protobuf::Message& message, std::string* out);

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_WIRE_FORMAT_H_
