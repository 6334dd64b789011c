// Large monitor snapshots over a running daemon: many where clauses, clients
// that stop reading, and SIGTERM while a snapshot is on its way. Timings are
// printed, never asserted, but for the bound on an orderly stop.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kWriter[] = "inventory-agent";
constexpr size_t kMiB = size_t{1} << 20;

class MonitorSnapshotTest : public ServingDaemonTest {
 protected:
  // Devices first..first+count-1, hostname "h<n>" padded to `bytes`.
  void StoreDevices(int first, int count, size_t bytes = 0) {
    // Streams of at most 64 MiB, well below a write stream's cap.
    const int batch =
        static_cast<int>(std::min<size_t>(500, (64 * kMiB) / std::max<size_t>(bytes, 1)));
    for (int start = first; start < first + count; start += batch) {
      tx::PutRequestMsg put;
      for (int i = start; i < std::min(start + batch, first + count); ++i) {
        std::string hostname = "h" + std::to_string(i);
        if (hostname.size() < bytes) hostname.resize(bytes, '.');
        *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(i, hostname));
      }
      ASSERT_TRUE(client_->Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());
    }
  }
  // A Monitor of devices: one EQUALS clause on the hostname "h<n>" for each
  // n below `clauses`, or the whole type when `clauses` is 0.
  tx::MonitorRequestMsg DeviceMonitor(const std::string& id, int clauses) {
    tx::MonitorRequestMsg request;
    request.set_monitor_request_id(id);
    tx::StatementMsg* statement = request.add_statements()->mutable_statement();
    statement->mutable_unknown_fields()->AddVarint(tx::StatementMsg::kObjectTypeFieldNumber,
                                                   kDeviceType);
    const std::string op = schema_.Body("DeviceOpMsg", "hostname { op: EQUALS }");
    for (int n = 0; n < clauses; ++n) {
      tx::WhereMsg* where = statement->add_where();
      where->set_op_msg(op);
      where->set_value(schema_.Body("DeviceMsg", "hostname: 'h" + std::to_string(n) + "'"));
    }
    return request;
  }
};

// A monitor of many clauses over 2,000 devices: while its snapshot is
// made, another client's writes are answered and a witness monitor gets
// them, and the snapshot holds every matching device once.
TEST_F(MonitorSnapshotTest, AManyClauseSnapshotLetsOtherCallsGoOn) {
  const char* env = std::getenv("TARNIX_E2E_MONITOR_CLAUSES");
  const int clauses = env != nullptr ? std::atoi(env) : 100000;
  StoreDevices(0, 2000);
  OpenMonitor witness(daemon_->address(), DeviceMonitor("witness", 0));
  ASSERT_EQ(witness.ReadTransaction().size(), 2000u);

  std::atomic<bool> snapshot_done{false};
  std::atomic<int> puts{0};
  double max_put_ms = 0;
  std::thread writer([&] {
    TarnixClient client(daemon_->channel());
    // Goes on a little past the snapshot, so that some puts follow it.
    for (int extra = 0; extra < 3; extra += snapshot_done ? 1 : 0) {
      tx::PutRequestMsg put;
      *put.add_puts()->mutable_object() =
          Typed(kDeviceType, schema_.Device(100000 + puts, "written"));
      const auto start = Clock::now();
      ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());
      max_put_ms = std::max(max_put_ms, Ms(Clock::now() - start));
      ++puts;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const auto opened = Clock::now();
  OpenMonitor large(daemon_->address(), DeviceMonitor("large", clauses));
  const std::vector<std::string> snapshot = large.ReadTransaction();
  const double snapshot_ms = Ms(Clock::now() - opened);
  snapshot_done = true;
  writer.join();

  // Each device once; past 2,000 clauses, one type-only entry for those
  // that matched nothing.
  const size_t matching = static_cast<size_t>(std::min(clauses, 2000));
  EXPECT_EQ(snapshot.size(), matching + (clauses > 2000 ? 1 : 0));
  std::set<std::string> devices(snapshot.begin(), snapshot.end());
  devices.erase("");
  EXPECT_EQ(devices.size(), matching);
  // The witness is told of every put, one transaction each.
  for (int i = 0; i < puts; ++i) EXPECT_EQ(witness.ReadTransaction().size(), 1u) << i;
  std::printf("figures: clauses=%d snapshot_ms=%.1f puts=%d max_put_ms=%.1f\n", clauses,
              snapshot_ms, puts.load(), max_put_ms);
}

// Clients that take the first message of a 100 MB snapshot and read no
// more hold no more of it than their calls' caps, are ended by the
// stalled-reader rule (30 s without progress; a transport that still takes
// a little now and then counts as progress), and what they held goes back.
TEST_F(MonitorSnapshotTest, ClientsThatStopReadingASnapshotAreEndedAndTheirMemoryComesBack) {
  const char* env = std::getenv("TARNIX_E2E_SNAPSHOT_MB");
  StoreDevices(0, env != nullptr ? std::atoi(env) : 100, kMiB);
  const pid_t pid = daemon_->process().pid();
  // One client reads the whole snapshot first: the reads' own buffers and
  // caches, which no stalled client holds, are in place before the count.
  {
    OpenMonitor reader(daemon_->address(), DeviceMonitor("reader", 0));
    reader.ReadTransaction();
  }
  // Once it has gone (the line comes first), what it held is handed back.
  for (int i = 0; i < 500 && CountLogLines(daemon_->process().Stdout(), "INFO", "",
                                           "reader disconnected, Unsubscribing") == 0;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const size_t before = Rss(pid);
  std::vector<std::unique_ptr<OpenMonitor>> stalled;
  for (int i = 0; i < 4; ++i) {
    stalled.push_back(std::make_unique<OpenMonitor>(
        daemon_->address(), DeviceMonitor("stalled" + std::to_string(i), 0)));
    tx::MonitorResponseMsg first;
    ASSERT_TRUE(stalled.back()->reader->Read(&first));
  }
  size_t peak = 0;
  const auto start = Clock::now();
  bool ended = false;
  for (int second = 0; second < 150 && !ended; ++second) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    peak = std::max(peak, Rss(pid));
    ended = CountLogLines(daemon_->process().Stdout(), "INFO", "",
                          "disconnected, Unsubscribing corresponding subscriptions") == 1 + 4;
    std::printf("figures: t=%ds rss=%zu MiB\n", second + 1, Rss(pid) / kMiB);
  }
  EXPECT_TRUE(ended) << "the stalled monitors were never ended";
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const size_t after = Rss(pid);
  std::printf("figures: rss before=%zu MiB peak=%zu MiB after=%zu MiB (%.0f s)\n", before / kMiB,
              peak / kMiB, after / kMiB, Ms(Clock::now() - start) / 1000);
  // Each stalled call holds its cap and a chunk or two, not the snapshot.
  EXPECT_LT(peak, before + 120 * kMiB);
  // Never left open to read for ever, whatever happened.
  for (auto& monitor : stalled) monitor->context.TryCancel();
}

// SIGTERM while a many-clause snapshot is made and while clients stall on
// theirs: the daemon ends within five seconds.
TEST_F(MonitorSnapshotTest, SigtermEndsTheDaemonWhateverMonitorsDo) {
  StoreDevices(0, 2000, 20000);
  std::vector<std::unique_ptr<OpenMonitor>> stalled;
  for (int i = 0; i < 2; ++i) {
    stalled.push_back(std::make_unique<OpenMonitor>(
        daemon_->address(), DeviceMonitor("stalled" + std::to_string(i), 0)));
    tx::MonitorResponseMsg first;
    ASSERT_TRUE(stalled.back()->reader->Read(&first));
  }
  std::thread large([&] {
    OpenMonitor monitor(daemon_->address(), DeviceMonitor("large", 100000));
    monitor.ReadTransaction();
  });
  for (int i = 0; i < 500; ++i) {
    if (daemon_->process().Stdout().find("Monitor for monitor_request_id='large'") !=
        std::string::npos) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ExpectStopWithinFiveSeconds(daemon_.get(), std::chrono::seconds(20));
  large.join();
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix
