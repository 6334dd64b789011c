#include "tools/load_objects.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/unknown_field_set.h>

namespace tarnix {
namespace load {
namespace {

namespace io = ::google::protobuf::io;

constexpr uint32_t kSequenceTag = (1 << 3) | 0;  // varint
constexpr uint32_t kActionTag = (3 << 3) | 2;    // length-delimited
constexpr int kObjectTypeField = 1;              // TypedObjectMsg.object_type

}  // namespace

std::string LoadObjectBody(uint64_t sequence, uint32_t body_bytes) {
  const size_t key_bytes = 1 + io::CodedOutputStream::VarintSize64(sequence);
  // The action's length prefix grows with the text; take the longest text
  // whose field still fits.
  size_t text_bytes = 0;
  if (body_bytes > key_bytes + 2) {
    const size_t room = body_bytes - key_bytes - 1;
    text_bytes = room - 1;
    while (text_bytes > 0 &&
           io::CodedOutputStream::VarintSize32(static_cast<uint32_t>(text_bytes)) + text_bytes >
               room) {
      --text_bytes;
    }
  }
  std::string body;
  {
    io::StringOutputStream stream(&body);
    io::CodedOutputStream out(&stream);
    out.WriteTag(kSequenceTag);
    out.WriteVarint64(sequence);
    if (text_bytes > 0) {
      out.WriteTag(kActionTag);
      out.WriteVarint32(static_cast<uint32_t>(text_bytes));
      out.WriteString(std::string(text_bytes, static_cast<char>('a' + sequence % kQueryGroups)));
    }
  }
  return body;
}

bool ReadLoadObjectSequence(const std::string& body, uint64_t* sequence) {
  io::CodedInputStream in(reinterpret_cast<const uint8_t*>(body.data()),
                          static_cast<int>(body.size()));
  return in.ReadTag() == kSequenceTag && in.ReadVarint64(sequence);
}

void SetLoadObject(uint64_t sequence, uint32_t body_bytes,
                   caldek::orv::tarnix::TypedObjectMsg* object) {
  object->Clear();
  // The compiled ObjectType enum lists no schema types: the id travels as an
  // unknown varint of the field, as the daemon reads it.
  object->mutable_unknown_fields()->AddVarint(kObjectTypeField, kLoadTypeId);
  object->set_object_body(LoadObjectBody(sequence, body_bytes));
}

}  // namespace load
}  // namespace tarnix
