// Objects per second of one Put transaction of 100,000 objects with 200-byte
// bodies, and transactions per second of single-object Put transactions,
// both without sync, beside LevelDB writing the same records directly (one
// batch per transaction). Each iteration writes new objects.
#include <benchmark/benchmark.h>
#include <leveldb/db.h>
#include <leveldb/write_batch.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "logging/logger.h"
#include "platform/metrics/metric_registry.h"
#include "schema/benchmark_util.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "storage/db_access.h"
#include "write/group_commit.h"
#include "write/object_stats_maintainer.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/vdb_registry.h"
#include "write/write_metrics.h"
#include "write/write_telemetry.h"
#include "write/write_transactions.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

constexpr const char* kType = kBenchmarkDeviceType;
constexpr size_t kBodyBytes = 200;

std::string Body(const Schema& schema, uint64_t n) { return DeviceBody(schema, n, kBodyBytes); }

class Discard : public WriteReply, public UpdateNotifier {
 public:
  void Respond() override {}
  void Fail(const Status& status) override {
    std::fprintf(stderr, "write failed: %s\n", status.ToString().c_str());
    std::abort();
  }
  void NotifyForUpdate(uint64_t, bool, std::list<UpdateRecord>* updates,
                       std::list<UpdateRecord>* deletes, TransactionRequestTable*,
                       std::chrono::system_clock::time_point) override {
    updates->clear();
    deletes->clear();
  }
};

// The server's write machinery on a fresh database.
struct Server {
  Server()
      : schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"),
        directory(BenchmarkTempDir("tarnix_write_bench")),
        db(registry),
        ids(&db),
        log_store(&db, 52428800, &registry),
        vdbs(&db, &log_store),
        stats(&registry),
        metrics(registry) {
    if (!db.Open(directory + "/db").ok()) std::abort();
    vdbs.InitVDbInfo();
    commits = std::make_unique<GroupCommit>(&db);
    writes = std::make_unique<WriteTransactions>(&schema, &db, &ids, &log_store, &vdbs, &stats,
                                                 &metrics, &telemetry, &discard, commits.get());
  }
  ~Server() {
    writes.reset();
    boost::filesystem::remove_all(directory);
  }

  std::list<tx::PutRequestMsg> Stream(uint64_t first, int64_t count) {
    std::list<tx::PutRequestMsg> requests(1);
    for (int64_t i = 0; i < count; ++i) {
      tx::PutMsg* put = requests.back().add_puts();
      schema.types().SetObjectType(kType, put->mutable_object());
      put->mutable_object()->set_object_body(Body(schema, first + i));
    }
    return requests;
  }

  orv::metrics::MetricRegistry registry;
  Schema schema;
  std::string directory;
  DbAccess db;
  TransactionIds ids;
  TransactionLogStore log_store;
  VDbRegistry vdbs;
  ObjectStatsMaintainer stats;
  WriteMetrics metrics;
  WriteTelemetry telemetry;
  Discard discard;
  std::unique_ptr<GroupCommit> commits;
  std::unique_ptr<WriteTransactions> writes;
};

// A bare LevelDB database with the default options the storage layer uses.
struct RawDb {
  RawDb() : schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"), directory(BenchmarkTempDir("tarnix_raw")) {
    leveldb::Options options;
    options.create_if_missing = true;
    leveldb::DB* opened = nullptr;
    if (!leveldb::DB::Open(options, directory + "/db", &opened).ok()) std::abort();
    db.reset(opened);
  }
  ~RawDb() {
    db.reset();
    boost::filesystem::remove_all(directory);
  }

  // The record a Put transaction stores for object `n` in vdb 1.
  void Add(uint64_t n, leveldb::WriteBatch* batch) {
    const std::string body = Body(schema, n);
    std::string key;
    if (!MakeObjectRecordKey(schema, kType, schema.keys().GetKeyFromSerialized(kType, body),
                             &key)) {
      std::abort();
    }
    batch->Put(key + EncodeVdbIdSet({kMainVdbId}), body);
  }

  Schema schema;
  std::string directory;
  std::unique_ptr<leveldb::DB> db;
};

void BM_PutTransaction(benchmark::State& state) {
  orv::Logger::logLevel = orv::WARNING;
  Server server;
  const int64_t count = state.range(0);
  uint64_t next = 1;
  for (auto _ : state) {
    state.PauseTiming();
    auto requests = server.Stream(next, count);
    next += count;
    state.ResumeTiming();
    server.writes->Run("tarnix-cli", &server.discard, &requests);
  }
  state.counters["objects/s"] = benchmark::Counter(static_cast<double>(count),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RawLevelDbPut(benchmark::State& state) {
  RawDb raw;
  const int64_t count = state.range(0);
  uint64_t next = 1;
  for (auto _ : state) {
    state.PauseTiming();
    leveldb::WriteBatch batch;
    for (int64_t i = 0; i < count; ++i) raw.Add(next + i, &batch);
    next += count;
    state.ResumeTiming();
    if (!raw.db->Write(leveldb::WriteOptions(), &batch).ok()) std::abort();
  }
  state.counters["objects/s"] = benchmark::Counter(static_cast<double>(count),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_PutTransaction)->Arg(100000)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawLevelDbPut)->Arg(100000)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarnix

BENCHMARK_MAIN();
