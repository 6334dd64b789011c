#include "write/request_stream.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

TEST(RequestStreamTest, OneTraceInfoPerTracedEntryInStreamOrder) {
  std::list<tx::PutRequestMsg> requests(2);
  requests.front().add_puts();  // no context: skipped
  tx::SpanContextMsg* first = requests.front().add_puts()->mutable_span_context();
  first->set_trace_id_high(1);
  first->set_trace_id_low(2);
  first->set_span_id(3);
  first->set_parent_span_id(4);
  tx::SpanContextMsg* second = requests.back().add_puts()->mutable_span_context();
  second->set_span_id(5);
  second->set_sampled(false);
  for (const char* value : {"old", "new"}) {
    tx::SpanContextMsg::BaggageItemMsg* item = second->add_baggage();
    item->set_key("k");
    item->set_value(value);
  }

  std::list<orv::wft::TraceInfo> out;
  CollectWorkflowContexts(requests, &out);
  ASSERT_EQ(out.size(), 2u);
  const orv::wft::TraceInfo& a = out.front();
  EXPECT_EQ(a.trace_id_high, 1u);
  EXPECT_EQ(a.trace_id_low, 2u);
  EXPECT_EQ(a.span_id, 3u);
  EXPECT_EQ(a.parent_span_id, 4u);
  EXPECT_TRUE(a.sampled);  // absent flag
  const orv::wft::TraceInfo& b = out.back();
  EXPECT_EQ(b.span_id, 5u);
  EXPECT_FALSE(b.sampled);
  EXPECT_EQ(b.baggage, (std::map<std::string, std::string>{{"k", "new"}}));
}

// Two requests of `Request`, three entries through `add`: the first without
// a context, then span ids 1 and 2; the collector must keep both in order.
template <typename Request, typename Add, typename Collector>
void ExpectEntriesCollected(Add add, Collector collect, const char* kind) {
  std::list<Request> requests(2);
  add(&requests.front());
  add(&requests.front())->mutable_span_context()->set_span_id(1);
  add(&requests.back())->mutable_span_context()->set_span_id(2);
  std::list<orv::wft::TraceInfo> out;
  collect(requests, &out);
  std::vector<uint64_t> ids;
  for (const orv::wft::TraceInfo& info : out) ids.push_back(info.span_id);
  EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2})) << kind;
}

TEST(RequestStreamTest, EveryStreamKindCollectsItsEntries) {
  ExpectEntriesCollected<tx::PutRequestMsg>([](tx::PutRequestMsg* r) { return r->add_puts(); },
                                            CollectWorkflowContexts<tx::PutRequestMsg>, "put");
  ExpectEntriesCollected<tx::DeleteRequestMsg>(
      [](tx::DeleteRequestMsg* r) { return r->add_deletes(); },
      CollectWorkflowContexts<tx::DeleteRequestMsg>, "delete");
  ExpectEntriesCollected<tx::FlushRequestMsg>(
      [](tx::FlushRequestMsg* r) { return r->add_flushes(); },
      CollectWorkflowContexts<tx::FlushRequestMsg>, "flush");
  ExpectEntriesCollected<tx::PatchRequestMsg>(
      [](tx::PatchRequestMsg* r) { return r->add_patches(); },
      CollectWorkflowContexts<tx::PatchRequestMsg>, "patch");
  ExpectEntriesCollected<tx::CopyRequestMsg>([](tx::CopyRequestMsg* r) { return r->add_copies(); },
                                             CollectWorkflowContexts<tx::CopyRequestMsg>, "copy");
  ExpectEntriesCollected<tx::FlushByBlockIdRequestMsg>(
      [](tx::FlushByBlockIdRequestMsg* r) { return r->add_flushes(); },
      CollectWorkflowContexts<tx::FlushByBlockIdRequestMsg>, "flush by block id");
}

}  // namespace
}  // namespace tarnix
