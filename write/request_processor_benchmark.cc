// Objects per second of RequestProcessor::Build over a store of 100,000
// objects, for transactions of 1,000 and 100,000 objects, beside LevelDB
// doing the same reads (one iterator on one snapshot, objects in key order).
// Each transaction re-puts every object it touches with a new body.
//
// Then the adding of transactions of 1, 64 and 1,024 FlushByBlockId entries
// (blocks 2 and on, of 1,024) over a store of 300,000 objects.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>

#include "logging/logger.h"
#include "platform/metrics/metric_registry.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "storage/db_access.h"
#include "write/request_processor.h"

namespace tarnix {
namespace {

constexpr char kType[] = "caldek.orv.tarnix.AddressMsg";
constexpr int kStoredObjects = 100000;
constexpr int kFlushStoreObjects = 300000;

std::string Body(int host, int prefix_length) {
  // AddressMsg: ip (1, string), prefix_length (2, varint).
  const std::string ip = "10." + std::to_string(host / 65536) + "." +
                         std::to_string(host / 256 % 256) + "." + std::to_string(host % 256);
  std::string body;
  body.push_back('\x0a');
  body.push_back(static_cast<char>(ip.size()));
  body += ip;
  body.push_back('\x10');
  body.push_back(static_cast<char>(prefix_length));
  return body;
}

struct Store {
  explicit Store(int objects) : schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"), db(registry) {
    std::string pattern =
        (boost::filesystem::temp_directory_path() / "tarnix_rp_bench_XXXXXX").string();
    directory = mkdtemp(&pattern[0]);
    if (!db.Open(directory + "/db").ok()) std::abort();
    DbAccess::Records records;
    std::vector<int32_t> results;
    for (int host = 0; host < objects; ++host) {
      ids.push_back(schema.keys().GetKeyFromSerialized(kType, Body(host, 8)));
      std::string key;
      if (!MakeObjectRecordKey(schema, kType, ids.back(), &key)) std::abort();
      object_keys.push_back(key);
      records.emplace_back(key + EncodeVdbIdSet({kMainVdbId}), Body(host, 8));
      if (records.size() == 10000) {
        if (!db.Put(records, false, &results).ok()) std::abort();
        records.clear();
      }
    }
  }
  ~Store() { boost::filesystem::remove_all(directory); }

  orv::metrics::MetricRegistry registry;
  Schema schema;
  DbAccess db;
  std::string directory;
  std::vector<std::string> ids;
  std::vector<std::string> object_keys;
};

Store& Shared() {
  static Store* store = new Store(kStoredObjects);
  return *store;
}

// The objects of a transaction of `count`, spread evenly over the store.
int Stride(int64_t count) { return static_cast<int>(kStoredObjects / count); }

void BM_Build(benchmark::State& state) {
  Store& store = Shared();
  const int64_t count = state.range(0);
  metrics::LatencyMetric latency(store.registry, "bench/build");
  std::vector<ObjectBody> bodies;
  for (int64_t i = 0; i < count; ++i) {
    bodies.push_back(std::make_shared<const std::string>(Body(static_cast<int>(i) * Stride(count), 9)));
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto processor = std::make_unique<RequestProcessor>(&store.schema, &store.db);
    for (int64_t i = 0; i < count; ++i) {
      processor->AddPut(kType, store.ids[i * Stride(count)], bodies[i], {kMainVdbId}, nullptr);
    }
    std::vector<DbAccess::TxnPut> puts;
    std::vector<std::string> deletes;
    std::list<UpdateRecord> updates, logged_only, removals;
    state.ResumeTiming();
    if (!processor->Build(false, &puts, &deletes, &updates, &logged_only, &removals, latency,
                          nullptr)
             .ok()) {
      state.SkipWithError("Build failed");
    }
    state.PauseTiming();
    processor.reset();  // frees the transaction outside the timing
    puts.clear();
    updates.clear();
    state.ResumeTiming();
  }
  state.counters["objects/s"] = benchmark::Counter(static_cast<double>(count),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RawLevelDbReads(benchmark::State& state) {
  Store& store = Shared();
  const int64_t count = state.range(0);
  // The objects Build reads, in the order it reads them: record key order,
  // which is not host order (a key carries the id's length before the id).
  std::vector<std::string> prefixes;
  for (int64_t i = 0; i < count; ++i) prefixes.push_back(store.object_keys[i * Stride(count)]);
  std::sort(prefixes.begin(), prefixes.end());
  for (auto _ : state) {
    boost::shared_ptr<DbAccess::IteratorImpl> it = store.db.NewIterator(store.db.GetSnapshot());
    size_t bytes = 0;
    for (const std::string& prefix : prefixes) {
      for (it->Seek(prefix); it->Valid(); it->Next()) {
        const std::string key = it->key();
        if (key.compare(0, prefix.size(), prefix) != 0) break;
        bytes += it->value().size();
      }
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["objects/s"] = benchmark::Counter(static_cast<double>(count),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

// As a FlushByBlockId stream adds its entries: each block foreseen first,
// then added in turn, for every type; Build is left out.
void BM_AddFlushByBlockIds(benchmark::State& state) {
  static Store* store = new Store(kFlushStoreObjects);
  const uint32_t entries = static_cast<uint32_t>(state.range(0));
  const std::vector<std::string> types = {""};
  size_t deletes = 0;
  for (auto _ : state) {
    auto processor = std::make_unique<RequestProcessor>(&store->schema, &store->db);
    for (uint32_t block = 2; block < entries + 2; ++block) {
      processor->ForeseeFlushByBlockId(block, types, nullptr);
    }
    for (uint32_t block = 2; block < entries + 2; ++block) {
      if (!processor->AddFlushByBlockId(block, types, nullptr, {kMainVdbId}, nullptr).ok()) {
        state.SkipWithError("AddFlushByBlockId failed");
      }
    }
    deletes = processor->pending_size();
    state.PauseTiming();
    processor.reset();
    state.ResumeTiming();
  }
  state.counters["objects"] = static_cast<double>(deletes);
}

BENCHMARK(BM_Build)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawLevelDbReads)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddFlushByBlockIds)->ArgName("entries")->Arg(1)->Arg(64)->Arg(1024)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnix

BENCHMARK_MAIN();
