#include "write/object_stats_maintainer.h"

#include <string>
#include <utility>

#include <google/protobuf/descriptor.pb.h>

#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "schema/record_key.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kLegacy[] = "caldek.orv.tarnix.LegacyDeviceMsg";
using Counts = std::pair<uint64_t, uint64_t>;  // objects, bytes

class ObjectStatsTest : public WriteTest {
 protected:
  Counts Stats(const std::string& type) {
    const ObjectStatsMaintainer::TypeCounters& c = stats_.GetOrCreateTypeCounters(type);
    return {(*c.num_of_objects)->window(true).last, (*c.total_size)->window(true).last};
  }

  static TarnixObject Object(size_t body_size) {
    return TarnixObject(kDevice, std::string(body_size, 'b'));
  }

  std::string RecordKey(const std::string& type, const std::string& id, const VdbIdSet& vdbs) {
    std::string key;
    (void)MakeObjectRecordKey(schema_, type, id, &key);
    return key + EncodeVdbIdSet(vdbs);
  }

  ObjectStatsMaintainer stats_{&registry_};
};

TEST_F(ObjectStatsTest, CommitsAddTheirChangeOfRecordsPerType) {
  stats_.UpdateObjectStatistics({{kDevice, {2, 130}}});
  EXPECT_EQ(Stats(kDevice), Counts(2, 130));
  stats_.UpdateObjectStatistics({{kDevice, {-1, -100}}, {kLegacy, {1, 7}}});
  EXPECT_EQ(Stats(kDevice), Counts(1, 30));
  EXPECT_EQ(Stats(kLegacy), Counts(1, 7));
  // A type whose records did not change records no value.
  const ObjectStatsMaintainer::TypeCounters& legacy = stats_.GetOrCreateTypeCounters(kLegacy);
  stats_.UpdateObjectStatistics({{kLegacy, {0, 0}}});
  EXPECT_EQ((*legacy.num_of_objects)->window(true).num, 1u);
  // Below zero the counters stay at zero.
  stats_.UpdateObjectStatistics({{kDevice, {-2, -500}}});
  EXPECT_EQ(Stats(kDevice), Counts(0, 0));
}

TEST_F(ObjectStatsTest, StartUpWipesDeprecatedTypesThenCountsEveryRecordOnce) {
  PutAll(db_.get(), {{RecordKey(kDevice, "d1", {1, 2}), std::string(100, 'x')},
                     {RecordKey(kDevice, "d2", {}), std::string(30, 'x')},
                     {RecordKey(kLegacy, "l1", {}), "a"},
                     {RecordKey(kLegacy, "l2", {1, 4}), "b"},
                     {std::string("\x00\x63\x01q", 4), std::string(5, 'x')},  // unknown type 99
                     {std::string("\x01\x01\x01\x00", 4), std::string(50, 'x')}});
  WipeDeprecatedObjects(schema_, db_.get());
  EXPECT_TRUE(HasLine("INFO", "", "Wiping deprecated objects: 12, "));
  DbAccess::Records legacy;
  ASSERT_TRUE(db_->PrefixFilter(nullptr, MakeObjectTypeKeyPrefix(12), &legacy).ok());
  EXPECT_TRUE(legacy.empty());
  EXPECT_EQ(All(db_.get()).size(), 4u);

  ComputeStatistics(schema_, db_.get(), &stats_);
  EXPECT_EQ(Stats(kDevice), Counts(2, 130));
  EXPECT_EQ(Stats(""), Counts(1, 5));
  EXPECT_EQ(Stats(kLegacy), Counts(0, 0));
  // One recorded value per record.
  const ObjectStatsMaintainer::TypeCounters& device = stats_.GetOrCreateTypeCounters(kDevice);
  EXPECT_EQ((*device.num_of_objects)->window(true).num, 2u);
  EXPECT_EQ((*device.total_size)->window(true).num, 2u);
}

TEST_F(ObjectStatsTest, WipesEveryDeprecatedTypeByItsIdPrefix) {
  google::protobuf::FileDescriptorSet set;
  google::protobuf::FileDescriptorProto* common = set.add_file();
  common->set_name("caldek/orv/tarnix/tarnix_schema_common.proto");
  auto* ids = common->mutable_options()->MutableExtension(
      caldek::orv::tarnix::deprecated_object_type_id);
  ids->add_ids(7);
  ids->add_ids(12);
  TempDir dir;
  Schema schema(dir.WriteSet("deprecated.pb", set), "caldek.orv.tarnix");
  const std::string kept("\x00\x08\x01k", 4);
  PutAll(db_.get(), {{std::string("\x00\x07\x01a", 4), "a"},
                     {std::string("\x00\x0C\x01b", 4), "b"},
                     {kept, "k"}});
  WipeDeprecatedObjects(schema, db_.get());
  EXPECT_TRUE(HasLine("INFO", "", "Wiping deprecated objects: 7, 12, "));
  EXPECT_EQ(All(db_.get()), DbAccess::Records({{kept, "k"}}));
}

}  // namespace
}  // namespace tarnix
