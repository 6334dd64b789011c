// Objects per second of one Put transaction of 100,000 objects with 200-byte
// bodies, and transactions per second of single-object Put transactions,
// both without sync, beside LevelDB writing the same records directly (one
// batch per transaction). Each iteration writes new objects.
//
// Then writes near deleted objects: Puts of 500 objects that a Flush of
// 100,000 deleted, and Puts of one live object with the 99,999 others
// after it deleted (or, for reference, live).
//
// Then single-object Puts into a transaction log at its bound, after 100,000
// units were trimmed from it (or, for reference, into a log whose bound is
// never reached).
#include <benchmark/benchmark.h>
#include <leveldb/db.h>
#include <leveldb/write_batch.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdlib>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "logging/logger.h"
#include "platform/metrics/metric_registry.h"
#include "schema/benchmark_util.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "storage/db_access.h"
#include "storage/key_space.h"
#include "storage/range_compactor.h"
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
constexpr uint64_t kDaemonLogBound = 52428800;

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
  explicit Server(uint64_t log_bound = kDaemonLogBound)
      : schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"),
        directory(BenchmarkTempDir("tarnix_write_bench")),
        db(registry),
        ids(&db),
        log_store(&db, log_bound, &registry),
        vdbs(&db, &log_store),
        stats(&registry),
        metrics(registry) {
    if (!db.Open(directory + "/db").ok()) std::abort();
    vdbs.InitVDbInfo();
    commits = std::make_unique<GroupCommit>(&db);
    compactor = std::make_unique<RangeCompactor>(&db);
    writes = std::make_unique<WriteTransactions>(&schema, &db, &ids, &log_store, &vdbs, &stats,
                                                 &metrics, &telemetry, &discard, commits.get(),
                                                 compactor.get());
  }
  ~Server() {
    writes.reset();
    commits.reset();
    compactor.reset();
    // Closed first: LevelDB may still be compacting into the directory.
    db.Close();
    boost::filesystem::remove_all(directory);
  }

  // As the daemon starts: the object key filter filled from the database
  // and enabled, so that it can answer that a key is new.
  void FillKeyFilter() { ComputeStatistics(schema, &db, &stats, nullptr, writes->object_keys()); }
  // Objects first..first+count-1 put in one transaction.
  void Put(uint64_t first, int64_t count) {
    auto requests = Stream(first, count);
    writes->Run("tarnix-cli", &discard, &requests);
  }
  // Every object of the type deleted by one Flush.
  void Flush() {
    std::list<tx::FlushRequestMsg> requests(1);
    schema.types().SetObjectType(kType, requests.back().add_flushes());
    writes->Run("tarnix-cli", &discard, &requests);
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
  std::unique_ptr<RangeCompactor> compactor;
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

constexpr int64_t kFlushed = 100000;
constexpr int64_t kRecreated = 500;

// Puts of 500 objects each, in id order, of the 100,000 a Flush deleted
// (flushed:1); or, for reference, Puts of 500 new objects after the 100,000
// live ones (flushed:0).
void BM_PutRecreatedAfterFlush(benchmark::State& state) {
  orv::Logger::logLevel = orv::WARNING;
  Server server;
  server.FillKeyFilter();
  server.Put(1, kFlushed);
  uint64_t next = kFlushed + 1;
  if (state.range(0) != 0) {
    server.Flush();
    next = 1;
  }
  // LevelDB's compactions of what was just written end first: they would
  // stall the timed Puts.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (auto _ : state) {
    state.PauseTiming();
    auto requests = server.Stream(next, kRecreated);
    next += kRecreated;
    state.ResumeTiming();
    server.writes->Run("tarnix-cli", &server.discard, &requests);
  }
  state.counters["objects/s"] = benchmark::Counter(static_cast<double>(kRecreated),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

// Puts of object 1 alone, first in key order, with the 99,999 objects
// after it deleted by a Flush (deleted_after:1) or live (deleted_after:0).
void BM_PutOneLiveObject(benchmark::State& state) {
  orv::Logger::logLevel = orv::WARNING;
  Server server;
  server.FillKeyFilter();
  server.Put(1, kFlushed);
  if (state.range(0) != 0) server.Flush();
  // As above, and once the Flush's range is compacted, as the daemon does
  // in the background; and one Put untimed opens the tables the timed ones
  // read.
  server.compactor->WaitIdle();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  server.Put(1, 1);
  for (auto _ : state) {
    state.PauseTiming();
    auto requests = server.Stream(1, 1);
    state.ResumeTiming();
    server.writes->Run("tarnix-cli", &server.discard, &requests);
  }
}

constexpr uint64_t kPutsBeforeBound = 55000;

// Single-object Puts after kPutsBeforeBound of them, into a log of 1 MiB
// (at_bound:1: about 100,000 units trimmed before, the count is reported),
// or into a log whose bound is never reached (at_bound:0).
void BM_PutAtLogBound(benchmark::State& state) {
  orv::Logger::logLevel = orv::WARNING;
  Server server(state.range(0) != 0 ? uint64_t{1} << 20 : ~uint64_t{0});
  server.FillKeyFilter();
  uint64_t next = 1;
  for (; next <= kPutsBeforeBound; ++next) server.Put(next, 1);
  DbAccess::Records units;
  if (!server.db.PrefixFilter(nullptr, kTxnLogPrefix, &units).ok()) std::abort();
  // Every such transaction has a summary unit and a request unit.
  state.counters["trimmed_units"] = static_cast<double>(2 * kPutsBeforeBound - units.size());
  // LevelDB's own compactions, in the background.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (auto _ : state) {
    state.PauseTiming();
    auto requests = server.Stream(next++, 1);
    state.ResumeTiming();
    server.writes->Run("tarnix-cli", &server.discard, &requests);
  }
}

BENCHMARK(BM_PutTransaction)->Arg(100000)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawLevelDbPut)->Arg(100000)->Arg(1)->Unit(benchmark::kMicrosecond);
// Fixed counts: LevelDB's own compactions, which reads start, drop deleted
// entries after a while, and it is the time before that which counts.
// 100 Puts of 500 bring half of the flushed objects back.
BENCHMARK(BM_PutRecreatedAfterFlush)->ArgName("flushed")->Arg(0)->Arg(1)
    ->Iterations(kFlushed / kRecreated / 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PutOneLiveObject)->ArgName("deleted_after")->Arg(0)->Arg(1)->Iterations(20)
    ->Unit(benchmark::kMicrosecond);
// Each Put at the bound trims one transaction; LevelDB's own compactions
// come by now and then, so many of them.
BENCHMARK(BM_PutAtLogBound)->ArgName("at_bound")->Arg(0)->Arg(1)->Iterations(20000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarnix

BENCHMARK_MAIN();
