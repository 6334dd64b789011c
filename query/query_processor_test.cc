#include "query/query_processor.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>

#include "schema/record_key.h"
#include "schema/schema.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
namespace tx = caldek::orv::tarnix;

constexpr char kFlow[] = "caldek.orv.tarnix.FlowMsg";
constexpr char kFlowOp[] = "caldek.orv.tarnix.FlowOpMsg";

class QueryProcessorTest : public WriteTest {
 protected:
  std::string Bytes(const std::string& type, const std::string& text) {
    std::unique_ptr<pb::Message> message(schema_.types().NewMessage(type));
    EXPECT_TRUE(pb::TextFormat::ParseFromString(text, message.get())) << text;
    return message->SerializeAsString();
  }
  void StoreFlow(const std::string& text, const VdbIdSet& vdbs = {}) {
    StoreBody(Bytes(kFlow, text), vdbs);
  }
  void StoreBody(const std::string& body, const VdbIdSet& vdbs = {},
                 const std::string& value = "-") {
    std::string key;
    ASSERT_TRUE(MakeObjectRecordKey(schema_, kFlow,
                                    schema_.keys().GetKeyFromSerialized(kFlow, body), &key));
    PutAll(db_.get(), {{key + EncodeVdbIdSet(vdbs), value == "-" ? body : value}});
  }
  // A query of flows with one where clause (op and value as text).
  tx::QueryRequestMsg Request(const std::string& op, const std::string& value) {
    tx::QueryRequestMsg request;
    schema_.types().SetObjectType(kFlow, request.mutable_statement());
    tx::WhereMsg* where = request.mutable_statement()->add_where();
    where->set_op_msg(Bytes(kFlowOp, op));
    where->set_value(Bytes(kFlow, value));
    return request;
  }
  Status Run(const tx::QueryRequestMsg& request, const std::string& client = "tarnix-cli",
             VdbId vdb = 1) {
    chunks_.clear();
    const QueryProcessor processor(&schema_, db_.get());  // outlives its read
    std::unique_ptr<QueryProcessor::Read> read;
    const Status checked = processor.QueryImpl(client, request, vdb, &read);
    if (!checked.ok()) return checked;
    return ReadAllChunks(read.get(), &chunks_);
  }
  // The flow ids of every chunk, as "1 2 | 3".
  std::string Ids() {
    std::string out;
    for (const tx::QueryResponseMsg& chunk : chunks_) {
      if (!out.empty()) out += " |";
      for (const tx::TypedObjectMsg& entry : chunk.objects()) {
        EXPECT_EQ(schema_.types().GetObjectType(&entry), kFlow);
        std::unique_ptr<pb::Message> flow(schema_.types().ParseMessage(kFlow, entry.object_body()));
        const pb::FieldDescriptor* id = flow->GetDescriptor()->FindFieldByName("flow_id");
        out += (out.empty() ? "" : " ") +
               (entry.has_object_body()
                    ? std::to_string(flow->GetReflection()->GetInt64(*flow, id))
                    : std::string("-"));
      }
    }
    return out;
  }

  std::vector<tx::QueryResponseMsg> chunks_;
};

TEST_F(QueryProcessorTest, RefusesAStatementAtTheFirstFaultInOrder) {
  StoreFlow("flow_id: 1");
  const std::string sort_twice =
      Bytes(kFlowOp, "flow_id { op: ASCENDING } src_ip { op: DESCENDING }");
  struct Case {
    const char* what;
    std::function<void(tx::QueryRequestMsg*)> change;
    const char* client;
    Status refusal;
  } cases[] = {
      {"no statement", [](tx::QueryRequestMsg* r) { r->clear_statement(); }, "tarnix-cli",
       Status::InvalidArgument("ObjectSelectionMsg not provided")},
      {"no read permission, no where clause",
       [](tx::QueryRequestMsg* r) { r->mutable_statement()->clear_where(); }, "inventory-agent",
       Status::PermissionDenied("inventory-agent does not have read permission for " +
                                std::string(kFlow))},
      {"two primary keys, no where clause",
       [&](tx::QueryRequestMsg* r) {
         r->mutable_statement()->clear_where();
         r->mutable_statement()->mutable_sort_by()->set_op_msg(sort_twice);
       },
       "tarnix-cli",
       Status::InvalidArgument("SortByMsg contains multiple ASCENDING/DESCENDING operations")},
      {"sort bytes that do not parse",
       [](tx::QueryRequestMsg* r) { r->mutable_statement()->mutable_sort_by()->set_op_msg("\xff"); },
       "tarnix-cli", Status::InvalidArgument("Unable to parse SortByMsg")},
      {"no where clause", [](tx::QueryRequestMsg* r) { r->mutable_statement()->clear_where(); },
       "tarnix-cli", Status::InvalidArgument("where clause not provided")},
      {"no op_msg",
       [](tx::QueryRequestMsg* r) { r->mutable_statement()->mutable_where(0)->clear_op_msg(); },
       "tarnix-cli", Status::InvalidArgument("op_msg not provided")},
      {"no value",
       [](tx::QueryRequestMsg* r) { r->mutable_statement()->mutable_where(0)->clear_value(); },
       "tarnix-cli", Status::InvalidArgument("value not provided")},
      {"op_msg that does not parse",
       [](tx::QueryRequestMsg* r) { r->mutable_statement()->mutable_where(0)->set_op_msg("\xff"); },
       "tarnix-cli", Status::InvalidArgument("Invalid op_msg while decoding WhereMsg")},
      {"value that does not parse",
       [](tx::QueryRequestMsg* r) { r->mutable_statement()->mutable_where(0)->set_value("\x0a"); },
       "tarnix-cli", Status::InvalidArgument("Invalid value while decoding WhereMsg")},
  };
  for (const Case& c : cases) {
    tx::QueryRequestMsg request = Request("", "");
    c.change(&request);
    EXPECT_EQ(Run(request, c.client), c.refusal) << c.what;
    EXPECT_TRUE(chunks_.empty()) << c.what;
  }
  // A statement that names no type: the where clause alone.
  tx::QueryRequestMsg request = Request("", "");
  const tx::WhereMsg where = request.statement().where(0);
  request.mutable_statement()->Clear();
  *request.mutable_statement()->add_where() = where;
  const Status status = Run(request);
  EXPECT_EQ(status.code(), Status::kInvalidArgument);
  EXPECT_EQ(status.message().rfind("Unrecognized object type ", 0), 0u);

  EXPECT_TRUE(HasLine("ERROR", "DRX0204", "Query request: object selection not provided"));
  EXPECT_TRUE(HasLine("ERROR", "DRX0208", "Query request: where clause not provided"));
  EXPECT_TRUE(HasLine("ERROR", "DRX0208", "Query request: op_msg not provided"));
  EXPECT_TRUE(HasLine("ERROR", "DRX0208", "Query request: value not provided"));
  EXPECT_TRUE(HasLine("ERROR", "DRX0204", "Invalid value while decoding WhereMsg"));
}

TEST_F(QueryProcessorTest, AnswersFromTheFirstWhereClauseWithTheSelectionAndSortOrder) {
  StoreFlow("flow_id: 1 protocol: 6 src_ip: 'b'");
  StoreFlow("flow_id: 2 protocol: 17 src_ip: 'a'");
  StoreFlow("flow_id: 3 protocol: 6 src_ip: 'a'");
  StoreFlow("flow_id: 4 protocol: 6 src_ip: 'c'", {2});
  tx::QueryRequestMsg request = Request("protocol { op: EQUALS }", "protocol: 6");
  tx::WhereMsg* second = request.mutable_statement()->add_where();
  second->set_op_msg(Bytes(kFlowOp, "protocol { op: EQUALS }"));
  second->set_value(Bytes(kFlow, "protocol: 17"));
  ASSERT_TRUE(Run(request).ok());
  EXPECT_EQ(Ids(), "1 3");
  ASSERT_TRUE(Run(request, "tarnix-cli", 2).ok());
  EXPECT_EQ(Ids(), "4");

  request.mutable_statement()->mutable_sort_by()->set_op_msg(
      Bytes(kFlowOp, "src_ip { op: ASCENDING }"));
  ASSERT_TRUE(Run(request).ok());
  EXPECT_EQ(Ids(), "3 1");

  // A present, empty op_msg matches every object of the type in the vdb.
  request = Request("", "");
  ASSERT_TRUE(Run(request).ok());
  EXPECT_EQ(Ids(), "1 2 3");

  // The selection cuts each object down to its key and what it selects.
  request.mutable_statement()->mutable_select()->set_op_msg(
      Bytes(kFlowOp, "src_ip { op: SELECT }"));
  ASSERT_TRUE(Run(request).ok());
  ASSERT_EQ(chunks_.size(), 1u);
  EXPECT_EQ(chunks_[0].objects(0).object_body(), Bytes(kFlow, "flow_id: 1 src_ip: 'b'"));
  // Selection bytes that are empty or do not parse select the whole object.
  for (const char* select : {"", "\xff"}) {
    request.mutable_statement()->mutable_select()->set_op_msg(select);
    ASSERT_TRUE(Run(request).ok());
    ASSERT_EQ(chunks_.size(), 1u);
    EXPECT_EQ(chunks_[0].objects(0).object_body(),
              Bytes(kFlow, "flow_id: 1 protocol: 6 src_ip: 'b'"));
  }

  // Nothing matched: one empty chunk.
  ASSERT_TRUE(Run(Request("protocol { op: EQUALS }", "protocol: 1")).ok());
  ASSERT_EQ(chunks_.size(), 1u);
  EXPECT_EQ(chunks_[0].objects_size(), 0);
}

TEST_F(QueryProcessorTest, ClosesAChunkOnceItsBodiesPassTheLimit) {
  // A body of exactly 999,999 bytes leaves its chunk open; the next closes it.
  std::string big = Bytes(kFlow, "flow_id: 1 src_ip: ''");
  big = Bytes(kFlow, "flow_id: 1 src_ip: '" + std::string(999999 - big.size() - 2, 'x') + "'");
  ASSERT_EQ(big.size(), 999999u);
  StoreBody(big);
  StoreFlow("flow_id: 2");
  StoreFlow("flow_id: 3");
  // A stored body of the marker byte alone gives an entry with the type alone.
  StoreBody(Bytes(kFlow, "flow_id: 4"), {}, std::string(1, '\0'));
  ASSERT_TRUE(Run(Request("", "")).ok());
  EXPECT_EQ(Ids(), "1 2 | 3 -");
  ASSERT_EQ(chunks_.size(), 2u);
  EXPECT_FALSE(chunks_[1].objects(1).has_object_body());
}

}  // namespace
}  // namespace tarnix
