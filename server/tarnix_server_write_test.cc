#include <memory>
#include <string>

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "schema/record_key.h"
#include "server/tarnix_server.h"
#include "server/write_stream_processor.h"
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
                                                    &WriteTransactions::Put, "Put",
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
void RunRefused(TarnixServer* server, typename WriteStreamProcessor<Req, Resp>::Body body) {
  WriteStreamProcessor<Req, Resp> processor("tarnix-cli", &server->writes(), new Detached<Resp>,
                                            body, "refused", &server->write_budget(), true);
  processor.OnMessage(Req());
  EXPECT_EQ(processor.buffered(), 0u);
  processor.OnComplete(orv::rpc::Status());
}

TEST_F(TarnixServerWriteTest, RefusedStreamsOfEveryKindKeepNothingAndTakeNoId) {
  auto server = Start(true);
  TarnixServer* s = server.get();
  RunRefused<tx::PutRequestMsg, tx::PutResponseMsg>(s, &WriteTransactions::Put);
  RunRefused<tx::DeleteRequestMsg, tx::DeleteResponseMsg>(s, &WriteTransactions::Delete);
  RunRefused<tx::FlushRequestMsg, tx::FlushResponseMsg>(s, &WriteTransactions::Flush);
  RunRefused<tx::PatchRequestMsg, tx::PatchResponseMsg>(s, &WriteTransactions::Patch);
  RunRefused<tx::CopyRequestMsg, tx::CopyResponseMsg>(s, &WriteTransactions::Copy);
  RunRefused<tx::FlushByBlockIdRequestMsg, tx::FlushByBlockIdResponseMsg>(
      s, &WriteTransactions::FlushByBlockId);
  RunRefused<tx::ModifyRequestMsg, tx::ModifyResponseMsg>(s, &WriteTransactions::Modify);
  EXPECT_EQ(server->txn_ids().txn_id(), 0u);  // an empty stream that runs takes one
}

}  // namespace
}  // namespace tarnix
