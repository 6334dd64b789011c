// The Monitor and ConfigureMonitor handlers of the data service.
//
// Each takes a transaction id and a storage snapshot in one loop turn and
// checks what needs no statement; the rest (the statements' checks, the
// scans of that snapshot, the subscriptions and the snapshot's write) takes
// effect in the group commit's notification order under that id, a slice
// of where clauses per loop turn while later transactions wait. So a
// monitor sees each transaction once: in its snapshot when the id is lower,
// as a notification when it is higher. The snapshot itself is scanned as
// the client reads it (MonitorStream).

#include <algorithm>
#include <cstdint>
#include <exception>
#include <set>
#include <string>
#include <utility>

#include <boost/format.hpp>
#include <openssl/rand.h>

#include "logging/logger.h"
#include "monitor/monitor_snapshot.h"
#include "platform/util/strings.h"
#include "server/rpc_status.h"
#include "server/tarnix_server.h"
#include "util/heap_release.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

namespace {

// How every monitor ends once a failed sync stopped notification.
constexpr char kNotificationsStopped[] =
    "Monitor notifications stopped because the database log could not be synced; reopen the "
    "monitor once the daemon has restarted";

// Longer ids are refused: every monitor keeps its id in several maps.
constexpr size_t kMaxMonitorIdBytes = 1024;

bool GenerateMonitorId(std::string* id) {
  uint64_t words[2];
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&words[0]), sizeof words[0]) != 1 ||
      RAND_bytes(reinterpret_cast<unsigned char*>(&words[1]), sizeof words[1]) != 1) {
    return false;
  }
  *id = UuidToString(words[0], words[1]);
  return true;
}

std::string ConfigureNotFound(const std::string& monitor_id) {
  return (boost::format("ConfigureMonitor operation failed: The operation failed because a "
                        "monitor with request_id %1% was not found") %
          monitor_id)
      .str();
}

}  // namespace

// A checked Monitor call, waiting for its turn.
struct TarnixServer::MonitorOpening {
  std::string monitor_id;
  std::string client_id;
  uint64_t txn_id;
  VdbId vdb_id;
  CallPtr<tx::MonitorResponseMsg> call;
  DbAccess::SnapshotHolder snapshot;
  tx::MonitorRequestMsg request;
  // In its turn, over as many as it takes: the statements checked, the
  // snapshot's scans prepared, the subscriptions made.
  MonitorStatements::Progress checked;
  MonitorStatementRecords added;
  bool started = false;
  SnapshotScans scans;
  MonitorStatements::ConfigureProgress configured;
};

// A checked ConfigureMonitor call, waiting for its turn.
struct TarnixServer::MonitorChange {
  std::string monitor_id;
  std::string client_id;
  uint64_t txn_id;
  CallPtr<tx::ConfigureMonitorResponseMsg> call;
  // The Monitor call it changes; held, so that no later call takes its place
  // in memory.
  MonitorStream::Call stream;
  DbAccess::SnapshotHolder snapshot;
  tx::ConfigureMonitorRequestMsg request;
  // In its turn, as MonitorOpening: the delete list, the updates and the
  // add list checked in this order.
  MonitorStatements::Progress deletes_checked;
  MonitorStatements::Progress updates_checked;
  MonitorStatements::Progress adds_checked;
  MonitorStatementRecords added;
  MonitorStatementRecords deleted;
  WhereClauseUpdateRecords updated;
  bool started = false;
  SnapshotScans scans;
  MonitorStatements::ConfigureProgress configured;
};

orv::rpc::AppStatus TarnixServer::StartMonitorTransaction(const orv::rpc::CallContext& context,
                                                          const char* operation, uint64_t* txn_id) {
  const Status& writable = group_commit_.Writable();
  if (!writable.ok()) return ToAppStatus(writable);
  if (!txn_ids_.GetNextTxnId(txn_id)) {
    return orv::rpc::INTERNAL("Unable to generate transaction id");
  }
  return Authenticate(context, operation);
}

void TarnixServer::Monitor(orv::rpc::CallContext& context, const tx::MonitorRequestMsg& request,
                           const CallPtr<tx::MonitorResponseMsg>& call) {
  std::string monitor_id = request.monitor_request_id();
  if (!request.has_monitor_request_id()) {
    if (!GenerateMonitorId(&monitor_id)) {
      call->Fail(orv::rpc::INTERNAL("Unable to generate monitor_request_id"));
      return;
    }
    TARNIX_LOG(orv::INFO, nullptr,
               "Monitor: monitor_request_id not provided, randomly generated "
               "monitor_request_id=%s",
               monitor_id.c_str());
  } else if (monitor_id.size() > kMaxMonitorIdBytes) {
    call->Fail(orv::rpc::INVALID_ARGUMENT("monitor_request_id is longer than 1024 bytes"));
    return;
  }
  if (monitor_streams_.count(monitor_id) > 0) {
    const std::string message = "The operation failed because the monitor with monitor_id '" +
                                monitor_id + "' already exists";
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0302", "%s", message.c_str());
    call->Fail(orv::rpc::INVALID_ARGUMENT(message));
    return;
  }
  auto opening = std::make_shared<MonitorOpening>();
  opening->monitor_id = monitor_id;
  opening->client_id = context.client_id();
  opening->call = call;
  const orv::rpc::AppStatus started =
      StartMonitorTransaction(context, "Monitor operation", &opening->txn_id);
  if (!started.ok()) {
    call->Fail(started);
    return;
  }
  TARNIX_LOG(orv::INFO, nullptr, "Monitor: TransactionID='%lu' Client ID=%s",
             static_cast<unsigned long>(opening->txn_id), opening->client_id.c_str());
  if (!ResolveReadVdb(request.has_vdb_id(), request.vdb_id(), &opening->vdb_id)) {
    call->Fail(orv::rpc::FAILED_PRECONDITION("no mapping for vdb_id found"));
    return;
  }
  opening->request = request;
  opening->snapshot = db_access_->GetSnapshot();

  // The id is taken from now on, also while the monitor waits for its turn.
  const orv::rpc::ServerCall* handle = call.get();
  context.set_completion_callback([this, monitor_id, handle](const orv::rpc::Status& status) {
    OnClientDisconnect(monitor_id, handle, status);
  });
  // Once it has ended, matching passes over it while its subscriptions go.
  const auto ended = [this, monitor_id, handle] {
    auto stream = monitor_streams_.find(monitor_id);
    if (stream != monitor_streams_.end() && stream->second->call().get() == handle) {
      monitor_engine_.WithdrawMonitor(monitor_id);
    }
  };
  monitor_streams_.emplace(
      monitor_id, std::make_unique<MonitorStream>(schema_, call, opening->vdb_id,
                                                  opening->client_id, loop_poster_,
                                                  read_slice_records_, ended));
  group_commit_.RunInOrder(
      [this, opening] { return RunMonitorStep([&] { return OpenMonitor(*opening); }); },
      [this, opening] {
        auto stream = monitor_streams_.find(opening->monitor_id);
        if (stream != monitor_streams_.end() && stream->second->call() == opening->call) {
          monitor_streams_.erase(stream);
          // It may have subscribed part of its clauses.
          monitor_engine_.DeleteSubscriptions(opening->monitor_id, "");
        }
        opening->call->Fail(orv::rpc::UNAVAILABLE(kNotificationsStopped));
      });
}

bool TarnixServer::OpenMonitor(MonitorOpening& opening) {
  auto stream = monitor_streams_.find(opening.monitor_id);
  if (stream == monitor_streams_.end() || stream->second->call() != opening.call) {
    return true;  // gone; its end took what it had subscribed
  }
  const auto refuse = [&](const Status& status) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED", "Monitor operation failed: %s",
               status.ToString().c_str());
    monitor_streams_.erase(stream);
    opening.call->Fail(ToAppStatus(status));
    return true;
  };
  try {
    // Many clauses are checked and subscribed over several turns; the
    // transactions behind this one wait for the last.
    const auto& statements = opening.request.statements();
    if (opening.checked.item < static_cast<size_t>(statements.size())) {
      size_t budget = read_slice_records_;
      const Status checked = monitor_statements_.ValidateMonitorStatements(
          opening.client_id, opening.monitor_id, statements, &opening.added, &budget,
          &opening.checked);
      if (!checked.ok()) return refuse(checked);
      if (opening.checked.item < static_cast<size_t>(statements.size())) return false;
    }
    if (!opening.started) {
      const Status scanned = monitor_statements_.AddMonitorStatements(
          opening.monitor_id, opening.vdb_id, opening.snapshot, opening.added,
          MonitorStatementRecords(), &opening.scans);
      opening.snapshot.reset();
      if (!scanned.ok()) return refuse(scanned);
      monitor_engine_.AddMonitor(opening.monitor_id, opening.vdb_id);
      opening.started = true;
    }
    if (!monitor_statements_.ConfigureSubscriptions(
            opening.monitor_id, opening.added, MonitorStatementRecords(),
            WhereClauseUpdateRecords(), read_slice_records_, &opening.configured)) {
      return false;
    }
    OrderMonitorUpdates(*schema_, &type_order_, &opening.scans);
    stream->second->WriteSnapshot(
        std::make_unique<MonitorSnapshot>(schema_, opening.txn_id, std::move(opening.scans)),
        nullptr);
    monitor_clients_.emplace(opening.monitor_id, opening.client_id);
  } catch (const std::exception& e) {
    // Never into the transaction whose release ran this.
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0303", "Monitor operation failed: %s", e.what());
    monitor_streams_.erase(opening.monitor_id);
    monitor_engine_.DeleteSubscriptions(opening.monitor_id, "");
    opening.call->Fail(orv::rpc::INTERNAL("Internal error"));
    return true;
  }
  TARNIX_LOG(orv::INFO, nullptr,
             "Monitor: TransactionID='%lu' Client ID=%s: Monitor for monitor_request_id='%s' "
             "successfully created",
             static_cast<unsigned long>(opening.txn_id), opening.client_id.c_str(),
             opening.monitor_id.c_str());
  return true;
}

void TarnixServer::ConfigureMonitor(orv::rpc::CallContext& context,
                                    const tx::ConfigureMonitorRequestMsg& request,
                                    const CallPtr<tx::ConfigureMonitorResponseMsg>& call) {
  if (!request.has_monitor_request_id()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "Invalid argument; monitor_request_id is required");
    call->Fail(
        orv::rpc::INVALID_ARGUMENT("ConfigureMonitor failed: monitor_request_id not provided"));
    return;
  }
  const std::string& monitor_id = request.monitor_request_id();
  auto stream = monitor_streams_.find(monitor_id);
  if (stream == monitor_streams_.end()) {
    const std::string message = ConfigureNotFound(monitor_id);
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0009", "%s", message.c_str());
    call->Fail(orv::rpc::INVALID_ARGUMENT(message));
    return;
  }
  auto change = std::make_shared<MonitorChange>();
  change->monitor_id = monitor_id;
  change->client_id = context.client_id();
  change->call = call;
  const orv::rpc::AppStatus started =
      StartMonitorTransaction(context, "ConfigureMonitor operation", &change->txn_id);
  if (!started.ok()) {
    call->Fail(started);
    return;
  }
  // A change answers the monitor's statements and steers what reaches its
  // stream: only its owner and the administrator may make one.
  if (change->client_id != stream->second->owner() && change->client_id != kAdminClient) {
    const std::string message = change->client_id + " may not configure monitor " + monitor_id;
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
               "ConfigureMonitor operation failed: %s", message.c_str());
    call->Fail(orv::rpc::PERMISSION_DENIED(message));
    return;
  }
  TARNIX_LOG(orv::INFO, nullptr,
             "ConfigureMonitor: TransactionID='%lu' Client ID=%s monitor_request_id='%s'",
             static_cast<unsigned long>(change->txn_id), change->client_id.c_str(),
             monitor_id.c_str());
  const uint32_t requested = request.has_vdb_id() ? request.vdb_id() : kMainVdbId;
  const VdbId stored = stream->second->vdb_id();
  if (requested != stored) {
    const std::string message = "vdb_id (" + std::to_string(requested) +
                                ") does not match stored vdb_id (" + std::to_string(stored) +
                                ") for monitor " + monitor_id;
    TARNIX_LOG(orv::INFO, nullptr, "%s", message.c_str());
    call->Fail(orv::rpc::INVALID_ARGUMENT(message));
    return;
  }
  change->request = request;
  change->stream = stream->second->call();
  change->snapshot = db_access_->GetSnapshot();
  group_commit_.RunInOrder([this, change] {
    return RunMonitorStep([&] { return ChangeMonitor(*change); });
  },
                           [change] {
                             change->call->Fail(orv::rpc::UNAVAILABLE(kNotificationsStopped));
                           });
}

bool TarnixServer::ChangeMonitor(MonitorChange& change) {
  const std::string& monitor_id = change.monitor_id;
  // The monitor may have ended while the change waited, and its id may name
  // another monitor by now.
  auto stream = monitor_streams_.find(monitor_id);
  if (stream == monitor_streams_.end() || stream->second->call() != change.stream) {
    const std::string message = ConfigureNotFound(monitor_id);
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0009", "%s", message.c_str());
    change.call->Fail(orv::rpc::INVALID_ARGUMENT(message));
    return true;
  }
  const auto refuse = [&](const Status& status) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
               "ConfigureMonitor operation failed: %s", status.ToString().c_str());
    change.call->Fail(ToAppStatus(status));
    return true;
  };
  try {
    // Many clauses are checked and subscribed over several turns; the
    // transactions behind this one wait for the last.
    if (!change.started) {
      const tx::ConfigureMonitorRequestMsg& request = change.request;
      const auto checked_all = [](const MonitorStatements::Progress& at, int size) {
        return at.item == static_cast<size_t>(size);
      };
      size_t budget = read_slice_records_;
      Status checked = monitor_statements_.ValidateMonitorStatements(
          change.client_id, monitor_id, request.delete_statements(), &change.deleted, &budget,
          &change.deletes_checked);
      if (checked.ok() && checked_all(change.deletes_checked, request.delete_statements_size())) {
        checked = monitor_statements_.CheckWhereClause(change.client_id,
                                                       request.update_statements(),
                                                       &change.updated, &budget,
                                                       &change.updates_checked);
      }
      if (checked.ok() && checked_all(change.updates_checked, request.update_statements_size())) {
        checked = monitor_statements_.ValidateMonitorStatements(
            change.client_id, monitor_id, request.add_statements(), &change.added, &budget,
            &change.adds_checked);
      }
      if (!checked.ok()) return refuse(checked);
      if (!checked_all(change.deletes_checked, request.delete_statements_size()) ||
          !checked_all(change.updates_checked, request.update_statements_size()) ||
          !checked_all(change.adds_checked, request.add_statements_size())) {
        return false;
      }
      // Whoever changes a monitor, it delivers to its owner, who must be
      // able to read what is added.
      const std::string& owner = stream->second->owner();
      for (const auto& added : change.added) {
        if (!schema_->permissions().HasReadPermission(owner, added.first)) {
          return refuse(Status::PermissionDenied(
              (boost::format("%1% does not have read permission for %2%") % owner % added.first)
                  .str()));
        }
      }
      VdbId vdb_id;
      if (!monitor_engine_.GetVDbIdForMonitor(monitor_id, &vdb_id)) {
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0305", "Unable to find corresponding vdb_id");
        change.call->Fail(orv::rpc::INTERNAL("Unable to find corresponding vdb_id"));
        return true;
      }
      checked = monitor_statements_.ScanMonitorStatements(
          monitor_id, vdb_id, change.snapshot, change.updated, change.deleted, &change.scans);
      if (checked.ok()) {
        checked = monitor_statements_.AddMonitorStatements(
            monitor_id, vdb_id, change.snapshot, change.added, change.deleted, &change.scans);
      }
      change.snapshot.reset();
      if (!checked.ok()) return refuse(checked);
      change.started = true;
    }
    if (!monitor_statements_.ConfigureSubscriptions(monitor_id, change.added, change.deleted,
                                                    change.updated, read_slice_records_,
                                                    &change.configured)) {
      return false;
    }
    auto response = std::make_shared<tx::ConfigureMonitorResponseMsg>();
    monitor_statements_.BuildMonitorStatements(monitor_id, response.get());
    // The answer leaves once the snapshot is on the monitor's stream, and
    // only while the monitor is open.
    OrderMonitorUpdates(*schema_, &type_order_, &change.scans);
    stream->second->WriteSnapshot(
        std::make_unique<MonitorSnapshot>(schema_, change.txn_id, std::move(change.scans)),
        [call = change.call, response, monitor_id](bool queued,
                                                   const orv::rpc::AppStatus& ended_with) {
          if (queued) {
            call->Respond(*response);
          } else if (!ended_with.ok()) {
            call->Fail(ended_with);
          } else {
            const std::string message = ConfigureNotFound(monitor_id);
            TARNIX_LOG(orv::ERROR, "errorCode:DRX0009", "%s", message.c_str());
            call->Fail(orv::rpc::INVALID_ARGUMENT(message));
          }
        });
    monitor_clients_.emplace(monitor_id, change.client_id);
  } catch (const std::exception& e) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0303", "ConfigureMonitor operation failed: %s", e.what());
    change.call->Fail(orv::rpc::INTERNAL("Internal error"));
    return true;
  }
  TARNIX_LOG(orv::INFO, nullptr,
             "ConfigureMonitor: TransactionID='%lu': Monitor for monitor_request_id='%s' "
             "successfully updated",
             static_cast<unsigned long>(change.txn_id), monitor_id.c_str());
  return true;
}

void TarnixServer::EndMonitorsAfterFailedSync() {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0304", "%s", kNotificationsStopped);
  // Their completion callbacks remove them.
  for (const auto& stream : monitor_streams_) {
    stream.second->End(orv::rpc::UNAVAILABLE(kNotificationsStopped));
  }
}

bool TarnixServer::RunMonitorStep(const std::function<bool()>& step) {
  // It runs in the release of some other transaction: nothing may reach it.
  try {
    return step();
  } catch (...) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0303", "A monitor step failed and was dropped");
    return true;
  }
}

void TarnixServer::OnClientDisconnect(const std::string& monitor_id,
                                      const orv::rpc::ServerCall* call,
                                      const orv::rpc::Status& status) {
  if (ending_monitor_streams_.erase(call) != 0) return;  // its monitor is gone already
  if (status.code() == 0) return;
  // A monitor that reused the id after this call ended is not this one.
  auto stream = monitor_streams_.find(monitor_id);
  if (stream == monitor_streams_.end() || stream->second->call().get() != call) return;
  TARNIX_LOG(orv::INFO, nullptr, "%s disconnected, Unsubscribing corresponding subscriptions",
             monitor_id.c_str());
  const bool large = stream->second->written_bytes() >= kReleaseHeapAfterBytes;
  monitor_streams_.erase(stream);
  monitor_clients_.erase(monitor_id);
  if (large) ReleaseFreeHeapMemory();
  // Many subscriptions go a slice per turn, in the notification order, so
  // that a monitor that reuses the id comes after them; matching passes
  // over them meanwhile.
  monitor_engine_.WithdrawMonitor(monitor_id);
  auto freed = std::make_shared<size_t>(0);
  const auto remove = [this, monitor_id, freed] {
    return monitor_engine_.DeleteSubscriptionsInSteps(monitor_id, "", read_slice_records_,
                                                      freed.get());
  };
  if (!remove()) {
    group_commit_.RunInOrder([this, remove] { return RunMonitorStep(remove); },
                             [this, monitor_id] { monitor_engine_.DeleteSubscriptions(monitor_id, ""); });
  }
}

void TarnixServer::AbortMonitorsOfDeletedVDb(VdbId vdb_id) {
  std::set<std::string> monitor_ids;
  monitor_engine_.CollectMonitorsWatchingVDb(vdb_id, &monitor_ids);
  for (const std::string& monitor_id : monitor_ids) {
    auto stream = monitor_streams_.find(monitor_id);
    if (stream == monitor_streams_.end() || stream->second->vdb_id() != vdb_id) continue;
    const std::string text = orv::string_format(
        "Monitor %s aborted/closed due to VDb = %u has been deleted", monitor_id.c_str(), vdb_id);
    TARNIX_LOG(orv::INFO, nullptr, "%s", text.c_str());
    MonitorStream* ending = stream->second.get();
    ending_monitor_streams_.emplace(ending->call().get(), std::move(stream->second));
    monitor_streams_.erase(stream);
    monitor_clients_.erase(monitor_id);
    monitor_engine_.DeleteSubscriptions(monitor_id, "");
    ending->Finish(orv::rpc::ABORTED(text));
  }
}

void TarnixServer::EndRevokedMonitors() {
  const auto end_revoked = [this] {
    for (auto stream = monitor_streams_.begin(); stream != monitor_streams_.end();) {
      const std::string& owner = stream->second->owner();
      SubscriptionKeySet keys;
      monitor_engine_.ListMonitorSubscriptions(stream->first, &keys);
      std::set<std::string> types;  // sorted: the status names the same type every time
      for (const SubscriptionKey& key : keys) types.insert(key.object_type);
      const auto revoked = std::find_if(types.begin(), types.end(), [&](const std::string& type) {
        return !schema_->permissions().HasReadPermission(owner, type);
      });
      if (revoked == types.end()) {
        ++stream;
        continue;
      }
      const std::string text = owner + " does not have read permission for " + *revoked;
      TARNIX_LOG(orv::INFO, nullptr, "Monitor %s ended: %s", stream->first.c_str(), text.c_str());
      // Out of the engine now: no notification may reach it before its call
      // completes.
      const std::string monitor_id = stream->first;
      MonitorStream* ending = stream->second.get();
      ending_monitor_streams_.emplace(ending->call().get(), std::move(stream->second));
      stream = monitor_streams_.erase(stream);
      monitor_clients_.erase(monitor_id);
      monitor_engine_.DeleteSubscriptions(monitor_id, "");
      ending->End(orv::rpc::PERMISSION_DENIED(text));
    }
    return true;
  };
  RunMonitorStep(end_revoked);
  // Monitors that open, or changes that take effect, in the notification
  // order were checked against the old permissions: look again once they
  // are in the engine, before any transaction committed from now on.
  group_commit_.RunInOrder([this, end_revoked] { return RunMonitorStep(end_revoked); }, [] {});
}

}  // namespace tarnix
