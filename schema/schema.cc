#include "schema/schema.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <google/protobuf/descriptor.pb.h>

#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"

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
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      st.st_size <= kMaxSchemaFileSize) {
    // Read to end of file, but never past the limit even if the file grows.
    bytes.resize(static_cast<size_t>(st.st_size) + 1);
    size_t used = 0;
    for (;;) {
      if (used == bytes.size()) {
        if (bytes.size() > static_cast<size_t>(kMaxSchemaFileSize)) {
          used = 0;  // grew beyond the limit
          break;
        }
        bytes.resize(std::min<size_t>(bytes.size() * 2,
                                      kMaxSchemaFileSize + size_t{1}));
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

void LogNoPool() {
  TARNIX_LOG(orv::ERROR, "errorCode:ERR_DESCRIPTOR_POOL_nullptr",
             "descriptor_pool_ is nullptr");
}

}  // namespace

Schema::Schema(const std::string& schema_path, std::string package_prefix)
    : package_prefix_(std::move(package_prefix)) {
  LoadSchema(schema_path);
}

Schema::~Schema() = default;

bool Schema::LoadSchema(const std::string& schema_path) {
  return Load(schema_path, false) == ReloadResult::kLoaded;
}

Schema::ReloadResult Schema::ReloadSchema(const std::string& schema_path) {
  return Load(schema_path, true);
}

Schema::ReloadResult Schema::Load(const std::string& schema_path, bool require_object_type) {
  const std::string bytes = ReadSchemaFile(schema_path);
  pb::FileDescriptorSet set;
  if (!set.ParseFromString(bytes)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0202",
               "Failed to parse schema proto file: %s,", schema_path.c_str());
    return ReloadResult::kFailed;
  }
  if (set.file_size() == 0) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0202",
               "FileDescriptorSet does not contain a file");
    return ReloadResult::kFailed;
  }

  auto generation = std::make_unique<Generation>();
  generation->pool = std::make_shared<pb::DescriptorPool>();
  std::unordered_set<const pb::FileDescriptor*> files;
  for (const pb::FileDescriptorProto& file : set.file()) {
    const pb::FileDescriptor* built = generation->pool->BuildFile(file);
    if (built == nullptr) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0202",
                 "Unable to build FileDescriptor");
      return ReloadResult::kFailed;
    }
    files.insert(built);
  }
  if (require_object_type && !DefinesObjectType(*generation->pool, package_prefix_)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
               "Schema file %s defines no object type; the loaded schema stays in force",
               schema_path.c_str());
    return ReloadResult::kNoObjectType;
  }
  generation->factory =
      std::make_unique<pb::DynamicMessageFactory>(generation->pool.get());

  // Commit. The replaced generation stays in generations_.
  key_fields_.clear();
  parent_key_fields_.clear();
  descriptor_pool_ = generation->pool;
  message_factory_ = generation->factory.get();
  generations_.push_back(std::move(generation));
  schema_path_ = schema_path;
  files_.swap(files);

  BuildObjectTypeTables();
  BuildParentKeyTables();
  BuildClientIdTable();
  BuildKeySnapshot();
  return ReloadResult::kLoaded;
}

void Schema::BuildKeySnapshot() {
  auto snapshot = std::make_shared<KeySnapshot>(package_prefix_);
  for (const auto& [id, name] : type_names_) {
    const pb::Descriptor* type = descriptor_pool_->FindMessageTypeByName(name);
    if (type == nullptr) continue;
    const pb::FieldDescriptor* key = GetKeyField(type);
    if (key != nullptr && key->is_repeated()) key = nullptr;
    snapshot->AddType(id, {name, message_factory_->GetPrototype(type), key});
  }
  std::atomic_store(&key_snapshot_, std::shared_ptr<const KeySnapshot>(std::move(snapshot)));
}

void Schema::BuildObjectTypeTables() {
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
    const std::string& name =
        value->options().GetExtension(opt::full_qualified_name);
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

    const pb::Descriptor* message =
        descriptor_pool_->FindMessageTypeByName(name);
    if (message == nullptr) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
                 "Unable to find corresponding message type %s", name.c_str());
      continue;
    }
    const pb::FieldDescriptor* key = GetKeyField(message);
    if (key != nullptr) {
      key_kinds_.emplace(id, static_cast<int32_t>(key->cpp_type()));
    } else {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
                 "Unable to find key field from message type %s",
                 name.c_str());
    }

    const pb::MessageOptions& options = message->options();
    if (options.HasExtension(opt::ephemeral) &&
        options.GetExtension(opt::ephemeral)) {
      ephemeral_types_.push_back(id);
    }
    if (options.HasExtension(opt::merkle_sort_repeated) &&
        options.GetExtension(opt::merkle_sort_repeated)) {
      merkle_sort_types_.insert(id);
    }
    update_frequencies_.emplace(
        id, options.HasExtension(opt::update_frequency)
                ? static_cast<int32_t>(
                      options.GetExtension(opt::update_frequency))
                : kDefaultUpdateFrequency);
    if (options.HasExtension(opt::domain)) {
      domains_[options.GetExtension(opt::domain)].insert(name);
    } else {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
                 "Unable to find domain option from message type %s",
                 name.c_str());
    }
  }
}

std::string Schema::GetSchemaPath() const { return schema_path_; }

std::string Schema::GetSchemaText() const {
  std::string text;
  for (const pb::FileDescriptor* file : files_) text += file->DebugString();
  return text;
}

std::string Schema::GetVersion() const {
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

std::vector<int32_t> Schema::GetDeprecatedObjectTypes() const {
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
    TARNIX_LOG(orv::VERBOSE, nullptr,
               "Unable to find deprecated object types from schema file");
    return ids;
  }
  const opt::DeprecatedObjectTypeIdsMsg& deprecated =
      file->options().GetExtension(opt::deprecated_object_type_id);
  ids.assign(deprecated.ids().begin(), deprecated.ids().end());
  return ids;
}

const pb::Descriptor* Schema::FindMessageTypeByName(
    const std::string& full_name) const {
  if (!descriptor_pool_) {
    LogNoPool();
    return nullptr;
  }
  return descriptor_pool_->FindMessageTypeByName(full_name);
}

const pb::FieldDescriptor* Schema::GetKeyField(const pb::Descriptor* type) const {
  if (type == nullptr) return nullptr;
  auto cached = key_fields_.find(type);
  if (cached != key_fields_.end()) return cached->second;
  const pb::FieldDescriptor* key = nullptr;
  for (int i = 0; i < type->field_count(); ++i) {
    if (type->field(i)->options().HasExtension(opt::key)) {
      key = type->field(i);
      break;
    }
  }
  key_fields_.emplace(type, key);
  return key;
}

void Schema::ClearNonKeyFields(pb::Message* message) const {
  if (message == nullptr) return;
  const pb::Reflection* reflection = message->GetReflection();
  std::vector<const pb::FieldDescriptor*> fields;
  reflection->ListFields(*message, &fields);
  for (const pb::FieldDescriptor* field : fields) {
    if (!field->options().HasExtension(opt::key)) {
      reflection->ClearField(message, field);
    }
  }
}

pb::Message* Schema::NewMessage(const std::string& type_name) const {
  if (!descriptor_pool_) {
    LogNoPool();
    return nullptr;
  }
  const pb::Descriptor* type = descriptor_pool_->FindMessageTypeByName(type_name);
  if (type == nullptr) {
    TARNIX_LOG(orv::VERBOSE, nullptr, "Unable to get descriptor for %s",
               type_name.c_str());
    return nullptr;
  }
  // The current factory belongs to the current pool, which holds `type`.
  const pb::Message* prototype = message_factory_->GetPrototype(type);
  return prototype ? prototype->New() : nullptr;
}

pb::Message* Schema::ParseMessage(const std::string& type_name,
                                  const std::string& bytes) const {
  std::unique_ptr<pb::Message> message(NewMessage(type_name));
  if (!message || !ParseInto(type_name, bytes, message.get())) return nullptr;
  return message.release();
}

bool Schema::ParseInto(const std::string& type_name, const std::string& bytes,
                       pb::Message* message) const {
  // Parsing clears the message first: nothing of what it held stays.
  if (message->ParseFromString(bytes)) return true;
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0203",
             "Unable to parse data into %s message", type_name.c_str());
  return false;
}

}  // namespace tarnix
