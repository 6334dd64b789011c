#include "write/vdb_registry.h"

#include <vector>

#include <boost/make_shared.hpp>

#include "logging/logger.h"
#include "platform/util/strings.h"
#include "schema/compact_uint.h"
#include "storage/db_access.h"
#include "storage/key_space.h"
#include "write/transaction_log_store.h"

namespace tarnix {

VDbRegistry::VDbRegistry(DbAccess* db_access, TransactionLogStore* txn_log)
    : db_access_(db_access), txn_log_(txn_log) {}

Status VDbRegistry::InitVDbInfo() {
  TARNIX_LOG(orv::INFO, nullptr, "TarnixServer::InitVDbInfo(): Fetching vdb info from db_access_");
  DbAccess::Records records;
  const DbAccessStatus status =
      db_access_->PrefixFilter(db_access_->GetSnapshot(), kVDbInfoPrefix, &records);
  if (!status.ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0603",
               "DbAccess error in TarnixServer::InitVDbInfo(): %s. VDb id to VDb name map is "
               "left uninitialized.",
               status.message.c_str());
    return status.ToStatus();
  }
  if (records.empty()) {
    TARNIX_LOG(orv::INFO, nullptr,
               "TarnixServer::InitVDbInfo(): No vdb info records found in db_access_.");
    AddVDbInfo(1, kMainVdbName, nullptr);
    return Status::OK();
  }
  for (const DbAccess::Record& record : records) {
    const std::string& key = record.first;
    const size_t id_bytes = key.size() - kVDbInfoPrefix.size();
    uint16_t id = 0;
    const size_t used = DecodeCompactUint16(key.data() + kVDbInfoPrefix.size(), id_bytes, &id);
    if (used == 0 || used != id_bytes) {
      TARNIX_LOG(orv::ERROR, nullptr, "Malformed vdb record key: %s",
                 orv::hex_string(key).c_str());
      continue;
    }
    vdb_id_to_name_[id] = record.second;
    vdb_name_to_id_[record.second] = id;
    TARNIX_LOG(orv::INFO, nullptr, "vdb name to id mapping: '%s' -> %u", record.second.c_str(),
               id);
  }
  return Status::OK();
}

bool VDbRegistry::AddVDbInfo(uint16_t id, const std::string& name, TarnixTransactionLog* log) {
  std::string key = kVDbInfoPrefix;
  AppendCompactUint16(&key, id);
  std::vector<DbAccess::TxnPut> puts;
  puts.emplace_back(std::move(key), boost::make_shared<std::string>(name));
  std::vector<std::string> deletes;
  uint64_t log_size = txn_log_->current_log_size();
  if (log != nullptr) {
    uint64_t txn_bytes = 0;
    if (!txn_log_->ComputeTxnLogUpdates(false, log, &log_size, &txn_bytes, &puts, &deletes)
             .ok()) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0501", "Computing transaction log updates failed.");
      return false;
    }
  }
  const DbAccessStatus status = db_access_->WriteTxn(puts, deletes, true, [] {});
  if (!status.ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0604",
               "DbAccess error in TarnixServer::AddVDbInfo(): %s. Unable to persist vdb_id to "
               "disk.",
               status.message.c_str());
    return false;
  }
  txn_log_->set_current_log_size(log_size);
  if (log != nullptr) txn_log_->BatchWritten();
  vdb_id_to_name_[id] = name;
  vdb_name_to_id_[name] = id;
  TARNIX_LOG(orv::INFO, nullptr, "Created new vdb: vdb_name = '%s', vdb_id = %u", name.c_str(), id);
  return true;
}

bool VDbRegistry::IsValidName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

Status VDbRegistry::FindFreeId(uint16_t max_id, uint16_t* id) const {
  // Wider than an id, so that the walk cannot wrap past kMaxVdbId to 0.
  const uint32_t last = max_id < 2 ? kMaxVdbId : max_id;
  uint32_t candidate = 2;
  for (auto it = vdb_id_to_name_.lower_bound(2);
       it != vdb_id_to_name_.end() && it->first == candidate && candidate <= last; ++it) {
    ++candidate;
  }
  if (candidate > last) return Status::ResourceExhausted("No more vdb ids available");
  *id = static_cast<uint16_t>(candidate);
  return Status::OK();
}

void VDbRegistry::ReportUnregisteredVdbs(const VdbIdSet& held) const {
  // A log line names this many ids at most.
  constexpr size_t kMaxNamed = 100;
  VdbIdSet named;
  size_t unregistered = 0;
  for (VdbId id : held) {
    if (vdb_id_to_name_.count(id) != 0) continue;
    if (++unregistered <= kMaxNamed) named.insert(id);
  }
  if (unregistered == 0) return;
  std::string more;
  if (unregistered > named.size()) {
    more = " and " + std::to_string(unregistered - named.size()) + " more";
  }
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0607",
             "Object records are held in vdbs that the vdb registry does not name: vdb ids "
             "%s%s. They are not registered again.",
             VdbIdSetToString(named).c_str(), more.c_str());
}

Status VDbRegistry::DeleteVDbInfo(uint16_t id, const std::string& name) {
  std::string key = kVDbInfoPrefix;
  AppendCompactUint16(&key, id);
  std::vector<int32_t> results;
  const DbAccessStatus status = db_access_->Delete({{std::move(key), name}}, true, &results);
  if (!status.ok()) return Status::Internal(status.message);
  if (results.size() != 1 || (results[0] != DbAccess::DeleteReturnValue::DELETED &&
                              results[0] != DbAccess::DeleteReturnValue::NOT_FOUND)) {
    return Status::Internal("the vdb record holds another name");
  }
  return Status::OK();
}

void VDbRegistry::RemoveVDbInfo(uint16_t id) {
  closed_.erase(id);
  auto it = vdb_id_to_name_.find(id);
  if (it == vdb_id_to_name_.end()) return;
  auto by_name = vdb_name_to_id_.find(it->second);
  if (by_name != vdb_name_to_id_.end() && by_name->second == id) vdb_name_to_id_.erase(by_name);
  vdb_id_to_name_.erase(it);
}

bool VDbRegistry::FindName(uint16_t id, std::string* name) const {
  auto it = vdb_id_to_name_.find(id);
  if (it == vdb_id_to_name_.end()) return false;
  *name = it->second;
  return true;
}

bool VDbRegistry::FindId(const std::string& name, uint16_t* id) const {
  auto it = vdb_name_to_id_.find(name);
  if (it == vdb_name_to_id_.end()) return false;
  *id = it->second;
  return true;
}

}  // namespace tarnix
