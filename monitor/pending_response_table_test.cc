#include "monitor/pending_response_table.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

tx::MonitorUpdateMsg Entry(size_t body_bytes, size_t old_body_bytes = 0) {
  tx::MonitorUpdateMsg entry;
  entry.set_object_body(std::string(body_bytes, 'b'));
  if (old_body_bytes > 0) entry.set_old_object_body(std::string(old_body_bytes, 'o'));
  return entry;
}

void Append(PendingResponseTable* table, const std::string& monitor, uint32_t entry) {
  table->ForMonitor(monitor)->entries.push_back(entry);
}

std::vector<int> Sizes(const tx::MonitorResponseMsg& response) {
  std::vector<int> sizes;
  for (const tx::MonitorUpdateMsg& update : response.updates()) {
    sizes.push_back(static_cast<int>(update.object_body().size()));
  }
  return sizes;
}

TEST(PendingResponseTableTest, MonitorsWithEqualEntriesShareOneGroup) {
  PendingResponseTable table;
  const uint32_t big = table.AddEntry(Entry(600000));
  const uint32_t old = table.AddEntry(Entry(1, 500000));  // old bodies count too
  const uint32_t small = table.AddEntry(Entry(2));
  for (const char* monitor : {"m1", "m2"}) {
    for (uint32_t entry : {big, old, small}) Append(&table, monitor, entry);
  }
  Append(&table, "m3", big);
  Append(&table, "m3", small);
  Append(&table, "m4", small);  // the same entries in another order
  Append(&table, "m4", big);
  Append(&table, "gone", small);
  table.Erase("gone");

  std::vector<ResponseGroup> groups = table.TakeResponses(7);
  EXPECT_TRUE(table.empty());
  ASSERT_EQ(groups.size(), 3u);
  for (ResponseGroup& group : groups) std::sort(group.monitor_ids.begin(), group.monitor_ids.end());
  std::sort(groups.begin(), groups.end(), [](const ResponseGroup& a, const ResponseGroup& b) {
    return a.monitor_ids < b.monitor_ids;
  });
  EXPECT_EQ(groups[0].monitor_ids, (std::vector<std::string>{"m1", "m2"}));
  ASSERT_EQ(groups[0].responses.size(), 2u);
  EXPECT_EQ(Sizes(groups[0].responses[0]), (std::vector<int>{600000, 1}));
  EXPECT_EQ(Sizes(groups[0].responses[1]), (std::vector<int>{2}));
  EXPECT_FALSE(groups[0].responses[0].transaction_control().end_of_transaction());
  EXPECT_TRUE(groups[0].responses[1].transaction_control().end_of_transaction());
  for (const tx::MonitorResponseMsg& response : groups[0].responses) {
    EXPECT_EQ(response.transaction_control().txn_id(), 7u);
  }
  EXPECT_EQ(groups[1].monitor_ids, (std::vector<std::string>{"m3"}));
  ASSERT_EQ(groups[1].responses.size(), 1u);
  EXPECT_EQ(Sizes(groups[1].responses[0]), (std::vector<int>{600000, 2}));
  EXPECT_TRUE(groups[1].responses[0].transaction_control().end_of_transaction());
  EXPECT_EQ(groups[2].monitor_ids, (std::vector<std::string>{"m4"}));
  EXPECT_EQ(Sizes(groups[2].responses[0]), (std::vector<int>{2, 600000}));
}

TEST(PendingResponseTableTest, BodiesOfExactlyTheLimitStayInOneResponse) {
  PendingResponseTable table;
  Append(&table, "m", table.AddEntry(Entry(PendingResponseTable::kMaxResponseBytes - 1, 1)));
  Append(&table, "m", table.AddEntry(Entry(3)));
  Append(&table, "m", table.AddEntry(Entry(4)));
  std::vector<ResponseGroup> groups = table.TakeResponses(1);
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].responses.size(), 2u);
  EXPECT_EQ(groups[0].responses[0].updates_size(), 2);  // 999,999, then 3 more passes it
  EXPECT_EQ(groups[0].responses[1].updates_size(), 1);
}

}  // namespace
}  // namespace tarnix
