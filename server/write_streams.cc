// The entry points of the write streams, one per operation of WriteOps.

#include <string>
#include <type_traits>

#include "logging/logger.h"
#include "schema/schema.h"
#include "server/tarnix_server.h"
#include "server/write_stream_processor.h"
#include "write/write_op.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

template <class Req>
orv::rpc::CallObserver<Req>* TarnixServer::OpenWriteStream(
    orv::rpc::CallContext& context,
    const CallPtr<typename WriteOpDescription<Req>::Response>& call) {
  using Resp = typename WriteOpDescription<Req>::Response;
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
  return new WriteStreamProcessor<Req, Resp>(context.client_id(), &writes_, call, &write_budget_,
                                             !status.ok());
}

void TarnixServer::AddWriteStreams() {
  WriteOps::ForEach([this](auto* request) {
    using Req = std::remove_pointer_t<decltype(request)>;
    using Resp = typename WriteOpDescription<Req>::Response;
    AddClientStreamMethod<Req, Resp>(
        WriteOpDescription<Req>::kName,
        [this](orv::rpc::CallContext& context, const CallPtr<Resp>& call) {
          return OpenWriteStream<Req>(context, call);
        });
  });
}

}  // namespace tarnix
