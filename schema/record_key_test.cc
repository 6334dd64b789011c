#include "schema/record_key.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "schema/enc_test_util.h"
#include "schema/vdb_id_set.h"

namespace tarnix {
namespace {

using enc_test::Bytes;
using enc_test::Hex;

class RecordKeyTest : public ::testing::Test {
 protected:
  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
};

TEST_F(RecordKeyTest, BuildsKeysAndPrefixes) {
  std::string key;
  ASSERT_TRUE(MakeObjectRecordKey(*schema_, "enc.test.StrKeyMsg", "abc", &key));
  EXPECT_EQ(Hex(key + EncodeVdbIdSet({1})), "00 05 03 61 62 63 01");
  ASSERT_TRUE(MakeObjectRecordKey(*schema_, "enc.test.Type300Msg", "abc", &key));
  EXPECT_EQ(Hex(key + EncodeVdbIdSet({1})), "00 AC 02 03 61 62 63 01");
  ASSERT_TRUE(MakeObjectTypeKeyPrefix(*schema_, "enc.test.Type300Msg", &key));
  EXPECT_EQ(Hex(key), "00 AC 02");
  // An id of 200 bytes has a two-byte length.
  ASSERT_TRUE(MakeObjectRecordKey(*schema_, "enc.test.StrKeyMsg", std::string(200, 'x'), &key));
  EXPECT_EQ(Hex(key.substr(0, 4)), "00 05 C8 01");
}

// A prefix without a type id would alias the records of other types.
TEST_F(RecordKeyTest, UnknownTypeBuildsNoKey) {
  orv::LogCapture capture;
  std::string key = "stale";
  EXPECT_FALSE(MakeObjectTypeKeyPrefix(*schema_, "enc.test.NoSuchMsg", &key));
  EXPECT_EQ(key, "");
  key = "stale";
  EXPECT_FALSE(MakeObjectRecordKey(*schema_, "enc.test.NoSuchMsg", "abc", &key));
  EXPECT_EQ(key, "");
  EXPECT_EQ(capture.Count("Unable to find the object type id from the enc.test.NoSuchMsg"), 2u);
}

TEST_F(RecordKeyTest, SplitsKeysAndPrefixes) {
  std::string type, id, vdbs = "untouched";
  DecodeObjectRecordKey(*schema_, Bytes("00 05 03 61 62 63 01"), &type, &id, &vdbs);
  EXPECT_EQ(type, "enc.test.StrKeyMsg");
  EXPECT_EQ(id, "abc");
  EXPECT_EQ(Hex(vdbs), "01");

  // An object key prefix: the set is left as passed.
  for (const auto& [hex, type_name] :
       {std::make_pair("00 05 03 61 62 63", "enc.test.StrKeyMsg"),
        std::make_pair("00 AC 02 03 61 62 63", "enc.test.Type300Msg")}) {
    type = id = "";
    vdbs = "untouched";
    DecodeObjectRecordKey(*schema_, Bytes(hex), &type, &id, &vdbs);
    EXPECT_EQ(type, type_name) << hex;
    EXPECT_EQ(id, "abc") << hex;
    EXPECT_EQ(vdbs, "untouched") << hex;
  }

  // Declared length past the end: the bytes present.
  DecodeObjectRecordKey(*schema_, Bytes("00 05 09 61 62"), &type, &id);
  EXPECT_EQ(id, "ab");

  EXPECT_THROW(DecodeObjectRecordKey(*schema_, "", &type, &id), std::out_of_range);
  EXPECT_THROW(DecodeObjectRecordKey(*schema_, Bytes("00 05"), &type, &id), std::out_of_range);
  EXPECT_THROW(DecodeObjectRecordKey(*schema_, Bytes("00 05 83"), &type, &id), std::out_of_range);
}

TEST_F(RecordKeyTest, NonThrowingSplitRejectsDamagedKeys) {
  std::string type, id, vdbs;
  ASSERT_TRUE(TryDecodeObjectRecordKey(*schema_, Bytes("00 05 03 61 62 63 01 80"), &type, &id,
                                       &vdbs));
  EXPECT_EQ(type, "enc.test.StrKeyMsg");
  EXPECT_EQ(id, "abc");
  EXPECT_EQ(Hex(vdbs), "01 80");
  ASSERT_TRUE(TryDecodeObjectRecordKey(*schema_, Bytes("00 05 00"), &type, &id, &vdbs));
  EXPECT_EQ(id, "");
  EXPECT_EQ(vdbs, "");  // no suffix: the main vdb

  orv::LogCapture capture;
  for (const char* hex : {"", "00", "00 85", "00 05", "00 05 83", "00 05 04 61 62 63",
                          "00 05 FF FF FF FF FF FF FF FF FF 01 61",
                          "00 FF FF FF FF FF FF FF FF FF FF 01"}) {
    EXPECT_FALSE(TryDecodeObjectRecordKey(*schema_, Bytes(hex), &type, &id, &vdbs)) << hex;
  }
  EXPECT_EQ(capture.Count("Malformed object record key"), 8u);
  EXPECT_TRUE(capture.Contains("Malformed object record key (3 bytes): 000583"));

  // A type id the schema no longer has is reported once, as such.
  orv::LogCapture unknown;
  EXPECT_FALSE(TryDecodeObjectRecordKey(*schema_, Bytes("00 0B 01 61 01"), &type, &id, &vdbs));
  ASSERT_EQ(unknown.lines().size(), 1u);
  EXPECT_TRUE(unknown.Contains("Unable to find the full qualified name from the object type: 11"));
}

TEST_F(RecordKeyTest, TypeIdsEncodeAndDecode) {
  EXPECT_EQ(Hex(schema_->types().GetObjectTypeId("enc.test.Type300Msg")), "AC 02");
  uint32_t used = 0;
  EXPECT_EQ(schema_->types().GetFullQualifiedName(Bytes("AC 02 99"), &used), "enc.test.Type300Msg");
  EXPECT_EQ(used, 2u);
  int used_int = 0;
  EXPECT_EQ(schema_->types().GetFullQualifiedName(Bytes("05"), &used_int), "enc.test.StrKeyMsg");
  EXPECT_EQ(used_int, 1);

  orv::LogCapture capture;
  EXPECT_EQ(schema_->types().GetFullQualifiedName(Bytes("E3 07"), &used), "");
  EXPECT_EQ(used, 2u);  // counted also when the id is unknown
  EXPECT_TRUE(capture.Contains("Unable to find the full qualified name from the object type: 995"));
  EXPECT_EQ(schema_->types().GetObjectTypeId("enc.test.KindsMsg"), "");
}

// Deprecated types are wiped by the prefix built from the bare id.
TEST_F(RecordKeyTest, TypePrefixFromTheIdMatchesTheSchema) {
  const struct {
    int32_t id;
    const char* hex;
  } cases[] = {{7, "00 07"}, {12, "00 0C"}, {300, "00 AC 02"},
               {-1, "00 FF FF FF FF FF FF FF FF FF 01"}};  // sign-extended
  for (const auto& c : cases) EXPECT_EQ(Hex(MakeObjectTypeKeyPrefix(c.id)), c.hex) << c.id;
  for (const auto& [id, name] : schema_->types().GetObjectTypeNames()) {
    EXPECT_EQ(schema_->types().GetObjectTypeId(name), EncodeObjectTypeId(id)) << name;
    std::string prefix;
    ASSERT_TRUE(MakeObjectTypeKeyPrefix(*schema_, name, &prefix));
    EXPECT_EQ(prefix, MakeObjectTypeKeyPrefix(id)) << name;
  }
}

TEST_F(RecordKeyTest, SortedTypeIdsFollowNumericOrder) {
  const std::vector<std::string> ids =
      schema_->permissions().GetSortedObjectTypeIds("sorted-writer");
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(Hex(ids[0]), "81 01");
  EXPECT_EQ(Hex(ids[1]), "80 02");
  EXPECT_TRUE(schema_->permissions().GetSortedObjectTypeIds("nobody").empty());
  orv::LogCapture capture;
  EXPECT_EQ(schema_->permissions().GetSortedObjectTypeIds("all-writer"),
            std::vector<std::string>{""});
  EXPECT_TRUE(capture.Contains("Unable to find the object type id from the all"));
}

}  // namespace
}  // namespace tarnix
