#include "write/write_telemetry.h"

#include <gtest/gtest.h>

#include <thread>

namespace tarnix {
namespace {

TEST(WriteTelemetryTest, FirstSampleMeasuresStackRoomNotAnAddress) {
  WriteTelemetry telemetry;
  telemetry.Record(2);
  // A thread stack is megabytes, far below any address in MiB.
  EXPECT_GT(telemetry.stack_mib(2), 0.0f);
  EXPECT_LT(telemetry.stack_mib(2), 1024.0f);
  EXPECT_EQ(telemetry.stack_mib(0), 0.0f);
}

TEST(WriteTelemetryTest, FormatsNinePairsAndResetsToZero) {
  WriteTelemetry telemetry;
  for (int phase = 0; phase < WriteTelemetry::kPhases; ++phase) telemetry.Record(phase);
  for (int phase = 0; phase < WriteTelemetry::kPhases; ++phase) {
    EXPECT_GT(telemetry.stack_mib(phase), 0.0f) << phase;
  }
  telemetry.Reset();
  EXPECT_EQ(telemetry.Format(),
            "[(0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0), "
            "(0.0, 0.0), (0.0, 0.0), (0.0, 0.0)]");
}

uint64_t heap_reads = 0;
uint64_t CountingHeap() { return ++heap_reads << 20; }  // n MiB at the nth read

TEST(WriteTelemetryTest, PhasesCloseTogetherShareOneHeapReading) {
  heap_reads = 0;
  WriteTelemetry telemetry(CountingHeap);
  telemetry.Record(2);
  telemetry.Record(3);
  EXPECT_EQ(heap_reads, 1u);
  EXPECT_EQ(telemetry.allocated_mib(3), 1.0f);
  std::this_thread::sleep_for(WriteTelemetry::kHeapReadReuse * 2);
  telemetry.Record(4);
  EXPECT_EQ(heap_reads, 2u);
  EXPECT_EQ(telemetry.allocated_mib(4), 2.0f);
}

TEST(WriteTelemetryTest, PhaseOutsideTheTableIsIgnored) {
  WriteTelemetry telemetry;
  telemetry.Record(-1);
  telemetry.Record(WriteTelemetry::kPhases);
  EXPECT_EQ(telemetry.Format(),
            "[(0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0), "
            "(0.0, 0.0), (0.0, 0.0), (0.0, 0.0)]");
}

}  // namespace
}  // namespace tarnix
