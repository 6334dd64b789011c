#include "platform/rpc/test_server.h"

#include <boost/property_tree/ptree.hpp>

namespace orv {
namespace rpc {
namespace testing {

TestServer::TestServer(Options options) {
  boost::property_tree::ptree config;
  config.put("metrics.root_namespace", "/orv/tarnix");
  config.put("metrics.report_interval_sec", 300u);
  config.put("rpc.shutdown_grace_ms", options.grace_ms);
  config.put("rpc.stalled_reader_timeout_ms", options.stalled_reader_timeout_ms);
  if (options.max_queued_bytes != 0) {
    config.put("rpc.max_queued_bytes", options.max_queued_bytes);
  }
  provider_.reset(new AsioOrvProvider(config, ""));
  if (options.setup) options.setup(*provider_);
  ServerBuilder& builder = provider_->rpc();
  builder.RegisterService(&service_);
  for (Service* extra : options.extra_services) builder.RegisterService(extra);
  net::Endpoint endpoint(options.endpoint);
  builder.AddListeningEndpoint(endpoint);
  server_ = builder.BuildStarted();
  address_ = endpoint.is_unix()
                 ? options.endpoint
                 : "127.0.0.1:" + std::to_string(server_->bound_ports().at(0));
  loop_ = std::thread([this] { provider_->Run(1); });
}

TestServer::~TestServer() {
  StopAndJoin();
  server_.reset();
  provider_.reset();
}

void TestServer::StopAndJoin() {
  if (!loop_.joinable()) return;
  provider_->Stop();
  loop_.join();
}

std::unique_ptr<tarnix_test::Echo::Stub> PlainStub(const std::string& address) {
  return tarnix_test::Echo::NewStub(
      grpc::CreateChannel(address, grpc::InsecureChannelCredentials()));
}

}  // namespace testing
}  // namespace rpc
}  // namespace orv
