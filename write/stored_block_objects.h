#ifndef TARNIX_WRITE_STORED_BLOCK_OBJECTS_H_
#define TARNIX_WRITE_STORED_BLOCK_OBJECTS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "util/status.h"

namespace tarnix {

class DbAccess;
class Schema;

// The stored objects of some Merkle blocks, among the types of a list under
// one set of block ranges, as FlushByBlockId removes them. The blocks
// foreseen before a read are read together: one scan of the types computes
// each object's block once, however many blocks are asked for.
//
// `schema` is not owned and must outlive this object. Not thread-safe.
class StoredBlockObjects {
 public:
  using BlockRanges = std::shared_ptr<const caldek::orv::tarnix::MerkleTreeBlockRangesMsg>;

  // One stored object: its type, an index into type_names(), and its id.
  struct Object {
    uint32_t type;
    std::string id;
  };

  // The types are given by their encoded ids, in the order they are read;
  // "" covers every type.
  StoredBlockObjects(const Schema* schema, std::vector<std::string> encoded_type_ids,
                     BlockRanges ranges);
  StoredBlockObjects(const StoredBlockObjects&) = delete;
  StoredBlockObjects& operator=(const StoredBlockObjects&) = delete;

  // Whether this reads the same types under equal ranges.
  bool Reads(const std::vector<std::string>& encoded_type_ids, const BlockRanges& ranges) const;
  // Has `block` read by the next read.
  void Foresee(uint32_t block);
  // Sets *objects to the stored objects of `block`, each once, in key order
  // of the types as listed. When the block was not read yet, reads it, with
  // every block foreseen since the last read, on a fresh snapshot of `db`.
  // Stored records of a type the schema does not know are skipped: they
  // have no block. A failed read is returned, with *objects empty.
  Status Get(DbAccess* db, uint32_t block, const std::vector<Object>** objects);

  const std::string& type_name(uint32_t type) const { return type_names_[type]; }
  const BlockRanges& ranges() const { return ranges_; }

 private:
  Status Read(DbAccess* db);

  const Schema* const schema_;
  const std::vector<std::string> encoded_type_ids_;
  const BlockRanges ranges_;
  std::unordered_set<uint32_t> foreseen_;  // to be read
  std::unordered_set<uint32_t> read_;
  std::unordered_map<uint32_t, std::vector<Object>> objects_;  // of the blocks read
  std::vector<std::string> type_names_;
  const std::vector<Object> none_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_STORED_BLOCK_OBJECTS_H_
