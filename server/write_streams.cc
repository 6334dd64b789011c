// The entry points of the seven write streams.

#include <string>

#include "logging/logger.h"
#include "schema/schema.h"
#include "server/tarnix_server.h"
#include "server/write_stream_processor.h"
#include "write/write_op.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

template <class Req, class Resp>
orv::rpc::CallObserver<Req>* TarnixServer::OpenWriteStream(
    orv::rpc::CallContext& context, const CallPtr<Resp>& call,
    void (WriteTransactions::*body)(const std::string&, WriteReply*, std::list<Req>*,
                                    std::vector<PreparedRequest>*)) {
  const char* const operation = WriteOpDescription<Req>::kName;
  const std::string what = std::string(operation) + " operation";
  orv::rpc::AppStatus status = Authenticate(context, what.c_str());
  // Without object types every entry would be skipped and the client told
  // its write succeeded. Checked before any transaction id is taken; a
  // schema, once it has object types, keeps them (LoadSchema refuses a file
  // without).
  if (status.ok() && !schema_->types().HasObjectTypes()) {
    status = orv::rpc::FAILED_PRECONDITION("No schema loaded");
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "%s failed: %s", what.c_str(),
               status.message().c_str());
  }
  if (!status.ok()) call->Fail(status);
  // A processor even for a refused call: the framework still delivers the
  // stream to it.
  return new WriteStreamProcessor<Req, Resp>(context.client_id(), &writes_, call, body, operation,
                                             &write_budget_, !status.ok());
}

orv::rpc::CallObserver<tx::PutRequestMsg>* TarnixServer::Put(
    orv::rpc::CallContext& context, const CallPtr<tx::PutResponseMsg>& call) {
  return OpenWriteStream(context, call, &WriteTransactions::Put);
}

orv::rpc::CallObserver<tx::DeleteRequestMsg>* TarnixServer::Delete(
    orv::rpc::CallContext& context, const CallPtr<tx::DeleteResponseMsg>& call) {
  return OpenWriteStream(context, call, &WriteTransactions::Delete);
}

orv::rpc::CallObserver<tx::FlushRequestMsg>* TarnixServer::Flush(
    orv::rpc::CallContext& context, const CallPtr<tx::FlushResponseMsg>& call) {
  return OpenWriteStream(context, call, &WriteTransactions::Flush);
}

orv::rpc::CallObserver<tx::PatchRequestMsg>* TarnixServer::Patch(
    orv::rpc::CallContext& context, const CallPtr<tx::PatchResponseMsg>& call) {
  return OpenWriteStream(context, call, &WriteTransactions::Patch);
}

orv::rpc::CallObserver<tx::CopyRequestMsg>* TarnixServer::Copy(
    orv::rpc::CallContext& context, const CallPtr<tx::CopyResponseMsg>& call) {
  return OpenWriteStream(context, call, &WriteTransactions::Copy);
}

orv::rpc::CallObserver<tx::FlushByBlockIdRequestMsg>* TarnixServer::FlushByBlockId(
    orv::rpc::CallContext& context, const CallPtr<tx::FlushByBlockIdResponseMsg>& call) {
  return OpenWriteStream(context, call, &WriteTransactions::FlushByBlockId);
}

orv::rpc::CallObserver<tx::ModifyRequestMsg>* TarnixServer::Modify(
    orv::rpc::CallContext& context, const CallPtr<tx::ModifyResponseMsg>& call) {
  return OpenWriteStream(context, call, &WriteTransactions::Modify);
}

}  // namespace tarnix
