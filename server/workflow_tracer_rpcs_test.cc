#include <string>
#include <vector>

#include "caldek/orv/tarnix/tarnix_workflow.pb.h"
#include "platform/wft/workflow_util.h"
#include "server/service_test_util.h"
#include "storage/fault_env.h"
#include "storage/key_space.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using testing::Channel;
using Config = WorkflowTracerConfig::Message;

// The data service over plaintext loopback, on a database that can be made
// to fail a write.
class WorkflowTracerRpcsTest : public testing::DataServiceTest {
 protected:
  void SetUp() override {
    DataServiceTest::SetUp();
    db_.reset();
    db_ = OpenDb(&env_);
    Serve();
  }
  void TearDown() override {
    orv::wft::WorkflowUtil::Configure(false, 0);
    DataServiceTest::TearDown();
  }

  void Restart() {
    server_.reset();
    data_.reset();
    orv::wft::WorkflowUtil::Configure(false, 0);  // a new process starts untraced
    db_.reset();
    db_ = OpenDb(&env_);
    Serve();
  }

  grpc::Status Configure(const Config* config, const std::string& client_id = "tarnix-cli") {
    tx::ConfigureWorkflowTracerRequestMsg request;
    if (config != nullptr) *request.mutable_config() = *config;
    tx::ConfigureWorkflowTracerResponseMsg response;
    return testing::CallUnary(Channel(server_->address(), nullptr),
                              "/caldek.orv.tarnix.Tarnix/ConfigureWorkflowTracer", client_id,
                              request, &response);
  }
  grpc::Status Get(tx::GetWorkflowTracerResponseMsg* response,
                   const std::string& client_id = "tarnix-cli") {
    return testing::CallUnary(Channel(server_->address(), nullptr),
                              "/caldek.orv.tarnix.Tarnix/GetWorkflowTracer", client_id,
                              tx::GetWorkflowTracerRequestMsg(), response);
  }
  // The configuration GetWorkflowTracer answers, as text.
  std::string InForce() {
    tx::GetWorkflowTracerResponseMsg response;
    const grpc::Status status = Get(&response);
    EXPECT_TRUE(status.ok()) << status.error_message();
    EXPECT_TRUE(response.has_config());
    return response.config().ShortDebugString();
  }
  std::string Stored() {
    std::string value;
    EXPECT_TRUE(db_->Get(db_->GetSnapshot(), kWorkflowTracerConfigKey, &value).ok());
    Config config;
    EXPECT_TRUE(config.ParseFromString(value));
    return config.ShortDebugString();
  }
  static Config Enabled(uint32_t level) {
    Config config;
    config.set_enable(true);
    config.set_trace_level(level);
    return config;
  }

  FaultEnv env_;
};

TEST_F(WorkflowTracerRpcsTest, ACallWithoutClientIdIsAnInvalidArgumentAndChangesNothing) {
  const Config on = Enabled(2);
  grpc::Status status = Configure(&on, "");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Missing client id.");
  EXPECT_TRUE(HasLine("ERROR", "DRX0007", "ConfigureWorkflowTracer failed: Missing client id."));
  EXPECT_FALSE(orv::wft::WorkflowUtil::Enabled());
  EXPECT_EQ(InForce(), "");
  std::string value;
  EXPECT_FALSE(db_->Get(db_->GetSnapshot(), kWorkflowTracerConfigKey, &value).ok());

  tx::GetWorkflowTracerResponseMsg response;
  status = Get(&response, "");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Missing client id.");
  EXPECT_TRUE(HasLine("ERROR", "DRX0007", "GetWorkflowTracer failed: Missing client id."));
}

TEST_F(WorkflowTracerRpcsTest, AConfigurationIsAppliedAndSurvivesARestart) {
  EXPECT_EQ(InForce(), "");  // fresh: present, no field set
  Config on = Enabled(3);
  on.set_sampling_ratio(0.25);
  on.mutable_collector()->set_port(6831);
  ASSERT_TRUE(Configure(&on).ok());
  EXPECT_TRUE(HasLine("INFO", "",
                      "ConfigureWorkflowTracer: Client ID=tarnix-cli " + on.ShortDebugString()));
  EXPECT_TRUE(orv::wft::WorkflowUtil::Enabled());
  EXPECT_EQ(InForce(), on.ShortDebugString());
  EXPECT_EQ(Stored(), on.ShortDebugString());

  Restart();
  EXPECT_TRUE(orv::wft::WorkflowUtil::Enabled());
  EXPECT_EQ(InForce(), on.ShortDebugString());

  // No configuration at all turns tracing off, and that too survives.
  ASSERT_TRUE(Configure(nullptr).ok());
  EXPECT_FALSE(orv::wft::WorkflowUtil::Enabled());
  EXPECT_EQ(InForce(), "");
  Restart();
  EXPECT_FALSE(orv::wft::WorkflowUtil::Enabled());
  EXPECT_EQ(InForce(), "");
}

TEST_F(WorkflowTracerRpcsTest, AFailedStoreKeepsThePreviousConfiguration) {
  const Config on = Enabled(2);
  ASSERT_TRUE(Configure(&on).ok());

  // Fills the memtable so that the next write must start a new log file,
  // whose creation fails: the write fails without an I/O error, which would
  // end the process.
  std::vector<int32_t> codes;
  ASSERT_TRUE(db_->Put({{"\x7F"
                         "filler",
                         std::string((4 << 20) + 1, 'f')}},
                       false, &codes)
                  .ok());
  env_.FailFileCreations(".log", 1, leveldb::Status::Corruption("injected"));
  const Config off;
  const grpc::Status status = Configure(&off);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_EQ(status.error_message(), "Unable to persist workflow tracer config");
  EXPECT_TRUE(orv::wft::WorkflowUtil::Enabled());
  EXPECT_EQ(InForce(), on.ShortDebugString());

  Restart();
  EXPECT_EQ(Stored(), on.ShortDebugString());
  EXPECT_EQ(InForce(), on.ShortDebugString());
  EXPECT_TRUE(orv::wft::WorkflowUtil::Enabled());
}

TEST_F(WorkflowTracerRpcsTest, AnInvalidConfigurationIsRefusedAndNotStored) {
  const Config on = Enabled(2);
  ASSERT_TRUE(Configure(&on).ok());
  Config bad = Enabled(1);
  bad.set_sampling_ratio(2);
  const grpc::Status status = Configure(&bad);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "sampling_ratio is not between 0 and 1");
  EXPECT_TRUE(HasLine("ERROR", "DRX0011",
                      "ConfigureWorkflowTracer failed: sampling_ratio is not between 0 and 1"));
  EXPECT_EQ(InForce(), on.ShortDebugString());
  EXPECT_EQ(Stored(), on.ShortDebugString());
}

}  // namespace
}  // namespace tarnix
