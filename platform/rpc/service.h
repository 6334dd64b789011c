#ifndef TARNIX_PLATFORM_RPC_SERVICE_H_
#define TARNIX_PLATFORM_RPC_SERVICE_H_

#include <grpcpp/impl/codegen/proto_utils.h>
#include <grpcpp/support/byte_buffer.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/rpc/call.h"

namespace orv {
namespace rpc {
namespace internal {

enum class MethodKind { kUnary, kServerStream, kClientStream };

// One RPC of a service: how to make its call object, parse its requests and
// run its handler.
struct MethodEntry {
  std::string path;  // "/package.Service/Method"
  MethodKind kind;
  std::function<ServerCall*()> create_call;
  // Parses one request message; null when it does not parse. Any thread: the
  // I/O threads parse before the loop hears of the message.
  std::function<std::unique_ptr<google::protobuf::Message>(grpc::ByteBuffer*)> parse;
  // Unary and server-stream: runs the handler on the parsed request.
  std::function<void(ServerCall*, const google::protobuf::Message&)> invoke;
  // Client stream: runs the handler, which returns the observer (or null).
  std::function<CallObserverBase*(ServerCall*)> open;
  // Client stream, optional: runs on the I/O thread after each message
  // parsed; what it returns goes to the observer with the message.
  std::function<std::unique_ptr<RequestExtra>(const google::protobuf::Message&)> prepare;
  // Client stream: hands one parsed message and its extra to the observer,
  // which may take its contents.
  std::function<void(CallObserverBase*, google::protobuf::Message*, std::unique_ptr<RequestExtra>)>
      deliver;
};

template <class Msg>
std::unique_ptr<google::protobuf::Message> ParseMessage(grpc::ByteBuffer* buffer) {
  std::unique_ptr<Msg> message(new Msg);
  if (!grpc::SerializationTraits<Msg>::Deserialize(buffer, message.get()).ok()) {
    return nullptr;
  }
  return message;
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
  // Whether some call's work is done and its answer not yet given (a
  // committed write waiting for its sync). While a service says so after
  // OnServerStopping, the server waits, up to a limit, before it cancels
  // the calls still open (loop thread).
  virtual bool AnswersPending() const { return false; }

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
    S* self = static_cast<S*>(this);
    AddClientStreamMethod<Req, Resp>(
        method,
        [self, fn](CallContext& context, const boost::intrusive_ptr<CallHandle<Resp>>& call) {
          return (self->*fn)(context, call);
        });
  }

  // A client stream whose handler is any callable; it returns the call's
  // observer (or null).
  template <class Req, class Resp>
  void AddClientStreamMethod(
      const std::string& method,
      std::function<CallObserver<Req>*(CallContext&, const boost::intrusive_ptr<CallHandle<Resp>>&)>
          open) {
    internal::MethodEntry entry;
    entry.path = "/" + name_ + "/" + method;
    entry.kind = internal::MethodKind::kClientStream;
    entry.create_call = [] { return new CallHandle<Resp>(); };
    entry.open = [open = std::move(open)](ServerCall* call) -> CallObserverBase* {
      boost::intrusive_ptr<CallHandle<Resp>> handle(static_cast<CallHandle<Resp>*>(call));
      return open(call->context(), handle);
    };
    entry.parse = &internal::ParseMessage<Req>;
    entry.deliver = [](CallObserverBase* observer, google::protobuf::Message* message,
                       std::unique_ptr<RequestExtra> extra) {
      static_cast<CallObserver<Req>*>(observer)->TakeMessage(std::move(*static_cast<Req*>(message)),
                                                             std::move(extra));
    };
    methods_.push_back(std::move(entry));
  }

  // Runs `prepare` on each message of the client stream `method` on the I/O
  // thread that parsed it, beside other calls' work: it must be safe on any
  // thread and must not throw. Before the server starts.
  template <class Req>
  void SetRequestPreparer(const std::string& method,
                          std::function<std::unique_ptr<RequestExtra>(const Req&)> prepare) {
    const std::string path = "/" + name_ + "/" + method;
    for (internal::MethodEntry& entry : methods_) {
      if (entry.path != path || entry.kind != internal::MethodKind::kClientStream) continue;
      entry.prepare = [prepare](const google::protobuf::Message& message) {
        return prepare(static_cast<const Req&>(message));
      };
    }
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
    entry.parse = &internal::ParseMessage<Req>;
    entry.invoke = [self, fn](ServerCall* call, const google::protobuf::Message& request) {
      boost::intrusive_ptr<CallHandle<Resp>> handle(static_cast<CallHandle<Resp>*>(call));
      (self->*fn)(call->context(), static_cast<const Req&>(request), handle);
    };
    methods_.push_back(std::move(entry));
  }

  std::string name_;
  std::vector<internal::MethodEntry> methods_;
};

}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_SERVICE_H_
