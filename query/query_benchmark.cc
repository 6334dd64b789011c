// Objects scanned per second of a Query over 100,000 flows of one type with
// a where clause on a scalar field (protocol EQUALS 6, a quarter of them),
// beside a bare LevelDB prefix scan that parses every record of the type
// into the same dynamic message. Prints the ratio of the two at the end.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>
#include <leveldb/db.h>
#include <leveldb/write_batch.h>

#include "logging/logger.h"
#include "platform/metrics/metric_registry.h"
#include "query/query_scan.h"
#include "schema/benchmark_util.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "storage/db_access.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;

constexpr char kType[] = "caldek.orv.tarnix.FlowMsg";
constexpr char kOpType[] = "caldek.orv.tarnix.FlowOpMsg";
constexpr int kObjects = 100000;

// FlowMsg fields by reflection, so that the bodies are what clients send.
std::string FlowBody(const Schema& schema, int i) {
  std::unique_ptr<pb::Message> flow(schema.types().NewMessage(kType));
  const pb::Descriptor* type = flow->GetDescriptor();
  const pb::Reflection* r = flow->GetReflection();
  const std::string ip = "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) +
                         "." + std::to_string(i % 256);
  r->SetInt64(flow.get(), type->FindFieldByName("flow_id"), i);
  r->SetString(flow.get(), type->FindFieldByName("src_ip"), ip);
  r->SetString(flow.get(), type->FindFieldByName("dst_ip"), "192.168.0." + std::to_string(i % 200));
  static const uint32_t kProtocols[] = {6, 17, 1, 47};
  r->SetUInt32(flow.get(), type->FindFieldByName("protocol"), kProtocols[i % 4]);
  r->SetUInt64(flow.get(), type->FindFieldByName("byte_count"), 1000u * i);
  r->SetUInt64(flow.get(), type->FindFieldByName("packet_count"), i);
  return flow->SerializeAsString();
}

struct Store {
  Store() : schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix") {
    directory = BenchmarkTempDir("tarnix_query_bench");
    if (!MakeObjectTypeKeyPrefix(schema, kType, &prefix)) std::abort();
    leveldb::DB* db = nullptr;
    leveldb::Options options;
    options.create_if_missing = true;
    if (!leveldb::DB::Open(options, directory, &db).ok()) std::abort();
    leveldb::WriteBatch batch;
    for (int i = 0; i < kObjects; ++i) {
      const std::string body = FlowBody(schema, i);
      std::string key;
      if (!MakeObjectRecordKey(schema, kType, schema.keys().GetKeyFromSerialized(kType, body),
                               &key)) {
        std::abort();
      }
      batch.Put(key, body);  // no vdb suffix: the main vdb
    }
    if (!db->Write(leveldb::WriteOptions(), &batch).ok()) std::abort();
    db->CompactRange(nullptr, nullptr);
    delete db;
  }
  ~Store() { boost::filesystem::remove_all(directory); }

  Schema schema;
  std::string directory;
  std::string prefix;
};

Store& Shared() {
  static Store* store = new Store;
  return *store;
}

double query_rate = 0;
double bare_rate = 0;

void Report(benchmark::State& state, double* rate) {
  state.counters["objects/s"] = benchmark::Counter(static_cast<double>(kObjects),
                                                   benchmark::Counter::kIsIterationInvariantRate);
  state.SetItemsProcessed(state.iterations() * kObjects);
  *rate = static_cast<double>(kObjects) * static_cast<double>(state.iterations());
}

void BM_Query(benchmark::State& state) {
  Store& store = Shared();
  orv::metrics::MetricRegistry registry;
  DbAccess db(registry);
  if (!db.Open(store.directory).ok()) std::abort();
  std::unique_ptr<pb::Message> where_op(store.schema.types().NewMessage(kOpType));
  pb::Message* protocol_op = where_op->GetReflection()->MutableMessage(
      where_op.get(), where_op->GetDescriptor()->FindFieldByName("protocol"));
  protocol_op->GetReflection()->SetEnumValue(
      protocol_op, protocol_op->GetDescriptor()->FindFieldByName("op"), 2);  // EQUALS
  std::unique_ptr<pb::Message> value(store.schema.types().NewMessage(kType));
  value->GetReflection()->SetUInt32(value.get(), value->GetDescriptor()->FindFieldByName("protocol"),
                                    6);
  const QueryScan scan(&store.schema, &db);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::vector<QueryResultRecord> results;
    if (!scan.ExecuteQueryScan(nullptr, *where_op, *value, nullptr, kMainVdbId,
                              DbAccess::SnapshotHolder(), &results).ok() ||
        results.size() != kObjects / 4) {
      state.SkipWithError("query failed");
    }
    benchmark::DoNotOptimize(results.data());
  }
  Report(state, &query_rate);
  query_rate /= std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_BarePrefixScanAndParse(benchmark::State& state) {
  Store& store = Shared();
  leveldb::DB* raw = nullptr;
  if (!leveldb::DB::Open(leveldb::Options(), store.directory, &raw).ok()) std::abort();
  std::unique_ptr<leveldb::DB> db(raw);
  std::unique_ptr<pb::Message> object(store.schema.types().NewMessage(kType));
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
    int parsed = 0;
    for (it->Seek(store.prefix); it->Valid() && it->key().starts_with(store.prefix); it->Next()) {
      object->Clear();
      const leveldb::Slice body = it->value();
      if (object->ParseFromArray(body.data(), static_cast<int>(body.size()))) ++parsed;
    }
    if (parsed != kObjects) state.SkipWithError("scan failed");
  }
  Report(state, &bare_rate);
  bare_rate /= std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

BENCHMARK(BM_Query)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BarePrefixScanAndParse)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnix

int main(int argc, char** argv) {
  orv::Logger::logLevel = orv::WARNING;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (tarnix::query_rate > 0 && tarnix::bare_rate > 0) {
    std::printf("bare scan and parse / query: %.2f (objects/s %.0f / %.0f)\n",
                tarnix::bare_rate / tarnix::query_rate, tarnix::bare_rate, tarnix::query_rate);
  }
  return 0;
}
