#include "schema/schema.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/log_capture.h"
#include "logging/logger.h"
#include "schema/schema_test_util.h"

namespace tarnix {
namespace {

namespace pb = ::google::protobuf;
namespace opt = ::caldek::orv::tarnix;

using CppType = pb::FieldDescriptor::CppType;

std::map<int32_t, std::string> Sorted(
    const std::unordered_map<int32_t, std::string>& names) {
  return std::map<int32_t, std::string>(names.begin(), names.end());
}

// Sets the logger threshold for one test and restores it.
class LogLevelGuard {
 public:
  explicit LogLevelGuard(int level) : saved_(orv::Logger::logLevel) {
    orv::Logger::logLevel = level;
  }
  ~LogLevelGuard() { orv::Logger::logLevel = saved_; }

 private:
  int saved_;
};

pb::FileDescriptorProto FileProto(const std::string& text) {
  pb::FileDescriptorProto file;
  EXPECT_TRUE(pb::TextFormat::ParseFromString(text, &file)) << text;
  return file;
}

TEST(SchemaTypeTablesTest, ReadsIdsNamesKeysAndOptions) {
  orv::LogCapture capture;
  Schema schema(FixturePath("type_tables"), "tt");
  ASSERT_EQ(schema.types().GetSchemaPath(), FixturePath("type_tables"));

  // Values without full_qualified_name are no object types; of two values
  // with one number the first keeps the id's name.
  EXPECT_EQ(Sorted(schema.types().GetObjectTypeNames()),
            (std::map<int32_t, std::string>{{1, "tt.AlphaMsg"},
                                            {2, "tt.BetaMsg"},
                                            {4, "tt.GhostMsg"},
                                            {5, "tt.NoKeyMsg"},
                                            {6, "tt.NoDomainMsg"},
                                            {7, "tt.NetworkMsg"},
                                            {300, "tt.PolicyMsg"}}));
  EXPECT_EQ(schema.types().GetObjectTypeId("tt.GammaMsg"), "\x02");

  // Key kinds; a key option set to false still marks the key; the unknown
  // message and the keyless one get no kind.
  EXPECT_EQ(SchemaTestPeer(schema).key_kinds(),
            (std::unordered_map<int32_t, int32_t>{
                {1, CppType::CPPTYPE_STRING},
                {2, CppType::CPPTYPE_UINT64},
                {6, CppType::CPPTYPE_BOOL},
                {7, CppType::CPPTYPE_DOUBLE},
                {300, CppType::CPPTYPE_MESSAGE}}));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0204",
                     "Unable to find key field from message type tt.NoKeyMsg"));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0204",
                     "Unable to find corresponding message type tt.GhostMsg"));

  // ephemeral false counts as absent; the alias of id 2 brings none of its
  // message's options to the id.
  EXPECT_EQ(schema.types().GetEphemeralObjectTypes(), (std::vector<int32_t>{1, 6}));
  EXPECT_TRUE(schema.types().HasSortRepeatedFields("tt.AlphaMsg"));
  EXPECT_FALSE(schema.types().HasSortRepeatedFields("tt.BetaMsg"));
  EXPECT_TRUE(Logged(capture, "WARNING", "DRX0204",
                     "ObjectType BETA_ALIAS repeats id 2 of BETA; the options of "
                     "tt.GammaMsg are ignored"));
  EXPECT_TRUE(
      Logged(capture, "ERROR", "DRX0204",
             "Unable to find domain option from message type tt.NoDomainMsg"));
}

// The enums are looked up under the prefix; OpMsg under its fixed name.
TEST(SchemaTypeTablesTest, OtherPrefixFindsNoEnums) {
  orv::LogCapture capture;
  Schema schema(FixturePath("type_tables"), "tt.other");
  EXPECT_EQ(schema.types().GetSchemaPath(), FixturePath("type_tables"));
  EXPECT_TRUE(schema.types().GetObjectTypeNames().empty());
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0204",
                     "Unable to find ObjectType enum from the descriptor"));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0204",
                     "Unable to find ClientId enum from the descriptor"));
  EXPECT_FALSE(schema.permissions().HasReadPermission("read-all", "tt.AlphaMsg"));
  EXPECT_FALSE(schema.permissions().CanManageVDbs("vdb-admin"));
  EXPECT_TRUE(schema.op_messages().IsOpMsgType(
      schema.types().FindMessageTypeByName("caldek.orv.tarnix.OpMsg")));
}

TEST(SchemaTypeTablesTest, KeyFieldAndClearNonKeyFields) {
  Schema schema(FixturePath("type_tables"), "tt");
  // A key option set to false still marks the key; the first one wins.
  const pb::Descriptor* beta = schema.types().FindMessageTypeByName("tt.BetaMsg");
  ASSERT_NE(beta, nullptr);
  EXPECT_EQ(schema.keys().GetKeyField(beta)->name(), "id");

  std::unique_ptr<pb::Message> alpha(schema.types().NewMessage("tt.AlphaMsg"));
  ASSERT_NE(alpha, nullptr);
  const pb::Descriptor* type = alpha->GetDescriptor();
  const pb::Reflection* r = alpha->GetReflection();
  r->SetString(alpha.get(), type->FindFieldByName("name"), "a1");
  r->SetInt32(alpha.get(), type->FindFieldByName("count"), 3);
  r->AddString(alpha.get(), type->FindFieldByName("tags"), "t");
  r->MutableUnknownFields(alpha.get())->AddVarint(99, 7);
  schema.keys().ClearNonKeyFields(alpha.get());
  std::vector<const pb::FieldDescriptor*> left;
  r->ListFields(*alpha, &left);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]->name(), "name");
  EXPECT_EQ(r->GetString(*alpha, left[0]), "a1");
  EXPECT_EQ(r->GetUnknownFields(*alpha).field_count(), 1);
}

TEST(SchemaMessagesTest, NewAndParseMessage) {
  orv::LogCapture capture;
  LogLevelGuard level(orv::VERBOSE);
  Schema schema(FixturePath("type_tables"), "tt");
  EXPECT_EQ(schema.types().NewMessage("tt.Missing"), nullptr);
  EXPECT_TRUE(
      Logged(capture, "DEBUG", "", "Unable to get descriptor for tt.Missing"));

  EXPECT_EQ(schema.types().ParseMessage("tt.AlphaMsg", "\x0a\x05"), nullptr);
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0203",
                     "Unable to parse data into tt.AlphaMsg message"));

  std::unique_ptr<pb::Message> parsed(
      schema.types().ParseMessage("tt.AlphaMsg", std::string("\x0a\x02hi\x10\x05", 6)));
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->ShortDebugString(), "name: \"hi\" count: 5");
}

TEST(SchemaUnloadedTest, EverythingEmptyAndLogged) {
  orv::LogCapture capture;
  Schema schema("/nonexistent/schema.pb", "tt");
  EXPECT_EQ(schema.types().GetSchemaPath(), "");
  EXPECT_EQ(schema.types().GetSchemaText(), "");
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0202",
                     "FileDescriptorSet does not contain a file"));
  capture.Clear();

  EXPECT_EQ(schema.types().FindMessageTypeByName("tt.AlphaMsg"), nullptr);
  EXPECT_TRUE(Logged(capture, "ERROR", "ERR_DESCRIPTOR_POOL_nullptr",
                     "descriptor_pool_ is nullptr"));
  EXPECT_EQ(schema.types().NewMessage("tt.AlphaMsg"), nullptr);
  EXPECT_EQ(schema.types().GetVersion(), "");
  EXPECT_TRUE(schema.types().GetDeprecatedObjectTypes().empty());
  EXPECT_EQ(capture.Count("errorCode=\"ERR_DESCRIPTOR_POOL_nullptr\""), 4u);
}

// A failed load must leave path, tables, text and permissions as they were.
class SchemaReloadTest : public ::testing::Test {
 protected:
  SchemaReloadTest() : schema_(FixturePath("type_tables"), "tt") {}

  void ExpectUnchanged() {
    EXPECT_EQ(schema_.types().GetSchemaPath(), FixturePath("type_tables"));
    EXPECT_EQ(schema_.types().GetSchemaText(), text_);
    EXPECT_EQ(schema_.types().FindMessageTypeByName("tt.AlphaMsg"), alpha_);
    EXPECT_EQ(Sorted(schema_.types().GetObjectTypeNames()), names_);
    EXPECT_EQ(schema_.types().GetEphemeralObjectTypes(), (std::vector<int32_t>{1, 6}));
    EXPECT_TRUE(schema_.permissions().HasReadPermission("read-all", "tt.AlphaMsg"));
  }

  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    text_ = schema_.types().GetSchemaText();
    names_ = Sorted(schema_.types().GetObjectTypeNames());
    alpha_ = schema_.types().FindMessageTypeByName("tt.AlphaMsg");
    ASSERT_NE(alpha_, nullptr);
  }

  Schema schema_;
  std::string text_;
  std::map<int32_t, std::string> names_;
  const pb::Descriptor* alpha_ = nullptr;
  TempDir dir_;
};

TEST_F(SchemaReloadTest, UnreadableFilesKeepSchema) {
  const std::string fifo = dir_.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Larger than 256 MiB, sparse.
  const std::string big = dir_.path() + "/big.pb";
  int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, (off_t{256} << 20) + 1), 0);
  ::close(fd);

  const std::string garbage = dir_.Write("garbage.pb", "\x0a\xff\xff");
  for (const std::string& path :
       {garbage, dir_.Write("empty.pb", ""), dir_.path() + "/missing.pb",
        dir_.path(), fifo, std::string("/dev/zero"), big}) {
    orv::LogCapture capture;
    EXPECT_FALSE(schema_.LoadSchema(path).ok()) << path;
    EXPECT_TRUE(Logged(capture, "ERROR", "DRX0202",
                       path == garbage
                           ? "Failed to parse schema proto file: " + path + ","
                           : "FileDescriptorSet does not contain a file"))
        << path;
    ExpectUnchanged();
  }
}

// The status of a failed load carries the text of its ERROR line.
TEST_F(SchemaReloadTest, AFailedLoadSaysWhyAsItLogs) {
  const std::string garbage = dir_.Write("garbage.pb", "\x0a\xff\xff");
  EXPECT_EQ(schema_.LoadSchema(garbage),
            Status::InvalidArgument("Failed to parse schema proto file: " + garbage + ","));
  EXPECT_EQ(schema_.ReloadSchema(dir_.Write("empty.pb", "")),
            Status::InvalidArgument("FileDescriptorSet does not contain a file"));
  pb::FileDescriptorSet unbuildable;
  *unbuildable.add_file() = FileProto(R"(name: "user.proto" dependency: "missing.proto")");
  EXPECT_EQ(schema_.LoadSchema(dir_.WriteSet("unbuildable.pb", unbuildable)),
            Status::InvalidArgument("Unable to build FileDescriptor"));
  pb::FileDescriptorSet no_enum;
  *no_enum.add_file() = FileProto(R"(name: "plain.proto" package: "tt")");
  const std::string plain = dir_.WriteSet("plain.pb", no_enum);
  EXPECT_EQ(schema_.ReloadSchema(plain),
            Status::FailedPrecondition("Schema file " + plain +
                                       " defines no object type; the loaded schema stays in force"));
  ExpectUnchanged();
}

// Opening a FIFO would release a writer waiting on it (which then dies of
// SIGPIPE); the type is checked before anything is opened.
TEST_F(SchemaReloadTest, FifoIsRefusedWithoutOpeningIt) {
  const std::string fifo = dir_.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<bool> released{false};
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for a reader
    released = true;
    if (fd >= 0) ::close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(schema_.LoadSchema(fifo).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(released);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  writer.join();
  if (reader >= 0) ::close(reader);
  ExpectUnchanged();
}

TEST_F(SchemaReloadTest, ImportListedAfterItsUserKeepsSchema) {
  pb::FileDescriptorSet set;
  *set.add_file() = FileProto(R"(
      name: "user.proto" package: "tt" dependency: "base.proto"
      message_type { name: "UserMsg"
        field { name: "base" number: 1 label: LABEL_OPTIONAL
                type: TYPE_MESSAGE type_name: ".tt.BaseMsg" } })");
  *set.add_file() = FileProto(R"(
      name: "base.proto" package: "tt" message_type { name: "BaseMsg" })");
  orv::LogCapture capture;
  EXPECT_FALSE(schema_.LoadSchema(dir_.WriteSet("misordered.pb", set)).ok());
  EXPECT_TRUE(
      Logged(capture, "ERROR", "DRX0202", "Unable to build FileDescriptor"));
  ExpectUnchanged();

  // The same files in dependency order load.
  set.mutable_file()->SwapElements(0, 1);
  EXPECT_TRUE(schema_.LoadSchema(dir_.WriteSet("ordered.pb", set)).ok());
  EXPECT_NE(schema_.types().FindMessageTypeByName("tt.UserMsg"), nullptr);
}

TEST_F(SchemaReloadTest, SuccessfulReloadReplacesTables) {
  ASSERT_TRUE(schema_.LoadSchema(FixturePath("reloaded")).ok());
  EXPECT_EQ(schema_.types().GetSchemaPath(), FixturePath("reloaded"));
  EXPECT_NE(schema_.types().GetSchemaText(), text_);
  EXPECT_EQ(Sorted(schema_.types().GetObjectTypeNames()),
            (std::map<int32_t, std::string>{{1, "tt.AlphaMsg"}, {9, "tt.DeltaMsg"}}));
  EXPECT_EQ(SchemaTestPeer(schema_).key_kinds(),
            (std::unordered_map<int32_t, int32_t>{
                {1, CppType::CPPTYPE_INT32}, {9, CppType::CPPTYPE_STRING}}));
  EXPECT_TRUE(schema_.types().GetEphemeralObjectTypes().empty());
  EXPECT_FALSE(schema_.types().HasSortRepeatedFields("tt.AlphaMsg"));
  // The old schema's types, clients and parents are gone.
  EXPECT_EQ(schema_.types().FindMessageTypeByName("tt.BetaMsg"), nullptr);
  EXPECT_FALSE(schema_.permissions().HasReadPermission("read-all", "tt.AlphaMsg"));
  EXPECT_TRUE(schema_.permissions().HasReadPermission("net-reader", "tt.DeltaMsg"));
  EXPECT_EQ(schema_.parents().LookupParentTypes("tt.DeltaMsg"),
            (ParentTypes::TypeNameSet{"tt.AlphaMsg"}));
}

// A run-time reload must not swap in a schema under which every write would
// be skipped; at start-up such a file still loads, as a schema without types.
TEST_F(SchemaReloadTest, ReloadRefusesASchemaWithoutObjectTypes) {
  EXPECT_TRUE(schema_.types().HasObjectTypes());
  pb::FileDescriptorSet no_enum;
  *no_enum.add_file() = FileProto(R"(name: "plain.proto" package: "tt"
                                     message_type { name: "AlphaMsg" })");
  pb::FileDescriptorSet no_named_value;
  *no_named_value.add_file() = FileProto(R"(name: "bare.proto" package: "tt"
      enum_type { name: "ObjectType" value { name: "NONE" number: 0 } })");
  // Object types, but under another package prefix.
  const std::string other_prefix = FixturePath("type_tables");
  for (const std::string& path :
       {dir_.WriteSet("no_enum.pb", no_enum), dir_.WriteSet("bare.pb", no_named_value)}) {
    orv::LogCapture capture;
    EXPECT_EQ(schema_.ReloadSchema(path).code(), Status::kFailedPrecondition) << path;
    EXPECT_TRUE(Logged(capture, "ERROR", "DRX0204",
                       "Schema file " + path +
                           " defines no object type; the loaded schema stays in force"));
    ExpectUnchanged();
    EXPECT_TRUE(schema_.types().HasObjectTypes());

    Schema at_start(path, "tt");
    EXPECT_EQ(at_start.types().GetSchemaPath(), path);
    EXPECT_FALSE(at_start.types().HasObjectTypes());
  }
  Schema other(other_prefix, "other");
  EXPECT_FALSE(other.types().HasObjectTypes());
  EXPECT_EQ(other.ReloadSchema(other_prefix).code(), Status::kFailedPrecondition);

  EXPECT_EQ(schema_.ReloadSchema(dir_.Write("garbage.pb", "\x0a\xff\xff")).code(),
            Status::kInvalidArgument);
  ExpectUnchanged();
  EXPECT_EQ(schema_.ReloadSchema(FixturePath("reloaded")), Status::OK());
  EXPECT_EQ(schema_.types().GetSchemaPath(), FixturePath("reloaded"));
  EXPECT_TRUE(schema_.types().HasObjectTypes());

  Schema unloaded("", "tt");
  EXPECT_FALSE(unloaded.types().HasObjectTypes());
}

// Messages and descriptors of a replaced schema stay usable (run under ASan).
TEST(SchemaGenerationTest, OldMessagesOutliveReloads) {
  Schema schema(FixturePath("type_tables"), "tt");
  std::unique_ptr<pb::Message> old_message(
      schema.types().ParseMessage("tt.AlphaMsg", std::string("\x0a\x02hi", 4)));
  std::unique_ptr<pb::Message> old_empty(schema.types().NewMessage("tt.PolicyMsg"));
  ASSERT_NE(old_message, nullptr);
  ASSERT_NE(old_empty, nullptr);
  const pb::Descriptor* old_type = old_message->GetDescriptor();

  ASSERT_TRUE(schema.LoadSchema(FixturePath("reloaded")).ok());
  ASSERT_TRUE(schema.LoadSchema(FixturePath("type_tables")).ok());

  // New messages come from the new pool, never from an old prototype.
  std::unique_ptr<pb::Message> fresh(schema.types().NewMessage("tt.AlphaMsg"));
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh->GetDescriptor(), old_type);
  EXPECT_EQ(fresh->GetDescriptor(), schema.types().FindMessageTypeByName("tt.AlphaMsg"));

  const pb::Reflection* r = old_message->GetReflection();
  r->AddString(old_message.get(), old_type->FindFieldByName("tags"), "kept");
  EXPECT_EQ(old_message->ShortDebugString(), "name: \"hi\" tags: \"kept\"");
  std::unique_ptr<pb::Message> copy(old_message->New());
  copy->CopyFrom(*old_message);
  const pb::Descriptor* policy = old_empty->GetDescriptor();
  pb::Message* body = old_empty->GetReflection()->MutableMessage(
      old_empty.get(), policy->FindFieldByName("body"));
  body->GetReflection()->SetString(
      body, body->GetDescriptor()->FindFieldByName("text"), "x");
  EXPECT_EQ(old_empty->ShortDebugString(), "body { text: \"x\" }");
  old_message.reset();
  old_empty.reset();
  EXPECT_EQ(copy->ShortDebugString(), "name: \"hi\" tags: \"kept\"");
}

// An OpMsg whose "op" or "index" has another type counts as lacking them:
// the op-message code would otherwise read them with the wrong accessor.
TEST(SchemaOpMsgTest, MistypedOpMsgFieldsLoadAsNull) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  pb::FileDescriptorSet set;
  *set.add_file() = FileProto(R"(
      name: "op.proto" package: "caldek.orv.tarnix"
      message_type { name: "OpMsg"
        field { name: "op" number: 1 label: LABEL_OPTIONAL type: TYPE_STRING }
        field { name: "index" number: 2 label: LABEL_REPEATED
                type: TYPE_UINT32 } })");
  Schema schema(dir.WriteSet("op.pb", set), "tt");
  std::unique_ptr<pb::Message> op(
      schema.types().ParseMessage("caldek.orv.tarnix.OpMsg", std::string("\x0a\x01x\x10\x05", 5)));
  ASSERT_NE(op, nullptr);
  EXPECT_TRUE(schema.op_messages().IsOpMsg(op.get()));
  EXPECT_EQ(schema.op_messages().GetOpMsgOperation(op.get()), 0);
  EXPECT_EQ(schema.op_messages().GetOpMsgIndex(op.get()), 0xFFFFFFFFu);
}

TEST(SchemaFileOptionsTest, VersionAndDeprecatedTypes) {
  TempDir dir;
  LogLevelGuard level(orv::VERBOSE);
  Schema schema("", "tt");

  pb::FileDescriptorProto version = FileProto(
      R"(name: "caldek/orv/tarnix/tarnix_version.proto" package: "x")");
  pb::FileDescriptorProto common = FileProto(
      R"(name: "caldek/orv/tarnix/tarnix_schema_common.proto" package: "x")");
  pb::FileDescriptorProto other = FileProto(R"(name: "other.proto")");

  {  // Neither file: both lookups fail with ERROR lines.
    pb::FileDescriptorSet set;
    *set.add_file() = other;
    ASSERT_TRUE(schema.LoadSchema(dir.WriteSet("none.pb", set)).ok());
    orv::LogCapture capture;
    EXPECT_EQ(schema.types().GetVersion(), "");
    EXPECT_TRUE(schema.types().GetDeprecatedObjectTypes().empty());
    EXPECT_TRUE(
        Logged(capture, "ERROR", "DRX0202",
               "Unable to find file descriptor for tarnix_version.proto"));
    EXPECT_TRUE(
        Logged(capture, "ERROR", "DRX0202",
               "Unable to find file descriptor for tarnix_schema_common.proto"));
    EXPECT_EQ(capture.lines().size(), 2u);
  }
  {  // Files without the options: VERBOSE lines without a tag.
    pb::FileDescriptorSet set;
    *set.add_file() = version;
    *set.add_file() = common;
    ASSERT_TRUE(schema.LoadSchema(dir.WriteSet("bare.pb", set)).ok());
    orv::LogCapture capture;
    EXPECT_EQ(schema.types().GetVersion(), "");
    EXPECT_TRUE(schema.types().GetDeprecatedObjectTypes().empty());
    EXPECT_TRUE(Logged(capture, "DEBUG", "",
                       "Unable to find version from schema file"));
    EXPECT_TRUE(Logged(capture, "DEBUG", "",
                       "Unable to find deprecated object types from schema file"));
    EXPECT_EQ(capture.lines().size(), 2u);
  }
  {  // With the options; duplicate ids are kept in order.
    version.mutable_options()->SetExtension(opt::version, "2.0.1");
    opt::DeprecatedObjectTypeIdsMsg* ids = common.mutable_options()->MutableExtension(
        opt::deprecated_object_type_id);
    for (int32_t id : {7, 3, 7}) ids->add_ids(id);
    pb::FileDescriptorSet set;
    *set.add_file() = version;
    *set.add_file() = common;
    ASSERT_TRUE(schema.LoadSchema(dir.WriteSet("set.pb", set)).ok());
    EXPECT_EQ(schema.types().GetVersion(), "2.0.1");
    EXPECT_EQ(schema.types().GetDeprecatedObjectTypes(), (std::vector<int32_t>{7, 3, 7}));
  }
}

}  // namespace
}  // namespace tarnix
