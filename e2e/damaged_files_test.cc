// Damage to the daemon's files on disk, one kind per row, each with what
// start-up does about it: it refuses with exit status 2 and an ERROR line,
// repairs and serves what is left, or serves and answers DATA_LOSS for what
// it cannot read. No row ends in a daemon that serves data other than what
// was written, or that is up and serves nothing.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

namespace fs = boost::filesystem;

constexpr char kWriter[] = "inventory-agent";
// Devices written by the first run end up in a table file, those of the
// second run stay in the write-ahead log.
constexpr int kTableDevices = 40;
constexpr int kLogDevices = 20;
constexpr int kDevices = kTableDevices + kLogDevices;
// The device whose put is the second run's last write.
constexpr int kLastDevice = kDevices - 1;
// A device in the middle of the write-ahead log.
constexpr int kLoggedDevice = kTableDevices + 3;
// Ids go on this far past the stored one after an open that lost data.
constexpr uint64_t kLostIdMargin = uint64_t{1} << 32;

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The one entry of `dir` whose name starts with `prefix` and ends with
// `suffix`; "" unless there is exactly one.
std::string OnlyFile(const std::string& dir, const std::string& prefix,
                     const std::string& suffix) {
  std::vector<std::string> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= prefix.size() + suffix.size() &&
        name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found.push_back(name);
    }
  }
  EXPECT_EQ(found.size(), 1u) << prefix << "*" << suffix << " in " << dir;
  return found.size() == 1 ? found[0] : "";
}

// A hostname long enough that the devices fill several table blocks, and
// unlike any other so that it can be found in the files.
std::string Hostname(int device) {
  std::string name = "host-" + std::to_string(device) + "-";
  uint32_t x = 2654435761u * static_cast<uint32_t>(device + 1);
  while (name.size() < 200) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    name += "0123456789abcdef"[x & 15];
  }
  return name;
}

// What a row damages, in its own copy of the database and schema.
struct Files {
  std::string dir;  // holds db/ and schema.pb
  std::string db() const { return dir + "/db"; }
  std::string schema() const { return dir + "/schema.pb"; }
};

// An fcntl lock on the LOCK file, the way a daemon running on the same
// database holds it.
class HeldLock {
 public:
  explicit HeldLock(const std::string& path) : fd_(open(path.c_str(), O_RDWR)) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    EXPECT_EQ(fcntl(fd_, F_SETLK, &lock), 0) << path;
  }
  ~HeldLock() { close(fd_); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  const int fd_;
};

enum class Outcome {
  kUnaffected,  // serves every object as written; ids go on from the last
  kRepaired,    // serves all but the lost objects; ids go on 2^32 further
  kDataLoss,    // serves; reads of what is damaged answer DATA_LOSS
  kRefused,     // exits with status 2 before serving, losing nothing
  kNoSchema,    // serves without a schema, refusing every write, until one
                // is loaded; the database is left as it is
};

// The log line that names the damage.
struct LogLine {
  const char* level = "";
  const char* code = "";
  const char* text = "";
};

struct Damage {
  const char* name;
  Outcome outcome;
  LogLine line;
  // Devices a repair loses.
  std::set<int> lost;
  // Files the damage put into the database directory, which stay as they
  // were: name under db/ and content.
  std::map<std::string, std::string> kept;
  // Damages `files`; returns the file that, put back as it was, makes the
  // database whole again ("" for none).
  std::function<std::string(const Files& files, std::unique_ptr<HeldLock>* lock)> apply;
};

// Names the row in gtest's messages.
void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

// Flips the low bit of the byte at `offset` of `path`.
void FlipByte(const std::string& path, size_t offset) {
  std::string bytes = FileBytes(path);
  ASSERT_LT(offset, bytes.size()) << path;
  bytes[offset] ^= 1;
  WriteBytes(path, bytes);
}

void Truncate(const std::string& path, size_t size) {
  std::string bytes = FileBytes(path);
  ASSERT_LT(size, bytes.size()) << path;
  bytes.resize(size);
  WriteBytes(path, bytes);
}

std::string Log(const Files& files) { return files.db() + "/" + OnlyFile(files.db(), "", ".log"); }
std::string Table(const Files& files) {
  return files.db() + "/" + OnlyFile(files.db(), "", ".ldb");
}

const char kRepaired[] =
    "could not be opened and was repaired; records may have been lost. Cause: Corruption: ";

const std::vector<Damage>& Damages() {
  using Lock = std::unique_ptr<HeldLock>;
  static const std::vector<Damage> damages = {
      {"LogCutInsideItsLastWrite", Outcome::kRepaired,
       {"ERROR", "DRX0107", "ends inside a write: opening the database drops its last "},
       {kLastDevice}, {},
       [](const Files& files, Lock*) -> std::string {
         const std::string log = Log(files);
         Truncate(log, FileBytes(log).size() - 10);
         return "";
       }},
      // The first record's checksum; the write it holds is no device.
      {"LogRecordChecksumFlipped", Outcome::kRepaired, {"ERROR", "DRX0107", kRepaired}, {}, {},
       [](const Files& files, Lock*) -> std::string {
         FlipByte(Log(files), 0);
         return "";
       }},
      // The damaged put must not come back with another hostname.
      {"LogRecordPayloadFlipped", Outcome::kRepaired, {"ERROR", "DRX0107", kRepaired},
       {kLoggedDevice}, {},
       [](const Files& files, Lock*) -> std::string {
         const std::string log = Log(files);
         const size_t at = FileBytes(log).find(Hostname(kLoggedDevice));
         EXPECT_NE(at, std::string::npos);
         FlipByte(log, at + 100);
         return "";
       }},
      // The first data block holds devices only.
      {"TableBlockFlipped", Outcome::kDataLoss,
       {"ERROR", "DRX0104", "Corruption: block checksum mismatch"}, {}, {},
       [](const Files& files, Lock*) -> std::string {
         FlipByte(Table(files), 20);
         return "";
       }},
      // The table holds the vdb registry too.
      {"TableTruncated", Outcome::kRefused, {"ERROR", "DRX0101", "cannot be served: "}, {}, {},
       [](const Files& files, Lock*) -> std::string {
         const std::string table = Table(files);
         Truncate(table, FileBytes(table).size() / 2);
         return table;
       }},
      {"ManifestDamaged", Outcome::kRepaired, {"ERROR", "DRX0107", kRepaired}, {}, {},
       [](const Files& files, Lock*) -> std::string {
         WriteBytes(files.db() + "/" + OnlyFile(files.db(), "MANIFEST-", ""),
                    "\x01\x02 no log record");
         return "";
       }},
      {"CurrentDamaged", Outcome::kRepaired, {"ERROR", "DRX0107", kRepaired}, {}, {},
       [](const Files& files, Lock*) -> std::string {
         WriteBytes(files.db() + "/CURRENT", "MANIFEST-");
         return "";
       }},
      {"CurrentMissing", Outcome::kRepaired,
       {"ERROR", "DRX0107", "Cause: Corruption: CURRENT is missing"}, {}, {},
       [](const Files& files, Lock*) -> std::string {
         fs::remove(files.db() + "/CURRENT");
         return "";
       }},
      // No database of ours: nothing is repaired or created there.
      {"CurrentMissingBesideAForeignFile", Outcome::kRefused,
       {"ERROR", "DRX0101", "has no CURRENT and holds files that are not LevelDB's"}, {},
       {{"notes.txt", "not LevelDB's"}},
       [](const Files& files, Lock*) -> std::string {
         fs::remove(files.db() + "/CURRENT");
         WriteBytes(files.db() + "/notes.txt", "not LevelDB's");
         return files.db() + "/CURRENT";
       }},
      {"LockHeldByAnotherProcess", Outcome::kRefused,
       {"ERROR", "DRX0101", "with error: IO error: lock "}, {}, {},
       [](const Files& files, Lock* lock) -> std::string {
         *lock = std::make_unique<HeldLock>(files.db() + "/LOCK");
         return "";
       }},
      // Left by a daemon that was killed: LevelDB locks the file, whatever
      // it holds.
      {"StaleLockFile", Outcome::kUnaffected, {}, {}, {},
       [](const Files& files, Lock*) -> std::string {
         WriteBytes(files.db() + "/LOCK", "4242\n");
         return "";
       }},
      {"ForeignFilesInDatabaseDirectory", Outcome::kUnaffected, {}, {},
       {{"notes.txt", "not LevelDB's"}, {"old/000001.log", "not a log"}},
       [](const Files& files, Lock*) -> std::string {
         WriteBytes(files.db() + "/notes.txt", "not LevelDB's");
         fs::create_directory(files.db() + "/old");
         WriteBytes(files.db() + "/old/000001.log", "not a log");
         return "";
       }},
      {"SchemaDamaged", Outcome::kNoSchema,
       {"ERROR", "DRX0202", "Failed to parse schema proto file"}, {}, {},
       [](const Files& files, Lock*) -> std::string {
         Truncate(files.schema(), FileBytes(files.schema()).size() / 2);
         return files.schema();
       }},
      {"SchemaMissing", Outcome::kNoSchema,
       {"ERROR", "DRX0202", "FileDescriptorSet does not contain a file"}, {}, {},
       [](const Files& files, Lock*) -> std::string {
         fs::remove(files.schema());
         return files.schema();
       }},
  };
  return damages;
}

class DamagedFilesTest : public ::testing::TestWithParam<Damage> {
 protected:
  // One database for every row, written once: the first run's devices in
  // a table file, the second run's in the write-ahead log.
  static void SetUpTestSuite() {
    pristine_ = new TempDir;
    const Files files{pristine_->path()};
    fs::copy_file(TARNIX_EXAMPLE_SCHEMA, files.schema());
    ExampleSchema schema;
    for (int run = 0; run < 2; ++run) {
      ServingDaemon daemon(files.dir, files.db(), {"--schema", files.schema()});
      ASSERT_TRUE(daemon.serving());
      TarnixClient client(daemon.channel());
      const int first = run == 0 ? 0 : kTableDevices;
      const int end = run == 0 ? kTableDevices : kDevices;
      for (int device = first; device < end; ++device) {
        tx::PutRequestMsg put;
        *put.add_puts()->mutable_object() =
            Typed(kDeviceType, schema.Device(device, Hostname(device)));
        ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());
      }
      if (run == 1) last_txn_id_ = LastTxnId(&client, kWriter);
      ASSERT_EQ(daemon.Stop(), 0);
    }
    ASSERT_GT(last_txn_id_, static_cast<uint64_t>(kDevices));
  }
  static void TearDownTestSuite() {
    delete pristine_;
    pristine_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(pristine_, nullptr);
    const std::string from = pristine_->path();
    fs::copy_file(from + "/schema.pb", files_.schema());
    fs::create_directory(files_.db());
    for (const fs::directory_entry& entry : fs::directory_iterator(from + "/db")) {
      fs::copy_file(entry.path(), files_.db() + "/" + entry.path().filename().string());
    }
    ASSERT_FALSE(OnlyFile(files_.db(), "", ".ldb").empty());
    ASSERT_FALSE(OnlyFile(files_.db(), "", ".log").empty());
  }

  std::vector<std::string> Args() const { return {"--schema", files_.schema()}; }


  // Reads every device of a serving daemon, one Get each, and the devices
  // by type. Each is served as written, absent only when `lost`, or (when
  // `data_loss`) refused with DATA_LOSS; `data_loss` needs at least one such
  // refusal and one device served.
  void ExpectDevices(TarnixClient* client, const std::set<int>& lost, bool data_loss) {
    int refused = 0;
    int served = 0;
    std::multiset<std::string> expected;
    for (int device = 0; device < kDevices; ++device) {
      SCOPED_TRACE("device " + std::to_string(device));
      const std::string body = schema_.Device(device, Hostname(device));
      if (lost.count(device) == 0) expected.insert(body);
      tx::GetRequestMsg get;
      *get.add_objects() = Typed(kDeviceType, schema_.Device(device, ""));
      std::vector<tx::GetResponseMsg> responses;
      const grpc::Status status = client->Get(kWriter, get, &responses);
      if (data_loss && status.error_code() == grpc::StatusCode::DATA_LOSS) {
        EXPECT_EQ(status.error_message().rfind("LevelDB error: Corruption: ", 0), 0u)
            << status.error_message();
        ++refused;
        continue;
      }
      ASSERT_TRUE(status.ok()) << status.error_code() << " " << status.error_message();
      ASSERT_EQ(responses.size(), 1u);
      ASSERT_EQ(responses[0].objects_size(), 1);
      const tx::TypedObjectMsg& object = responses[0].objects(0);
      if (lost.count(device) > 0) {
        EXPECT_FALSE(object.has_object_body())
            << "a lost device is served "
            << (object.object_body() == body ? "as written" : "with another body");
      } else {
        EXPECT_EQ(object.object_body(), body);
        ++served;
      }
    }
    std::vector<tx::GetResponseMsg> responses;
    tx::GetRequestMsg by_type;
    *by_type.add_objects() = Typed(kDeviceType, "", false);
    const grpc::Status status = client->Get(kWriter, by_type, &responses);
    if (data_loss) {
      EXPECT_GT(refused, 0);
      EXPECT_GT(served, 0);
      EXPECT_EQ(status.error_code(), grpc::StatusCode::DATA_LOSS);
      EXPECT_EQ(status.error_message().rfind("LevelDB error: Corruption: ", 0), 0u)
          << status.error_message();
      return;
    }
    ASSERT_TRUE(status.ok()) << status.error_message();
    std::multiset<std::string> bodies;
    for (const tx::GetResponseMsg& response : responses) {
      for (const tx::TypedObjectMsg& object : response.objects()) {
        if (object.has_object_body()) bodies.insert(object.object_body());
      }
    }
    EXPECT_TRUE(bodies == expected)
        << bodies.size() << " devices served, " << expected.size() << " expected";
  }

  // A put on a serving daemon takes an id past every one handed out before
  // the damage: one of the next few (start-up's own transactions take
  // some), or, after an open that lost data, one 2^32 further.
  void ExpectNextTxnId(TarnixClient* client, bool lost_data) {
    tx::PutRequestMsg put;
    *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(kDevices, "after"));
    ASSERT_TRUE(client->Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());
    const uint64_t id = LastTxnId(client, kWriter);
    EXPECT_GT(id, last_txn_id_);
    if (lost_data) {
      EXPECT_GE(id, kLostIdMargin);
    } else {
      EXPECT_LT(id, last_txn_id_ + 10);
    }
  }

  static int Lines(const std::string& out, const LogLine& line) {
    return CountLogLines(out, line.level, line.code, line.text);
  }

  static TempDir* pristine_;
  static uint64_t last_txn_id_;

  TempDir dir_;
  const Files files_{dir_.path()};
  ExampleSchema schema_;
};

TempDir* DamagedFilesTest::pristine_ = nullptr;
uint64_t DamagedFilesTest::last_txn_id_ = 0;

TEST_P(DamagedFilesTest, StartUp) {
  const Damage& damage = GetParam();
  std::unique_ptr<HeldLock> lock;
  const std::string damaged = damage.apply(files_, &lock);
  ASSERT_FALSE(HasFailure());

  if (damage.outcome == Outcome::kRefused) {
    // It ends before it listens: the port is never bound.
    const std::vector<std::string> args = {
        "--schema", files_.schema(), "--database", files_.db(),
        "--listen", "127.0.0.1:" + std::to_string(PickFreePort()), "--stdout"};
    std::string error;
    std::unique_ptr<ChildProcess> process = ChildProcess::Spawn(dir_.path(), args, &error);
    ASSERT_TRUE(process) << error;
    EXPECT_EQ(process->WaitForExit(std::chrono::seconds(5)), 2);
    const std::string out = process->Stdout();
    EXPECT_EQ(Lines(out, damage.line), 1) << out;
    // Nothing was set aside or dropped: with the damaged file put back the
    // next start serves everything.
    EXPECT_FALSE(fs::exists(files_.db() + "/lost"));
    lock.reset();
    if (!damaged.empty()) {
      fs::remove(damaged);
      fs::copy_file(pristine_->path() + damaged.substr(dir_.path().size()), damaged);
    }
  }

  if (damage.outcome == Outcome::kNoSchema) {
    ServingDaemon bare(dir_.path(), files_.db(), Args());
    ASSERT_TRUE(bare.serving());
    tx::PutRequestMsg put;
    *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(999, "refused"));
    const grpc::Status status =
        TarnixClient(bare.channel()).Write(&tx::Tarnix::Stub::Put, kWriter, {put});
    EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
    EXPECT_EQ(status.error_message(), "No schema loaded");
    EXPECT_EQ(bare.Stop(), 0);
    const std::string out = bare.process().Stdout();
    EXPECT_EQ(Lines(out, damage.line), 1) << out;
    fs::remove(damaged);
    fs::copy_file(pristine_->path() + damaged.substr(dir_.path().size()), damaged);
  }

  ServingDaemon daemon(dir_.path(), files_.db(), Args());
  ASSERT_TRUE(daemon.serving());
  TarnixClient client(daemon.channel());
  ExpectDevices(&client, damage.outcome == Outcome::kRefused ? std::set<int>() : damage.lost,
                damage.outcome == Outcome::kDataLoss);
  ExpectNextTxnId(&client, damage.outcome == Outcome::kRepaired);
  EXPECT_EQ(daemon.Stop(), 0);
  const std::string out = daemon.process().Stdout();
  switch (damage.outcome) {
    case Outcome::kRepaired:
      EXPECT_GE(Lines(out, damage.line), 1) << out;
      break;
    case Outcome::kDataLoss:
      EXPECT_GE(Lines(out, damage.line), 1) << out;
      EXPECT_EQ(CountLogLines(out, "ERROR", "DRX0107", ""), 0) << out;
      break;
    case Outcome::kUnaffected:
    case Outcome::kRefused:
    case Outcome::kNoSchema:
      EXPECT_EQ(CountLogLines(out, "ERROR", "DRX0107", ""), 0) << out;
      EXPECT_EQ(CountLogLines(out, "ERROR", "DRX0104", ""), 0) << out;
      break;
  }
  for (const auto& file : damage.kept) {
    EXPECT_EQ(FileBytes(files_.db() + "/" + file.first), file.second) << file.first;
  }
}

INSTANTIATE_TEST_SUITE_P(DamagedFiles, DamagedFilesTest, ::testing::ValuesIn(Damages()),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace e2e
}  // namespace tarnix
