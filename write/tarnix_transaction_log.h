#ifndef TARNIX_WRITE_TARNIX_TRANSACTION_LOG_H_
#define TARNIX_WRITE_TARNIX_TRANSACTION_LOG_H_

#include <cstdint>
#include <limits>
#include <list>
#include <string>
#include <vector>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/unordered_map.hpp>
#include <google/protobuf/message.h>
#include <google/protobuf/repeated_field.h>

#include "caldek/orv/tarnix/tarnix_txn_log.pb.h"
#include "schema/vdb_id_set.h"

namespace tarnix {

class Schema;

// What one write transaction did, collected while it runs and turned into
// the values of its transaction-log units at commit: first summary units
// listing the changed object ids by vdb set, change kind and object type,
// then one unit per request as the client sent it. The first unit carries
// the time, client and transaction id, the last one the end mark.
// One per transaction; not thread-safe.
class TarnixTransactionLog {
 public:
  using UnitMsg = caldek::orv::tarnix::TransactionLogUnitMsg;
  using OpList = google::protobuf::RepeatedPtrField<caldek::orv::tarnix::ObjectTypeAndIdsMsg>;
  using Units = std::list<boost::shared_ptr<std::string>>;

  // Change kinds of ObjectUpdateRecord::kind.
  static constexpr uint32_t kUpdated = 0;    // created or given a new body
  static constexpr uint32_t kUnchanged = 1;  // written with the same body
  static constexpr uint32_t kDeleted = 2;    // removed from those vdbs

  // Summary units are cut once their ids exceed this many bytes.
  static constexpr uint64_t kMaxSummaryIdBytes = 1000000;

  // Reads the clock: the transaction's time is its log's creation time.
  // `schema` (not owned) must outlive the log.
  TarnixTransactionLog(const Schema* schema, std::string client_id, uint64_t txn_id);
  TarnixTransactionLog(const TarnixTransactionLog&) = delete;
  TarnixTransactionLog& operator=(const TarnixTransactionLog&) = delete;

  // Appends a request unit holding a copy of `request`, one of the write,
  // CreateVDb and DeleteVDb request messages (the vdb ones with `vdb_id`).
  // A message of any other type gives a unit without a request. Once the
  // request units' values together exceed the request bound, the
  // transaction cannot be stored in the log: the units recorded so far are
  // freed and later requests are measured, not copied. MeasureRequest, then
  // AddMeasuredRequest.
  void RecordRequest(const google::protobuf::Message& request);
  // Counts the request unit of `request` against the request bound, without
  // copying anything; the bound may drop the request units here. A stream
  // measures all its requests first, so that none is copied when together
  // they cannot be logged.
  // `unit`, when given, is the request's unit from SerializeRequestUnit.
  void MeasureRequest(const google::protobuf::Message& request, const std::string* unit = nullptr);
  // Appends the request unit of a request that MeasureRequest counted
  // already, in the same order; nothing once the request units are dropped.
  // `unit`, as above, is taken instead of serialising the request again.
  void AddMeasuredRequest(const google::protobuf::Message& request, std::string* unit = nullptr);
  // The request unit of `request` when it is a write stream's request
  // message, whose unit names no vdb; false for any other message. Any
  // thread.
  static bool SerializeRequestUnit(const google::protobuf::Message& request, std::string* unit);

  // The bound of RecordRequest; none at first. Set it before recording.
  void set_request_bound(uint64_t bytes) { request_bound_ = bytes; }
  // Whether RecordRequest dropped the request units for the bound.
  bool requests_dropped() const { return requests_dropped_; }
  // After BuildTransactionLogUnits of a log whose requests were dropped: the
  // value sizes the request units would have had, in order. `first` tells
  // whether the first of them is the transaction's first unit.
  std::vector<uint64_t> DroppedUnitSizes(bool first) const;

  // Records a change of kind `kind` of one object in `vdb_ids` (as
  // update_records does, without a record of its own).
  void AddChange(uint32_t kind, const std::string& type_name, const std::string& id,
                 const VdbIdSet& vdb_ids);

  // The unit's list for change kind `kind`; null, with an ERROR line, for an
  // unknown kind.
  static OpList* SelectOpList(uint32_t kind, UnitMsg* unit);

  // Appends the transaction's serialised units to *units: the summary units,
  // then the request units in recording order. Nothing when the transaction
  // recorded neither changes nor requests. Empties the change records and the
  // recorded requests, so call it once. A vdb set that does not decode is
  // logged and its ids are left out.
  void BuildTransactionLogUnits(Units* units);

  uint64_t txn_id() const { return txn_id_; }
  const std::string& client_id() const { return client_id_; }

  // Microseconds since 1970-01-01 00:00:00 UTC at creation.
  int64_t timestamp_us() const;

  // The vdb a CreateVDb or DeleteVDb transaction creates or deletes; set
  // before recording its request. 0 otherwise.
  uint16_t vdb_id = 0;

  // The changed objects, appended by the commit in processing order.
  std::list<ObjectUpdateRecord> update_records;

 private:
  // Changes grouped by encoded vdb set, kind and type, ids in change order.
  using IdsByType = boost::unordered_map<std::string, std::vector<std::string>>;
  using TypesByKind = boost::unordered_map<uint32_t, IdsByType>;
  using ChangeGroups = boost::unordered_map<EncodedVdbIdSet, TypesByKind>;

  // Fields 1 to 3 of the first unit.
  void SetHeader(UnitMsg* unit) const;
  std::vector<std::string>& GroupOf(const EncodedVdbIdSet& vdb_set, uint32_t kind,
                                    const std::string& type_name);

  const Schema* const schema_;
  const std::string client_id_;
  const uint64_t txn_id_;
  Units requests_;
  uint64_t request_bound_ = std::numeric_limits<uint64_t>::max();
  uint64_t request_bytes_ = 0;
  bool requests_dropped_ = false;
  // Value sizes of the request units as middle units (no header, no end mark).
  std::vector<uint64_t> request_sizes_;
  ChangeGroups groups_;
  // The group of the latest change: changes mostly come in runs.
  std::string last_set_;
  uint32_t last_kind_ = 0;
  const std::string* last_type_ = nullptr;
  std::vector<std::string>* last_group_ = nullptr;
  const boost::posix_time::ptime creation_time_;
  const boost::gregorian::date epoch_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_TARNIX_TRANSACTION_LOG_H_
