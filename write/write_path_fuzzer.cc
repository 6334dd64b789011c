// One Modify stream parsed from the input, run through the real write
// transactions on an in-memory database that already holds a few objects of
// the example schema in vdbs 1 and 2. Besides not crashing, the stored
// records must stay well formed, a refused stream must leave them as they
// were, and the object statistics must equal a recount.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/message.h>
#include <google/protobuf/text_format.h>
#include <leveldb/env.h>
#include <leveldb/helpers/memenv.h>

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "platform/metrics/metric_registry.h"
#include "schema/record_key.h"
#include "schema/fuzz_schema.h"
#include "schema/schema.h"
#include "schema/vdb_id_set.h"
#include "storage/db_access.h"
#include "storage/key_space.h"
#include "util/fuzz_support.h"
#include "write/group_commit.h"
#include "write/object_stats_maintainer.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/vdb_registry.h"
#include "write/write_metrics.h"
#include "write/write_telemetry.h"
#include "write/write_transactions.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
namespace tx = caldek::orv::tarnix;

constexpr char kClient[] = "tarnix-cli";  // writes every type
constexpr uint64_t kMaxLogSize = 1 << 20;

class Outcome : public WriteReply, public UpdateNotifier {
 public:
  void Respond() override { ++answers; }
  void Fail(const Status&) override {
    ++answers;
    failed = true;
  }
  void NotifyForUpdate(uint64_t, bool, std::list<UpdateRecord>* updates,
                       std::list<UpdateRecord>* deletes, TransactionRequestTable*,
                       std::chrono::system_clock::time_point) override {
    updates->clear();
    deletes->clear();
  }

  int answers = 0;
  bool failed = false;
};

std::string Text(const std::string& type, const std::string& text) {
  std::unique_ptr<pb::Message> message(ExampleSchema().types().NewMessage(type));
  pb::TextFormat::ParseFromString(text, message.get());
  return message->SerializeAsString();
}

tx::ModifyMsg Put(const std::string& type, const std::string& text,
                  std::vector<uint32_t> vdbs) {
  tx::ModifyMsg entry;
  tx::PutMsg* put = entry.mutable_put_msg();
  const std::string full_name = "caldek.orv.tarnix." + type;
  ExampleSchema().types().SetObjectType(full_name, put->mutable_object());
  put->mutable_object()->set_object_body(Text(full_name, text));
  for (uint32_t vdb : vdbs) put->add_vdb_ids(vdb);
  return entry;
}

// What every run starts from.
tx::ModifyRequestMsg Initial() {
  tx::ModifyRequestMsg request;
  *request.add_modifies() = Put("DeviceMsg", "id { left: 1 right: 1 } hostname: 'a' tags: 't'", {1, 2});
  *request.add_modifies() = Put("DeviceMsg", "id { left: 2 right: 2 } hostname: 'b'", {2});
  *request.add_modifies() =
      Put("InterfaceMsg", "name { string: 'eth0' } device_id { left: 1 right: 1 } mtu: 9000", {1});
  *request.add_modifies() =
      Put("AddressMsg", "ip: '10.0.0.1' binding { interface { string: 'eth0' } }", {1, 2});
  *request.add_modifies() = Put("FlowMsg", "flow_id: 7", {1});
  return request;
}

DbAccess::Records ObjectRecords(DbAccess* db) {
  DbAccess::Records records;
  TARNIX_FUZZ_CHECK(db->PrefixFilter(nullptr, kObjectPrefix, &records).ok());
  return records;
}

// Every record names a known type and an id its body carries, in vdbs that
// exist; the records of one object hold disjoint vdb sets.
void CheckRecords(const DbAccess::Records& records) {
  const Schema& schema = ExampleSchema();
  std::map<std::string, VdbIdSet> held;  // record key without suffix -> vdbs
  for (const auto& [key, body] : records) {
    std::string type_name, id, suffix;
    TARNIX_FUZZ_CHECK(TryDecodeObjectRecordKey(schema, key, &type_name, &id, &suffix));
    TARNIX_FUZZ_CHECK(schema.keys().GetKeyFromSerialized(type_name, body) == id);
    VdbIdSet vdbs;
    TARNIX_FUZZ_CHECK(DecodeVdbSuffix(suffix, &vdbs));
    VdbIdSet& all = held[key.substr(0, key.size() - suffix.size())];
    for (VdbId vdb : vdbs) {
      TARNIX_FUZZ_CHECK(vdb >= 1 && vdb <= 3);
      TARNIX_FUZZ_CHECK(all.insert(vdb).second);
    }
  }
}

std::pair<uint64_t, uint64_t> Counts(ObjectStatsMaintainer* stats, const std::string& type) {
  const ObjectStatsMaintainer::TypeCounters& c = stats->GetOrCreateTypeCounters(type);
  return {(*c.num_of_objects)->window(true).last, (*c.total_size)->window(true).last};
}

void Run(const tx::ModifyRequestMsg& fuzzed) {
  const Schema& schema = ExampleSchema();
  std::unique_ptr<leveldb::Env> env(leveldb::NewMemEnv(leveldb::Env::Default()));
  orv::metrics::MetricRegistry registry;
  DbAccess db(registry, env.get());
  TARNIX_FUZZ_CHECK(db.Open("/db").code == DbAccessCode::OK);
  TransactionIds ids(&db);
  ids.InitTxnId();
  TransactionLogStore log_store(&db, kMaxLogSize, &registry);
  VDbRegistry vdbs(&db, &log_store);
  vdbs.InitVDbInfo();
  for (uint16_t id : {2, 3}) vdbs.AddVDbInfo(id, "vdb" + std::to_string(id), nullptr);
  ObjectStatsMaintainer stats(&registry);
  WriteMetrics metrics(registry);
  WriteTelemetry telemetry;
  Outcome outcome;
  GroupCommit commits(&db);
  WriteTransactions txn(&schema, &db, &ids, &log_store, &vdbs, &stats, &metrics, &telemetry,
                        &outcome, &commits);

  std::list<tx::ModifyRequestMsg> initial{Initial()};
  txn.Run(kClient, &outcome, &initial);
  TARNIX_FUZZ_CHECK(outcome.answers == 1 && !outcome.failed);
  const DbAccess::Records before = ObjectRecords(&db);

  outcome = Outcome();
  std::list<tx::ModifyRequestMsg> requests{fuzzed};
  txn.Run(kClient, &outcome, &requests);
  TARNIX_FUZZ_CHECK(outcome.answers == 1);
  const DbAccess::Records after = ObjectRecords(&db);
  if (outcome.failed) TARNIX_FUZZ_CHECK(after == before);
  CheckRecords(after);

  orv::metrics::MetricRegistry recount_registry;
  ObjectStatsMaintainer recount(&recount_registry);
  ComputeStatistics(schema, &db, &recount);
  for (const auto& [id, type] : schema.types().GetObjectTypeNames()) {
    TARNIX_FUZZ_CHECK(Counts(&stats, type) == Counts(&recount, type));
  }
}

std::vector<std::string> Seeds() {
  std::vector<tx::ModifyRequestMsg> seeds(5);
  *seeds[0].add_modifies() = Put("DeviceMsg", "id { left: 1 right: 1 } hostname: 'c'", {2, 3});
  *seeds[0].add_modifies() = Put("FlowMsg", "flow_id: 8", {});
  tx::PatchMsg* patch = seeds[1].add_modifies()->mutable_patch_msg();
  ExampleSchema().types().SetObjectType("caldek.orv.tarnix.DeviceMsg", patch);
  patch->set_op_msg(Text("caldek.orv.tarnix.DeviceOpMsg", "hostname { op: SET } tags { op: APPEND }"));
  patch->set_object_value(Text("caldek.orv.tarnix.DeviceMsg",
                               "id { left: 1 right: 1 } hostname: 'p' tags: 'u'"));
  patch->add_vdb_ids(2);
  tx::DeleteMsg* del = seeds[2].add_modifies()->mutable_delete_msg();
  ExampleSchema().types().SetObjectType("caldek.orv.tarnix.DeviceMsg", del->mutable_object());
  del->mutable_object()->set_object_body(Text("caldek.orv.tarnix.DeviceMsg", "id { left: 1 right: 1 }"));
  del->set_recursive(true);
  del->add_vdb_ids(1);
  tx::CopyMsg* copy = seeds[3].add_modifies()->mutable_copy_msg();
  ExampleSchema().types().SetObjectType("caldek.orv.tarnix.AddressMsg", copy->mutable_object());
  copy->mutable_object()->set_object_body(Text("caldek.orv.tarnix.AddressMsg", "ip: '10.0.0.1'"));
  copy->set_src_vdb_id(2);
  copy->add_vdb_ids(3);
  tx::FlushMsg* flush = seeds[3].add_modifies()->mutable_flush_msg();
  ExampleSchema().types().SetObjectType("caldek.orv.tarnix.FlowMsg", flush);
  *seeds[4].add_modifies() = Put("DeviceMsg", "id { left: 2 right: 2 } hostname: 'bb'", {2});
  std::vector<std::string> out;
  for (const tx::ModifyRequestMsg& seed : seeds) out.push_back(seed.SerializeAsString());
  return out;
}

}  // namespace
}  // namespace tarnix

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnix::SilenceLogs();
  tarnix::SeedEmptyCorpus(*argc, *argv, tarnix::Seeds());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  caldek::orv::tarnix::ModifyRequestMsg request;
  if (!request.ParseFromArray(data, static_cast<int>(size))) return 0;
  tarnix::Run(request);
  return 0;
}
