#ifndef TARNIX_MONITOR_PENDING_RESPONSE_TABLE_H_
#define TARNIX_MONITOR_PENDING_RESPONSE_TABLE_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "caldek/orv/tarnix/tarnix_monitor.pb.h"

namespace tarnix {

// What one transaction has for one monitor: its entries in order, as
// indices into the table's entries.
struct PendingResponses {
  std::vector<uint32_t> entries;
};

// Monitors that get the same entries get the same responses.
struct ResponseGroup {
  std::vector<std::string> monitor_ids;
  std::vector<caldek::orv::tarnix::MonitorResponseMsg> responses;
};

// The notifications of one transaction. Each distinct entry (an object as
// one selection and old-body flag see it) is kept once, however many
// monitors get it, and responses are built once per distinct list of
// entries: in a fan-out, monitors watching alike share their messages.
// Lives for one transaction; not thread-safe.
class PendingResponseTable {
 public:
  static constexpr uint64_t kMaxResponseBytes = 999999;

  // Keeps `entry`; returns its index.
  uint32_t AddEntry(caldek::orv::tarnix::MonitorUpdateMsg entry);
  // The monitor's pending responses, made empty when it has none; the
  // pointer holds until the monitor is erased or the table emptied.
  PendingResponses* ForMonitor(const std::string& monitor_id) { return &monitors_[monitor_id]; }
  // Forgets what the monitor was to get.
  void Erase(const std::string& monitor_id) { monitors_.erase(monitor_id); }

  bool empty() const { return monitors_.empty(); }
  const std::unordered_map<std::string, PendingResponses>& monitors() const { return monitors_; }

  // The responses of each group of monitors with equal entries, all of
  // transaction `txn_id`: a response closes once the object bodies and old
  // bodies in it pass kMaxResponseBytes (with the entry that passed them),
  // and the last is marked as the end of the transaction. Empties the table.
  std::vector<ResponseGroup> TakeResponses(uint64_t txn_id);

 private:
  std::vector<caldek::orv::tarnix::MonitorUpdateMsg> entries_;
  std::unordered_map<std::string, PendingResponses> monitors_{16};
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_PENDING_RESPONSE_TABLE_H_
