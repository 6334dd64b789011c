// Large monitor snapshots over a running daemon: many where clauses, clients
// that stop reading, and SIGTERM while a snapshot is on its way. Timings are
// printed, never asserted, but for the bound on an orderly stop.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kAdmin[] = "tarnix-cli";
constexpr char kWriter[] = "inventory-agent";
constexpr size_t kMiB = size_t{1} << 20;

size_t Rss(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

double Ms(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::microseconds>(d).count() / 1000.0;
}

// A channel of its own, without a receive limit.
std::unique_ptr<tx::Tarnix::Stub> OwnStub(const std::string& address) {
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  args.SetInt(GRPC_ARG_MAX_RECEIVE_MESSAGE_LENGTH, -1);
  args.SetInt(GRPC_ARG_MAX_SEND_MESSAGE_LENGTH, -1);
  return tx::Tarnix::NewStub(
      grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args));
}

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

// One Monitor call on a connection of its own.
struct OpenMonitor {
  OpenMonitor(const std::string& address, const tx::MonitorRequestMsg& request)
      : stub(OwnStub(address)) {
    context.AddMetadata("client-id", kAdmin);
    reader = stub->Monitor(&context, request);
  }
  ~OpenMonitor() {
    if (!finished) context.TryCancel();
    Finish();
  }
  // Reads what is left; the call's status.
  grpc::Status Finish() {
    if (finished) return status;
    tx::MonitorResponseMsg rest;
    while (reader->Read(&rest)) {
    }
    finished = true;
    status = reader->Finish();
    return status;
  }
  // The bodies of the next transaction.
  std::vector<std::string> ReadTransaction() {
    std::vector<std::string> bodies;
    tx::MonitorResponseMsg message;
    while (reader->Read(&message)) {
      for (const tx::MonitorUpdateMsg& update : message.updates()) {
        bodies.push_back(update.object_body());
      }
      if (message.transaction_control().end_of_transaction()) break;
    }
    return bodies;
  }

  std::unique_ptr<tx::Tarnix::Stub> stub;
  grpc::ClientContext context;
  std::unique_ptr<grpc::ClientReader<tx::MonitorResponseMsg>> reader;
  bool finished = false;
  grpc::Status status;
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

// Monitors of many where clauses that every device satisfies at once,
// opened and then told of a write of every device while another client
// puts a device every 10 ms: the snapshot holds every device once, and
// the monitors hear of every device written. How long the opening and the
// write hold the other client is printed (a whole-type monitor of the same
// devices is the reference), not asserted. Sizes come from
// TARNIX_E2E_MANY_CLAUSES (20,000) and TARNIX_E2E_PAIR_TAGS (200).
struct ClauseShape {
  const char* name;
  const char* op;                 // DeviceOpMsg text; "" for the whole type
  std::string (*operand)(int n);  // DeviceMsg text of clause n
  int monitors;                   // sharing the clauses
  bool pairs;                     // devices of many tags, every pair a clause
  bool every_clause_matches;      // each matches every device
};

int EnvOr(const char* name, int fallback) {
  const char* env = std::getenv(name);
  return env != nullptr ? std::atoi(env) : fallback;
}

class ManyClauseMonitorTest : public MonitorSnapshotTest,
                              public ::testing::WithParamInterface<ClauseShape> {
 protected:
  static std::string Tag(int n) { return "t" + std::to_string(n); }

  // Device i with `model` and, for pairs, every tag; else one tag.
  std::string Device(int i, const std::string& model, int tags) {
    std::string text = "id { left: " + std::to_string(i) + " } hostname: 'h" + std::to_string(i) +
                       "' model: '" + model + "' location { site: 's' }";
    for (int n = 0; n < std::max(tags, 1); ++n) text += " tags: '" + Tag(tags > 0 ? n : 0) + "'";
    return schema_.Body("DeviceMsg", text);
  }
  void PutDevices(const std::string& model, int tags, std::vector<double>* put_ms) {
    for (int start = 0; start < kDevices; start += 500) {
      tx::PutRequestMsg put;
      for (int i = start; i < start + 500; ++i) {
        *put.add_puts()->mutable_object() = Typed(kDeviceType, Device(i, model, tags));
      }
      const auto begun = Clock::now();
      ASSERT_TRUE(Put(stub_.get(), put).ok());
      if (put_ms != nullptr) put_ms->push_back(Ms(Clock::now() - begun));
    }
  }
  // A Put that waits as long as the daemon takes, within reason.
  static grpc::Status Put(tx::Tarnix::Stub* stub, const tx::PutRequestMsg& put) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::minutes(5));
    context.AddMetadata("client-id", kWriter);
    tx::PutResponseMsg response;
    std::unique_ptr<grpc::ClientWriter<tx::PutRequestMsg>> writer = stub->Put(&context, &response);
    writer->Write(put);
    writer->WritesDone();
    return writer->Finish();
  }
  tx::MonitorRequestMsg Request(const std::string& id, const std::vector<std::string>& operands) {
    tx::MonitorRequestMsg request;
    request.set_monitor_request_id(id);
    tx::StatementMsg* statement = request.add_statements()->mutable_statement();
    statement->mutable_unknown_fields()->AddVarint(tx::StatementMsg::kObjectTypeFieldNumber,
                                                   kDeviceType);
    const std::string op = schema_.Body("DeviceOpMsg", GetParam().op);
    for (const std::string& operand : operands) {
      tx::WhereMsg* where = statement->add_where();
      where->set_op_msg(op);
      where->set_value(schema_.Body("DeviceMsg", operand));
    }
    return request;
  }

  static constexpr int kDevices = 2000;
};

TEST_P(ManyClauseMonitorTest, EveryDeviceReachesTheMonitorOnceAndAgainWhenWritten) {
  const ClauseShape& shape = GetParam();
  const int tags = shape.pairs ? EnvOr("TARNIX_E2E_PAIR_TAGS", 200) : 0;
  std::vector<std::string> operands;
  if (std::string(shape.op).empty()) {
    operands.push_back("");  // the whole type
  } else if (shape.pairs) {
    for (int a = 0; a < tags; ++a) {
      for (int b = a + 1; b < tags; ++b) {
        operands.push_back("tags: '" + Tag(a) + "' tags: '" + Tag(b) + "'");
      }
    }
  } else {
    const int count = EnvOr("TARNIX_E2E_MANY_CLAUSES", 20000);
    for (int n = 0; n < count; ++n) operands.push_back(shape.operand(n));
  }
  PutDevices("stored", tags, nullptr);
  const size_t stored_rss = Rss(daemon_->process().pid());

  // Another client puts a device every 10 ms; each put's end and length.
  struct Timed {
    Clock::time_point end;
    double ms;
  };
  std::vector<Timed> other;
  std::mutex other_mu;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    const std::unique_ptr<tx::Tarnix::Stub> stub = OwnStub(daemon_->address());
    for (int k = 0; !stop; ++k) {
      tx::PutRequestMsg put;
      *put.add_puts()->mutable_object() =
          Typed(kDeviceType, schema_.Device(100000 + k % 100, "other"));
      const auto begun = Clock::now();
      ASSERT_TRUE(Put(stub.get(), put).ok());
      const auto end = Clock::now();
      {
        std::lock_guard<std::mutex> lock(other_mu);
        other.push_back({end, Ms(end - begun)});
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  // The longest put of the other client that ended after `from`.
  auto longest_since = [&](Clock::time_point from) {
    std::lock_guard<std::mutex> lock(other_mu);
    double longest = 0;
    for (const Timed& put : other) {
      if (put.end >= from) longest = std::max(longest, put.ms);
    }
    return longest;
  };

  const auto opening = Clock::now();
  std::vector<std::unique_ptr<OpenMonitor>> monitors;
  const size_t share = operands.size() / shape.monitors;
  for (int m = 0; m < shape.monitors; ++m) {
    const auto first = operands.begin() + m * share;
    const auto last = m + 1 == shape.monitors ? operands.end() : first + share;
    monitors.push_back(std::make_unique<OpenMonitor>(
        daemon_->address(),
        Request("many" + std::to_string(m), std::vector<std::string>(first, last))));
  }
  for (auto& monitor : monitors) {
    // Every device once (and some of the other client's); the type alone
    // when some clause matched nothing.
    const std::vector<std::string> snapshot = monitor->ReadTransaction();
    std::set<std::string> devices(snapshot.begin(), snapshot.end());
    EXPECT_EQ(devices.size(), snapshot.size());
    const size_t none = shape.every_clause_matches ? 0 : 1;
    EXPECT_EQ(devices.count(""), none);
    EXPECT_GE(devices.size(), kDevices + none);
  }
  const double open_ms = Ms(Clock::now() - opening);
  const double open_longest = longest_since(opening);
  const size_t open_rss = Rss(daemon_->process().pid());

  // Each monitor hears of every device written again.
  std::vector<std::thread> readers;
  std::vector<int> heard(monitors.size(), 0);
  for (size_t m = 0; m < monitors.size(); ++m) {
    readers.emplace_back([&, m] {
      while (heard[m] < kDevices) {
        const std::vector<std::string> bodies = monitors[m]->ReadTransaction();
        if (bodies.empty()) return;  // ended
        for (const std::string& body : bodies) {
          if (body.find("written") != std::string::npos) ++heard[m];
        }
      }
    });
  }
  const auto writing = Clock::now();
  std::vector<double> put_ms;
  PutDevices("written", tags, &put_ms);
  for (std::thread& reader : readers) reader.join();
  const double write_ms = Ms(Clock::now() - writing);
  const double write_longest = longest_since(writing);
  stop = true;
  writer.join();
  for (int count : heard) EXPECT_EQ(count, kDevices);
  std::printf(
      "figures: shape=%s clauses=%zu monitors=%d opening=%.0f ms (other client's longest put "
      "%.1f ms, rss %zu -> %zu MiB) write of %d devices=%.0f ms (longest put of 500 %.0f ms; "
      "other client's longest put %.1f ms)\n",
      shape.name, operands.size(), shape.monitors, open_ms, open_longest, stored_rss / kMiB,
      open_rss / kMiB, kDevices, write_ms, *std::max_element(put_ms.begin(), put_ms.end()),
      write_longest);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ManyClauseMonitorTest,
    ::testing::Values(
        ClauseShape{"EqualsHostname", "hostname { op: EQUALS }",
                    [](int n) { return "hostname: 'h" + std::to_string(n) + "'"; }, 1, false,
                    false},
        ClauseShape{"NotEqualsHostname", "hostname { op: NOT_EQUALS }",
                    [](int n) { return "hostname: 'x" + std::to_string(n) + "'"; }, 1, false, true},
        ClauseShape{"NotEqualsTags", "tags { op: NOT_EQUALS }",
                    [](int n) { return "tags: 'x" + std::to_string(n) + "'"; }, 1, false, true},
        ClauseShape{"NotEqualsLocation", "location { self { op: NOT_EQUALS } }",
                    [](int n) { return "location { site: 'x" + std::to_string(n) + "' }"; }, 1,
                    false, true},
        ClauseShape{"NotEqualsHostnameTenMonitors", "hostname { op: NOT_EQUALS }",
                    [](int n) { return "hostname: 'x" + std::to_string(n) + "'"; }, 10, false,
                    true},
        ClauseShape{"ContainsAllPairs", "tags { op: CONTAINS_ALL }", nullptr, 1, true, true},
        // The devices of the pairs watched whole: what any monitor of them costs.
        ClauseShape{"WholeTypeManyTags", "", nullptr, 1, true, true}),
    [](const ::testing::TestParamInfo<ClauseShape>& info) { return std::string(info.param.name); });

// Clients that take the first message of a 100 MB snapshot and read no
// more hold no more of it than their calls' caps, are ended by the
// stalled-reader rule (30 s without progress; a transport that still takes
// a little now and then counts as progress), and what they held goes back.
TEST_F(MonitorSnapshotTest, ClientsThatStopReadingASnapshotAreEndedAndTheirMemoryComesBack) {
  const char* env = std::getenv("TARNIX_E2E_SNAPSHOT_MB");
  StoreDevices(0, env != nullptr ? std::atoi(env) : 100, kMiB);
  const pid_t pid = daemon_->process().pid();
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
                          "disconnected, Unsubscribing corresponding subscriptions") == 4;
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
  const auto signalled = Clock::now();
  const std::optional<int> status = daemon_->process().Terminate(std::chrono::seconds(20));
  const auto took = Clock::now() - signalled;
  large.join();
  ASSERT_TRUE(status.has_value()) << "still running 20 s after SIGTERM";
  EXPECT_EQ(*status, 0);
  EXPECT_LT(took, std::chrono::seconds(5)) << Ms(took) << " ms";
  std::printf("figures: SIGTERM to exit %.0f ms\n", Ms(took));
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix
