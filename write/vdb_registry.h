#ifndef TARNIX_WRITE_VDB_REGISTRY_H_
#define TARNIX_WRITE_VDB_REGISTRY_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include <boost/unordered_map.hpp>

#include "schema/vdb_id_set.h"
#include "util/status.h"

namespace tarnix {

class DbAccess;
class TarnixTransactionLog;
class TransactionLogStore;

// The virtual databases in use: each a 16-bit id with a name, persisted as
// one record kVDbInfoPrefix + CompactUint16(id) -> name and held in two maps.
// The maps change only after the record was written. Not thread-safe.
class VDbRegistry {
 public:
  static constexpr const char* kMainVdbName = "main_vdb";
  // The largest id there is: vdb ids are 16 bits wide.
  static constexpr uint16_t kMaxVdbId = 65535;

  // `db_access` (open) and `txn_log` must outlive the registry; not owned.
  VDbRegistry(DbAccess* db_access, TransactionLogStore* txn_log);
  VDbRegistry(const VDbRegistry&) = delete;
  VDbRegistry& operator=(const VDbRegistry&) = delete;

  // Start-up: loads every vdb record; on a database without any, creates
  // "main_vdb" with id 1. A read error is logged, leaves the maps empty and
  // is returned: without them nothing can be served. Malformed record keys
  // are logged and skipped.
  Status InitVDbInfo();

  // Stores vdb `id` named `name`, with `log`'s units (and the trimming of old
  // ones) in the same batch when `log` is not null, then registers it. The
  // write is synced before this returns: an id handed out must not be lost
  // to a power cut and handed to another name. Checks neither id nor name.
  // False, with the maps unchanged, when the log units cannot be computed or
  // the write fails.
  bool AddVDbInfo(uint16_t id, const std::string& name, TarnixTransactionLog* log);

  // Whether `name` may name a vdb: one or more of A-Z, a-z, 0-9, '_' and '-'.
  static bool IsValidName(const std::string& name);

  // The id for a new vdb: the smallest one from 2 to `max_id` that no vdb
  // has; a `max_id` below 2 means kMaxVdbId. ResourceExhausted "No more vdb
  // ids available" when every one of them is in use.
  Status FindFreeId(uint16_t max_id, uint16_t* id) const;

  // Start-up, after InitVDbInfo(): logs ERROR naming the ids of `held`
  // (the vdbs that object records name) that the registry does not name.
  // Such records survive a repair that lost their vdb's record; they are not
  // registered again, since the name is gone too.
  void ReportUnregisteredVdbs(const VdbIdSet& held) const;

  // Deletes the record of vdb `id` named `name`, synced. A record already
  // gone counts as deleted; one that holds another name is left and is a
  // failure, as is a storage error (its text is the storage's message).
  Status DeleteVDbInfo(uint16_t id, const std::string& name);

  // Forgets vdb `id` (its record is the caller's to delete); it is no longer
  // closed.
  void RemoveVDbInfo(uint16_t id);

  // A vdb being deleted is closed: no longer in use, though it keeps its
  // name and id until RemoveVDbInfo, so that neither is handed out again
  // before its record is gone. Reopen undoes Close.
  void Close(uint16_t id) { closed_.insert(id); }
  void Reopen(uint16_t id) { closed_.erase(id); }
  bool IsClosed(uint16_t id) const { return closed_.count(id) != 0; }
  // Whether requests may name vdb `id`: it exists and is not closed.
  bool InUse(uint32_t id) const {
    return id <= kMaxVdbId && vdb_id_to_name_.count(static_cast<uint16_t>(id)) != 0 &&
           closed_.count(static_cast<uint16_t>(id)) == 0;
  }

  // False when no vdb has that id or name.
  bool FindName(uint16_t id, std::string* name) const;
  bool FindId(const std::string& name, uint16_t* id) const;

  // Ascending ids.
  const std::map<uint16_t, std::string>& vdb_id_to_name() const { return vdb_id_to_name_; }
  const boost::unordered_map<std::string, uint16_t>& vdb_name_to_id() const {
    return vdb_name_to_id_;
  }

 private:
  DbAccess* const db_access_;
  TransactionLogStore* const txn_log_;
  std::map<uint16_t, std::string> vdb_id_to_name_;
  boost::unordered_map<std::string, uint16_t> vdb_name_to_id_;
  std::set<uint16_t> closed_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_VDB_REGISTRY_H_
