#include "tools/leveldb_load_target.h"

#include <stdlib.h>

#include <filesystem>

#include <leveldb/db.h>
#include <leveldb/write_batch.h>

#include "schema/record_key.h"
#include "schema/schema.h"
#include "schema/vdb_id_set.h"
#include "tools/load_objects.h"

namespace tarnix {
namespace load {
namespace {

constexpr char kPackagePrefix[] = "caldek.orv.tarnix";

class LevelDbLoadClient : public LoadClient {
 public:
  LevelDbLoadClient(const LoadOptions& options, LoadMode mode, leveldb::DB* db)
      // Schema caches lookups and is not thread-safe: one per client.
      : options_(options), mode_(mode), db_(db), schema_(options.schema_path, kPackagePrefix),
        main_vdb_suffix_(EncodeVdbIdSet({kMainVdbId})) {}

  void Prepare(const std::vector<uint64_t>& sequences) override {
    bodies_.clear();
    for (uint64_t sequence : sequences) {
      bodies_.push_back(LoadObjectBody(sequence, mode_ == LoadMode::kPut ? options_.body_bytes : 0));
    }
  }

  // Record keys are built here, not in Prepare: the daemon builds them
  // within the transaction too.
  bool Run(std::string* error) override {
    batch_.Clear();
    keys_.clear();
    for (const std::string& body : bodies_) {
      std::string key;
      if (!MakeObjectRecordKey(schema_, kLoadTypeName,
                               schema_.keys().GetKeyFromSerialized(kLoadTypeName, body), &key)) {
        *error = "no record key for an object";
        return false;
      }
      if (mode_ == LoadMode::kPut) {
        batch_.Put(key + main_vdb_suffix_, body);
      } else {
        keys_.push_back(std::move(key));
      }
    }
    if (mode_ == LoadMode::kPut) {
      leveldb::WriteOptions write;
      write.sync = options_.sync;
      const leveldb::Status status = db_->Write(write, &batch_);
      if (!status.ok()) *error = "write failed: " + status.ToString();
      return status.ok();
    }
    const leveldb::Snapshot* snapshot = db_->GetSnapshot();
    leveldb::ReadOptions read;
    read.snapshot = snapshot;
    std::unique_ptr<leveldb::Iterator> it(db_->NewIterator(read));
    size_t found = 0;
    for (const std::string& key : keys_) {
      // The object's records share the key up to the vdb suffix; take the
      // first one of the main vdb.
      for (it->Seek(key); it->Valid() && it->key().starts_with(key); it->Next()) {
        const leveldb::Slice suffix(it->key().data() + key.size(), it->key().size() - key.size());
        if (VdbSuffixContains(suffix.ToString(), kMainVdbId)) {
          value_.assign(it->value().data(), it->value().size());
          ++found;
          break;
        }
      }
    }
    const leveldb::Status status = it->status();
    it.reset();
    db_->ReleaseSnapshot(snapshot);
    if (!status.ok()) {
      *error = "read failed: " + status.ToString();
      return false;
    }
    return AllFound(found, keys_.size(), error);
  }

 private:
  const LoadOptions options_;
  const LoadMode mode_;
  leveldb::DB* const db_;
  Schema schema_;
  const std::string main_vdb_suffix_;
  leveldb::WriteBatch batch_;
  std::vector<std::string> keys_;
  std::vector<std::string> bodies_;  // of a Put; the key alone for a Get
  std::string value_;  // the last value read, copied out as a Get answer would
};

class LevelDbLoadTarget : public LoadTarget {
 public:
  LevelDbLoadTarget(const LoadOptions& options, std::string directory,
                    std::unique_ptr<leveldb::DB> db)
      : options_(options), directory_(std::move(directory)), db_(std::move(db)) {}

  ~LevelDbLoadTarget() override {
    db_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  std::unique_ptr<LoadClient> NewClient(LoadMode mode) override {
    return std::make_unique<LevelDbLoadClient>(options_, mode, db_.get());
  }

  // LevelDB has no monitors; the options refuse monitor runs against it.
  std::unique_ptr<LoadMonitor> NewMonitor() override { return nullptr; }

 private:
  const LoadOptions options_;
  const std::string directory_;
  std::unique_ptr<leveldb::DB> db_;
};

}  // namespace

std::unique_ptr<LoadTarget> NewLevelDbLoadTarget(const LoadOptions& options,
                                                 std::string* error) {
  {
    Schema schema(options.schema_path, kPackagePrefix);
    std::string prefix;
    if (!MakeObjectTypeKeyPrefix(schema, kLoadTypeName, &prefix)) {
      *error = "schema " + options.schema_path + " has no " + kLoadTypeName;
      return nullptr;
    }
  }
  std::string pattern = options.baseline_leveldb + "/tarnix-load-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    *error = "cannot make a directory under " + options.baseline_leveldb;
    return nullptr;
  }
  leveldb::Options open;
  open.create_if_missing = true;
  open.paranoid_checks = true;
  leveldb::DB* db = nullptr;
  const leveldb::Status status = leveldb::DB::Open(open, pattern + "/db", &db);
  if (!status.ok()) {
    *error = "cannot open LevelDB: " + status.ToString();
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return nullptr;
  }
  return std::make_unique<LevelDbLoadTarget>(options, pattern, std::unique_ptr<leveldb::DB>(db));
}

}  // namespace load
}  // namespace tarnix
