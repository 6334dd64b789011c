#include "write/prepared_request.h"

#include <string>

#include <gtest/gtest.h>

#include "schema/schema.h"
#include "write/tarnix_transaction_log.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";

class PreparedRequestTest : public ::testing::Test {
 protected:
  tx::PutRequestMsg Puts(int count) {
    tx::PutRequestMsg request;
    for (int i = 0; i < count; ++i) {
      auto* object = request.add_puts()->mutable_object();
      schema_.types().SetObjectType(kDevice, object);
      object->set_object_body(std::string("\x0a\x02\x08", 3) + static_cast<char>(i + 1));
    }
    return request;
  }

  Schema schema_{TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"};
};

// Each entry's key is what the loop would read; the unit is the log's.
TEST_F(PreparedRequestTest, KeysAndLogUnitAreWhatTheLoopWouldMake) {
  tx::PutRequestMsg request = Puts(3);
  auto* unknown = request.mutable_puts(2)->mutable_object()->mutable_unknown_fields();
  unknown->Clear();
  unknown->AddVarint(tx::TypedObjectMsg::kObjectTypeFieldNumber, 9999);  // not a type
  request.add_puts();  // no object at all
  const PreparedRequest prepared = PrepareRequest(schema_, request);
  EXPECT_EQ(prepared.keys.snapshot.get(), schema_.keys().current_key_snapshot());
  ASSERT_EQ(prepared.keys.keys.size(), 4u);
  for (int i = 0; i < 2; ++i) {
    const auto& object = request.puts(i).object();
    ASSERT_NE(prepared.keys.keys[i].type, nullptr) << i;
    EXPECT_EQ(*prepared.keys.keys[i].type, kDevice);
    EXPECT_EQ(prepared.keys.keys[i].key,
              schema_.keys().GetKeyFromSerialized(kDevice, object.object_body()));
  }
  EXPECT_EQ(prepared.keys.keys[2].type, nullptr);
  EXPECT_EQ(prepared.keys.keys[3].type, nullptr);
  std::string unit;
  ASSERT_TRUE(TarnixTransactionLog::SerializeRequestUnit(request, &unit));
  EXPECT_TRUE(prepared.has_log_unit);
  EXPECT_EQ(prepared.log_unit, unit);
}

// The log keeps no unit of a stream past its bound, so none is held either.
TEST_F(PreparedRequestTest, AStreamPastTheLogBoundHoldsNoUnit) {
  const PreparedRequest one = PrepareRequest(schema_, Puts(2));
  const uint64_t size = one.log_unit.size();
  PreparedStream within(2 * size);
  PreparedStream past(2 * size);
  for (int i = 0; i < 2; ++i) {
    within.Add(one);
    past.Add(one);
  }
  past.Add(PreparedRequest());  // nothing prepared: nothing counted
  EXPECT_EQ(past.held_unit_bytes(), 2 * size);
  past.Add(one);
  EXPECT_EQ(within.held_unit_bytes(), 2 * size);
  EXPECT_EQ(past.held_unit_bytes(), 0u);
  ASSERT_EQ(past.requests()->size(), 4u);
  for (const PreparedRequest& request : *past.requests()) EXPECT_FALSE(request.has_log_unit);
  EXPECT_EQ(past.requests()->front().keys.keys.size(), 2u);  // keys stay
}

// Once past the bound, every later unit goes as it comes; Clear starts the
// count over.
TEST_F(PreparedRequestTest, UnitsAfterTheBoundArePassedGoToo) {
  const PreparedRequest one = PrepareRequest(schema_, Puts(2));
  const uint64_t size = one.log_unit.size();
  PreparedStream stream(size);
  for (int i = 0; i < 4; ++i) stream.Add(one);
  EXPECT_EQ(stream.held_unit_bytes(), 0u);
  for (const PreparedRequest& request : *stream.requests()) EXPECT_FALSE(request.has_log_unit);
  stream.Clear();
  EXPECT_TRUE(stream.requests()->empty());
  stream.Add(one);
  EXPECT_EQ(stream.held_unit_bytes(), size);
}

}  // namespace
}  // namespace tarnix
