// NotifyForUpdate: the changes of each committed transaction, to the monitors
// they concern.

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logging/logger.h"
#include "metrics/scoped_latency_timer.h"
#include "platform/wft/workflow_util.h"
#include "server/tarnix_server.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

namespace {

// The log line names this many monitors at most: one line per transaction
// must not grow with the number of monitors.
constexpr size_t kLoggedMonitors = 16;

}  // namespace

void TarnixServer::NotifyForUpdate(uint64_t txn_id, bool tracing, std::list<UpdateRecord>* updates,
                                   std::list<UpdateRecord>* deletes,
                                   TransactionRequestTable* requests,
                                   std::chrono::system_clock::time_point started) {
  metrics::ScopedLatencyTimer timer(monitor_update_latency_);
  std::optional<orv::wft::WorkflowUtil> span;
  if (tracing) span.emplace("NotifyForUpdate", 2);
  // The writer has its answer: nothing here may reach it. A failure that
  // no single monitor explains may have cost any monitor this transaction,
  // so every monitor ends; its client reopens on a consistent snapshot.
  try {
    DeliverNotifications(txn_id, tracing, updates, deletes, requests, started);
  } catch (const std::exception& e) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0303", "Notifying transaction %lu failed: %s",
               static_cast<unsigned long>(txn_id), e.what());
    for (const auto& stream : monitor_streams_) {
      stream.second->End(orv::rpc::INTERNAL("Notifications for this monitor could not be built"));
    }
  }
  updates->clear();
  deletes->clear();
}

void TarnixServer::DeliverNotifications(uint64_t txn_id, bool tracing,
                                        std::list<UpdateRecord>* updates,
                                        std::list<UpdateRecord>* deletes,
                                        TransactionRequestTable* requests,
                                        std::chrono::system_clock::time_point started) {
  PendingResponseTable table;
  EndingMonitors ending;
  notifications_.TopologicalSort(false, tracing, updates);
  notifications_.TopologicalSort(true, tracing, deletes);
  notifications_.EnqueueUpdates(txn_id, tracing, updates, &table, requests, &ending);
  notifications_.EnqueueDeletes(txn_id, tracing, deletes, &table, &ending);

  if (orv::Logger::logLevel >= orv::INFO) {
    std::string clients;
    size_t named = 0;
    for (const auto& entry : table.monitors()) {
      if (named++ == kLoggedMonitors) {
        clients += "and " + std::to_string(table.monitors().size() - kLoggedMonitors) + " more";
        break;
      }
      auto client = monitor_clients_.find(entry.first);
      clients += entry.first + (client != monitor_clients_.end() ? " ( " + client->second + " ) "
                                                                 : " (empty client) ");
    }
    const long millis = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::system_clock::now() - started)
                                              .count());
    TARNIX_LOG(orv::INFO, nullptr, "Notifying updates took %li ms to %zu clients: %s", millis,
               table.monitors().size(), clients.c_str());
  }

  // Serialised once per group, however many monitors share the bytes.
  for (ResponseGroup& group : table.TakeResponses(txn_id)) {
    auto* messages = new std::vector<orv::rpc::SerializedMessage>;
    messages->reserve(group.responses.size());
    size_t bytes = 0;
    for (const tx::MonitorResponseMsg& response : group.responses) {
      bytes += messages->emplace_back(response).size();
    }
    // Counted in the total while some monitor still holds them.
    monitor_backlog_ += bytes;
    const MonitorStream::Responses responses(
        messages, [this, bytes](const std::vector<orv::rpc::SerializedMessage>* held) {
          monitor_backlog_ -= bytes;
          delete held;
        });
    for (const std::string& monitor_id : group.monitor_ids) {
      auto stream = monitor_streams_.find(monitor_id);
      if (stream == monitor_streams_.end()) {
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
                   "The operation failed because a client with monitor_id '%s' was not found",
                   monitor_id.c_str());
        continue;
      }
      if (!stream->second->WriteNotification(responses)) {
        const std::string message = "Monitor " + monitor_id + " fell behind: more than " +
                                    std::to_string(MonitorStream::kBacklogBytes) +
                                    " bytes of notifications wait for its client";
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0304", "%s", message.c_str());
        stream->second->End(orv::rpc::RESOURCE_EXHAUSTED(message));
      }
    }
  }
  for (const std::string& monitor_id : ending.failed) {
    auto stream = monitor_streams_.find(monitor_id);
    if (stream != monitor_streams_.end()) {
      stream->second->End(orv::rpc::INTERNAL("Notifications for this monitor could not be built"));
    }
  }
  for (const auto& [monitor_id, allowed_steps] : ending.over_budget) {
    auto stream = monitor_streams_.find(monitor_id);
    if (stream == monitor_streams_.end()) continue;
    const std::string message =
        "Monitor " + monitor_id +
        " ended: matching its CONTAINS_ALL where clauses against one object took more than " +
        std::to_string(allowed_steps) +
        " steps, the limit for that object; narrow its where clauses";
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0304", "%s", message.c_str());
    stream->second->End(orv::rpc::RESOURCE_EXHAUSTED(message));
  }
  EnforceMonitorBacklogBudget();
}

void TarnixServer::EnforceMonitorBacklogBudget() {
  while (monitor_backlog_ > MonitorStream::kTotalBacklogBytes) {
    MonitorStream* largest = nullptr;
    const auto consider = [&largest](MonitorStream* stream) {
      if (largest == nullptr || stream->backlog_bytes() > largest->backlog_bytes()) {
        largest = stream;
      }
    };
    for (const auto& stream : monitor_streams_) consider(stream.second.get());
    // Those of deleted vdbs hold bytes of the budget too.
    for (const auto& stream : ending_monitor_streams_) consider(stream.second.get());
    if (largest == nullptr || largest->backlog_bytes() == 0) return;
    const std::string message = "Monitors fell behind: more than " +
                                std::to_string(MonitorStream::kTotalBacklogBytes) +
                                " bytes of notifications wait in all; this monitor held the most";
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0304", "%s", message.c_str());
    // Empties its backlog, freeing what no other monitor holds.
    largest->End(orv::rpc::RESOURCE_EXHAUSTED(message));
  }
}

}  // namespace tarnix
