// Opening the database: the plain open, LevelDB's repair of a damaged
// database, and re-creation when the repair cannot help.

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/system/error_code.hpp>

#include "logging/logger.h"
#include "storage/db_access.h"
#include "storage/printable.h"

namespace tarnix {

namespace {

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
// cannot convert or a table it cannot read, moves the file into lost/ all
// the same and says so only here; this log keeps the first such line. Used
// by the repairing thread only.
class RepairLog : public leveldb::Logger {
 public:
  void Logv(const char* format, std::va_list ap) override {
    if (!first_error_.empty()) return;
    std::va_list copy;
    va_copy(copy, ap);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size <= 0) return;
    std::string line(static_cast<size_t>(size) + 1, '\0');
    std::vsnprintf(&line[0], line.size(), format, ap);
    line.resize(static_cast<size_t>(size));
    if (ReportsError(line)) {
      while (!line.empty() && line.back() == '\n') line.pop_back();
      first_error_ = line;
    }
  }
  // Empty while the repair has reported no error.
  const std::string& first_error() const { return first_error_; }

 private:
  // The repair's lines carry LevelDB's status text, and every failure's
  // text starts with one of these; a table key it cannot parse it reports
  // in words of its own.
  static bool ReportsError(const std::string& line) {
    static const char* const kFailures[] = {
        "Corruption: ",       "IO error: ",        "NotFound: ",
        "Not implemented: ", "Invalid argument: ", "unparsable key"};
    for (const char* failure : kFailures) {
      if (line.find(failure) != std::string::npos) return true;
    }
    return false;
  }

  std::string first_error_;
};

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

// The entries of a database directory that LevelDB or its repair made.
bool IsOwnEntry(const std::string& name) {
  return name == "." || name == ".." || name == "lost" || IsLevelDbFile(name);
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
    // The lock file stays: it holds no data.
    if (name == "." || name == ".." || name == "LOCK") continue;
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

// Repairs a damaged database, or re-creates it when the repair reports
// corruption, and opens it into `db`.
leveldb::Status Repair(leveldb::Env* env, const std::string& directory,
                       const leveldb::Options& options, leveldb::DB** db) {
  // LevelDB's repair takes no lock of its own; hold the database lock so
  // that a database in use by another process is never touched.
  leveldb::FileLock* lock = nullptr;
  leveldb::Status status = env->LockFile(directory + "/LOCK", &lock);
  if (!status.ok()) return status;
  const std::string lost = directory + "/lost";
  const bool had_lost = env->FileExists(lost);
  RepairLog repair_log;
  leveldb::Options repair_options = options;
  repair_options.info_log = &repair_log;
  status = leveldb::RepairDB(directory, repair_options);
  if (status.ok()) {
    env->UnlockFile(lock);
    // lost/ holds what the repair set aside; after an error that may be the
    // only copy of acknowledged records, and one left by an earlier repair
    // may be too.
    if (!repair_log.first_error().empty()) {
      TARNIX_LOG(orv::ERROR, nullptr,
                 "Database '%s' was repaired with errors (first: %s); the "
                 "files it set aside are kept in '%s'",
                 directory.c_str(), repair_log.first_error().c_str(),
                 lost.c_str());
    } else if (!had_lost) {
      RemoveDirectory(lost);
    }
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
  if (status.ok()) status = leveldb::DB::Open(options, directory, &db);
  // Only a damaged database is repaired; any other failure (lock held,
  // permissions, full disk, not a directory) is returned as it is.
  if (status.IsCorruption()) {
    TARNIX_LOG(orv::VERBOSE, nullptr,
               "Unable to open database '%s': %s, attempting to repair.",
               directory.c_str(), status.ToString().c_str());
    status = Repair(env_, directory, options, &db);
  }
  // The environment goes when the last holder of the database lets go.
  if (status.ok()) db_.reset(db, [env = log_env_](leveldb::DB* open) { delete open; });
  return ToStatus(status);
}

}  // namespace tarnix
