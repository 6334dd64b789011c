// An orderly stop under load: SIGTERM ends the daemon within five seconds
// whatever its calls are doing or a compaction is compacting, and a write it
// committed is never answered with a failure.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kWriter[] = "inventory-agent";

// Devices first..first+count-1 with `padding` bytes of hostname, in puts of
// 1,000.
void StoreDevices(ExampleSchema& schema, TarnixClient& client, int first, int count,
                  size_t padding) {
  for (int start = first; start < first + count; start += 1000) {
    tx::PutRequestMsg put;
    for (int i = start; i < std::min(start + 1000, first + count); ++i) {
      *put.add_puts()->mutable_object() =
          Typed(kDeviceType, schema.Device(i, std::string(padding, 'h')));
    }
    ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());
  }
}

// Calls that keep the daemon busy until it goes away: Gets of many absent
// ids, and durable one-device Puts of devices numbered from `first_device`.
class Load {
 public:
  Load(const std::shared_ptr<grpc::Channel>& channel, ExampleSchema& schema, int first_device)
      : next_device_(first_device) {
    for (int c = 0; c < 3; ++c) {
      threads_.emplace_back([this, channel, &schema] {
        TarnixClient client(channel);
        tx::GetRequestMsg get;
        for (int i = 0; i < 100000; ++i) {
          *get.add_objects() = Typed(kDeviceType, schema.Device(1000000 + i, "absent"));
        }
        std::vector<tx::GetResponseMsg> responses;
        while (!stop_) {
          responses.clear();
          if (!client.Get(kWriter, get, &responses).ok()) break;
        }
      });
    }
    for (int c = 0; c < 4; ++c) {
      threads_.emplace_back([this, channel, &schema] {
        TarnixClient client(channel);
        while (!stop_) {
          const int device = next_device_++;
          tx::PutRequestMsg put;
          put.set_sync(true);
          *put.add_puts()->mutable_object() = Typed(kDeviceType, schema.Device(device, "load"));
          const grpc::Status status = client.Write(&tx::Tarnix::Stub::Put, kWriter, {put});
          std::lock_guard<std::mutex> lock(mu_);
          outcomes_[device] = status.error_code();
          if (!status.ok()) break;
        }
      });
    }
  }
  ~Load() { Join(); }

  void Join() {
    stop_ = true;
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }
  // Device -> the status code its Put was answered with.
  const std::map<int, grpc::StatusCode>& outcomes() const { return outcomes_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> next_device_;
  std::mutex mu_;
  std::map<int, grpc::StatusCode> outcomes_;
  std::vector<std::thread> threads_;
};

// Gets of every device that take their first response and read no more.
class StalledReaders {
 public:
  StalledReaders(const std::shared_ptr<grpc::Channel>& channel, int count)
      : stub_(tx::Tarnix::NewStub(channel)) {
    for (int i = 0; i < count; ++i) {
      contexts_.emplace_back(new grpc::ClientContext);
      contexts_.back()->AddMetadata("client-id", kWriter);
      tx::GetRequestMsg get;
      *get.add_objects() = Typed(kDeviceType, "", false);
      readers_.push_back(stub_->Get(contexts_.back().get(), get));
      tx::GetResponseMsg first;
      EXPECT_TRUE(readers_.back()->Read(&first));
    }
  }
  ~StalledReaders() {
    for (auto& context : contexts_) context->TryCancel();
    for (auto& reader : readers_) reader->Finish();
  }

 private:
  std::unique_ptr<tx::Tarnix::Stub> stub_;
  std::vector<std::unique_ptr<grpc::ClientContext>> contexts_;
  std::vector<std::unique_ptr<grpc::ClientReader<tx::GetResponseMsg>>> readers_;
};

TEST(ShutdownTest, SigtermEndsTheDaemonWithinFiveSecondsWhateverItsCallsDo) {
  TempDir dir;
  ExampleSchema schema;
  ServingDaemon daemon(dir.path(), dir.path() + "/db");
  ASSERT_TRUE(daemon.serving());
  TarnixClient client(daemon.channel());
  StoreDevices(schema, client, 0, 20000, 2000);  // 40 MB

  StalledReaders stalled(daemon.channel(), 4);
  Load load(daemon.channel(), schema, 100000);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto signalled = Clock::now();
  const std::optional<int> status = daemon.process().Terminate(std::chrono::seconds(20));
  const auto took = Clock::now() - signalled;
  load.Join();
  ASSERT_TRUE(status.has_value()) << "still running 20 s after SIGTERM";
  EXPECT_EQ(*status, 0);
  EXPECT_LT(took, std::chrono::seconds(5))
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

TEST(ShutdownTest, SigtermRightAfterAFlushOfManyObjectsIsNotHeldByItsCompaction) {
  TempDir dir;
  ExampleSchema schema;
  const std::string database = dir.path() + "/db";
  {
    ServingDaemon daemon(dir.path(), database);
    ASSERT_TRUE(daemon.serving());
    TarnixClient client(daemon.channel());
    StoreDevices(schema, client, 0, 20000, 2000);  // 40 MB
    tx::FlushRequestMsg flush;
    flush.add_flushes()->mutable_unknown_fields()->AddVarint(
        tx::FlushMsg::kObjectTypeFieldNumber, kDeviceType);
    ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Flush, kWriter, {flush}).ok());
    const auto signalled = Clock::now();
    const std::optional<int> status = daemon.process().Terminate(std::chrono::seconds(20));
    const auto took = Clock::now() - signalled;
    ASSERT_TRUE(status.has_value()) << "still running 20 s after SIGTERM";
    EXPECT_EQ(*status, 0);
    EXPECT_LT(took, std::chrono::seconds(5))
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    // The flush's deletes had not paused yet: their range is dropped, or, if
    // it was already being compacted, only the piece in flight ran on.
  }
  // Finished or cut short, the compaction left the flush as it was.
  ServingDaemon daemon(dir.path(), database);
  ASSERT_TRUE(daemon.serving());
  size_t stored = 0;
  for (const auto& response : TarnixClient(daemon.channel()).GetAll(kWriter, kDeviceType)) {
    for (const auto& object : response.objects()) stored += object.object_body().empty() ? 0 : 1;
  }
  EXPECT_EQ(stored, 0u);
  ASSERT_TRUE(daemon.Stop().has_value());
}

TEST(ShutdownTest, AWriteTheDaemonCommittedIsNeverAnsweredWithAFailure) {
  TempDir dir;
  ExampleSchema schema;
  const std::string database = dir.path() + "/db";
  std::mt19937 random(11);
  int failed = 0;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::map<int, grpc::StatusCode> outcomes;
    {
      ServingDaemon daemon(dir.path(), database);
      ASSERT_TRUE(daemon.serving());
      Load load(daemon.channel(), schema, 100000 * (round + 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 400));
      ASSERT_TRUE(daemon.Stop().has_value());
      load.Join();
      outcomes = load.outcomes();
    }
    ServingDaemon daemon(dir.path(), database);
    ASSERT_TRUE(daemon.serving());
    std::set<std::string> stored;
    for (const auto& response : TarnixClient(daemon.channel()).GetAll(kWriter, kDeviceType)) {
      for (const auto& object : response.objects()) stored.insert(object.object_body());
    }
    for (const auto& outcome : outcomes) {
      const bool found = stored.count(schema.Device(outcome.first, "load")) > 0;
      if (outcome.second == grpc::StatusCode::OK) {
        EXPECT_TRUE(found) << "acknowledged device " << outcome.first << " is lost";
      } else {
        ++failed;
        EXPECT_FALSE(found) << "device " << outcome.first << " is stored, but its Put was "
                            << "answered with code " << outcome.second;
      }
    }
    ASSERT_TRUE(daemon.Stop().has_value());
  }
  // Each round stopped the daemon under some Put.
  EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix
