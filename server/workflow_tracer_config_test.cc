#include "server/workflow_tracer_config.h"

#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/wft/workflow_util.h"
#include "server/tarnix_server.h"
#include "storage/key_space.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

class TarnixServerStartTest : public WriteTest {
 protected:
  void TearDown() override {
    orv::wft::WorkflowUtil::Configure(false, 0);
    WriteTest::TearDown();
  }
  std::unique_ptr<TarnixServer> Start() {
    return std::make_unique<TarnixServer>(&schema_, db_.get(), 1 << 20, &registry_,
                                          &certificates_, nullptr, true, 1000, true);
  }
  // Index of the first captured line containing `text`, or -1.
  int LineOf(const std::string& text) {
    const auto lines = capture_.lines();
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
  }

  ClientCertificateMap certificates_ = MakeClientCertificateMap();
};

TEST_F(TarnixServerStartTest, FreshDatabaseLeavesTracingOffAndRegistersEveryMetric) {
  auto server = Start();
  EXPECT_FALSE(orv::wft::WorkflowUtil::Enabled());
  EXPECT_FALSE(server->wft_config().config().has_enable());
  EXPECT_EQ(LineOf("Initializing workflow tracer"), -1);
  EXPECT_EQ(server->max_vdb_id(), 1000);
  EXPECT_TRUE(server->merkle_sort_protobufs());
  EXPECT_EQ(server->txn_log().current_log_size(), 0u);
  // Those the write path does not register itself.
  for (const char* name : {"server/latency/compute/delta", "server/latency/compute/repeated_delta",
                           "server/latency/monitor/update/process"}) {
    const auto key = registry_.find_key(name);
    EXPECT_TRUE(key && key->value()) << name;
  }
}

TEST_F(TarnixServerStartTest, AMetricNameOfAnotherKindStopsConstruction) {
  metrics::UnitMetric taken(registry_, "server/latency/compute/repeated_delta");
  EXPECT_THROW(Start(), std::runtime_error);
}

TEST_F(TarnixServerStartTest, StoredEnabledConfigurationIsAppliedBeforeTheDeprecatedWipe) {
  WorkflowTracerConfig::Message config;
  config.set_enable(true);
  config.set_trace_level(3);
  config.set_sampling_ratio(0.5);
  {
    WorkflowTracerConfig stored;
    ASSERT_TRUE(stored.Store(db_.get(), config).ok());
    EXPECT_FALSE(orv::wft::WorkflowUtil::Enabled());  // storing applies nothing
  }
  auto server = Start();
  EXPECT_TRUE(orv::wft::WorkflowUtil::Enabled());
  EXPECT_TRUE(HasLine("INFO", "",
                      "Initializing workflow tracer with trace_level: 3 enable: true "
                      "sampling_ratio: 0.5"));
  const int traced = LineOf("Initializing workflow tracer");
  const int wiped = LineOf("Wiping deprecated objects");
  ASSERT_GE(traced, 0);
  EXPECT_LT(traced, wiped);
  EXPECT_EQ(server->wft_config().config().SerializeAsString(), config.SerializeAsString());
}

TEST_F(TarnixServerStartTest, AStoredConfigurationWithoutEnableDoesNothing) {
  for (bool has_enable : {false, true}) {
    WorkflowTracerConfig::Message config;
    config.set_trace_level(4);
    if (has_enable) config.set_enable(false);
    WorkflowTracerConfig stored;
    ASSERT_TRUE(stored.Store(db_.get(), config).ok());
    auto server = Start();
    EXPECT_FALSE(orv::wft::WorkflowUtil::Enabled());
    EXPECT_EQ(LineOf("Initializing workflow tracer"), -1);
    EXPECT_EQ(server->wft_config().config().trace_level(), 4u);
  }
}

TEST_F(TarnixServerStartTest, ApplyingAConfigurationWithoutEnableTurnsTracingOff) {
  WorkflowTracerConfig tracer;
  for (bool has_enable : {false, true}) {
    WorkflowTracerConfig::Message on;
    on.set_enable(true);
    ASSERT_TRUE(tracer.Store(db_.get(), on).ok());
    tracer.InitWorkflowTracer();
    ASSERT_TRUE(orv::wft::WorkflowUtil::Enabled());
    WorkflowTracerConfig::Message off;
    off.set_trace_level(4);
    if (has_enable) off.set_enable(false);
    ASSERT_TRUE(tracer.Store(db_.get(), off).ok());
    tracer.InitWorkflowTracer();
    EXPECT_FALSE(orv::wft::WorkflowUtil::Enabled()) << has_enable;
  }
  EXPECT_EQ(capture_.Count("Initializing workflow tracer"), 2u);
}

TEST_F(TarnixServerStartTest, AStoredConfigurationThatNoLongerAppliesLeavesTracingOff) {
  WorkflowTracerConfig::Message stale;
  stale.set_enable(true);
  stale.set_trace_level(9);
  for (const std::string& value : {stale.SerializeAsString(), std::string("\x08\xFF", 2)}) {
    PutAll(db_.get(), {{kWorkflowTracerConfigKey, value}});
    auto server = Start();
    EXPECT_FALSE(orv::wft::WorkflowUtil::Enabled());
    EXPECT_EQ(server->wft_config().config().ByteSizeLong(), 0u);
    EXPECT_EQ(server->vdbs().vdb_id_to_name().size(), 1u);  // start-up went on
  }
  EXPECT_TRUE(HasLine("ERROR", "DRX0011",
                      "Stored workflow tracer configuration trace_level: 9 enable: true no longer "
                      "applies: trace_level 9 is above 4. Tracing stays off."));
  EXPECT_TRUE(HasLine("ERROR", "DRX0011",
                      "Stored workflow tracer configuration does not parse. Tracing stays off."));
  EXPECT_EQ(LineOf("Initializing workflow tracer"), -1);
}

TEST_F(TarnixServerStartTest, StoreRefusesAConfigurationThatCannotApplyAndKeepsTheOldOne) {
  WorkflowTracerConfig tracer;
  WorkflowTracerConfig::Message good;
  good.set_enable(true);
  good.set_trace_level(WorkflowTracerConfig::kMaxTraceLevel);
  good.set_sampling_ratio(1);
  good.mutable_collector()->set_port(65535);
  ASSERT_TRUE(tracer.Store(db_.get(), good).ok());
  good.set_sampling_ratio(0);
  good.mutable_collector()->set_port(1);
  ASSERT_TRUE(tracer.Store(db_.get(), good).ok());

  struct Case {
    void (*spoil)(WorkflowTracerConfig::Message*);
    const char* message;
  };
  const Case cases[] = {
      {[](WorkflowTracerConfig::Message* c) { c->set_trace_level(5); }, "trace_level 5 is above 4"},
      {[](WorkflowTracerConfig::Message* c) { c->set_sampling_ratio(-0.01); },
       "sampling_ratio is not between 0 and 1"},
      {[](WorkflowTracerConfig::Message* c) { c->set_sampling_ratio(1.01); },
       "sampling_ratio is not between 0 and 1"},
      {[](WorkflowTracerConfig::Message* c) {
         c->set_sampling_ratio(std::numeric_limits<double>::quiet_NaN());
       },
       "sampling_ratio is not between 0 and 1"},
      {[](WorkflowTracerConfig::Message* c) { c->mutable_collector()->set_port(0); },
       "collector port 0 is not between 1 and 65535"},
      {[](WorkflowTracerConfig::Message* c) { c->mutable_collector()->set_port(65536); },
       "collector port 65536 is not between 1 and 65535"},
  };
  for (const Case& c : cases) {
    WorkflowTracerConfig::Message bad = good;
    c.spoil(&bad);
    EXPECT_EQ(tracer.Store(db_.get(), bad), Status::InvalidArgument(c.message));
    EXPECT_EQ(tracer.config().SerializeAsString(), good.SerializeAsString()) << c.message;
  }
  std::string stored;
  ASSERT_TRUE(db_->Get(db_->GetSnapshot(), kWorkflowTracerConfigKey, &stored).ok());
  EXPECT_EQ(stored, good.SerializeAsString());
}

}  // namespace
}  // namespace tarnix
