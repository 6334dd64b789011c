// Opening the database: the plain open, LevelDB's repair of a damaged
// database, and re-creation when the repair cannot help.

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/system/error_code.hpp>

#include "logging/logger.h"
#include "storage/db_access.h"
#include "storage/log_tail.h"
#include "storage/printable.h"
#include "storage/synced_file.h"

namespace tarnix {

namespace {

// Start-up lost or may have lost stored records.
const char kDataLost[] = "errorCode:DRX0107";

// Shared by every open database and never freed: LevelDB may still use it
// while the process exits.
leveldb::Logger* NoOpInfoLog() {
  static leveldb::Logger* const logger = new NoOpLogger;
  return logger;
}

bool AllDigits(const std::string& s, size_t begin, size_t end) {
  if (begin >= end) return false;
  for (size_t i = begin; i < end; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

bool HasNumberedSuffix(const std::string& name, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return name.size() > n &&
         name.compare(name.size() - n, n, suffix) == 0 &&
         AllDigits(name, 0, name.size() - n);
}

// Table and log files hold the data of a database.
bool IsDataFile(const std::string& name) {
  return HasNumberedSuffix(name, ".ldb") || HasNumberedSuffix(name, ".sst") ||
         HasNumberedSuffix(name, ".log");
}

// Every file LevelDB (and its repair) creates in a database directory.
bool IsLevelDbFile(const std::string& name) {
  static const char* const kFixed[] = {"CURRENT", "LOCK", "LOG", "LOG.old"};
  for (const char* fixed : kFixed) {
    if (name == fixed) return true;
  }
  if (name.compare(0, 9, "MANIFEST-") == 0 &&
      AllDigits(name, 9, name.size())) {
    return true;
  }
  return IsDataFile(name) || HasNumberedSuffix(name, ".dbtmp");
}

// The information log of one repair. The repair goes on past a log file it
// cannot convert, log records it cannot read and a table it cannot read,
// and says so only here, as it does for every file it moves into lost/.
// Used by the repairing thread only.
class RepairLog : public leveldb::Logger {
 public:
  void Logv(const char* format, std::va_list ap) override {
    std::va_list copy;
    va_copy(copy, ap);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size <= 0) return;
    std::string line(static_cast<size_t>(size) + 1, '\0');
    std::vsnprintf(&line[0], line.size(), format, ap);
    line.resize(static_cast<size_t>(size));
    while (!line.empty() && line.back() == '\n') line.pop_back();
    std::string name;
    if (IsSetAside(line, &name)) {
      set_aside_.push_back(name);
    } else if (ReportsProblem(line)) {
      problems_.push_back(line);
    }
  }

  // The repair's lines about what it could not use or dropped, in order.
  const std::vector<std::string>& problems() const { return problems_; }
  // Names of the files the repair moved into lost/, in order.
  const std::vector<std::string>& set_aside() const { return set_aside_; }

 private:
  // "Archiving <path>: OK": the file is now in lost/. A failed move names
  // its status and counts as a problem.
  static bool IsSetAside(const std::string& line, std::string* name) {
    static const char kPrefix[] = "Archiving ";
    static const char kMoved[] = ": OK";
    const size_t prefix = sizeof(kPrefix) - 1;
    const size_t moved = sizeof(kMoved) - 1;
    if (line.size() <= prefix + moved ||
        line.compare(0, prefix, kPrefix) != 0 ||
        line.compare(line.size() - moved, moved, kMoved) != 0) {
      return false;
    }
    const std::string path = line.substr(prefix, line.size() - prefix - moved);
    const size_t slash = path.rfind('/');
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    return true;
  }

  // The repair's lines carry LevelDB's status text, and every failure's
  // text starts with one of these; what it skips it reports in words of its
  // own.
  static bool ReportsProblem(const std::string& line) {
    static const char* const kProblems[] = {
        "Corruption: ",       "IO error: ",        "NotFound: ",
        "Not implemented: ", "Invalid argument: ", "unparsable key",
        "dropping",           "dropped",           "ignoring"};
    for (const char* problem : kProblems) {
      if (line.find(problem) != std::string::npos) return true;
    }
    return false;
  }

  std::vector<std::string> problems_;
  std::vector<std::string> set_aside_;
};

// Findings of one repair logged one per line; a badly damaged log yields
// many, the rest are counted.
constexpr size_t kMaxProblemLines = 20;

// A repair that LevelDB counts as a success may still have dropped tables
// and writes; say why it ran, what it reported and where lost/ is.
void LogRepair(const std::string& directory, const leveldb::Status& cause,
               const RepairLog& repair_log, const std::string& lost) {
  TARNIX_LOG(orv::ERROR, kDataLost,
             "Database '%s' could not be opened and was repaired; records "
             "may have been lost. Cause: %s",
             directory.c_str(), cause.ToString().c_str());
  const std::vector<std::string>& problems = repair_log.problems();
  for (size_t i = 0; i < problems.size() && i < kMaxProblemLines; ++i) {
    TARNIX_LOG(orv::ERROR, kDataLost, "Repair of database '%s': %s",
               directory.c_str(), problems[i].c_str());
  }
  if (problems.size() > kMaxProblemLines) {
    TARNIX_LOG(orv::ERROR, kDataLost,
               "Repair of database '%s': %zu more problems not shown",
               directory.c_str(), problems.size() - kMaxProblemLines);
  }
  if (!problems.empty()) {
    TARNIX_LOG(orv::ERROR, kDataLost,
               "Database '%s' was repaired with errors (first: %s); the "
               "files it set aside are kept in '%s'",
               directory.c_str(), problems.front().c_str(), lost.c_str());
  }
  std::string names;
  for (const std::string& name : repair_log.set_aside()) {
    if (!names.empty()) names += ", ";
    names += Printable(name);
  }
  TARNIX_LOG(orv::ERROR, kDataLost,
             "Files set aside by the repair of database '%s' are kept in "
             "'%s': %s",
             directory.c_str(), lost.c_str(),
             names.empty() ? "none" : names.c_str());
}

// `path`, or `path`.N with the first N for which no file exists: an
// earlier copy of the same log stays.
std::string FreeName(leveldb::Env* env, const std::string& path) {
  std::string name = path;
  for (int n = 1; env->FileExists(name); ++n) name = path + "." + std::to_string(n);
  return name;
}

// Marks the damaged records of every write-ahead log in `directory` so
// that the repair drops them, and says which logs held some.
void MarkDamagedLogs(leveldb::Env* env, const std::string& directory) {
  std::vector<std::string> children;
  if (!env->GetChildren(directory, &children).ok()) return;
  for (const std::string& name : children) {
    if (!HasNumberedSuffix(name, ".log")) continue;
    const std::string path = directory + "/" + name;
    const std::string lost = directory + "/lost";
    env->CreateDir(lost);  // may exist already
    // lost/ must outlast a crash as the copy in it must; a failure shows
    // in the syncs of the copy and the log.
    SyncDirectory(directory);
    // The repair moves the marked log to lost/<name> itself.
    const std::string original = FreeName(env, lost + "/" + name + ".original");
    int marked = 0;
    const leveldb::Status status = MarkDamagedLogRecords(env, path, original, &marked);
    if (!status.ok()) {
      TARNIX_LOG(orv::ERROR, kDataLost,
                 "Checking the records of write-ahead log '%s' failed: %s; the "
                 "repair may keep damaged writes",
                 path.c_str(), status.ToString().c_str());
    } else if (marked > 0) {
      TARNIX_LOG(orv::ERROR, kDataLost,
                 "Write-ahead log '%s' holds %d records whose checksum does not "
                 "match; the repair drops them. The log as it was is kept in '%s'",
                 path.c_str(), marked, original.c_str());
    }
  }
}

// Writes the bytes of `from` past `offset` to a new file `to`, synced.
leveldb::Status CopyTail(leveldb::Env* env, const std::string& from, uint64_t offset,
                         const std::string& to) {
  leveldb::SequentialFile* in = nullptr;
  leveldb::Status status = env->NewSequentialFile(from, &in);
  if (!status.ok()) return status;
  std::unique_ptr<leveldb::SequentialFile> input(in);
  status = input->Skip(offset);
  if (!status.ok()) return status;
  leveldb::WritableFile* out = nullptr;
  status = env->NewWritableFile(to, &out);
  if (!status.ok()) return status;
  std::unique_ptr<leveldb::WritableFile> output(out);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    leveldb::Slice chunk;
    status = input->Read(buffer.size(), &chunk, buffer.data());
    if (!status.ok() || chunk.empty()) break;
    status = output->Append(chunk);
    if (!status.ok()) break;
  }
  if (status.ok()) status = output->Sync();
  if (status.ok()) status = output->Close();
  if (!status.ok()) env->RemoveFile(to);
  return status;
}

// Keeps in lost/ what the open drops of the cut log `name`: its bytes from
// where the cut write begins, as "<name>.tail-<offset>". A copy of the whole
// log would take the room that the open needs for the table it makes of the
// rest, on a disk that was just full. A start that failed after keeping the
// tail finds it there again. Returns the path, and the error if the bytes
// could not be kept.
leveldb::Status KeepCutTail(leveldb::Env* env, const std::string& directory,
                            const std::string& name, const LogTail& tail, std::string* kept) {
  const std::string lost = directory + "/lost";
  env->CreateDir(lost);  // may exist already
  const std::string path = lost + "/" + name + ".tail-" + std::to_string(tail.whole_end);
  const uint64_t bytes = tail.size - tail.whole_end;
  uint64_t size = 0;
  if (env->GetFileSize(path, &size).ok() && size == bytes) {
    *kept = path;
    return leveldb::Status::OK();
  }
  *kept = FreeName(env, path);
  leveldb::Status status = CopyTail(env, directory + "/" + name, tail.whole_end, *kept);
  // The file's name must outlast a crash as its bytes do.
  if (status.ok()) status = SyncDirectory(lost);
  if (status.ok()) status = SyncDirectory(directory);
  return status;
}

// LevelDB's recovery drops the last write of a write-ahead log that ends
// inside it and says nothing, and then deletes the log. Such a log lost its
// tail; keep what the open drops in lost/ and log what is gone. Runs under
// the database lock; a database in use elsewhere is not read (its open fails
// anyway). True when some log was cut.
bool KeepCutLogs(leveldb::Env* env, const std::string& directory) {
  std::vector<std::string> children;
  if (!env->GetChildren(directory, &children).ok()) return false;
  std::vector<std::string> logs;
  for (const std::string& name : children) {
    if (HasNumberedSuffix(name, ".log")) logs.push_back(name);
  }
  if (logs.empty()) return false;
  leveldb::FileLock* lock = nullptr;
  if (!env->LockFile(directory + "/LOCK", &lock).ok()) return false;
  bool cut = false;
  for (const std::string& name : logs) {
    const std::string path = directory + "/" + name;
    LogTail tail;
    if (!ReadLogTail(env, path, &tail).ok() || !tail.cut) continue;
    cut = true;
    std::string kept;
    const leveldb::Status status = KeepCutTail(env, directory, name, tail, &kept);
    TARNIX_LOG(orv::ERROR, kDataLost,
               "Write-ahead log '%s' ends inside a write: opening the "
               "database drops its last %llu of %llu bytes, and what the log "
               "held after the cut is gone. %s from offset %llu %s '%s'%s%s",
               path.c_str(),
               static_cast<unsigned long long>(tail.size - tail.whole_end),
               static_cast<unsigned long long>(tail.size),
               status.ok() ? "The dropped bytes" : "Keeping the dropped bytes",
               static_cast<unsigned long long>(tail.whole_end),
               status.ok() ? "are kept in" : "in", kept.c_str(),
               status.ok() ? "" : " failed: ", status.ok() ? "" : status.ToString().c_str());
  }
  env->UnlockFile(lock);
  return cut;
}

leveldb::Options MakeOptions(leveldb::Env* env) {
  leveldb::Options options;
  options.create_if_missing = true;
  options.paranoid_checks = true;
  options.info_log = NoOpInfoLog();
  options.env = env;
  return options;
}

void RemoveDirectory(const std::string& path) {
  boost::system::error_code error;
  boost::filesystem::remove_all(path, error);
  if (error) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0008", "Delete '%s' failed with %s",
               path.c_str(), error.message().c_str());
  }
}

// The entries of a database directory that LevelDB or its repair made, and
// the files the daemon keeps beside them.
bool IsOwnEntry(const std::string& name) {
  return name == "." || name == ".." || name == "lost" || name == DbAccess::kTxnIdBoundFile ||
         name == DbAccess::kTxnIdBoundTempFile || IsLevelDbFile(name);
}

// A directory without CURRENT holds no database LevelDB can open. Table or
// log files there are a damaged one (Corruption): opening it with
// create_if_missing would start an empty database over the data. Anything
// LevelDB did not make means the directory is not ours (InvalidArgument):
// a repair would move its numbered files and a new database would settle
// beside them. A missing directory is fine; LevelDB creates it.
leveldb::Status CheckWithoutCurrent(leveldb::Env* env,
                                    const std::string& directory) {
  std::vector<std::string> children;
  if (!env->GetChildren(directory, &children).ok()) {
    return leveldb::Status::OK();
  }
  for (const std::string& name : children) {
    if (name == "CURRENT") return leveldb::Status::OK();
  }
  bool has_data = false;
  for (const std::string& name : children) {
    if (!IsOwnEntry(name)) {
      TARNIX_LOG(orv::ERROR, nullptr,
                 "Database directory '%s' has no CURRENT and holds '%s', "
                 "which LevelDB did not create; no database is repaired or "
                 "created there",
                 directory.c_str(), Printable(name).c_str());
      return leveldb::Status::InvalidArgument(
          directory, "has no CURRENT and holds files that are not LevelDB's");
    }
    has_data = has_data || IsDataFile(name);
  }
  if (has_data) {
    return leveldb::Status::Corruption("CURRENT is missing", directory);
  }
  return leveldb::Status::OK();
}

leveldb::Status Recreate(leveldb::Env* env, const std::string& directory,
                         const leveldb::Status& repair_status) {
  std::vector<std::string> children;
  leveldb::Status status = env->GetChildren(directory, &children);
  if (!status.ok()) return status;
  for (const std::string& name : children) {
    if (IsOwnEntry(name)) continue;
    TARNIX_LOG(orv::ERROR, nullptr,
               "Database directory '%s' holds '%s', which LevelDB did not "
               "create; it is not re-created",
               directory.c_str(), Printable(name).c_str());
    return leveldb::Status::Corruption(
        repair_status.ToString(),
        "directory holds files that are not LevelDB's: " + directory);
  }
  for (const std::string& name : children) {
    // The lock file stays: it holds no data. So does the bound of the
    // transaction ids: the new database must not give them again.
    if (name == "." || name == ".." || name == "LOCK" || name == DbAccess::kTxnIdBoundFile) {
      continue;
    }
    const std::string path = directory + "/" + name;
    if (name == "lost") {
      RemoveDirectory(path);
      continue;
    }
    leveldb::Status removed = env->RemoveFile(path);
    if (!removed.ok()) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0008", "Delete '%s' failed with %s",
                 path.c_str(), removed.ToString().c_str());
    }
  }
  return leveldb::Status::OK();
}

// Repairs a database that failed to open with `cause`, or re-creates it
// when the repair reports corruption, and opens it into `db`.
leveldb::Status Repair(leveldb::Env* env, const std::string& directory,
                       const leveldb::Options& options,
                       const leveldb::Status& cause, leveldb::DB** db) {
  // LevelDB's repair takes no lock of its own; hold the database lock so
  // that a database in use by another process is never touched.
  leveldb::FileLock* lock = nullptr;
  leveldb::Status status = env->LockFile(directory + "/LOCK", &lock);
  if (!status.ok()) return status;
  const std::string lost = directory + "/lost";
  MarkDamagedLogs(env, directory);
  RepairLog repair_log;
  leveldb::Options repair_options = options;
  repair_options.info_log = &repair_log;
  status = leveldb::RepairDB(directory, repair_options);
  if (status.ok()) {
    env->UnlockFile(lock);
    // lost/ stays: what the repair set aside may be the only copy of
    // acknowledged records, and so may what an earlier repair left there.
    LogRepair(directory, cause, repair_log, lost);
    status = leveldb::DB::Open(options, directory, db);
    if (!status.ok()) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0106",
                 "leveldb::DB::Open() failed to open database after "
                 "successful repair '%s': %s",
                 directory.c_str(), status.ToString().c_str());
    }
    return status;
  }
  // The repair skips whatever it cannot read and fails only on a disk or
  // file-system error; the data is still there for a later start.
  if (!status.IsCorruption()) {
    env->UnlockFile(lock);
    TARNIX_LOG(orv::ERROR, nullptr,
               "leveldb::RepairDB() failed on database '%s': %s; it is left "
               "as it is",
               directory.c_str(), status.ToString().c_str());
    return status;
  }
  TARNIX_LOG(orv::VERBOSE, nullptr,
             "Unable to repair database '%s': %s, attempting to clean and "
             "create from scratch.",
             directory.c_str(), status.ToString().c_str());
  status = Recreate(env, directory, status);
  env->UnlockFile(lock);
  if (status.ok()) status = leveldb::DB::Open(options, directory, db);
  if (!status.ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0105",
               "leveldb::RepairDB failed and follow-on leveldb::DB::Open() "
               "also failed to open database '%s': %s",
               directory.c_str(), status.ToString().c_str());
  }
  return status;
}

}  // namespace

DbAccessStatus DbAccess::Open(const std::string& directory) {
  const leveldb::Options options = MakeOptions(env_);
  leveldb::DB* db = nullptr;
  leveldb::Status status = CheckWithoutCurrent(env_, directory);
  lost_data_at_open_ = false;
  if (status.ok()) {
    lost_data_at_open_ = KeepCutLogs(env_, directory);
    status = leveldb::DB::Open(options, directory, &db);
  }
  // Only a damaged database is repaired; any other failure (lock held,
  // permissions, full disk, not a directory) is returned as it is.
  if (status.IsCorruption()) {
    TARNIX_LOG(orv::VERBOSE, nullptr,
               "Unable to open database '%s': %s, attempting to repair.",
               directory.c_str(), status.ToString().c_str());
    status = Repair(env_, directory, options, status, &db);
    lost_data_at_open_ = true;
  }
  // The environment goes when the last holder of the database lets go.
  if (status.ok()) {
    db_.reset(db, [env = log_env_](leveldb::DB* open) { delete open; });
    directory_ = directory;
  }
  return ToStatus(status);
}

}  // namespace tarnix
