// A Query of one example type, its selection, where clause and sort order
// taken from the input, over object bodies also taken from the input and
// stored in an in-memory database; then the selection applied to updates
// between consecutive bodies. Client bytes must never crash the engine.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <google/protobuf/message.h>
#include <google/protobuf/text_format.h>
#include <leveldb/env.h>
#include <leveldb/helpers/memenv.h>

#include "caldek/orv/tarnix/tarnix_read.pb.h"
#include "platform/metrics/metric_registry.h"
#include "query/query_processor.h"
#include "query/selection.h"
#include "query/update_delta.h"
#include "schema/record_key.h"
#include "schema/fuzz_schema.h"
#include "schema/schema.h"
#include "storage/db_access.h"
#include "util/fuzz_support.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
namespace tx = caldek::orv::tarnix;

constexpr char kClient[] = "tarnix-cli";  // reads every type
constexpr size_t kMaxObjects = 16;

std::unique_ptr<pb::Message> Parse(const std::string& type, const std::string& bytes) {
  return std::unique_ptr<pb::Message>(ExampleSchema().types().ParseMessage(type, bytes));
}

void Query(FuzzedDataProvider* in) {
  const Schema& schema = ExampleSchema();
  const std::vector<std::string>& types = ExampleTypeNames();
  const std::string& type = types[in->ConsumeIntegralInRange<size_t>(0, types.size() - 1)];
  const std::string op_type = schema.op_messages().GetOpMsgTypeName(type);
  tx::QueryRequestMsg request;
  tx::StatementMsg* statement = request.mutable_statement();
  schema.types().SetObjectType(type, statement);
  const std::string select = in->ConsumeRandomLengthString();
  if (!select.empty()) statement->mutable_select()->set_op_msg(select);
  tx::WhereMsg* where = statement->add_where();
  where->set_op_msg(in->ConsumeRandomLengthString());
  where->set_value(in->ConsumeRandomLengthString());
  const std::string sort = in->ConsumeRandomLengthString();
  if (!sort.empty()) statement->mutable_sort_by()->set_op_msg(sort);
  std::vector<std::string> bodies;
  while (in->remaining_bytes() > 0 && bodies.size() < kMaxObjects) {
    bodies.push_back(in->ConsumeRandomLengthString());
  }

  std::unique_ptr<leveldb::Env> env(leveldb::NewMemEnv(leveldb::Env::Default()));
  orv::metrics::MetricRegistry registry;
  DbAccess db(registry, env.get());
  TARNIX_FUZZ_CHECK(db.Open("/db").code == DbAccessCode::OK);
  DbAccess::Records records;
  std::set<std::string> stored;
  for (const std::string& body : bodies) {
    const std::string id = schema.keys().GetKeyFromSerialized(type, body);
    std::string key;
    if (id.empty() || !MakeObjectRecordKey(schema, type, id, &key)) continue;
    records.emplace_back(key, body);
  }
  std::vector<int32_t> codes;
  TARNIX_FUZZ_CHECK(db.Put(records, false, &codes).ok());
  for (const auto& record : records) stored.insert(record.first);

  std::vector<tx::QueryResponseMsg> chunks;
  const QueryProcessor processor(&schema, &db);  // outlives its read
  std::unique_ptr<QueryProcessor::Read> read;
  Status status = processor.QueryImpl(kClient, request, kMainVdbId, &read);
  if (status.ok()) status = ReadAllChunks(read.get(), &chunks);
  size_t found = 0;
  for (const tx::QueryResponseMsg& chunk : chunks) found += chunk.objects_size();
  TARNIX_FUZZ_CHECK(status.ok() || found == 0);
  TARNIX_FUZZ_CHECK(found <= stored.size());

  // The selection on updates from each body to the next.
  std::unique_ptr<pb::Message> select_op = Parse(op_type, select);
  UpdateDelta deltas(&schema, registry);
  Selection selection(&schema, &deltas);
  if (!select_op || !selection.ParseSelectMsg(select_op.get(), false)) return;
  for (size_t i = 0; i + 1 < bodies.size(); ++i) {
    std::unique_ptr<pb::Message> old_object = Parse(type, bodies[i]);
    std::unique_ptr<pb::Message> new_object = Parse(type, bodies[i + 1]);
    std::unique_ptr<pb::Message> result(schema.types().NewMessage(op_type));
    if (!old_object || !new_object || !result) continue;
    selection.ApplySelectionOnUpdate(type, schema.keys().GetKey(new_object.get()), false,
                                     select_op.get(), old_object.get(), new_object.get(),
                                     result.get(), nullptr);
  }
}

// FuzzedDataProvider's framing: strings end at a backslash followed by any
// other byte, a doubled backslash stands for one; integers come from the end.
std::string Frame(const std::vector<std::string>& parts, uint8_t type_index) {
  std::string out;
  for (const std::string& part : parts) {
    for (char c : part) {
      out += c;
      if (c == '\\') out += c;
    }
    out += "\\n";
  }
  return out + static_cast<char>(type_index);
}

std::string Text(const std::string& type, const std::string& text) {
  std::unique_ptr<pb::Message> message(ExampleSchema().types().NewMessage(type));
  pb::TextFormat::ParseFromString(text, message.get());
  return message->SerializeAsString();
}

std::vector<std::string> Seeds() {
  const std::string device = "caldek.orv.tarnix.DeviceMsg";
  const std::string op = "caldek.orv.tarnix.DeviceOpMsg";
  uint8_t index = 0;
  while (index < ExampleTypeNames().size() && ExampleTypeNames()[index] != device) ++index;
  const std::string a = Text(device, "id { left: 1 right: 2 } hostname: 'a' tags: 'x' tags: 'y' "
                                     "location { site: 's' } modules { slot: 1 }");
  const std::string b = Text(device, "id { left: 3 right: 4 } hostname: 'b' tags: 'y' "
                                     "modules { slot: 2 } modules { slot: 1 }");
  return {
      Frame({"", Text(op, "hostname { op: EQUALS }"), Text(device, "hostname: 'a'"), "", a, b},
            index),
      Frame({Text(op, "hostname { op: SELECT } tags { op: SELECT } modules { self { op: SELECT } }"),
             Text(op, "tags { op: CONTAINS_ANY }"), Text(device, "tags: 'y'"),
             Text(op, "hostname { op: DESCENDING }"), a, b},
            index),
      Frame({Text(op, "location { site { op: SELECT } }"), Text(op, "location { self { op: EXISTS } }"),
             "", Text(op, "location { site { op: ASCENDING } }"), b, a},
            index),
  };
}

}  // namespace
}  // namespace tarnix

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnix::SilenceLogs();
  tarnix::SeedEmptyCorpus(*argc, *argv, tarnix::Seeds());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  tarnix::Query(&in);
  return 0;
}
