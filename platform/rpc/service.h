#ifndef TARNIX_PLATFORM_RPC_SERVICE_H_
#define TARNIX_PLATFORM_RPC_SERVICE_H_

#include <grpcpp/impl/codegen/proto_utils.h>
#include <grpcpp/support/byte_buffer.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/rpc/call.h"

namespace orv {
namespace rpc {
namespace internal {

enum class MethodKind { kUnary, kServerStream, kClientStream };

// One RPC of a service: how to make its call object and run its handler.
struct MethodEntry {
  std::string path;  // "/package.Service/Method"
  MethodKind kind;
  std::function<ServerCall*()> create_call;
  // Unary and server-stream: parses the request and runs the handler; false
  // when the request does not parse.
  std::function<bool(ServerCall*, grpc::ByteBuffer*)> invoke;
  // Client stream: runs the handler, which returns the observer (or null).
  std::function<CallObserverBase*(ServerCall*)> open;
  // Client stream: parses one message and hands it to the observer.
  std::function<bool(CallObserverBase*, grpc::ByteBuffer*)> deliver;
};

template <class Msg>
bool ParseMessage(grpc::ByteBuffer* buffer, Msg* message) {
  return grpc::SerializationTraits<Msg>::Deserialize(buffer, message).ok();
}

}  // namespace internal

// Base of every service: a table of its RPCs by full method name. Derived
// classes register their handlers in their constructor.
class Service {
 public:
  virtual ~Service() = default;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Full protobuf name, e.g. "caldek.orv.tarnix.Tarnix".
  const std::string& service_name() const { return name_; }
  const std::vector<internal::MethodEntry>& methods() const { return methods_; }

  // Called once before the server serves, with the names of every service
  // it serves (this one included).
  virtual void OnServerStarted(const std::vector<std::string>& /*service_names*/) {}
  // Called on the loop thread when the server starts to stop; calls still
  // open may send a last message.
  virtual void OnServerStopping() {}

 protected:
  explicit Service(std::string full_name) : name_(std::move(full_name)) {}

  template <class S, class Req, class Resp>
  void AddUnaryMethod(const std::string& method,
                      void (S::*fn)(CallContext&, const Req&,
                                    const boost::intrusive_ptr<CallHandle<Resp>>&)) {
    AddRequestMethod(method, internal::MethodKind::kUnary, fn);
  }

  template <class S, class Req, class Resp>
  void AddServerStreamMethod(
      const std::string& method,
      void (S::*fn)(CallContext&, const Req&,
                    const boost::intrusive_ptr<CallHandle<Resp>>&)) {
    AddRequestMethod(method, internal::MethodKind::kServerStream, fn);
  }

  template <class S, class Req, class Resp>
  void AddClientStreamMethod(
      const std::string& method,
      CallObserver<Req>* (S::*fn)(CallContext&,
                                  const boost::intrusive_ptr<CallHandle<Resp>>&)) {
    internal::MethodEntry entry;
    entry.path = "/" + name_ + "/" + method;
    entry.kind = internal::MethodKind::kClientStream;
    entry.create_call = [] { return new CallHandle<Resp>(); };
    S* self = static_cast<S*>(this);
    entry.open = [self, fn](ServerCall* call) -> CallObserverBase* {
      boost::intrusive_ptr<CallHandle<Resp>> handle(static_cast<CallHandle<Resp>*>(call));
      return (self->*fn)(call->context(), handle);
    };
    entry.deliver = [](CallObserverBase* observer, grpc::ByteBuffer* buffer) {
      Req request;
      if (!internal::ParseMessage(buffer, &request)) return false;
      static_cast<CallObserver<Req>*>(observer)->OnMessage(request);
      return true;
    };
    methods_.push_back(std::move(entry));
  }

 private:
  template <class S, class Req, class Resp>
  void AddRequestMethod(const std::string& method, internal::MethodKind kind,
                        void (S::*fn)(CallContext&, const Req&,
                                      const boost::intrusive_ptr<CallHandle<Resp>>&)) {
    internal::MethodEntry entry;
    entry.path = "/" + name_ + "/" + method;
    entry.kind = kind;
    entry.create_call = [] { return new CallHandle<Resp>(); };
    S* self = static_cast<S*>(this);
    entry.invoke = [self, fn](ServerCall* call, grpc::ByteBuffer* buffer) {
      Req request;
      if (!internal::ParseMessage(buffer, &request)) return false;
      boost::intrusive_ptr<CallHandle<Resp>> handle(static_cast<CallHandle<Resp>*>(call));
      (self->*fn)(call->context(), request, handle);
      return true;
    };
    methods_.push_back(std::move(entry));
  }

  std::string name_;
  std::vector<internal::MethodEntry> methods_;
};

}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_SERVICE_H_
