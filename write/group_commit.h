#ifndef TARNIX_WRITE_GROUP_COMMIT_H_
#define TARNIX_WRITE_GROUP_COMMIT_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "util/status.h"
#include "storage/db_access_status.h"

namespace tarnix {

class DbAccess;

// A write transaction whose batch is written: what is left is its answer and
// its notification.
class CommittedTransaction {
 public:
  virtual ~CommittedTransaction() = default;
  // Answers the client: `status` is SUCCESS, or the failure of the sync that
  // was to make the transaction durable.
  virtual void Answer(const Status& status) = 0;
  // Tells the monitors of the transaction's changes; only after a successful
  // Answer. False when it needs another turn of the loop to finish: it is
  // called again at a later turn, before any later transaction is told.
  virtual bool Notify() = 0;
  // Instead of Notify, once a sync failed: its changes are never told.
  virtual void Drop() {}
};

// Group commit of durable write transactions. Every batch is written
// without sync, so the next transaction reads it at once; a transaction that
// asked for sync is answered only once a sync of the database log that
// covers its write has returned. One syncer thread runs those syncs while
// the event loop goes on, so transactions that arrive during one sync share
// the next. A lone client pays the hand-off to the syncer and back, which
// measured no slower than syncing inline (the sync dominates).
//
// Notifications leave in commit order, which is transaction-id order (ids
// are taken and batches written one body at a time), never before the
// transaction's own answer and never for one whose sync has not returned;
// once the syncer runs, one transaction a loop turn. A
// transaction that fails before its commit never enters the order, so
// nothing waits on its id.
//
// After a failed sync no transaction it could cover is answered with
// success, and Writable() refuses every later write until the daemon
// restarts. Nor is any transaction still waiting notified, with or without
// sync: their changes may build on what the sync lost. They are dropped,
// and the stop callback runs once.
//
// Everything but the sync itself runs on the event-loop thread; not
// thread-safe otherwise. `db` is not owned and must outlive this object.
class GroupCommit {
 public:
  // Runs a task on the event-loop thread soon; callable from any thread. A
  // task it drops (the loop has stopped) is never run.
  using PostToLoop = std::function<void(std::function<void()>)>;

  explicit GroupCommit(DbAccess* db);
  // Stops the syncer; transactions still waiting are dropped unanswered.
  ~GroupCommit();
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;

  // Starts the syncer thread, which hands its results back through `post`;
  // notifications then run in tasks posted the same way. Until then every
  // sync and notification runs inline. No posted task may outlive this
  // object.
  void StartSyncer(PostToLoop post);
  // Joins the syncer thread. Results not yet handed back are dropped.
  void StopSyncer();

  // SUCCESS, or the refusal of every write after a failed sync.
  const Status& Writable() const { return refusal_; }

  // Runs once, on the loop, when a failed sync has stopped notification.
  void set_on_notifications_stopped(std::function<void()> stopped) {
    on_notifications_stopped_ = std::move(stopped);
  }

  // Takes over the committed transaction `txn`. Without `sync` it is
  // answered at once; with it, after a sync covering its write. Either way
  // it is notified in order after its answer. REQUIRES: Writable().
  void Commit(bool sync, std::unique_ptr<CommittedTransaction> txn);

  // Runs `step` in the notification order as if it were a transaction
  // committed now: after every transaction committed before it has been
  // notified (at once when none waits), before any committed after it. A
  // step needs no sync of its own. Monitors use it to take effect between
  // the transactions their snapshot holds and those it does not. A step
  // that returns false runs again at a later turn, still ahead of every
  // later transaction, so that long work goes in bounded parts while the
  // loop serves other calls. When a failed sync stops notification before
  // the step has finished, `dropped` runs instead.
  void RunInOrder(std::function<bool()> step, std::function<void()> dropped);

  // Transactions answered or waiting whose notification has not left.
  size_t waiting() const { return waiting_.size(); }
  // Whether a committed transaction waits for the sync that answers it.
  bool answers_pending() const { return synced_ticket_ < last_ticket_; }

 private:
  struct Waiting {
    uint64_t ticket;  // 0: not waiting for a sync
    std::unique_ptr<CommittedTransaction> txn;
  };

  // On the loop: a sync covering every ticket up to `ticket` returned.
  void OnSynced(uint64_t ticket, const DbAccessStatus& synced);
  // Notifies every answered transaction at the front of the order: in
  // later loop turns once the syncer runs, one a turn, so that the answers
  // leave first instead of waiting for the notifications to be built, and
  // other calls go on between transactions.
  void ScheduleNotify();
  // Notifies the answered transactions at the front of the order: all of
  // them when `all`, else the first, posting the next turn's.
  void NotifyInOrder(bool all);
  void SyncerMain();

  DbAccess* const db_;
  PostToLoop post_;
  Status refusal_;
  std::function<void()> on_notifications_stopped_;
  std::deque<Waiting> waiting_;
  uint64_t last_ticket_ = 0;    // of the last sync transaction committed
  uint64_t synced_ticket_ = 0;  // the loop's view: covered by a returned sync
  bool notify_posted_ = false;

  // Shared with the syncer thread.
  std::mutex mu_;
  std::condition_variable wake_;
  uint64_t requested_ = 0;  // sync at least up to this ticket
  bool syncer_idle_ = false;  // waiting for a ticket past its last sync
  bool stop_ = false;
  std::thread syncer_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_GROUP_COMMIT_H_
