#include "storage/log_tail.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <boost/crc.hpp>

#include "storage/synced_file.h"

namespace tarnix {

namespace {

// LevelDB's log format: 32 KiB blocks of records, each a 7-byte header
// (checksum, 16-bit little-endian length, type) and its payload; a write
// too long for the rest of a block is split into FIRST, MIDDLE and LAST
// fragments. Fewer than 7 bytes at a block's end are zero padding.
constexpr size_t kBlockSize = 32768;
constexpr size_t kHeaderSize = 7;
enum RecordType { kZeroType = 0, kFullType = 1, kFirstType = 2,
                  kMiddleType = 3, kLastType = 4 };
// No record type of LevelDB's, nor one its reader uses internally.
constexpr unsigned char kDamagedType = 0xff;

// The header's checksum: CRC-32C of the type byte and the payload, masked.
uint32_t RecordChecksum(const unsigned char* type_and_payload, size_t n) {
  boost::crc_optimal<32, 0x1EDC6F41, 0xFFFFFFFF, 0xFFFFFFFF, true, true> crc;
  crc.process_bytes(type_and_payload, n);
  const uint32_t value = crc.checksum();
  return ((value >> 15) | (value << 17)) + 0xa282ead8u;
}

// The directory that holds the file at `path`.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

leveldb::Status ReadLogTail(leveldb::Env* env, const std::string& path,
                            LogTail* tail) {
  *tail = LogTail();
  leveldb::SequentialFile* raw = nullptr;
  leveldb::Status status = env->NewSequentialFile(path, &raw);
  if (!status.ok()) return status;
  std::unique_ptr<leveldb::SequentialFile> file(raw);
  std::vector<char> scratch(kBlockSize);
  uint64_t block_offset = 0;
  uint64_t write_start = 0;
  bool in_write = false;
  for (;;) {
    leveldb::Slice block;
    status = file->Read(kBlockSize, &block, scratch.data());
    if (!status.ok()) return status;
    const bool last_block = block.size() < kBlockSize;
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
    size_t pos = 0;
    while (pos + kHeaderSize <= block.size()) {
      const size_t length = bytes[pos + 4] | (bytes[pos + 5] << 8);
      const int type = bytes[pos + 6];
      // Preallocated space: the reader skips the rest of the block.
      if (type == kZeroType && length == 0) {
        pos = block.size();
        break;
      }
      if (pos + kHeaderSize + length > block.size()) {
        if (last_block) {
          tail->cut = true;
          tail->whole_end = in_write ? write_start : block_offset + pos;
          tail->size = block_offset + block.size();
        }
        return leveldb::Status::OK();
      }
      const uint64_t record_end = block_offset + pos + kHeaderSize + length;
      // A fragment out of order or an unknown type is damage, not a cut.
      const bool starts_write = type == kFullType || type == kFirstType;
      const bool continues_write = type == kMiddleType || type == kLastType;
      if (!(starts_write ? !in_write : continues_write && in_write)) {
        return leveldb::Status::OK();
      }
      if (type == kFirstType) write_start = block_offset + pos;
      in_write = type == kFirstType || type == kMiddleType;
      if (!in_write) tail->whole_end = record_end;
      pos += kHeaderSize + length;
    }
    if (!last_block) {
      block_offset += block.size();
      continue;
    }
    tail->size = block_offset + block.size();
    // A piece of a header, unless it is zeros, is the start of a write.
    bool partial_header = false;
    for (size_t i = pos; i < block.size(); ++i) {
      partial_header = partial_header || bytes[i] != 0;
    }
    if (in_write) {
      tail->cut = true;
      tail->whole_end = write_start;
    } else if (partial_header) {
      tail->cut = true;
      tail->whole_end = block_offset + pos;
    }
    return leveldb::Status::OK();
  }
}

leveldb::Status MarkDamagedLogRecords(leveldb::Env* env, const std::string& path,
                                      const std::string& original_copy, int* marked) {
  *marked = 0;
  std::string original;
  leveldb::Status status = leveldb::ReadFileToString(env, path, &original);
  if (!status.ok()) return status;
  std::string log = original;
  auto* bytes = reinterpret_cast<unsigned char*>(&log[0]);
  for (size_t block = 0; block < log.size(); block += kBlockSize) {
    const size_t end = std::min(log.size(), block + kBlockSize);
    size_t pos = block;
    while (pos + kHeaderSize <= end) {
      unsigned char* header = bytes + pos;
      const size_t length = header[4] | (header[5] << 8);
      if (header[6] == kZeroType && length == 0) break;
      if (pos + kHeaderSize + length > end) break;
      const uint32_t stored = header[0] | (header[1] << 8) | (header[2] << 16) |
                              (static_cast<uint32_t>(header[3]) << 24);
      if (RecordChecksum(header + 6, 1 + length) != stored) {
        header[6] = kDamagedType;
        ++*marked;
      }
      pos += kHeaderSize + length;
    }
  }
  if (*marked == 0) return leveldb::Status::OK();
  status = WriteFileSynced(env, original_copy, original);
  // The copy's name must be on disk before the original is overwritten: a
  // crash may not lose both.
  if (status.ok()) status = SyncDirectory(DirectoryOf(original_copy));
  if (!status.ok()) return status;
  // A name LevelDB gives its own temporary files, so that one left behind
  // is removed by the next open.
  const std::string temp = path.substr(0, path.size() - 4) + ".dbtmp";
  status = WriteFileSynced(env, temp, log);
  if (status.ok()) status = env->RenameFile(temp, path);
  if (status.ok()) return SyncDirectory(DirectoryOf(path));
  env->RemoveFile(temp);
  return status;
}

}  // namespace tarnix
