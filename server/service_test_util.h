#ifndef TARNIX_SERVER_SERVICE_TEST_UTIL_H_
#define TARNIX_SERVER_SERVICE_TEST_UTIL_H_

// Test-only: talks to the services over loopback gRPC with generic calls (the
// generated gRPC service classes share names with ours, so they are never
// linked into a binary that serves), and makes TLS identities with the
// openssl CLI.

#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <google/protobuf/message.h>

#include "platform/crypto/tls.h"
#include "platform/net/security_context.h"
#include "platform/provider.h"
#include "platform/rpc/test_server.h"
#include "server/tarnix_server.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace testing {

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Self-signed EC identities "<name>-key.pem" / "<name>-cert.pem" for
// localhost in a private directory, removed with the object.
class Identities {
 public:
  explicit Identities(const std::vector<std::string>& names) {
    std::string pattern = ::testing::TempDir() + "tarnix-ids-XXXXXX";
    EXPECT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
    for (const std::string& name : names) {
      const std::string command =
          "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
          "-subj /CN=" + name + " -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
          Key(name) + " -out " + Cert(name) + " 2>/dev/null";
      EXPECT_EQ(system(command.c_str()), 0) << command;
    }
  }
  ~Identities() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(dir_, ignored);
  }

  std::string Key(const std::string& name) const { return dir_ + "/" + name + "-key.pem"; }
  std::string Cert(const std::string& name) const { return dir_ + "/" + name + "-cert.pem"; }
  std::string CertPem(const std::string& name) const { return ReadText(Cert(name)); }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// Gives `Fixture` the TLS identities "server", "alice" and "bob" as `ids_`,
// made once per test suite: each one is a run of the openssl CLI.
template <class Fixture>
class WithIdentities : public Fixture {
 protected:
  static void SetUpTestSuite() { ids_ = new Identities({"server", "alice", "bob"}); }
  static void TearDownTestSuite() {
    delete ids_;
    ids_ = nullptr;
  }

  static inline Identities* ids_ = nullptr;
};

// Makes `provider` serve TLS as "server" of `ids`, trusting the certificates
// of `trusted`.
inline void InstallTls(orv::AsioOrvProvider& provider, const Identities& ids,
                       const std::vector<std::string>& trusted) {
  orv::net::NetSecurityContext::Builder builder(
      0, orv::crypto::tls::APPROVED_TLS12_CIPHER_SUITES,
      orv::crypto::tls::APPROVED_TLS13_CIPHER_SUITES, orv::crypto::tls::APPROVED_TLS_CURVES);
  builder.UsePrivateKey(orv::net::RSAPrivateKey::FromPemFile(ids.Key("server")));
  builder.UseCertificate(orv::net::X509Certificate::FromPemFile(ids.Cert("server")));
  for (const std::string& name : trusted) {
    builder.trust_store().AddCertificate(orv::net::X509Certificate::FromPemFile(ids.Cert(name)));
  }
  provider.net().security_manager().default_server_context(builder.release());
}

// The SHA-256 digest of `name`'s certificate in `ids`.
inline orv::net::Sha256Digest DigestOf(const Identities& ids, const std::string& name) {
  return orv::net::X509Certificate::FromPemFile(ids.Cert(name))->SHA256Digest();
}

// The data service on a loopback test server, started by `Serve`.
class DataServiceTest : public WriteTest {
 protected:
  void TearDown() override {
    StopServing();
    WriteTest::TearDown();
  }

  // Stops the syncer (on the loop, which reads its state), as it posts to
  // the loop, then the server and the service.
  void StopServing() {
    if (data_ != nullptr && server_ != nullptr) {
      std::promise<void> stopped;
      server_->provider().Post([&] {
        data_->group_commit().StopSyncer();
        stopped.set_value();
      });
      stopped.get_future().wait();
    }
    server_.reset();
    data_.reset();
  }

  // Plaintext unless `secure` puts a TLS context in place; it runs on the
  // provider before the service is made and registered. Over `schema` when
  // given, else the example schema.
  void Serve(std::function<void(orv::AsioOrvProvider&)> secure = nullptr,
             Schema* schema = nullptr) {
    orv::rpc::testing::TestServer::Options options;
    options.setup = [this, secure, schema](orv::AsioOrvProvider& provider) {
      if (secure) secure(provider);
      data_ = std::make_unique<TarnixServer>(
          schema != nullptr ? schema : &schema_, db_.get(), 1 << 20, &registry_, &certificates_,
          &provider.net().security_manager(), true, max_vdb_id_, false);
      // Long reads yield the loop between slices, as in the daemon.
      data_->set_loop_poster([this, &provider](std::function<void()> task) {
        ++read_slices_posted_;
        const std::chrono::microseconds delay = read_slice_delay_;
        provider.Post([delay, task = std::move(task)] {
          if (delay.count() > 0) std::this_thread::sleep_for(delay);
          task();
        });
      });
      provider.rpc().RegisterService(data_.get());
      if (start_syncer_) {
        data_->group_commit().StartSyncer(
            [&provider](std::function<void()> task) { provider.Post(std::move(task)); });
      }
    };
    server_ = std::make_unique<orv::rpc::testing::TestServer>(options);
  }

  // Whether durable writes are answered by the group commit's syncer thread,
  // as in the daemon, rather than synced inline; set before Serve().
  bool start_syncer_ = false;
  // Slices of long reads posted to the loop so far, and how long each
  // waits before it runs (set before Serve()), to make reads slow.
  std::atomic<size_t> read_slices_posted_{0};
  std::chrono::microseconds read_slice_delay_{0};
  ClientCertificateMap certificates_ = MakeClientCertificateMap();
  // The largest vdb id CreateVDb hands out; set before Serve().
  uint16_t max_vdb_id_ = 65535;
  std::unique_ptr<TarnixServer> data_;
  std::unique_ptr<orv::rpc::testing::TestServer> server_;
};

// A fresh channel (own subchannel pool, so every call handshakes anew):
// plaintext when `ids` is null, else TLS trusting "server" and presenting
// `client`'s certificate ("" for none).
inline std::shared_ptr<grpc::Channel> Channel(const std::string& address,
                                              const Identities* ids,
                                              const std::string& client = std::string()) {
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  if (ids == nullptr) {
    return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args);
  }
  grpc::SslCredentialsOptions ssl;
  ssl.pem_root_certs = ids->CertPem("server");
  if (!client.empty()) {
    ssl.pem_private_key = ReadText(ids->Key(client));
    ssl.pem_cert_chain = ids->CertPem(client);
  }
  args.SetSslTargetNameOverride("localhost");
  return grpc::CreateCustomChannel(address, grpc::SslCredentials(ssl), args);
}

// The deadline and client-id metadata of every call here.
inline void PrepareContext(const std::string& client_id, grpc::ClientContext* context) {
  context->set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
  if (!client_id.empty()) context->AddMetadata("client-id", client_id);
}

inline grpc::ByteBuffer Serialize(const google::protobuf::Message& message) {
  grpc::ByteBuffer buffer;
  bool own = false;
  grpc::SerializationTraits<google::protobuf::Message>::Serialize(message, &buffer, &own);
  return buffer;
}

// Waits for the next event of `cq`; its ok flag.
inline bool Next(grpc::CompletionQueue* cq) {
  void* tag = nullptr;
  bool ok = false;
  cq->Next(&tag, &ok);
  return ok;
}

// One unary call of `method` ("/caldek.orv.tarnix.TarnixOps/GetSchema").
template <class Resp>
grpc::Status CallUnary(const std::shared_ptr<grpc::Channel>& channel, const std::string& method,
                       const std::string& client_id, const google::protobuf::Message& request,
                       Resp* response) {
  grpc::GenericStub stub(channel);
  grpc::ClientContext context;
  PrepareContext(client_id, &context);
  grpc::CompletionQueue cq;
  grpc::ByteBuffer request_buffer = Serialize(request);
  auto reader = stub.PrepareUnaryCall(&context, method, request_buffer, &cq);
  reader->StartCall();
  grpc::ByteBuffer raw;
  grpc::Status status;
  reader->Finish(&raw, &status, &cq);
  Next(&cq);
  if (status.ok()) {
    EXPECT_TRUE(grpc::SerializationTraits<Resp>::Deserialize(&raw, response).ok());
  }
  return status;
}

// A started streaming call of `method`; `started` is its start's ok flag.
struct StreamCall {
  StreamCall(const std::shared_ptr<grpc::Channel>& channel, const std::string& method,
             const std::string& client_id)
      : stub(channel) {
    PrepareContext(client_id, &context);
    stream = stub.PrepareCall(&context, method, &cq);
    stream->StartCall(nullptr);
    started = Next(&cq);
  }

  // Ends the call; its status.
  grpc::Status Finish() {
    grpc::Status status;
    stream->Finish(&status, nullptr);
    Next(&cq);
    return status;
  }

  grpc::GenericStub stub;
  grpc::ClientContext context;
  grpc::CompletionQueue cq;
  std::unique_ptr<grpc::GenericClientAsyncReaderWriter> stream;
  bool started = false;
};

// One client stream of `method` carrying `requests`; every message is sent
// even when the server has already ended the call.
template <class Req>
grpc::Status CallClientStream(const std::shared_ptr<grpc::Channel>& channel,
                              const std::string& method, const std::string& client_id,
                              const std::list<Req>& requests) {
  StreamCall call(channel, method, client_id);
  bool open = call.started;
  for (const Req& request : requests) {
    if (!open) break;
    call.stream->Write(Serialize(request), nullptr);
    open = Next(&call.cq);
  }
  if (open) {
    call.stream->WritesDone(nullptr);
    Next(&call.cq);
    grpc::ByteBuffer raw;
    call.stream->Read(&raw, nullptr);
    Next(&call.cq);
  }
  return call.Finish();
}

// One server-stream call of `method` with `request`; every message the
// server writes is parsed into `responses`, in order.
template <class Resp>
grpc::Status CallServerStream(const std::shared_ptr<grpc::Channel>& channel,
                              const std::string& method, const std::string& client_id,
                              const google::protobuf::Message& request,
                              std::vector<Resp>* responses) {
  StreamCall call(channel, method, client_id);
  if (call.started) {
    call.stream->Write(Serialize(request), nullptr);
    Next(&call.cq);
    call.stream->WritesDone(nullptr);
    Next(&call.cq);
    for (;;) {
      grpc::ByteBuffer raw;
      call.stream->Read(&raw, nullptr);
      if (!Next(&call.cq)) break;
      Resp response;
      EXPECT_TRUE(grpc::SerializationTraits<Resp>::Deserialize(&raw, &response).ok());
      responses->push_back(std::move(response));
    }
  }
  return call.Finish();
}

}  // namespace testing
}  // namespace tarnix

#endif  // TARNIX_SERVER_SERVICE_TEST_UTIL_H_
