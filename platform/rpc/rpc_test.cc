#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_capture.h"
#include "platform/health/daemon_health_service.h"
#include "platform/health/health.grpc.pb.h"
#include "platform/metrics/metric_value.h"
#include "platform/rpc/server_runtime.h"
#include "platform/rpc/test_server.h"

namespace orv {
namespace rpc {
namespace testing {
namespace {

using tarnix_test::EchoRequest;
using tarnix_test::EchoResponse;

// Code recorded for the first event that starts with `prefix`, or -1.
int CodeOf(const EventLog& log, const std::string& prefix) {
  for (const std::string& event : log.events()) {
    if (event.compare(0, prefix.size(), prefix) == 0) {
      return std::stoi(event.substr(prefix.size()));
    }
  }
  return -1;
}

bool WaitForPrefix(const EventLog& log, const std::string& prefix) {
  for (int i = 0; i < 1000; ++i) {
    if (CodeOf(log, prefix) >= 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// One unary call within 5 s; false once the server refuses or is gone.
bool RoundTrip(tarnix_test::Echo::Stub* stub) {
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(5));
  EchoResponse response;
  return stub->Unary(&context, EchoRequest(), &response).ok();
}

// A unary call the server holds open ("hold") until the test answers it, run
// on a thread of its own; its status goes to *status. A zero `deadline` sets
// none.
std::thread HoldUnary(tarnix_test::Echo::Stub* stub, grpc::Status* status,
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(0)) {
  return std::thread([stub, status, deadline] {
    grpc::ClientContext context;
    if (deadline.count() > 0) context.set_deadline(std::chrono::system_clock::now() + deadline);
    EchoRequest hold;
    hold.set_action("hold");
    EchoResponse response;
    *status = stub->Unary(&context, hold, &response);
  });
}

class RpcTest : public ::testing::Test {
 protected:
  RpcTest() : RpcTest(TestServer::Options()) {}
  explicit RpcTest(const TestServer::Options& options) : server_(options) {}

  void TearDown() override {
    server_.StopAndJoin();
    EventLog& log = server_.service().log();
    EXPECT_EQ(0u, log.Count("reentered"));
    EXPECT_EQ(0u, log.Count("complete-twice"));
    EXPECT_EQ(0u, log.Count("message-after-complete"));
    for (const std::string& event : log.events()) {
      EXPECT_EQ(std::string::npos, event.find(":before-complete")) << event;
    }
  }

  EchoResponse Unary(const std::string& action, grpc::Status* status,
                     const std::string& client_id = "c1") {
    grpc::ClientContext context;
    if (!client_id.empty()) context.AddMetadata("client-id", client_id);
    EchoRequest request;
    request.set_text("hello");
    request.set_action(action);
    EchoResponse response;
    *status = stub_->Unary(&context, request, &response);
    return response;
  }

  TestServer server_;
  std::unique_ptr<tarnix_test::Echo::Stub> stub_ = PlainStub(server_.address());
};

TEST_F(RpcTest, UnaryCarriesClientIdAndCompletesOnce) {
  grpc::Status status;
  EchoResponse response = Unary("", &status, "client-7");
  ASSERT_TRUE(status.ok()) << status.error_message();
  EXPECT_EQ("hello", response.text());
  EXPECT_EQ("client-7", response.client_id());
  EXPECT_FALSE(response.has_digest());  // plaintext: no peer certificate

  response = Unary("", &status, "");
  ASSERT_TRUE(status.ok());
  EXPECT_EQ("", response.client_id());

  response = Unary("ops_after_end", &status);
  ASSERT_TRUE(status.ok()) << status.error_message();
  EXPECT_EQ("hello", response.text());

  response = Unary("fail", &status);
  EXPECT_EQ(grpc::StatusCode::INVALID_ARGUMENT, status.error_code());
  EXPECT_EQ("fail requested", status.error_message());

  EventLog& log = server_.service().log();
  ASSERT_TRUE(log.WaitFor("done:unary-:0", 2));
  ASSERT_TRUE(log.WaitFor("done:unary-ops_after_end:0"));
  ASSERT_TRUE(log.WaitFor("done:unary-fail:3"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(2u, log.Count("done:unary-:0"));
  EXPECT_EQ(1u, log.Count("done:unary-ops_after_end:0"));
  EXPECT_EQ(1u, log.Count("done:unary-fail:3"));
}

// Each event the I/O threads hand the loop may have to wake it. A unary
// call takes two: its accept with the request, and its end with the
// completion of the answer.
TEST_F(RpcTest, AUnaryCallReachesTheLoopTwice) {
  // A call's end may reach the loop after its client has the answer.
  auto settled = [this] {
    uint64_t events = server_.provider().loop_events();
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const uint64_t now = server_.provider().loop_events();
      if (now == events) return now;
      events = now;
    }
  };
  auto stub = PlainStub(server_.address());
  ASSERT_TRUE(RoundTrip(stub.get()));
  constexpr int kCalls = 200;
  const uint64_t before = settled();
  for (int i = 0; i < kCalls; ++i) ASSERT_TRUE(RoundTrip(stub.get()));
  EXPECT_EQ(settled() - before, 2u * kCalls);
}

// A finished call's teardown rides on the I/O thread's next wake-up; once
// the loop has nothing to do it goes without waiting for another call.
TEST_F(RpcTest, FinishedCallsAreTornDownWhenTheServerGoesIdle) {
  // Before any call: only the calls requested ahead exist.
  const size_t idle = internal::live_call_parts.load();
  auto stub = PlainStub(server_.address());
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(RoundTrip(stub.get()));
  for (int i = 0; i < 100 && internal::live_call_parts.load() != idle; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(internal::live_call_parts.load(), idle);
}

// The client gives up while the loop is busy in the turn that answers it:
// the end of the call is polled before the answer starts, and the call
// still ends, with its completion callback, and is torn down.
TEST_F(RpcTest, AnAnswerStartedAfterTheClientGaveUpStillEndsTheCall) {
  const size_t idle = internal::live_call_parts.load();
  EventLog& log = server_.service().log();
  grpc::Status status;
  std::thread unary = HoldUnary(stub_.get(), &status, std::chrono::milliseconds(300));
  ASSERT_TRUE(log.WaitFor("held"));
  server_.provider().Post([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // past the deadline
    server_.service().held().front()->Respond(EchoResponse());
  });
  unary.join();
  EXPECT_EQ(grpc::StatusCode::DEADLINE_EXCEEDED, status.error_code());
  EXPECT_TRUE(WaitForPrefix(log, "done:unary-hold:"));
  for (int i = 0; i < 100 && internal::live_call_parts.load() != idle; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(internal::live_call_parts.load(), idle);
}

TEST_F(RpcTest, ServerStreamWritesArriveInOrderBeforeTheStatus) {
  for (const std::string action : {"", "fail"}) {
    grpc::ClientContext context;
    // A stream the transport holds back would only go out at the next
    // keepalive, a minute later.
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(20));
    EchoRequest request;
    request.set_count(2000);
    request.set_action(action);
    auto reader = stub_->ServerStream(&context, request);
    EchoResponse response;
    int expected = 0;
    while (reader->Read(&response)) {
      ASSERT_EQ(expected, response.index());
      ++expected;
    }
    grpc::Status status = reader->Finish();
    EXPECT_EQ(2000, expected) << action;
    if (action.empty()) {
      EXPECT_TRUE(status.ok()) << status.error_message();
    } else {
      EXPECT_EQ(grpc::StatusCode::ABORTED, status.error_code());
      EXPECT_EQ("after writes", status.error_message());
    }
  }
  EventLog& log = server_.service().log();
  EXPECT_TRUE(log.WaitFor("done:stream-:0"));
  EXPECT_TRUE(log.WaitFor("done:stream-fail:10"));
}

TEST_F(RpcTest, AWriterThatWritesAsTheClientReadsHoldsLittleQueued) {
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(20));
  EchoRequest request;
  request.set_count(400);
  request.set_action("drain");
  request.set_payload(std::string(16 << 10, 'p'));
  auto reader = stub_->ServerStream(&context, request);
  EchoResponse response;
  int expected = 0;
  while (reader->Read(&response)) {
    ASSERT_EQ(expected, response.index());
    ++expected;
  }
  EXPECT_TRUE(reader->Finish().ok());
  EXPECT_EQ(expected, 400);  // 6.4 MiB in all
  EventLog& log = server_.service().log();
  ASSERT_TRUE(WaitForPrefix(log, "drain-most:"));
  size_t most = 0;
  for (const std::string& event : log.events()) {
    if (event.rfind("drain-most:", 0) == 0) most = std::stoul(event.substr(11));
  }
  EXPECT_LE(most, EchoTestService::kDrainLowWater + (17 << 10));
  EXPECT_TRUE(log.WaitFor("done:stream-drain:0"));
}

TEST_F(RpcTest, ClientStreamCompletedNormallyDeliversAllMessagesFirst) {
  grpc::ClientContext context;
  context.AddMetadata("client-id", "normal");
  EchoResponse response;
  auto writer = stub_->ClientStream(&context, &response);
  std::string expected;
  for (int i = 0; i < 500; ++i) {
    EchoRequest request;
    request.set_text(std::to_string(i % 10));
    expected += request.text();
    ASSERT_TRUE(writer->Write(request));
  }
  ASSERT_TRUE(writer->WritesDone());
  grpc::Status status = writer->Finish();
  ASSERT_TRUE(status.ok()) << status.error_message();
  EXPECT_EQ(500, response.index());
  EXPECT_EQ(expected, response.text());

  EventLog& log = server_.service().log();
  ASSERT_TRUE(log.WaitFor("release:normal"));
  std::vector<std::string> events = log.events();
  std::vector<std::string> expected_order = {"complete:normal:0", "done:client-normal:0",
                                             "release:normal"};
  EXPECT_EQ(expected_order, events);
}

TEST_F(RpcTest, WhatThePreparerMakesOfAMessageOffTheLoopComesWithIt) {
  grpc::ClientContext context;
  context.AddMetadata("client-id", "log-extra");
  EchoResponse response;
  auto writer = stub_->ClientStream(&context, &response);
  for (const char* text : {"first", "second", "third"}) {
    EchoRequest request;
    request.set_text(text);
    ASSERT_TRUE(writer->Write(request));
  }
  ASSERT_TRUE(writer->WritesDone());
  ASSERT_TRUE(writer->Finish().ok());
  EXPECT_EQ("firstsecondthird", response.text());

  EventLog& log = server_.service().log();
  ASSERT_TRUE(log.WaitFor("release:log-extra"));
  std::vector<std::string> extras;
  for (const std::string& event : log.events()) {
    if (event.rfind("extra:", 0) == 0) extras.push_back(event);
  }
  const std::vector<std::string> expected = {"extra:first:io", "extra:second:io",
                                             "extra:third:io"};
  EXPECT_EQ(expected, extras);
}

TEST_F(RpcTest, CancelledClientStreamCompletesWithErrorAndWritesNothing) {
  auto context = std::make_unique<grpc::ClientContext>();
  context->AddMetadata("client-id", "cancel");
  EchoResponse response;
  auto writer = stub_->ClientStream(context.get(), &response);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(writer->Write(EchoRequest()));
  context->TryCancel();
  EXPECT_EQ(grpc::StatusCode::CANCELLED, writer->Finish().error_code());

  EventLog& log = server_.service().log();
  ASSERT_TRUE(log.WaitFor("release:cancel"));
  EXPECT_GT(CodeOf(log, "complete:cancel:"), 0);
  EXPECT_GT(CodeOf(log, "done:client-cancel:"), 0);
}

TEST_F(RpcTest, FailAtEntryNeverCompletesNormally) {
  grpc::ClientContext context;
  context.AddMetadata("client-id", "fail-at-entry");
  EchoResponse response;
  auto writer = stub_->ClientStream(&context, &response);
  EchoRequest request;
  request.set_text("x");
  for (int i = 0; i < 200 && writer->Write(request); ++i) {
  }
  writer->WritesDone();
  grpc::Status status = writer->Finish();
  EXPECT_EQ(grpc::StatusCode::UNAUTHENTICATED, status.error_code());
  EXPECT_EQ("refused", status.error_message());

  EventLog& log = server_.service().log();
  ASSERT_TRUE(log.WaitFor("release:fail-at-entry"));
  EXPECT_GT(CodeOf(log, "complete:fail-at-entry:"), 0);
  EXPECT_EQ(16, CodeOf(log, "done:client-fail-at-entry:"));
}

// A server that gives up on a client stream must not wait for the client to
// end it: the call ends and the observer is released while the client is
// still sending, and nothing more reaches the observer.
TEST_F(RpcTest, FailMidStreamEndsTheCallWhileTheClientStillSends) {
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(20));
  context.AddMetadata("client-id", "fail-on-third");
  EchoResponse response;
  auto writer = stub_->ClientStream(&context, &response);
  EchoRequest request;
  request.set_payload(std::string(64 << 10, 'p'));
  int written = 0;
  while (written < 2000 && writer->Write(request)) ++written;
  EXPECT_LT(written, 2000);  // the server's end stopped the writes

  EventLog& log = server_.service().log();
  // Released before the client has ended its side.
  ASSERT_TRUE(log.WaitFor("release:fail-on-third"));
  EXPECT_EQ(1u, log.Count("failed:fail-on-third"));
  EXPECT_EQ(0u, log.Count("message-after-fail"));
  EXPECT_EQ(8, CodeOf(log, "complete:fail-on-third:"));
  EXPECT_EQ(8, CodeOf(log, "done:client-fail-on-third:"));

  writer->WritesDone();
  grpc::Status status = writer->Finish();
  EXPECT_EQ(grpc::StatusCode::RESOURCE_EXHAUSTED, status.error_code());
  EXPECT_EQ("third message", status.error_message());
}

TEST_F(RpcTest, ExceptionsFailOnlyTheirCall) {
  LogCapture capture;
  grpc::Status status;
  Unary("throw", &status);
  EXPECT_EQ(grpc::StatusCode::INTERNAL, status.error_code());

  for (const std::string mode : {"throw-on-message", "throw-at-entry"}) {
    grpc::ClientContext context;
    context.AddMetadata("client-id", mode);
    EchoResponse response;
    auto writer = stub_->ClientStream(&context, &response);
    writer->Write(EchoRequest());
    writer->WritesDone();
    EXPECT_EQ(grpc::StatusCode::INTERNAL, writer->Finish().error_code()) << mode;
  }

  EchoResponse response = Unary("", &status);
  EXPECT_TRUE(status.ok());
  EXPECT_EQ("hello", response.text());
  EXPECT_TRUE(capture.Contains("Exception in handler of /tarnix_test.Echo/Unary"));
  EXPECT_TRUE(
      capture.Contains("Exception in OnMessage of /tarnix_test.Echo/ClientStream"));
  EventLog& log = server_.service().log();
  EXPECT_TRUE(log.WaitFor("done:unary-throw:13"));
  EXPECT_TRUE(log.WaitFor("release:throw-on-message"));
}

TEST_F(RpcTest, LargeRequestsAreAccepted) {
  grpc::ClientContext context;
  EchoRequest request;
  request.set_payload(std::string(10 << 20, 'p'));
  EchoResponse response;
  grpc::Status status = stub_->Unary(&context, request, &response);
  ASSERT_TRUE(status.ok()) << status.error_message();
  EXPECT_EQ(10 << 20, response.total());
}

constexpr size_t kChunk = size_t{1} << 20;
// Chunks that one loop turn queues: well beyond the cap.
constexpr int kBurstChunks = static_cast<int>(ServerCall::kMaxQueuedBytes / kChunk) + 32;
const char kCapWarning[] = "bytes queued for a client that does not read";

TEST_F(RpcTest, ReplyLargerThanTheCapQueuedInOneTurnIsDeliveredWhole) {
  LogCapture capture;
  grpc::ClientContext context;
  EchoRequest request;
  request.set_count(kBurstChunks);
  request.set_payload(std::string(kChunk, 'q'));
  auto reader = stub_->ServerStream(&context, request);
  EventLog& log = server_.service().log();
  EchoResponse response;
  int received = 0;
  size_t bytes = 0;
  while (reader->Read(&response)) {
    ASSERT_EQ(received, response.index());
    ++received;
    bytes += response.text().size();
  }
  grpc::Status status = reader->Finish();
  EXPECT_TRUE(status.ok()) << status.error_message();
  EXPECT_EQ(kBurstChunks, received);
  EXPECT_EQ(kBurstChunks * kChunk, bytes);
  EXPECT_TRUE(log.WaitFor("done:stream-:0"));
  EXPECT_FALSE(capture.Contains(kCapWarning));
}

// A server stream kept open by the service and written by the messages of a
// "feeder" client stream, one loop turn per message.
class FeedTest : public RpcTest {
 protected:
  FeedTest() = default;
  explicit FeedTest(const TestServer::Options& options) : RpcTest(options) {}

  // `cap`: the feed's own queue cap (0: the default).
  void OpenFeed(size_t cap = 0) {
    EchoRequest request;
    request.set_action("feed");
    if (cap != 0) request.set_text(std::to_string(cap));
    feed_context_.set_deadline(std::chrono::system_clock::now() +
                               std::chrono::minutes(1));
    feed_ = stub_->ServerStream(&feed_context_, request);
    ASSERT_TRUE(server_.service().log().WaitFor("feed-held"));
    feeder_context_.AddMetadata("client-id", "feeder");
    feeder_ = stub_->ClientStream(&feeder_context_, &feeder_response_);
  }

  // Sends one feeder message of `chunks` chunks; "open" or "closed" for the
  // feed once the server has written them, "" on timeout.
  std::string Feed(int chunks) {
    EchoRequest request;
    request.set_count(chunks);
    request.set_payload(std::string(kChunk, 'f'));
    if (!feeder_->Write(request)) return "";
    std::string prefix = "fed:" + std::to_string(++fed_messages_) + ":";
    EventLog& log = server_.service().log();
    for (int i = 0; i < 10000; ++i) {
      if (log.Count(prefix + "open") > 0) return "open";
      if (log.Count(prefix + "closed") > 0) return "closed";
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return "";
  }

  grpc::Status FinishFeeder() {
    feeder_->WritesDone();
    return feeder_->Finish();
  }

  grpc::ClientContext feed_context_;
  std::unique_ptr<grpc::ClientReader<EchoResponse>> feed_;
  grpc::ClientContext feeder_context_;
  EchoResponse feeder_response_;
  std::unique_ptr<grpc::ClientWriter<EchoRequest>> feeder_;
  int fed_messages_ = 0;
};

TEST_F(FeedTest, StalledReaderIsCancelledOnceItsQueueStaysOverTheCap) {
  LogCapture capture;
  ASSERT_NO_FATAL_FAILURE(OpenFeed());  // the feed is never read
  // A stalled client absorbs only a few MiB; the rest stays queued. Writes
  // are accepted until the transport has taken nothing for the timeout
  // (1 s here), then the call is cancelled without any further write.
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ("open", Feed(kBurstChunks));
  ASSERT_EQ("open", Feed(1));
  EXPECT_FALSE(capture.Contains(kCapWarning));

  EventLog& log = server_.service().log();
  ASSERT_TRUE(WaitForPrefix(log, "done:stream-feed:"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_GT(CodeOf(log, "done:stream-feed:"), 0);
  EXPECT_TRUE(capture.Contains(kCapWarning));
  EXPECT_EQ("closed", Feed(1));  // later writes are no-ops
  grpc::Status status = FinishFeeder();
  EXPECT_TRUE(status.ok()) << status.error_message();
  EchoResponse response;
  while (feed_->Read(&response)) {
  }
  EXPECT_FALSE(feed_->Finish().ok());
}

TEST_F(FeedTest, ClientReadingBehindABurstIsNeverCancelled) {
  LogCapture capture;
  ASSERT_NO_FATAL_FAILURE(OpenFeed());
  std::atomic<int> received{0};
  size_t bytes = 0;
  grpc::Status feed_status;
  std::thread reader([&] {
    EchoResponse response;
    while (feed_->Read(&response)) {
      if (response.index() != received.load()) break;
      bytes += response.text().size();
      ++received;
    }
    feed_status = feed_->Finish();
  });

  // The feeder does not wait for the reader: each small write finds most
  // of the burst, far more than the cap, still queued.
  constexpr int kTurns = 20;
  EXPECT_EQ("open", Feed(kBurstChunks));
  for (int i = 0; i < kTurns; ++i) EXPECT_EQ("open", Feed(1));
  grpc::Status status = FinishFeeder();
  reader.join();
  EXPECT_TRUE(status.ok()) << status.error_message();
  EXPECT_EQ(kTurns + 1, feeder_response_.index());
  EXPECT_TRUE(feed_status.ok()) << feed_status.error_message();
  EXPECT_EQ(kBurstChunks + kTurns, received.load());
  EXPECT_EQ((kBurstChunks + kTurns) * kChunk, bytes);
  EXPECT_TRUE(server_.service().log().WaitFor("done:stream-feed:0"));
  EXPECT_FALSE(capture.Contains(kCapWarning));
}

TestServer::Options SmallServerQueue() {
  TestServer::Options options;
  options.max_queued_bytes = 16 * kChunk;
  return options;
}

class SmallServerQueueTest : public FeedTest {
 protected:
  SmallServerQueueTest() : FeedTest(SmallServerQueue()) {}
};

TEST_F(SmallServerQueueTest, BytesQueuedForAllCallsShedOnlyCallsOverTheirOwnCap) {
  LogCapture capture;
  ASSERT_NO_FATAL_FAILURE(OpenFeed(4 * kChunk));
  // Over its own cap, and twice what the server holds for all calls.
  EXPECT_EQ("closed", Feed(32));
  EXPECT_TRUE(capture.Contains("all calls together hold more than"));
  EventLog& log = server_.service().log();
  ASSERT_TRUE(WaitForPrefix(log, "done:stream-feed:"));
  EXPECT_GT(CodeOf(log, "done:stream-feed:"), 0);

  grpc::Status status;
  EXPECT_EQ("hello", Unary("", &status).text());
  EXPECT_TRUE(status.ok()) << status.error_message();
  FinishFeeder();
  EchoResponse response;
  while (feed_->Read(&response)) {
  }
  EXPECT_FALSE(feed_->Finish().ok());
}

// A call cancelled while a write larger than its cap is still in flight
// keeps those bytes counted until the write completes, but it is not shed
// again: shedding for the next call ends, and that call (under its cap)
// stays open.
TEST_F(SmallServerQueueTest, ACallCancelledWithAWriteInFlightIsNotShedAgain) {
  LogCapture capture;
  ASSERT_NO_FATAL_FAILURE(OpenFeed(kChunk / 2));  // never read
  grpc::ClientContext other_context;
  other_context.set_deadline(std::chrono::system_clock::now() + std::chrono::minutes(1));
  EchoRequest request;
  request.set_action("feed");
  std::unique_ptr<grpc::ClientReader<EchoResponse>> other =
      stub_->ServerStream(&other_context, request);
  ASSERT_TRUE(server_.service().log().WaitFor("feed-held", 2));
  // More than a client that does not read takes in: each feed keeps a
  // chunk in flight.
  ASSERT_EQ("open", Feed(6));
  // The first feed goes over the limit and is cancelled; the second then
  // queues past the limit too, with the first still holding its chunk.
  EXPECT_EQ("closed", Feed(20));
  EXPECT_EQ(capture.Count("Cancelling"), 1u);
  EchoResponse response;
  for (int i = 0; i < 26; ++i) ASSERT_TRUE(other->Read(&response)) << i;
  EXPECT_TRUE(FinishFeeder().ok());
  other_context.TryCancel();
  other->Finish();
  while (feed_->Read(&response)) {
  }
  EXPECT_FALSE(feed_->Finish().ok());
}

TEST_F(SmallServerQueueTest, ACallUnderItsOwnCapIsNeverShed) {
  LogCapture capture;
  ASSERT_NO_FATAL_FAILURE(OpenFeed());
  // Twice what the server holds for all calls, but under the call's cap.
  EXPECT_EQ("open", Feed(32));
  EXPECT_FALSE(capture.Contains("all calls together hold more than"));
  EXPECT_TRUE(FinishFeeder().ok());
  EchoResponse response;
  int received = 0;
  while (feed_->Read(&response)) ++received;
  EXPECT_TRUE(feed_->Finish().ok());
  EXPECT_EQ(received, 32);
}

TEST(RpcServerTest, HealthFollowsTheStandardProtocol) {
  using grpc::health::v1::HealthCheckRequest;
  using grpc::health::v1::HealthCheckResponse;
  EchoRequest version;
  DaemonHealthService health(version);
  TestServer::Options options;
  options.grace_ms = 300;
  options.extra_services.push_back(&health);
  TestServer server(options);
  auto stub = grpc::health::v1::Health::NewStub(
      grpc::CreateChannel(server.address(), grpc::InsecureChannelCredentials()));

  for (const std::string name : {"", "tarnix_test.Echo", "grpc.health.v1.Health"}) {
    grpc::ClientContext context;
    HealthCheckRequest request;
    request.set_service(name);
    HealthCheckResponse response;
    ASSERT_TRUE(stub->Check(&context, request, &response).ok()) << name;
    EXPECT_EQ(HealthCheckResponse::SERVING, response.status()) << name;
  }
  grpc::ClientContext unknown_context;
  HealthCheckRequest unknown;
  unknown.set_service("no.such.Service");
  HealthCheckResponse response;
  EXPECT_EQ(grpc::StatusCode::NOT_FOUND,
            stub->Check(&unknown_context, unknown, &response).error_code());

  grpc::ClientContext watch_context;
  auto watch = stub->Watch(&watch_context, HealthCheckRequest());
  ASSERT_TRUE(watch->Read(&response));
  EXPECT_EQ(HealthCheckResponse::SERVING, response.status());
  grpc::ClientContext unknown_watch_context;
  auto unknown_watch = stub->Watch(&unknown_watch_context, unknown);
  ASSERT_TRUE(unknown_watch->Read(&response));
  EXPECT_EQ(HealthCheckResponse::SERVICE_UNKNOWN, response.status());

  server.provider().Stop();
  ASSERT_TRUE(watch->Read(&response));
  EXPECT_EQ(HealthCheckResponse::NOT_SERVING, response.status());
  server.StopAndJoin();
  EXPECT_FALSE(watch->Read(&response));
  EXPECT_FALSE(unknown_watch->Read(&response));
  watch->Finish();
  unknown_watch->Finish();
}

// Sends each of `messages` as the raw bytes of one message on a call of
// `method` through the generic API, which neither parses nor stops at one,
// then ends the stream and returns the call's status.
grpc::Status CallWithRawMessages(const std::string& address, const std::string& method,
                                 const std::string& client_id,
                                 const std::vector<std::string>& messages) {
  grpc::GenericStub generic(
      grpc::CreateChannel(address, grpc::InsecureChannelCredentials()));
  grpc::CompletionQueue cq;
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(5));
  if (!client_id.empty()) context.AddMetadata("client-id", client_id);
  auto call = generic.PrepareCall(&context, "/tarnix_test.Echo/" + method, &cq);
  void* tag = nullptr;
  bool ok = false;
  call->StartCall(nullptr);
  cq.Next(&tag, &ok);
  for (const std::string& bytes : messages) {
    grpc::Slice slice(bytes);
    grpc::ByteBuffer buffer(&slice, 1);
    call->Write(buffer, nullptr);
    cq.Next(&tag, &ok);
  }
  call->WritesDone(nullptr);
  cq.Next(&tag, &ok);
  grpc::ByteBuffer reply;
  call->Read(&reply, nullptr);
  cq.Next(&tag, &ok);
  grpc::Status status;
  call->Finish(&status, nullptr);
  cq.Next(&tag, &ok);
  cq.Shutdown();
  while (cq.Next(&tag, &ok)) {
  }
  return status;
}

// A unary call sending `messages` copies of `request`.
grpc::Status UnaryWithMessages(const std::string& address, const EchoRequest& request,
                               int messages) {
  return CallWithRawMessages(address, "Unary", "",
                             std::vector<std::string>(messages, request.SerializeAsString()));
}

TEST_F(RpcTest, UnaryCallNeedsExactlyOneRequest) {
  EchoRequest request;
  request.set_action("counted");
  EXPECT_TRUE(UnaryWithMessages(server_.address(), request, 1).ok());
  for (int messages : {0, 2}) {
    grpc::Status status = UnaryWithMessages(server_.address(), request, messages);
    EXPECT_EQ(grpc::StatusCode::INTERNAL, status.error_code()) << messages;
    if (messages == 2) {
      EXPECT_EQ("Too many requests", status.error_message());
    }
  }
  EventLog& log = server_.service().log();
  ASSERT_TRUE(log.WaitFor("done:unary-counted:0"));
  server_.StopAndJoin();
  EXPECT_EQ(1u, log.Count("done:unary-counted:0"));  // only the first call ran
}

// Requests are parsed off the loop; one that does not parse still fails its
// call, after the messages before it were delivered, and runs no handler.
TEST_F(RpcTest, UnparsableRequestFailsItsCallWithInvalidArgument) {
  const std::string garbage = "\xff\xff\xff\xff";
  EchoRequest request;
  request.set_action("parsed");
  grpc::Status status =
      CallWithRawMessages(server_.address(), "Unary", "", {garbage});
  EXPECT_EQ(grpc::StatusCode::INVALID_ARGUMENT, status.error_code());
  EXPECT_EQ("Request message does not parse", status.error_message());
  EXPECT_TRUE(CallWithRawMessages(server_.address(), "Unary", "",
                                  {request.SerializeAsString()})
                  .ok());

  EchoRequest first, third;
  first.set_text("first");
  third.set_text("third");
  status = CallWithRawMessages(server_.address(), "ClientStream", "log-each",
                               {first.SerializeAsString(), garbage, third.SerializeAsString()});
  EXPECT_EQ(grpc::StatusCode::INVALID_ARGUMENT, status.error_code());
  EXPECT_EQ("Request message does not parse", status.error_message());

  EventLog& log = server_.service().log();
  ASSERT_TRUE(log.WaitFor("release:log-each"));
  // The unary call's end is recorded on the loop after its client saw it.
  ASSERT_TRUE(log.WaitFor("done:unary-parsed:0"));
  EXPECT_EQ(1u, log.Count("got:first"));
  EXPECT_EQ(0u, log.Count("got:third"));
  EXPECT_EQ(3, CodeOf(log, "complete:log-each:"));
  EXPECT_EQ(3, CodeOf(log, "done:client-log-each:"));
  size_t handled = 0;
  for (const std::string& event : log.events()) {
    if (event.rfind("done:unary-", 0) == 0) ++handled;
  }
  EXPECT_EQ(1u, handled);  // the request that parsed
  EXPECT_EQ(1u, log.Count("done:unary-parsed:0"));
}

// Counts how often the registry ends its period; the first time it throws.
class CollectCounter : public metrics::MetricValue {
 public:
  explicit CollectCounter(std::atomic<int>* collects)
      : MetricValue(0x7e57), collects_(collects) {}
  std::string string(bool) override { return std::string(); }

 private:
  void reset_impl() override {}
  void collect_impl() override {
    if (++*collects_ == 1) throw std::runtime_error("collector failure");
  }
  void serialize_impl(metrics::Serializer&, bool) override {}
  std::atomic<int>* collects_;
};

TEST(RpcServerTest, MetricsAreCollectedEveryReportInterval) {
  LogCapture capture;
  boost::property_tree::ptree config;
  config.put("metrics.report_interval_sec", 1u);
  AsioOrvProvider provider(config, "");
  std::atomic<int> collects{0};
  provider.metrics().key("test/collects")->get_or_create_value([&] {
    return new CollectCounter(&collects);
  });
  std::thread loop([&] { provider.Run(1); });
  for (int i = 0; i < 50 && collects.load() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  provider.Stop();
  loop.join();
  EXPECT_EQ(2, collects.load());
  EXPECT_TRUE(capture.Contains("Exception in metrics collection: collector failure"));
}

// A task that posts itself again yields the loop between runs: a call that
// arrives meanwhile is served while the chain goes on.
TEST_F(RpcTest, PostedTasksRunInOrderAndLetCallsInBetween) {
  LogCapture capture;
  std::vector<int> order;
  std::atomic<int> ran{0};
  for (int i = 0; i < 3; ++i) {
    server_.provider().Post([&order, &ran, i] {
      order.push_back(i);
      ++ran;
      // The loop logs what a task throws and goes on.
      if (i == 1) throw std::runtime_error("task failure");
    });
  }
  for (int i = 0; i < 500 && ran.load() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(capture.Contains("Exception in a task run on the loop: task failure"));

  constexpr int kLinks = 20000;
  std::atomic<int> links{0};
  std::atomic<bool> served{false};
  std::function<void()> link = [&] {
    // About 50 microseconds of work per turn.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    while (std::chrono::steady_clock::now() < until) {
    }
    if (++links < kLinks && !served.load()) server_.provider().Post(link);
  };
  server_.provider().Post(link);
  while (links.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  grpc::Status status;
  Unary("", &status);
  served = true;
  EXPECT_TRUE(status.ok()) << status.error_message();
  EXPECT_LT(links.load(), kLinks);
  // The link running when `served` was set may have posted one more; two
  // markers in a row run after it, so no link outlives the locals.
  for (int round = 0; round < 2; ++round) {
    std::atomic<bool> marker{false};
    server_.provider().Post([&marker] { marker = true; });
    for (int i = 0; i < 1000 && !marker.load(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(marker.load());
  }
}

// A posted task waits for no timer tick: a thousand turns in a row take far
// less than the millisecond per turn that a timer would cost.
TEST_F(RpcTest, PostedTaskRunsAtTheNextTurnWithoutTimerDelay) {
  constexpr int kTurns = 1000;
  std::atomic<int> turns{0};
  std::function<void()> turn = [&] {
    if (++turns < kTurns) server_.provider().Post(turn);
  };
  const auto start = std::chrono::steady_clock::now();
  server_.provider().Post(turn);
  for (int i = 0; i < 10000 && turns.load() < kTurns; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(turns.load(), kTurns);
  EXPECT_LT(elapsed, std::chrono::milliseconds(kTurns / 2));
}

TEST(RpcServerTest, BindFailureThrowsAndTheProviderStillStopsCleanly) {
  TestServer first;
  LogCapture capture;
  {
    boost::property_tree::ptree config;
    AsioOrvProvider provider(config, "");
    EchoTestService service;
    provider.rpc().RegisterService(&service);
    provider.rpc().AddListeningEndpoint(net::Endpoint(first.address()));
    EXPECT_THROW(provider.rpc().BuildStarted(), std::runtime_error);
  }
  EXPECT_FALSE(capture.Contains("before its server"));
}

TEST(RpcServerTest, ServesOnUnixSockets) {
  TestServer::Options options;
  options.endpoint =
      "unix:" + ::testing::TempDir() + "tarnix-rpc-" + std::to_string(getpid()) + ".sock";
  TestServer server(options);
  grpc::ClientContext context;
  EchoRequest request;
  request.set_text("over a socket");
  EchoResponse response;
  ASSERT_TRUE(PlainStub(server.address())->Unary(&context, request, &response).ok());
  EXPECT_EQ("over a socket", response.text());
  server.StopAndJoin();
  unlink(options.endpoint.substr(5).c_str());
}

// SIGTERM with an open server stream and a half-sent client stream: Run
// returns within the grace period and every call's callbacks have run.
TEST(RpcServerTest, SigtermStopsWithinGraceAndRunsCallbacks) {
  TestServer::Options options;
  options.grace_ms = 500;
  TestServer server(options);
  auto stub = PlainStub(server.address());
  EventLog& log = server.service().log();

  grpc::ClientContext stream_context;
  EchoRequest request;
  request.set_count(3);
  request.set_action("hold");
  auto reader = stub->ServerStream(&stream_context, request);
  EchoResponse response;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(reader->Read(&response));

  grpc::ClientContext upload_context;
  upload_context.AddMetadata("client-id", "halfsent");
  auto writer = stub->ClientStream(&upload_context, &response);
  ASSERT_TRUE(writer->Write(EchoRequest()));

  grpc::Status unary_status;
  std::thread unary = HoldUnary(stub.get(), &unary_status);
  ASSERT_TRUE(log.WaitFor("held", 2));

  auto start = std::chrono::steady_clock::now();
  kill(getpid(), SIGTERM);
  server.StopAndJoin();  // Stop() is also called, but the signal comes first
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(500 + 700));

  EXPECT_GT(CodeOf(log, "done:stream-hold:"), 0);
  EXPECT_GT(CodeOf(log, "complete:halfsent:"), 0);
  EXPECT_GT(CodeOf(log, "done:unary-hold:"), 0);
  EXPECT_EQ(1u, log.Count("release:halfsent"));

  // Handles outlive their calls and the loop: operations are harmless no-ops.
  for (auto& handle : server.service().held()) {
    handle->Write(response);
    handle->Respond(response);
    handle->Fail(INTERNAL("late"));
    EXPECT_FALSE(handle->is_open());
  }
  EXPECT_FALSE(reader->Read(&response));
  EXPECT_FALSE(reader->Finish().ok());
  writer->Finish();
  unary.join();
  EXPECT_FALSE(unary_status.ok());
}

// A call whose work is done waits for its answer past the grace period:
// the stop cancels calls only once no service owes an answer.
TEST(RpcServerTest, AStopWaitsForAnswersOwedBeforeItCancelsCalls) {
  TestServer::Options options;
  options.grace_ms = 100;
  TestServer server(options);
  auto stub = PlainStub(server.address());
  grpc::Status status;
  std::thread unary = HoldUnary(stub.get(), &status);
  ASSERT_TRUE(server.service().log().WaitFor("held"));
  server.service().set_answers_pending(true);
  server.provider().Stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  server.provider().Post([&server] {
    server.service().held().front()->Respond(EchoResponse());
    server.service().set_answers_pending(false);
  });
  unary.join();
  EXPECT_TRUE(status.ok()) << status.error_message();
  server.StopAndJoin();
}

// While a stop waits for owed answers, every call that comes is refused at
// once, however many come.
TEST(RpcServerTest, CallsDuringAStopAreRefusedAtOnce) {
  TestServer::Options options;
  options.grace_ms = 100;
  TestServer server(options);
  server.service().set_answers_pending(true);
  auto stub = PlainStub(server.address());
  ASSERT_TRUE(RoundTrip(stub.get()));
  server.provider().Stop();
  for (int i = 0; i < 100 && RoundTrip(stub.get()); ++i) {  // until the server refuses
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (int i = 0; i < 40; ++i) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(1));
    EchoResponse response;
    auto writer = stub->ClientStream(&context, &response);
    writer->WritesDone();
    const grpc::Status status = writer->Finish();
    ASSERT_EQ(status.error_code(), grpc::StatusCode::UNAVAILABLE) << i;
    EXPECT_EQ(status.error_message(), "Server is shutting down");
  }
  server.service().set_answers_pending(false);
  server.StopAndJoin();
}

// The loop is held up past the grace period while a half-sent upload gets
// another message and a unary call gets its request: those reads are drained
// after the server has cancelled the calls, so the upload must not complete
// normally (its partial stream would be acted on) and no handler may start.
TEST(RpcServerTest, ReadsDrainedAfterShutdownNeitherCompleteNorDispatch) {
  TestServer::Options options;
  options.grace_ms = 500;  // the loop is held up for 2 s
  TestServer server(options);
  auto channel = grpc::CreateChannel(server.address(), grpc::InsecureChannelCredentials());
  auto stub = tarnix_test::Echo::NewStub(channel);
  EventLog& log = server.service().log();

  grpc::ClientContext partial_context;
  partial_context.AddMetadata("client-id", "partial");
  EchoResponse response;
  auto partial = stub->ClientStream(&partial_context, &response);
  ASSERT_TRUE(partial->Write(EchoRequest()));

  grpc::ClientContext blocker_context;
  blocker_context.AddMetadata("client-id", "block-on-message");
  auto blocker = stub->ClientStream(&blocker_context, &response);

  // A unary call whose request follows its headers later.
  grpc::GenericStub generic(channel);
  grpc::CompletionQueue cq;
  grpc::ClientContext unary_context;
  auto unary = generic.PrepareCall(&unary_context, "/tarnix_test.Echo/Unary", &cq);
  void* tag = nullptr;
  bool ok = false;
  unary->StartCall(reinterpret_cast<void*>(1));
  ASSERT_TRUE(cq.Next(&tag, &ok) && ok);
  ASSERT_TRUE(RoundTrip(stub.get()));  // the calls before it on this connection are accepted

  server.provider().Stop();
  for (int i = 0; i < 100 && RoundTrip(stub.get()); ++i) {  // until the server refuses
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(blocker->Write(EchoRequest()));
  ASSERT_TRUE(log.WaitFor("blocking"));
  ASSERT_TRUE(partial->Write(EchoRequest()));
  EchoRequest late;
  late.set_action("late");
  grpc::ByteBuffer buffer;
  bool own = false;
  ASSERT_TRUE(grpc::SerializationTraits<EchoRequest>::Serialize(late, &buffer, &own).ok());
  unary->WriteLast(buffer, grpc::WriteOptions(), reinterpret_cast<void*>(2));
  ASSERT_TRUE(cq.Next(&tag, &ok));
  server.StopAndJoin();

  EXPECT_GT(CodeOf(log, "complete:partial:"), 0);
  EXPECT_EQ(1u, log.Count("release:partial"));
  EXPECT_EQ(-1, CodeOf(log, "done:unary-late:"));

  grpc::Status status;
  unary->Finish(&status, reinterpret_cast<void*>(3));
  ASSERT_TRUE(cq.Next(&tag, &ok));
  EXPECT_FALSE(status.ok());
  cq.Shutdown();
  while (cq.Next(&tag, &ok)) {
  }
  partial->Finish();
  blocker->Finish();
}

// Holds the loop thread in a posted task until Open.
class LoopGate {
 public:
  explicit LoopGate(AsioOrvProvider& provider) : state_(std::make_shared<State>()) {
    std::shared_ptr<State> state = state_;
    provider.Post([state] {
      std::unique_lock<std::mutex> lock(state->mu);
      state->held = true;
      state->cv.notify_all();
      state->cv.wait(lock, [&state] { return state->open; });
    });
    std::unique_lock<std::mutex> lock(state_->mu);
    state_->cv.wait(lock, [this] { return state_->held; });
  }
  ~LoopGate() { Open(); }
  void Open() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->open = true;
    state_->cv.notify_all();
  }

 private:
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    bool held = false;
    bool open = false;
  };
  std::shared_ptr<State> state_;
};

// Messages of many streams, spread over the I/O threads and piling up while
// the loop is held, reach each observer in the order the client sent them.
TEST_F(RpcTest, QueuedMessagesReachTheLoopInOrderPerCall) {
  constexpr int kStreams = 16;
  constexpr int kMessages = 300;
  std::vector<std::thread> clients;
  std::vector<std::string> expected(kStreams), got(kStreams);
  std::vector<grpc::Status> statuses(kStreams);
  std::atomic<bool> stop_holding{false};
  std::thread holder([&] {
    while (!stop_holding.load()) {
      LoopGate gate(server_.provider());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  for (int c = 0; c < kStreams; ++c) {
    clients.emplace_back([&, c] {
      auto stub = PlainStub(server_.address());
      grpc::ClientContext context;
      context.AddMetadata("client-id", "order");
      EchoResponse response;
      auto writer = stub->ClientStream(&context, &response);
      for (int i = 0; i < kMessages; ++i) {
        EchoRequest request;
        request.set_text(std::to_string(i) + ",");
        expected[c] += request.text();
        if (!writer->Write(request)) break;
      }
      writer->WritesDone();
      statuses[c] = writer->Finish();
      got[c] = response.text();
    });
  }
  for (std::thread& client : clients) client.join();
  stop_holding = true;
  holder.join();
  for (int c = 0; c < kStreams; ++c) {
    EXPECT_TRUE(statuses[c].ok()) << statuses[c].error_message();
    EXPECT_EQ(expected[c], got[c]) << "stream " << c;
  }
  EXPECT_TRUE(server_.service().log().WaitFor("release:order", kStreams));
}

// Unary calls whose request never comes wait on the I/O threads, more of
// them than calls are requested ahead: a call that sends its request is
// still accepted and served.
TEST_F(RpcTest, CallsWithoutTheirRequestHoldUpNoOtherCall) {
  auto channel = grpc::CreateChannel(server_.address(), grpc::InsecureChannelCredentials());
  grpc::GenericStub generic(channel);
  grpc::CompletionQueue cq;
  constexpr int kSilent = 64;
  std::vector<std::unique_ptr<grpc::ClientContext>> contexts;
  std::vector<std::unique_ptr<grpc::GenericClientAsyncReaderWriter>> calls;
  for (int i = 0; i < kSilent; ++i) {
    contexts.emplace_back(new grpc::ClientContext);
    calls.push_back(generic.PrepareCall(contexts.back().get(), "/tarnix_test.Echo/Unary", &cq));
    calls.back()->StartCall(reinterpret_cast<void*>(1));
  }
  void* tag = nullptr;
  bool ok = false;
  for (int i = 0; i < kSilent; ++i) ASSERT_TRUE(cq.Next(&tag, &ok) && ok);

  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(3));
  EchoRequest request;
  request.set_text("through");
  EchoResponse response;
  grpc::Status status = stub_->Unary(&context, request, &response);
  EXPECT_TRUE(status.ok()) << status.error_message();
  EXPECT_EQ("through", response.text());

  for (auto& call_context : contexts) call_context->TryCancel();
  // Finish writes its status later, from the queue: the statuses outlive it.
  std::vector<grpc::Status> ignored(calls.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    calls[i]->Finish(&ignored[i], reinterpret_cast<void*>(2));
  }
  for (int i = 0; i < kSilent; ++i) ASSERT_TRUE(cq.Next(&tag, &ok));
  cq.Shutdown();
  while (cq.Next(&tag, &ok)) {
  }
}

// A client cancels while its messages, its end and its cancellation wait for
// the held loop. The server's I/O went on meanwhile, so when the loop gets to
// the calls it knows they were cancelled: no observer completes normally (a
// cancelled upload must not be acted on), each completes and is released
// once, and a unary call cancelled the same way never completes OK.
TEST_F(RpcTest, CancellationRacingQueuedCallbacksEndsEachCallOnce) {
  constexpr int kCalls = 8;
  std::vector<std::unique_ptr<grpc::ClientContext>> contexts;
  std::vector<std::unique_ptr<grpc::ClientWriter<EchoRequest>>> writers;
  std::vector<EchoResponse> responses(kCalls);
  std::vector<std::thread> unaries;
  {
    LoopGate gate(server_.provider());
    for (int i = 0; i < kCalls; ++i) {
      contexts.emplace_back(new grpc::ClientContext);
      contexts.back()->AddMetadata("client-id", "race");
      writers.push_back(stub_->ClientStream(contexts.back().get(), &responses[i]));
      for (int m = 0; m < 3; ++m) writers.back()->Write(EchoRequest());
      if (i % 2 == 0) writers.back()->WritesDone();
    }
    for (int i = 0; i < kCalls; ++i) {
      unaries.emplace_back([this] {
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() +
                             std::chrono::milliseconds(200));
        EchoRequest request;
        request.set_action("race");
        EchoResponse response;
        EXPECT_FALSE(stub_->Unary(&context, request, &response).ok());
      });
    }
    for (std::thread& unary : unaries) unary.join();
    for (auto& context : contexts) context->TryCancel();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (auto& writer : writers) EXPECT_FALSE(writer->Finish().ok());
  EventLog& log = server_.service().log();
  ASSERT_TRUE(log.WaitFor("release:race", kCalls));
  size_t unary_done = 0;
  for (const std::string& event : log.events()) {
    if (event.rfind("complete:race:", 0) == 0) {
      EXPECT_NE("complete:race:0", event);
    }
    if (event.rfind("done:client-race:", 0) == 0) {
      EXPECT_NE("done:client-race:0", event);
    }
    if (event.rfind("done:unary-race:", 0) == 0) {
      ++unary_done;
      EXPECT_NE("done:unary-race:0", event);
    }
  }
  EXPECT_EQ(static_cast<size_t>(kCalls), log.Count("release:race"));
  EXPECT_TRUE(log.WaitFor("done:client-race:1", kCalls));
  EXPECT_LE(unary_done, static_cast<size_t>(kCalls));
  grpc::Status status;
  Unary("", &status);
  EXPECT_TRUE(status.ok()) << status.error_message();
}

// Stop is asked while messages and ends of open calls, and new calls, wait
// for the held loop: Run still returns, each open call completes, gets its
// completion callback and is released exactly once, only a stream its client
// ended may complete normally, and the new calls are refused without reaching
// a handler.
TEST(RpcServerTest, StopWhileCallbacksAreQueuedEndsEveryCall) {
  TestServer::Options options;
  options.grace_ms = 300;
  TestServer server(options);
  auto stub = PlainStub(server.address());
  constexpr int kCalls = 8;
  std::vector<std::unique_ptr<grpc::ClientContext>> contexts;
  std::vector<std::unique_ptr<grpc::ClientWriter<EchoRequest>>> writers;
  std::vector<EchoResponse> responses(2 * kCalls);
  auto open_stream = [&](const std::string& id) {
    contexts.emplace_back(new grpc::ClientContext);
    contexts.back()->AddMetadata("client-id", id);
    contexts.back()->set_deadline(std::chrono::system_clock::now() +
                                  std::chrono::seconds(5));
    writers.push_back(stub->ClientStream(contexts.back().get(), &responses[writers.size()]));
    writers.back()->Write(EchoRequest());
  };
  for (int i = 0; i < kCalls; ++i) open_stream("log-each");
  // Every stream has reached its handler before the loop is held.
  ASSERT_TRUE(server.service().log().WaitFor("got:", kCalls));
  std::thread stopper;
  {
    LoopGate gate(server.provider());
    for (int i = 0; i < kCalls; ++i) {
      for (int m = 0; m < 3; ++m) writers[i]->Write(EchoRequest());
      if (i % 2 == 0) writers[i]->WritesDone();
    }
    for (int i = 0; i < kCalls; ++i) open_stream("late");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stopper = std::thread([&server] { server.StopAndJoin(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stopper.join();
  EXPECT_FALSE(server.running());
  // Streams the client had ended may still be answered within the grace.
  for (size_t i = 0; i < writers.size(); ++i) {
    grpc::Status status = writers[i]->Finish();
    if (i % 2 == 1 || i >= kCalls) {
      EXPECT_FALSE(status.ok()) << i;
    }
  }
  EventLog& log = server.service().log();
  size_t opened = 0, completed = 0;
  for (const std::string& event : log.events()) {
    if (event.rfind("done:client-log-each:", 0) == 0) ++opened;
    if (event.rfind("complete:log-each:", 0) == 0) ++completed;
  }
  EXPECT_LE(log.Count("complete:log-each:0"), static_cast<size_t>(kCalls / 2));
  EXPECT_EQ(static_cast<size_t>(kCalls), opened);
  EXPECT_EQ(opened, completed);
  EXPECT_EQ(opened, log.Count("release:log-each"));
  EXPECT_EQ(-1, CodeOf(log, "done:client-late:"));
  EXPECT_EQ(0u, log.Count("reentered"));
  EXPECT_EQ(0u, log.Count("complete-twice"));
}

// A client streams many MiB while the loop is held: the server reads ahead
// only about the bound (what it read before a task posted during the hold
// reaches the loop first), holds the client back meanwhile, and goes on
// reading once the loop has caught up, every message delivered in order.
TEST_F(RpcTest, ReadAheadOfASlowLoopIsBounded) {
  constexpr int kMessages = 48;
  EventLog& log = server_.service().log();
  grpc::ClientContext context;
  context.AddMetadata("client-id", "log-each");
  EchoResponse response;
  auto writer = stub_->ClientStream(&context, &response);
  EchoRequest request;
  request.set_text("0");
  ASSERT_TRUE(writer->Write(request));
  ASSERT_TRUE(log.WaitFor("got:0"));

  std::atomic<int> written{1};
  std::thread sender;
  {
    LoopGate gate(server_.provider());
    sender = std::thread([&] {
      EchoRequest chunk;
      chunk.set_payload(std::string(kChunk, 'r'));
      for (int i = 1; i < kMessages; ++i) {
        chunk.set_text(std::to_string(i));
        if (!writer->Write(chunk)) return;
        ++written;
      }
      writer->WritesDone();
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(written.load(), kMessages);  // transport flow control holds the client
    server_.provider().Post([&log] { log.Add("caught-up"); });
  }
  sender.join();
  grpc::Status status = writer->Finish();
  ASSERT_TRUE(status.ok()) << status.error_message();
  EXPECT_EQ(kMessages, response.index());

  std::vector<std::string> events = log.events();
  int read_ahead = 0;
  int next = 0;
  bool caught_up = false;
  for (const std::string& event : events) {
    if (event == "caught-up") caught_up = true;
    if (event.rfind("got:", 0) != 0) continue;
    EXPECT_EQ("got:" + std::to_string(next++), event);
    if (!caught_up && event != "got:0") ++read_ahead;
  }
  EXPECT_EQ(kMessages, next);
  EXPECT_GE(read_ahead, 1);  // the I/O thread did read while the loop was held
  EXPECT_LE(static_cast<size_t>(read_ahead), ServerCall::kMaxReadAheadBytes / kChunk + 1);
}

// A stream whose read-ahead paused while the loop was held up past the
// shutdown grace: the loop takes its messages only once no operation may
// start, so it cannot resume the reads and ends the stream itself; Run
// returns and the stream completes (not normally) and is released once.
TEST(RpcServerTest, StreamPausedOnItsReadAheadEndsWhenTheServerStops) {
  TestServer::Options options;
  options.grace_ms = 300;  // the loop is held up for 2 s
  TestServer server(options);
  auto stub = PlainStub(server.address());
  EventLog& log = server.service().log();

  grpc::ClientContext paused_context;
  paused_context.AddMetadata("client-id", "log-each");
  EchoResponse response;
  auto paused = stub->ClientStream(&paused_context, &response);
  EchoRequest request;
  request.set_text("0");
  ASSERT_TRUE(paused->Write(request));
  ASSERT_TRUE(log.WaitFor("got:0"));
  grpc::ClientContext blocker_context;
  blocker_context.AddMetadata("client-id", "block-on-message");
  auto blocker = stub->ClientStream(&blocker_context, &response);
  ASSERT_TRUE(RoundTrip(stub.get()));

  server.provider().Stop();
  for (int i = 0; i < 100 && RoundTrip(stub.get()); ++i) {  // until the server refuses
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(blocker->Write(EchoRequest()));
  ASSERT_TRUE(log.WaitFor("blocking"));
  request.set_payload(std::string(kChunk, 'p'));
  const int chunks = static_cast<int>(2 * ServerCall::kMaxReadAheadBytes / kChunk);
  for (int i = 1; i <= chunks; ++i) {
    request.set_text(std::to_string(i));
    if (!paused->Write(request)) break;  // held back, then cancelled
  }
  server.StopAndJoin();

  EXPECT_GT(CodeOf(log, "complete:log-each:"), 0);
  EXPECT_EQ(1u, log.Count("release:log-each"));
  EXPECT_EQ(0u, log.Count("got:" + std::to_string(chunks)));  // reading had paused
  EXPECT_FALSE(paused->Finish().ok());
  blocker->Finish();
}

}  // namespace
}  // namespace testing
}  // namespace rpc
}  // namespace orv
