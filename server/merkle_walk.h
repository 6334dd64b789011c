#ifndef TARNIX_SERVER_MERKLE_WALK_H_
#define TARNIX_SERVER_MERKLE_WALK_H_

#include <blake2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "schema/vdb_id_set.h"
#include "storage/db_access.h"
#include "util/status.h"

namespace caldek {
namespace orv {
namespace tarnix {
class MerkleTreeBlockRangesMsg;
}  // namespace tarnix
}  // namespace orv
}  // namespace caldek

namespace tarnix {

class MerkleTree;
class Schema;

// Hashes the objects of one vdb into Merkle leaves, one BLAKE2b-16 state per
// block (SchemaTypes::ComputeBlockId), on one snapshot taken when the walk is
// made. Walked are the object types the client may write ("all" stands for
// every type, each walked once) in ascending order of type id, the records
// of a type in key order. A record adds its body (its value without a
// leading 0x00 byte; with `sort_fields`, for the types that ask for it, with
// its top-level fields sorted as SortSerializedFields sorts them) to its
// block's state. Records whose key does not decode (one ERROR line each),
// whose vdb suffix is empty or does not hold the vdb add nothing.
//
// The walk goes in steps of a bounded number of records, so that the caller
// can serve others between steps; writes that land meanwhile are not seen.
class MerkleWalk {
 public:
  using BlockRanges =
      std::shared_ptr<const caldek::orv::tarnix::MerkleTreeBlockRangesMsg>;

  // OK when every block the ranges can give lies in 1..MerkleTree::kLeafCount;
  // INVALID_ARGUMENT for a block count of 0 or above that, or for a range of
  // no block (its first block, 0 counting as 1, past its last or past the
  // count).
  static Status CheckBlockRanges(const caldek::orv::tarnix::MerkleTreeBlockRangesMsg& ranges);

  // `schema` and `db` must outlive the walk; `ranges` (may be empty) must
  // have passed CheckBlockRanges.
  MerkleWalk(const Schema& schema, DbAccess* db, const std::string& client_id, VdbId vdb,
             BlockRanges ranges, bool sort_fields);
  ~MerkleWalk();
  MerkleWalk(const MerkleWalk&) = delete;
  MerkleWalk& operator=(const MerkleWalk&) = delete;

  // Hashes at most `max_records` more records of the vdb's types (records
  // that are skipped count too); true once the walk has ended, by reaching
  // the end or by a read failure (see status()). The snapshot is released
  // when the walk ends.
  bool Step(size_t max_records);
  bool done() const { return done_; }
  // OK, or the storage failure that ended the walk.
  const Status& status() const { return status_; }
  // Records visited so far.
  uint64_t records() const { return records_; }

  // Sets the leaf of every block that got a record. Call once, after the
  // walk has ended with OK.
  void FillLeaves(MerkleTree* tree);

 private:
  struct Type {
    int32_t id;
    std::string name;
    bool sorted;
  };

  // Adds the record under the iterator to its block.
  void HashRecord(const Type& type);
  // Releases the iterator and its snapshot.
  void End(Status status);

  const Schema& schema_;
  const VdbId vdb_;
  const BlockRanges ranges_;
  std::vector<Type> types_;
  boost::shared_ptr<DbAccess::IteratorImpl> iterator_;
  size_t next_type_ = 0;  // the type to seek next, or the one being walked + 1
  bool positioned_ = false;
  std::string prefix_;
  // Block - 1 -> its state; null until the block's first record.
  std::vector<std::unique_ptr<blake2b_state>> states_;
  uint64_t records_ = 0;
  bool done_ = false;
  Status status_;
  // Reused across records.
  std::string key_, type_name_, id_, suffix_, value_;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_MERKLE_WALK_H_
