// Monitors under fan-out: large transactions to many monitors, and a
// monitor whose client stops reading while the others go on.

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kAdmin[] = "tarnix-cli";
constexpr size_t kMiB = size_t{1} << 20;

// A line of /proc/<pid>/status ("VmRSS", "VmHWM") in bytes.
size_t ProcessMemory(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1)) * 1024;
  }
  return 0;
}

// A Monitor of every device, on a connection of its own, read on a thread
// of its own once Start() is called. Counts the objects and transactions
// that come after the snapshot.
class DeviceMonitor {
 public:
  DeviceMonitor(const std::string& address, const std::string& id) {
    grpc::ChannelArguments args;
    args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    args.SetInt(GRPC_ARG_MAX_RECEIVE_MESSAGE_LENGTH, -1);
    stub_ = tx::Tarnix::NewStub(
        grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args));
    tx::MonitorRequestMsg request;
    request.set_monitor_request_id(id);
    request.add_statements()->mutable_statement()->mutable_unknown_fields()->AddVarint(
        tx::StatementMsg::kObjectTypeFieldNumber, kDeviceType);
    context_.AddMetadata("client-id", kAdmin);
    reader_ = stub_->Monitor(&context_, request);
    tx::MonitorResponseMsg message;
    while (reader_->Read(&message) && !message.transaction_control().end_of_transaction()) {
    }
  }
  ~DeviceMonitor() {
    context_.TryCancel();
    if (thread_.joinable()) thread_.join();
  }

  // Reads until `transactions` more transactions came or the stream ended.
  void Start(int transactions) {
    thread_ = std::thread([this, transactions] {
      tx::MonitorResponseMsg message;
      while (txns_.load() < transactions && reader_->Read(&message)) {
        objects_ += message.updates_size();
        if (message.transaction_control().end_of_transaction()) ++txns_;
      }
    });
  }
  void Join() { thread_.join(); }
  // Reads what is left and the call's status.
  grpc::Status Finish() {
    tx::MonitorResponseMsg message;
    while (reader_->Read(&message)) {
      objects_ += message.updates_size();
      if (message.transaction_control().end_of_transaction()) ++txns_;
    }
    return reader_->Finish();
  }
  int txns() const { return txns_.load(); }
  int objects() const { return objects_.load(); }

 private:
  std::unique_ptr<tx::Tarnix::Stub> stub_;
  grpc::ClientContext context_;
  std::unique_ptr<grpc::ClientReader<tx::MonitorResponseMsg>> reader_;
  std::thread thread_;
  std::atomic<int> txns_{0};
  std::atomic<int> objects_{0};
};

class MonitorFanOutTest : public ServingDaemonTest {
 protected:
  // One transaction of `devices` devices of about 1 MiB each, numbered
  // from `first`, one per request message.
  void PutDevices(int first, int devices) {
    std::vector<tx::PutRequestMsg> requests(devices);
    for (int i = 0; i < devices; ++i) {
      *requests[i].add_puts()->mutable_object() =
          Typed(kDeviceType, schema_.Device(first + i, std::string(kMiB, 'a' + i % 26)));
    }
    const grpc::Status status = client_->Write(&tx::Tarnix::Stub::Put, kAdmin, requests);
    ASSERT_TRUE(status.ok()) << status.error_message();
  }
  std::vector<std::unique_ptr<DeviceMonitor>> OpenMonitors(int count) {
    std::vector<std::unique_ptr<DeviceMonitor>> monitors;
    for (int i = 0; i < count; ++i) {
      monitors.push_back(
          std::make_unique<DeviceMonitor>(daemon_->address(), "m" + std::to_string(i)));
    }
    return monitors;
  }
};

TEST_F(MonitorFanOutTest, TwentyReadingMonitorsTakeASixtyMebibyteTransactionWhole) {
  std::vector<std::unique_ptr<DeviceMonitor>> monitors = OpenMonitors(20);
  for (auto& monitor : monitors) monitor->Start(1);
  PutDevices(1, 60);
  for (auto& monitor : monitors) monitor->Join();
  for (auto& monitor : monitors) EXPECT_EQ(monitor->objects(), 60);
  // None was cancelled: each takes the next transaction too.
  for (auto& monitor : monitors) monitor->Start(2);
  PutDevices(100, 1);
  for (auto& monitor : monitors) monitor->Join();
  for (auto& monitor : monitors) EXPECT_EQ(monitor->objects(), 61);
  EXPECT_EQ(daemon_->process().Stdout().find("DRX0304"), std::string::npos);
}

TEST_F(MonitorFanOutTest, AMonitorWhoseClientStopsReadingEndsAloneWithinTheBudget) {
  constexpr int kTransactions = 20;
  constexpr int kDevicesEach = 8;  // 160 MiB in all: more than one monitor may hold
  std::vector<std::unique_ptr<DeviceMonitor>> monitors = OpenMonitors(10);
  const pid_t pid = daemon_->process().pid();
  const size_t baseline = ProcessMemory(pid, "VmRSS");
  ASSERT_GT(baseline, 0u);
  for (size_t i = 1; i < monitors.size(); ++i) monitors[i]->Start(kTransactions);
  for (int t = 0; t < kTransactions; ++t) PutDevices(1 + t * kDevicesEach, kDevicesEach);
  for (size_t i = 1; i < monitors.size(); ++i) monitors[i]->Join();
  for (size_t i = 1; i < monitors.size(); ++i) {
    EXPECT_EQ(monitors[i]->objects(), kTransactions * kDevicesEach) << i;
  }
  const std::string log = daemon_->process().Stdout();
  EXPECT_NE(log.find("Monitor m0 fell behind: more than 67108864 bytes"), std::string::npos);
  EXPECT_EQ(log.find("Monitor m1 fell behind"), std::string::npos);
  // The whole run stayed within the budget of all backlogs.
  const size_t peak = ProcessMemory(pid, "VmHWM");
  EXPECT_LT(peak, baseline + (size_t{2} << 30)) << "peak " << peak / kMiB << " MiB";
  RecordProperty("baseline_rss_mib", static_cast<int>(baseline / kMiB));
  RecordProperty("peak_rss_mib", static_cast<int>(peak / kMiB));
  // The client that stopped reading finds what was queued for it, then
  // the end of its monitor.
  const grpc::Status stopped = monitors[0]->Finish();
  EXPECT_EQ(stopped.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED) << stopped.error_message();
  EXPECT_LT(monitors[0]->objects(), kTransactions * kDevicesEach);
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix
