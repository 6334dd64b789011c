// GetMerkleTree over 1,000,000 DeviceMsg objects of 200-byte bodies, served
// over loopback gRPC with its walk yielding the loop between slices, beside
// the walk and tree alone and beside a bare LevelDB iteration that hashes
// every value with BLAKE2b (the floor: the same records read and hashed
// once). All read one database built once per run.
#include <blake2.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>
#include <google/protobuf/message.h>
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <leveldb/db.h>
#include <leveldb/write_batch.h>

#include "caldek/orv/tarnix/tarnix_merkle.pb.h"
#include "logging/logger.h"
#include "platform/metrics/metric_registry.h"
#include "platform/rpc/test_server.h"
#include "schema/benchmark_util.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "server/client_certificates.h"
#include "server/merkle_tree.h"
#include "server/merkle_walk.h"
#include "server/tarnix_server.h"
#include "storage/db_access.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

constexpr const char* kType = kBenchmarkDeviceType;
constexpr size_t kBodyBytes = 200;
constexpr int kObjects = 1000000;

std::string Body(const Schema& schema, uint64_t n) { return DeviceBody(schema, n, kBodyBytes); }

// The database of the run: kObjects devices in vdb 1, written once.
struct Data {
  Data() : schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix") {
    directory = BenchmarkTempDir("tarnix_merkle_bench");
    leveldb::Options options;
    options.create_if_missing = true;
    leveldb::DB* opened = nullptr;
    if (!leveldb::DB::Open(options, directory + "/db", &opened).ok()) std::abort();
    std::unique_ptr<leveldb::DB> db(opened);
    leveldb::WriteBatch batch;
    for (int n = 1; n <= kObjects; ++n) {
      const std::string body = Body(schema, n);
      std::string key;
      if (!MakeObjectRecordKey(schema, kType, schema.keys().GetKeyFromSerialized(kType, body),
                               &key)) {
        std::abort();
      }
      batch.Put(key + EncodeVdbIdSet({kMainVdbId}), body);
      if (n % 10000 == 0) {
        if (!db->Write(leveldb::WriteOptions(), &batch).ok()) std::abort();
        batch.Clear();
      }
    }
    db->CompactRange(nullptr, nullptr);
  }
  ~Data() { boost::filesystem::remove_all(directory); }

  std::string db_path() const { return directory + "/db"; }

  Schema schema;
  std::string directory;
};

Data& TheData() {
  static Data* data = new Data;
  return *data;
}

void BM_RawIterationAndBlake2b(benchmark::State& state) {
  Data& data = TheData();
  leveldb::DB* opened = nullptr;
  if (!leveldb::DB::Open(leveldb::Options(), data.db_path(), &opened).ok()) std::abort();
  std::unique_ptr<leveldb::DB> db(opened);
  std::string prefix;
  if (!MakeObjectTypeKeyPrefix(data.schema, kType, &prefix)) std::abort();
  for (auto _ : state) {
    leveldb::ReadOptions options;
    options.snapshot = db->GetSnapshot();
    std::unique_ptr<leveldb::Iterator> it(db->NewIterator(options));
    blake2b_state hash;
    blake2b_init(&hash, MerkleTree::kHashBytes);
    int64_t records = 0;
    for (it->Seek(prefix); it->Valid() && it->key().starts_with(prefix); it->Next()) {
      blake2b_update(&hash, reinterpret_cast<const uint8_t*>(it->value().data()),
                     it->value().size());
      ++records;
    }
    uint8_t digest[MerkleTree::kHashBytes];
    blake2b_final(&hash, digest, sizeof(digest));
    benchmark::DoNotOptimize(digest);
    it.reset();
    db->ReleaseSnapshot(options.snapshot);
    if (records != kObjects) std::abort();
  }
  state.counters["objects/s"] = benchmark::Counter(static_cast<double>(kObjects),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

void BM_MerkleWalkAndTree(benchmark::State& state) {
  Data& data = TheData();
  orv::metrics::MetricRegistry registry;
  DbAccess db(registry);
  if (!db.Open(data.db_path()).ok()) std::abort();
  for (auto _ : state) {
    MerkleWalk walk(data.schema, &db, "tarnix-cli", kMainVdbId, nullptr, false);
    while (!walk.Step(TarnixServer::kReadSliceRecords)) {
    }
    if (!walk.status().ok() || walk.records() != static_cast<uint64_t>(kObjects)) std::abort();
    MerkleTree tree;
    walk.FillLeaves(&tree);
    tx::MerkleTreeNodeMsg root;
    if (!tree.Build(&root)) std::abort();
    benchmark::DoNotOptimize(root);
  }
  state.counters["objects/s"] = benchmark::Counter(static_cast<double>(kObjects),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

void BM_GetMerkleTree(benchmark::State& state) {
  Data& data = TheData();
  orv::metrics::MetricRegistry registry;
  DbAccess db(registry);
  if (!db.Open(data.db_path()).ok()) std::abort();
  ClientCertificateMap certificates = MakeClientCertificateMap();
  std::unique_ptr<TarnixServer> service;
  {
    orv::rpc::testing::TestServer::Options options;
    options.setup = [&](orv::AsioOrvProvider& provider) {
      service = std::make_unique<TarnixServer>(&data.schema, &db, 1 << 20, &registry,
                                               &certificates, &provider.net().security_manager(),
                                               true, 65535, false);
      service->set_loop_poster(
          [&provider](std::function<void()> task) { provider.Post(std::move(task)); });
      provider.rpc().RegisterService(service.get());
    };
    orv::rpc::testing::TestServer server(options);
    auto channel = grpc::CreateChannel(server.address(), grpc::InsecureChannelCredentials());
    grpc::GenericStub stub(channel);
    for (auto _ : state) {
      grpc::ClientContext context;
      context.AddMetadata("client-id", "tarnix-cli");
      grpc::ByteBuffer request_buffer;
      bool own = false;
      grpc::GenericSerialize<grpc::ProtoBufferWriter, google::protobuf::Message>(
          tx::GetMerkleTreeRequestMsg(), &request_buffer, &own);
      grpc::CompletionQueue cq;
      auto reader = stub.PrepareUnaryCall(&context, "/caldek.orv.tarnix.Tarnix/GetMerkleTree",
                                          request_buffer, &cq);
      reader->StartCall();
      grpc::ByteBuffer raw;
      grpc::Status status;
      reader->Finish(&raw, &status, &cq);
      void* tag = nullptr;
      bool ok = false;
      cq.Next(&tag, &ok);
      if (!status.ok()) {
        std::fprintf(stderr, "GetMerkleTree failed: %s\n", status.error_message().c_str());
        std::abort();
      }
    }
  }
  state.counters["objects/s"] = benchmark::Counter(static_cast<double>(kObjects),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_RawIterationAndBlake2b)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MerkleWalkAndTree)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetMerkleTree)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnix

int main(int argc, char** argv) {
  orv::Logger::logLevel = orv::WARNING;
  benchmark::Initialize(&argc, argv);
  tarnix::TheData();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
