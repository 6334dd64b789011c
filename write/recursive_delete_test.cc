#include "write/recursive_delete.h"

#include <functional>

#include "storage/fault_env.h"
#include "write/write_transactions_test_util.h"

namespace tarnix {
namespace {

using Objects = std::map<std::string, std::vector<VdbIdSet>>;

constexpr char kAlarm[] = "caldek.orv.tarnix.AlarmMsg";

class RecursiveDeleteTest : public WriteTransactionsTest {
 protected:
  // Stores records directly, as an earlier transaction would have.
  void Store(const std::string& type, const std::string& body, const VdbIdSet& vdbs) {
    std::string key;
    ASSERT_TRUE(MakeObjectRecordKey(schema_, type, IdOf(type, body), &key));
    records_.emplace_back(key + EncodeVdbIdSet(vdbs), body);
  }
  void Commit() {
    DbAccessTest::PutAll(db_.get(), records_);
    records_.clear();
  }
  tx::ModifyMsg ModifyPut(const std::string& type, const std::string& body,
                          std::vector<uint32_t> vdbs) {
    tx::ModifyMsg entry;
    *entry.mutable_put_msg() = PutEntry(type, body, vdbs);
    return entry;
  }
  tx::ModifyMsg ModifyDelete(const std::string& type, const std::string& body,
                             std::vector<uint32_t> vdbs) {
    tx::ModifyMsg entry;
    *entry.mutable_delete_msg() = DeleteEntry(type, body, true, vdbs);
    return entry;
  }
  tx::ModifyMsg Copy(const std::string& body, uint32_t source, std::vector<uint32_t> vdbs) {
    tx::ModifyMsg entry;
    *entry.mutable_copy_msg()->mutable_object() = Typed(kInterface, body);
    entry.mutable_copy_msg()->set_src_vdb_id(source);
    for (uint32_t vdb : vdbs) entry.mutable_copy_msg()->add_vdb_ids(vdb);
    return entry;
  }
  tx::ModifyMsg Patch(const std::string& value, const std::string& op_text) {
    tx::ModifyMsg entry;
    tx::PatchMsg* patch = entry.mutable_patch_msg();
    schema_.types().SetObjectType(kInterface, patch);
    patch->set_object_value(value);
    patch->set_op_msg(Body(schema_.op_messages().GetOpMsgTypeName(kInterface), op_text));
    return entry;
  }
  void RunModify(const std::vector<tx::ModifyMsg>& entries, const std::string& client = kAdmin) {
    std::list<tx::ModifyRequestMsg> requests(1);
    for (const tx::ModifyMsg& entry : entries) *requests.back().add_modifies() = entry;
    txn_->Run(client, &recorder_, &requests);
  }
  void RunDelete(const std::string& type, const std::string& body, std::vector<uint32_t> vdbs,
                 const std::string& client = kAdmin) {
    std::list<tx::DeleteRequestMsg> requests(1);
    *requests.back().add_deletes() = DeleteEntry(type, body, true, vdbs);
    txn_->Run(client, &recorder_, &requests);
  }

  DbAccess::Records records_;
};

// Without `recursive` true a delete removes the named object alone, and its
// children keep naming it.
TEST_F(RecursiveDeleteTest, NonRecursiveDeleteKeepsTheChildren) {
  Store(kDevice, Device(1), {1});
  Store(kDevice, Device(2), {1});
  Store(kInterface, Interface("i1", 1), {1});
  Store(kInterface, Interface("i2", 2), {1});
  Store(kAddress, Address("a1", "i1"), {1});
  Commit();
  std::list<tx::DeleteRequestMsg> requests(1);
  *requests.back().add_deletes() = DeleteEntry(kDevice, Device(1), false);  // left unset
  tx::DeleteMsg* explicit_false = requests.back().add_deletes();
  *explicit_false = DeleteEntry(kDevice, Device(2), false);
  explicit_false->set_recursive(false);
  txn_->Run(kAdmin, &recorder_, &requests);
  ASSERT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify"}));
  EXPECT_EQ(recorder_.deleted, 2u);
  EXPECT_TRUE(Stored(kDevice).empty());
  EXPECT_EQ(Stored(kInterface).size(), 2u);
  EXPECT_EQ(Stored(kAddress).size(), 1u);
}

TEST_F(RecursiveDeleteTest, ChainIsDeletedOnlyWhereItHoldsWholly) {
  Store(kDevice, Device(1), {1, 2});
  Store(kInterface, Interface("i1", 1), {1, 2});
  Store(kInterface, Interface("other", 2), {1, 2});
  Store(kAddress, Address("a1", "i1"), {1});
  Store(kAddress, Address("a2", "i1"), {2, 3});
  Commit();
  RunDelete(kDevice, Device(1), {2});
  ASSERT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify"}));
  EXPECT_EQ(Stored(kDevice).begin()->second, std::vector<VdbIdSet>({{1}}));
  EXPECT_EQ(Stored(kInterface), (Objects{{IdOf(kInterface, Interface("i1", 1)), {{1}}},
                                         {IdOf(kInterface, Interface("other", 2)), {{1, 2}}}}));
  EXPECT_EQ(Stored(kAddress), (Objects{{IdOf(kAddress, Address("a1", "")), {{1}}},
                                       {IdOf(kAddress, Address("a2", "")), {{3}}}}));
}

TEST_F(RecursiveDeleteTest, NewestVersionInEachVdbDecides) {
  Store(kDevice, Device(1), {1, 2, 3});
  Store(kInterface, Interface("moved", 1), {1});
  Store(kInterface, Body(kInterface, "name { string: 'bare' }"), {1});
  Store(kInterface, Interface("bare", 1), {2});
  Store(kInterface, Interface("copied", 1), {1});
  Store(kInterface, Interface("copied", 2), {2});
  Commit();
  RunModify({
      ModifyPut(kInterface, Interface("moved", 2), {1}),  // now under device 2
      // Vdb 2 now holds the body that names no device: it is kept there.
      Copy(Interface("bare", 0), 1, {2}),
      ModifyPut(kInterface, Interface("new", 1), {2}),
      // Vdb 2 gets the vdb-1 body naming device 1; copying vdb 2 on into 3
      // takes that newest body, not the stored one naming device 2.
      Copy(Interface("copied", 0), 1, {2}),
      Copy(Interface("copied", 0), 2, {3}),
      ModifyDelete(kDevice, Device(1), {1, 2, 3}),
  });
  ASSERT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify"}));
  EXPECT_EQ(Stored(kInterface),
            (Objects{{IdOf(kInterface, Interface("moved", 0)), {{1}}},
                     {IdOf(kInterface, Interface("bare", 0)), {{1, 2}}}}));
}

TEST_F(RecursiveDeleteTest, ChildrenAreJudgedByTheirBodiesAfterTheStreamsPatches) {
  for (const char* name : {"moved", "cleared", "same"}) Store(kInterface, Interface(name, 1), {1});
  Commit();
  RunModify({
      Patch(Interface("moved", 2), "device_id { left { op: SET } }"),
      Patch(Interface("cleared", 0), "device_id { self { op: CLEAR } }"),
      Patch(Interface("same", 1), "device_id { self { op: SET } }"),
      ModifyDelete(kDevice, Device(1), {}),
  });
  ASSERT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify"}));
  EXPECT_EQ(Stored(kInterface), (Objects{{IdOf(kInterface, Interface("moved", 0)), {{1}}},
                                         {IdOf(kInterface, Interface("cleared", 0)), {{1}}}}));
}

TEST_F(RecursiveDeleteTest, CopyFromASourceGoneEarlierInTheStreamAddsNothing) {
  tx::ModifyMsg flush;
  schema_.types().SetObjectType(kInterface, flush.mutable_flush_msg());
  flush.mutable_flush_msg()->add_vdb_ids(1);
  const struct {
    const char* name;
    std::function<tx::ModifyMsg(const std::string&)> removal;  // of the object from vdb 1
  } cases[] = {
      {"deleted", [&](const std::string& body) { return ModifyDelete(kInterface, body, {1}); }},
      {"flushed", [&](const std::string&) { return flush; }},
      {"block",
       [&](const std::string& body) {
         tx::ModifyMsg entry;
         tx::FlushByBlockIdMsg* block = entry.mutable_flush_by_block_id_msg();
         block->set_block_id(
             schema_.types().ComputeBlockId(kInterface, IdOf(kInterface, body), nullptr));
         block->add_vdb_ids(1);
         return entry;
       }},
  };
  for (const auto& c : cases) {
    // Vdb 1 names device 1, vdb 2 device 2; the copy from vdb 1 finds nothing.
    Store(kInterface, Interface(c.name, 1), {1});
    Store(kInterface, Interface(c.name, 2), {2});
    Commit();
    RunModify({c.removal(Interface(c.name, 0)), Copy(Interface(c.name, 0), 1, {2}),
               ModifyDelete(kDevice, Device(1), {2})});
    ASSERT_EQ(recorder_.events.back(), "notify") << c.name << recorder_.failure.ToString();
    EXPECT_EQ(Stored(kInterface)[IdOf(kInterface, Interface(c.name, 0))],
              std::vector<VdbIdSet>({{2}}))
        << c.name;
  }
}

TEST_F(RecursiveDeleteTest, EveryParentKeyOfAListCounts) {
  const auto alarm = [&](int id, const std::string& interfaces) {
    return Body(kAlarm, "alarm_id: " + std::to_string(id) + " " + interfaces);
  };
  Store(kInterface, Interface("i", 1), {1});
  Store(kAlarm, alarm(1, "affected_interfaces { string: 'i' } affected_interfaces { string: 'i' }"),
        {1, 2});
  Store(kAlarm, alarm(2, "affected_interfaces { string: 'j' } affected_interfaces { string: 'i' }"),
        {1});
  Store(kAlarm, alarm(3, "affected_interfaces { string: 'j' }"), {1});
  Commit();
  RunDelete(kInterface, Interface("i", 0), {1});
  ASSERT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify"}));
  EXPECT_EQ(recorder_.deleted, 3u);
  EXPECT_EQ(Stored(kAlarm), (Objects{{IdOf(kAlarm, alarm(1, "")), {{2}}},
                                     {IdOf(kAlarm, alarm(3, "")), {{1}}}}));
}

TEST_F(RecursiveDeleteTest, LongSelfParentChainNeedsNoDeepStack) {
  constexpr int kChain = 100000;
  for (int id = 1; id <= kChain; ++id) Store(kPolicy, Policy(id, id - 1), {1});
  Store(kPolicy, Policy(kChain + 1, 0), {1});
  Commit();
  RunDelete(kPolicy, Policy(1, 0), {});
  ASSERT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify"}));
  EXPECT_EQ(recorder_.deleted, static_cast<size_t>(kChain));
  EXPECT_EQ(Stored(kPolicy).size(), 1u);
}

TEST_F(RecursiveDeleteTest, ParentCyclesEndTheWalk) {
  Store(kPolicy, Policy(1, 2), {1});
  Store(kPolicy, Policy(2, 1), {1});
  Store(kPolicy, Policy(3, 3), {1});
  Store(kPolicy, Policy(4, 2), {1});
  Store(kPolicy, Policy(5, 3), {1});
  Commit();
  RunDelete(kPolicy, Policy(1, 0), {});
  ASSERT_EQ(recorder_.events, std::vector<std::string>({"respond", "notify"}));
  EXPECT_EQ(recorder_.deleted, 3u);
  EXPECT_EQ(Stored(kPolicy), (Objects{{IdOf(kPolicy, Policy(3, 0)), {{1}}},
                                      {IdOf(kPolicy, Policy(5, 0)), {{1}}}}));
  RunDelete(kPolicy, Policy(3, 0), {});
  EXPECT_TRUE(Stored(kPolicy).empty());
}

TEST_F(RecursiveDeleteTest, EveryChildTypeNeedsWritePermission) {
  Store(kDevice, Device(1), {1});
  Commit();
  // The device's children include alarms, which this client may not write,
  // although there are none.
  RunDelete(kDevice, Device(1), {}, "inventory-agent");
  EXPECT_EQ(recorder_.failure,
            Status::PermissionDenied("inventory-agent does not have write permission for "
                                     "caldek.orv.tarnix.AlarmMsg."));
  EXPECT_EQ(Stored(kDevice).size(), 1u);
}

TEST_F(RecursiveDeleteTest, FailedChildScanIsMappedAndCommitsNothing) {
  Store(kDevice, Device(1), {1});
  Store(kInterface, Interface("i1", 1), {1});
  Commit();
  Stop();
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);  // the records move from the log into a table file
  Start();
  uint64_t txn_id = 0;  // the id record now lives in memory, readable without files
  ASSERT_TRUE(ids_->GetNextTxnId(&txn_id));
  env.FailReadsAfter(0, leveldb::Status::Corruption("injected"));
  RunDelete(kDevice, Device(1), {});
  env.FailReadsAfter(-1, leveldb::Status::OK());
  EXPECT_EQ(recorder_.events, std::vector<std::string>({"fail"}));
  EXPECT_EQ(recorder_.failure.code(), Status::kDataLoss) << recorder_.failure.message();
  EXPECT_EQ(recorder_.failure.message().rfind("LevelDB error: Corruption: ", 0), 0u)
      << recorder_.failure.message();
  EXPECT_EQ(Stored(kDevice).size(), 1u);
  EXPECT_EQ(Stored(kInterface).size(), 1u);
  EXPECT_EQ(LogUnits(), 0u);
  Stop();
  db_.reset();
}

}  // namespace
}  // namespace tarnix
