#ifndef TARNIX_SERVER_CALL_REPLY_H_
#define TARNIX_SERVER_CALL_REPLY_H_

#include <memory>
#include <utility>

#include <boost/intrusive_ptr.hpp>

#include "platform/rpc/call.h"
#include "server/rpc_status.h"
#include "write/write_transactions.h"

namespace tarnix {

// A WriteReply on an RPC call whose response message is Resp; holds the call
// and answers a failure with ToAppStatus of it.
template <class Resp>
class CallReply : public WriteReply {
 public:
  explicit CallReply(boost::intrusive_ptr<orv::rpc::CallHandle<Resp>> call)
      : call_(std::move(call)) {}
  void Respond() override { call_->call()->Respond(Resp()); }
  void Fail(const Status& status) override { call_->call()->Fail(ToAppStatus(status)); }
  std::unique_ptr<WriteReply> Keep() override { return std::make_unique<CallReply>(call_); }

 private:
  const boost::intrusive_ptr<orv::rpc::CallHandle<Resp>> call_;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_CALL_REPLY_H_
