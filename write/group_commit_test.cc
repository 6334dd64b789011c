// Group commit of durable write transactions: when they are answered and
// notified, a failed sync, and what a power loss leaves.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "storage/fault_env.h"
#include "write/write_transactions_test_util.h"

namespace tarnix {
namespace {

// The event loop of the test: tasks the syncer posts wait here until the
// test runs them.
class TestLoop {
 public:
  GroupCommit::PostToLoop Poster() {
    return [this](std::function<void()> task) {
      std::lock_guard<std::mutex> lock(mu_);
      tasks_.push_back(std::move(task));
      posted_.notify_all();
    };
  }
  // Runs what was posted; with `wait`, first waits for at least one task.
  size_t Run(bool wait) {
    std::deque<std::function<void()>> tasks;
    {
      std::unique_lock<std::mutex> lock(mu_);
      if (wait) posted_.wait(lock, [this] { return !tasks_.empty(); });
      tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
    return tasks.size();
  }
  // Waits until at least `n` tasks wait.
  void WaitForTasks(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    posted_.wait(lock, [this, n] { return tasks_.size() >= n; });
  }
  // Drops what was posted, as a crash does.
  void Drop() {
    std::lock_guard<std::mutex> lock(mu_);
    tasks_.clear();
  }

 private:
  std::mutex mu_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> tasks_;
};

// Whether `events` answer and then notify each of `ids`: answers in order,
// notifications in order, each after its own answer.
bool AnsweredThenNotifiedInOrder(const std::vector<std::string>& events,
                                 const std::vector<std::string>& ids) {
  std::vector<std::string> answers, notifications;
  for (const std::string& event : events) {
    const bool answer = event.rfind("respond ", 0) == 0;
    const std::string id = event.substr(event.find(' ') + 1);
    if (!answer && std::find(answers.begin(), answers.end(), id) == answers.end()) return false;
    (answer ? answers : notifications).push_back(id);
  }
  return answers == ids && notifications == ids;
}

// Answers and notifications of several transactions, in one order.
struct Journal : UpdateNotifier {
  void NotifyForUpdate(uint64_t txn_id, bool, std::list<UpdateRecord>* updates,
                       std::list<UpdateRecord>* deletes, TransactionRequestTable*,
                       std::chrono::system_clock::time_point) override {
    events.push_back("notify " + std::to_string(txn_id));
    updates->clear();
    deletes->clear();
  }
  std::vector<std::string> events;
};

class JournalReply : public WriteReply {
 public:
  JournalReply(Journal* journal, std::string name) : journal_(journal), name_(std::move(name)) {}
  void Respond() override {
    journal_->events.push_back("respond " + name_);
    responded = true;
  }
  void Fail(const Status& status) override {
    journal_->events.push_back("fail " + name_);
    failure = status;
  }
  Status failure;
  bool responded = false;

 private:
  Journal* const journal_;
  const std::string name_;
};

// The write machinery on a database over a FaultEnv, with a syncer thread
// that reports to TestLoop.
class GroupCommitTest : public WriteTransactionsTest {
 protected:
  void SetUp() override {
    WriteTransactionsTest::SetUp();
    env_.EnablePowerLossModel();
    Restart();
  }
  void TearDown() override {
    env_.SetLogSyncHook(nullptr);
    StopAll();
    WriteTransactionsTest::TearDown();
  }

  void StopAll() {
    if (commits_) commits_->StopSyncer();
    loop_.Drop();
    Stop();
  }
  // Stops the machinery and opens it again on the same database.
  void Restart() {
    StopAll();
    db_.reset();
    db_ = OpenDb(&env_);
    Start();
    // As the server starts: the id goes past every logged one.
    log_store_->SetCurrentLogSize();
    ids_->AdvancePastLoggedTxnId(log_store_->highest_logged_txn_id());
    txn_ = std::make_unique<WriteTransactions>(&schema_, db_.get(), ids_.get(), log_store_.get(),
                                               vdbs_.get(), stats_.get(), metrics_.get(),
                                               &telemetry_, &journal_, commits_.get());
    commits_->StartSyncer(loop_.Poster());
  }
  // One Put stream of the devices `first` to `first + count - 1`.
  void Put(JournalReply* reply, int first, int count, bool sync) {
    std::list<tx::PutRequestMsg> requests(1);
    for (int n = first; n < first + count; ++n) {
      *requests.back().add_puts() = PutEntry(kDevice, Device(n));
    }
    requests.back().set_sync(sync);
    txn_->Run(kAdmin, reply, &requests);
  }
  size_t DevicesStored(int first, int count) {
    const auto stored = Stored(kDevice);
    size_t found = 0;
    for (int n = first; n < first + count; ++n) found += stored.count(IdOf(kDevice, Device(n)));
    return found;
  }

  FaultEnv env_;
  TestLoop loop_;
  Journal journal_;
};

TEST_F(GroupCommitTest, DurableTransactionIsAnsweredAndNotifiedOnlyAfterItsSync) {
  SyncGate gate;
  env_.SetLogSyncHook(gate.Hook());
  JournalReply durable(&journal_, "durable");
  JournalReply later(&journal_, "later");
  Put(&durable, 1, 2, true);
  gate.WaitForSync();
  // Written, readable, but neither answered nor notified while the sync runs.
  EXPECT_EQ(DevicesStored(1, 2), 2u);
  EXPECT_TRUE(journal_.events.empty());
  // A transaction without sync is answered at once, but notified after the
  // one before it.
  Put(&later, 3, 1, false);
  EXPECT_EQ(journal_.events, (std::vector<std::string>{"respond later"}));
  EXPECT_EQ(commits_->waiting(), 2u);
  EXPECT_TRUE(commits_->answers_pending());  // what a stopping server waits for
  loop_.Run(false);
  EXPECT_EQ(journal_.events.size(), 1u);

  gate.Open();
  while (commits_->waiting() > 0) loop_.Run(true);
  EXPECT_EQ(journal_.events, (std::vector<std::string>{"respond later", "respond durable",
                                                       "notify 1", "notify 2"}));
  EXPECT_EQ(commits_->waiting(), 0u);
  EXPECT_FALSE(commits_->answers_pending());
}

// However many are ready, a loop turn notifies one transaction: other calls
// go on between them.
TEST_F(GroupCommitTest, TransactionsAreNotifiedOneALoopTurn) {
  JournalReply first(&journal_, "first");
  JournalReply second(&journal_, "second");
  JournalReply third(&journal_, "third");
  Put(&first, 1, 1, false);
  Put(&second, 2, 1, false);
  Put(&third, 3, 1, false);
  EXPECT_EQ(journal_.events.size(), 3u);  // answered at once
  for (size_t left = 2; commits_->waiting() > 0; --left) {
    EXPECT_EQ(loop_.Run(false), 1u);
    EXPECT_EQ(commits_->waiting(), left);
  }
  EXPECT_EQ(journal_.events.size(), 6u);
}

TEST_F(GroupCommitTest, AStepRunsInOrderBetweenTheTransactionsAroundIt) {
  // Nothing waits: the step runs in the next loop turn, as notifications do,
  // so that what this turn answered leaves first.
  commits_->RunInOrder(
      [this] {
        journal_.events.push_back("step 0");
        return true;
      },
      nullptr);
  EXPECT_TRUE(journal_.events.empty());
  loop_.Run(false);
  EXPECT_EQ(journal_.events, std::vector<std::string>{"step 0"});
  journal_.events.clear();

  SyncGate gate;
  env_.SetLogSyncHook(gate.Hook());
  JournalReply durable(&journal_, "durable");
  JournalReply later(&journal_, "later");
  Put(&durable, 1, 1, true);
  gate.WaitForSync();
  commits_->RunInOrder(
      [this] {
        journal_.events.push_back("step");
        return true;
      },
      nullptr);
  Put(&later, 2, 1, false);
  EXPECT_EQ(journal_.events, std::vector<std::string>{"respond later"});
  gate.Open();
  while (commits_->waiting() > 0) loop_.Run(true);
  EXPECT_EQ(journal_.events, (std::vector<std::string>{"respond later", "respond durable",
                                                       "notify 1", "step", "notify 2"}));
}

TEST_F(GroupCommitTest, AStepInPartsHoldsTheNotificationsBehindItUntilItsLastPart) {
  int parts = 0;
  commits_->RunInOrder(
      [&] {
        journal_.events.push_back("part " + std::to_string(++parts));
        return parts == 3;
      },
      nullptr);
  JournalReply later(&journal_, "later");
  Put(&later, 1, 1, false);
  while (commits_->waiting() > 0) loop_.Run(true);
  EXPECT_EQ(journal_.events, (std::vector<std::string>{"respond later", "part 1", "part 2",
                                                       "part 3", "notify 1"}));
}

TEST_F(GroupCommitTest, AFailedSyncStopsEveryNotificationBehindIt) {
  int stopped = 0;
  commits_->set_on_notifications_stopped([&stopped] { ++stopped; });
  SyncGate gate;
  env_.SetLogSyncHook(gate.Hook());
  JournalReply durable(&journal_, "durable");
  JournalReply later(&journal_, "later");
  Put(&durable, 1, 1, true);
  gate.WaitForSync();
  const auto step = [this] {
    journal_.events.push_back("step");
    return true;
  };
  const auto dropped = [this] { journal_.events.push_back("dropped"); };
  commits_->RunInOrder(step, dropped);
  Put(&later, 2, 1, false);  // answered at once; it may build on the lost write
  env_.FailLogSyncs(true);
  gate.Open();
  while (commits_->waiting() > 0) loop_.Run(true);
  EXPECT_EQ(journal_.events,
            (std::vector<std::string>{"respond later", "fail durable", "dropped"}));
  EXPECT_EQ(stopped, 1);
  const size_t events = journal_.events.size();
  commits_->RunInOrder(step, dropped);  // from now on at once
  EXPECT_EQ(journal_.events.size(), events + 1);
  EXPECT_EQ(journal_.events.back(), "dropped");
  env_.FailLogSyncs(false);
}

// A transaction whose notification throws, as a failure no monitor
// explains would.
class ThrowingTransaction : public CommittedTransaction {
 public:
  void Answer(const Status&) override {}
  bool Notify() override { throw std::runtime_error("injected notification failure"); }
};

TEST_F(GroupCommitTest, ANotificationThatThrowsHoldsUpNothingBehindIt) {
  commits_->Commit(false, std::make_unique<ThrowingTransaction>());
  JournalReply later(&journal_, "later");
  Put(&later, 1, 1, false);
  while (commits_->waiting() > 0) loop_.Run(true);
  ASSERT_EQ(journal_.events.size(), 2u);
  EXPECT_EQ(journal_.events[0], "respond later");
  EXPECT_EQ(journal_.events[1].rfind("notify ", 0), 0u);
  EXPECT_TRUE(HasLine("ERROR", "DRX0303",
                      "Notifying a committed transaction failed: injected notification failure"));
}

// The syncer answers one transaction and fails the next sync before the
// loop has run the first one's notification: the first is still told.
TEST_F(GroupCommitTest, ATransactionAnsweredBeforeAFailedSyncIsStillNotified) {
  std::mutex mu;
  std::condition_variable changed;
  int arrived = 0;
  bool open = false;
  env_.SetLogSyncHook([&] {
    std::unique_lock<std::mutex> lock(mu);
    if (++arrived == 2) {
      env_.FailLogSyncs(true);
      return;
    }
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
  });
  JournalReply first(&journal_, "1"), second(&journal_, "2");
  Put(&first, 1, 1, true);
  {
    std::unique_lock<std::mutex> lock(mu);
    changed.wait(lock, [&] { return arrived == 1; });
  }
  Put(&second, 2, 1, true);
  {
    std::lock_guard<std::mutex> lock(mu);
    open = true;
    changed.notify_all();
  }
  loop_.WaitForTasks(2);  // both syncs' results, in one turn
  while (commits_->waiting() > 0) loop_.Run(true);
  loop_.Run(false);
  EXPECT_EQ(journal_.events, (std::vector<std::string>{"respond 1", "notify 1", "fail 2"}));
  env_.FailLogSyncs(false);
}

TEST_F(GroupCommitTest, TransactionsThatCameDuringASyncShareTheNext) {
  SyncGate gate;
  env_.SetLogSyncHook(gate.Hook());
  const int syncs = env_.log_syncs();
  JournalReply first(&journal_, "1"), second(&journal_, "2"), third(&journal_, "3");
  Put(&first, 1, 1, true);
  gate.WaitForSync();
  Put(&second, 2, 1, true);
  Put(&third, 3, 1, true);
  gate.Open();
  while (commits_->waiting() > 0) loop_.Run(true);
  EXPECT_TRUE(AnsweredThenNotifiedInOrder(journal_.events, {"1", "2", "3"}))
      << ::testing::PrintToString(journal_.events);
  EXPECT_EQ(env_.log_syncs() - syncs, 2);
}

TEST_F(GroupCommitTest, ABusySyncerSyncsTheNextTransactionWithoutWaitingForTheLoop) {
  SyncGate gate;
  env_.SetLogSyncHook(gate.Hook());
  const int syncs = env_.log_syncs();
  JournalReply first(&journal_, "1"), second(&journal_, "2");
  Put(&first, 1, 1, true);
  gate.WaitForSync();
  Put(&second, 2, 1, true);
  gate.Open();
  // The loop has not heard of the first sync, yet the second one runs.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (env_.log_syncs() - syncs < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(env_.log_syncs() - syncs, 2);
  EXPECT_TRUE(journal_.events.empty());
  while (commits_->waiting() > 0) loop_.Run(true);
  EXPECT_TRUE(AnsweredThenNotifiedInOrder(journal_.events, {"1", "2"}))
      << ::testing::PrintToString(journal_.events);
}

TEST_F(GroupCommitTest, WithoutTheSyncerASyncRunsInlineAndAFailedRequestHoldsNothingUp) {
  commits_->StopSyncer();
  JournalReply durable(&journal_, "durable");
  const int syncs = env_.log_syncs();
  Put(&durable, 1, 1, true);
  // Answered and notified before Put returned, without the syncer.
  EXPECT_EQ(journal_.events, (std::vector<std::string>{"respond durable", "notify 1"}));
  EXPECT_EQ(env_.log_syncs() - syncs, 1);

  // An id taken by a refused request frees its place in the order at once.
  SyncGate gate;
  env_.SetLogSyncHook(gate.Hook());
  JournalReply refused(&journal_, "refused"), next(&journal_, "next");
  std::list<tx::PutRequestMsg> empty;
  txn_->Run(kAdmin, &refused, &empty);
  Put(&next, 2, 1, false);
  EXPECT_EQ(journal_.events, (std::vector<std::string>{"respond durable", "notify 1",
                                                       "fail refused", "respond next",
                                                       "notify 3"}));
  gate.Open();
}

TEST_F(GroupCommitTest, FailedSyncAnswersNoCoveredTransactionAndRefusesLaterWrites) {
  for (int streams : {1, 3}) {  // inline without the syncer, and on the syncer
    SCOPED_TRACE(streams);
    journal_.events.clear();
    SyncGate gate;
    env_.SetLogSyncHook(gate.Hook());
    if (streams == 1) commits_->StopSyncer();
    const int first = streams * 100;
    JournalReply durable(&journal_, "durable"), other(&journal_, "other");
    if (streams == 1) {
      gate.Open();
      env_.FailLogSyncs(true);
      Put(&durable, first, 3, true);
    } else {
      Put(&durable, first, 3, true);
      gate.WaitForSync();
      env_.FailLogSyncs(true);
      Put(&other, first + 10, 3, true);  // waits for the next sync
      gate.Open();
      while (commits_->waiting() > 0) loop_.Run(true);
      EXPECT_EQ(other.failure.code(), Status::kInternal);
    }
    EXPECT_EQ(durable.failure.code(), Status::kInternal);
    EXPECT_NE(durable.failure.message().find("the write may not be durable"), std::string::npos)
        << durable.failure.message();
    EXPECT_TRUE(HasLine("ERROR", "DRX0108",
                        "Syncing the database log failed: IO error: injected sync failure"));
    for (const std::string& event : journal_.events) {
      EXPECT_EQ(event.find("respond"), std::string::npos) << event;
      EXPECT_EQ(event.find("notify"), std::string::npos) << event;
    }

    // Later writes are refused, without taking an id, until a restart.
    const uint64_t id = ids_->txn_id();
    JournalReply refused(&journal_, "refused");
    Put(&refused, first + 20, 1, false);
    EXPECT_EQ(refused.failure.code(), Status::kInternal);
    EXPECT_NE(refused.failure.message().find("restart"), std::string::npos);
    EXPECT_EQ(ids_->txn_id(), id);
    EXPECT_EQ(DevicesStored(first + 20, 1), 0u);

    env_.FailLogSyncs(false);
    env_.SetLogSyncHook(nullptr);
    Restart();
    // Each transaction is there whole or not at all.
    for (int start : {first, first + 10}) {
      const size_t found = DevicesStored(start, 3);
      EXPECT_TRUE(found == 0 || found == 3) << start << ": " << found;
    }
    JournalReply after(&journal_, "after");
    journal_.events.clear();
    Put(&after, first + 30, 1, true);
    while (commits_->waiting() > 0) loop_.Run(true);
    EXPECT_EQ(after.failure.code(), Status::kOk);
  }
}

// Transactions of several objects each, some durable, on a syncer thread
// whose answers the loop takes at random moments; then the power goes and
// the database opens on what reached the disk. Some transactions are large,
// so that LevelDB replaces its log file on the way.
TEST_F(GroupCommitTest, PowerLossKeepsEveryAcknowledgedDurableTransactionWhole) {
  std::mt19937 random(20240611);
  constexpr int kObjects = 4;
  int next_device = 1;
  size_t acknowledged_durable = 0;
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    struct Sent {
      int first;
      bool sync;
      std::unique_ptr<JournalReply> reply;
    };
    std::vector<Sent> sent;
    const int count = 20 + static_cast<int>(random() % 40);
    for (int i = 0; i < count; ++i) {
      const bool sync = random() % 3 != 0;
      sent.push_back({next_device, sync, std::make_unique<JournalReply>(&journal_, "")});
      std::list<tx::PutRequestMsg> requests(1);
      const std::string padding(random() % 6 == 0 ? 200000 : 10, 'x');
      for (int n = next_device; n < next_device + kObjects; ++n) {
        *requests.back().add_puts() = PutEntry(kDevice, Device(n, padding));
      }
      requests.back().set_sync(sync);
      txn_->Run(kAdmin, sent.back().reply.get(), &requests);
      next_device += kObjects;
      if (random() % 4 == 0) loop_.Run(false);
    }
    if (random() % 2 == 0) loop_.Run(true);
    journal_.events.clear();
    const uint64_t last_id = ids_->txn_id();

    env_.PowerLoss();
    size_t durable = 0;
    for (const Sent& txn : sent) {
      ASSERT_EQ(txn.reply->failure.code(), Status::kOk);
      if (txn.sync && txn.reply->responded) ++durable;
    }
    StopAll();
    db_.reset();
    ASSERT_TRUE(env_.DropUnsyncedData().ok());
    Restart();

    bool gone = false;
    for (size_t i = 0; i < sent.size(); ++i) {
      const size_t found = DevicesStored(sent[i].first, kObjects);
      ASSERT_TRUE(found == 0 || found == static_cast<size_t>(kObjects))
          << "transaction " << i << " is half there: " << found;
      // The log is replayed in order: what is there is a prefix.
      if (found == 0) gone = true;
      ASSERT_FALSE(gone && found != 0) << "transaction " << i << " outlived an earlier one";
      if (sent[i].sync && sent[i].reply->responded) {
        ASSERT_EQ(found, static_cast<size_t>(kObjects))
            << "acknowledged durable transaction " << i << " was lost";
      }
    }
    // Ids go on past every transaction that is there, and past every id
    // handed out before the power went, lost with its write or not.
    EXPECT_GE(ids_->txn_id(), log_store_->highest_logged_txn_id());
    EXPECT_GE(ids_->txn_id(), last_id);
    acknowledged_durable += durable;
  }
  // The rounds did acknowledge durable transactions before the power went.
  EXPECT_GT(acknowledged_durable, 0u);
}

}  // namespace
}  // namespace tarnix
