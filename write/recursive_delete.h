#ifndef TARNIX_WRITE_RECURSIVE_DELETE_H_
#define TARNIX_WRITE_RECURSIVE_DELETE_H_

#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/functional/hash.hpp>
#include <boost/unordered_map.hpp>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "util/status.h"
#include "schema/schema.h"
#include "schema/vdb_id_set.h"
#include "write/update_request.h"

namespace tarnix {

class DbAccess;
class RequestProcessor;

// One version of a child object: the vdbs where it is the newest, the
// parent keys its body names and, where known, the body. In `deleted` (a
// subset of `vdb_ids`) the stream has deleted it since: the walk still
// judges it there, as the stored state would, but a copy or patch finds
// nothing.
struct ChildRecord {
  VdbIdSet vdb_ids;
  ObjectKeys::ParentKeyMap parent_keys;
  ObjectBody body;
  VdbIdSet deleted;
};

// What the recursive deletes of one write stream know about child objects:
// per child type, its objects as the stream has left them so far: the
// stored records (read once, at the type's first visit) with the stream's
// operations on each object applied in order, as Build applies them, except
// that a deleted version keeps judging its vdbs. Create one per stream,
// before its first entry, and pass it to every recursive delete of it.
//
// The walk finds the objects to bring up to date among the processor's
// pending PUTs and COPYs (a delete changes no judgement); a PATCH is not
// there, so the stream notes each with NotePatched.
//
// The candidate pointers the walk keeps into the tables stay valid only
// while no object entry is erased; entries are therefore never erased.
class ChildRecordCache {
 public:
  using Versions = std::vector<ChildRecord>;
  using ObjectTable = boost::unordered_map<std::string, Versions>;  // id -> versions

  void NotePatched(const std::string& type, const std::string& id) { patched_[type].insert(id); }

 private:
  friend class RecursiveDelete;
  using IndexKey = std::pair<std::string, std::string>;  // (child type, parent type)
  // Parent key -> the objects of the child type naming it, in table order.
  using ParentIndex = boost::unordered_map<std::string, std::vector<ObjectTable::value_type*>>;

  boost::unordered_map<std::string, ObjectTable> types_;
  // The stored versions of the objects whose current versions were derived
  // from them and the stream's operations.
  boost::unordered_map<std::string, ObjectTable> stored_;
  // Objects patched since their type was last brought up to date.
  boost::unordered_map<std::string, std::set<std::string>> patched_;
  // Built on demand; dropped for a child type whose table changes.
  boost::unordered_map<IndexKey, ParentIndex, boost::hash<IndexKey>> indexes_;
};

// Adds to `processor` the deletes of every object below `type`/`id` by
// parent keys, in the vdbs `vdb_ids`, deepest first; each descendant is
// deleted in the vdbs where its whole chain up to `id` holds, judged by its
// current body in each vdb (a patched object by the patched body; a copy
// whose source vdb no longer holds the object adds nothing). The caller adds
// the object's own delete.
//
// PERMISSION_DENIED "<client> does not have write permission for <type>."
// for the first child type the client may not write, whether or not it has
// objects; a failed record scan gives its mapped storage status. Deletes
// added before a failure stay in the processor. An object already on the
// chain being walked (parent keys forming a cycle) is not walked again, and
// the walk uses no recursion, so any depth is safe.
Status CollectObjectsToDelete(const Schema& schema, DbAccess* db, const std::string& client_id,
                              const std::string& type, const std::string& id,
                              const VdbIdSet& vdb_ids,
                              const caldek::orv::tarnix::SpanContextMsg* span,
                              ChildRecordCache* cache, RequestProcessor* processor);

}  // namespace tarnix

#endif  // TARNIX_WRITE_RECURSIVE_DELETE_H_
