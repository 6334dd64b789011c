// The entry points of the seven write streams.

#include <string>

#include "server/tarnix_server.h"
#include "server/write_stream_processor.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

template <class Req, class Resp>
orv::rpc::CallObserver<Req>* TarnixServer::OpenWriteStream(
    orv::rpc::CallContext& context, const CallPtr<Resp>& call,
    void (TarnixServer::*body)(const std::string&, CallPtr<Resp>&, std::list<Req>&),
    const char* operation) {
  // Open streams tell the group commit whether a sync has company.
  group_commit_.StreamOpened();
  GroupCommit* const commits = &group_commit_;
  context.set_completion_callback([commits](const orv::rpc::Status&) { commits->StreamEnded(); });
  const orv::rpc::AppStatus status = AuthenticateClient(
      *client_certificates_, context, (std::string(operation) + " operation").c_str());
  if (!status.ok()) call->Fail(status);
  // A processor even for a refused call: the framework still delivers the
  // stream to it.
  return new WriteStreamProcessor<Req, Resp>(context.client_id(), this, call, body, operation,
                                             !status.ok());
}

orv::rpc::CallObserver<tx::PutRequestMsg>* TarnixServer::Put(
    orv::rpc::CallContext& context, const CallPtr<tx::PutResponseMsg>& call) {
  return OpenWriteStream(context, call, &TarnixServer::PutImpl, "Put");
}

orv::rpc::CallObserver<tx::DeleteRequestMsg>* TarnixServer::Delete(
    orv::rpc::CallContext& context, const CallPtr<tx::DeleteResponseMsg>& call) {
  return OpenWriteStream(context, call, &TarnixServer::DeleteImpl, "Delete");
}

orv::rpc::CallObserver<tx::FlushRequestMsg>* TarnixServer::Flush(
    orv::rpc::CallContext& context, const CallPtr<tx::FlushResponseMsg>& call) {
  return OpenWriteStream(context, call, &TarnixServer::FlushImpl, "Flush");
}

orv::rpc::CallObserver<tx::PatchRequestMsg>* TarnixServer::Patch(
    orv::rpc::CallContext& context, const CallPtr<tx::PatchResponseMsg>& call) {
  return OpenWriteStream(context, call, &TarnixServer::PatchImpl, "Patch");
}

orv::rpc::CallObserver<tx::CopyRequestMsg>* TarnixServer::Copy(
    orv::rpc::CallContext& context, const CallPtr<tx::CopyResponseMsg>& call) {
  return OpenWriteStream(context, call, &TarnixServer::CopyImpl, "Copy");
}

orv::rpc::CallObserver<tx::FlushByBlockIdRequestMsg>* TarnixServer::FlushByBlockId(
    orv::rpc::CallContext& context, const CallPtr<tx::FlushByBlockIdResponseMsg>& call) {
  return OpenWriteStream(context, call, &TarnixServer::FlushByBlockIdImpl, "FlushByBlockId");
}

orv::rpc::CallObserver<tx::ModifyRequestMsg>* TarnixServer::Modify(
    orv::rpc::CallContext& context, const CallPtr<tx::ModifyResponseMsg>& call) {
  return OpenWriteStream(context, call, &TarnixServer::ModifyImpl, "Modify");
}

}  // namespace tarnix
