// Coalescing of a transaction's operations per object and vdb.
#include "write/request_processor.h"

#include <array>
#include <functional>
#include <random>
#include <tuple>

#include "write/request_processor_test_util.h"

namespace tarnix {
namespace {

using Type = UpdateRequest::Type;

class CoalescingTest : public RequestProcessorTest {
 protected:
  // The object's pending operations as (type, vdbs).
  std::vector<std::pair<Type, VdbIdSet>> Ops(int host) {
    std::vector<std::pair<Type, VdbIdSet>> ops;
    const PendingRequestList* list = processor_->FindPending(kAddress, AddressId(host));
    if (list == nullptr) return ops;
    for (const PendingOperation& p : *list) ops.emplace_back(p.request.type, p.vdb_ids);
    return ops;
  }
  bool Pending(int host) {
    return processor_->FindPending(kAddress, AddressId(host)) != nullptr;
  }
  Status Patch(int host, const VdbIdSet& vdbs) {
    return processor_->AddPatch(kAddress, AddressId(host), Address(host, 1), "", vdbs, nullptr);
  }
  static caldek::orv::tarnix::SpanContextMsg Span(uint64_t span_id) {
    caldek::orv::tarnix::SpanContextMsg span;
    span.set_span_id(span_id);
    return span;
  }

  orv::LogCapture capture_;
};

TEST_F(CoalescingTest, LaterOperationsTakeTheirVdbsFromEarlierOnes) {
  ScopedLogLevel verbose(orv::VERBOSE);
  Put(1, Address(1, 8), {1, 2});
  processor_->AddDelete(kAddress, AddressId(1), {2}, nullptr);
  EXPECT_EQ(Ops(1), (std::vector<std::pair<Type, VdbIdSet>>{{Type::PUT, {1}},
                                                             {Type::DELETE, {2}}}));

  Put(2, Address(2, 8), {1});
  Put(2, Address(2, 9), {1});
  ASSERT_EQ(Ops(2), (std::vector<std::pair<Type, VdbIdSet>>{{Type::PUT, {1}}}));
  EXPECT_EQ(*processor_->FindPending(kAddress, AddressId(2))->front().request.body, Address(2, 9));
  // The puts stay visible to a recursive delete, once per object.
  EXPECT_EQ(processor_->TakePendingPutIds(kAddress),
            (std::vector<std::string>{AddressId(1), AddressId(2)}));
  EXPECT_TRUE(processor_->TakePendingPutIds(kAddress).empty());

  processor_->AddCopy(kAddress, AddressId(3), 1, {}, nullptr);
  EXPECT_FALSE(Pending(3));
  EXPECT_FALSE(capture_.Contains("COPY:"));
}

// A COPY reads its source as the operations before it leave it: it takes
// nothing from them, and later operations narrow only what follows it.
TEST_F(CoalescingTest, CopyStacksAndLaterOperationsNarrowOnlyWhatFollowsIt) {
  Put(1, Address(1, 8), {1, 2});
  processor_->AddCopy(kAddress, AddressId(1), 1, {1, 2, 3}, nullptr);  // 1 is the source
  Put(1, Address(1, 9), {1});
  processor_->AddDelete(kAddress, AddressId(1), {2}, nullptr);
  Put(1, Address(1, 10), {1, 2});
  EXPECT_EQ(Ops(1), (std::vector<std::pair<Type, VdbIdSet>>{{Type::PUT, {1, 2}},
                                                             {Type::COPY, {2, 3}},
                                                             {Type::PUT, {1, 2}}}));

  // A patch stands on the latest operation of each vdb.
  processor_->AddDelete(kAddress, AddressId(2), {2}, nullptr);
  processor_->AddCopy(kAddress, AddressId(2), 1, {2}, nullptr);
  EXPECT_TRUE(Patch(2, {2}).ok());
  processor_->AddDelete(kAddress, AddressId(2), {2}, nullptr);
  EXPECT_EQ(Patch(2, {2}).code(), Status::kNotFound);
  EXPECT_EQ(Ops(2), (std::vector<std::pair<Type, VdbIdSet>>{{Type::DELETE, {2}},
                                                             {Type::COPY, {2}},
                                                             {Type::PATCH, {2}},
                                                             {Type::DELETE, {2}}}));

  // A patch is never dropped, nor what stands before it: it must still fail
  // where the object is missing when its turn comes.
  EXPECT_TRUE(Patch(4, {1}).ok());
  Put(4, Address(4, 8), {1});
  Put(4, Address(4, 9), {1});
  EXPECT_EQ(Ops(4), (std::vector<std::pair<Type, VdbIdSet>>{{Type::PATCH, {1}},
                                                             {Type::PUT, {1}}}));

  // A flush leaves the operations before the COPY and deletes after it.
  Put(3, Address(3, 8), {1});
  processor_->AddCopy(kAddress, AddressId(3), 1, {2}, nullptr);
  Put(3, Address(3, 9), {1});
  ASSERT_TRUE(processor_->AddFlush(kAddress, {1}, nullptr).ok());
  EXPECT_EQ(Ops(3), (std::vector<std::pair<Type, VdbIdSet>>{{Type::PUT, {1}},
                                                             {Type::COPY, {2}},
                                                             {Type::DELETE, {1}}}));
}

TEST_F(CoalescingTest, EachAddOperationLogsOneTraceLine) {
  ScopedLogLevel verbose(orv::VERBOSE);
  auto one_block = std::make_shared<caldek::orv::tarnix::MerkleTreeBlockRangesMsg>();
  one_block->set_num_blocks(1);
  const std::string object = std::string(kAddress) + "/" + AddressId(1);
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { Put(1, Address(1, 8), {1, 2}); }, "PUT: vdb_ids={1, 2} " + object},
      {[&] { processor_->AddDelete(kAddress, AddressId(1), {}, nullptr); },
       "DEL: vdb_ids={} " + object},
      {[&] { processor_->AddCopy(kAddress, AddressId(1), 1, {3, 4}, nullptr); },
       "COPY: src_vdb_id=1 dst_vdb_ids={3, 4} " + object},
      {[&] { ASSERT_TRUE(Patch(1, {3}).ok()); }, "PATCH: vdb_ids={3} " + object},
      {[&] { ASSERT_TRUE(processor_->AddFlush(kAddress, {7}, nullptr).ok()); },
       "FLUSH: vdb_ids={7} " + std::string(kAddress)},
      {[&] { ASSERT_TRUE(processor_->AddFlushByBlockId(1, {""}, one_block, {8}, nullptr).ok()); },
       "FLUSH By Block ID: vdb_ids={8} 1"},
  };
  for (const auto& c : cases) {
    capture_.Clear();
    c.first();
    EXPECT_EQ(capture_.lines().size(), 1u) << c.second;
    EXPECT_TRUE(Logged(capture_, "DEBUG", "", c.second)) << c.second;
  }
}

TEST_F(CoalescingTest, PatchStacksOnEarlierOperationsAndFailsOnADelete) {
  Put(1, Address(1, 8), {1, 2});
  EXPECT_TRUE(Patch(1, {2, 3}).ok());
  EXPECT_EQ(Ops(1), (std::vector<std::pair<Type, VdbIdSet>>{{Type::PUT, {1, 2}},
                                                             {Type::PATCH, {2, 3}}}));
  EXPECT_TRUE(Patch(2, {1}).ok());
  EXPECT_EQ(Ops(2), (std::vector<std::pair<Type, VdbIdSet>>{{Type::PATCH, {1}}}));

  processor_->AddDelete(kAddress, AddressId(3), {1, 4}, nullptr);
  const Status status = Patch(3, {1, 2, 4});
  EXPECT_EQ(status.code(), Status::kNotFound);
  EXPECT_EQ(status.message(), "Patch operation failed: object with type = " +
                                  std::string(kAddress) + " and id = " + AddressId(3) +
                                  " not found in vdbs 1, 4");
  EXPECT_TRUE(Logged(capture_, "ERROR", "DRX0009",
                     "Patch operation failed: object with  type = " + std::string(kAddress) +
                         " and id = " + AddressId(3) + " not found in vdbs 1, 4"));
  EXPECT_EQ(Ops(3), (std::vector<std::pair<Type, VdbIdSet>>{{Type::DELETE, {1, 4}}}));
}

TEST_F(CoalescingTest, FlushReplacesPendingOperationsByOneDeletePerStoredObject) {
  Store(1, {1}, Address(1, 8));
  Store(1, {2}, Address(1, 9));
  Store(1, {3}, Address(1, 10));
  Store(2, {1}, Address(2, 8));
  Put(3, Address(3, 8), {1});
  const caldek::orv::tarnix::SpanContextMsg span = Span(7);
  ASSERT_TRUE(processor_->AddFlush(kAddress, {1, 2}, &span).ok());
  EXPECT_FALSE(Pending(3));
  // Three records of one object fold into one delete.
  ASSERT_EQ(Ops(1), (std::vector<std::pair<Type, VdbIdSet>>{{Type::DELETE, {1, 2}}}));
  EXPECT_EQ(processor_->FindPending(kAddress, AddressId(1))
                ->front().request.span_context->span_id(),
            7u);
  EXPECT_EQ(Ops(2), (std::vector<std::pair<Type, VdbIdSet>>{{Type::DELETE, {1, 2}}}));

  Put(2, Address(2, 9), {1, 2});
  EXPECT_EQ(Ops(2), (std::vector<std::pair<Type, VdbIdSet>>{{Type::PUT, {1, 2}}}));
}

// Entries carrying equal spans share one copy of it; each span keeps its own
// content, and an entry without one has none.
TEST_F(CoalescingTest, EqualSpansOfEntriesAreSharedNotCopied) {
  const caldek::orv::tarnix::SpanContextMsg first = Span(7);
  const caldek::orv::tarnix::SpanContextMsg again = Span(7);
  const caldek::orv::tarnix::SpanContextMsg other = Span(8);
  processor_->AddPut(kAddress, AddressId(1), Shared(Address(1, 8)), {1}, &first);
  processor_->AddPut(kAddress, AddressId(2), Shared(Address(2, 8)), {1}, &again);
  processor_->AddDelete(kAddress, AddressId(3), {1}, &other);
  processor_->AddPut(kAddress, AddressId(4), Shared(Address(4, 8)), {1}, nullptr);
  processor_->AddDelete(kAddress, AddressId(5), {1}, &first);
  const auto span_of = [this](int host) {
    return processor_->FindPending(kAddress, AddressId(host))->front().request.span_context;
  };
  ASSERT_NE(span_of(1), nullptr);
  EXPECT_EQ(span_of(1)->span_id(), 7u);
  EXPECT_EQ(span_of(2), span_of(1));
  ASSERT_NE(span_of(3), nullptr);
  EXPECT_EQ(span_of(3)->span_id(), 8u);
  EXPECT_EQ(span_of(4), nullptr);
  ASSERT_NE(span_of(5), nullptr);
  EXPECT_EQ(span_of(5)->span_id(), 7u);
}

// Repeated flush deletes of one object fold into its last DELETE, which
// takes the latest span or none.
TEST_F(CoalescingTest, FlushDeletesFoldCarryingTheLatestSpan) {
  Store(1, {1}, Address(1, 8));
  Store(1, {2}, Address(1, 9));
  const caldek::orv::tarnix::SpanContextMsg first = Span(7);
  const caldek::orv::tarnix::SpanContextMsg second = Span(8);
  ASSERT_TRUE(processor_->AddFlush(kAddress, {1, 2}, &first).ok());
  const PendingRequestList& ops = *processor_->FindPending(kAddress, AddressId(1));
  processor_->AddDeleteForFlush(kAddress, AddressId(1), {1, 2}, &second);
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_EQ(ops.front().request.span_context->span_id(), 8u);
  processor_->AddDeleteForFlush(kAddress, AddressId(1), {1, 2}, nullptr);
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_EQ(ops.front().request.span_context, nullptr);
  // Other vdbs make a DELETE of their own.
  processor_->AddDeleteForFlush(kAddress, AddressId(1), {2}, &first);
  EXPECT_EQ(Ops(1), (std::vector<std::pair<Type, VdbIdSet>>{{Type::DELETE, {1}},
                                                             {Type::DELETE, {2}}}));
}

TEST_F(CoalescingTest, FlushOfAnUnknownTypeAddsNothing) {
  Store(1, {1}, Address(1, 8));
  Put(2, Address(2, 8), {1});
  EXPECT_TRUE(processor_->AddFlush("caldek.orv.tarnix.NoSuchMsg", {1}, nullptr).ok());
  EXPECT_EQ(processor_->pending_size(), 1u);
  EXPECT_TRUE(Pending(2));
  EXPECT_TRUE(capture_.Contains("DRX0204"));
}

TEST_F(CoalescingTest, FlushReportsAFailedRead) {
  db_->Close();
  const Status status = processor_->AddFlush(kAddress, {1}, nullptr);
  EXPECT_EQ(status.code(), Status::kInternal);
  EXPECT_EQ(status.message().rfind("LevelDB error: ", 0), 0u);
}

// With one block every object falls into block 1; the empty type id covers
// every type.
TEST_F(CoalescingTest, FlushByBlockIdTakesPendingAndStoredObjectsOfTheBlock) {
  auto one_block = std::make_shared<caldek::orv::tarnix::MerkleTreeBlockRangesMsg>();
  one_block->set_num_blocks(1);
  Store(1, {1}, Address(1, 8));
  Store(1, {2}, Address(1, 9));
  Store(2, {1, 2}, Address(2, 8));
  Put(3, Address(3, 8), {1, 2});
  ASSERT_TRUE(processor_->AddFlushByBlockId(1, {""}, one_block, {1}, nullptr).ok());
  EXPECT_EQ(Ops(1), (std::vector<std::pair<Type, VdbIdSet>>{{Type::DELETE, {1}}}));
  EXPECT_EQ(Ops(2), (std::vector<std::pair<Type, VdbIdSet>>{{Type::DELETE, {1}}}));
  EXPECT_EQ(Ops(3), (std::vector<std::pair<Type, VdbIdSet>>{{Type::PUT, {2}}}));

  ASSERT_TRUE(processor_->AddFlushByBlockId(5, {""}, one_block, {2}, nullptr).ok());
  EXPECT_EQ(Ops(3), (std::vector<std::pair<Type, VdbIdSet>>{{Type::PUT, {2}}}));
}

// A FlushByBlockId entry as each was added alone before its blocks could be
// foreseen: the pending objects of the block, then one scan of the types.
void AddFlushByBlockIdAlone(const Schema& schema, DbAccess* db, RequestProcessor* processor,
                            uint32_t block, const std::vector<std::string>& types,
                            const RequestProcessor::BlockRanges& ranges, const VdbIdSet& vdbs,
                            const caldek::orv::tarnix::SpanContextMsg* span) {
  processor->RemovePendingIf(
      vdbs,
      [&](const std::string& type, const std::string& id) {
        return RequestProcessor::InBlock(block, type, id, ranges, &schema);
      },
      span);
  for (const std::string& type_id : types) {
    DbAccess::Records records;
    ASSERT_TRUE(db->PrefixFilter(nullptr, kObjectPrefix + type_id, &records).ok());
    for (const DbAccess::Record& record : records) {
      std::string type;
      std::string id;
      if (TryDecodeObjectRecordKey(schema, record.first, &type, &id) &&
          schema.types().ComputeBlockId(type, id, ranges) == block) {
        processor->AddDeleteForFlush(type, id, vdbs, span);
      }
    }
  }
}

// Random transactions of FlushByBlockId entries foreseen together (repeated
// blocks, block 0, two block ranges, two type lists, several vdb sets),
// mixed with Puts, Deletes, Copies and Patches of objects in and out of
// their blocks, against the same entries each added alone: the pending
// operations and what Build writes are the same.
TEST_F(CoalescingTest, FlushByBlockIdEntriesForeseenTogetherAddWhatEachAddsAlone) {
  constexpr int kHosts = 60;
  std::mt19937 random(54);
  auto pick = [&random](int n) { return static_cast<int>(random() % n); };
  for (int host = 0; host < kHosts; ++host) {
    if (pick(4) != 0) Store(host, {1, 2}, Address(host, 8));
    if (pick(4) == 0) Store(host, {3}, Address(host, 9));
  }
  const VdbIdSet vdb_sets[] = {{1}, {2}, {1, 2}, {1, 2, 3}};
  auto four = std::make_shared<caldek::orv::tarnix::MerkleTreeBlockRangesMsg>();
  four->set_num_blocks(4);
  const RequestProcessor::BlockRanges ranges[] = {nullptr, four};
  const std::vector<std::string> type_lists[] = {{""}, {schema_.types().GetObjectTypeId(kAddress)}};
  const caldek::orv::tarnix::SpanContextMsg spans[] = {Span(1), Span(2)};
  // Per object: (type, vdbs, span id or 0) of each pending operation.
  auto pending = [&](const RequestProcessor& p) {
    std::vector<std::tuple<int, Type, VdbIdSet, uint64_t>> ops;
    for (int host = 0; host < kHosts; ++host) {
      const PendingRequestList* list = p.FindPending(kAddress, AddressId(host));
      for (const PendingOperation& op : list ? *list : PendingRequestList()) {
        const auto& span = op.request.span_context;
        ops.emplace_back(host, op.request.type, op.vdb_ids, span ? span->span_id() : 0);
      }
    }
    return ops;
  };

  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    RequestProcessor together(&schema_, db_.get());
    RequestProcessor alone(&schema_, db_.get());
    // Each entry: a kind (0 flush by block id, 1 put, 2 delete, 3 copy, 4
    // patch), a host, block ranges and a block (0 now and then; of 1,024
    // blocks, mostly one with no object), a type list, vdbs and a span.
    std::vector<std::array<int, 7>> entries(1 + pick(30));
    for (auto& e : entries) {
      e = {pick(3) == 0 ? 1 + pick(4) : 0, pick(kHosts), pick(2), 0, pick(4) == 0,
           pick(4), pick(3)};
      e[3] = pick(8) == 0 ? 0 : 1 + pick(e[2] == 1 ? 4 : 1024);
      if (e[0] == 0) together.ForeseeFlushByBlockId(e[3], type_lists[e[4]], ranges[e[2]]);
    }
    Status status[2];
    for (const auto& e : entries) {
      const std::string id = AddressId(e[1]);
      const VdbIdSet& vdbs = vdb_sets[e[5]];
      const caldek::orv::tarnix::SpanContextMsg* span = e[6] < 2 ? &spans[e[6]] : nullptr;
      for (int side = 0; side < 2; ++side) {
        RequestProcessor* p = side == 0 ? &together : &alone;
        if (!status[side].ok()) continue;
        if (e[0] == 0 && side == 0) {
          status[side] = p->AddFlushByBlockId(e[3], type_lists[e[4]], ranges[e[2]], vdbs, span);
        } else if (e[0] == 0) {
          AddFlushByBlockIdAlone(schema_, db_.get(), p, e[3], type_lists[e[4]], ranges[e[2]],
                                 vdbs, span);
        } else if (e[0] == 1) {
          p->AddPut(kAddress, id, Shared(Address(e[1], 16)), vdbs, span);
        } else if (e[0] == 2) {
          p->AddDelete(kAddress, id, vdbs, span);
        } else if (e[0] == 3) {
          p->AddCopy(kAddress, id, 3, vdbs, span);
        } else {
          status[side] = p->AddPatch(kAddress, id, Address(e[1], 24), "", vdbs, span);
        }
      }
    }
    ASSERT_EQ(status[0], status[1]);
    ASSERT_EQ(together.pending_size(), alone.pending_size());
    ASSERT_EQ(pending(together), pending(alone));
    if (!status[0].ok()) continue;
    std::vector<std::pair<std::string, std::string>> written[2];
    std::vector<std::string> deleted[2];
    for (int side = 0; side < 2; ++side) {
      std::vector<DbAccess::TxnPut> puts;
      std::list<UpdateRecord> updates, logged_only, removals;
      metrics::LatencyMetric latency(registry_, "test/build");
      status[side] = (side == 0 ? together : alone)
                         .Build(false, &puts, &deleted[side], &updates, &logged_only, &removals,
                                latency, nullptr);
      for (const DbAccess::TxnPut& put : puts) written[side].emplace_back(put.first, *put.second);
    }
    EXPECT_EQ(status[0], status[1]);
    EXPECT_EQ(written[0], written[1]);
    EXPECT_EQ(deleted[0], deleted[1]);
  }
}

}  // namespace
}  // namespace tarnix
