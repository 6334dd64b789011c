// The CreateVDb and GetVDbId handlers of the data service.

#include <string>

#include "logging/logger.h"
#include "schema/schema.h"
#include "server/rpc_status.h"
#include "server/tarnix_server.h"
#include "write/tarnix_transaction_log.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

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
  if (!schema_->CanManageVDbs(client_id)) {
    call->Fail(orv::rpc::PERMISSION_DENIED(client_id + " does not have permission to create VDb"));
    return;
  }
  const char* invalid = nullptr;
  if (!request.has_vdb_name()) {
    invalid = "Missing VDB name.";
  } else if (!VDbRegistry::IsValidName(name)) {
    invalid = "Invalid VDB name";
  } else if (name == VDbRegistry::kMainVdbName) {
    invalid = "Attempt to create main VDB";
  }
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
