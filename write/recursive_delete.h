#ifndef TARNIX_WRITE_RECURSIVE_DELETE_H_
#define TARNIX_WRITE_RECURSIVE_DELETE_H_

#include <string>
#include <utility>
#include <vector>

#include <boost/functional/hash.hpp>
#include <boost/unordered_map.hpp>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "platform/rpc/status.h"
#include "schema/schema.h"
#include "schema/vdb_id_set.h"

namespace tarnix {

class DbAccess;
class RequestProcessor;

// One version of a child object: the vdbs holding it and the parent keys its
// body names.
struct ChildRecord {
  VdbIdSet vdb_ids;
  Schema::ParentKeyMap parent_keys;
};

// What the recursive deletes of one write stream know about child objects:
// per child type, the stored records (read once, at the type's first visit)
// followed by the versions that the stream's puts and copies add, newest
// last. Create one per stream and pass it to every recursive delete of it.
class ChildRecordCache {
 public:
  using Versions = std::vector<ChildRecord>;
  using ObjectTable = boost::unordered_map<std::string, Versions>;  // id -> versions

 private:
  friend class RecursiveDelete;
  using IndexKey = std::pair<std::string, std::string>;  // (child type, parent type)
  // Parent key -> the objects of the child type naming it, in table order.
  using ParentIndex = boost::unordered_map<std::string, std::vector<ObjectTable::value_type*>>;

  boost::unordered_map<std::string, ObjectTable> types_;
  // Built on demand; dropped for a child type whose table changes.
  boost::unordered_map<IndexKey, ParentIndex, boost::hash<IndexKey>> indexes_;
};

// Adds to `processor` the deletes of every object below `type`/`id` by
// parent keys, in the vdbs `vdb_ids`, deepest first; each descendant is
// deleted in the vdbs where its whole chain up to `id` holds, judged by its
// newest version in each vdb. The caller adds the object's own delete.
//
// PERMISSION_DENIED "<client> does not have write permission for <type>."
// for the first child type the client may not write, whether or not it has
// objects; a failed record scan gives its mapped storage status. Deletes
// added before a failure stay in the processor. An object already on the
// chain being walked (parent keys forming a cycle) is not walked again, and
// the walk uses no recursion, so any depth is safe.
orv::rpc::AppStatus CollectObjectsToDelete(const Schema& schema, DbAccess* db,
                                           const std::string& client_id,
                                           const std::string& type, const std::string& id,
                                           const VdbIdSet& vdb_ids,
                                           const caldek::orv::tarnix::SpanContextMsg* span,
                                           ChildRecordCache* cache,
                                           RequestProcessor* processor);

}  // namespace tarnix

#endif  // TARNIX_WRITE_RECURSIVE_DELETE_H_
