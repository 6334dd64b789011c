#include "write/transaction_log_store.h"

#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <leveldb/db.h>

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "platform/wft/workflow_util.h"
#include "schema/compact_uint.h"
#include "storage/fault_env.h"
#include "storage/key_space.h"
#include "write/tarnix_transaction_log.h"
#include "write/txn_log_unit_record.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

std::string UnitKey(uint64_t txn_id, uint64_t count, uint64_t index) {
  std::string key;
  EXPECT_TRUE((TxnLogUnitRecord{txn_id, count, index}.EncodeKey(&key)));
  return key;
}

TEST(TxnLogUnitRecordTest, KeysEncodeAndDecodeWithinBounds) {
  EXPECT_EQ(UnitKey(5, 3, 2), std::string("\x01\x05\x03\x02", 4));
  EXPECT_EQ(UnitKey(300, 1, 0), std::string("\x01\x21\x2C\x01\x00", 5));
  std::string unused;
  EXPECT_FALSE((TxnLogUnitRecord{kCompactUint64Limit, 1, 0}.EncodeKey(&unused)));

  TxnLogUnitRecord record;
  const std::string key = UnitKey(8192, 300, 7);
  ASSERT_TRUE(TxnLogUnitRecord::DecodeKey(key, &record));
  EXPECT_EQ(record.txn_id, 8192u);
  EXPECT_EQ(record.unit_count, 300u);
  EXPECT_EQ(record.unit_index, 7u);
  for (size_t length = 0; length < key.size(); ++length) {
    EXPECT_FALSE(TxnLogUnitRecord::DecodeKey(key.substr(0, length), &record)) << length;
  }
  EXPECT_FALSE(TxnLogUnitRecord::DecodeKey(key + "x", &record));
}

class TransactionLogStoreTest : public WriteTest {
 protected:
  // Stores `stored` of the `count` units announced for `txn_id`, each taking
  // `bytes` key plus value bytes.
  void StoreTxn(uint64_t txn_id, uint64_t count, uint64_t stored, size_t bytes) {
    for (uint64_t i = 0; i < stored; ++i) {
      const std::string key = UnitKey(txn_id, count, i);
      PutAll(db_.get(), {{key, std::string(bytes - key.size(), 'v')}});
    }
  }

  std::unique_ptr<TransactionLogStore> Start(uint64_t max) {
    auto store = std::make_unique<TransactionLogStore>(db_.get(), max, &registry_);
    store->SetCurrentLogSize();
    return store;
  }

  // Computes the updates of transaction `txn_id` with one request unit of a
  // `body`-byte object.
  Status Compute(TransactionLogStore* store, uint64_t txn_id, bool tracing = false,
                 size_t body = 60) {
    TarnixTransactionLog log(&schema_, "client", txn_id);
    caldek::orv::tarnix::PutRequestMsg put;
    put.add_puts()->mutable_object()->set_object_body(std::string(body, 'b'));
    log.RecordRequest(put);
    puts_.clear();
    deletes_.clear();
    return store->ComputeTxnLogUpdates(tracing, &log, &size_, &txn_bytes_, &puts_, &deletes_);
  }

  // The key plus value bytes of such a transaction.
  uint64_t TxnBytes() {
    EXPECT_TRUE(Compute(Start(std::numeric_limits<uint64_t>::max()).get(), 9).ok());
    return txn_bytes_;
  }

  uint64_t size_ = 0;
  uint64_t txn_bytes_ = 0;
  std::vector<DbAccess::TxnPut> puts_;
  std::vector<std::string> deletes_;
};

TEST_F(TransactionLogStoreTest, TrimsWholeOldestTransactionsToFit) {
  const uint64_t t = TxnBytes();
  struct {
    uint64_t max;
    size_t deleted;  // units of the oldest transactions
    uint64_t size;
    size_t puts;
  } cases[] = {
      {900 + t, 0, 900 + t, 1},      // exact fit
      {900 + t - 1, 3, 600 + t, 1},  // the oldest transaction, all three units
      {t + 299, 7, t, 1},            // every stored transaction
      {t - 1, 7, 0, 0},              // too large: the log is emptied, no unit stored
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(db_->DeleteByPrefixes({kTxnLogPrefix}, false).ok());
    StoreTxn(1, 3, 3, 100);
    StoreTxn(2, 1, 1, 300);
    StoreTxn(3, 3, 3, 100);
    ASSERT_TRUE(Compute(Start(c.max).get(), 9).ok());
    EXPECT_EQ(txn_bytes_, t);
    EXPECT_EQ(deletes_.size(), c.deleted) << c.max;
    EXPECT_EQ(size_, c.size) << c.max;
    ASSERT_EQ(puts_.size(), c.puts) << c.max;
    if (c.puts == 1) {
      EXPECT_EQ(puts_[0].first, UnitKey(9, 1, 0));
    }
  }
  EXPECT_TRUE(HasLine("INFO", "",
                      "Current transaction's log record is too large to be accommodated in the "
                      "log. Performing a complete log cleanup; All old transaction log records "
                      "will be deleted."));
  EXPECT_GE(Samples("server/latency/transaction/log/process"), 5u);
}

// A transaction whose requests alone exceed the bound is measured, not
// copied: it gets the same bytes and the same complete cleanup as one whose
// requests were all recorded.
TEST_F(TransactionLogStoreTest, RequestsPastTheBoundAreMeasuredNotKept) {
  caldek::orv::tarnix::PutRequestMsg put;
  put.add_puts()->mutable_object()->set_object_body(std::string(600, 'b'));
  for (bool with_changes : {false, true}) {
    for (size_t requests : {1u, 2u, 3u}) {
      uint64_t bytes[2] = {0, 0};
      for (int bounded = 0; bounded < 2; ++bounded) {
        ASSERT_TRUE(db_->DeleteByPrefixes({kTxnLogPrefix}, false).ok());
        StoreTxn(1, 3, 3, 100);
        TarnixTransactionLog log(&schema_, "client", 9);
        if (bounded == 1) log.set_request_bound(1000);
        if (with_changes) {
          log.AddChange(TarnixTransactionLog::kUpdated, "caldek.orv.tarnix.DeviceMsg", "id", {1});
        }
        for (size_t i = 0; i < requests; ++i) log.RecordRequest(put);
        EXPECT_EQ(log.requests_dropped(), bounded == 1 && requests > 1);
        puts_.clear();
        deletes_.clear();
        ASSERT_TRUE(Start(1000)->ComputeTxnLogUpdates(false, &log, &size_, &bytes[bounded],
                                                      &puts_, &deletes_).ok());
        if (requests > 1) {
          EXPECT_TRUE(puts_.empty());
          EXPECT_EQ(deletes_.size(), 3u);
          EXPECT_EQ(size_, 0u);
        }
      }
      EXPECT_EQ(bytes[1], bytes[0]) << requests << " " << with_changes;
    }
  }
}

TEST_F(TransactionLogStoreTest, MissingUnitsFailTheTrimming) {
  StoreTxn(1, 3, 2, 300);
  for (bool log_ends_database : {true, false}) {
    if (!log_ends_database) PutAll(db_.get(), {{kVDbInfoPrefix + "\x01", "main_vdb"}});
    EXPECT_EQ(Compute(Start(100).get(), 9),
              Status::FailedPrecondition("Unable to retrieve txlog: One or more txlog units "
                                         "are missing from the underlying db."));
    EXPECT_TRUE(puts_.empty());
  }
}

// An unreadable log fails the trimming with the status any storage read
// gives: corruption is DATA_LOSS.
TEST_F(TransactionLogStoreTest, UnreadableLogFailsTheTrimmingAsStorageReadsDo) {
  StoreTxn(1, 1, 1, 100);
  db_.reset();
  OpenDb();  // moves the unit from the write-ahead log into a table file
  FaultEnv env;
  db_ = OpenDb(&env);
  env.FailReadsAfter(0, leveldb::Status::Corruption("injected"));
  const Status status = Compute(Start(1).get(), 9);
  EXPECT_EQ(status.code(), Status::kDataLoss);
  EXPECT_EQ(status.message().rfind("LevelDB error: ", 0), 0u) << status.message();
  EXPECT_TRUE(puts_.empty());
  db_.reset();
}

TEST_F(TransactionLogStoreTest, MalformedAndZeroCountKeysGoOneAtATime) {
  const uint64_t max = TxnBytes() + 99;
  const std::string malformed("\x01\x40\x20", 3);  // ends inside its id
  PutAll(db_.get(), {{malformed, std::string(97, 'v')}});
  StoreTxn(2, 0, 1, 100);
  StoreTxn(3, 1, 1, 150);
  auto store = Start(max);
  EXPECT_EQ(store->current_log_size(), 350u);
  EXPECT_TRUE(HasLine("INFO", "",
                      "current_log_size_ set to 350. max_log_size_ is " + std::to_string(max) +
                          "."));
  EXPECT_EQ(store->highest_logged_txn_id(), 3u);
  ASSERT_TRUE(Compute(store.get(), 9).ok());
  EXPECT_EQ(deletes_, std::vector<std::string>({UnitKey(2, 0, 0), UnitKey(3, 1, 0), malformed}));
  // At start-up and when trimmed.
  EXPECT_EQ(capture_.Count("level=\"ERROR\"] Malformed transaction log key: 014020"), 2u);
  EXPECT_EQ(puts_.size(), 1u);
}

// After a failed write the accounted size is off from the stored log; a
// recount must replace it, not add to it.
TEST_F(TransactionLogStoreTest, RecountReplacesTheAccountedSize) {
  StoreTxn(1, 1, 1, 100);
  StoreTxn(2, 2, 2, 150);
  auto store = Start(1 << 20);
  EXPECT_EQ(store->current_log_size(), 400u);
  store->set_current_log_size(1000);
  store->SetCurrentLogSize();
  EXPECT_EQ(store->current_log_size(), 400u);
  EXPECT_EQ(capture_.Count("current_log_size_ set to 400. max_log_size_ is 1048576."), 2u);
}

TEST_F(TransactionLogStoreTest, TracedCallsRecordASpan) {
  orv::Logger::logLevel = orv::TRIVIA;
  auto store = Start(1 << 20);
  const struct {
    bool tracing;
    uint32_t trace_level;  // configured
    size_t spans;
  } cases[] = {{false, 2, 0}, {true, 2, 1}, {true, 1, 0}};  // the span is of level 2
  for (const auto& c : cases) {
    orv::wft::WorkflowUtil::Configure(true, c.trace_level);
    capture_.Clear();
    ASSERT_TRUE(Compute(store.get(), 9, c.tracing).ok());
    EXPECT_EQ(capture_.Count("span ComputeTxnLogUpdates: "), c.spans) << c.tracing;
  }
  orv::wft::WorkflowUtil::Configure(false, 0);
}

// An accounted size off from the stored log neither wraps below 0 nor
// overflows the bound test.
TEST_F(TransactionLogStoreTest, SizeArithmeticSaturates) {
  const uint64_t t = TxnBytes();
  StoreTxn(1, 1, 1, 300);
  StoreTxn(2, 1, 1, 300);
  auto store = Start(t + 50);
  store->set_current_log_size(100);
  ASSERT_TRUE(Compute(store.get(), 9).ok());
  EXPECT_EQ(deletes_.size(), 1u);
  EXPECT_EQ(size_, t);
  EXPECT_EQ(puts_.size(), 1u);

  store->set_current_log_size(std::numeric_limits<uint64_t>::max() - 5);
  ASSERT_TRUE(Compute(store.get(), 10).ok());
  EXPECT_EQ(deletes_.size(), 2u);
  EXPECT_TRUE(puts_.empty());
}

// The store beside a model of the log written from its behaviour: a map of
// the stored units, trimmed from its first key, whole transactions at a
// time, while the accounted size and the new units exceed the bound. Writes
// that fail (the batch is dropped) and restarts with other bounds keep the
// store's front where the model's first unit is.
TEST_F(TransactionLogStoreTest, TrimsAsFromTheFirstUnitThroughFailedWritesAndRestarts) {
  orv::Logger::logLevel = orv::INFO;
  std::mt19937 random(53);
  std::map<std::string, uint64_t> model;  // key -> key plus value bytes
  uint64_t accounted = 0;
  uint64_t max = 4000;
  auto store = Start(max);
  uint64_t txn_id = 0;
  for (int step = 0; step < 1500; ++step) {
    SCOPED_TRACE(step);
    if (random() % 40 == 0) {
      store.reset();
      Reopen();
      max = 1000 + random() % 6000;
      store = Start(max);
      accounted = 0;
      for (const auto& unit : model) accounted += unit.second;
      ASSERT_EQ(store->current_log_size(), accounted);
    }
    TarnixTransactionLog log(&schema_, "client", ++txn_id);
    const int requests = random() % 4;
    for (int i = 0; i < requests; ++i) {
      caldek::orv::tarnix::PutRequestMsg put;
      // Now and then a transaction larger than the log.
      const size_t body = random() % 50 == 0 ? max : random() % 700;
      put.add_puts()->mutable_object()->set_object_body(std::string(body, 'b'));
      log.RecordRequest(put);
    }
    puts_.clear();
    deletes_.clear();
    ASSERT_TRUE(
        store->ComputeTxnLogUpdates(false, &log, &size_, &txn_bytes_, &puts_, &deletes_).ok());

    auto exceeds = [&](uint64_t size) {
      return txn_bytes_ > max || size > max - txn_bytes_;
    };
    std::vector<std::string> trimmed;
    uint64_t size = accounted;
    for (auto it = model.begin(); exceeds(size) && it != model.end();) {
      TxnLogUnitRecord record;
      ASSERT_TRUE(TxnLogUnitRecord::DecodeKey(it->first, &record));
      for (uint64_t unit = 0; unit < record.unit_count; ++unit, ++it) {
        ASSERT_NE(it, model.end());
        trimmed.push_back(it->first);
        size -= std::min(size, it->second);
      }
    }
    ASSERT_EQ(deletes_, trimmed);
    const bool stored = txn_bytes_ > 0 && !exceeds(size);
    ASSERT_EQ(puts_.size() > 0, stored);
    ASSERT_EQ(size_, stored ? size + txn_bytes_ : size);
    store->set_current_log_size(size_);
    accounted = size_;

    if (random() % 8 == 0) continue;  // the write failed
    ASSERT_TRUE(db_->WriteTxn(puts_, deletes_, false, [] {}).ok());
    store->BatchWritten();
    for (const std::string& key : deletes_) model.erase(key);
    for (const auto& unit : puts_) model[unit.first] = unit.first.size() + unit.second->size();

    DbAccess::Records units;
    ASSERT_TRUE(db_->PrefixFilter(nullptr, kTxnLogPrefix, &units).ok());
    ASSERT_EQ(units.size(), model.size());
    // Nothing live before the front, nothing trimmed after it.
    if (!model.empty()) {
      ASSERT_LE(store->log_front(), model.begin()->first);
    }
    if (!deletes_.empty()) {
      ASSERT_GT(store->log_front(), deletes_.back());
    }
  }
}

// A long stream of rewrites of a few objects with the log at its bound:
// what the tables hold stays within reach of what is live, and once LevelDB
// has compacted everything, no table it replaced is kept on disk, as one
// would be for an iterator left open by the store.
TEST_F(TransactionLogStoreTest, RewritesAtTheBoundKeepTheTablesNearWhatIsLive) {
  orv::Logger::logLevel = orv::INFO;
  constexpr uint64_t kMax = 1 << 20;
  constexpr int kObjects = 2000;
  constexpr size_t kObjectBytes = 1000;
  constexpr int kTxns = 60000;
  TransactionLogStore store(db_.get(), kMax, &registry_);
  store.SetCurrentLogSize();
  const boost::shared_ptr<leveldb::DB> db = db_->GetSnapshot()->db();
  auto tables = [&] {
    std::map<uint64_t, uint64_t> files;  // number -> bytes
    for (const std::string& name : Files()) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ldb") == 0) {
        files[std::stoull(name)] = boost::filesystem::file_size(db_dir_ + "/" + name);
      }
    }
    return files;
  };
  std::mt19937 random(57);
  uint64_t most = 0;
  for (int txn = 1; txn <= kTxns; ++txn) {
    ASSERT_TRUE(Compute(&store, txn, false, kObjectBytes).ok());
    store.set_current_log_size(size_);
    std::string body(kObjectBytes, '\0');
    for (char& c : body) c = static_cast<char>(random());
    puts_.emplace_back(kObjectPrefix + std::to_string(random() % kObjects),
                       boost::make_shared<std::string>(std::move(body)));
    ASSERT_TRUE(db_->WriteTxn(puts_, deletes_, false, [] {}).ok());
    store.BatchWritten();
    if (txn % 2000 == 0 && txn > kTxns / 2) {
      uint64_t bytes = 0;
      for (const auto& file : tables()) bytes += file.second;
      most = std::max(most, bytes);
    }
  }
  // Besides what is live, LevelDB holds up to four memtables' worth of
  // level-0 tables (4 MiB each) and about 10 MiB in its first level before
  // it compacts them.
  const uint64_t live = kObjects * kObjectBytes + kMax;
  EXPECT_LT(most, live + (uint64_t{32} << 20));

  db->CompactRange(nullptr, nullptr);
  std::string current;
  ASSERT_TRUE(db->GetProperty("leveldb.sstables", &current));
  for (const auto& file : tables()) {
    EXPECT_NE(current.find(" " + std::to_string(file.first) + ":"), std::string::npos)
        << "table " << file.first << " is replaced but kept";
  }
}

}  // namespace
}  // namespace tarnix
