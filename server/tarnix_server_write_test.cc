#include <google/protobuf/descriptor.h>

#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

#include "caldek/orv/tarnix/tarnix_service.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "schema/record_key.h"
#include "server/tarnix_server.h"
#include "server/write_stream_processor.h"
#include "write/write_op.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

constexpr char kFlow[] = "caldek.orv.tarnix.FlowMsg";
constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";

// A call handle outside any RPC runtime: its first answer closes it.
template <class Resp>
class Detached : public orv::rpc::CallHandle<Resp> {};
using DetachedCall = Detached<tx::PutResponseMsg>;

using PutProcessor = WriteStreamProcessor<tx::PutRequestMsg, tx::PutResponseMsg>;

class TarnixServerWriteTest : public WriteTest {
 protected:
  ClientCertificateMap certificates_ = MakeClientCertificateMap();

  std::unique_ptr<TarnixServer> Start(bool disable_flush_ephemeral) {
    return std::make_unique<TarnixServer>(&schema_, db_.get(), 1 << 20, &registry_,
                                          &certificates_, nullptr, disable_flush_ephemeral, 65535,
                                          false);
  }
  std::string Key(const std::string& type, const std::string& id, const VdbIdSet& vdbs) {
    std::string key;
    EXPECT_TRUE(MakeObjectRecordKey(schema_, type, id, &key));
    return key + EncodeVdbIdSet(vdbs);
  }
  size_t Count(const std::string& type) {
    std::string prefix;
    EXPECT_TRUE(MakeObjectTypeKeyPrefix(schema_, type, &prefix));
    DbAccess::Records records;
    EXPECT_TRUE(db_->PrefixFilter(nullptr, prefix, &records).ok());
    return records.size();
  }
  // A put of device 1.
  tx::PutRequestMsg Request() {
    tx::PutRequestMsg request;
    tx::PutMsg* put = request.add_puts();
    schema_.types().SetObjectType(kDevice, put->mutable_object());
    put->mutable_object()->set_object_body("\x0a\x02\x08\x01");  // id { left: 1 }
    return request;
  }
  // A processor that has received Request().
  std::unique_ptr<PutProcessor> Processor(TarnixServer* server,
                                          const boost::intrusive_ptr<DetachedCall>& call,
                                          bool refused = false) {
    const tx::PutRequestMsg request = Request();
    auto processor = std::make_unique<PutProcessor>("tarnix-cli", &server->writes(), call,
                                                    &server->write_budget(), refused);
    processor->OnMessage(request);
    return processor;
  }
};

TEST_F(TarnixServerWriteTest, StartWipesEphemeralObjectsOfEveryVdbUnlessDisabled) {
  {
    auto server = Start(true);
    ASSERT_TRUE(server->vdbs().AddVDbInfo(2, "second", nullptr));
    EXPECT_EQ(server->txn_ids().txn_id(), 0u);
  }
  DbAccessTest::PutAll(db_.get(), {{Key(kFlow, "\x08\x01", {1, 2}), "a"},
                                   {Key(kFlow, "\x08\x02", {2}), "b"},
                                   {Key(kDevice, "d", {1}), "c"}});
  Start(true);
  EXPECT_EQ(Count(kFlow), 2u);
  auto server = Start(false);
  EXPECT_EQ(server->txn_ids().txn_id(), 1u);
  EXPECT_EQ(Count(kFlow), 0u);
  EXPECT_EQ(Count(kDevice), 1u);
}

TEST_F(TarnixServerWriteTest, StreamRunsItsBodyOnlyWhenEndedNormallyAndNotRefused) {
  auto server = Start(true);
  boost::intrusive_ptr<DetachedCall> refused(new DetachedCall);
  Processor(server.get(), refused, true)->OnComplete(orv::rpc::Status());
  EXPECT_EQ(server->txn_ids().txn_id(), 0u);

  boost::intrusive_ptr<DetachedCall> cancelled(new DetachedCall);
  Processor(server.get(), cancelled)->OnComplete(orv::rpc::Status(orv::rpc::kCancelled, "gone"));
  EXPECT_TRUE(HasLine("ERROR", "DRX0006", "Received an error for Put: CANCELLED: gone"));
  EXPECT_EQ(server->txn_ids().txn_id(), 0u);

  boost::intrusive_ptr<DetachedCall> call(new DetachedCall);
  Processor(server.get(), call)->OnComplete(orv::rpc::Status());
  EXPECT_EQ(server->txn_ids().txn_id(), 1u);
  EXPECT_FALSE(call->is_open());  // answered
  EXPECT_EQ(Count(kDevice), 1u);
  EXPECT_TRUE(HasLine("INFO", "", "Notifying updates took 0 ms to 0 clients: "));
  EXPECT_EQ(Samples("server/latency/monitor/update/process"), 1u);
}

// A stream that passes its cap is failed on the message that passes it: its
// messages are freed and their bytes given back at once, the rest of the
// stream is ignored and its end runs nothing.
TEST_F(TarnixServerWriteTest, StreamPastItsCapIsFailedAndKeepsNothing) {
  auto server = Start(true);
  WriteStreamBudget& budget = server->write_budget();
  const size_t one = Request().ByteSizeLong();
  budget.SetLimits(2 * one, 10 * one);
  boost::intrusive_ptr<DetachedCall> call(new DetachedCall);
  std::unique_ptr<PutProcessor> processor = Processor(server.get(), call);
  processor->OnMessage(Request());
  EXPECT_EQ(processor->buffered(), 2u);
  EXPECT_EQ(processor->buffered_bytes(), 2 * one);
  EXPECT_EQ(budget.total(), 2 * one);
  EXPECT_TRUE(call->is_open());

  processor->OnMessage(Request());
  EXPECT_FALSE(call->is_open());  // failed
  EXPECT_EQ(processor->buffered(), 0u);
  EXPECT_EQ(processor->buffered_bytes(), 0u);
  EXPECT_EQ(budget.total(), 0u);
  EXPECT_TRUE(HasLine("ERROR", "DRX0010",
                      "Put stream of client tarnix-cli failed: Write stream exceeds the limit of " +
                          std::to_string(2 * one) + " buffered bytes"));
  processor->OnMessage(Request());
  EXPECT_EQ(processor->buffered(), 0u);
  EXPECT_EQ(budget.total(), 0u);
  processor->OnComplete(orv::rpc::Status());
  EXPECT_EQ(server->txn_ids().txn_id(), 0u);
  EXPECT_EQ(Count(kDevice), 0u);
}

// The total cap fails the stream whose message would pass it; the streams
// already holding their bytes go on and write.
TEST_F(TarnixServerWriteTest, TotalCapFailsTheStreamThatWouldPassItOnly) {
  auto server = Start(true);
  WriteStreamBudget& budget = server->write_budget();
  const size_t one = Request().ByteSizeLong();
  budget.SetLimits(2 * one, 3 * one);
  boost::intrusive_ptr<DetachedCall> first_call(new DetachedCall);
  boost::intrusive_ptr<DetachedCall> second_call(new DetachedCall);
  std::unique_ptr<PutProcessor> first = Processor(server.get(), first_call);
  first->OnMessage(Request());
  std::unique_ptr<PutProcessor> second = Processor(server.get(), second_call);
  EXPECT_EQ(budget.total(), 3 * one);

  second->OnMessage(Request());
  EXPECT_FALSE(second_call->is_open());
  EXPECT_EQ(second->buffered(), 0u);
  EXPECT_TRUE(HasLine("ERROR", "DRX0010",
                      "Put stream of client tarnix-cli failed: Open write streams exceed the "
                      "limit of " + std::to_string(3 * one) +
                          " buffered bytes for all streams"));
  EXPECT_TRUE(first_call->is_open());
  EXPECT_EQ(first->buffered(), 2u);
  EXPECT_EQ(budget.total(), 2 * one);

  first->OnComplete(orv::rpc::Status());
  EXPECT_FALSE(first_call->is_open());  // answered
  EXPECT_EQ(server->txn_ids().txn_id(), 1u);
  EXPECT_EQ(Count(kDevice), 1u);
  second->OnComplete(orv::rpc::Status());
  EXPECT_EQ(server->txn_ids().txn_id(), 1u);
}

// However a stream ends, its bytes go back: a normal end once the body ran,
// an error end, and a release without any end.
TEST_F(TarnixServerWriteTest, BufferedBytesGoBackHoweverTheStreamEnds) {
  auto server = Start(true);
  WriteStreamBudget& budget = server->write_budget();
  const size_t one = Request().ByteSizeLong();
  std::unique_ptr<PutProcessor> completed =
      Processor(server.get(), new DetachedCall);
  std::unique_ptr<PutProcessor> cancelled =
      Processor(server.get(), new DetachedCall);
  std::unique_ptr<PutProcessor> released =
      Processor(server.get(), new DetachedCall);
  EXPECT_EQ(budget.total(), 3 * one);

  completed->OnComplete(orv::rpc::Status());
  EXPECT_EQ(server->txn_ids().txn_id(), 1u);
  EXPECT_EQ(completed->buffered(), 0u);
  EXPECT_EQ(budget.total(), 2 * one);
  cancelled->OnComplete(orv::rpc::Status(orv::rpc::kCancelled, "gone"));
  EXPECT_EQ(cancelled->buffered(), 0u);
  EXPECT_EQ(budget.total(), one);
  released.release()->OnRelease();
  EXPECT_EQ(budget.total(), 0u);
}

// A refused stream of this kind, fed a message.
template <class Req, class Resp>
void RunRefused(TarnixServer* server) {
  WriteStreamProcessor<Req, Resp> processor("tarnix-cli", &server->writes(), new Detached<Resp>,
                                            &server->write_budget(), true);
  processor.OnMessage(Req());
  EXPECT_EQ(processor.buffered(), 0u);
  processor.OnComplete(orv::rpc::Status());
}

TEST_F(TarnixServerWriteTest, RefusedStreamsOfEveryKindKeepNothingAndTakeNoId) {
  auto server = Start(true);
  TarnixServer* s = server.get();
  WriteOps::ForEach([s](auto* request) {
    using Req = std::remove_pointer_t<decltype(request)>;
    RunRefused<Req, typename WriteOpDescription<Req>::Response>(s);
  });
  EXPECT_EQ(server->txn_ids().txn_id(), 0u);  // an empty stream that runs takes one
}

// Each write operation is an RPC of the proto's Tarnix service, served as a
// client stream of its request and response, with its metrics and an entry
// field of its Entry type; and every client stream of the service is one of
// them. A description missing a piece, or an RPC without a description,
// fails here.
TEST_F(TarnixServerWriteTest, EveryWriteOperationIsServedAsDescribed) {
  auto server = Start(true);
  // Referencing the file's table links its descriptor into this binary.
  const void* volatile table = &descriptor_table_caldek_2forv_2ftarnix_2ftarnix_5fservice_2eproto;
  ASSERT_NE(table, nullptr);
  const google::protobuf::ServiceDescriptor* service =
      google::protobuf::DescriptorPool::generated_pool()->FindServiceByName(server->service_name());
  ASSERT_NE(service, nullptr);
  size_t described = 0;
  WriteOps::ForEach([&](auto* request) {
    using Req = std::remove_pointer_t<decltype(request)>;
    using Op = WriteOpDescription<Req>;
    ++described;
    const google::protobuf::MethodDescriptor* method = service->FindMethodByName(Op::kName);
    ASSERT_NE(method, nullptr) << Op::kName;
    EXPECT_TRUE(method->client_streaming() && !method->server_streaming()) << Op::kName;
    EXPECT_EQ(method->input_type(), Req::descriptor()) << Op::kName;
    EXPECT_EQ(method->output_type(), Op::Response::descriptor()) << Op::kName;
    const std::string path = "/" + service->full_name() + "/" + Op::kName;
    size_t served = 0;
    for (const auto& entry : server->methods()) {
      if (entry.path != path) continue;
      ++served;
      EXPECT_EQ(entry.kind, orv::rpc::internal::MethodKind::kClientStream) << path;
    }
    EXPECT_EQ(served, 1u) << path;
    bool has_entries = false;
    for (int i = 0; i < Req::descriptor()->field_count(); ++i) {
      const google::protobuf::FieldDescriptor* field = Req::descriptor()->field(i);
      has_entries |= field->is_repeated() && field->message_type() == Op::Entry::descriptor();
    }
    EXPECT_TRUE(has_entries) << Op::kName;
    EXPECT_EQ(std::string(Op::kSpan), std::string(Op::kName) + "Impl");
    EXPECT_EQ(std::string(Op::kPreprocessSpan),
              std::string(Op::kName) + "Request.PreprocessRequests");
    for (const char* metric :
         {"server/latency/%s/preprocess", "server/latency/%s/process",
          "server/transaction/%s/request/count", "server/transaction/%s/request/size"}) {
      char name[128];
      snprintf(name, sizeof(name), metric, Op::kMetricName);
      EXPECT_NE(registry_.find_key(name), nullptr) << name;
    }
  });
  size_t streams = 0;
  for (int i = 0; i < service->method_count(); ++i) {
    streams += service->method(i)->client_streaming();
  }
  EXPECT_EQ(described, streams);
  EXPECT_EQ(server->methods().size(), static_cast<size_t>(service->method_count()));
}

}  // namespace
}  // namespace tarnix
