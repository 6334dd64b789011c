// Object-type enum fields, sorted Merkle hashing and Merkle block ids.
#include <blake2.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"
#include "schema/field_checks.h"
#include "schema/schema.h"
#include "schema/varint.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
namespace opt = caldek::orv::tarnix;

constexpr uint32_t kDefaultBlockCount = 1024;

void LogNoObjectTypeField(const pb::Message& message) {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Message does not have an ObjectType enum field: %s",
             message.ShortDebugString().c_str());
}

template <typename T>
void HashLittleEndian(blake2b_state* state, T value) {
  uint8_t bytes[sizeof(T)];
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  blake2b_update(state, bytes, sizeof(T));
}

}  // namespace

std::string Schema::GetObjectType(const pb::Message* message) const {
  if (message == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "Input Message is nullptr");
    return std::string();
  }
  const pb::FieldDescriptor* field = FindObjectTypeField(message->GetDescriptor());
  if (field == nullptr) {
    LogNoObjectTypeField(*message);
    return std::string();
  }
  const pb::Reflection* r = message->GetReflection();
  const pb::EnumValueDescriptor* value = nullptr;
  if (field->is_repeated()) {
    if (r->FieldSize(*message, field) > 0) value = r->GetRepeatedEnum(*message, field, 0);
  } else if (r->HasField(*message, field)) {
    value = r->GetEnum(*message, field);
  }
  if (value != nullptr && value->options().HasExtension(opt::full_qualified_name)) {
    auto it = type_names_.find(value->number());
    if (it != type_names_.end()) return it->second;
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
               "Unable to find the full qualified name from the object type %d", value->number());
    return std::string();
  }
  // Ids outside the message's enum are kept as unknown varints.
  const pb::UnknownFieldSet& unknown = r->GetUnknownFields(*message);
  for (int i = 0; i < unknown.field_count(); ++i) {
    const pb::UnknownField& candidate = unknown.field(i);
    if (candidate.number() != field->number()) continue;
    if (candidate.type() != pb::UnknownField::TYPE_VARINT) break;
    const uint64_t raw = candidate.varint();
    auto it = type_names_.find(static_cast<int32_t>(static_cast<uint32_t>(raw)));
    if (it != type_names_.end()) return it->second;
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
               "Unable to find the full qualified name from the object type %" PRIu64, raw);
    return std::string();
  }
  LogNoObjectTypeField(*message);
  return std::string();
}

void Schema::SetObjectType(const std::string& type_name, pb::Message* message) const {
  if (message == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "Message is nullptr");
    return;
  }
  auto id = type_ids_.find(type_name);
  if (id == type_ids_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Unable to find the object type id from the %s",
               type_name.c_str());
    return;
  }
  const pb::FieldDescriptor* field = FindObjectTypeField(message->GetDescriptor());
  if (field == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Message does not have an ObjectType enum field");
    return;
  }
  // Serialises exactly as the enum field would, whether or not the message's
  // enum defines the id.
  message->GetReflection()->MutableUnknownFields(message)->AddVarint(
      field->number(), static_cast<uint64_t>(static_cast<int64_t>(id->second)));
}

bool Schema::HasSortRepeatedFields(const std::string& type_name) const {
  auto id = type_ids_.find(type_name);
  if (id == type_ids_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
               "HasSortRepeatedFields unable to find the object type id from the %s",
               type_name.c_str());
    return false;
  }
  return merkle_sort_types_.count(id->second) != 0;
}

uint32_t Schema::ComputeBlockId(
    const std::string& type_name, const std::string& key,
    const std::shared_ptr<const caldek::orv::tarnix::MerkleTreeBlockRangesMsg>& ranges) const {
  uint32_t count = kDefaultBlockCount;
  if (ranges && ranges->has_num_blocks()) count = ranges->num_blocks();

  // Initialising a state costs as much as hashing a block: copy one made once.
  static const blake2b_state kInitialState = [] {
    blake2b_state initial;
    blake2b_init(&initial, 4);
    return initial;
  }();
  blake2b_state state = kInitialState;
  blake2b_update(&state, reinterpret_cast<const uint8_t*>(type_name.data()), type_name.size());

  auto id = type_ids_.find(type_name);
  if (id == type_ids_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Unable to find the object type id from the %s",
               type_name.c_str());
    return 0;
  }
  auto kind = key_kinds_.find(id->second);
  const int key_kind = kind == key_kinds_.end() ? 0 : kind->second;
  // Integer keys are hashed as their fixed-width little-endian value.
  uint64_t number = 0;
  if (key_kind >= pb::FieldDescriptor::CPPTYPE_INT32 &&
      key_kind <= pb::FieldDescriptor::CPPTYPE_UINT64 &&
      DecodeVarint64(key.data(), key.size(), &number) == 0) {
    number = 0;
  }
  switch (key_kind) {
    case pb::FieldDescriptor::CPPTYPE_INT32:
      HashLittleEndian(&state, static_cast<uint32_t>(ZigZagDecode32(static_cast<uint32_t>(number))));
      break;
    case pb::FieldDescriptor::CPPTYPE_INT64:
      HashLittleEndian(&state, static_cast<uint64_t>(ZigZagDecode64(number)));
      break;
    case pb::FieldDescriptor::CPPTYPE_UINT32:
      HashLittleEndian(&state, static_cast<uint32_t>(number));
      break;
    case pb::FieldDescriptor::CPPTYPE_UINT64:
      HashLittleEndian(&state, number);
      break;
    default:
      blake2b_update(&state, reinterpret_cast<const uint8_t*>(key.data()), key.size());
      break;
  }
  uint8_t digest[4];
  blake2b_final(&state, digest, sizeof(digest));
  const uint32_t hash = (uint32_t{digest[0]} << 24) | (uint32_t{digest[1]} << 16) |
                        (uint32_t{digest[2]} << 8) | uint32_t{digest[3]};
  if (!ranges) return hash % kDefaultBlockCount + 1;

  uint32_t first = 1;
  auto frequency = update_frequencies_.find(id->second);
  const caldek::orv::tarnix::MerkleTreeBlockRangeMsg* range = nullptr;
  switch (frequency == update_frequencies_.end() ? 0 : frequency->second) {
    case 1:
      if (ranges->has_low_frequency_range()) range = &ranges->low_frequency_range();
      break;
    case 2:
      if (ranges->has_medium_frequency_range()) range = &ranges->medium_frequency_range();
      break;
    case 3:
      if (ranges->has_high_frequency_range()) range = &ranges->high_frequency_range();
      break;
    default:
      break;
  }
  if (range != nullptr) {
    first = range->first_block() == 0 ? 1 : range->first_block();
    count = std::min(count, range->last_block());
  }
  // Counts and ranges come from clients: an empty or inverted range has no
  // block to hash into.
  if (first > count) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
               "Empty Merkle block range %u..%u for %s", first, count, type_name.c_str());
    return 0;
  }
  const uint64_t span = uint64_t{count} + 1 - first;
  return static_cast<uint32_t>(first + hash % span);
}

}  // namespace tarnix
