#include "server/workflow_tracer_config.h"

#include <string>
#include <vector>

#include "logging/logger.h"
#include "platform/wft/workflow_util.h"
#include "storage/key_space.h"

namespace tarnix {

void WorkflowTracerConfig::Load(DbAccess* db_access) {
  std::string value;
  DbAccessStatus status;
  {
    // The snapshot is released before the tracer is configured.
    DbAccess::SnapshotHolder snapshot = db_access->GetSnapshot();
    status = db_access->Get(snapshot, kWorkflowTracerConfigKey, &value);
  }
  if (!status.ok()) return;
  // Start-up goes on without tracing rather than stopping on a record an
  // older release wrote.
  Message stored;
  if (!stored.ParseFromString(value)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0011",
               "Stored workflow tracer configuration does not parse. Tracing stays off.");
    return;
  }
  const Status valid = Validate(stored);
  if (!valid.ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0011",
               "Stored workflow tracer configuration %s no longer applies: %s. Tracing stays off.",
               stored.ShortDebugString().c_str(), valid.message().c_str());
    return;
  }
  config_.Swap(&stored);
  InitWorkflowTracer();
}

Status WorkflowTracerConfig::Validate(const Message& config) {
  if (config.has_trace_level() && config.trace_level() > kMaxTraceLevel) {
    return Status::InvalidArgument("trace_level " + std::to_string(config.trace_level()) +
                                   " is above " + std::to_string(kMaxTraceLevel));
  }
  // Written so that NaN fails too.
  if (config.has_sampling_ratio() &&
      !(config.sampling_ratio() >= 0.0 && config.sampling_ratio() <= 1.0)) {
    return Status::InvalidArgument("sampling_ratio is not between 0 and 1");
  }
  if (config.has_collector() && config.collector().has_port() &&
      (config.collector().port() == 0 || config.collector().port() > 65535)) {
    return Status::InvalidArgument("collector port " + std::to_string(config.collector().port()) +
                                   " is not between 1 and 65535");
  }
  return Status::OK();
}

Status WorkflowTracerConfig::Store(DbAccess* db_access, const Message& config) {
  Status status = Validate(config);
  if (!status.ok()) return status;
  std::vector<int32_t> results;
  if (!db_access->Put({{kWorkflowTracerConfigKey, config.SerializeAsString()}}, false, &results)
           .ok()) {
    return Status::Internal("Unable to persist workflow tracer config");
  }
  config_ = config;
  return status;
}

void WorkflowTracerConfig::InitWorkflowTracer() const {
  if (!config_.has_enable() || !config_.enable()) {
    orv::wft::WorkflowUtil::Configure(false, config_.trace_level());
    return;
  }
  TARNIX_LOG(orv::INFO, nullptr, "Initializing workflow tracer with %s",
             config_.ShortDebugString().c_str());
  orv::wft::WorkflowUtil::Configure(true, config_.trace_level());
}

}  // namespace tarnix
