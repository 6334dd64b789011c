#include "platform/tarnix/tarnix_service.h"

#include <google/protobuf/descriptor.h>
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "platform/rpc/test_server.h"

namespace caldek {
namespace orv {
namespace tarnix {
namespace {

using ::orv::rpc::internal::MethodKind;

// Every RPC of the proto file is in the method table, with its streaming
// kind, but Tarnix's client streams: the server adds those, one per write
// operation.
TEST(TarnixServiceTest, MethodTablesMatchTheProtoServices) {
  Tarnix::Service data;
  TarnixOps::Service ops;
  // Referencing the file's table links its descriptor into this binary.
  const void* volatile table =
      &descriptor_table_caldek_2forv_2ftarnix_2ftarnix_5fservice_2eproto;
  ASSERT_NE(nullptr, table);
  const google::protobuf::FileDescriptor* file =
      google::protobuf::DescriptorPool::generated_pool()->FindFileByName(
          "caldek/orv/tarnix/tarnix_service.proto");
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(2, file->service_count());
  size_t total = 0;
  for (const ::orv::rpc::Service* service : {static_cast<::orv::rpc::Service*>(&data),
                                             static_cast<::orv::rpc::Service*>(&ops)}) {
    const google::protobuf::ServiceDescriptor* descriptor =
        file->pool()->FindServiceByName(service->service_name());
    ASSERT_NE(nullptr, descriptor) << service->service_name();
    size_t i = 0;
    for (int m = 0; m < descriptor->method_count(); ++m) {
      const google::protobuf::MethodDescriptor* method = descriptor->method(m);
      if (method->client_streaming() && service == &data) continue;
      ASSERT_LT(i, service->methods().size()) << method->name();
      const auto& entry = service->methods()[i++];
      EXPECT_EQ("/" + descriptor->full_name() + "/" + method->name(), entry.path);
      MethodKind kind = method->client_streaming()   ? MethodKind::kClientStream
                        : method->server_streaming() ? MethodKind::kServerStream
                                                     : MethodKind::kUnary;
      EXPECT_EQ(kind, entry.kind) << entry.path;
      EXPECT_FALSE(method->client_streaming() && method->server_streaming());
    }
    EXPECT_EQ(i, service->methods().size());
    total += service->methods().size();
  }
  EXPECT_EQ(18u, total);
}

class VDbOnlyService : public Tarnix::Service {
 public:
  void GetVDbId(::orv::rpc::CallContext& context, const GetVDbIdRequestMsg& request,
                const boost::intrusive_ptr<::orv::rpc::CallHandle<GetVDbIdResponseMsg>>&
                    call) override {
    GetVDbIdResponseMsg response;
    response.add_vdbs();
    if (request.vdb_names_size() == 1 && context.client_id() == "me")
      call->Respond(response);
    else
      call->Fail(::orv::rpc::INVALID_ARGUMENT("unexpected request"));
  }
};

grpc::Status CallRaw(const std::string& address, const std::string& method,
                     const google::protobuf::Message& request,
                     grpc::ByteBuffer* response) {
  grpc::GenericStub stub(
      grpc::CreateChannel(address, grpc::InsecureChannelCredentials()));
  grpc::ClientContext context;
  context.AddMetadata("client-id", "me");
  grpc::ByteBuffer buffer;
  bool own;
  grpc::SerializationTraits<google::protobuf::Message>::Serialize(request, &buffer, &own);
  grpc::CompletionQueue cq;
  auto reader = stub.PrepareUnaryCall(&context, method, buffer, &cq);
  reader->StartCall();
  grpc::Status status;
  reader->Finish(response, &status, &cq);
  void* tag;
  bool ok;
  cq.Next(&tag, &ok);
  return status;
}

// Overrides are reached through the method table; the rest answer UNIMPLEMENTED.
TEST(TarnixServiceTest, OverridesServeAndDefaultsAreUnimplemented) {
  VDbOnlyService service;
  ::orv::rpc::testing::TestServer::Options options;
  options.extra_services.push_back(&service);
  ::orv::rpc::testing::TestServer server(options);

  GetVDbIdRequestMsg request;
  request.add_vdb_names("main_vdb");
  grpc::ByteBuffer raw;
  grpc::Status status =
      CallRaw(server.address(), "/caldek.orv.tarnix.Tarnix/GetVDbId", request, &raw);
  ASSERT_TRUE(status.ok()) << status.error_message();
  GetVDbIdResponseMsg response;
  ASSERT_TRUE(
      grpc::SerializationTraits<GetVDbIdResponseMsg>::Deserialize(&raw, &response).ok());
  EXPECT_EQ(1, response.vdbs_size());

  status = CallRaw(server.address(), "/caldek.orv.tarnix.Tarnix/CreateVDb",
                   CreateVDbRequestMsg(), &raw);
  EXPECT_EQ(grpc::StatusCode::UNIMPLEMENTED, status.error_code());
  status = CallRaw(server.address(), "/caldek.orv.tarnix.Tarnix/NoSuchMethod",
                   CreateVDbRequestMsg(), &raw);
  EXPECT_EQ(grpc::StatusCode::UNIMPLEMENTED, status.error_code());
}

}  // namespace
}  // namespace tarnix
}  // namespace orv
}  // namespace caldek
