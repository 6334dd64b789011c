#include "write/tarnix_transaction_log.h"

#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/unordered_map.hpp>

#include "logging/logger.h"
#include "platform/util/strings.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

using UnitMsg = TarnixTransactionLog::UnitMsg;

// The unit field that holds each request type; the vdb requests also name
// their vdb in the unit's vdb ids.
struct RequestField {
  const char* type_name;
  int field_number;
  bool names_vdb;
};

const RequestField kRequestFields[] = {
    {"caldek.orv.tarnix.PutRequestMsg", UnitMsg::kPutRequestFieldNumber, false},
    {"caldek.orv.tarnix.DeleteRequestMsg", UnitMsg::kDeleteRequestFieldNumber, false},
    {"caldek.orv.tarnix.PatchRequestMsg", UnitMsg::kPatchRequestFieldNumber, false},
    {"caldek.orv.tarnix.FlushRequestMsg", UnitMsg::kFlushRequestFieldNumber, false},
    {"caldek.orv.tarnix.ModifyRequestMsg", UnitMsg::kModifyRequestFieldNumber, false},
    {"caldek.orv.tarnix.CopyRequestMsg", UnitMsg::kCopyRequestFieldNumber, false},
    {"caldek.orv.tarnix.FlushByBlockIdRequestMsg",
     UnitMsg::kFlushByBlockIdRequestFieldNumber, false},
    {"caldek.orv.tarnix.DeleteVDbRequestMsg", UnitMsg::kDeleteVdbRequestFieldNumber, true},
    {"caldek.orv.tarnix.CreateVDbRequestMsg", UnitMsg::kCreateVdbRequestFieldNumber, true},
};

void AddVdbIds(const VdbIdSet& ids, UnitMsg* unit) {
  for (VdbId id : ids) unit->add_vdb_ids(id);
}

bool HasEntries(const UnitMsg& unit) {
  return unit.updated_objects_size() + unit.unchanged_objects_size() +
             unit.deleted_objects_size() > 0;
}

// Appends the serialised unit and starts the next one empty.
void Emit(UnitMsg* unit, TarnixTransactionLog::Units* units) {
  units->push_back(boost::make_shared<std::string>(unit->SerializeAsString()));
  unit->Clear();
}

}  // namespace

TarnixTransactionLog::TarnixTransactionLog(const Schema* schema, std::string client_id,
                                           uint64_t txn_id)
    : schema_(schema),
      client_id_(std::move(client_id)),
      txn_id_(txn_id),
      creation_time_(boost::posix_time::microsec_clock::universal_time()),
      epoch_(1970, boost::gregorian::Jan, 1) {}

int64_t TarnixTransactionLog::timestamp_us() const {
  return (creation_time_ - boost::posix_time::ptime(epoch_)).total_microseconds();
}

void TarnixTransactionLog::SetHeader(UnitMsg* unit) const {
  unit->set_timestamp_us(timestamp_us());
  unit->set_client(client_id_);
  unit->set_txn_id(txn_id_);
}

void TarnixTransactionLog::RecordRequest(const google::protobuf::Message& request) {
  UnitMsg unit;
  const std::string& type_name = request.GetDescriptor()->full_name();
  for (const RequestField& f : kRequestFields) {
    if (type_name != f.type_name) continue;
    google::protobuf::Message* field = unit.GetReflection()->MutableMessage(
        &unit, UnitMsg::descriptor()->FindFieldByNumber(f.field_number));
    if (field->GetDescriptor() == request.GetDescriptor()) {
      field->CopyFrom(request);
    } else {  // the same type from another descriptor pool
      field->ParseFromString(request.SerializeAsString());
    }
    if (f.names_vdb) unit.add_vdb_ids(vdb_id);
    break;
  }
  requests_.push_back(boost::make_shared<std::string>(unit.SerializeAsString()));
}

TarnixTransactionLog::OpList* TarnixTransactionLog::SelectOpList(uint32_t kind,
                                                                 UnitMsg* unit) {
  switch (kind) {
    case kUpdated:
      return unit->mutable_updated_objects();
    case kUnchanged:
      return unit->mutable_unchanged_objects();
    case kDeleted:
      return unit->mutable_deleted_objects();
  }
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Invalid operation type in TarnixUpdateLog");
  return nullptr;
}

void TarnixTransactionLog::BuildTransactionLogUnits(Units* units) {
  using IdsByType = boost::unordered_map<std::string, std::vector<std::string>>;
  using TypesByKind = boost::unordered_map<uint32_t, IdsByType>;
  boost::unordered_map<EncodedVdbIdSet, TypesByKind> groups;
  while (!update_records.empty()) {
    ObjectUpdateRecord& record = update_records.front();
    groups[record.vdb_set][record.kind][record.type_name].push_back(std::move(record.id));
    update_records.pop_front();
  }

  const size_t units_before = units->size();
  UnitMsg unit;
  SetHeader(&unit);
  for (auto& [vdb_set, kinds] : groups) {
    VdbIdSet vdb_ids;
    if (!vdb_set.empty() && !DecodeVdbSuffix(vdb_set, &vdb_ids)) {
      TARNIX_LOG(orv::ERROR, nullptr, "Undecodable vdb set %s in transaction %lu; its vdb ids are "
                 "left out of the log", orv::hex_string(vdb_set).c_str(), txn_id_);
    }
    uint64_t id_bytes = 0;
    for (auto& [kind, types] : kinds) {
      OpList* list = SelectOpList(kind, &unit);
      if (list == nullptr) continue;
      AddVdbIds(vdb_ids, &unit);
      for (auto& [type_name, ids] : types) {
        auto* entry = list->Add();
        schema_->SetObjectType(type_name, entry);
        for (size_t i = 0; i < ids.size(); ++i) {
          id_bytes += ids[i].size();
          entry->add_ids(std::move(ids[i]));
          if (id_bytes <= kMaxSummaryIdBytes) continue;
          Emit(&unit, units);
          list = SelectOpList(kind, &unit);
          AddVdbIds(vdb_ids, &unit);
          id_bytes = 0;
          if (i + 1 < ids.size()) {
            entry = list->Add();
            schema_->SetObjectType(type_name, entry);
          }
        }
      }
    }
    if (HasEntries(unit)) Emit(&unit, units);
    unit.Clear();
  }

  // Request units are reused as recorded, except the first unit of the
  // transaction (header) and the last one (end mark).
  while (!requests_.empty()) {
    boost::shared_ptr<std::string> request = std::move(requests_.front());
    requests_.pop_front();
    const bool last = requests_.empty();
    const bool first = units->size() == units_before;
    if (!first && !last) {
      units->push_back(std::move(request));
      continue;
    }
    unit.ParseFromString(*request);
    if (first) SetHeader(&unit);
    if (last) unit.set_last_unit(true);
    Emit(&unit, units);
  }
}

}  // namespace tarnix
