#ifndef TARNIX_MONITOR_TYPE_ORDER_H_
#define TARNIX_MONITOR_TYPE_ORDER_H_

#include <cstddef>
#include <string>
#include <vector>

namespace tarnix {

class Schema;

// Orders object types along the schema's parent relation, so that a monitor
// learns of a parent object before the objects that name it (snapshots and
// updates), and of their removal before the parent's (deletes, in the
// reverse order).
//
// Never throws and never drops a type: a type that names itself as a parent
// adds no edge, and types whose parents form a cycle come in name order
// instead, with one ERROR line per schema. Not thread-safe.
class TypeOrder {
 public:
  // Positions in `types` (distinct full names, in the order in which they
  // were first met), every parent type before the types that name it. A
  // depth-first search over the types in that order, along parent -> child
  // edges, lists each type once all types below it are listed; the result
  // is that list reversed. Types without any relation therefore come in the
  // reverse of the order they were met.
  std::vector<size_t> ParentsFirst(const Schema& schema, const std::vector<std::string>& types);

 private:
  // The schema (path and version) whose cycle was logged last.
  std::string logged_schema_;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_TYPE_ORDER_H_
