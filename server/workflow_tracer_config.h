#ifndef TARNIX_SERVER_WORKFLOW_TRACER_CONFIG_H_
#define TARNIX_SERVER_WORKFLOW_TRACER_CONFIG_H_

#include <cstdint>

#include "caldek/orv/tarnix/tarnix_workflow.pb.h"
#include "storage/db_access.h"
#include "util/status.h"

namespace tarnix {

// The workflow-tracer configuration of the data service, kept in the
// database under the one-byte key 0x05 so that it survives restarts. Tracing
// is on only while an applied configuration has its enable field present
// and true; the write path reads that switch from the tracing layer.
// Not thread-safe: used at start-up and on the RPC event-loop thread.
class WorkflowTracerConfig {
 public:
  using Message = caldek::orv::tarnix::WorkFlowTraceConfigMsg;

  // The deepest span level there is.
  static constexpr uint32_t kMaxTraceLevel = 4;

  const Message& config() const { return config_; }

  // OK when `config` can be applied: a trace level of at most
  // kMaxTraceLevel, a sampling ratio from 0 to 1 and a collector port from 1
  // to 65535, each when present. Otherwise InvalidArgument naming the field.
  static Status Validate(const Message& config);

  // Reads the stored configuration on a snapshot of its own and, when there
  // is one, takes it and applies it. Without one, or on a storage error, the
  // defaults stay and tracing is left as it is. A stored configuration that
  // does not parse or no longer passes Validate() is logged at ERROR and not
  // taken: the defaults stay and tracing stays off.
  void Load(DbAccess* db_access);

  // Validates `config`, stores it as the persisted configuration and takes
  // it. Nothing is applied. Fails with Validate()'s status, or with Internal
  // "Unable to persist workflow tracer config" when the write fails; either
  // way the configuration held and stored stays as it was.
  Status Store(DbAccess* db_access, const Message& config);

  // Hands the configuration to the tracing layer: when it is enabled, an
  // INFO line with its text and tracing on at its trace level (again if it
  // was on already); otherwise tracing off, without a line.
  void InitWorkflowTracer() const;

 private:
  Message config_;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_WORKFLOW_TRACER_CONFIG_H_
