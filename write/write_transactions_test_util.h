#ifndef TARNIX_WRITE_WRITE_TRANSACTIONS_TEST_UTIL_H_
#define TARNIX_WRITE_WRITE_TRANSACTIONS_TEST_UTIL_H_

#include <google/protobuf/text_format.h>

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "schema/record_key.h"
#include "storage/key_space.h"
#include "storage/range_compactor.h"
#include "write/group_commit.h"
#include "write/object_stats_maintainer.h"
#include "write/tarnix_transaction_log.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/vdb_registry.h"
#include "write/write_metrics.h"
#include "write/write_telemetry.h"
#include "write/write_test_util.h"
#include "write/write_transactions.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kInterface[] = "caldek.orv.tarnix.InterfaceMsg";
constexpr char kAddress[] = "caldek.orv.tarnix.AddressMsg";
constexpr char kPolicy[] = "caldek.orv.tarnix.PolicyMsg";
constexpr char kFlow[] = "caldek.orv.tarnix.FlowMsg";
constexpr char kAdmin[] = "tarnix-cli";  // writes every type

// Answers and notifications in the order they happen.
class Recorder : public WriteReply, public UpdateNotifier {
 public:
  void Respond() override { events.push_back("respond"); }
  void Fail(const Status& status) override {
    events.push_back("fail");
    failure = status;
  }
  void NotifyForUpdate(uint64_t txn_id, bool, std::list<UpdateRecord>* updates,
                       std::list<UpdateRecord>* deletes, TransactionRequestTable* requests,
                       std::chrono::system_clock::time_point) override {
    events.push_back("notify");
    notified_txn_id = txn_id;
    updated = updates->size();
    deleted = deletes->size();
    had_requests = requests != nullptr;
    updates->clear();
    deletes->clear();
  }

  std::vector<std::string> events;
  Status failure;
  uint64_t notified_txn_id = 0;
  size_t updated = 0;
  size_t deleted = 0;
  bool had_requests = false;
};

// The write machinery on a fresh database with the example schema; vdbs 1
// ("main_vdb"), 2 and 3 registered.
class WriteTransactionsTest : public WriteTest {
 protected:
  void SetUp() override {
    WriteTest::SetUp();
    Start();
  }
  void TearDown() override {
    Stop();
    WriteTest::TearDown();
  }

  void Start() {
    ids_ = std::make_unique<TransactionIds>(db_.get());
    ids_->InitTxnId();
    log_store_ = std::make_unique<TransactionLogStore>(db_.get(), max_log_size_, &registry_);
    vdbs_ = std::make_unique<VDbRegistry>(db_.get(), log_store_.get());
    vdbs_->InitVDbInfo();
    for (uint16_t id : {2, 3}) {
      if (vdbs_->vdb_id_to_name().count(id) == 0) {
        vdbs_->AddVDbInfo(id, "vdb" + std::to_string(id), nullptr);
      }
    }
    stats_ = std::make_unique<ObjectStatsMaintainer>(&registry_);
    metrics_ = std::make_unique<WriteMetrics>(registry_);
    commits_ = std::make_unique<GroupCommit>(db_.get());
    txn_ = std::make_unique<WriteTransactions>(&schema_, db_.get(), ids_.get(), log_store_.get(),
                                               vdbs_.get(), stats_.get(), metrics_.get(),
                                               &telemetry_, &recorder_, commits_.get(),
                                               compactor_.get());
  }
  void Stop() {
    txn_.reset();
    compactor_.reset();
    commits_.reset();
    metrics_.reset();
    stats_.reset();
    vdbs_.reset();
    log_store_.reset();
    ids_.reset();
  }

  // Serialised message of `type` from its text form.
  std::string Body(const std::string& type, const std::string& text) {
    std::unique_ptr<google::protobuf::Message> message(schema_.types().NewMessage(type));
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, message.get())) << text;
    return message->SerializeAsString();
  }
  std::string Device(int n, const std::string& hostname = "") {
    return Body(kDevice, "id { left: " + std::to_string(n) + " } hostname: '" + hostname + "'");
  }
  std::string Interface(const std::string& name, int device) {
    return Body(kInterface, "name { string: '" + name + "' } device_id { left: " +
                                std::to_string(device) + " }");
  }
  std::string Address(const std::string& ip, const std::string& interface) {
    return Body(kAddress, "ip: '" + ip + "' binding { interface { string: '" + interface + "' } }");
  }
  std::string Policy(int id, int parent) {
    return Body(kPolicy, "policy_id: " + std::to_string(id) +
                             " parent_policy_id: " + std::to_string(parent));
  }
  std::string Flow(int id) { return Body(kFlow, "flow_id: " + std::to_string(id)); }

  std::string IdOf(const std::string& type, const std::string& body) {
    return schema_.keys().GetKeyFromSerialized(type, body);
  }
  tx::TypedObjectMsg Typed(const std::string& type, const std::string& body) {
    tx::TypedObjectMsg typed;
    schema_.types().SetObjectType(type, &typed);
    typed.set_object_body(body);
    return typed;
  }
  tx::PutMsg PutEntry(const std::string& type, const std::string& body,
                      std::vector<uint32_t> vdbs = {}) {
    tx::PutMsg put;
    *put.mutable_object() = Typed(type, body);
    for (uint32_t vdb : vdbs) put.add_vdb_ids(vdb);
    return put;
  }
  tx::DeleteMsg DeleteEntry(const std::string& type, const std::string& body, bool recursive,
                            std::vector<uint32_t> vdbs = {}) {
    tx::DeleteMsg del;
    *del.mutable_object() = Typed(type, body);
    if (recursive) del.set_recursive(true);
    for (uint32_t vdb : vdbs) del.add_vdb_ids(vdb);
    return del;
  }

  // Runs one Put stream of one message.
  void RunPut(const std::vector<tx::PutMsg>& entries, const std::string& client = kAdmin) {
    std::list<tx::PutRequestMsg> requests(1);
    for (const tx::PutMsg& entry : entries) *requests.back().add_puts() = entry;
    txn_->Run(client, &recorder_, &requests);
  }

  // The stored records of one type: id -> vdb sets of its records.
  std::map<std::string, std::vector<VdbIdSet>> Stored(const std::string& type) {
    std::string prefix;
    EXPECT_TRUE(MakeObjectTypeKeyPrefix(schema_, type, &prefix));
    DbAccess::Records records;
    EXPECT_TRUE(db_->PrefixFilter(nullptr, prefix, &records).ok());
    std::map<std::string, std::vector<VdbIdSet>> out;
    for (const auto& record : records) {
      std::string name, id, suffix;
      DecodeObjectRecordKey(schema_, record.first, &name, &id, &suffix);
      VdbIdSet vdbs;
      EXPECT_TRUE(DecodeVdbSuffix(suffix, &vdbs));
      out[id].push_back(vdbs);
    }
    return out;
  }
  size_t LogUnits() {
    DbAccess::Records units;
    EXPECT_TRUE(db_->PrefixFilter(nullptr, kTxnLogPrefix, &units).ok());
    return units.size();
  }
  uint64_t UnitValue(const std::string& name) {
    metrics::UnitMetric metric(registry_, name);
    return metric->window(true).last;
  }
  uint64_t StoredTxnId() {
    std::string value;
    EXPECT_TRUE(db_->Get(db_->GetSnapshot(), std::string(kTxnIdKey), &value).ok());
    return std::stoull(value);
  }

  uint64_t max_log_size_ = 1 << 24;
  std::unique_ptr<TransactionIds> ids_;
  std::unique_ptr<TransactionLogStore> log_store_;
  std::unique_ptr<VDbRegistry> vdbs_;
  std::unique_ptr<ObjectStatsMaintainer> stats_;
  std::unique_ptr<WriteMetrics> metrics_;
  WriteTelemetry telemetry_;
  Recorder recorder_;
  std::unique_ptr<GroupCommit> commits_;
  std::unique_ptr<RangeCompactor> compactor_;  // null unless a test sets it before Start()
  std::unique_ptr<WriteTransactions> txn_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_TRANSACTIONS_TEST_UTIL_H_
