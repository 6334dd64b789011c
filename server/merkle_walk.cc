#include "server/merkle_walk.h"

#include <algorithm>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "schema/varint.h"
#include "schema/wire_format.h"
#include "server/merkle_tree.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

Status MerkleWalk::CheckBlockRanges(const tx::MerkleTreeBlockRangesMsg& ranges) {
  uint32_t count = MerkleTree::kLeafCount;
  if (ranges.has_num_blocks()) {
    count = ranges.num_blocks();
    if (count == 0 || count > MerkleTree::kLeafCount) {
      return Status::InvalidArgument("Merkle block count " + std::to_string(count) +
                                     " is not in 1.." + std::to_string(MerkleTree::kLeafCount));
    }
  }
  const std::pair<bool, const tx::MerkleTreeBlockRangeMsg*> ranges_by_frequency[] = {
      {ranges.has_low_frequency_range(), &ranges.low_frequency_range()},
      {ranges.has_medium_frequency_range(), &ranges.medium_frequency_range()},
      {ranges.has_high_frequency_range(), &ranges.high_frequency_range()},
  };
  for (const auto& entry : ranges_by_frequency) {
    if (!entry.first) continue;
    const uint32_t first = std::max(entry.second->first_block(), 1u);
    const uint32_t last = std::min(entry.second->last_block(), count);
    if (first > last) {
      return Status::InvalidArgument(
          "Merkle block range " + std::to_string(entry.second->first_block()) + ".." +
          std::to_string(entry.second->last_block()) + " holds no block of 1.." +
          std::to_string(count));
    }
  }
  return Status::OK();
}

MerkleWalk::MerkleWalk(const Schema& schema, DbAccess* db, const std::string& client_id,
                       VdbId vdb, BlockRanges ranges, bool sort_fields)
    : schema_(schema),
      vdb_(vdb),
      ranges_(std::move(ranges)),
      iterator_(db->NewIterator()),
      states_(MerkleTree::kLeafCount) {
  // Every type the client may write, once: HasWritePermission reads "all"
  // as every type.
  for (const auto& entry : schema.types().GetObjectTypeNames()) {
    if (!schema.permissions().HasWritePermission(client_id, entry.second)) continue;
    types_.push_back({entry.first, entry.second,
                      sort_fields && schema.types().HasSortRepeatedFields(entry.second)});
  }
  std::sort(types_.begin(), types_.end(),
            [](const Type& a, const Type& b) { return a.id < b.id; });
  if (!iterator_) {
    End(DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, "no open database").ToStatus());
  }
}

MerkleWalk::~MerkleWalk() = default;

bool MerkleWalk::Step(size_t max_records) {
  size_t visited = 0;
  while (!done_) {
    if (!positioned_) {
      if (next_type_ == types_.size()) {
        End(Status::OK());
        break;
      }
      prefix_ = MakeObjectTypeKeyPrefix(types_[next_type_++].id);
      iterator_->Seek(prefix_);
      positioned_ = true;
    }
    if (!iterator_->Valid()) {
      const DbAccessStatus read = iterator_->status();
      if (!read.ok()) {
        End(read.ToStatus());
        break;
      }
      positioned_ = false;
      continue;
    }
    if (visited == max_records) return false;
    key_ = iterator_->key();
    if (key_.compare(0, prefix_.size(), prefix_) != 0) {
      positioned_ = false;
      continue;
    }
    HashRecord(types_[next_type_ - 1]);
    ++visited;
    ++records_;
    iterator_->Next();
  }
  return true;
}

void MerkleWalk::HashRecord(const Type& type) {
  // The type id is the prefix; after it come the id's length, the id and
  // the vdb suffix. A key that does not split so is skipped, with the ERROR
  // line of TryDecodeObjectRecordKey.
  const size_t start = prefix_.size();
  uint64_t id_length = 0;
  const size_t used = DecodeVarint64(key_.data() + start, key_.size() - start, &id_length);
  if (used == 0 || id_length > key_.size() - start - used) {
    TryDecodeObjectRecordKey(schema_, key_, &type_name_, &id_, &suffix_);
    return;
  }
  id_.assign(key_, start + used, static_cast<size_t>(id_length));
  suffix_.assign(key_, start + used + static_cast<size_t>(id_length), std::string::npos);
  // An empty suffix names no vdb here: such records enter no tree.
  if (suffix_.empty() || !VdbSuffixContains(suffix_, vdb_)) return;
  const uint32_t block = schema_.types().ComputeBlockId(type.name, id_, ranges_);
  if (block == 0 || block > MerkleTree::kLeafCount) return;
  std::unique_ptr<blake2b_state>& state = states_[block - 1];
  if (!state) {
    state.reset(new blake2b_state);
    blake2b_init(state.get(), MerkleTree::kHashBytes);
  }
  std::string value = iterator_->value();
  size_t skip = !value.empty() && value[0] == '\0' ? 1 : 0;
  if (type.sorted) {
    value = SortSerializedFields(value.substr(skip));
    skip = 0;
  }
  blake2b_update(state.get(), reinterpret_cast<const uint8_t*>(value.data()) + skip,
                 value.size() - skip);
}

void MerkleWalk::End(Status status) {
  done_ = true;
  status_ = std::move(status);
  iterator_.reset();
}

void MerkleWalk::FillLeaves(MerkleTree* tree) {
  for (uint32_t i = 0; i < MerkleTree::kLeafCount; ++i) {
    if (!states_[i]) continue;
    MerkleTree::Hash hash;
    blake2b_final(states_[i].get(), hash.data(), MerkleTree::kHashBytes);
    tree->SetLeaf(i + 1, hash);
    states_[i].reset();
  }
}

}  // namespace tarnix
