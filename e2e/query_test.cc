// Query over a running daemon: where clauses, selections, sort orders, the
// vdb of the request and refusals.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kWriter[] = "inventory-agent";

class QueryTest : public ServingDaemonTest {
 protected:
  void PutDevices(const std::vector<std::string>& texts) {
    tx::PutRequestMsg put;
    for (const std::string& text : texts) {
      *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Body("DeviceMsg", text));
    }
    ASSERT_TRUE(client_->Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());
  }

  // A query of devices: where clause as text, and optional selection and
  // sort order as text.
  tx::QueryRequestMsg Devices(const std::string& op, const std::string& value,
                              const char* select = nullptr, const char* sort = nullptr) {
    tx::QueryRequestMsg request;
    tx::StatementMsg* statement = request.mutable_statement();
    // The schema's type id travels as an unknown value of the enum field.
    statement->mutable_unknown_fields()->AddVarint(tx::StatementMsg::kObjectTypeFieldNumber,
                                                   kDeviceType);
    tx::WhereMsg* where = statement->add_where();
    where->set_op_msg(schema_.Body("DeviceOpMsg", op));
    where->set_value(schema_.Body("DeviceMsg", value));
    if (select != nullptr) statement->mutable_select()->set_op_msg(schema_.Body("DeviceOpMsg", select));
    if (sort != nullptr) statement->mutable_sort_by()->set_op_msg(schema_.Body("DeviceOpMsg", sort));
    return request;
  }

  // The bodies of every response, response by response.
  std::vector<std::vector<std::string>> Run(const tx::QueryRequestMsg& request,
                                            grpc::Status* status = nullptr,
                                            const std::string& client_id = kWriter) {
    std::vector<tx::QueryResponseMsg> responses;
    const grpc::Status result = client_->Query(client_id, request, &responses);
    if (status != nullptr) *status = result;
    EXPECT_TRUE(status != nullptr || result.ok()) << result.error_message();
    std::vector<std::vector<std::string>> bodies;
    for (const tx::QueryResponseMsg& response : responses) {
      bodies.emplace_back();
      for (const tx::TypedObjectMsg& object : response.objects()) {
        EXPECT_EQ(TypeOf(object), kDeviceType);
        bodies.back().push_back(object.object_body());
      }
    }
    return bodies;
  }
};

using Bodies = std::vector<std::vector<std::string>>;

TEST_F(QueryTest, WhereSelectAndSortOverStoredDevices) {
  PutDevices({"id { left: 1 } hostname: 'c' model: 'x1'",
              "id { left: 2 } hostname: 'a' model: 'x2'",
              "id { left: 3 } hostname: 'b' model: 'x1' location { site: 'north' }"});
  const std::string one = schema_.Body("DeviceMsg", "id { left: 1 } hostname: 'c' model: 'x1'");
  const std::string three = schema_.Body(
      "DeviceMsg", "id { left: 3 } hostname: 'b' model: 'x1' location { site: 'north' }");

  EXPECT_EQ(Run(Devices("model { op: EQUALS }", "model: 'x1'")), (Bodies{{one, three}}));
  EXPECT_EQ(Run(Devices("model { op: EQUALS }", "model: 'x1'", nullptr,
                        "hostname { op: ASCENDING }")),
            (Bodies{{three, one}}));
  // The selection keeps the key and what it names.
  EXPECT_EQ(Run(Devices("model { op: EQUALS }", "model: 'x1'", "location { site { op: SELECT } }",
                        "hostname { op: DESCENDING }")),
            (Bodies{{schema_.Body("DeviceMsg", "id { left: 3 } location { site: 'north' }")}}));
  // A key lookup, in the main vdb named explicitly.
  tx::QueryRequestMsg by_key = Devices("id { self { op: EQUALS } }", "id { left: 2 }");
  by_key.set_vdb_id(1);
  EXPECT_EQ(Run(by_key), (Bodies{{schema_.Body("DeviceMsg",
                                               "id { left: 2 } hostname: 'a' model: 'x2'")}}));
  // Nothing matches: one empty response.
  EXPECT_EQ(Run(Devices("model { op: EQUALS }", "model: 'none'")), (Bodies{{}}));
}

TEST_F(QueryTest, RefusesCallersVdbsAndBadStatements) {
  PutDevices({"id { left: 1 } hostname: 'a'"});
  grpc::Status status;
  Run(Devices("", ""), &status, "");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  Run(Devices("", ""), &status, "guest");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(),
            "guest does not have read permission for caldek.orv.tarnix.DeviceMsg");

  tx::QueryRequestMsg request = Devices("", "");
  request.set_vdb_id(65537);
  Run(request, &status);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "no mapping for vdb_id found");
  Run(Devices("", "", nullptr, "hostname { op: ASCENDING } model { op: DESCENDING }"), &status);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "SortByMsg contains multiple ASCENDING/DESCENDING operations");

  // Nothing of that reached the process: it still answers.
  EXPECT_EQ(Run(Devices("", "")).size(), 1u);
}

// A created vdb answers only what was written into it.
TEST_F(QueryTest, QueryReadsTheVdbItNames) {
  std::unique_ptr<tx::Tarnix::Stub> stub = tx::Tarnix::NewStub(daemon_->channel());
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + kCallTimeout);
  context.AddMetadata("client-id", "tarnix-cli");
  tx::CreateVDbRequestMsg create;
  create.set_vdb_name("lab");
  tx::CreateVDbResponseMsg created;
  ASSERT_TRUE(stub->CreateVDb(&context, create, &created).ok());
  const uint32_t lab = created.vdb_id();

  const std::string main_one = schema_.Body("DeviceMsg", "id { left: 1 } model: 'x1'");
  const std::string lab_one = schema_.Body("DeviceMsg", "id { left: 1 } model: 'x2'");
  const std::string lab_two = schema_.Body("DeviceMsg", "id { left: 2 } model: 'x2'");
  tx::PutRequestMsg put;
  *put.add_puts()->mutable_object() = Typed(kDeviceType, main_one);
  for (const std::string* body : {&lab_one, &lab_two}) {
    tx::PutMsg* entry = put.add_puts();
    *entry->mutable_object() = Typed(kDeviceType, *body);
    entry->add_vdb_ids(lab);
  }
  ASSERT_TRUE(client_->Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());

  tx::QueryRequestMsg in_lab = Devices("model { op: EQUALS }", "model: 'x2'", nullptr,
                                       "id { left { op: DESCENDING } }");
  in_lab.set_vdb_id(lab);
  EXPECT_EQ(Run(in_lab), (Bodies{{lab_two, lab_one}}));
  EXPECT_EQ(Run(Devices("model { op: EQUALS }", "model: 'x2'")), (Bodies{{}}));
  EXPECT_EQ(Run(Devices("", "")), (Bodies{{main_one}}));
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix
