#include <list>
#include <memory>
#include <string>
#include <utility>

#include "caldek/orv/tarnix/tarnix_txn_log.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "platform/provider.h"
#include "platform/rpc/test_server.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "server/service_test_util.h"
#include "server/tarnix_server.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using testing::CallClientStream;
using testing::Channel;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kClient[] = "tarnix-cli";

// The data service over TLS on loopback. "alice" is registered as kClient's
// certificate; "bob" is trusted by TLS but registered for nobody; "server"
// is the server's own.
class WriteStreamsTest : public testing::WithIdentities<testing::DataServiceTest> {
 protected:
  void SetUp() override {
    DataServiceTest::SetUp();
    certificates_[kClient] = testing::DigestOf(*ids_, "alice");
    ServeTls(nullptr);
  }

  // Serves again, over `schema` (the example schema when null).
  void ServeTls(Schema* schema) {
    server_.reset();
    data_.reset();
    Serve([](orv::AsioOrvProvider& provider) {
      testing::InstallTls(provider, *ids_, {"alice", "bob", "server"});
    }, schema);
  }

  // One stream of `method` with `requests`, presenting `certificate`.
  template <class Req>
  grpc::Status Stream(const std::string& method, const std::string& certificate,
                      const std::string& client_id, const std::list<Req>& requests = {}) {
    return CallClientStream(Channel(server_->address(), ids_, certificate),
                            "/caldek.orv.tarnix.Tarnix/" + method, client_id, requests);
  }

  // Every write RPC with no messages.
  std::vector<std::pair<std::string, grpc::Status>> AllEmpty(const std::string& certificate,
                                                              const std::string& client_id) {
    return {{"Put", Stream<tx::PutRequestMsg>("Put", certificate, client_id)},
            {"Delete", Stream<tx::DeleteRequestMsg>("Delete", certificate, client_id)},
            {"Flush", Stream<tx::FlushRequestMsg>("Flush", certificate, client_id)},
            {"Patch", Stream<tx::PatchRequestMsg>("Patch", certificate, client_id)},
            {"Copy", Stream<tx::CopyRequestMsg>("Copy", certificate, client_id)},
            {"FlushByBlockId",
             Stream<tx::FlushByBlockIdRequestMsg>("FlushByBlockId", certificate, client_id)},
            {"Modify", Stream<tx::ModifyRequestMsg>("Modify", certificate, client_id)}};
  }

  tx::PutRequestMsg PutOf(char id) {
    tx::PutRequestMsg request;
    tx::PutMsg* put = request.add_puts();
    schema_.types().SetObjectType(kDevice, put->mutable_object());
    put->mutable_object()->set_object_body(std::string("\x0a\x02\x08", 3) + id);
    return request;
  }

  size_t Devices() {
    std::string prefix;
    EXPECT_TRUE(MakeObjectTypeKeyPrefix(schema_, kDevice, &prefix));
    DbAccess::Records records;
    EXPECT_TRUE(db_->PrefixFilter(nullptr, prefix, &records).ok());
    return records.size();
  }
};

TEST_F(WriteStreamsTest, EveryWriteNeedsAClientId) {
  for (const auto& [method, status] : AllEmpty("alice", "")) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED) << method;
    EXPECT_EQ(status.error_message(), "Unable to authenticate client. Missing client id.");
    EXPECT_TRUE(HasLine("ERROR", "DRX0007",
                        method + " operation failed: Unable to authenticate client. Missing "
                                 "client id."))
        << method;
  }
  EXPECT_EQ(data_->txn_ids().txn_id(), 0u);
}

TEST_F(WriteStreamsTest, APresentedCertificateMustBeTheRegisteredOne) {
  for (const auto& [method, status] : AllEmpty("bob", kClient)) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << method;
    EXPECT_EQ(status.error_message(), "Invalid certificate used for client tarnix-cli");
  }
  // Registered for nobody: no certificate passes this client either.
  for (const auto& [method, status] : AllEmpty("alice", "inventory-agent")) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << method;
  }
  EXPECT_EQ(data_->txn_ids().txn_id(), 0u);
}

TEST_F(WriteStreamsTest, OnlyAnIdTheCallerCanProveOrThatNobodyCouldRuns) {
  // Registered ids and the administrator's need their certificate: without
  // one over TLS anybody could claim them.
  for (const auto& [method, status] : AllEmpty("", kClient)) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << method;
    EXPECT_EQ(status.error_message(), "Invalid certificate used for client tarnix-cli");
  }
  EXPECT_EQ(data_->txn_ids().txn_id(), 0u);
  // The registered certificate, the server's own for the administrator, and
  // no certificate for an id registered for nobody: the write body runs and
  // refuses the empty stream.
  for (const auto& [certificate, client] :
       std::vector<std::pair<std::string, std::string>>{
           {"alice", kClient}, {"server", kClient}, {"", "inventory-agent"}}) {
    for (const auto& [method, status] : AllEmpty(certificate, client)) {
      EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << method;
      EXPECT_EQ(status.error_message(), "Received empty request from " + client) << method;
    }
  }
  EXPECT_EQ(data_->txn_ids().txn_id(), 21u);
}

TEST_F(WriteStreamsTest, AStreamIsOneTransactionAndARefusedOneNeverCommits) {
  const std::list<tx::PutRequestMsg> puts = {PutOf(1), PutOf(2), PutOf(3)};
  EXPECT_EQ(Stream("Put", "bob", kClient, puts).error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(Stream("Put", "", "", puts).error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(data_->txn_ids().txn_id(), 0u);
  EXPECT_EQ(Devices(), 0u);

  ASSERT_TRUE(Stream("Put", "alice", kClient, puts).ok());
  EXPECT_EQ(data_->txn_ids().txn_id(), 1u);
  EXPECT_EQ(Devices(), 3u);
}

// The I/O thread serialises each Put message's log unit: the log holds the
// messages as sent, in order, whatever their size.
TEST_F(WriteStreamsTest, TheLogHoldsEachPutMessageAsSent) {
  tx::PutRequestMsg big = PutOf(2);
  for (char id = 3; id < 100; ++id) *big.add_puts() = PutOf(id).puts(0);
  big.set_sync(true);
  const std::list<tx::PutRequestMsg> puts = {PutOf(1), big, PutOf(100)};
  ASSERT_TRUE(Stream("Put", "alice", kClient, puts).ok());
  EXPECT_EQ(Devices(), 100u);

  DbAccess::Records units;
  ASSERT_TRUE(db_->PrefixFilter(nullptr, kTxnLogPrefix, &units).ok());
  std::vector<std::string> logged;
  for (const auto& record : units) {
    tx::TransactionLogUnitMsg unit;
    ASSERT_TRUE(unit.ParseFromString(record.second));
    if (unit.has_put_request()) logged.push_back(unit.put_request().SerializeAsString());
  }
  std::vector<std::string> sent;
  for (const tx::PutRequestMsg& put : puts) sent.push_back(put.SerializeAsString());
  EXPECT_EQ(logged, sent);
}

// Without object types every entry would be skipped and the write
// acknowledged: each stream is refused before it takes a transaction id.
// A missing client id is still refused first.
TEST_F(WriteStreamsTest, WithoutObjectTypesEveryWriteIsRefused) {
  Schema unloaded("/nonexistent", "caldek.orv.tarnix");
  ServeTls(&unloaded);
  for (const auto& [method, status] : AllEmpty("alice", kClient)) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION) << method;
    EXPECT_EQ(status.error_message(), "No schema loaded") << method;
    EXPECT_TRUE(HasLine("ERROR", "DRX0204", method + " operation failed: No schema loaded"))
        << method;
  }
  const std::list<tx::PutRequestMsg> puts = {PutOf(1), PutOf(2)};
  grpc::Status status = Stream("Put", "alice", kClient, puts);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "No schema loaded");
  status = Stream("Put", "", "", puts);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(data_->txn_ids().txn_id(), 0u);
  EXPECT_EQ(Devices(), 0u);
  // The I/O threads read `unloaded` for messages still arriving.
  StopServing();
}

// A client that sends past the stream cap without ever ending its stream is
// failed while still sending; nothing is written, and its bytes are free
// again at once: the next client's three messages fit the total cap only so.
TEST_F(WriteStreamsTest, AStreamPastItsCapIsFailedAndOthersAreStillServed) {
  const size_t one = PutOf(1).ByteSizeLong();
  data_->write_budget().SetLimits(5 * one, 7 * one);
  {
    testing::StreamCall call(Channel(server_->address(), ids_, "alice"),
                             "/caldek.orv.tarnix.Tarnix/Put", kClient);
    ASSERT_TRUE(call.started);
    // Until the server ends the call (or the call's deadline passes).
    int written = 0;
    for (;;) {
      call.stream->Write(testing::Serialize(PutOf(1)), nullptr);
      if (!testing::Next(&call.cq)) break;
      ++written;
    }
    EXPECT_GE(written, 6);
    const grpc::Status status = call.Finish();
    EXPECT_EQ(status.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED);
    EXPECT_EQ(status.error_message(), "Write stream exceeds the limit of " +
                                          std::to_string(5 * one) + " buffered bytes");
  }
  EXPECT_EQ(data_->txn_ids().txn_id(), 0u);
  EXPECT_EQ(Devices(), 0u);

  const std::list<tx::PutRequestMsg> puts = {PutOf(1), PutOf(2), PutOf(3)};
  ASSERT_TRUE(Stream("Put", "alice", kClient, puts).ok());
  EXPECT_EQ(data_->txn_ids().txn_id(), 1u);
  EXPECT_EQ(Devices(), 3u);
}

}  // namespace
}  // namespace tarnix
