#include "metrics/metric.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "logging/logger.h"

namespace tarnix {
namespace metrics {
namespace {

TEST(MetricTest, HandlesOfOneNameShareOneCounter) {
  orv::metrics::MetricRegistry registry;
  LatencyMetric first(registry, "server/latency/put/process");
  LatencyMetric second(registry, "/server//latency/put/process/");
  EXPECT_EQ(first.get(), second.get());
  first->update(12);
  EXPECT_EQ(second->window(true).s_num, 1u);

  UnitMetric size(registry, "server/transaction/put/request/size", "bytes");
  UnitMetric count(registry, "server/transaction/put/request/count");
  EXPECT_NE(size.get(), count.get());
  size->update(100);
  EXPECT_EQ(registry.key("server/transaction/put/request/size")
                ->value_string(true),
            "units: bytes, v~last: 100, s~num: 1, s~min: 100, s~max: 100");
}

TEST(MetricTest, WrongCounterKindThrowsAndLogs) {
  orv::metrics::MetricRegistry registry;
  UnitMetric unit(registry, "a/b");
  orv::LogCapture capture;
  try {
    LatencyMetric latency(registry, "a/b");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Metric: wrong value type (6442450944 != 26446261131265)");
  }
  ASSERT_EQ(capture.lines().size(), 1u);
  const std::string line = capture.lines()[0];
  EXPECT_NE(line.find("s2comp=\"orv-metrics\""), std::string::npos) << line;
  EXPECT_NE(line.find("level=\"ERROR\" errorCode=\"MXLIB200\"] Metric: wrong "
                      "value type (6442450944 != 26446261131265)"),
            std::string::npos)
      << line;
}

TEST(MetricTest, WrongKindIsNotLoggedBelowTheThresholds) {
  orv::metrics::MetricRegistry registry;
  LatencyMetric latency(registry, "l");
  orv::LogCapture capture;
  const int saved = orv::metrics::library_log_level;
  orv::metrics::library_log_level = 1;
  EXPECT_THROW(UnitMetric(registry, "l"), std::runtime_error);
  orv::metrics::library_log_level = saved;
  EXPECT_TRUE(capture.lines().empty());
  // The failed handle left the existing counter in place.
  latency->update(1);
  EXPECT_EQ(latency->window(true).s_num, 1u);
}

TEST(MetricTest, HandlesOutliveTheirRegistry) {
  auto registry = std::make_unique<orv::metrics::MetricRegistry>();
  auto handle = std::make_shared<UnitMetric>(*registry, "server/obj/n");
  registry.reset();
  ++**handle;
  EXPECT_EQ((*handle)->window(true).last, 1u);
  EXPECT_EQ(handle->key()->name(), "n");
}

TEST(MetricTest, MovedFromHandleHoldsNoCounter) {
  orv::metrics::MetricRegistry registry;
  UnitMetric first(registry, "a");
  UnitCounter* counter = first.get();
  UnitMetric moved(std::move(first));
  EXPECT_EQ(moved.get(), counter);
  EXPECT_EQ(first.get(), nullptr);

  UnitMetric other(registry, "b");
  other = std::move(moved);
  EXPECT_EQ(other.get(), counter);
  EXPECT_EQ(other.key()->name(), "a");
  EXPECT_EQ(moved.get(), nullptr);
}

TEST(MetricTest, HandlesCreatedFromManyThreadsShareCounters) {
  orv::metrics::MetricRegistry registry;
  constexpr int kThreads = 6;
  constexpr int kNames = 20;
  constexpr int kRounds = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&registry] {
      for (int r = 0; r < kRounds; ++r) {
        for (int n = 0; n < kNames; ++n) {
          LatencyMetric latency(registry, "c/" + std::to_string(n) + "/l");
          latency->update(1);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(registry.key("c")->subkeys().size(), static_cast<size_t>(kNames));
  for (int n = 0; n < kNames; ++n) {
    LatencyMetric latency(registry, "c/" + std::to_string(n) + "/l");
    EXPECT_EQ(latency->window(true).v_num,
              static_cast<uint64_t>(kThreads * kRounds))
        << n;
  }
}

}  // namespace
}  // namespace metrics
}  // namespace tarnix
