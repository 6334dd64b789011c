#ifndef TARNIX_WRITE_OBJECT_KEY_FILTER_REBUILD_H_
#define TARNIX_WRITE_OBJECT_KEY_FILTER_REBUILD_H_

#include <atomic>
#include <memory>
#include <thread>

#include <boost/shared_ptr.hpp>

#include "storage/db_access.h"
#include "write/object_key_filter.h"

namespace tarnix {

// Fills an ObjectKeyFilter anew, off the event loop, once deletions have
// passed its bound: a thread of its own scans the object records of a
// snapshot into a fresh filter while the old one journals what the loop
// adds and removes; Poll then hands the fresh filter over (see
// ObjectKeyFilter::Adopt). The fresh filter has forgotten the objects
// deleted before the snapshot, so their keys are "absent" again without
// being kept one by one. One rebuild at a time.
//
// Start and Poll are called on the thread that uses the filter and the
// database handle; the scan thread touches neither, only its own iterator
// and filter. `filter` is not owned and must outlive this object.
class ObjectKeyFilterRebuild {
 public:
  explicit ObjectKeyFilterRebuild(ObjectKeyFilter* filter) : filter_(filter) {}
  // Stops a scan in flight (it checks every few hundred keys) and joins it.
  ~ObjectKeyFilterRebuild();
  ObjectKeyFilterRebuild(const ObjectKeyFilterRebuild&) = delete;
  ObjectKeyFilterRebuild& operator=(const ObjectKeyFilterRebuild&) = delete;

  // Starts a rebuild over a fresh snapshot of `db` when the filter wants one
  // and none runs; nothing without an open database.
  void StartIfWanted(DbAccess* db);
  // Adopts a finished scan; a failed one is logged and dropped, and the
  // next StartIfWanted tries again. Costs one atomic load while a scan runs.
  void Poll();
  // Whether a scan was started and not yet adopted or dropped.
  bool running() const { return thread_.joinable(); }

 private:
  // The scan thread's body.
  void Scan();
  void Stop();

  ObjectKeyFilter* const filter_;
  // Made on the calling thread, used by the scan thread alone until it
  // ends, and destroyed on the calling thread.
  boost::shared_ptr<DbAccess::IteratorImpl> iterator_;
  std::unique_ptr<ObjectKeyFilter> fresh_;
  DbAccessStatus scan_status_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  std::atomic<bool> stop_{false};
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_OBJECT_KEY_FILTER_REBUILD_H_
