#include "write/recursive_delete.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <set>
#include <tuple>

#include "schema/record_key.h"
#include "storage/db_access.h"
#include "write/patch_application.h"
#include "write/request_processor.h"
#include "write/shared_string.h"

namespace tarnix {

namespace {

VdbIdSet Intersect(const VdbIdSet& a, const VdbIdSet& b) {
  VdbIdSet out;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
  return out;
}

// Another version now decides in `vdbs`.
void Supersede(const VdbIdSet& vdbs, ChildRecordCache::Versions* versions) {
  for (ChildRecord& version : *versions) {
    EraseVdbIds(vdbs, &version.vdb_ids);
    EraseVdbIds(vdbs, &version.deleted);
  }
}

}  // namespace

// The walk's steps over one cache; see CollectObjectsToDelete.
class RecursiveDelete {
 public:
  RecursiveDelete(const Schema& schema, DbAccess* db, const std::string& client_id,
                  const caldek::orv::tarnix::SpanContextMsg* span, ChildRecordCache* cache,
                  RequestProcessor* processor)
      : schema_(schema),
        db_(db),
        client_id_(client_id),
        span_(span),
        cache_(cache),
        processor_(processor) {}

  Status Run(const std::string& type, const std::string& id, const VdbIdSet& vdb_ids);

 private:
  using Candidates = std::vector<ChildRecordCache::ObjectTable::value_type*>;

  // One object whose descendants are being collected.
  struct Frame {
    const std::string* type;  // the parent type P
    const std::string* id;    // the parent id I
    VdbIdSet vdb_ids;
    std::vector<const std::string*> child_types;
    size_t type_index = 0;
    bool in_type = false;      // candidates below belong to child_types[type_index]
    Candidates candidates;     // objects of that type naming I
    size_t candidate = 0;
    size_t version = 0;        // counted from the newest
    VdbIdSet undecided;
    bool awaiting_child = false;  // a pushed frame returns into `common`
    VdbIdSet common;
  };

  // Reads the stored records of `type` into the cache once.
  Status Load(const std::string& type);
  // Brings the objects of `type` that the stream put, copied or patched
  // since the last call up to date.
  void MergePending(const std::string& type);
  // Recomputes an object's versions: its stored ones with its pending
  // operations applied in order.
  void Derive(const std::string& type, const std::string& id, ChildRecordCache::Versions* current,
              ChildRecordCache::ObjectTable* stored);
  // Applies one pending operation as Build applies it, except that a
  // delete leaves the version to judge its vdbs; versions left without a
  // vdb stay until Derive drops them.
  void Apply(const std::string& type, const std::string& id, const PendingOperation& operation,
             ChildRecordCache::Versions* versions) const;
  // The objects of `child` whose versions name `parent_id` as a `parent`.
  const Candidates& ObjectsNaming(const std::string& child, const std::string& parent,
                                  const std::string& parent_id);
  void ListChildTypes(Frame* frame) const {
    for (const std::string& child : schema_.parents().LookupChildTypes(*frame->type)) {
      frame->child_types.push_back(&child);
    }
  }
  // Steps the top frame once; false when the walk has failed into *status.
  bool Step(std::vector<Frame>* stack, Status* status);

  const Schema& schema_;
  DbAccess* const db_;
  const std::string& client_id_;
  const caldek::orv::tarnix::SpanContextMsg* const span_;
  ChildRecordCache* const cache_;
  RequestProcessor* const processor_;
  // Objects on the chain from the deleted object down to the current frame.
  std::set<std::pair<std::string, std::string>> on_chain_;
  // (type, id, vdbs) already walked and deleted by this call: walking it
  // again would add the same deletes.
  std::set<std::tuple<std::string, std::string, VdbIdSet>> done_;
  const Candidates no_candidates_;
};

Status RecursiveDelete::Load(const std::string& type) {
  if (cache_->types_.count(type) != 0) return Status::OK();
  DbAccess::Records records;
  std::string prefix;
  if (MakeObjectTypeKeyPrefix(schema_, type, &prefix)) {
    const DbAccessStatus read = db_->PrefixFilter(nullptr, prefix, &records);
    if (!read.ok()) return read.ToStatus();
  }
  ChildRecordCache::ObjectTable& objects = cache_->types_[type];
  std::string type_name, id, suffix;
  for (DbAccess::Record& record : records) {
    if (!TryDecodeObjectRecordKey(schema_, record.first, &type_name, &id, &suffix)) continue;
    ChildRecord child;
    if (!DecodeVdbSuffix(suffix, &child.vdb_ids)) continue;
    const boost::shared_ptr<std::string> body = MakeSharedString(record.second);
    schema_.keys().GetParentKeysFromSerialized(type_name, *body, &child.parent_keys);
    child.body = std::make_shared<const std::string>(std::move(*body));
    objects[id].push_back(std::move(child));
  }
  return Status::OK();
}

void RecursiveDelete::MergePending(const std::string& type) {
  std::set<std::string> ids;
  for (std::string& id : processor_->TakePendingPutIds(type)) ids.insert(std::move(id));
  auto patched = cache_->patched_.find(type);
  if (patched != cache_->patched_.end()) {
    ids.insert(patched->second.begin(), patched->second.end());
    cache_->patched_.erase(patched);
  }
  if (ids.empty()) return;
  ChildRecordCache::ObjectTable& objects = cache_->types_[type];
  ChildRecordCache::ObjectTable& stored = cache_->stored_[type];
  for (const std::string& id : ids) Derive(type, id, &objects[id], &stored);
  // The parent-key indexes of this type no longer match its table.
  for (auto it = cache_->indexes_.begin(); it != cache_->indexes_.end();) {
    it = it->first.first == type ? cache_->indexes_.erase(it) : std::next(it);
  }
}

void RecursiveDelete::Derive(const std::string& type, const std::string& id,
                             ChildRecordCache::Versions* current,
                             ChildRecordCache::ObjectTable* stored) {
  auto base = stored->find(id);
  if (base == stored->end()) base = stored->emplace(id, std::move(*current)).first;
  ChildRecordCache::Versions versions = base->second;
  if (const PendingRequestList* operations = processor_->FindPending(type, id)) {
    for (const PendingOperation& operation : *operations) Apply(type, id, operation, &versions);
  }
  versions.erase(std::remove_if(versions.begin(), versions.end(),
                                [](const ChildRecord& r) { return r.vdb_ids.empty(); }),
                 versions.end());
  *current = std::move(versions);
}

void RecursiveDelete::Apply(const std::string& type, const std::string& id,
                            const PendingOperation& operation,
                            ChildRecordCache::Versions* versions) const {
  const VdbIdSet& vdbs = operation.vdb_ids;
  switch (operation.request.type) {
    case UpdateRequest::DELETE:
      for (ChildRecord& version : *versions) {
        const VdbIdSet held = Intersect(version.vdb_ids, vdbs);
        version.deleted.insert(held.begin(), held.end());
      }
      break;
    case UpdateRequest::PUT: {
      Supersede(vdbs, versions);
      ChildRecord put{vdbs, {}, operation.request.body, {}};
      if (put.body != nullptr)
        schema_.keys().GetParentKeysFromSerialized(type, *put.body, &put.parent_keys);
      versions->push_back(std::move(put));
      break;
    }
    case UpdateRequest::COPY: {
      // A vdb holds at most one version; a source vdb without the object
      // copies nothing, as in Build.
      const VdbId source = operation.request.src_vdb_id;
      auto holder = std::find_if(versions->begin(), versions->end(), [source](const ChildRecord& r) {
        return r.vdb_ids.count(source) != 0 && r.deleted.count(source) == 0;
      });
      if (holder == versions->end()) break;
      const size_t index = static_cast<size_t>(holder - versions->begin());
      Supersede(vdbs, versions);
      (*versions)[index].vdb_ids.insert(vdbs.begin(), vdbs.end());
      break;
    }
    case UpdateRequest::PATCH: {
      if (operation.request.patch_ops.empty()) break;
      const UpdateRequest::Patch& patch = operation.request.patch_ops.front();
      const ObjectPatcher patcher(schema_);
      const size_t count = versions->size();
      for (size_t i = 0; i < count; ++i) {
        VdbIdSet group = Intersect((*versions)[i].vdb_ids, vdbs);
        EraseVdbIds((*versions)[i].deleted, &group);
        if (group.empty()) continue;
        EraseVdbIds(group, &(*versions)[i].vdb_ids);
        // A patch that does not apply fails the transaction in Build; until
        // then its vdbs name no parent, so nothing is deleted there.
        ChildRecord patched{std::move(group), {}, nullptr, {}};
        std::string result;
        const ObjectBody& body = (*versions)[i].body;
        if (body != nullptr &&
            patcher.Apply(type, id, *body, patch.first, patch.second, &result).ok()) {
          schema_.keys().GetParentKeysFromSerialized(type, result, &patched.parent_keys);
          patched.body = std::make_shared<const std::string>(std::move(result));
        }
        versions->push_back(std::move(patched));
      }
      break;
    }
    default:
      break;
  }
}

const RecursiveDelete::Candidates& RecursiveDelete::ObjectsNaming(const std::string& child,
                                                                  const std::string& parent,
                                                                  const std::string& parent_id) {
  const ChildRecordCache::IndexKey key(child, parent);
  auto index = cache_->indexes_.find(key);
  if (index == cache_->indexes_.end()) {
    index = cache_->indexes_.emplace(key, ChildRecordCache::ParentIndex()).first;
    for (auto& object : cache_->types_[child]) {
      for (const ChildRecord& version : object.second) {
        auto keys = version.parent_keys.find(parent);
        if (keys == version.parent_keys.end()) continue;
        for (const std::string& parent_key : keys->second) {
          auto& objects = index->second[parent_key];
          if (objects.empty() || objects.back() != &object) objects.push_back(&object);
        }
      }
    }
  }
  auto found = index->second.find(parent_id);
  return found == index->second.end() ? no_candidates_ : found->second;
}

Status RecursiveDelete::Run(const std::string& type, const std::string& id,
                            const VdbIdSet& vdb_ids) {
  std::vector<Frame> stack(1);
  stack[0].type = &type;
  stack[0].id = &id;
  stack[0].vdb_ids = vdb_ids;
  ListChildTypes(&stack[0]);
  on_chain_.emplace(type, id);
  Status status = Status::OK();
  while (!stack.empty() && Step(&stack, &status)) {
  }
  return status;
}

bool RecursiveDelete::Step(std::vector<Frame>* stack, Status* status) {
  Frame& f = stack->back();
  if (f.awaiting_child) {
    // Every descendant of the child is in; now the child itself.
    const auto& object = *f.candidates[f.candidate];
    const std::string& child_type = *f.child_types[f.type_index];
    processor_->AddDelete(child_type, object.first, f.common, span_);
    done_.emplace(child_type, object.first, f.common);
    EraseVdbIds(f.common, &f.undecided);
    f.awaiting_child = false;
    ++f.version;
    return true;
  }
  if (!f.in_type) {
    if (f.type_index == f.child_types.size()) {
      on_chain_.erase(std::make_pair(*f.type, *f.id));
      stack->pop_back();
      return true;
    }
    const std::string& child_type = *f.child_types[f.type_index];
    if (!schema_.permissions().HasWritePermission(client_id_, child_type)) {
      *status = Status::PermissionDenied(client_id_ + " does not have write permission for " +
                                         child_type + ".");
      return false;
    }
    *status = Load(child_type);
    if (!status->ok()) return false;
    MergePending(child_type);
    f.candidates = ObjectsNaming(child_type, *f.type, *f.id);
    f.candidate = 0;
    f.version = 0;
    f.undecided = f.vdb_ids;
    f.in_type = true;
    return true;
  }
  if (f.candidate == f.candidates.size()) {
    f.in_type = false;
    ++f.type_index;
    return true;
  }
  auto& object = *f.candidates[f.candidate];
  const ChildRecordCache::Versions& versions = object.second;
  if (f.version >= versions.size() || f.undecided.empty()) {
    ++f.candidate;
    f.version = 0;
    f.undecided = f.vdb_ids;
    return true;
  }
  const ChildRecord& version = versions[versions.size() - 1 - f.version];
  VdbIdSet common = Intersect(version.vdb_ids, f.undecided);
  if (common.empty()) {
    ++f.version;
    return true;
  }
  // The newest version holding a vdb decides there, naming the parent or not.
  bool names_parent = false;
  auto keys = version.parent_keys.find(*f.type);
  if (keys != version.parent_keys.end()) {
    names_parent = std::find(keys->second.begin(), keys->second.end(), *f.id) != keys->second.end();
  }
  const std::string& child_type = *f.child_types[f.type_index];
  if (!names_parent || on_chain_.count(std::make_pair(child_type, object.first)) != 0 ||
      done_.count(std::make_tuple(child_type, object.first, common)) != 0) {
    EraseVdbIds(common, &f.undecided);
    ++f.version;
    return true;
  }
  f.common = common;
  f.awaiting_child = true;
  on_chain_.emplace(child_type, object.first);
  Frame child;
  child.type = &child_type;
  child.id = &object.first;
  child.vdb_ids = std::move(common);
  ListChildTypes(&child);
  stack->push_back(std::move(child));  // invalidates `f`
  return true;
}

Status CollectObjectsToDelete(const Schema& schema, DbAccess* db, const std::string& client_id,
                              const std::string& type, const std::string& id,
                              const VdbIdSet& vdb_ids,
                              const caldek::orv::tarnix::SpanContextMsg* span,
                              ChildRecordCache* cache, RequestProcessor* processor) {
  RecursiveDelete walk(schema, db, client_id, span, cache, processor);
  return walk.Run(type, id, vdb_ids);
}

}  // namespace tarnix
