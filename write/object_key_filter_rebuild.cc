#include "write/object_key_filter_rebuild.h"

#include <utility>

#include "logging/logger.h"
#include "storage/key_space.h"

namespace tarnix {

namespace {

// Keys scanned between two looks at the stop flag.
constexpr size_t kKeysPerStopCheck = 256;

}  // namespace

ObjectKeyFilterRebuild::~ObjectKeyFilterRebuild() { Stop(); }

void ObjectKeyFilterRebuild::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true, std::memory_order_relaxed);
  thread_.join();
  iterator_.reset();
  fresh_.reset();
  filter_->DropJournal();
}

void ObjectKeyFilterRebuild::StartIfWanted(DbAccess* db) {
  if (running() || !filter_->wants_rebuild()) return;
  iterator_ = db->NewIterator();
  if (!iterator_) return;
  fresh_ = std::make_unique<ObjectKeyFilter>(filter_->deleted_bound());
  scan_status_ = DbAccessStatus();
  done_.store(false, std::memory_order_relaxed);
  stop_.store(false, std::memory_order_relaxed);
  // What the loop adds and removes from the snapshot on.
  filter_->StartJournal();
  TARNIX_LOG(orv::INFO, nullptr, "Object key filter: rebuilding from a scan of the database");
  thread_ = std::thread([this] { Scan(); });
}

void ObjectKeyFilterRebuild::Scan() {
  DbAccess::IteratorImpl& it = *iterator_;
  bool all_keys = true;
  bool stopped = false;
  size_t scanned = 0;
  for (it.Seek(kObjectPrefix); it.Valid(); it.Next()) {
    if (++scanned % kKeysPerStopCheck == 0 && stop_.load(std::memory_order_relaxed)) {
      stopped = true;
      break;
    }
    const leveldb::Slice key = it.key_view();
    const std::string_view record_key(key.data(), key.size());
    if (record_key.compare(0, kObjectPrefix.size(), kObjectPrefix) != 0) break;
    if (!fresh_->AddRecordKey(record_key)) all_keys = false;
  }
  scan_status_ = stopped ? DbAccessStatus(DbAccessCode::OTHER_ERROR, "stopped") : it.status();
  // As at start-up: a key that is no object's leaves the filter unable to
  // say no but for the deleted keys.
  if (scan_status_.ok() && all_keys) fresh_->Enable();
  done_.store(true, std::memory_order_release);
}

void ObjectKeyFilterRebuild::Poll() {
  if (!running() || !done_.load(std::memory_order_acquire)) return;
  thread_.join();
  iterator_.reset();
  if (!scan_status_.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "Object key filter: rebuild failed: %s",
               scan_status_.message.c_str());
    filter_->DropJournal();
  } else if (!filter_->Adopt(fresh_.get())) {
    TARNIX_LOG(orv::INFO, nullptr,
               "Object key filter: rebuild dropped, too many writes while it ran");
  }
  fresh_.reset();
}

}  // namespace tarnix
