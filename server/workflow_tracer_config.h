#ifndef TARNIX_SERVER_WORKFLOW_TRACER_CONFIG_H_
#define TARNIX_SERVER_WORKFLOW_TRACER_CONFIG_H_

#include "caldek/orv/tarnix/tarnix_workflow.pb.h"
#include "storage/db_access.h"

namespace tarnix {

// The workflow-tracer configuration of the data service, kept in the
// database under the one-byte key 0x05 so that it survives restarts. Tracing
// is on only while an applied configuration has its enable field present
// and true; the write path reads that switch from the tracing layer.
// Not thread-safe: used at start-up and on the RPC event-loop thread.
class WorkflowTracerConfig {
 public:
  using Message = caldek::orv::tarnix::WorkFlowTraceConfigMsg;

  const Message& config() const { return config_; }

  // Reads the stored configuration on a snapshot of its own and, when there
  // is one, takes it (a record that does not parse leaves what it could
  // read) and applies it. Without one, or on a storage error, the defaults
  // stay and tracing is left as it is.
  void Load(DbAccess* db_access);

  // Stores `config` as the persisted configuration and takes it; the
  // storage status. Nothing is applied.
  DbAccessStatus Store(DbAccess* db_access, const Message& config);

  // Hands the configuration to the tracing layer: when it is enabled, an
  // INFO line with its text and tracing on at its trace level (again if it
  // was on already); otherwise tracing off, without a line.
  void InitWorkflowTracer() const;

 private:
  Message config_;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_WORKFLOW_TRACER_CONFIG_H_
