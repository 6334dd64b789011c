#include "schema/wire_format.h"

#include <algorithm>
#include <vector>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include "logging/logger.h"

namespace tarnix {

std::pair<uint32_t, size_t> ReadVarint(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 10 && offset < bytes.size(); ++i) {
    const uint8_t byte = static_cast<uint8_t>(bytes[offset++]);
    value += static_cast<uint32_t>(byte & 0x7F) << ((7 * i) % 32);
    if ((byte & 0x80) == 0) break;
  }
  return {value, offset};
}

std::string SliceSerialized(const std::string& bytes, size_t from, size_t to) {
  return bytes.substr(from, to < from ? 0 : to - from);
}

std::string SortSerializedFields(const std::string& bytes) {
  if (bytes.empty()) return std::string();
  std::vector<std::string> records;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const auto [tag, after_tag] = ReadVarint(bytes, pos);
    size_t end = after_tag;
    switch (tag & 7) {
      case 0:
        end = ReadVarint(bytes, after_tag).second;
        break;
      case 1:
        end = after_tag + 8;
        break;
      case 2: {
        const auto [length, after_length] = ReadVarint(bytes, after_tag);
        end = after_length + length;
        break;
      }
      case 5:
        end = after_tag + 4;
        break;
      default:
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Unsupported wire format");
        return bytes;
    }
    end = std::min(end, bytes.size());
    records.push_back(SliceSerialized(bytes, pos, end));
    pos = end;
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const std::string& a, const std::string& b) {
                     return a.compare(b) < 0;
                   });
  std::string out;
  out.reserve(bytes.size());
  for (const std::string& record : records) out += record;
  return out;
}

bool SerializeDeterministic(const google::protobuf::Message& message, std::string* out) {
  out->clear();
  google::protobuf::io::StringOutputStream stream(out);
  google::protobuf::io::CodedOutputStream coded(&stream);
  coded.SetSerializationDeterministic(true);
  return message.SerializeToCodedStream(&coded) && !coded.HadError();
}

}  // namespace tarnix
