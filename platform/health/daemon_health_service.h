#ifndef TARNIX_PLATFORM_HEALTH_DAEMON_HEALTH_SERVICE_H_
#define TARNIX_PLATFORM_HEALTH_DAEMON_HEALTH_SERVICE_H_

#include <string>

#include "platform/health/health.pb.h"
#include "platform/rpc/service.h"

namespace google {
namespace protobuf {
class Message;
}  // namespace protobuf
}  // namespace google

namespace orv {

// grpc.health.v1.Health: SERVING for any service name while the daemon
// serves (the daemon's services stand or fall together).
class DaemonHealthService : public rpc::Service {
 public:
  // `version` describes the product; it is kept as text for diagnostics.
  explicit DaemonHealthService(const google::protobuf::Message& version);

  const std::string& version_text() const { return version_; }

  void Check(
      rpc::CallContext& context, const grpc::health::v1::HealthCheckRequest& request,
      const boost::intrusive_ptr<rpc::CallHandle<grpc::health::v1::HealthCheckResponse>>&
          call);
  void Watch(
      rpc::CallContext& context, const grpc::health::v1::HealthCheckRequest& request,
      const boost::intrusive_ptr<rpc::CallHandle<grpc::health::v1::HealthCheckResponse>>&
          call);

 private:
  std::string version_;
};

}  // namespace orv

#endif  // TARNIX_PLATFORM_HEALTH_DAEMON_HEALTH_SERVICE_H_
