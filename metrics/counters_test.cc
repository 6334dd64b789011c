#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "metrics/latency_counter.h"
#include "metrics/metric.h"
#include "metrics/scoped_latency_timer.h"
#include "metrics/unit_counter.h"
#include "platform/metrics/serializer.h"

namespace tarnix {
namespace metrics {
namespace {

// Counters are reference counted; tests hold them like the registry does.
template <typename Counter, typename... Args>
boost::intrusive_ptr<Counter> Make(Args... args) {
  return boost::intrusive_ptr<Counter>(new Counter(args...));
}

TEST(PercentileTest, InterpolatesBetweenSortedSamples) {
  EXPECT_EQ(orv::metrics::Percentile({}, 0.95), 0.0);
  EXPECT_EQ(orv::metrics::Percentile({7}, 0.95), 7.0);
  std::vector<uint64_t> ten, hundred;
  for (uint64_t i = 1; i <= 10; ++i) ten.push_back(i);
  for (uint64_t i = 1; i <= 100; ++i) hundred.push_back(i);
  EXPECT_EQ(orv::metrics::Percentile(ten, 0.95), 10.0);
  EXPECT_DOUBLE_EQ(orv::metrics::Percentile(hundred, 0.99), 99.99);
  EXPECT_NEAR(orv::metrics::Percentile(hundred, 0.95), 95.95, 1e-9);
  // k = 0: (1 + 1) * 0.4 = 0.8.
  EXPECT_EQ(orv::metrics::Percentile({3}, 0.4), 3.0);
}

TEST(LatencyCounterTest, PeriodStatisticsAtCollect) {
  auto empty = Make<LatencyCounter>();
  empty->collect();
  auto w = empty->window(false);
  EXPECT_EQ(w.s_num, 0u);
  EXPECT_EQ(w.s_avg, 0.0);  // no division by zero

  auto counter = Make<LatencyCounter>();
  for (uint64_t v = 100; v >= 1; --v) counter->update(v);  // unsorted input
  counter->collect();
  w = counter->window(false);
  EXPECT_EQ(w.s_num, 100u);
  EXPECT_EQ(w.s_last, 1u);
  EXPECT_EQ(w.s_min, 1u);
  EXPECT_EQ(w.s_max, 100u);
  EXPECT_EQ(w.s_sum, 5050.0);
  EXPECT_EQ(w.s_avg, 50.5);
  EXPECT_NEAR(w.s_p95, 95.95, 1e-9);
  EXPECT_DOUBLE_EQ(w.s_p99, 99.99);
}

TEST(LatencyCounterTest, TextOfCurrentAndFinishedWindow) {
  auto counter = Make<LatencyCounter>();
  counter->update(7);
  const std::string seven =
      "units: \xC2\xB5s, s~last: 7, s~num: 1, s~min: 7, s~max: 7, s~sum: 7, "
      "s~avg: 7, s~p95: 7, s~p99: 7, v~num: 1, v~min: 7, v~max: 7";
  EXPECT_EQ(counter->string(true), seven);
  counter->collect();
  EXPECT_EQ(counter->string(false), seven);
  counter->update(2);
  counter->update(3);
  EXPECT_EQ(counter->string(true),
            "units: \xC2\xB5s, s~last: 3, s~num: 2, s~min: 2, s~max: 3, "
            "s~sum: 5, s~avg: 2.5, s~p95: 3, s~p99: 3, v~num: 3, v~min: 2, "
            "v~max: 7");
}

TEST(LatencyCounterTest, ReservoirKeepsAtMost512UniformSamples) {
  auto counter = Make<LatencyCounter>();
  for (uint64_t v = 0; v < 1000; ++v) counter->update(v);
  EXPECT_EQ(counter->sample_count(), 512u);
  EXPECT_EQ(counter->window(true).s_num, 1000u);

  // Later values must get into the sample as often as early ones: with
  // 10000 values the sample's 95th percentile lies near 9500, not near 500.
  auto many = Make<LatencyCounter>();
  for (uint64_t v = 0; v < 10000; ++v) many->update(v);
  many->collect();
  EXPECT_EQ(many->sample_count(), 0u);
  double p95 = many->window(false).s_p95;
  EXPECT_GT(p95, 9000.0);
  EXPECT_LT(p95, 9950.0);
}

TEST(LatencyCounterTest, LifetimeFieldsSurviveCollectAndReset) {
  auto counter = Make<LatencyCounter>();
  counter->update(50);
  counter->update(10);
  counter->collect();
  counter->update(70);
  auto w = counter->window(true);
  EXPECT_EQ(w.s_num, 1u);
  EXPECT_EQ(w.s_min, 70u);
  EXPECT_EQ(w.s_sum, 70.0);
  EXPECT_EQ(w.v_num, 3u);
  EXPECT_EQ(w.v_min, 10u);
  EXPECT_EQ(w.v_max, 70u);
  EXPECT_EQ(counter->window(false).s_num, 2u);  // finished period stays

  counter->reset();
  w = counter->window(true);
  EXPECT_EQ(w.s_num, 0u);
  EXPECT_EQ(w.s_last, 0u);
  EXPECT_EQ(w.s_sum, 0.0);
  EXPECT_EQ(w.v_num, 3u);
  EXPECT_EQ(counter->sample_count(), 0u);
  EXPECT_EQ(counter->window(false).s_num, 2u);

  counter->collect();
  counter->collect();  // an empty period in between keeps v~
  w = counter->window(false);
  EXPECT_EQ(w.s_num, 0u);
  EXPECT_EQ(w.v_num, 3u);
  EXPECT_EQ(w.v_max, 70u);
  counter->update(5);
  EXPECT_EQ(counter->window(true).v_min, 5u);
}

TEST(UnitCounterTest, LastSurvivesCollectAndReset) {
  auto counter = Make<UnitCounter>("bytes");
  counter->update(5);
  counter->update(3);
  EXPECT_EQ(counter->string(true),
            "units: bytes, v~last: 3, s~num: 2, s~min: 3, s~max: 5");
  counter->collect();
  EXPECT_EQ(counter->string(false),
            "units: bytes, v~last: 3, s~num: 2, s~min: 3, s~max: 5");
  EXPECT_EQ(counter->string(true),
            "units: bytes, v~last: 3, s~num: 0, s~min: 0, s~max: 0");
  counter->update(9);
  counter->reset();
  auto w = counter->window(true);
  EXPECT_EQ(w.last, 9u);
  EXPECT_EQ(w.num, 0u);
  EXPECT_EQ(w.max, 0u);
}

TEST(UnitCounterTest, GaugeIncrementAndDecrementRecordValues) {
  auto gauge = Make<UnitCounter>();
  ++*gauge;
  EXPECT_EQ(gauge->string(true), "v~last: 1, s~num: 1, s~min: 1, s~max: 1");
  ++*gauge;
  --*gauge;
  auto w = gauge->window(true);
  EXPECT_EQ(w.last, 1u);
  EXPECT_EQ(w.num, 3u);
  EXPECT_EQ(w.min, 1u);
  EXPECT_EQ(w.max, 2u);

  gauge->collect();
  --*gauge;  // continues from the carried value
  w = gauge->window(true);
  EXPECT_EQ(w.last, 0u);
  EXPECT_EQ(w.num, 1u);
  EXPECT_EQ(w.min, 0u);
  EXPECT_EQ(w.max, 0u);
}

class RecordingSerializer : public orv::metrics::Serializer {
 public:
  void set_units(const std::string& units) override {
    fields.push_back("units=" + units);
  }
  void set_text(const std::string& text) override {
    fields.push_back("text=" + text);
  }
  void set_uint64(const char* name, uint64_t value) override {
    fields.push_back(std::string(name) + "=" + std::to_string(value));
  }
  void set_double(const char* name, double value) override {
    fields.push_back(std::string(name) + "=" + std::to_string(value));
  }
  void set_uint64_range(const char* min_name, const char* max_name,
                        uint64_t min, uint64_t max) override {
    fields.push_back(std::string(min_name) + "," + max_name + "=" +
                     std::to_string(min) + "," + std::to_string(max));
  }
  std::vector<std::string> fields;
};

TEST(CounterSerializeTest, FieldsOfTheChosenWindow) {
  auto unit = Make<UnitCounter>("bytes");
  unit->update(4);
  unit->collect();
  unit->update(6);
  RecordingSerializer finished;
  unit->serialize(finished, false);
  EXPECT_EQ(finished.fields,
            (std::vector<std::string>{
                "units=bytes",
                "text=units: bytes, v~last: 4, s~num: 1, s~min: 4, s~max: 4",
                "v~last=4", "s~num=1", "s~min,s~max=4,4"}));

  auto latency = Make<LatencyCounter>();
  latency->update(2);
  latency->update(4);
  RecordingSerializer current;
  latency->serialize(current, true);
  ASSERT_EQ(current.fields.size(), 11u);
  EXPECT_EQ(current.fields[0], "units=\xC2\xB5s");
  EXPECT_EQ(current.fields[2], "s~last=4");
  EXPECT_EQ(current.fields[4], "s~min,s~max=2,4");
  EXPECT_EQ(current.fields[6], "s~avg=3.000000");
  EXPECT_EQ(current.fields[8], "s~p99=4.000000");
  EXPECT_EQ(current.fields[10], "v~min,v~max=2,4");
}

TEST(ScopedLatencyTimerTest, RecordsElapsedMicroseconds) {
  auto counter = Make<LatencyCounter>();
  {
    ScopedLatencyTimer timer(counter.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  auto w = counter->window(true);
  EXPECT_EQ(w.s_num, 1u);
  EXPECT_GE(w.s_last, 3000u);
  EXPECT_LT(w.s_last, 3000000u);  // microseconds, not nanoseconds
}

TEST(CounterConcurrencyTest, UpdatesFromManyThreadsAreNotLost) {
  auto latency = Make<LatencyCounter>();
  auto gauge = Make<UnitCounter>();
  constexpr int kThreads = 4;
  constexpr uint64_t kPerThread = 20000;
  std::atomic<bool> done{false};
  std::thread collector([&] {
    while (!done.load()) {
      latency->collect();
      gauge->collect();
      (void)latency->string(true);
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&] {
      for (uint64_t i = 1; i <= kPerThread; ++i) {
        latency->update(i);
        ++*gauge;
      }
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  collector.join();
  auto w = latency->window(true);
  EXPECT_EQ(w.v_num, kThreads * kPerThread);
  EXPECT_EQ(w.v_min, 1u);
  EXPECT_EQ(w.v_max, kPerThread);
  EXPECT_LE(latency->sample_count(), 512u);
  EXPECT_EQ(gauge->window(true).last, kThreads * kPerThread);
}

}  // namespace
}  // namespace metrics
}  // namespace tarnix
