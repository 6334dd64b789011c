// kill -9 of the daemon while several clients write durable transactions:
// after each restart every acknowledged transaction is there, whole, and no
// transaction is there in part.

#include <signal.h>

#include <atomic>
#include <cstdlib>
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
constexpr int kClients = 6;
constexpr int kDevicesPerTxn = 3;

// TARNIX_CRASH_ROUNDS runs more rounds by hand (50 for a long check).
int Rounds() {
  const char* rounds = std::getenv("TARNIX_CRASH_ROUNDS");
  return rounds != nullptr ? std::atoi(rounds) : 3;
}

TEST(CrashTest, KillDuringDurableWritesLosesNoAcknowledgedTransaction) {
  TempDir dir;
  ExampleSchema schema;
  const std::string database = dir.path() + "/db";
  std::mt19937 random(7);
  std::atomic<int> next_txn{0};
  std::mutex mu;
  std::set<int> acknowledged;  // transactions, by number
  int tried = 0;
  auto device = [&](int txn, int i) { return schema.Device(txn * kDevicesPerTxn + i, "crash"); };

  const int rounds = Rounds();
  for (int round = 0; round <= rounds; ++round) {
    SCOPED_TRACE(round);
    ServingDaemon daemon(dir.path(), database);
    ASSERT_TRUE(daemon.serving());

    // What the last kill left: all acknowledged transactions, none in part.
    {
      TarnixClient client(daemon.channel());
      tx::GetRequestMsg get;
      *get.add_objects() = Typed(kDeviceType, "", false);
      std::vector<tx::GetResponseMsg> responses;
      ASSERT_TRUE(client.Get(kWriter, get, &responses).ok());
      std::set<std::string> stored;
      for (const auto& response : responses) {
        for (const auto& object : response.objects()) stored.insert(object.object_body());
      }
      for (int txn = 0; txn < tried; ++txn) {
        int found = 0;
        for (int i = 0; i < kDevicesPerTxn; ++i) found += stored.count(device(txn, i));
        ASSERT_TRUE(found == 0 || found == kDevicesPerTxn)
            << "transaction " << txn << " is there in part: " << found;
        if (acknowledged.count(txn) > 0) {
          ASSERT_EQ(found, kDevicesPerTxn) << "acknowledged transaction " << txn << " is lost";
        }
      }
    }
    if (round == rounds) break;

    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&] {
        TarnixClient client(daemon.channel());
        while (!stop) {
          const int txn = next_txn++;
          tx::PutRequestMsg put;
          put.set_sync(true);
          for (int i = 0; i < kDevicesPerTxn; ++i) {
            *put.add_puts()->mutable_object() = Typed(kDeviceType, device(txn, i));
          }
          if (client.Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok()) {
            std::lock_guard<std::mutex> lock(mu);
            acknowledged.insert(txn);
          }
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 400));
    daemon.process().Terminate(std::chrono::seconds(10), SIGKILL);
    stop = true;
    for (std::thread& client : clients) client.join();
    tried = next_txn;
  }
  EXPECT_GT(acknowledged.size(), 0u);
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix
