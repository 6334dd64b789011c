#include "tools/load_report.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace load {
namespace {

TEST(PercentileTest, NearestRank) {
  std::vector<double> hundred;
  for (int i = 1; i <= 100; ++i) hundred.push_back(i);
  EXPECT_EQ(Percentile(hundred, 50), 50);
  EXPECT_EQ(Percentile(hundred, 99), 99);
  EXPECT_EQ(Percentile(hundred, 100), 100);
  // Two values: the median is the lower one, p99 the upper one.
  EXPECT_EQ(Percentile({1, 2}, 50), 1);
  EXPECT_EQ(Percentile({1, 2}, 99), 2);
  EXPECT_EQ(Percentile({7}, 99), 7);
  EXPECT_EQ(Percentile({}, 50), 0);
}

TEST(ResultJsonTest, RatesFromTheRunAndPercentilesOfSortedLatencies) {
  LoadOptions options;
  options.mode = LoadMode::kGet;
  options.clients = 4;
  options.objects = 10;
  options.sync = true;
  LoadResult result;
  result.transactions = 3;
  result.seconds = 2;
  result.latencies_ms = {3, 1, 2};
  EXPECT_EQ(ResultJson(options, &result),
            "{\"backend\":\"tarnix\",\"mode\":\"get\",\"clients\":4,\"objects\":10,"
            "\"body_bytes\":100,\"sync\":true,\"transactions\":3,\"errors\":0,"
            "\"seconds\":2.000,\"transactions_per_s\":1.5,\"objects_per_s\":15.0,"
            "\"latency_p50_ms\":2.0000,\"latency_p99_ms\":3.0000}");
  options.baseline_leveldb = "/tmp";
  result.seconds = 0;  // nothing ran: no division by zero
  EXPECT_NE(ResultJson(options, &result).find("\"backend\":\"leveldb\""), std::string::npos);
  EXPECT_NE(ResultJson(options, &result).find("\"transactions_per_s\":0.0,"), std::string::npos);
}

// A monitor run's objects per second are the objects the monitors received.
TEST(ResultJsonTest, MonitorRunsReportDeliveryAndDelays) {
  LoadOptions options;
  options.mode = LoadMode::kMonitor;
  options.monitors = 2;
  options.objects = 10;
  LoadResult result;
  result.transactions = 3;
  result.seconds = 1;
  result.delivered = 60;
  result.delivery_seconds = 2;
  result.delays_ms = {5, 1, 3};
  const std::string json = ResultJson(options, &result);
  EXPECT_NE(json.find("\"mode\":\"monitor\",\"clients\":1,\"monitors\":2,"), std::string::npos);
  EXPECT_NE(json.find("\"transactions_per_s\":3.0,\"objects_per_s\":30.0,"), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"delivered\":60,\"delay_p50_ms\":3.0000,\"delay_p99_ms\":5.0000}"),
            std::string::npos)
      << json;
}

}  // namespace
}  // namespace load
}  // namespace tarnix
