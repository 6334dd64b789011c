#ifndef TARNIX_WRITE_OBJECT_STATS_MAINTAINER_H_
#define TARNIX_WRITE_OBJECT_STATS_MAINTAINER_H_

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>
#include <boost/unordered_map.hpp>

#include "metrics/metric.h"
#include "schema/vdb_id_set.h"
#include "write/update_record.h"

namespace tarnix {

class DbAccess;
class ObjectKeyFilter;
class RangeCompactor;
class Schema;

// Per object type, the number of stored object records and the sum of their
// stored value lengths (a record held by several vdbs counts once),
// as the unit counters "server/obj_stats/by_type/<type>/num_of_objects" and
// ".../total_size" of the metrics registry. Counters never go below 0. Not
// thread-safe; the registry's collection reads the counters concurrently,
// each under its own lock.
class ObjectStatsMaintainer {
 public:
  struct TypeCounters {
    boost::shared_ptr<metrics::UnitMetric> num_of_objects;
    boost::shared_ptr<metrics::UnitMetric> total_size;
  };

  // `registry` (not owned) must outlive the maintainer.
  explicit ObjectStatsMaintainer(orv::metrics::MetricRegistry* registry);
  ObjectStatsMaintainer(const ObjectStatsMaintainer&) = delete;
  ObjectStatsMaintainer& operator=(const ObjectStatsMaintainer&) = delete;

  // The counters of `type`, registered on first use and kept.
  const TypeCounters& GetOrCreateTypeCounters(const std::string& type);

  // One object of `size` body bytes more, or less. Each call records one new
  // value in each counter.
  void Increment(const std::string& type, uint64_t size);
  void Decrement(const std::string& type, uint64_t size);

  // After a commit: adds the transaction's change of stored records per
  // type, so that the counters stay what ComputeStatistics would count.
  // Records one new value in each counter of every type that changed.
  void UpdateObjectStatistics(const RecordCountChanges& changes);

 private:
  orv::metrics::MetricRegistry* const registry_;
  boost::unordered_map<std::string, TypeCounters> counters_;
};

// Start-up: counts every stored object record once, with its body length,
// under its type (a record of an unknown type under ""). Reads the records
// one at a time, so memory stays flat whatever the database size. A read
// error is logged; the records counted before it stay counted. When
// `held_vdbs` is given, the ids of the vdbs that hold the counted records of
// known types are added to it. When `object_keys` is given, it gets every
// object and is enabled if the scan read them all.
void ComputeStatistics(const Schema& schema, DbAccess* db_access, ObjectStatsMaintainer* stats,
                       VdbIdSet* held_vdbs = nullptr, ObjectKeyFilter* object_keys = nullptr);

// Start-up, before the count: removes every record of the types the schema
// lists as deprecated, and notes the deletes in `compactor` when given. Not
// logged in the transaction log; errors are logged.
void WipeDeprecatedObjects(const Schema& schema, DbAccess* db_access,
                           RangeCompactor* compactor = nullptr);

}  // namespace tarnix

#endif  // TARNIX_WRITE_OBJECT_STATS_MAINTAINER_H_
