#include "write/object_stats_maintainer.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "logging/logger.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "storage/db_access.h"
#include "storage/key_space.h"
#include "storage/range_compactor.h"
#include "write/object_key_filter.h"

namespace tarnix {
namespace {

// Counters hold unsigned values: a decrement stops at 0 instead of wrapping.
void SaturatingSubtract(metrics::UnitCounter* counter, uint64_t amount) {
  const uint64_t last = counter->window(true).last;
  counter->update(amount > last ? 0 : last - amount);
}

void SaturatingAdd(metrics::UnitCounter* counter, int64_t amount) {
  if (amount < 0) {
    SaturatingSubtract(counter, static_cast<uint64_t>(-(amount + 1)) + 1);
  } else {
    counter->update(counter->window(true).last + static_cast<uint64_t>(amount));
  }
}

}  // namespace

ObjectStatsMaintainer::ObjectStatsMaintainer(orv::metrics::MetricRegistry* registry)
    : registry_(registry), counters_(16) {}

const ObjectStatsMaintainer::TypeCounters& ObjectStatsMaintainer::GetOrCreateTypeCounters(
    const std::string& type) {
  auto it = counters_.find(type);
  if (it != counters_.end()) return it->second;
  const std::string base = "server/obj_stats/by_type/" + type;
  TypeCounters counters;
  counters.num_of_objects = boost::make_shared<metrics::UnitMetric>(*registry_, base + "/num_of_objects");
  counters.total_size =
      boost::make_shared<metrics::UnitMetric>(*registry_, base + "/total_size", "bytes");
  return counters_.emplace(type, std::move(counters)).first->second;
}

void ObjectStatsMaintainer::Increment(const std::string& type, uint64_t size) {
  const TypeCounters& counters = GetOrCreateTypeCounters(type);
  ++*counters.num_of_objects->get();
  metrics::UnitCounter* total = counters.total_size->get();
  total->update(total->window(true).last + size);
}

void ObjectStatsMaintainer::Decrement(const std::string& type, uint64_t size) {
  const TypeCounters& counters = GetOrCreateTypeCounters(type);
  SaturatingSubtract(counters.num_of_objects->get(), 1);
  SaturatingSubtract(counters.total_size->get(), size);
}

void ObjectStatsMaintainer::UpdateObjectStatistics(const RecordCountChanges& changes) {
  for (const auto& change : changes) {
    if (change.second.records == 0 && change.second.bytes == 0) continue;
    const TypeCounters& counters = GetOrCreateTypeCounters(change.first);
    SaturatingAdd(counters.num_of_objects->get(), change.second.records);
    SaturatingAdd(counters.total_size->get(), change.second.bytes);
  }
}

void ComputeStatistics(const Schema& schema, DbAccess* db_access, ObjectStatsMaintainer* stats,
                       VdbIdSet* held_vdbs, ObjectKeyFilter* object_keys) {
  boost::shared_ptr<DbAccess::IteratorImpl> it = db_access->NewIterator();
  DbAccessStatus status(DbAccessCode::NO_OPEN_DATABASE, "no open database");
  if (it) {
    std::string type_name;
    std::string id;
    std::string vdb_suffix;
    // Most records share a few suffixes: decode each run of one only once.
    std::string decoded_suffix;
    bool decoded = false;
    VdbIdSet ids;
    bool all_keys = true;
    for (it->Seek(kObjectPrefix); it->Valid(); it->Next()) {
      const std::string key = it->key();
      if (key.compare(0, kObjectPrefix.size(), kObjectPrefix) != 0) break;
      if (object_keys != nullptr && !object_keys->AddRecordKey(key)) all_keys = false;
      if (!TryDecodeObjectRecordKey(schema, key, &type_name, &id, &vdb_suffix)) {
        type_name.clear();
      } else if (held_vdbs != nullptr && (!decoded || vdb_suffix != decoded_suffix)) {
        if (DecodeVdbSuffix(vdb_suffix, &ids)) held_vdbs->insert(ids.begin(), ids.end());
        decoded_suffix = vdb_suffix;
        decoded = true;
      }
      stats->Increment(type_name, it->value_size());
    }
    status = it->status();
    if (object_keys != nullptr && all_keys && status.ok()) object_keys->Enable();
  }
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr,
               "DbAccess error in TarnixServer::ComputeStatistics(): %s. ObjectStatsMaintainer "
               "is left uninitialized.",
               status.message.c_str());
  }
}

void WipeDeprecatedObjects(const Schema& schema, DbAccess* db_access, RangeCompactor* compactor) {
  const std::vector<int32_t> type_ids = schema.types().GetDeprecatedObjectTypes();
  if (type_ids.empty()) return;
  std::vector<std::string> prefixes;
  std::string text;
  for (int32_t type_id : type_ids) {
    prefixes.push_back(MakeObjectTypeKeyPrefix(type_id));
    text += std::to_string(type_id) + ", ";
  }
  TARNIX_LOG(orv::INFO, nullptr, "Wiping deprecated objects: %s", text.c_str());
  size_t deleted = 0;
  const DbAccessStatus status = db_access->DeleteByPrefixes(prefixes, false, &deleted);
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "DbAccess error in TarnixServer::WipeDeprecatedObjects(): %s.",
               status.message.c_str());
  }
  if (compactor != nullptr && deleted > 0) {
    const auto range = std::minmax_element(prefixes.begin(), prefixes.end());
    // Past every key of the last type: its prefix ends in a varint's last
    // byte, which is below 0x80.
    std::string past_last = *range.second;
    ++past_last.back();
    compactor->NoteDeletes(deleted, *range.first, past_last);
  }
}

}  // namespace tarnix
