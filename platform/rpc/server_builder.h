#ifndef TARNIX_PLATFORM_RPC_SERVER_BUILDER_H_
#define TARNIX_PLATFORM_RPC_SERVER_BUILDER_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/net/endpoint.h"
#include "platform/rpc/service.h"

namespace orv {

class AsioOrvProvider;

namespace rpc {

// Per-service settings; accepted for every service, none changes behaviour.
struct RpcServiceOptions {
  int priority = 0;
  int max_concurrent_calls = 0;
  int reserved = 0;
};

// Per-endpoint RPC settings; the defaults are the only ones used.
struct RpcConnectionOptions {};

// A started server. Serving is driven by the provider's Run; destroying this
// object does not stop it (the provider does).
class Server {
 public:
  virtual ~Server() = default;
  // The port bound for each endpoint, in the order added (0 for unix sockets).
  const std::vector<int>& bound_ports() const { return ports_; }

 private:
  friend class ServerBuilder;
  std::vector<int> ports_;
};

// Collects services and endpoints, then starts the provider's one server.
class ServerBuilder {
 public:
  explicit ServerBuilder(AsioOrvProvider* provider) : provider_(provider) {}

  // `service` is not owned and must outlive serving.
  void RegisterService(Service* service,
                       const RpcServiceOptions& options = RpcServiceOptions());
  void AddListeningEndpoint(
      const net::Endpoint& endpoint,
      std::shared_ptr<net::ConnectionOptions> options = nullptr,
      const RpcConnectionOptions& rpc_options = RpcConnectionOptions());
  // Starts serving on every endpoint. Throws std::runtime_error when an
  // endpoint cannot be bound or the server cannot start.
  std::unique_ptr<Server> BuildStarted();

 private:
  AsioOrvProvider* provider_;
  std::vector<Service*> services_;
  std::vector<net::Endpoint> endpoints_;
};

}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_SERVER_BUILDER_H_
