#include "write/group_commit.h"

#include <exception>
#include <utility>

#include "logging/logger.h"
#include "storage/db_access.h"

namespace tarnix {

GroupCommit::GroupCommit(DbAccess* db) : db_(db) {}

GroupCommit::~GroupCommit() { StopSyncer(); }

void GroupCommit::StartSyncer(PostToLoop post) {
  if (syncer_.joinable()) return;
  post_ = std::move(post);
  notify_posted_ = false;  // a loop that dropped an earlier post runs none
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = false;
    requested_ = 0;
  }
  syncer_ = std::thread(&GroupCommit::SyncerMain, this);
}

void GroupCommit::StopSyncer() {
  if (!syncer_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_one();
  syncer_.join();
  // What the syncer was asked and never answered stays unanswered; inline
  // syncs take over.
}

void GroupCommit::Commit(bool sync, std::unique_ptr<CommittedTransaction> txn) {
  if (!sync) {
    txn->Answer(Status());
    waiting_.push_back({0, std::move(txn)});
    ScheduleNotify();
    return;
  }
  const uint64_t ticket = ++last_ticket_;
  if (!syncer_.joinable()) {
    const DbAccessStatus synced = db_->SyncLog();
    waiting_.push_back({ticket, std::move(txn)});
    OnSynced(ticket, synced);
    return;
  }
  waiting_.push_back({ticket, std::move(txn)});
  // A busy syncer takes the new ticket as soon as its sync returns, without
  // waiting for the loop to hear of that sync.
  bool idle;
  {
    std::lock_guard<std::mutex> lock(mu_);
    requested_ = ticket;
    idle = syncer_idle_;
  }
  if (idle) wake_.notify_one();
}

namespace {

// A step that rides the notification order: nothing to answer.
class OrderedStep : public CommittedTransaction {
 public:
  OrderedStep(std::function<bool()> step, std::function<void()> dropped)
      : step_(std::move(step)), dropped_(std::move(dropped)) {}
  void Answer(const Status&) override {}
  bool Notify() override { return step_(); }
  void Drop() override {
    if (dropped_) dropped_();
  }

 private:
  std::function<bool()> step_;
  std::function<void()> dropped_;
};

}  // namespace

void GroupCommit::RunInOrder(std::function<bool()> step, std::function<void()> dropped) {
  if (!refusal_.ok()) {  // notification has stopped
    if (dropped) dropped();
    return;
  }
  Commit(false, std::make_unique<OrderedStep>(std::move(step), std::move(dropped)));
}

void GroupCommit::OnSynced(uint64_t ticket, const DbAccessStatus& synced) {
  if (!synced.ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0108", "Syncing the database log failed: %s",
               synced.message.c_str());
    const Status status = Status::Internal(
        "Syncing the database log failed, the write may not be durable: " + synced.message);
    // A later sync of the same file may report success for data this one
    // lost: nothing still waiting is answered with success, and nothing is
    // synced again.
    if (refusal_.ok()) {
      refusal_ = Status::Internal(
          "Writes are refused after a failed sync of the database log; restart the daemon");
    }
    // What was answered with success before this sync is still told.
    NotifyInOrder(true);
    std::deque<Waiting> stopped;
    stopped.swap(waiting_);
    for (Waiting& waiting : stopped) {
      if (waiting.ticket != 0) waiting.txn->Answer(status);
    }
    for (Waiting& waiting : stopped) waiting.txn->Drop();
    synced_ticket_ = last_ticket_;
    if (on_notifications_stopped_) {
      std::function<void()> stopped_callback = std::move(on_notifications_stopped_);
      on_notifications_stopped_ = nullptr;
      stopped_callback();
    }
    return;
  }
  if (ticket > synced_ticket_) synced_ticket_ = ticket;
  for (Waiting& waiting : waiting_) {
    if (waiting.ticket != 0 && waiting.ticket <= synced_ticket_) {
      waiting.ticket = 0;
      waiting.txn->Answer(Status());
    }
  }
  ScheduleNotify();
}

void GroupCommit::ScheduleNotify() {
  if (!syncer_.joinable()) {
    NotifyInOrder(true);
    return;
  }
  if (notify_posted_) return;
  notify_posted_ = true;
  post_([this] {
    notify_posted_ = false;
    NotifyInOrder(false);
  });
}

void GroupCommit::NotifyInOrder(bool all) {
  while (!waiting_.empty() && waiting_.front().ticket == 0) {
    std::unique_ptr<CommittedTransaction> txn = std::move(waiting_.front().txn);
    waiting_.pop_front();
    // One transaction that cannot be told must not hold up those behind it.
    try {
      if (!txn->Notify()) {
        // It goes on at a later turn, still first in the order.
        waiting_.push_front({0, std::move(txn)});
        if (!syncer_.joinable()) continue;
        ScheduleNotify();
        return;
      }
    } catch (const std::exception& e) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0303", "Notifying a committed transaction failed: %s",
                 e.what());
    } catch (...) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0303",
                 "Notifying a committed transaction failed: unknown exception");
    }
    // One a turn: calls that came meanwhile go on before the next.
    if (!all && !waiting_.empty() && waiting_.front().ticket == 0) {
      ScheduleNotify();
      return;
    }
  }
}

void GroupCommit::SyncerMain() {
  uint64_t done = 0;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    // Transactions that came during a sync share the next one.
    syncer_idle_ = true;
    wake_.wait(lock, [&] { return stop_ || requested_ > done; });
    syncer_idle_ = false;
    if (stop_) return;
    const uint64_t ticket = requested_;
    lock.unlock();
    // Every write of a ticket up to `ticket` returned before it was asked
    // for, so this sync covers them all.
    const DbAccessStatus synced = db_->SyncLog();
    post_([this, ticket, synced] { OnSynced(ticket, synced); });
    lock.lock();
    done = ticket;
    if (!synced.ok()) done = UINT64_MAX;  // nothing is synced again
  }
}

}  // namespace tarnix
