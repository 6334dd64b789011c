// The Get, Query and GetTransactionLog handlers of the data service.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "logging/logger.h"
#include "server/read_stream.h"
#include "server/rpc_status.h"
#include "server/tarnix_server.h"
#include "storage/key_space.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

namespace {

void LogGetFailure(const Status& status) {
  TARNIX_LOG(orv::INFO, nullptr, "Get operation failed with %s", status.ToString().c_str());
}

void LogQueryFailure(const Status& status) {
  TARNIX_LOG(orv::INFO, nullptr, "%s", ("Query operation failed: " + status.ToString()).c_str());
}

}  // namespace

void TarnixServer::Get(orv::rpc::CallContext& context, const tx::GetRequestMsg& request,
                       const CallPtr<tx::GetResponseMsg>& call) {
  const std::string& client_id = context.client_id();
  TARNIX_LOG(orv::INFO, nullptr, "Get: Client ID=%s", client_id.c_str());
  orv::rpc::AppStatus status = Authenticate(context, "Get operation");
  if (!status.ok()) {
    call->Fail(status);
    return;
  }
  VdbId vdb_id = kMainVdbId;
  if (!ResolveReadVdb(request.has_vdb_id(), request.vdb_id(), &vdb_id)) {
    call->Fail(orv::rpc::FAILED_PRECONDITION("no mapping for vdb_id found"));
    return;
  }

  GetReadLists lists;
  const Status checked = get_processor_.ProcessGetRequest(client_id, request.objects(), &lists);
  if (orv::Logger::logLevel >= orv::VERBOSE) {
    for (const std::string& type : lists.type_names) {
      TARNIX_LOG(orv::VERBOSE, nullptr, "object_type='%s'", type.c_str());
    }
    for (const auto& object : lists.id_pairs) {
      // The id's bytes as they are, bounded by its length.
      TARNIX_LOG(orv::VERBOSE, nullptr, "object_type='%s' object_id='%.*s'", object.first.c_str(),
                 static_cast<int>(object.second.size()), object.second.data());
    }
  }
  if (!checked.ok()) {
    LogGetFailure(checked);
    call->Fail(ToAppStatus(checked));
    return;
  }
  ReadStream<tx::GetResponseMsg>::Start(get_processor_.GetObjects(std::move(lists), vdb_id), call,
                                        loop_poster_, read_slice_records_, LogGetFailure);
}

void TarnixServer::Query(orv::rpc::CallContext& context, const tx::QueryRequestMsg& request,
                         const CallPtr<tx::QueryResponseMsg>& call) {
  const std::string& client_id = context.client_id();
  TARNIX_LOG(orv::INFO, nullptr, "Query: Client ID=%s", client_id.c_str());
  const orv::rpc::AppStatus authenticated = Authenticate(context, "Query operation");
  if (!authenticated.ok()) {
    call->Fail(authenticated);
    return;
  }
  VdbId vdb_id = kMainVdbId;
  if (!ResolveReadVdb(request.has_vdb_id(), request.vdb_id(), &vdb_id)) {
    call->Fail(orv::rpc::FAILED_PRECONDITION("no mapping for vdb_id found"));
    return;
  }
  std::unique_ptr<QueryProcessor::Read> read;
  const Status status = query_processor_.QueryImpl(client_id, request, vdb_id, &read);
  if (!status.ok()) {
    LogQueryFailure(status);
    call->Fail(ToAppStatus(status));
    return;
  }
  ReadStream<tx::QueryResponseMsg>::Start(std::move(read), call, loop_poster_,
                                          read_slice_records_, LogQueryFailure);
}

bool TarnixServer::ResolveReadVdb(bool has_vdb_id, uint32_t vdb_id, VdbId* resolved) const {
  const uint32_t requested = has_vdb_id ? vdb_id : kMainVdbId;
  if (!vdbs_.InUse(requested)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0606", "Error: Specified vdb_id = %u is not yet in use.",
               requested);
    return false;
  }
  *resolved = static_cast<VdbId>(requested);
  return true;
}

void TarnixServer::GetTransactionLog(orv::rpc::CallContext& context,
                                     const tx::GetTransactionLogsRequestMsg& /*request*/,
                                     const CallPtr<tx::GetTransactionLogsResponseMsg>& call) {
  TARNIX_LOG(orv::INFO, nullptr, "GetTransactionLog: Client ID=%s", context.client_id().c_str());
  // Every client's request bodies are in the log. Plaintext proves no one,
  // so there it stays open to every caller.
  const orv::net::X509Certificate::Ptr server_certificate = InstalledServerCertificate(security_);
  if (server_certificate) {
    const orv::rpc::AppStatus allowed =
        CheckAdministrator(context, server_certificate, "read the transaction log");
    if (!allowed.ok()) {
      call->Fail(allowed);
      return;
    }
  }
  // One read on a snapshot of its own: a transaction is wholly in or out.
  // From the log's front: before it lie only trimmed units LevelDB may
  // still hold.
  DbAccess::Records units;
  const DbAccessStatus read = db_access_->PrefixFilter(DbAccess::SnapshotHolder(), kTxnLogPrefix,
                                                       &units, txn_log_.log_front());
  if (!read.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "DbAccess error in GetTransactionLogs(): %s. ",
               read.message.c_str());
    call->Fail(ToAppStatus(read.ToStatus()));
    return;
  }
  tx::GetTransactionLogsResponseMsg response;
  size_t bytes = 0;
  for (DbAccess::Record& unit : units) {
    bytes += unit.second.size();
    *response.add_units() = std::move(unit.second);
    if (bytes > GetProcessor::kMaxChunkBytes) {
      call->Write(response);
      response.Clear();
      bytes = 0;
    }
  }
  if (response.units_size() > 0) call->Write(response);
  call->Finish();
}

}  // namespace tarnix
