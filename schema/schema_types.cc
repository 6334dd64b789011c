#include "schema/schema_types.h"

#include <blake2.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <utility>

#include <google/protobuf/descriptor.pb.h>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"
#include "schema/field_checks.h"
#include "schema/record_key.h"
#include "schema/varint.h"

namespace tarnix {

namespace opt = ::caldek::orv::tarnix;
namespace pb = ::google::protobuf;

namespace {

constexpr char kVersionFile[] = "caldek/orv/tarnix/tarnix_version.proto";
constexpr char kCommonFile[] = "caldek/orv/tarnix/tarnix_schema_common.proto";
constexpr int32_t kDefaultUpdateFrequency = 2;
constexpr off_t kMaxSchemaFileSize = 256 << 20;

// Reads a regular file of at most kMaxSchemaFileSize bytes. Anything else
// (missing, unreadable, FIFO, device, directory, too large) reads as empty.
// The type is checked before the open: opening a FIFO releases a writer
// waiting on it, and opening a tty can make it the controlling terminal.
// O_NOCTTY and O_NONBLOCK guard the open against a swap after the stat,
// and fstat checks the file actually opened.
std::string ReadSchemaFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return std::string();
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string bytes;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxSchemaFileSize) {
    // Read to end of file, but never past the limit even if the file grows.
    bytes.resize(static_cast<size_t>(st.st_size) + 1);
    size_t used = 0;
    for (;;) {
      if (used == bytes.size()) {
        if (bytes.size() > static_cast<size_t>(kMaxSchemaFileSize)) {
          used = 0;  // grew beyond the limit
          break;
        }
        bytes.resize(std::min<size_t>(bytes.size() * 2, kMaxSchemaFileSize + size_t{1}));
      }
      ssize_t n = ::read(fd, &bytes[used], bytes.size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        used = 0;
        break;
      }
      if (n == 0) break;
      used += static_cast<size_t>(n);
    }
    bytes.resize(used);
  }
  ::close(fd);
  return bytes;
}

// Whether BuildObjectTypeTables would find an object type in `pool`.
bool DefinesObjectType(const pb::DescriptorPool& pool, const std::string& package_prefix) {
  const pb::EnumDescriptor* object_type = pool.FindEnumTypeByName(package_prefix + ".ObjectType");
  if (object_type == nullptr) return false;
  for (int i = 0; i < object_type->value_count(); ++i) {
    if (object_type->value(i)->options().HasExtension(opt::full_qualified_name)) return true;
  }
  return false;
}

// Logs the failure's message as its ERROR line.
Status LoadFailure(const char* error_code, Status failure) {
  TARNIX_LOG(orv::ERROR, error_code, "%s", failure.message().c_str());
  return failure;
}

void LogNoPool() {
  TARNIX_LOG(orv::ERROR, "errorCode:ERR_DESCRIPTOR_POOL_nullptr", "descriptor_pool_ is nullptr");
}

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

SchemaTypes::SchemaTypes(std::string package_prefix) : package_prefix_(std::move(package_prefix)) {}

SchemaTypes::~SchemaTypes() = default;

Status SchemaTypes::Load(const std::string& schema_path, bool require_object_type) {
  const std::string bytes = ReadSchemaFile(schema_path);
  pb::FileDescriptorSet set;
  if (!set.ParseFromString(bytes)) {
    return LoadFailure(
        "errorCode:DRX0202",
        Status::InvalidArgument("Failed to parse schema proto file: " + schema_path + ","));
  }
  if (set.file_size() == 0) {
    return LoadFailure("errorCode:DRX0202",
                       Status::InvalidArgument("FileDescriptorSet does not contain a file"));
  }

  auto generation = std::make_unique<Generation>();
  generation->pool = std::make_shared<pb::DescriptorPool>();
  std::unordered_set<const pb::FileDescriptor*> files;
  for (const pb::FileDescriptorProto& file : set.file()) {
    const pb::FileDescriptor* built = generation->pool->BuildFile(file);
    if (built == nullptr) {
      return LoadFailure("errorCode:DRX0202",
                         Status::InvalidArgument("Unable to build FileDescriptor"));
    }
    files.insert(built);
  }
  if (require_object_type && !DefinesObjectType(*generation->pool, package_prefix_)) {
    return LoadFailure(
        "errorCode:DRX0204",
        Status::FailedPrecondition("Schema file " + schema_path +
                                   " defines no object type; the loaded schema stays in force"));
  }
  generation->factory = std::make_unique<pb::DynamicMessageFactory>(generation->pool.get());

  // Commit. The replaced generation stays in generations_.
  descriptor_pool_ = generation->pool;
  message_factory_ = generation->factory.get();
  generations_.push_back(std::move(generation));
  schema_path_ = schema_path;
  files_.swap(files);
  BuildObjectTypeTables();
  return Status::OK();
}

void SchemaTypes::BuildObjectTypeTables() {
  type_names_.clear();
  type_ids_.clear();
  domains_.clear();
  ephemeral_types_.clear();
  key_kinds_.clear();
  update_frequencies_.clear();
  merkle_sort_types_.clear();

  const pb::EnumDescriptor* object_type =
      descriptor_pool_->FindEnumTypeByName(package_prefix_ + ".ObjectType");
  if (object_type == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
               "Unable to find ObjectType enum from the descriptor");
    return;
  }
  for (int i = 0; i < object_type->value_count(); ++i) {
    const pb::EnumValueDescriptor* value = object_type->value(i);
    if (!value->options().HasExtension(opt::full_qualified_name)) continue;
    const int32_t id = value->number();
    const std::string& name = value->options().GetExtension(opt::full_qualified_name);
    type_ids_.emplace(name, id);
    auto first = type_names_.emplace(id, name);
    if (!first.second) {
      // An alias: the id's options come from the first value alone, so an
      // alias cannot make a type ephemeral or move it to another domain.
      const pb::EnumValueDescriptor* original = object_type->FindValueByNumber(id);
      TARNIX_LOG(orv::WARNING, "errorCode:DRX0204",
                 "ObjectType %s repeats id %d of %s; the options of %s are ignored",
                 value->name().c_str(), id, original->name().c_str(), name.c_str());
      continue;
    }

    const pb::Descriptor* message = descriptor_pool_->FindMessageTypeByName(name);
    if (message == nullptr) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Unable to find corresponding message type %s",
                 name.c_str());
      continue;
    }
    const pb::FieldDescriptor* key = FindKeyField(message);
    if (key != nullptr) {
      key_kinds_.emplace(id, static_cast<int32_t>(key->cpp_type()));
    } else {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Unable to find key field from message type %s",
                 name.c_str());
    }

    const pb::MessageOptions& options = message->options();
    if (options.HasExtension(opt::ephemeral) && options.GetExtension(opt::ephemeral)) {
      ephemeral_types_.push_back(id);
    }
    if (options.HasExtension(opt::merkle_sort_repeated) &&
        options.GetExtension(opt::merkle_sort_repeated)) {
      merkle_sort_types_.insert(id);
    }
    update_frequencies_.emplace(
        id, options.HasExtension(opt::update_frequency)
                ? static_cast<int32_t>(options.GetExtension(opt::update_frequency))
                : kDefaultUpdateFrequency);
    if (options.HasExtension(opt::domain)) {
      domains_[options.GetExtension(opt::domain)].insert(name);
    } else {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
                 "Unable to find domain option from message type %s", name.c_str());
    }
  }
}

std::string SchemaTypes::GetSchemaPath() const { return schema_path_; }

std::string SchemaTypes::GetSchemaText() const {
  std::string text;
  for (const pb::FileDescriptor* file : files_) text += file->DebugString();
  return text;
}

std::string SchemaTypes::GetVersion() const {
  if (!descriptor_pool_) {
    LogNoPool();
    return std::string();
  }
  const pb::FileDescriptor* file = descriptor_pool_->FindFileByName(kVersionFile);
  if (file == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0202",
               "Unable to find file descriptor for tarnix_version.proto");
    return std::string();
  }
  if (file->options().HasExtension(opt::version)) {
    return file->options().GetExtension(opt::version);
  }
  TARNIX_LOG(orv::VERBOSE, nullptr, "Unable to find version from schema file");
  return std::string();
}

std::vector<int32_t> SchemaTypes::GetDeprecatedObjectTypes() const {
  std::vector<int32_t> ids;
  if (!descriptor_pool_) {
    LogNoPool();
    return ids;
  }
  const pb::FileDescriptor* file = descriptor_pool_->FindFileByName(kCommonFile);
  if (file == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0202",
               "Unable to find file descriptor for tarnix_schema_common.proto");
    return ids;
  }
  if (!file->options().HasExtension(opt::deprecated_object_type_id)) {
    TARNIX_LOG(orv::VERBOSE, nullptr, "Unable to find deprecated object types from schema file");
    return ids;
  }
  const opt::DeprecatedObjectTypeIdsMsg& deprecated =
      file->options().GetExtension(opt::deprecated_object_type_id);
  ids.assign(deprecated.ids().begin(), deprecated.ids().end());
  return ids;
}

const pb::Descriptor* SchemaTypes::FindMessageTypeByName(const std::string& full_name) const {
  if (!descriptor_pool_) {
    LogNoPool();
    return nullptr;
  }
  return descriptor_pool_->FindMessageTypeByName(full_name);
}

pb::Message* SchemaTypes::NewMessage(const std::string& type_name) const {
  if (!descriptor_pool_) {
    LogNoPool();
    return nullptr;
  }
  const pb::Descriptor* type = descriptor_pool_->FindMessageTypeByName(type_name);
  if (type == nullptr) {
    TARNIX_LOG(orv::VERBOSE, nullptr, "Unable to get descriptor for %s", type_name.c_str());
    return nullptr;
  }
  // The current factory belongs to the current pool, which holds `type`.
  const pb::Message* prototype = message_factory_->GetPrototype(type);
  return prototype ? prototype->New() : nullptr;
}

pb::Message* SchemaTypes::ParseMessage(const std::string& type_name,
                                       const std::string& bytes) const {
  std::unique_ptr<pb::Message> message(NewMessage(type_name));
  if (!message || !ParseInto(type_name, bytes, message.get()).ok()) return nullptr;
  return message.release();
}

Status SchemaTypes::ParseInto(const std::string& type_name, const std::string& bytes,
                              pb::Message* message) const {
  // Parsing clears the message first: nothing of what it held stays.
  if (message->ParseFromString(bytes)) return Status::OK();
  std::string text = "Unable to parse data into " + type_name + " message";
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0203", "%s", text.c_str());
  return Status::InvalidArgument(std::move(text));
}

const pb::EnumDescriptor* SchemaTypes::FindEnumTypeByName(const std::string& full_name) const {
  if (!descriptor_pool_) {
    LogNoPool();
    return nullptr;
  }
  return descriptor_pool_->FindEnumTypeByName(full_name);
}

const pb::Message* SchemaTypes::GetPrototype(const pb::Descriptor* type) const {
  return message_factory_->GetPrototype(type);
}

bool SchemaTypes::HasLoadedPool(const pb::DescriptorPool* pool) const {
  return std::any_of(
      generations_.begin(), generations_.end(),
      [pool](const std::unique_ptr<Generation>& g) { return g->pool.get() == pool; });
}

std::string SchemaTypes::GetObjectTypeId(const std::string& type_name) const {
  auto it = type_ids_.find(type_name);
  if (it == type_ids_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Unable to find the object type id from the %s",
               type_name.c_str());
    return std::string();
  }
  return EncodeObjectTypeId(it->second);
}

std::string SchemaTypes::GetFullQualifiedName(const std::string& bytes, uint32_t* used) const {
  uint64_t value = 0;
  const size_t length = DecodeVarint64(bytes.data(), bytes.size(), &value);
  if (length == 0) {
    if (used != nullptr) {
      *used = static_cast<uint32_t>(std::min(bytes.size(), kMaxVarint64Bytes));
    }
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Malformed object type id of %zu bytes",
               bytes.size());
    return std::string();
  }
  if (used != nullptr) *used = static_cast<uint32_t>(length);
  const int32_t id = static_cast<int32_t>(static_cast<uint32_t>(value));
  auto it = type_names_.find(id);
  if (it == type_names_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
               "Unable to find the full qualified name from the object type: %d", id);
    return std::string();
  }
  return it->second;
}

std::string SchemaTypes::GetFullQualifiedName(const std::string& bytes, int* used) const {
  uint32_t count = 0;
  std::string name = GetFullQualifiedName(bytes, &count);
  if (used != nullptr) *used = static_cast<int>(count);
  return name;
}

std::string SchemaTypes::GetObjectType(const pb::Message* message) const {
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

void SchemaTypes::SetObjectType(const std::string& type_name, pb::Message* message) const {
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

bool SchemaTypes::HasSortRepeatedFields(const std::string& type_name) const {
  auto id = type_ids_.find(type_name);
  if (id == type_ids_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
               "HasSortRepeatedFields unable to find the object type id from the %s",
               type_name.c_str());
    return false;
  }
  return merkle_sort_types_.count(id->second) != 0;
}

uint32_t SchemaTypes::ComputeBlockId(
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
      HashLittleEndian(&state,
                       static_cast<uint32_t>(ZigZagDecode32(static_cast<uint32_t>(number))));
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
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Empty Merkle block range %u..%u for %s", first,
               count, type_name.c_str());
    return 0;
  }
  const uint64_t span = uint64_t{count} + 1 - first;
  return static_cast<uint32_t>(first + hash % span);
}

}  // namespace tarnix
