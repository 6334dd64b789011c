// The CreateVDb, DeleteVDb and GetVDbId handlers of the data service.

#include <exception>
#include <memory>
#include <string>

#include "logging/logger.h"
#include "schema/schema.h"
#include "server/rpc_status.h"
#include "server/tarnix_server.h"
#include "write/write_transactions.h"
#include "write/tarnix_transaction_log.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

namespace {

// Why a CreateVDb or DeleteVDb may not name `name`, or null; the texts of a
// missing name and of the main vdb differ between the two.
const char* RefusedVdbName(bool has_name, const std::string& name, const char* missing,
                           const char* main_vdb) {
  if (!has_name) return missing;
  if (!VDbRegistry::IsValidName(name)) return "Invalid VDB name";
  if (name == VDbRegistry::kMainVdbName) return main_vdb;
  return nullptr;
}

}  // namespace

void TarnixServer::CreateVDb(orv::rpc::CallContext& context, const tx::CreateVDbRequestMsg& request,
                             const CallPtr<tx::CreateVDbResponseMsg>& call) {
  const std::string& client_id = context.client_id();
  const std::string& name = request.vdb_name();
  TARNIX_LOG(orv::INFO, nullptr, "CreateVDb: Client ID=%s %s", client_id.c_str(), name.c_str());
  const orv::rpc::AppStatus authenticated = Authenticate(context, "CreateVDb");
  if (!authenticated.ok()) {
    call->Fail(authenticated);
    return;
  }
  if (!schema_->permissions().CanManageVDbs(client_id)) {
    call->Fail(orv::rpc::PERMISSION_DENIED(client_id + " does not have permission to create VDb"));
    return;
  }
  const char* invalid = RefusedVdbName(request.has_vdb_name(), name, "Missing VDB name.",
                                       "Attempt to create main VDB");
  if (invalid != nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0601", "CreateVDb failed: %s", invalid);
    call->Fail(orv::rpc::INVALID_ARGUMENT(invalid));
    return;
  }
  uint16_t id = 0;
  if (vdbs_.FindId(name, &id)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0602",
               "CreateVDb failed: vdb_name = '%s' has a vdb_id already allocated.", name.c_str());
    call->Fail(orv::rpc::ALREADY_EXISTS("supplied vdb_name is already in use"));
    return;
  }
  // The record write goes around the group commit: after a failed sync it
  // is refused as writes are.
  if (!group_commit_.Writable().ok()) {
    call->Fail(ToAppStatus(group_commit_.Writable()));
    return;
  }
  uint64_t txn_id = 0;
  if (!txn_ids_.GetNextTxnId(&txn_id)) {
    call->Fail(orv::rpc::INTERNAL("Unable to generate transaction id"));
    return;
  }
  const Status found = vdbs_.FindFreeId(max_vdb_id_, &id);
  if (!found.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "TarnixServer::CreateVDb(): Resource exhausted");
    call->Fail(ToAppStatus(found));
    return;
  }
  TarnixTransactionLog log(schema_, client_id, txn_id);
  log.vdb_id = id;
  log.RecordRequest(request);
  // The record is synced before the answer: see AddVDbInfo.
  if (!vdbs_.AddVDbInfo(id, name, &log)) {
    call->Fail(orv::rpc::INTERNAL("DbAccess write failure"));
    return;
  }
  tx::CreateVDbResponseMsg response;
  response.set_vdb_id(id);
  call->Respond(response);
}

namespace {

// The answer of DeleteVDb's flush: a failure fails the call and opens the
// vdb again; a success waits for the record delete after the notification.
class DeleteVDbReply : public WriteReply {
 public:
  DeleteVDbReply(VDbRegistry* vdbs, TarnixServer::CallPtr<tx::DeleteVDbResponseMsg> call,
                 VdbId vdb_id)
      : vdbs_(vdbs), call_(std::move(call)), vdb_id_(vdb_id) {}
  void Respond() override {}
  void Fail(const Status& status) override {
    vdbs_->Reopen(vdb_id_);
    call_->Fail(ToAppStatus(status));
  }
  std::unique_ptr<WriteReply> Keep() override {
    return std::make_unique<DeleteVDbReply>(vdbs_, call_, vdb_id_);
  }

 private:
  VDbRegistry* const vdbs_;
  const TarnixServer::CallPtr<tx::DeleteVDbResponseMsg> call_;
  const VdbId vdb_id_;
};

}  // namespace

void TarnixServer::DeleteVDb(orv::rpc::CallContext& context, const tx::DeleteVDbRequestMsg& request,
                             const CallPtr<tx::DeleteVDbResponseMsg>& call) {
  const std::string& client_id = context.client_id();
  const std::string& name = request.vdb_name();
  TARNIX_LOG(orv::INFO, nullptr, "DeleteVDb: Client ID=%s %s", client_id.c_str(), name.c_str());
  const orv::rpc::AppStatus authenticated = Authenticate(context, "DeleteVDb");
  if (!authenticated.ok()) {
    call->Fail(authenticated);
    return;
  }
  if (!schema_->permissions().CanManageVDbs(client_id)) {
    call->Fail(orv::rpc::PERMISSION_DENIED(client_id + " does not have permission to delete VDb"));
    return;
  }
  const char* invalid = RefusedVdbName(request.has_vdb_name(), name, "Missing vdb_name.",
                                       "Attempt to delete main VDb");
  if (invalid != nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0601", "DeleteVDb failed: %s", invalid);
    call->Fail(orv::rpc::INVALID_ARGUMENT(invalid));
    return;
  }
  uint16_t id = 0;
  if (!vdbs_.FindId(name, &id)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0605",
               "DeleteVDb failed: vdb_name = '%s' has no vdb_id allocated.", name.c_str());
    call->Fail(orv::rpc::FAILED_PRECONDITION("supplied vdb_name is not yet in use"));
    return;
  }
  std::string mapped;
  if (!vdbs_.FindName(id, &mapped)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0606",
               "Error: DeleteVDb failed: vdb_id = %u is not yet in use. But vdb_name = %s has been "
               "mapped to it.",
               id, name.c_str());
    call->Fail(orv::rpc::FAILED_PRECONDITION("no mapping for vdb_id found"));
    return;
  }
  // A second delete could otherwise remove a vdb created again meanwhile.
  if (vdbs_.IsClosed(id)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0605",
               "DeleteVDb failed: vdb_name = '%s' is being deleted.", name.c_str());
    call->Fail(orv::rpc::FAILED_PRECONDITION("supplied vdb_name is being deleted"));
    return;
  }
  // Closed before the flush takes its id: no later request may name it.
  vdbs_.Close(id);
  DeleteVDbReply reply(&vdbs_, call, id);
  const auto deleted_after_flush = [this, call, id, name] {
    // The refusal after a failed sync holds for the record too.
    if (!group_commit_.Writable().ok()) {
      vdbs_.Reopen(id);
      call->Fail(ToAppStatus(group_commit_.Writable()));
      return;
    }
    Status deleted;
    try {
      deleted = vdbs_.DeleteVDbInfo(id, name);
    } catch (const std::exception& e) {
      deleted = Status::Internal(e.what());
    }
    if (!deleted.ok()) {
      TARNIX_LOG(orv::INFO, nullptr,
                 "DbAccess error in TarnixServer::DeleteVDb(): %s. Unable to remove vdb_id from "
                 "disk.",
                 deleted.message().c_str());
      vdbs_.Reopen(id);
      call->Fail(orv::rpc::INTERNAL("DbAccess Delete() failure"));
      return;
    }
    call->Respond(tx::DeleteVDbResponseMsg());
    RunMonitorStep([&] {
      AbortMonitorsOfDeletedVDb(id);
      return true;
    });
    TARNIX_LOG(orv::INFO, nullptr, "Deleting VDb: vdb_name = '%s', vdb_id = %u", name.c_str(), id);
    vdbs_.RemoveVDbInfo(id);
  };
  try {
    writes_.DeleteVDb(client_id, request, id, &reply, deleted_after_flush);
  } catch (...) {
    vdbs_.Reopen(id);  // the flush was never committed
    throw;
  }
}

void TarnixServer::GetVDbId(orv::rpc::CallContext& context, const tx::GetVDbIdRequestMsg& request,
                            const CallPtr<tx::GetVDbIdResponseMsg>& call) {
  TARNIX_LOG(orv::INFO, nullptr, "GetVDbId: Client ID=%s", context.client_id().c_str());
  const orv::rpc::AppStatus authenticated = Authenticate(context, "GetVDbId");
  if (!authenticated.ok()) {
    call->Fail(authenticated);
    return;
  }
  tx::GetVDbIdResponseMsg response;
  if (request.vdb_names_size() == 0) {
    TARNIX_LOG(orv::INFO, nullptr, "GetVDbId: All VDbs");
    for (const auto& vdb : vdbs_.vdb_id_to_name()) {
      tx::VDbMsg* entry = response.add_vdbs();
      entry->set_vdb_name(vdb.second);
      entry->set_vdb_id(vdb.first);
    }
  } else {
    std::string asked;
    for (const std::string& name : request.vdb_names()) {
      asked += name + ", ";
      uint16_t id = 0;
      if (!vdbs_.FindId(name, &id)) continue;
      tx::VDbMsg* entry = response.add_vdbs();
      entry->set_vdb_name(name);
      entry->set_vdb_id(id);
    }
    TARNIX_LOG(orv::INFO, nullptr, "GetVDbId: %s", asked.c_str());
    if (response.vdbs_size() == 0) {
      TARNIX_LOG(orv::INFO, nullptr,
                 "GetVDbId: Requested VDb names did not match any existing VDbs");
    }
  }
  call->Respond(response);
}

}  // namespace tarnix
