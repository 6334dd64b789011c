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
  (void)config_.ParseFromString(value);
  InitWorkflowTracer();
}

DbAccessStatus WorkflowTracerConfig::Store(DbAccess* db_access, const Message& config) {
  std::vector<int32_t> results;
  const DbAccessStatus status =
      db_access->Put({{kWorkflowTracerConfigKey, config.SerializeAsString()}}, false, &results);
  if (status.ok()) config_ = config;
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
