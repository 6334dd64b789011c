// Stored transaction-log records taken from the input (well-formed unit keys,
// arbitrary keys, a stored last transaction id), then a few transactions
// logged over them with the trimming of the oldest ones. The start-up
// recount must account for every stored byte and find the highest logged
// id; a commit must trim whole oldest transactions only, never reuse a
// stored key, and account for exactly what it leaves stored.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <leveldb/env.h>
#include <leveldb/helpers/memenv.h>

#include "caldek/orv/tarnix/tarnix_txn_log.pb.h"
#include "caldek/orv/tarnix/tarnix_vdb.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "platform/metrics/metric_registry.h"
#include "schema/fuzz_schema.h"
#include "storage/db_access.h"
#include "storage/key_space.h"
#include "util/fuzz_support.h"
#include "write/tarnix_transaction_log.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/txn_log_unit_record.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

constexpr size_t kMaxStoredRecords = 48;
constexpr size_t kMaxTransactions = 6;

uint64_t Bytes(const DbAccess::Records& records) {
  uint64_t total = 0;
  for (const auto& [key, value] : records) total += key.size() + value.size();
  return total;
}

DbAccess::Records LogRecords(DbAccess* db) {
  DbAccess::Records records;
  TARNIX_FUZZ_CHECK(db->PrefixFilter(nullptr, kTxnLogPrefix, &records).ok());
  return records;
}

// A fresh recount must agree with what the store accounts for.
void CheckRecount(DbAccess* db, orv::metrics::MetricRegistry* registry, uint64_t accounted) {
  TransactionLogStore recount(db, 0, registry);
  recount.SetCurrentLogSize();
  TARNIX_FUZZ_CHECK(recount.current_log_size() == accounted);
  TARNIX_FUZZ_CHECK(recount.current_log_size() == Bytes(LogRecords(db)));
}

// Stored records: flags bit 0 makes a unit key from a small id, count and
// index, otherwise the key is taken as it comes; the value is filler of a
// length from the input.
void StoreRecords(FuzzInput* in, DbAccess* db) {
  std::vector<DbAccess::TxnPut> puts;
  if (in->Byte() & 1) puts.emplace_back(kTxnIdKey, boost::make_shared<std::string>(in->String()));
  const size_t count = in->Byte() % kMaxStoredRecords;
  for (size_t i = 0; i < count && !in->empty(); ++i) {
    const uint8_t flags = in->Byte();
    std::string key;
    if (flags & 1) {
      TxnLogUnitRecord record;
      record.txn_id = in->Short();
      record.unit_count = in->Byte() % 8;
      record.unit_index = in->Byte() % 8;
      TARNIX_FUZZ_CHECK(record.EncodeKey(&key));
    } else {
      key = in->String();
    }
    const size_t length = (flags >> 1) * 8 + in->Byte() % 8;
    puts.emplace_back(std::move(key), boost::make_shared<std::string>(length, 'v'));
  }
  TARNIX_FUZZ_CHECK(db->WriteTxn(puts, {}, false, [] {}).ok());
}

// The recount and the highest logged id, against a decode of every key.
uint64_t CheckStartUp(DbAccess* db, TransactionLogStore* store) {
  uint64_t highest = 0;
  for (const auto& [key, value] : LogRecords(db)) {
    TxnLogUnitRecord record;
    if (!TxnLogUnitRecord::DecodeKey(key, &record)) continue;
    highest = std::max(highest, record.txn_id);
    std::string again;
    TARNIX_FUZZ_CHECK(record.EncodeKey(&again));
    TxnLogUnitRecord decoded;
    TARNIX_FUZZ_CHECK(TxnLogUnitRecord::DecodeKey(again, &decoded));
    TARNIX_FUZZ_CHECK(decoded.txn_id == record.txn_id && decoded.unit_count == record.unit_count &&
                      decoded.unit_index == record.unit_index);
  }
  TARNIX_FUZZ_CHECK(store->current_log_size() == Bytes(LogRecords(db)));
  TARNIX_FUZZ_CHECK(store->highest_logged_txn_id() == highest);
  return highest;
}

// Changes and requests of one transaction, as the commit records them.
void RecordTransaction(FuzzInput* in, uint64_t max_log_size, TarnixTransactionLog* log) {
  const std::vector<std::string>& types = ExampleTypeNames();
  const uint8_t flags = in->Byte();
  if (flags & 1) log->set_request_bound(max_log_size);  // as the write path bounds it
  const size_t changes = in->Byte() % 8;
  for (size_t i = 0; i < changes; ++i) {
    const uint32_t kind = in->Byte() % 3;
    const std::string& type = types[in->Byte() % types.size()];
    const VdbIdSet vdbs{static_cast<VdbId>(1 + in->Byte() % 4)};
    if (flags & 2) {
      log->update_records.emplace_back(kind, type, in->String(), vdbs);
      log->update_records.back().vdb_set = in->String();  // maybe undecodable
    } else {
      log->AddChange(kind, type, in->String(), vdbs);
    }
  }
  const size_t requests = in->Byte() % 4;
  for (size_t i = 0; i < requests; ++i) {
    if (in->Byte() & 1) {
      tx::CreateVDbRequestMsg create;
      create.set_vdb_name(in->String());
      log->vdb_id = 2;
      log->RecordRequest(create);
    } else {
      tx::PutRequestMsg put;
      put.add_puts()->mutable_object()->set_object_body(std::string(in->Short() % 2048, 'b'));
      log->RecordRequest(put);
    }
  }
}

// One commit's updates of the log; false once the store refuses them.
bool Commit(FuzzInput* in, DbAccess* db, orv::metrics::MetricRegistry* registry,
            TransactionLogStore* store, TransactionIds* ids, uint64_t highest) {
  uint64_t txn_id = 0;
  if (!ids->GetNextTxnId(&txn_id)) return false;  // the id space is used up
  TARNIX_FUZZ_CHECK(txn_id > highest);
  TarnixTransactionLog log(&ExampleSchema(), "fuzz", txn_id);
  RecordTransaction(in, store->max_log_size(), &log);

  const DbAccess::Records before = LogRecords(db);
  const uint64_t current = store->current_log_size();
  uint64_t size = 0;
  uint64_t txn_bytes = 0;
  std::vector<DbAccess::TxnPut> puts;
  std::vector<std::string> deletes;
  const Status status =
      store->ComputeTxnLogUpdates(false, &log, &size, &txn_bytes, &puts, &deletes);
  if (!status.ok()) {
    // Only a stored transaction with fewer units than its keys announce.
    TARNIX_FUZZ_CHECK(status.code() == Status::kFailedPrecondition);
    return false;
  }

  // Whole oldest records first, and only when the new units did not fit.
  TARNIX_FUZZ_CHECK(deletes.size() <= before.size());
  uint64_t freed = 0;
  for (size_t i = 0; i < deletes.size(); ++i) {
    TARNIX_FUZZ_CHECK(deletes[i] == before[i].first);
    freed += before[i].first.size() + before[i].second.size();
  }
  TARNIX_FUZZ_CHECK(deletes.empty() || current + txn_bytes > store->max_log_size());
  TARNIX_FUZZ_CHECK(freed <= current);

  uint64_t put_bytes = 0;
  for (size_t i = 0; i < puts.size(); ++i) {
    const std::string& key = puts[i].first;
    put_bytes += key.size() + puts[i].second->size();
    TxnLogUnitRecord record;
    TARNIX_FUZZ_CHECK(TxnLogUnitRecord::DecodeKey(key, &record));
    TARNIX_FUZZ_CHECK(record.txn_id == txn_id && record.unit_count == puts.size() &&
                      record.unit_index == i);
    for (const auto& stored : before) TARNIX_FUZZ_CHECK(stored.first != key);
    tx::TransactionLogUnitMsg unit;
    TARNIX_FUZZ_CHECK(unit.ParseFromString(*puts[i].second));
    if (i == 0) TARNIX_FUZZ_CHECK(unit.txn_id() == txn_id && unit.client() == "fuzz");
  }
  if (puts.empty()) {
    TARNIX_FUZZ_CHECK(size == current - freed);
    // Too large for the log: it was emptied.
    if (txn_bytes > 0) TARNIX_FUZZ_CHECK(deletes.size() == before.size() && size == 0);
  } else {
    TARNIX_FUZZ_CHECK(put_bytes == txn_bytes);
    TARNIX_FUZZ_CHECK(size == current - freed + txn_bytes);
    TARNIX_FUZZ_CHECK(size <= store->max_log_size());
  }
  if (txn_bytes == 0) TARNIX_FUZZ_CHECK(size <= store->max_log_size());

  TARNIX_FUZZ_CHECK(db->WriteTxn(std::move(puts), deletes, false, [] {}).ok());
  store->set_current_log_size(size);
  store->BatchWritten();
  // The next trim starts at the front: nothing stored may lie before it.
  const DbAccess::Records after = LogRecords(db);
  TARNIX_FUZZ_CHECK(after.empty() || store->log_front() <= after.front().first);
  CheckRecount(db, registry, size);
  return true;
}

// ---- Seeds, written in the input's layout ----

class Seed {
 public:
  Seed& Byte(uint8_t b) {
    out_.push_back(static_cast<char>(b));
    return *this;
  }
  Seed& Short(uint16_t v) { return Byte(v >> 8).Byte(v & 0xff); }
  Seed& String(const std::string& s) {
    Byte(static_cast<uint8_t>(s.size()));
    out_ += s;
    return *this;
  }
  // A stored unit of `length` value bytes (a multiple of 8 below 1024).
  Seed& Unit(uint16_t txn_id, uint8_t count, uint8_t index, size_t length) {
    Byte(static_cast<uint8_t>(1 | length / 8 << 1)).Short(txn_id).Byte(count).Byte(index);
    return Byte(0);
  }
  Seed& RawKey(const std::string& key, size_t length) {
    return Byte(static_cast<uint8_t>(length / 8 << 1)).String(key).Byte(0);
  }
  // A transaction with `changes` changes and one Put request of `body` bytes.
  Seed& Txn(uint8_t flags, uint8_t changes, uint16_t body) {
    Byte(flags).Byte(changes);
    for (uint8_t i = 0; i < changes; ++i) {
      Byte(i % 3).Byte(i).Byte(i);
      String("id" + std::to_string(i));
      if (flags & 2) String(i == 0 ? "\x45" : "");  // a set cut inside its header
    }
    return Byte(1).Byte(0).Short(body);
  }
  const std::string& bytes() const { return out_; }

 private:
  std::string out_;
};

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  // Room for everything.
  seeds.push_back(Seed().Short(4096).Byte(0).Byte(3).Unit(1, 2, 0, 40).Unit(1, 2, 1, 40)
                      .Unit(2, 1, 0, 64).Txn(0, 2, 100).bytes());
  // A small bound: the oldest transactions go, whole.
  seeds.push_back(Seed().Short(400).Byte(0).Byte(5).Unit(1, 3, 0, 64).Unit(1, 3, 1, 64)
                      .Unit(1, 3, 2, 64).Unit(2, 1, 0, 96).Unit(3, 2, 0, 32).Txn(0, 1, 60)
                      .Txn(0, 3, 120).bytes());
  // Malformed keys around the log and a stored last id.
  seeds.push_back(Seed().Short(1024).Byte(1).String("42").Byte(4)
                      .RawKey(std::string("\x01\xff", 2), 16).RawKey("\x01", 8)
                      .RawKey(std::string("\x00\x01", 2), 8).Unit(7, 1, 0, 24).Txn(0, 1, 10)
                      .bytes());
  // A transaction that announces more units than are stored.
  seeds.push_back(Seed().Short(200).Byte(0).Byte(2).Unit(1, 3, 0, 120).Unit(2, 1, 0, 40)
                      .Txn(0, 2, 80).bytes());
  // Requests over the bound: measured, not stored.
  seeds.push_back(Seed().Short(512).Byte(0).Byte(2).Unit(1, 1, 0, 200).Unit(2, 1, 0, 200)
                      .Txn(1, 1, 1500).Txn(1, 0, 10).bytes());
  // Change records with a vdb set that does not decode.
  seeds.push_back(Seed().Short(2048).Byte(0).Byte(1).Unit(3, 1, 0, 16).Txn(2, 3, 20).bytes());
  // A stored key past every new unit, trimmed by a transaction too large for
  // the log: the next transactions' units lie before it.
  seeds.push_back(Seed().Short(300).Byte(0).Byte(2).RawKey(std::string("\x01\xff", 2), 16)
                      .Unit(7, 1, 0, 24).Txn(0, 0, 1500).Txn(0, 0, 100).Txn(0, 0, 100)
                      .Txn(0, 0, 100).bytes());
  // The same key, past the units written after a trim that left it first:
  // the next trims must meet those units before it.
  seeds.push_back(Seed().Short(400).Byte(0).Byte(2).RawKey(std::string("\x01\xff", 2), 16)
                      .Unit(7, 1, 0, 24).Txn(0, 0, 100).Txn(0, 0, 100).Txn(0, 0, 100)
                      .Txn(0, 0, 100).Txn(0, 0, 100).bytes());
  return seeds;
}

void Run(FuzzInput* in) {
  std::unique_ptr<leveldb::Env> env(leveldb::NewMemEnv(leveldb::Env::Default()));
  orv::metrics::MetricRegistry registry;
  DbAccess db(registry, env.get());
  TARNIX_FUZZ_CHECK(db.Open("/db").code == DbAccessCode::OK);
  const uint64_t max_log_size = in->Short();
  StoreRecords(in, &db);

  TransactionLogStore store(&db, max_log_size, &registry);
  store.SetCurrentLogSize();
  const uint64_t highest = CheckStartUp(&db, &store);
  TransactionIds ids(&db);
  ids.InitTxnId();
  ids.AdvancePastLoggedTxnId(highest);
  TARNIX_FUZZ_CHECK(ids.txn_id() >= highest);

  for (size_t i = 0; i < kMaxTransactions && !in->empty(); ++i) {
    if (!Commit(in, &db, &registry, &store, &ids, highest)) break;
  }
}

}  // namespace
}  // namespace tarnix

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnix::SilenceLogs();
  tarnix::SeedEmptyCorpus(*argc, *argv, tarnix::Seeds());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarnix::FuzzInput in(data, size);
  tarnix::Run(&in);
  return 0;
}
