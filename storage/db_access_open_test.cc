#include <random>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "storage/db_access.h"
#include "storage/db_access_test_util.h"
#include "storage/fault_env.h"

namespace tarnix {
namespace {

namespace fs = boost::filesystem;

const DbAccess::Records kRecords = {
    {std::string("\0a", 2), "one"}, {"b", "two"}, {"c", std::string("\0\1", 2)}};

std::string ManifestName(const std::set<std::string>& files) {
  for (const std::string& name : files) {
    if (name.compare(0, 9, "MANIFEST-") == 0) return name;
  }
  return "";
}

// The names in `files` that end with `suffix`.
std::vector<std::string> WithSuffix(const std::set<std::string>& files,
                                    const std::string& suffix) {
  std::vector<std::string> names;
  for (const std::string& name : files) {
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      names.push_back(name);
    }
  }
  return names;
}

class OpenTest : public DbAccessTest {
 protected:
  // Writes kRecords and closes, leaving them in table files (a reopen turns
  // the write-ahead log into a table).
  void CreateDatabase() {
    { PutAll(OpenDb().get(), kRecords); }
    { OpenDb(); }
  }
  // Writes kRecords, then `values` under "d0", "d1", ..., one write each,
  // and closes: the records stay in the one write-ahead log, whose name is
  // returned. `*last_start` is where the last write begins in it.
  std::string WriteLogOf(const std::vector<std::string>& values, uint64_t* last_start) {
    {
      auto db = OpenDb();
      for (const auto& record : kRecords) PutAll(db.get(), {record});
      for (size_t i = 0; i < values.size(); ++i) {
        const std::vector<std::string> logs = WithSuffix(Files(), ".log");
        if (logs.size() == 1) *last_start = fs::file_size(db_dir_ + "/" + logs[0]);
        PutAll(db.get(), {{"d" + std::to_string(i), values[i]}});
      }
    }
    const std::vector<std::string> logs = WithSuffix(Files(), ".log");
    EXPECT_EQ(logs.size(), 1u);
    return logs.empty() ? "" : logs[0];
  }
  // kRecords and the first `n` of `values`, as WriteLogOf stored them.
  static DbAccess::Records Written(const std::vector<std::string>& values, size_t n) {
    DbAccess::Records records = kRecords;
    for (size_t i = 0; i < n; ++i) records.emplace_back("d" + std::to_string(i), values[i]);
    return records;
  }
  // Writes kRecords, then `last` under "d", one write each, and closes: the
  // records stay in the one write-ahead log, whose name is returned.
  std::string WriteLog(const std::string& last) {
    {
      auto db = OpenDb();
      for (const auto& record : kRecords) PutAll(db.get(), {record});
      PutAll(db.get(), {{"d", last}});
    }
    const std::vector<std::string> logs = WithSuffix(Files(), ".log");
    EXPECT_EQ(logs.size(), 1u);
    return logs.empty() ? "" : logs[0];
  }
};

const char kDataLost[] = "errorCode=\"DRX0107\"";

TEST_F(OpenTest, NewDirectoryIsCreated) {
  OpenDb();
  EXPECT_TRUE(fs::exists(db_dir_ + "/CURRENT"));
  // LevelDB's own information log is discarded.
  EXPECT_FALSE(fs::exists(db_dir_ + "/LOG"));
}

TEST_F(OpenTest, DamagedCurrentOrManifestIsRepairedKeepingData) {
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"CURRENT", "garbage without newline"},
      {"CURRENT", "MANIFEST-999999\n"},
      {"MANIFEST", "\x01\x02garbage\x03 that is no log record"},
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.second);
    TearDown();
    SetUp();
    CreateDatabase();
    const std::string file =
        damage.first == "CURRENT" ? "CURRENT" : ManifestName(Files());
    WriteFile(db_dir_ + "/" + file, damage.second);

    orv::Logger::logLevel = orv::VERBOSE;
    orv::LogCapture capture;
    auto db = OpenDb();
    EXPECT_EQ(capture.Count("attempting to repair."), 1u);
    EXPECT_TRUE(db->lost_data_at_open());
    EXPECT_EQ(All(db.get()), kRecords);
    // Nothing was lost, but only the repair's own account could tell: the
    // cause is logged and the old manifest kept.
    EXPECT_TRUE(capture.Contains(kDataLost));
    EXPECT_TRUE(capture.Contains("could not be opened and was repaired"));
    EXPECT_TRUE(fs::is_directory(db_dir_ + "/lost"));
  }
}

// A table the manifest names is gone: the repair builds a database of what
// is left and LevelDB counts that a success. The missing table and the
// files set aside are named; lost/ stays.
TEST_F(OpenTest, MissingTableIsReportedAndLostDirectoryKept) {
  const DbAccess::Records second = {{"x", "in the second table"}};
  CreateDatabase();
  const std::vector<std::string> first_tables = WithSuffix(Files(), ".ldb");
  ASSERT_EQ(first_tables.size(), 1u);
  { PutAll(OpenDb().get(), second); }
  { OpenDb(); }
  ASSERT_EQ(WithSuffix(Files(), ".ldb").size(), 2u);
  const std::string manifest = ManifestName(Files());
  ASSERT_TRUE(fs::remove(db_dir_ + "/" + first_tables[0]));

  orv::LogCapture capture;
  auto db = OpenDb();
  EXPECT_EQ(All(db.get()), second);
  EXPECT_TRUE(capture.Contains(
      "Database '" + db_dir_ + "' could not be opened and was repaired; "
      "records may have been lost. Cause: Corruption: 1 missing files; "
      "e.g.: " + db_dir_ + "/" + first_tables[0]));
  EXPECT_TRUE(capture.Contains("Files set aside by the repair of database '" +
                               db_dir_ + "' are kept in '" + db_dir_ +
                               "/lost': "));
  EXPECT_TRUE(capture.Contains(manifest));
  for (const std::string& line : capture.lines()) {
    if (line.find("Cause:") != std::string::npos ||
        line.find("Files set aside") != std::string::npos) {
      EXPECT_NE(line.find("level=\"ERROR\""), std::string::npos) << line;
      EXPECT_NE(line.find(kDataLost), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(fs::exists(db_dir_ + "/lost/" + manifest));
}

// A damaged write-ahead log record fails the open instead of being skipped
// in silence, so the repair runs. The repair does not check checksums: a
// record whose checksum does not match is marked first, so that the repair
// drops it rather than keep damaged data. The open error that made it run,
// the marked log, what the repair dropped and the log it set aside are
// logged, and the log is kept in lost/.
TEST_F(OpenTest, DamagedLogRecordIsRepairedAndReported) {
  for (const bool damaged_type : {false, true}) {
    SCOPED_TRACE(damaged_type ? "record type" : "payload");
    TearDown();
    SetUp();
    // Damage the last record of the log.
    const std::string log_file = WriteLog(std::string(64, 'x'));
    const std::string log_name = db_dir_ + "/" + log_file;
    std::string log = ReadFile(log_name);
    const size_t value = log.find(std::string(64, 'x'));
    ASSERT_NE(value, std::string::npos);
    // Each write is one record: a 7-byte header (checksum, length, type)
    // and its payload. Find the last one's header.
    size_t last = 0;
    for (size_t pos = 0; pos + 7 <= log.size();
         pos += 7 + (static_cast<unsigned char>(log[pos + 4]) |
                     static_cast<unsigned char>(log[pos + 5]) << 8)) {
      last = pos;
    }
    ASSERT_LT(last, value);
    if (damaged_type) {
      log[last + 6] = 9;
    } else {
      log[value + 10] = 'y';
    }
    WriteFile(log_name, log);

    orv::Logger::logLevel = orv::VERBOSE;
    orv::LogCapture capture;
    auto db = OpenDb();
    EXPECT_EQ(capture.Count("attempting to repair."), 1u);
    EXPECT_EQ(All(db.get()), kRecords);
    EXPECT_TRUE(capture.Contains("records may have been lost. Cause: Corruption: "));
    EXPECT_TRUE(capture.Contains("Write-ahead log '" + log_name +
                                 "' holds 1 records whose checksum does not match"));
    EXPECT_TRUE(capture.Contains("/lost': " + log_file));
    std::string marked = log;
    marked[last + 6] = '\xff';
    EXPECT_EQ(ReadFile(db_dir_ + "/lost/" + log_file), marked);
    // The log as it was, before its damaged record was marked.
    EXPECT_EQ(ReadFile(db_dir_ + "/lost/" + log_file + ".original"), log);
    EXPECT_TRUE(capture.Contains("Repair of database '" + db_dir_ + "': Log #"));
    EXPECT_TRUE(capture.Contains(": dropping "));
    EXPECT_TRUE(capture.Contains("repaired with errors"));
  }
}

// LevelDB takes a write-ahead log that ends inside a write for a crash in
// the middle of it and drops that write in silence, then deletes the log.
// After a clean stop the cut means lost writes: they are logged, and the
// bytes the open drops, from where the cut write begins, are kept.
TEST_F(OpenTest, CutLogIsReportedAndItsTailKept) {
  const std::string kSpanning(40000, 'x');  // spans two blocks
  struct Cut {
    const char* name;
    std::vector<std::string> values;
    size_t at;  // the length the log is cut to; 0: ten bytes short
  };
  const std::vector<Cut> cuts = {
      {"inside a record", {std::string(64, 'x')}, 0},
      // The file ends where the write's first fragment does, on a record
      // boundary but inside the write.
      {"after a first fragment", {kSpanning}, 32768},
      {"inside a write's second fragment", {kSpanning}, 32768 + 100},
      {"after whole writes past a block boundary", {kSpanning, "e1", "e2", "e3", "last"}, 0},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.name);
    TearDown();
    SetUp();
    uint64_t last_start = 0;
    const std::string log_file = WriteLogOf(cut.values, &last_start);
    const std::string path = db_dir_ + "/" + log_file;
    std::string log = ReadFile(path);
    const size_t length = cut.at == 0 ? log.size() - 10 : cut.at;
    ASSERT_LT(last_start, length);
    ASSERT_LT(length, log.size());
    log.resize(length);
    WriteFile(path, log);

    orv::LogCapture capture;
    auto db = OpenDb();
    EXPECT_EQ(All(db.get()), Written(cut.values, cut.values.size() - 1));
    EXPECT_TRUE(db->lost_data_at_open());
    ASSERT_EQ(capture.Count(kDataLost), 1u);
    const std::string kept =
        db_dir_ + "/lost/" + log_file + ".tail-" + std::to_string(last_start);
    EXPECT_TRUE(capture.Contains(
        "Write-ahead log '" + path + "' ends inside a write: opening the database drops its last " +
        std::to_string(length - last_start) + " of " + std::to_string(length) + " bytes"));
    EXPECT_TRUE(capture.Contains("The dropped bytes from offset " + std::to_string(last_start) +
                                 " are kept in '" + kept + "'"));
    EXPECT_EQ(ReadFile(kept), log.substr(last_start));
    EXPECT_EQ(Files(db_dir_ + "/lost"), std::set<std::string>{fs::path(kept).filename().string()});
  }
}

// On a disk that was just full, the open needs room for the table it makes
// of the cut log's whole writes: what lost/ keeps must not take it.
TEST_F(OpenTest, CutLogOpensWithRoomForItsTableOnly) {
  FaultEnv env;
  DbAccess::Records records;
  std::mt19937 random(7);
  for (int i = 0; i < 75; ++i) {
    std::string value(16 << 10, '\0');
    for (char& c : value) c = static_cast<char>(random());  // incompressible
    records.emplace_back("k" + std::to_string(100 + i), value);
  }
  {
    auto db = OpenDb(&env);
    for (const auto& record : records) PutAll(db.get(), {record});
  }
  const std::string path = db_dir_ + "/" + WithSuffix(Files(), ".log")[0];
  std::string log = ReadFile(path);
  log.resize(log.size() - 100);
  WriteFile(path, log);

  // Room for the tail, not for the table: the open says which file did not
  // fit, and the next start keeps the tail once.
  env.LimitWrites(64 << 10);
  {
    DbAccess db(registry_, &env);
    const DbAccessStatus status = db.Open(db_dir_);
    EXPECT_EQ(status.code, DbAccessCode::IO_ERROR);
    EXPECT_NE(status.message.find(".ldb: No space left on device"), std::string::npos)
        << status.message;
  }
  env.LimitWrites(log.size() + (256 << 10));
  DbAccess db(registry_, &env);
  const DbAccessStatus status = db.Open(db_dir_);
  ASSERT_TRUE(status.ok()) << status.message;
  records.pop_back();
  EXPECT_EQ(All(&db), records);
  EXPECT_EQ(Files(db_dir_ + "/lost").size(), 1u);
}

// A log that ends on a write's boundary is whole: no report, no copy.
TEST_F(OpenTest, WholeLogIsNotReported) {
  WriteLog(std::string(40000, 'x'));
  orv::LogCapture capture;
  auto db = OpenDb();
  EXPECT_EQ(All(db.get()).size(), kRecords.size() + 1);
  EXPECT_FALSE(db->lost_data_at_open());
  EXPECT_FALSE(capture.Contains(kDataLost));
  EXPECT_FALSE(fs::exists(db_dir_ + "/lost"));
}

TEST_F(OpenTest, CurrentMissingWithTablesIsRepairedNotReplaced) {
  CreateDatabase();
  ASSERT_TRUE(fs::remove(db_dir_ + "/CURRENT"));
  auto db = OpenDb();
  EXPECT_EQ(All(db.get()), kRecords);
}

// Without CURRENT, a directory holding anything LevelDB did not create is
// no database of ours: nothing is repaired or created there.
TEST_F(OpenTest, DirectoryWithoutCurrentHoldingForeignFilesIsRefused) {
  for (const bool with_log : {false, true}) {
    SCOPED_TRACE(with_log ? "with a numbered log" : "foreign file only");
    TearDown();
    SetUp();
    ASSERT_TRUE(fs::create_directory(db_dir_));
    WriteFile(db_dir_ + "/notes.txt", "keep me");
    if (with_log) WriteFile(db_dir_ + "/20240101.log", "not a log");
    const std::set<std::string> before = Files();
    DbAccess db(registry_);
    EXPECT_EQ(db.Open(db_dir_).code, DbAccessCode::OTHER_ERROR);
    EXPECT_EQ(Files(), before);
  }
}

// A database in use by another handle fails to open and is left alone,
// damaged or not: repairing or cleaning it would pull files from under its
// owner.
TEST_F(OpenTest, LockedDatabaseIsLeftAlone) {
  auto owner = OpenDb();
  PutAll(owner.get(), kRecords);
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "CURRENT missing" : "healthy");
    if (damaged) {
      ASSERT_TRUE(fs::remove(db_dir_ + "/CURRENT"));
    }
    const std::set<std::string> before = Files();
    DbAccess second(registry_);
    const DbAccessStatus status = second.Open(db_dir_);
    EXPECT_EQ(status.code, DbAccessCode::IO_ERROR) << status.message;
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(All(owner.get()), kRecords);
  }
}

TEST_F(OpenTest, PathThatIsAFileIsReturnedAsError) {
  WriteFile(db_dir_, "not a directory");
  DbAccess db(registry_);
  EXPECT_NE(db.Open(db_dir_).code, DbAccessCode::OK);
  EXPECT_EQ(ReadFile(db_dir_), "not a directory");
}

// LevelDB's repair skips damaged content and fails only when the disk or
// file system does; wiping the database then would destroy intact data.
TEST_F(OpenTest, RepairIoErrorIsReturnedWithDataInPlace) {
  CreateDatabase();
  WriteFile(db_dir_ + "/CURRENT", "garbage");
  FaultEnv env;
  env.FailFileCreations(".dbtmp", 1);
  orv::Logger::logLevel = orv::VERBOSE;
  orv::LogCapture capture;
  DbAccess db(registry_, &env);
  const DbAccessStatus status = db.Open(db_dir_);
  EXPECT_EQ(status.code, DbAccessCode::IO_ERROR) << status.message;
  EXPECT_FALSE(capture.Contains("create from scratch"));

  // The next start, with a working disk, repairs it.
  auto reopened = OpenDb();
  EXPECT_EQ(All(reopened.get()), kRecords);
}

// The repair moves a log it failed to convert into lost/ all the same and
// says so only in its information log; lost/ then holds the only copy of
// acknowledged records.
TEST_F(OpenTest, RepairErrorKeepsLostDirectory) {
  {
    auto db = OpenDb();
    std::vector<int32_t> codes;
    ASSERT_TRUE(db->Put(kRecords, true, &codes).ok());
  }
  WriteFile(db_dir_ + "/CURRENT", "garbage");
  FaultEnv env;
  env.FailFileCreations(".ldb", 1);
  orv::LogCapture capture;
  {
    DbAccess db(registry_, &env);
    EXPECT_TRUE(db.Open(db_dir_).ok());
  }
  EXPECT_TRUE(capture.Contains("repaired with errors"));
  EXPECT_TRUE(capture.Contains("'" + db_dir_ + "/lost'"));
  ASSERT_TRUE(fs::is_directory(db_dir_ + "/lost"));
  std::string lost_log;
  for (const auto& entry : fs::directory_iterator(db_dir_ + "/lost")) {
    if (entry.path().extension() == ".log") {
      lost_log = ReadFile(entry.path().string());
    }
  }
  EXPECT_NE(lost_log.find("two"), std::string::npos);
}

// A lost/ left by an earlier repair may hold such a log; a later clean
// repair keeps it.
TEST_F(OpenTest, CleanRepairKeepsEarlierLostDirectory) {
  CreateDatabase();
  ASSERT_TRUE(fs::create_directory(db_dir_ + "/lost"));
  WriteFile(db_dir_ + "/lost/000003.log", "earlier");
  WriteFile(db_dir_ + "/CURRENT", "garbage");
  auto db = OpenDb();
  EXPECT_EQ(All(db.get()), kRecords);
  EXPECT_EQ(ReadFile(db_dir_ + "/lost/000003.log"), "earlier");
}

// A repair that itself reports corruption leads to re-creation, which wipes
// a directory of LevelDB's files and refuses any other.
TEST_F(OpenTest, RepairCorruptionRecreatesOnlyAPureLevelDbDirectory) {
  for (const bool foreign : {false, true}) {
    SCOPED_TRACE(foreign ? "foreign file" : "LevelDB files only");
    TearDown();
    SetUp();
    CreateDatabase();
    WriteFile(db_dir_ + "/CURRENT", "garbage");
    if (foreign) WriteFile(db_dir_ + "/notes.txt", "keep me");

    FaultEnv env;
    env.FailFileCreations(".dbtmp", 1, leveldb::Status::Corruption("injected"));
    orv::LogCapture capture;
    DbAccess db(registry_, &env);
    const DbAccessStatus status = db.Open(db_dir_);
    if (!foreign) {
      EXPECT_EQ(status.code, DbAccessCode::OK) << status.message;
      EXPECT_TRUE(All(&db).empty());
      continue;
    }
    EXPECT_EQ(status.code, DbAccessCode::CORRUPTION);
    EXPECT_TRUE(capture.Contains("errorCode=\"DRX0105\""));
    auto reopened = OpenDb();
    EXPECT_EQ(All(reopened.get()), kRecords);
    EXPECT_EQ(ReadFile(db_dir_ + "/notes.txt"), "keep me");
  }
}

TEST_F(OpenTest, CloseTwiceAndSnapshotsOutliveClose) {
  auto db = OpenDb();
  PutAll(db.get(), kRecords);
  DbAccess::SnapshotHolder snapshot = db->GetSnapshot();
  auto iterator = db->NewIterator();
  ASSERT_TRUE(snapshot && iterator);

  orv::LogCapture capture;
  EXPECT_TRUE(db->Close());
  EXPECT_FALSE(db->Close());
  EXPECT_EQ(capture.Count("Close() called when there is no open database"), 1u);

  std::string value;
  EXPECT_TRUE(db->Get(snapshot, "b", &value).ok());
  EXPECT_EQ(value, "two");
  db.reset();  // the handle goes first; holders still read
  iterator->Seek("b");
  iterator->Next();
  ASSERT_TRUE(iterator->Valid());
  EXPECT_EQ(iterator->key(), "c");
}

TEST_F(OpenTest, OperationsWithoutDatabaseReturnNoOpenDatabase) {
  DbAccess db(registry_);
  orv::LogCapture capture;
  std::vector<std::string> values;
  DbAccess::Records records;
  std::vector<int32_t> codes;
  const int32_t kNoDb = DbAccessCode::NO_OPEN_DATABASE;
  EXPECT_EQ(db.Get(nullptr, {"a"}, &values).code, kNoDb);
  EXPECT_EQ(db.PrefixFilter(nullptr, "", &records).code, kNoDb);
  EXPECT_EQ(db.Put({{"a", "1"}}, false, &codes).code, kNoDb);
  EXPECT_EQ(db.Delete({{"a", ""}}, false, &codes).code, kNoDb);
  EXPECT_EQ(db.ComputeReturnValuesForPut({{"a", "1"}}, &records, &codes,
                                         &values).code,
            kNoDb);
  EXPECT_EQ(db.ComputeReturnValuesForDelete({{"a", "1"}}, &values, &codes,
                                            &values).code,
            kNoDb);
  EXPECT_EQ(db.DeleteByPrefixes({"a"}, false).code, kNoDb);
  EXPECT_FALSE(db.GetSnapshot());
  EXPECT_FALSE(db.NewIterator());
  bool hook_ran = false;
  EXPECT_EQ(db.WriteTxn({}, {}, false, [&] { hook_ran = true; }).code, kNoDb);
  EXPECT_FALSE(hook_ran);
  EXPECT_TRUE(values.empty() && records.empty() && codes.empty());
  EXPECT_EQ(capture.Count("errorCode=\"DRX0102\""), 10u);
}

TEST_F(OpenTest, LatencyIsRecordedOnEveryWayOut) {
  DbAccess db(registry_);
  std::vector<std::string> values;
  DbAccess::Records records;
  db.Get(nullptr, {"a"}, &values);  // without a database
  ASSERT_TRUE(db.Open(db_dir_).ok());
  db.PrefixFilter(DbAccess::SnapshotHolder(), "", &records);
  std::vector<int32_t> codes;
  db.Put({{"k", "v"}}, false, &codes);  // reads through the multi-key Get
  db.WriteTxn({}, {}, false, [] {});
  EXPECT_EQ(Samples("server/db_access/get/latency"), 2u);
  EXPECT_EQ(Samples("server/db_access/prefix_filter/latency"), 1u);
  EXPECT_EQ(Samples("server/db_access/write_txn/latency"), 1u);
}

}  // namespace
}  // namespace tarnix
