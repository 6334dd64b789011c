#include "write/tarnix_transaction_log.h"

#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/unordered_map.hpp>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/wire_format_lite.h>

#include "logging/logger.h"
#include "platform/util/strings.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

using UnitMsg = TarnixTransactionLog::UnitMsg;
using google::protobuf::internal::WireFormatLite;
using google::protobuf::io::CodedOutputStream;

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

const RequestField* FindRequestField(const google::protobuf::Message& request) {
  const std::string& type_name = request.GetDescriptor()->full_name();
  for (const RequestField& f : kRequestFields) {
    if (type_name == f.type_name) return &f;
  }
  return nullptr;
}

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

void TarnixTransactionLog::MeasureRequest(const google::protobuf::Message& request,
                                          const std::string* unit) {
  // The unit's size is known before anything is copied: its one field.
  uint64_t size = 0;
  if (unit != nullptr) {
    size = unit->size();
  } else if (const auto* found = FindRequestField(request)) {
    const size_t length = request.ByteSizeLong();
    size = WireFormatLite::TagSize(found->field_number, WireFormatLite::TYPE_MESSAGE) +
           CodedOutputStream::VarintSize64(length) + length;
    if (found->names_vdb) {
      UnitMsg ids;
      ids.add_vdb_ids(vdb_id);
      size += ids.ByteSizeLong();
    }
  }
  request_sizes_.push_back(size);
  request_bytes_ += size;
  if (!requests_dropped_ && request_bytes_ > request_bound_) {
    requests_dropped_ = true;
    Units().swap(requests_);
  }
}

bool TarnixTransactionLog::SerializeRequestUnit(const google::protobuf::Message& request,
                                                std::string* unit) {
  const auto* found = FindRequestField(request);
  if (found == nullptr || found->names_vdb) return false;
  // The unit's only field: written straight from the request, which a copy
  // into a unit message would only duplicate.
  const size_t length = request.ByteSizeLong();
  unit->clear();
  unit->reserve(WireFormatLite::TagSize(found->field_number, WireFormatLite::TYPE_MESSAGE) +
                CodedOutputStream::VarintSize64(length) + length);
  {
    google::protobuf::io::StringOutputStream raw(unit);
    CodedOutputStream out(&raw);
    WireFormatLite::WriteTag(found->field_number, WireFormatLite::WIRETYPE_LENGTH_DELIMITED, &out);
    out.WriteVarint64(length);
  }
  request.AppendToString(unit);
  return true;
}

void TarnixTransactionLog::AddMeasuredRequest(const google::protobuf::Message& request,
                                              std::string* prepared) {
  if (requests_dropped_) return;
  if (prepared != nullptr) {
    requests_.push_back(boost::make_shared<std::string>(std::move(*prepared)));
    return;
  }
  const auto* found = FindRequestField(request);
  auto unit = boost::make_shared<std::string>();
  if (found != nullptr && !found->names_vdb) {
    SerializeRequestUnit(request, unit.get());
  } else if (found != nullptr) {
    UnitMsg message;
    google::protobuf::Message* field = message.GetReflection()->MutableMessage(
        &message, UnitMsg::descriptor()->FindFieldByNumber(found->field_number));
    if (field->GetDescriptor() == request.GetDescriptor()) {
      field->CopyFrom(request);
    } else {  // the same type from another descriptor pool
      field->ParseFromString(request.SerializeAsString());
    }
    message.add_vdb_ids(vdb_id);
    message.SerializeToString(unit.get());
  }
  requests_.push_back(std::move(unit));
}

void TarnixTransactionLog::RecordRequest(const google::protobuf::Message& request) {
  MeasureRequest(request);
  AddMeasuredRequest(request);
}

std::vector<uint64_t> TarnixTransactionLog::DroppedUnitSizes(bool first) const {
  std::vector<uint64_t> sizes = request_sizes_;
  if (sizes.empty()) return sizes;
  UnitMsg extra;
  if (first) {
    SetHeader(&extra);
    sizes.front() += extra.ByteSizeLong();
    extra.Clear();
  }
  extra.set_last_unit(true);
  sizes.back() += extra.ByteSizeLong();
  return sizes;
}

std::vector<std::string>& TarnixTransactionLog::GroupOf(const EncodedVdbIdSet& vdb_set,
                                                        uint32_t kind,
                                                        const std::string& type_name) {
  if (last_group_ != nullptr && kind == last_kind_ && vdb_set == last_set_ &&
      type_name == *last_type_) {
    return *last_group_;
  }
  IdsByType& types = groups_[vdb_set][kind];
  auto group = types.find(type_name);
  if (group == types.end()) group = types.emplace(type_name, std::vector<std::string>()).first;
  last_set_ = vdb_set;
  last_kind_ = kind;
  last_type_ = &group->first;
  last_group_ = &group->second;
  return group->second;
}

void TarnixTransactionLog::AddChange(uint32_t kind, const std::string& type_name,
                                     const std::string& id, const VdbIdSet& vdb_ids) {
  GroupOf(EncodeVdbIdSet(vdb_ids), kind, type_name).push_back(id);
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
  while (!update_records.empty()) {
    ObjectUpdateRecord& record = update_records.front();
    GroupOf(record.vdb_set, record.kind, record.type_name).push_back(std::move(record.id));
    update_records.pop_front();
  }
  ChangeGroups groups;
  groups.swap(groups_);
  last_group_ = nullptr;

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
        schema_->types().SetObjectType(type_name, entry);
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
            schema_->types().SetObjectType(type_name, entry);
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
