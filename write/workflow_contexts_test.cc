#include "write/workflow_contexts.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

TEST(WorkflowContextsTest, OneTraceInfoPerTracedEntryInStreamOrder) {
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
  CollectPutWorkflowContexts(requests, &out);
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

  std::list<tx::DeleteRequestMsg> deletes(1);
  deletes.front().add_deletes();
  CollectDeleteWorkflowContexts(deletes, &out);
  EXPECT_EQ(out.size(), 2u);
}

}  // namespace
}  // namespace tarnix
