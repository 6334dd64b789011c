#include "write/write_transactions.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <optional>

#include <leveldb/env.h>

#include "platform/util/strings.h"
#include "schema/varint.h"
#include "schema/schema_test_util.h"
#include "storage/fault_env.h"
#include "write/write_transactions_test_util.h"

namespace tarnix {
namespace {

const std::vector<std::string> kAnswered = {"respond", "notify"};
const std::vector<std::string> kRefused = {"fail"};

// Once armed, the first read of a table file makes every later log append
// fail (not as an I/O error, which ends the process): a transaction's id is
// then stored, and its batch is not.
class FailWritesAfterReadEnv : public leveldb::EnvWrapper {
 public:
  FailWritesAfterReadEnv() : leveldb::EnvWrapper(leveldb::Env::Default()) {}
  leveldb::Status NewRandomAccessFile(const std::string& name,
                                      leveldb::RandomAccessFile** result) override {
    leveldb::Status status = target()->NewRandomAccessFile(name, result);
    if (status.ok()) *result = new ArmingFile(this, *result);
    return status;
  }
  leveldb::Status NewWritableFile(const std::string& name,
                                  leveldb::WritableFile** result) override {
    leveldb::Status status = target()->NewWritableFile(name, result);
    if (status.ok()) *result = new FailingLog(this, *result);
    return status;
  }

  std::atomic<bool> armed{false};
  std::atomic<bool> failing{false};

 private:
  class ArmingFile : public leveldb::RandomAccessFile {
   public:
    ArmingFile(FailWritesAfterReadEnv* env, leveldb::RandomAccessFile* target)
        : env_(env), target_(target) {}
    leveldb::Status Read(uint64_t offset, size_t n, leveldb::Slice* result,
                         char* scratch) const override {
      if (env_->armed) env_->failing = true;
      return target_->Read(offset, n, result, scratch);
    }

   private:
    FailWritesAfterReadEnv* const env_;
    const std::unique_ptr<leveldb::RandomAccessFile> target_;
  };
  class FailingLog : public leveldb::WritableFile {
   public:
    FailingLog(FailWritesAfterReadEnv* env, leveldb::WritableFile* target)
        : env_(env), target_(target) {}
    leveldb::Status Append(const leveldb::Slice& data) override {
      if (env_->failing) return leveldb::Status::Corruption("injected");
      return target_->Append(data);
    }
    leveldb::Status Close() override { return target_->Close(); }
    leveldb::Status Flush() override { return target_->Flush(); }
    leveldb::Status Sync() override { return target_->Sync(); }

   private:
    FailWritesAfterReadEnv* const env_;
    const std::unique_ptr<leveldb::WritableFile> target_;
  };
};

TEST_F(WriteTransactionsTest, PutCommitsRecordsAndLogUnitsAndAnswersBeforeNotifying) {
  RunPut({PutEntry(kDevice, Device(1)), PutEntry(kDevice, Device(2), {1, 2})});
  EXPECT_EQ(recorder_.events, kAnswered);
  EXPECT_EQ(recorder_.notified_txn_id, 1u);
  EXPECT_EQ(recorder_.updated, 2u);
  EXPECT_FALSE(recorder_.had_requests);
  EXPECT_EQ(StoredTxnId(), 1u);
  EXPECT_EQ(Stored(kDevice), (std::map<std::string, std::vector<VdbIdSet>>{
                                 {IdOf(kDevice, Device(1)), {{1}}},
                                 {IdOf(kDevice, Device(2)), {{1, 2}}}}));
  EXPECT_EQ(LogUnits(), 3u);  // changes per vdb set, then the request
  EXPECT_TRUE(HasLine("INFO", "", "Put: TransactionID='1' Client ID=tarnix-cli"));
  EXPECT_EQ(UnitValue("server/transaction/put/request/count"), 2u);
  EXPECT_EQ(UnitValue("server/transaction/put/request/size"), log_store_->current_log_size());
  EXPECT_EQ(Samples("server/latency/put/process"), 1u);
  const auto& counters = stats_->GetOrCreateTypeCounters(kDevice);
  EXPECT_EQ((*counters.num_of_objects)->window(true).last, 2u);
}

// Objects the key filter wrongly took for new would get a second record
// beside their stored one.
TEST_F(WriteTransactionsTest, TheObjectFilterKnowsStoredObjectsAndThoseWrittenSince) {
  RunPut({PutEntry(kDevice, Device(1)), PutEntry(kDevice, Device(2), {1, 2})});
  Stop();
  Start();
  ComputeStatistics(schema_, db_.get(), stats_.get(), nullptr, txn_->object_keys());
  ASSERT_TRUE(txn_->object_keys()->enabled());
  RunPut({PutEntry(kDevice, Device(1), {2}), PutEntry(kDevice, Device(2, "b"), {1})});
  RunPut({PutEntry(kDevice, Device(3), {1})});
  RunPut({PutEntry(kDevice, Device(3), {3})});
  const std::map<std::string, std::vector<VdbIdSet>> stored = Stored(kDevice);
  EXPECT_EQ(stored.at(IdOf(kDevice, Device(1))), (std::vector<VdbIdSet>{{1, 2}}));
  EXPECT_EQ(stored.at(IdOf(kDevice, Device(2))).size(), 2u);
  EXPECT_EQ(stored.at(IdOf(kDevice, Device(3))), (std::vector<VdbIdSet>{{1, 3}}));

  // A record key that does not split leaves the filter off: it could not
  // say which object it belongs to.
  std::vector<int32_t> results;
  ASSERT_TRUE(db_->Put({{std::string("\0\x81", 2), "x"}}, false, &results).ok());
  Stop();
  Start();
  ComputeStatistics(schema_, db_.get(), stats_.get(), nullptr, txn_->object_keys());
  EXPECT_FALSE(txn_->object_keys()->enabled());
}

// A put of an object the filter wrongly took for absent would store a
// second record beside the one its failed delete left.
TEST_F(WriteTransactionsTest, AnObjectIsKnownAbsentOnlyOnceItsDeleteIsWritten) {
  const auto absent = [&](const std::string& body) {
    std::string key;
    EXPECT_TRUE(MakeObjectRecordKey(schema_, kDevice, IdOf(kDevice, body), &key));
    return !txn_->object_keys()->MayContain(key);
  };
  const auto run_delete = [&](const std::string& body) {
    std::list<tx::DeleteRequestMsg> requests(1);
    *requests.back().add_deletes() = DeleteEntry(kDevice, body, false);
    txn_->Run(kAdmin, &recorder_, &requests);
    return recorder_.events.back();
  };
  RunPut({PutEntry(kDevice, Device(1, std::string(8000, '-'))),
          PutEntry(kDevice, Device(2), {1, 2})});
  EXPECT_EQ(run_delete(Device(2)), "notify");  // vdb 2 keeps it
  EXPECT_FALSE(absent(Device(2)));
  Stop();
  FailWritesAfterReadEnv env;
  db_.reset();
  db_ = OpenDb(&env);  // the records move from the log into a table file
  Start();
  env.armed = true;
  EXPECT_EQ(run_delete(Device(1)), "fail");
  EXPECT_FALSE(absent(Device(1)));
  Stop();
  db_.reset();
  db_ = OpenDb();
  Start();
  EXPECT_EQ(run_delete(Device(1)), "notify");
  EXPECT_TRUE(absent(Device(1)));
  RunPut({PutEntry(kDevice, Device(1))});
  EXPECT_FALSE(absent(Device(1)));
}

TEST_F(WriteTransactionsTest, EveryStreamIsOneTransactionAnsweredOnce) {
  const std::string device = Device(1, "a");
  const std::string address = Body(kAddress, "ip: '10.0.0.1'");
  RunPut({PutEntry(kDevice, device), PutEntry(kAddress, address)});

  std::list<tx::PatchRequestMsg> patches(1);
  tx::PatchMsg* patch = patches.back().add_patches();
  schema_.types().SetObjectType(kAddress, patch);
  patch->set_object_value(Body(kAddress, "ip: '10.0.0.1' prefix_length: 24"));
  patch->set_op_msg(
      Body(schema_.op_messages().GetOpMsgTypeName(kAddress), "prefix_length { op: SET }"));
  txn_->Run(kAdmin, &recorder_, &patches);

  std::list<tx::CopyRequestMsg> copies(1);
  tx::CopyMsg* copy = copies.back().add_copies();
  *copy->mutable_object() = Typed(kDevice, device);
  copy->add_vdb_ids(2);
  txn_->Run(kAdmin, &recorder_, &copies);

  std::list<tx::FlushByBlockIdRequestMsg> block_flushes(1);
  tx::FlushByBlockIdMsg* block = block_flushes.back().add_flushes();
  block->set_block_id(schema_.types().ComputeBlockId(kDevice, IdOf(kDevice, device), nullptr));
  block->add_vdb_ids(2);
  txn_->Run(kAdmin, &recorder_, &block_flushes);
  EXPECT_EQ(Stored(kDevice).begin()->second, std::vector<VdbIdSet>({{1}}));

  std::list<tx::ModifyRequestMsg> modifies(1);
  *modifies.back().add_modifies()->mutable_put_msg() = PutEntry(kDevice, Device(2));
  txn_->Run(kAdmin, &recorder_, &modifies);

  std::list<tx::DeleteRequestMsg> deletes(1);
  *deletes.back().add_deletes() = DeleteEntry(kDevice, device, false);
  txn_->Run(kAdmin, &recorder_, &deletes);

  std::list<tx::FlushRequestMsg> flushes(1);
  schema_.types().SetObjectType(kDevice, flushes.back().add_flushes());
  txn_->Run(kAdmin, &recorder_, &flushes);

  std::vector<std::string> seven_answers;
  for (int i = 0; i < 7; ++i) {
    seven_answers.insert(seven_answers.end(), kAnswered.begin(), kAnswered.end());
  }
  EXPECT_EQ(recorder_.events, seven_answers);
  EXPECT_EQ(StoredTxnId(), 7u);
  EXPECT_TRUE(Stored(kDevice).empty());
  EXPECT_EQ(Stored(kAddress).size(), 1u);
  EXPECT_EQ(LogUnits(), 14u);

  // Each operation is counted in its own metrics and named in its own line.
  const std::vector<std::pair<std::string, std::string>> ops = {
      {"put", "Put"},       {"patch", "Patch"},
      {"copy", "Copy"},     {"flush_by_block_id", "FlushByBlockId"},
      {"modify", "Modify"}, {"delete", "Delete"},
      {"flush", "Flush"}};
  const std::vector<std::string> lines = capture_.lines();
  for (size_t i = 0; i < ops.size(); ++i) {
    const std::string& slot = ops[i].first;
    EXPECT_EQ(Samples("server/latency/" + slot + "/preprocess"), 1u) << slot;
    EXPECT_EQ(Samples("server/latency/" + slot + "/process"), 1u) << slot;
    EXPECT_EQ(UnitValue("server/transaction/" + slot + "/request/count"), i == 0 ? 2u : 1u) << slot;
    const std::string opening =
        "] " + ops[i].second + ": TransactionID='" + std::to_string(i + 1) + "' Client ID=";
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(opening) != std::string::npos;
    })) << opening;
  }
}

TEST_F(WriteTransactionsTest, EmptyStreamUsesAnIdAndIsRefused) {
  std::list<tx::DeleteRequestMsg> none;
  txn_->Run("someone", &recorder_, &none);
  EXPECT_EQ(recorder_.events, kRefused);
  EXPECT_EQ(recorder_.failure, Status::InvalidArgument("Received empty request from someone"));
  EXPECT_TRUE(HasLine("INFO", "",
                      "Delete preprocessing failed with INVALID_ARGUMENT: Received empty request "
                      "from someone"));
  RunPut({PutEntry(kDevice, Device(1))});
  EXPECT_EQ(recorder_.notified_txn_id, 2u);
  EXPECT_EQ(LogUnits(), 2u);  // nothing of the refused one
}

TEST_F(WriteTransactionsTest, VdbSetCarriesOverEntriesAndMessages) {
  std::list<tx::PutRequestMsg> requests(2);
  *requests.front().add_puts() = PutEntry(kDevice, Device(1));
  *requests.front().add_puts() = PutEntry(kDevice, Device(2), {3, 2});
  *requests.front().add_puts() = PutEntry(kDevice, Device(3));
  *requests.back().add_puts() = PutEntry(kDevice, Device(4));
  txn_->Run(kAdmin, &recorder_, &requests);
  ASSERT_EQ(recorder_.events, kAnswered);
  EXPECT_TRUE(requests.empty());
  const auto stored = Stored(kDevice);
  EXPECT_EQ(stored.at(IdOf(kDevice, Device(1))), std::vector<VdbIdSet>({{1}}));
  for (int n : {2, 3, 4}) {
    EXPECT_EQ(stored.at(IdOf(kDevice, Device(n))), std::vector<VdbIdSet>({{2, 3}})) << n;
  }
}

TEST_F(WriteTransactionsTest, RefusedEntriesWriteNothing) {
  RunPut({PutEntry(kDevice, Device(1))}, "guest");
  EXPECT_EQ(recorder_.failure, Status::PermissionDenied("guest does not have write permission for "
                                                        "caldek.orv.tarnix.DeviceMsg."));
  // Ids are 16 bits: the first one above is invalid, not truncated to one
  // that might be registered.
  RunPut({PutEntry(kDevice, Device(1), {2}), PutEntry(kDevice, Device(2), {65536})});
  EXPECT_EQ(recorder_.failure, Status::InvalidArgument("invalid vdb id"));
  RunPut({PutEntry(kDevice, Device(1), {65535})});
  EXPECT_EQ(recorder_.failure, Status::FailedPrecondition("vdb_id=65535 not found"));
  RunPut({PutEntry(kDevice, Body(kDevice, "hostname: 'x'"))});
  EXPECT_EQ(recorder_.failure, Status::InvalidArgument("id is missing from object being put"));
  EXPECT_EQ(recorder_.events, std::vector<std::string>(4, "fail"));
  EXPECT_TRUE(Stored(kDevice).empty());
  EXPECT_EQ(LogUnits(), 0u);
  EXPECT_EQ(StoredTxnId(), 4u);
}

// A flush removes every object of its type: only a writer of the type may,
// whether it comes in a Flush or a Modify stream.
TEST_F(WriteTransactionsTest, FlushNeedsWritePermissionForItsType) {
  RunPut({PutEntry(kDevice, Device(1), {1, 2})});
  const std::string reader = "network-controller";  // reads devices, writes none
  std::list<tx::FlushRequestMsg> flushes(1);
  schema_.types().SetObjectType(kDevice, flushes.back().add_flushes());
  txn_->Run(reader, &recorder_, &flushes);
  const Status denied = Status::PermissionDenied(
      reader + " does not have write permission for caldek.orv.tarnix.DeviceMsg.");
  EXPECT_EQ(recorder_.failure, denied);

  std::list<tx::ModifyRequestMsg> modifies(1);
  schema_.types().SetObjectType(kDevice, modifies.back().add_modifies()->mutable_flush_msg());
  recorder_.failure = Status();
  txn_->Run(reader, &recorder_, &modifies);
  EXPECT_EQ(recorder_.failure, denied);

  EXPECT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify", "fail", "fail"}));
  EXPECT_EQ(Stored(kDevice).begin()->second, std::vector<VdbIdSet>({{1, 2}}));
  EXPECT_EQ(LogUnits(), 2u);  // the put's
}

// Delete, copy and patch name the object without an id in full; a patch
// names its whole entry, which carries the type.
TEST_F(WriteTransactionsTest, EntriesWithoutAnIdNameTheirObject) {
  const std::string no_id = Body(kDevice, "hostname: 'x'");
  std::list<tx::ModifyRequestMsg> modifies(1);
  tx::ModifyMsg* entry = modifies.back().add_modifies();
  *entry->mutable_delete_msg() = DeleteEntry(kDevice, no_id, false);
  txn_->Run(kAdmin, &recorder_, &modifies);
  const std::string kText = "Unable to extract id for object type ";
  EXPECT_EQ(recorder_.failure,
            Status::InvalidArgument(kText + orv::proto::ToString(Typed(kDevice, no_id))));

  modifies.assign(1, tx::ModifyRequestMsg());
  *modifies.back().add_modifies()->mutable_copy_msg()->mutable_object() = Typed(kDevice, no_id);
  txn_->Run(kAdmin, &recorder_, &modifies);
  EXPECT_EQ(recorder_.failure,
            Status::InvalidArgument(kText + orv::proto::ToString(Typed(kDevice, no_id))));

  modifies.assign(1, tx::ModifyRequestMsg());
  tx::PatchMsg* patch = modifies.back().add_modifies()->mutable_patch_msg();
  schema_.types().SetObjectType(kDevice, patch);
  patch->set_object_value(no_id);
  patch->set_op_msg("");
  const tx::PatchMsg sent = *patch;
  txn_->Run(kAdmin, &recorder_, &modifies);
  EXPECT_EQ(recorder_.failure, Status::InvalidArgument(kText + orv::proto::ToString(sent)));
  EXPECT_EQ(recorder_.events, std::vector<std::string>(3, "fail"));
  EXPECT_TRUE(Stored(kDevice).empty());
}

TEST_F(WriteTransactionsTest, AnEntryWithoutAKnownTypeRefusesTheWholeStream) {
  tx::PutMsg untyped;
  untyped.mutable_object()->set_object_body(Device(9));
  tx::PutMsg unknown = untyped;
  unknown.mutable_object()->mutable_unknown_fields()->AddVarint(
      tx::TypedObjectMsg::kObjectTypeFieldNumber, 99);
  for (const tx::PutMsg& entry : {untyped, unknown}) {
    recorder_ = decltype(recorder_)();
    RunPut({PutEntry(kDevice, Device(1)), entry});
    EXPECT_EQ(recorder_.failure, Status::InvalidArgument(EntryScope::kNoObjectType));
    EXPECT_TRUE(Stored(kDevice).empty());
  }
  std::list<tx::FlushRequestMsg> flushes(1);
  flushes.front().add_flushes();
  recorder_ = decltype(recorder_)();
  txn_->Run(kAdmin, &recorder_, &flushes);
  EXPECT_EQ(recorder_.failure, Status::InvalidArgument(EntryScope::kNoObjectType));
}

TEST_F(WriteTransactionsTest, AnOverlongKeyRefusesTheStreamOnEveryPath) {
  const std::string longest(EntryScope::kMaxKeyBytes, 'n');
  RunPut({PutEntry(kInterface, Interface(longest, 1))});
  ASSERT_EQ(recorder_.events, kAnswered);
  const std::string overlong(EntryScope::kMaxKeyBytes + 1, 'n');
  recorder_ = decltype(recorder_)();
  RunPut({PutEntry(kDevice, Device(1)), PutEntry(kInterface, Interface(overlong, 1))});
  EXPECT_EQ(recorder_.failure.code(), Status::kInvalidArgument);
  EXPECT_NE(recorder_.failure.message().find("65537 bytes is longer than the 65536 allowed"),
            std::string::npos)
      << recorder_.failure.message();
  EXPECT_TRUE(Stored(kDevice).empty());
  // Deletes name keys the same way.
  std::list<tx::DeleteRequestMsg> deletes(1);
  tx::DeleteMsg* remove = deletes.front().add_deletes();
  schema_.types().SetObjectType(kInterface, remove->mutable_object());
  remove->mutable_object()->set_object_body(Interface(overlong, 1));
  recorder_ = decltype(recorder_)();
  txn_->Run(kAdmin, &recorder_, &deletes);
  EXPECT_EQ(recorder_.failure.code(), Status::kInvalidArgument);
}

TEST_F(WriteTransactionsTest, FailureInSecondMessageLeavesCountUnchanged) {
  std::list<tx::PutRequestMsg> requests(2);
  *requests.front().add_puts() = PutEntry(kDevice, Device(1));
  *requests.back().add_puts() = PutEntry(kDevice, Device(2), {9});
  txn_->Run(kAdmin, &recorder_, &requests);
  EXPECT_EQ(recorder_.failure, Status::FailedPrecondition("vdb_id=9 not found"));
  EXPECT_EQ(requests.size(), 1u);  // the failing message is left
  EXPECT_EQ(UnitValue("server/transaction/put/request/count"), 0u);
  EXPECT_EQ(Samples("server/latency/put/preprocess"), 1u);
  EXPECT_TRUE(Stored(kDevice).empty());
}

TEST_F(WriteTransactionsTest, FailedStorageWritesCommitNothing) {
  // Beside the bookkeeping records, so that its data block is read only
  // when a transaction reads it.
  RunPut({PutEntry(kDevice, Device(1, "old" + std::string(8000, '-')))});
  Stop();
  FailWritesAfterReadEnv env;
  db_.reset();
  db_ = OpenDb(&env);  // the records move from the log into a table file
  Start();
  const auto& objects = *stats_->GetOrCreateTypeCounters(kDevice).num_of_objects;
  const uint64_t objects_before = objects->window(true).last;
  const uint64_t log_size_before = log_store_->current_log_size();
  const uint64_t log_bytes_before = UnitValue("server/transaction/put/request/size");
  recorder_.events.clear();

  // Build's read of the stored device fails the batch, which holds the id,
  // and the id's write of its own.
  env.armed = true;
  RunPut({PutEntry(kDevice, Device(1, "new")), PutEntry(kDevice, Device(2))});
  EXPECT_EQ(recorder_.events, kRefused);
  EXPECT_EQ(recorder_.failure, Status::DataLoss("LevelDB error: Corruption: injected"));
  EXPECT_EQ(StoredTxnId(), 1u);
  DbAccess::Records devices;
  std::string prefix;
  ASSERT_TRUE(MakeObjectTypeKeyPrefix(schema_, kDevice, &prefix));
  ASSERT_TRUE(db_->PrefixFilter(nullptr, prefix, &devices).ok());
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].second, Device(1, "old" + std::string(8000, '-')));
  EXPECT_EQ(LogUnits(), 2u);  // the first transaction's
  EXPECT_EQ(objects->window(true).last, objects_before);
  EXPECT_EQ(UnitValue("server/transaction/put/request/size"), log_bytes_before);
  // The units were accounted before the write and stay so until a restart.
  EXPECT_GT(log_store_->current_log_size(), log_size_before);

  // LevelDB refuses every write after a failed one: the next transaction
  // fails at its batch too, and nothing of it is stored.
  RunPut({PutEntry(kDevice, Device(3))});
  EXPECT_EQ(recorder_.events, std::vector<std::string>(2, "fail"));
  EXPECT_EQ(recorder_.failure.code(), Status::kDataLoss);
  EXPECT_EQ(StoredTxnId(), 1u);
  Stop();
  db_.reset();
}

TEST_F(WriteTransactionsTest, PatchOfAnObjectDeletedEarlierInTheStreamIsNotFound) {
  RunPut({PutEntry(kDevice, Device(1))});
  std::list<tx::ModifyRequestMsg> modifies(1);
  *modifies.back().add_modifies()->mutable_delete_msg() = DeleteEntry(kDevice, Device(1), false);
  tx::PatchMsg* patch = modifies.back().add_modifies()->mutable_patch_msg();
  schema_.types().SetObjectType(kDevice, patch);
  patch->set_object_value(Device(1, "h"));
  patch->set_op_msg(Body(schema_.op_messages().GetOpMsgTypeName(kDevice), "hostname { op: SET }"));
  txn_->Run(kAdmin, &recorder_, &modifies);
  EXPECT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify", "fail"}));
  EXPECT_EQ(recorder_.failure.code(), Status::kNotFound);
  EXPECT_EQ(recorder_.failure.message(),
            "Patch operation failed: object with type = caldek.orv.tarnix.DeviceMsg and id = " +
                IdOf(kDevice, Device(1)) + " not found in vdbs 1");
  EXPECT_EQ(Stored(kDevice).size(), 1u);
  EXPECT_EQ(LogUnits(), 2u);
}

TEST_F(WriteTransactionsTest, CopyDestinationsLeaveOutTheSource) {
  RunPut({PutEntry(kDevice, Device(1, "old"))});
  auto copy = [&](std::vector<uint32_t> vdbs) {
    tx::ModifyMsg entry;
    *entry.mutable_copy_msg()->mutable_object() = Typed(kDevice, Device(1));
    for (uint32_t vdb : vdbs) entry.mutable_copy_msg()->add_vdb_ids(vdb);
    return entry;
  };
  std::list<tx::ModifyRequestMsg> modifies(1);
  *modifies.back().add_modifies()->mutable_put_msg() = PutEntry(kDevice, Device(1, "new"));
  // Copying vdb 1 onto itself adds nothing, and the next entry carries on
  // with the emptied set.
  *modifies.back().add_modifies() = copy({1});
  *modifies.back().add_modifies() = copy({});
  *modifies.back().add_modifies() = copy({3, 1});
  txn_->Run(kAdmin, &recorder_, &modifies);
  EXPECT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify", "respond", "notify"}));
  DbAccess::Records records;
  std::string prefix;
  ASSERT_TRUE(MakeObjectRecordKey(schema_, kDevice, IdOf(kDevice, Device(1)), &prefix));
  ASSERT_TRUE(db_->PrefixFilter(nullptr, prefix, &records).ok());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].first, prefix + EncodeVdbIdSet({1, 3}));
  EXPECT_EQ(records[0].second, Device(1, "new"));
}

TEST_F(WriteTransactionsTest, UnknownCopySourceIsNamedDifferentlyInCopyAndModify) {
  tx::CopyMsg copy;
  *copy.mutable_object() = Typed(kDevice, Device(1));
  copy.set_src_vdb_id(7);
  std::list<tx::CopyRequestMsg> copies(1);
  *copies.back().add_copies() = copy;
  txn_->Run(kAdmin, &recorder_, &copies);
  EXPECT_EQ(recorder_.failure, Status::FailedPrecondition("src_vdb_id=7 not found"));

  std::list<tx::ModifyRequestMsg> modifies(1);
  *modifies.back().add_modifies()->mutable_copy_msg() = copy;
  txn_->Run(kAdmin, &recorder_, &modifies);
  EXPECT_EQ(recorder_.failure, Status::FailedPrecondition("vdb_id=7 not found"));

  copies.assign(1, tx::CopyRequestMsg());
  copy.set_src_vdb_id(65536);
  *copies.back().add_copies() = copy;
  txn_->Run(kAdmin, &recorder_, &copies);
  EXPECT_EQ(recorder_.failure, Status::InvalidArgument("invalid src vdb id"));
}

TEST_F(WriteTransactionsTest, ModifyEntryHoldsExactlyOneSubMessage) {
  std::list<tx::ModifyRequestMsg> modifies(1);
  tx::ModifyMsg* both = modifies.back().add_modifies();
  *both->mutable_put_msg() = PutEntry(kDevice, Device(1));
  *both->mutable_delete_msg() = DeleteEntry(kDevice, Device(1), false);
  txn_->Run(kAdmin, &recorder_, &modifies);
  const char kTwo[] =
      "Modify request should only include one of pub/delete/flush/patch/copy messages";
  EXPECT_EQ(recorder_.failure, Status::InvalidArgument(kTwo));
  EXPECT_TRUE(HasLine("ERROR", "DRX0208", kTwo));

  modifies.assign(1, tx::ModifyRequestMsg());
  modifies.back().add_modifies();
  txn_->Run(kAdmin, &recorder_, &modifies);
  const char kNone[] =
      "Modify request doesn't include any of pub/delete/flush/patch/copy/flush_by_block_id "
      "messages";
  EXPECT_EQ(recorder_.failure, Status::InvalidArgument(kNone));
  EXPECT_TRUE(HasLine("ERROR", "DRX0208", kNone));
  EXPECT_TRUE(Stored(kDevice).empty());
}

TEST_F(WriteTransactionsTest, ModifyReportsItsTelemetryAndResetsIt) {
  std::list<tx::ModifyRequestMsg> modifies(1);
  *modifies.back().add_modifies()->mutable_put_msg() = PutEntry(kDevice, Device(1));
  txn_->Run(kAdmin, &recorder_, &modifies);
  EXPECT_EQ(recorder_.events, kAnswered);
  EXPECT_TRUE(recorder_.had_requests);
  EXPECT_TRUE(HasLine("INFO", "",
                      "Modify: TransactionID='1' Client ID=tarnix-cli Size=0.00MB LogTx?=1"));
  bool completed = false;
  for (const std::string& line : capture_.lines()) {
    if (line.find("Modify Complete: TransactionID=1 Client ID=tarnix-cli Size=0.00MB") ==
        std::string::npos) {
      continue;
    }
    completed = true;
    EXPECT_EQ(line.find("(0.0, 0.0)"), std::string::npos) << line;  // every phase sampled
  }
  EXPECT_TRUE(completed);
  EXPECT_EQ(telemetry_.Format(),
            "[(0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0), "
            "(0.0, 0.0), (0.0, 0.0), (0.0, 0.0)]");
  EXPECT_EQ(UnitValue("server/transaction/modify/request/count"), 1u);
}

TEST_F(WriteTransactionsTest, ModifyStreamsFromTheLogLimitRecordNoRequest) {
  Stop();
  max_log_size_ = uint64_t{1} << 30;
  Start();
  auto stream = [&](size_t padding) {
    std::list<tx::ModifyRequestMsg> modifies(1);
    *modifies.back().add_modifies()->mutable_put_msg() =
        PutEntry(kDevice, Device(1, std::string(padding, 'h')));
    return modifies;
  };
  const int64_t limit = WriteTransactions::kMaxLoggedModifyBytes;
  // Length prefixes grow with the padding: measure near the limit.
  const size_t guess = limit - 100;
  const size_t padding = limit - 1 - (stream(guess).front().ByteSizeLong() - guess);
  // The start line tells whether the requests are logged, as they are only below the limit.
  const char* expected_log_tx[] = {"LogTx?=1", "LogTx?=0", "LogTx?=0"};
  const size_t expected_units[] = {2, 1, 1};  // with the request, then changes only
  for (int i = 0; i < 3; ++i) {
    auto modifies = stream(padding + i);
    ASSERT_EQ(static_cast<int64_t>(modifies.front().ByteSizeLong()), limit - 1 + i);
    const size_t before = LogUnits();
    txn_->Run(kAdmin, &recorder_, &modifies);
    EXPECT_EQ(recorder_.events.back(), "notify");
    EXPECT_EQ(LogUnits() - before, expected_units[i]) << i;
    EXPECT_TRUE(HasLine("INFO", "",
                        "Modify: TransactionID='" + std::to_string(i + 1) +
                            "' Client ID=tarnix-cli Size=50.00MB " + expected_log_tx[i]))
        << i;
  }
}

// The stored log units, oldest transaction first.
std::vector<tx::TransactionLogUnitMsg> ParsedLogUnits(DbAccess* db) {
  DbAccess::Records records;
  EXPECT_TRUE(db->PrefixFilter(nullptr, kTxnLogPrefix, &records).ok());
  std::vector<tx::TransactionLogUnitMsg> units(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_TRUE(units[i].ParseFromString(records[i].second)) << i;
  }
  return units;
}

// Readers of the log learn from the summary unit what became of each object.
TEST_F(WriteTransactionsTest, LogListsPutObjectsAsUpdatedAndDeletedOnesAsDeleted) {
  RunPut({PutEntry(kDevice, Device(1), {1, 3})});
  std::list<tx::DeleteRequestMsg> deletes(1);
  *deletes.back().add_deletes() = DeleteEntry(kDevice, Device(1), false, {1, 3});
  txn_->Run(kAdmin, &recorder_, &deletes);
  ASSERT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify", "respond", "notify"}));
  ASSERT_TRUE(Stored(kDevice).empty());

  const std::vector<tx::TransactionLogUnitMsg> units = ParsedLogUnits(db_.get());
  ASSERT_EQ(units.size(), 4u);  // per transaction a summary, then the request
  const std::vector<std::string> device = {IdOf(kDevice, Device(1))};
  const auto ids = [](const tx::ObjectTypeAndIdsMsg& entry) {
    return std::vector<std::string>(entry.ids().begin(), entry.ids().end());
  };
  const tx::TransactionLogUnitMsg& put = units[0];
  EXPECT_EQ(put.txn_id(), 1u);
  ASSERT_EQ(put.updated_objects_size(), 1);
  EXPECT_EQ(schema_.types().GetObjectType(&put.updated_objects(0)), kDevice);
  EXPECT_EQ(ids(put.updated_objects(0)), device);
  EXPECT_EQ(put.unchanged_objects_size(), 0);
  EXPECT_EQ(put.deleted_objects_size(), 0);

  const tx::TransactionLogUnitMsg& del = units[2];
  EXPECT_EQ(del.txn_id(), 2u);
  EXPECT_EQ(std::vector<uint32_t>(del.vdb_ids().begin(), del.vdb_ids().end()),
            std::vector<uint32_t>({1, 3}));
  ASSERT_EQ(del.deleted_objects_size(), 1);
  EXPECT_EQ(schema_.types().GetObjectType(&del.deleted_objects(0)), kDevice);
  EXPECT_EQ(ids(del.deleted_objects(0)), device);
  EXPECT_EQ(del.updated_objects_size(), 0);
  EXPECT_EQ(del.unchanged_objects_size(), 0);
  EXPECT_TRUE(units[3].has_delete_request());
}

// The sync field of a stream's first message decides whether the commit
// waits for the write-ahead log to reach the disk.
TEST_F(WriteTransactionsTest, SyncOfTheFirstMessageMakesTheCommitSynced) {
  Stop();
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);
  Start();
  const struct {
    const char* name;
    std::vector<std::optional<bool>> syncs;  // per message; nullopt leaves it unset
    int log_syncs;
  } cases[] = {
      {"unset", {std::nullopt}, 0},
      {"false", {false}, 0},
      {"true", {true}, 1},
      {"first of two", {true, false}, 1},
      {"second of two", {false, true}, 0},
      {"second of two, first unset", {std::nullopt, true}, 0},
  };
  int device = 0;
  for (const auto& c : cases) {
    std::list<tx::PutRequestMsg> requests;
    for (const std::optional<bool>& sync : c.syncs) {
      requests.emplace_back();
      if (sync) requests.back().set_sync(*sync);
      *requests.back().add_puts() = PutEntry(kDevice, Device(++device));
    }
    const int before = env.log_syncs();
    txn_->Run(kAdmin, &recorder_, &requests);
    EXPECT_EQ(recorder_.events.back(), "notify") << c.name;
    EXPECT_EQ(env.log_syncs() - before, c.log_syncs) << c.name;
  }
  EXPECT_EQ(Stored(kDevice).size(), static_cast<size_t>(device));
  Stop();
  db_.reset();
}

TEST_F(WriteTransactionsTest, EphemeralWipeFlushesEveryVdbInOneLoggedTransaction) {
  RunPut({PutEntry(kFlow, Flow(1), {1, 2}), PutEntry(kFlow, Flow(2), {3}),
          PutEntry(kDevice, Device(1))});
  const size_t units = LogUnits();
  txn_->WipeEphemeralObjects();
  EXPECT_TRUE(Stored(kFlow).empty());
  EXPECT_EQ(Stored(kDevice).size(), 1u);
  EXPECT_EQ(StoredTxnId(), 2u);
  EXPECT_EQ(LogUnits(), units + 3);  // two vdb sets changed, one request
  EXPECT_TRUE(HasLine("INFO", "", "Put: TransactionID='1' Client ID=tarnix-cli"));
  EXPECT_EQ(recorder_.events, kAnswered);  // the wipe answers and notifies nobody
  EXPECT_EQ(UnitValue("server/transaction/flush/request/count"), 1u);  // one ephemeral type
  const auto& counters = stats_->GetOrCreateTypeCounters(kFlow);
  EXPECT_EQ((*counters.num_of_objects)->window(true).last, 0u);
}

TEST_F(WriteTransactionsTest, DeletesAreCompactedOnceThousandsAddUp) {
  Stop();
  compactor_ = std::make_unique<RangeCompactor>(db_.get(), RangeCompactor::kPieceBytes,
                                                std::chrono::milliseconds(100));
  Start();
  const int kDevices = static_cast<int>(RangeCompactor::kCompactAfterDeletes);
  std::vector<tx::PutMsg> puts;
  for (int i = 0; i < kDevices; ++i) puts.push_back(PutEntry(kDevice, Device(i)));
  RunPut(puts);
  std::list<tx::DeleteRequestMsg> deletes(1);
  for (int i = 0; i < 100; ++i) {
    *deletes.back().add_deletes() = DeleteEntry(kDevice, Device(i), false);
  }
  txn_->Run(kAdmin, &recorder_, &deletes);
  compactor_->WaitIdle();
  EXPECT_EQ(compactor_->compactions(), 0u);

  std::list<tx::FlushRequestMsg> flushes(1);
  schema_.types().SetObjectType(kDevice, flushes.back().add_flushes());
  txn_->Run(kAdmin, &recorder_, &flushes);
  compactor_->WaitIdle();
  EXPECT_TRUE(Stored(kDevice).empty());
  EXPECT_EQ(compactor_->compactions(), 1u);
}

// A log at its bound is trimmed by every transaction, each going on with the
// iterator (and snapshot) of the last: the snapshot must not keep a Flush's
// records from their compaction.
TEST_F(WriteTransactionsTest, DeletesAreCompactedWhileTheLogIsTrimmed) {
  Stop();
  max_log_size_ = 2048;
  compactor_ = std::make_unique<RangeCompactor>(db_.get(), RangeCompactor::kPieceBytes,
                                                std::chrono::milliseconds(100));
  Start();
  std::vector<tx::PutMsg> puts;
  for (int i = 0; i < static_cast<int>(RangeCompactor::kCompactAfterDeletes); ++i) {
    puts.push_back(PutEntry(kDevice, Device(i)));
  }
  RunPut(puts);
  // Into the tables, as a while of writes would take them: deletes in the
  // memtable of their puts are out of CompactRange's reach.
  db_->GetSnapshot()->db()->CompactRange(nullptr, nullptr);
  // Each trims the one before.
  for (int i = 0; i < 8; ++i) RunPut({PutEntry(kInterface, Interface("eth0", i))});
  std::list<tx::FlushRequestMsg> flushes(1);
  schema_.types().SetObjectType(kDevice, flushes.back().add_flushes());
  txn_->Run(kAdmin, &recorder_, &flushes);
  compactor_->WaitIdle();
  ASSERT_EQ(compactor_->compactions(), 1u);
  std::string begin;
  ASSERT_TRUE(MakeObjectTypeKeyPrefix(schema_, kDevice, &begin));
  std::string end = begin;
  ++end.back();
  const leveldb::Range devices(begin, end);
  uint64_t bytes = 1;
  db_->GetSnapshot()->db()->GetApproximateSizes(&devices, 1, &bytes);
  EXPECT_EQ(bytes, 0u);
}

// Records of a type the schema does not list (one a reload dropped), as
// stored: object key -> value, for the vdb sets given.
class UnknownTypeTest : public WriteTransactionsTest {
 protected:
  static std::string Object(const std::string& id) {
    return MakeObjectTypeKeyPrefix(kUnknownType) + EncodeVarint64(id.size()) + id;
  }
  std::map<std::string, std::string> StoredUnknown() {
    DbAccess::Records records;
    EXPECT_TRUE(db_->PrefixFilter(nullptr, MakeObjectTypeKeyPrefix(kUnknownType), &records).ok());
    return std::map<std::string, std::string>(records.begin(), records.end());
  }
  void DeleteVdb2(bool* done) {
    tx::DeleteVDbRequestMsg request;
    request.set_vdb_name("vdb2");
    recorder_.events.clear();
    txn_->DeleteVDb(kAdmin, request, 2, &recorder_, [done] { *done = true; });
  }

  static constexpr int32_t kUnknownType = 99;
};

TEST_F(UnknownTypeTest, DeleteVDbTakesTheVdbFromEveryRecordInTheFlushBatch) {
  PutAll(db_.get(), {
                        {Object("only") + EncodeVdbIdSet({2}), "a"},
                        {Object("shared") + EncodeVdbIdSet({1, 2}), "b"},
                        {Object("split") + EncodeVdbIdSet({1, 3}), "c1"},
                        {Object("split") + EncodeVdbIdSet({2}), "c2"},
                        // Two records of one body fold into one.
                        {Object("twice") + EncodeVdbIdSet({2}), "d"},
                        {Object("twice") + EncodeVdbIdSet({3}), "d"},
                        {Object("other") + EncodeVdbIdSet({3}), "e"},
                        {Object("main"), "f"},  // no suffix: the main vdb alone
                    });
  ComputeStatistics(schema_, db_.get(), stats_.get());
  RunPut({PutEntry(kDevice, Device(1), {2}), PutEntry(kDevice, Device(2), {1})});
  const size_t units = LogUnits();

  bool done = false;
  DeleteVdb2(&done);
  EXPECT_EQ(recorder_.events, kAnswered);
  EXPECT_TRUE(done);
  EXPECT_EQ(recorder_.deleted, 1u);  // the device alone: nobody watches the others
  // The DeleteVDb and flush requests and the device's removal: nothing
  // of the records of the unknown type.
  EXPECT_EQ(LogUnits(), units + 3);
  EXPECT_EQ(StoredUnknown(), (std::map<std::string, std::string>{
                                 {Object("shared") + EncodeVdbIdSet({1}), "b"},
                                 {Object("split") + EncodeVdbIdSet({1, 3}), "c1"},
                                 {Object("twice") + EncodeVdbIdSet({3}), "d"},
                                 {Object("other") + EncodeVdbIdSet({3}), "e"},
                                 {Object("main"), "f"},
                             }));
  EXPECT_EQ(Stored(kDevice).size(), 1u);

  // The counters still read what a start-up count gives.
  orv::metrics::MetricRegistry registry;
  ObjectStatsMaintainer recount(&registry);
  ComputeStatistics(schema_, db_.get(), &recount);
  for (const std::string type : {"", kDevice}) {
    for (ObjectStatsMaintainer* stats : {stats_.get(), &recount}) {
      const ObjectStatsMaintainer::TypeCounters& c = stats->GetOrCreateTypeCounters(type);
      EXPECT_EQ((*c.num_of_objects)->window(true).last, type.empty() ? 5u : 1u) << type;
      EXPECT_EQ((*c.total_size)->window(true).last,
                type.empty() ? 6u : Device(2).size()) << type;
    }
  }
}

TEST_F(UnknownTypeTest, UnreadableRecordFailsTheDeleteWithNothingWritten) {
  const std::string unreadable = Object("bad") + "\xc0";  // header cut short
  PutAll(db_.get(), {{unreadable, "x"}, {Object("only") + EncodeVdbIdSet({2}), "a"}});
  RunPut({PutEntry(kDevice, Device(1), {2})});
  const size_t units = LogUnits();

  bool done = false;
  DeleteVdb2(&done);
  EXPECT_EQ(recorder_.events, kRefused);
  EXPECT_EQ(recorder_.failure.code(), Status::kDataLoss);
  EXPECT_FALSE(done);
  EXPECT_EQ(LogUnits(), units);
  EXPECT_EQ(Stored(kDevice).size(), 1u);
  EXPECT_EQ(StoredUnknown().size(), 2u);
  EXPECT_TRUE(HasLine("ERROR", "DRX0203", "Unreadable vdb set in a record key of type=99 id=bad"));
}

// A stream's entries apply in stream order: a copy reads its source vdb as
// the earlier entries left it, and changes its destinations only when the
// source holds the object there.
class StreamOrderTest : public WriteTransactionsTest {
 protected:
  using Held = std::map<VdbId, std::string>;  // vdb -> body

  void Store(const std::string& body, const VdbIdSet& vdbs) {
    std::string key;
    ASSERT_TRUE(MakeObjectRecordKey(schema_, kDevice, IdOf(kDevice, body), &key));
    PutAll(db_.get(), {{key + EncodeVdbIdSet(vdbs), body}});
  }
  // The body that each vdb holds of device n, read from its stored records.
  Held HeldOf(int n) {
    std::string prefix;
    EXPECT_TRUE(MakeObjectRecordKey(schema_, kDevice, IdOf(kDevice, Device(n)), &prefix));
    DbAccess::Records records;
    EXPECT_TRUE(db_->PrefixFilter(nullptr, prefix, &records).ok());
    Held held;
    for (const auto& record : records) {
      VdbIdSet vdbs;
      EXPECT_TRUE(DecodeVdbSuffix(record.first.substr(prefix.size()), &vdbs));
      for (VdbId vdb : vdbs) EXPECT_TRUE(held.emplace(vdb, record.second).second) << vdb;
    }
    return held;
  }

  tx::ModifyMsg Put(const std::string& body, std::vector<uint32_t> vdbs) {
    tx::ModifyMsg entry;
    *entry.mutable_put_msg() = PutEntry(kDevice, body, vdbs);
    return entry;
  }
  tx::ModifyMsg Delete(const std::string& body, std::vector<uint32_t> vdbs) {
    tx::ModifyMsg entry;
    *entry.mutable_delete_msg() = DeleteEntry(kDevice, body, false, vdbs);
    return entry;
  }
  tx::CopyMsg CopyEntry(const std::string& body, uint32_t source, std::vector<uint32_t> vdbs) {
    tx::CopyMsg copy;
    *copy.mutable_object() = Typed(kDevice, body);
    copy.set_src_vdb_id(source);
    for (uint32_t vdb : vdbs) copy.add_vdb_ids(vdb);
    return copy;
  }
  tx::ModifyMsg Copy(const std::string& body, uint32_t source, std::vector<uint32_t> vdbs) {
    tx::ModifyMsg entry;
    *entry.mutable_copy_msg() = CopyEntry(body, source, vdbs);
    return entry;
  }
  tx::ModifyMsg Flush(std::vector<uint32_t> vdbs) {
    tx::ModifyMsg entry;
    schema_.types().SetObjectType(kDevice, entry.mutable_flush_msg());
    for (uint32_t vdb : vdbs) entry.mutable_flush_msg()->add_vdb_ids(vdb);
    return entry;
  }
  tx::ModifyMsg FlushBlockOf(const std::string& body, std::vector<uint32_t> vdbs) {
    tx::ModifyMsg entry;
    tx::FlushByBlockIdMsg* flush = entry.mutable_flush_by_block_id_msg();
    flush->set_block_id(schema_.types().ComputeBlockId(kDevice, IdOf(kDevice, body), nullptr));
    for (uint32_t vdb : vdbs) flush->add_vdb_ids(vdb);
    return entry;
  }
  tx::ModifyMsg Patch(const std::string& value, std::vector<uint32_t> vdbs) {
    tx::ModifyMsg entry;
    tx::PatchMsg* patch = entry.mutable_patch_msg();
    schema_.types().SetObjectType(kDevice, patch);
    patch->set_object_value(value);
    patch->set_op_msg(
        Body(schema_.op_messages().GetOpMsgTypeName(kDevice), "hostname { op: SET }"));
    for (uint32_t vdb : vdbs) patch->add_vdb_ids(vdb);
    return entry;
  }
  // Runs one Modify stream, which must be answered OK.
  void Run(const std::vector<tx::ModifyMsg>& entries) {
    std::list<tx::ModifyRequestMsg> requests(1);
    for (const tx::ModifyMsg& entry : entries) *requests.back().add_modifies() = entry;
    recorder_.events.clear();
    txn_->Run(kAdmin, &recorder_, &requests);
    EXPECT_EQ(recorder_.events, kAnswered);
  }
};

TEST_F(StreamOrderTest, CopyFromAVdbWithoutTheObjectKeepsEarlierWritesOfItsDestinations) {
  // An earlier flush of the destination.
  Store(Device(3, "old"), {2});
  Run({Flush({2}), Copy(Device(3), 3, {2})});
  EXPECT_EQ(HeldOf(3), Held());

  // An earlier put into the destination.
  Run({Put(Device(1, "a"), {2}), Copy(Device(1), 3, {2})});
  EXPECT_EQ(HeldOf(1), Held({{2, Device(1, "a")}}));

  // An earlier delete from the destination.
  Store(Device(2, "old"), {2});
  Run({Delete(Device(2), {2}), Copy(Device(2), 3, {2})});
  EXPECT_EQ(HeldOf(2), Held());

  // An earlier copy into the destination.
  Store(Device(4, "old"), {1});
  Run({Copy(Device(4), 1, {2}), Copy(Device(4), 3, {2})});
  EXPECT_EQ(HeldOf(4), Held({{1, Device(4, "old")}, {2, Device(4, "old")}}));
}

TEST_F(StreamOrderTest, CopyTakesItsSourceAsTheStreamHasLeftIt) {
  // A later put into the source does not reach the copy.
  Store(Device(1, "old"), {1});
  Run({Put(Device(1, "a"), {1}), Copy(Device(1), 1, {2}), Put(Device(1, "b"), {1})});
  EXPECT_EQ(HeldOf(1), Held({{1, Device(1, "b")}, {2, Device(1, "a")}}));

  // A destination deleted earlier holds the copy, which a patch then finds.
  Store(Device(2, "old"), {1, 2});
  Run({Delete(Device(2), {2}), Copy(Device(2), 1, {2}), Patch(Device(2, "p"), {2})});
  EXPECT_EQ(HeldOf(2), Held({{1, Device(2, "old")}, {2, Device(2, "p")}}));

  // A later flush of the source, by type or by block, leaves the copy.
  Run({Put(Device(3, "a"), {1}), Copy(Device(3), 1, {2}), FlushBlockOf(Device(3), {1})});
  EXPECT_EQ(HeldOf(3), Held({{2, Device(3, "a")}}));
  Run({Put(Device(4, "a"), {1}), Copy(Device(4), 1, {3}), Flush({1})});
  EXPECT_EQ(HeldOf(4), Held({{3, Device(4, "a")}}));
}

TEST_F(StreamOrderTest, CopyWithoutVdbIdsLeavesOutItsSource) {
  Run({Put(Device(1, "a"), {1, 2}), Copy(Device(1), 2, {})});
  EXPECT_EQ(HeldOf(1), Held({{1, Device(1, "a")}, {2, Device(1, "a")}}));

  // The same in a Copy stream: the second entry copies vdb 2 into vdb 3.
  Store(Device(2, "old"), {1});
  std::list<tx::CopyRequestMsg> copies(1);
  *copies.back().add_copies() = CopyEntry(Device(2), 1, {2, 3});
  *copies.back().add_copies() = CopyEntry(Device(2), 2, {});
  recorder_.events.clear();
  txn_->Run(kAdmin, &recorder_, &copies);
  EXPECT_EQ(recorder_.events, kAnswered);
  EXPECT_EQ(HeldOf(2),
            Held({{1, Device(2, "old")}, {2, Device(2, "old")}, {3, Device(2, "old")}}));
}

// The counters always read what a start-up count of the same database gives:
// one object per stored record, its stored value length once.
TEST_F(StreamOrderTest, ObjectStatisticsMatchARecountAfterEveryTransaction) {
  using Counts = std::pair<uint64_t, uint64_t>;  // objects, bytes
  const auto counts = [](ObjectStatsMaintainer* stats, const std::string& type) {
    const ObjectStatsMaintainer::TypeCounters& c = stats->GetOrCreateTypeCounters(type);
    return Counts((*c.num_of_objects)->window(true).last, (*c.total_size)->window(true).last);
  };
  const auto expect_recount = [&](const std::string& step) {
    orv::metrics::MetricRegistry registry;
    ObjectStatsMaintainer recount(&registry);
    ComputeStatistics(schema_, db_.get(), &recount);
    for (const char* type : {kDevice, kFlow}) {
      EXPECT_EQ(counts(stats_.get(), type), counts(&recount, type)) << step << " " << type;
    }
  };
  // A stored value may begin with a 0x00 byte that is not part of the body.
  std::string key;
  ASSERT_TRUE(MakeObjectRecordKey(schema_, kDevice, IdOf(kDevice, Device(5)), &key));
  PutAll(db_.get(), {{key + EncodeVdbIdSet({1}), std::string(1, '\0') + Device(5, "z")}});
  ComputeStatistics(schema_, db_.get(), stats_.get());
  expect_recount("start");

  RunPut({PutEntry(kDevice, Device(1, "a"), {1, 2, 3}), PutEntry(kDevice, Device(2), {1})});
  expect_recount("put into three vdbs");
  std::list<tx::DeleteRequestMsg> deletes(1);
  *deletes.back().add_deletes() = DeleteEntry(kDevice, Device(1), false, {1});
  txn_->Run(kAdmin, &recorder_, &deletes);
  expect_recount("delete from one of three");
  deletes.assign(1, tx::DeleteRequestMsg());
  *deletes.back().add_deletes() = DeleteEntry(kDevice, Device(1), false, {2});
  txn_->Run(kAdmin, &recorder_, &deletes);
  expect_recount("delete from one of two");

  Run({Put(Device(1, "longer body"), {3})});
  expect_recount("new body under the same key");
  Run({Put(Device(1, "b"), {1}), Copy(Device(1), 3, {2}), Put(Device(5, "y"), {2})});
  expect_recount("put and copy");
  Run({Delete(Device(5), {1}), Patch(Device(5, "patched"), {2})});
  expect_recount("record with a zero byte deleted");
  Run({Copy(Device(1), 1, {2, 3})});
  expect_recount("copy over the other record's vdbs");

  RunPut({PutEntry(kFlow, Flow(1), {1, 2}), PutEntry(kFlow, Flow(2), {3})});
  expect_recount("ephemeral objects put");
  txn_->WipeEphemeralObjects();
  expect_recount("ephemeral objects wiped");
  Run({Flush({1, 2, 3})});
  expect_recount("flush");
  EXPECT_EQ(counts(stats_.get(), kDevice), Counts(0, 0));
}

}  // namespace
}  // namespace tarnix
