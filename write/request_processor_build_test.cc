// Building record writes and change lists against stored records.
#include "write/request_processor.h"

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "platform/wft/workflow_util.h"
#include "util/base64.h"
#include "write/request_processor_test_util.h"

namespace tarnix {
namespace {

using Writes = std::vector<std::pair<std::string, std::string>>;

class BuildTest : public RequestProcessorTest {
 protected:
  // (new body, old body, vdbs) of a change list; "-" for a missing body.
  using Change = std::tuple<std::string, std::string, VdbIdSet>;
  static std::vector<Change> Changes(const std::list<UpdateRecord>& records) {
    std::vector<Change> out;
    for (const UpdateRecord& r : records) {
      out.emplace_back(r.new_object().body_ptr() ? *r.new_object().body_ptr() : "-",
                       r.old_object().body_ptr() ? *r.old_object().body_ptr() : "-", r.vdb_ids);
    }
    return out;
  }
  void Copy(int host, VdbId from, const VdbIdSet& to) {
    processor_->AddCopy(kAddress, AddressId(host), from, to, nullptr);
  }
  void Delete(int host, const VdbIdSet& vdbs) {
    processor_->AddDelete(kAddress, AddressId(host), vdbs, nullptr);
  }

  const std::string x_ = Address(1, 8);
  const std::string y_ = Address(1, 16);
  const std::string z_ = Address(1, 24);
};

TEST_F(BuildTest, NewObjectIsPutUnderTheKeyOfItsVdbs) {
  caldek::orv::tarnix::SpanContextMsg span;
  span.set_span_id(42);
  processor_->AddPut(kAddress, AddressId(1), Shared(x_), {1, 2}, &span);
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (Writes{{RecordKey(1, {1, 2}), x_}}));
  EXPECT_TRUE(deletes_.empty());
  EXPECT_EQ(Changes(updates_), (std::vector<Change>{{x_, "-", {1, 2}}}));
  ASSERT_TRUE(updates_.front().span_context != nullptr);
  EXPECT_EQ(updates_.front().span_context->span_id(), 42u);
  EXPECT_EQ(updates_.front().new_object().object_id(), AddressId(1));
  EXPECT_TRUE(processor_->pending_size() == 0);
  EXPECT_EQ(BuildLatencies(), 1u);
}

TEST_F(BuildTest, RePutWithAnotherBodyInOneVdbSplitsTheRecord) {
  Store(1, {1, 2}, x_);
  Put(1, y_, {2});
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (Writes{{RecordKey(1, {1}), x_}, {RecordKey(1, {2}), y_}}));
  EXPECT_EQ(deletes_, std::vector<std::string>{RecordKey(1, {1, 2})});
  EXPECT_EQ(Changes(updates_), (std::vector<Change>{{y_, x_, {2}}}));
  EXPECT_TRUE(removals_.empty());
  EXPECT_TRUE(logged_only_.empty());
}

TEST_F(BuildTest, RecordsSwappingBodiesTakeEachOthersKeys) {
  Store(1, {1}, x_);
  Store(1, {2}, y_);
  Put(1, y_, {1});
  Put(1, x_, {2});
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (Writes{{RecordKey(1, {2}), x_}, {RecordKey(1, {1}), y_}}));
  EXPECT_TRUE(deletes_.empty());
  EXPECT_EQ(Changes(updates_), (std::vector<Change>{{x_, y_, {2}}, {y_, x_, {1}}}));
}

TEST_F(BuildTest, DeleteFromOneVdbOfASharedRecord) {
  Store(1, {1, 2}, x_);
  Delete(1, {1});
  Delete(2, {1});  // not stored: nothing at all
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (Writes{{RecordKey(1, {2}), x_}}));
  EXPECT_EQ(deletes_, std::vector<std::string>{RecordKey(1, {1, 2})});
  EXPECT_EQ(Changes(removals_), (std::vector<Change>{{"-", x_, {1}}}));
  EXPECT_TRUE(updates_.empty());
}

TEST_F(BuildTest, CopyReplacesTheBodyOfTheDestination) {
  ScopedLogLevel verbose(orv::VERBOSE);
  orv::LogCapture capture;
  Store(1, {1}, x_);
  Store(1, {2}, y_);
  Copy(1, 1, {2});
  Copy(2, 1, {2});  // nothing in vdb 1: skipped
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(capture.Count("Build: specified object is not found in src vdb, skip processing the "
                          "copy operation"),
            1u);
  EXPECT_EQ(Puts(), (Writes{{RecordKey(1, {1, 2}), x_}}));
  EXPECT_EQ(deletes_, (std::vector<std::string>{RecordKey(1, {1}), RecordKey(1, {2})}));
  EXPECT_EQ(Changes(updates_), (std::vector<Change>{{x_, y_, {2}}}));
  EXPECT_TRUE(removals_.empty());
}

TEST_F(BuildTest, PutThenCopyInOneListCopiesTheBodyJustPut) {
  Put(1, x_, {1});
  Copy(1, 1, {3});
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (Writes{{RecordKey(1, {1, 3}), x_}}));
  EXPECT_EQ(Changes(updates_), (std::vector<Change>{{x_, "-", {1, 3}}}));
}

// The operations apply in order: the copy takes the body put before it,
// and the put after it does not reach vdb 2.
TEST_F(BuildTest, CopyBetweenTwoPutsOfItsSourceTakesTheFirst) {
  Store(1, {1}, x_);
  Put(1, y_, {1});
  Copy(1, 1, {2});
  Put(1, z_, {1});
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (Writes{{RecordKey(1, {2}), y_}, {RecordKey(1, {1}), z_}}));
  EXPECT_TRUE(deletes_.empty());
  EXPECT_EQ(Changes(updates_), (std::vector<Change>{{y_, "-", {2}}, {z_, x_, {1}}}));
  EXPECT_TRUE(removals_.empty());
  // One record more; the record of vdb 1 changed its value.
  const RecordCountChange& change = processor_->record_count_changes().at(kAddress);
  EXPECT_EQ(change.records, 1);
  EXPECT_EQ(change.bytes, static_cast<int64_t>(y_.size() + z_.size() - x_.size()));
}

TEST_F(BuildTest, RePutOfTheStoredBodyIsLoggedOnly) {
  Store(1, {1}, x_);
  caldek::orv::tarnix::SpanContextMsg span;
  processor_->AddPut(kAddress, AddressId(1), Shared(x_), {1}, &span);
  ASSERT_TRUE(Build().ok());
  EXPECT_TRUE(puts_.empty());
  EXPECT_TRUE(deletes_.empty());
  EXPECT_TRUE(updates_.empty());
  ASSERT_EQ(Changes(logged_only_), (std::vector<Change>{{x_, "-", {1}}}));
  EXPECT_EQ(logged_only_.front().span_context, nullptr);
}

TEST_F(BuildTest, LeadingZeroByteOfAStoredValueIsNotPartOfTheBody) {
  ScopedLogLevel trivia(orv::TRIVIA);
  orv::LogCapture capture;
  Store(1, {1}, std::string(1, '\0') + x_);
  Store(2, {1, 2}, std::string(1, '\0') + Address(2, 8));
  Put(1, x_, {1});
  Delete(2, {2});
  ASSERT_TRUE(Build().ok());
  EXPECT_TRUE(Logged(capture, "TRACE", "",
                     "ReadRecsFromDbAccess: db_record base64 encoded [Key::value]: " +
                         Base64Encode(RecordKey(1, {1})) + " -- " + Base64Encode(x_)));
  EXPECT_EQ(Changes(logged_only_), (std::vector<Change>{{x_, "-", {1}}}));
  EXPECT_EQ(Puts(), (Writes{{RecordKey(2, {1}), Address(2, 8)}}));
  EXPECT_EQ(Changes(removals_), (std::vector<Change>{{"-", Address(2, 8), {2}}}));
}

// Whether objects come in order, shuffled, or in order but for the last.
TEST_F(BuildTest, ObjectsComeInRecordKeyOrder) {
  const std::vector<std::vector<int>> arrivals = {
      {9, 3, 7, 1, 5}, {1, 3, 5, 7, 9}, {1, 3, 5, 9, 7}, {3, 5, 7, 9, 1}};
  for (const std::vector<int>& hosts : arrivals) {
    SCOPED_TRACE(::testing::PrintToString(hosts));
    puts_.clear();
    updates_.clear();
    for (int host : hosts) Put(host, Address(host, 8), {1});
    ASSERT_TRUE(Build().ok());
    ASSERT_EQ(puts_.size(), 5u);
    for (size_t i = 1; i < puts_.size(); ++i) EXPECT_LT(puts_[i - 1].first, puts_[i].first);
    std::vector<std::string> ids;
    for (const UpdateRecord& r : updates_) ids.push_back(r.new_object().object_id());
    EXPECT_EQ(ids, (std::vector<std::string>{AddressId(1), AddressId(3), AddressId(5),
                                             AddressId(7), AddressId(9)}));
  }
}

TEST_F(BuildTest, ObjectsComeInByteOrderOfTheirWholeKeys) {
  // Ids that differ early or late in the key, that extend one another, and
  // that hold high and zero bytes, in two arrival orders.
  std::vector<std::string> ids = {"zz",         "a",          std::string("a\0", 2),
                                  "ab",         "b\xff",      "b\x01",
                                  "\x80",       "\xff\xff\xff\xff\xff\xff\xff\xff",
                                  "abcdefghij", "abcdefghik", "abcdefghi"};
  for (int round = 0; round < 2; ++round) {
    puts_.clear();
    for (const std::string& id : ids) {
      processor_->AddPut(kAddress, id, Shared(Address(1, 8)), {1}, nullptr);
    }
    ASSERT_TRUE(Build().ok());
    ASSERT_EQ(puts_.size(), ids.size());
    for (size_t i = 1; i < puts_.size(); ++i) {
      EXPECT_LT(puts_[i - 1].first, puts_[i].first) << Base64Encode(puts_[i].first);
    }
    std::reverse(ids.begin(), ids.end());
  }
}

// Each failure comes at the second object in key order, after the first has
// produced writes and changes of every kind.
TEST_F(BuildTest, FailureAtTheSecondObjectLeavesTheOutputsUntouched) {
  ASSERT_LT(ObjectKey(1), ObjectKey(2));
  const std::vector<std::pair<std::string, std::function<void()>>> failures = {
      {"patch of a missing object",
       [&] {
         ASSERT_TRUE(
             processor_->AddPatch(kAddress, AddressId(2), Address(2, 9), "", {3}, nullptr).ok());
       }},
      {"unreadable vdb suffix",
       [&] {
         PutAll(db_.get(), {{ObjectKey(2) + "\xC1", Address(2, 8)}});
         Delete(2, {1});
       }},
  };
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure.first);
    processor_.reset(new RequestProcessor(&schema_, db_.get()));
    puts_.clear();
    deletes_.clear();
    for (auto* list : {&updates_, &logged_only_, &removals_}) list->clear();
    Store(1, {1, 2}, x_);
    Store(1, {3}, y_);
    Store(1, {5}, Address(1, 32));
    Put(1, x_, {1});     // logged only
    Put(1, z_, {2, 3});  // updates, a put and deletes
    Delete(1, {5});      // a removal
    failure.second();
    const std::string sentinel = "earlier";
    puts_.emplace_back(sentinel, nullptr);
    deletes_.push_back(sentinel);
    for (auto* list : {&updates_, &logged_only_, &removals_}) list->emplace_back();
    TransactionRequestTable requests;
    const uint64_t latencies = BuildLatencies();
    EXPECT_FALSE(Build(&requests).ok());
    ASSERT_EQ(puts_.size(), 1u);
    EXPECT_EQ(puts_[0].first, sentinel);
    EXPECT_EQ(deletes_, std::vector<std::string>{sentinel});
    EXPECT_EQ(updates_.size(), 1u);
    EXPECT_EQ(logged_only_.size(), 1u);
    EXPECT_EQ(removals_.size(), 1u);
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(processor_->pending_size(), 1u);
    EXPECT_EQ(BuildLatencies(), latencies + 1);
  }
}

TEST_F(BuildTest, FailuresAreLogged) {
  orv::LogCapture capture;
  ASSERT_TRUE(processor_->AddPatch(kAddress, AddressId(2), Address(2, 9), "", {3}, nullptr).ok());
  EXPECT_EQ(Build().code(), Status::kNotFound);
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0009",
                     "Patch operation failed: object with  type = " + std::string(kAddress) +
                         " and id = " + AddressId(2) + " not found in vdbs 3"));

  processor_.reset(new RequestProcessor(&schema_, db_.get()));
  PutAll(db_.get(), {{ObjectKey(1) + "\xC1", x_}});
  Put(1, x_, {1});
  const Status status = Build();
  EXPECT_EQ(status.code(), Status::kDataLoss);
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0203", status.message()));

  processor_.reset(new RequestProcessor(&schema_, db_.get()));
  processor_->AddPut("caldek.orv.tarnix.NoSuchMsg", "id", Shared(x_), {1}, nullptr);
  EXPECT_EQ(Build().code(), Status::kInvalidArgument);
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0204",
                     "Build: unknown object type caldek.orv.tarnix.NoSuchMsg"));
}

// Operations of no known kind are skipped with an ERROR line; the others
// still apply.
TEST_F(BuildTest, OperationsOfNoKnownKindAreSkipped) {
  orv::LogCapture capture;
  Put(1, x_, {1});
  Put(1, y_, {2});
  PendingRequestList& ops = *processor_->FindPending(kAddress, AddressId(1));
  ops.front().request.type = UpdateRequest::NONE;
  ops.back().request.type = static_cast<UpdateRequest::Type>(9);
  Put(2, Address(2, 8), {1});
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (Writes{{RecordKey(2, {1}), Address(2, 8)}}));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0208", "Invalid request type NONE"));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0208", "Request type not found"));
}

// Writers never leave two records of one body; one found is folded into
// the first, and the object then behaves as stored once.
TEST_F(BuildTest, TwoRecordsOfOneBodyFoldIntoOne) {
  orv::LogCapture capture;
  Store(1, {1}, x_);
  Store(1, {2, 3}, x_);
  Delete(1, {1});
  ASSERT_TRUE(Build().ok());
  EXPECT_TRUE(puts_.empty());
  EXPECT_EQ(deletes_, std::vector<std::string>{RecordKey(1, {1})});
  EXPECT_EQ(Changes(removals_), (std::vector<Change>{{"-", x_, {1}}}));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0203",
                     "ReadRecsFromDbAccess: type=" + std::string(kAddress) +
                         ", obj_id=" + AddressId(1) +
                         " has two records of one body; folding them into one"));

  processor_.reset(new RequestProcessor(&schema_, db_.get()));
  Put(1, y_, {2});
  puts_.clear();
  deletes_.clear();
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (Writes{{RecordKey(1, {1, 3}), x_}, {RecordKey(1, {2}), y_}}));
  EXPECT_EQ(deletes_, (std::vector<std::string>{RecordKey(1, {1}), RecordKey(1, {2, 3})}));
}

// A key without a vdb suffix holds the main vdb alone.
TEST_F(BuildTest, RecordKeyWithoutSuffixHoldsTheMainVdb) {
  PutAll(db_.get(), {{ObjectKey(1), x_}, {ObjectKey(2), Address(2, 8)}});
  Copy(1, 1, {2});
  Delete(2, {1});
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (Writes{{RecordKey(1, {1, 2}), x_}}));
  EXPECT_EQ(deletes_, (std::vector<std::string>{ObjectKey(1), ObjectKey(2)}));
  EXPECT_EQ(Changes(updates_), (std::vector<Change>{{x_, "-", {2}}}));
  EXPECT_EQ(Changes(removals_), (std::vector<Change>{{"-", Address(2, 8), {1}}}));
}

TEST_F(BuildTest, TracedBuildIsOneSpan) {
  ScopedLogLevel trivia(orv::TRIVIA);
  orv::LogCapture capture;
  orv::wft::WorkflowUtil::Configure(true, 2);
  Put(1, x_, {1});
  const Status traced = Build(nullptr, true);
  Put(2, x_, {1});
  const Status untraced = Build();
  orv::wft::WorkflowUtil::Configure(false, 0);
  EXPECT_TRUE(traced.ok());
  EXPECT_TRUE(untraced.ok());
  EXPECT_EQ(capture.Count("span RequestProcessor::Build: "), 1u);
  EXPECT_EQ(puts_.size(), 2u);
}

TEST_F(BuildTest, RequestTableGetsEachObjectsOperationsUnlessPresent) {
  Put(1, x_, {1});
  Put(2, Address(2, 8), {1});
  TransactionRequestTable requests;
  requests[tarnix::ObjectKey(kAddress, AddressId(2))];  // already there: left alone
  ASSERT_TRUE(Build(&requests).ok());
  ASSERT_EQ(requests.size(), 2u);
  const PendingRequestList& first = requests.at(tarnix::ObjectKey(kAddress, AddressId(1)));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first.front().request.put_count(), 1u);
  EXPECT_TRUE(requests.at(tarnix::ObjectKey(kAddress, AddressId(2))).empty());
}

// A batch over objects stored in several vdb sets, absent, deleted before
// (their deleted records lie between the others) or re-created, added in
// random order, some through a filter that knows the deleted ones: one
// Build gives what Builds of each object alone give, and the objects it
// says it empties are those left without a record.
TEST_F(BuildTest, BatchBuildsAsEachObjectAlone) {
  using Outputs = std::tuple<Writes, std::vector<std::string>, std::vector<Change>,
                             std::vector<Change>, std::vector<Change>, std::vector<std::string>>;
  std::mt19937 random(11);
  const auto pick = [&](int n) { return static_cast<int>(random() % n); };
  const auto build = [&](Outputs* out) {
    puts_.clear();
    deletes_.clear();
    for (auto* list : {&updates_, &logged_only_, &removals_}) list->clear();
    ASSERT_TRUE(Build().ok());
    const auto append = [](auto& to, const auto& from) {
      to.insert(to.end(), from.begin(), from.end());
    };
    append(std::get<0>(*out), Puts());
    append(std::get<1>(*out), deletes_);
    append(std::get<2>(*out), Changes(updates_));
    append(std::get<3>(*out), Changes(logged_only_));
    append(std::get<4>(*out), Changes(removals_));
    append(std::get<5>(*out), processor_->emptied_objects());
  };
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE(round);
    std::vector<int32_t> codes;
    ASSERT_TRUE(db_->Delete(All(db_.get()), false, &codes).ok());
    std::set<std::string> stored;
    ObjectKeyFilter filter;
    for (int host = 1; host <= 40; ++host) {
      const int kind = pick(3);  // absent, stored, stored then deleted
      if (kind == 0) continue;
      DbAccess::Records records;
      for (VdbId vdb = 1, n = 1 + pick(3); vdb <= n; ++vdb) {
        records.emplace_back(RecordKey(host, {vdb}), Address(host, 8 + vdb));
      }
      PutAll(db_.get(), records);
      if (kind == 1) stored.insert(ObjectKey(host));
      if (kind == 2) {
        ASSERT_TRUE(db_->Delete(records, false, &codes).ok());
        filter.Remove(ObjectKey(host));
      }
    }
    std::map<std::string, std::vector<std::function<void(RequestProcessor*)>>> batch;
    for (int host = 1; host <= 40; ++host) {
      for (int n = pick(2) * (1 + pick(3)); n > 0; --n) {
        const std::string id = AddressId(host);
        VdbIdSet vdbs;
        for (int vdb = 1, mask = 1 + pick(15); vdb <= 4; ++vdb) {
          if ((mask >> (vdb - 1) & 1) != 0) vdbs.insert(static_cast<VdbId>(vdb));
        }
        const ObjectBody body = Shared(Address(host, 8 + pick(4)));
        const VdbId from = static_cast<VdbId>(1 + pick(4));
        const int kind = pick(3);
        batch[ObjectKey(host)].push_back([=](RequestProcessor* p) {
          if (kind == 0) p->AddPut(kAddress, id, body, vdbs, nullptr);
          if (kind == 1) p->AddDelete(kAddress, id, vdbs, nullptr);
          if (kind == 2) p->AddCopy(kAddress, id, from, vdbs, nullptr);
        });
      }
    }
    Outputs alone, together;
    std::vector<const std::vector<std::function<void(RequestProcessor*)>>*> arrivals;
    for (const auto& object : batch) {
      processor_.reset(new RequestProcessor(&schema_, db_.get()));
      for (const auto& op : object.second) op(processor_.get());
      build(&alone);
      arrivals.push_back(&object.second);
    }
    for (const DbAccess::Record& record : All(db_.get())) filter.AddRecordKey(record.first);
    filter.Enable();
    processor_.reset(new RequestProcessor(&schema_, db_.get(), round % 2 ? &filter : nullptr));
    std::shuffle(arrivals.begin(), arrivals.end(), random);
    for (const auto* ops : arrivals) {
      for (const auto& op : *ops) op(processor_.get());
    }
    build(&together);
    EXPECT_EQ(together, alone);

    ASSERT_TRUE(db_->WriteTxn(puts_, deletes_, false, [] {}).ok());
    std::vector<std::string> left_empty;
    for (const auto& object : batch) {
      DbAccess::Records now;
      ASSERT_TRUE(db_->PrefixFilter(nullptr, object.first, &now).ok());
      if (stored.count(object.first) != 0 && now.empty()) left_empty.push_back(object.first);
    }
    EXPECT_EQ(left_empty, std::get<5>(together));
  }
}

TEST_F(BuildTest, ReadErrorFailsTheBuild) {
  Put(1, x_, {1});
  db_->Close();
  const Status status = Build();
  EXPECT_EQ(status.code(), Status::kInternal);
  EXPECT_EQ(status.message(), "LevelDB error: ");
}

}  // namespace
}  // namespace tarnix
