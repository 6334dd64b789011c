#include "monitor/type_order.h"

#include <algorithm>
#include <numeric>
#include <unordered_map>

#include "logging/logger.h"
#include "schema/schema.h"

namespace tarnix {

std::vector<size_t> TypeOrder::ParentsFirst(const Schema& schema,
                                            const std::vector<std::string>& types) {
  const size_t count = types.size();
  std::unordered_map<std::string, size_t> vertex(count);
  for (size_t i = 0; i < count; ++i) vertex.emplace(types[i], i);
  std::vector<std::vector<size_t>> children(count);
  for (size_t child = 0; child < count; ++child) {
    for (const std::string& parent : schema.parents().LookupParentTypes(types[child])) {
      auto found = vertex.find(parent);
      if (found != vertex.end() && found->second != child) {
        children[found->second].push_back(child);
      }
    }
  }
  // The parents come from a hash set: sort for one order per schema.
  for (std::vector<size_t>& list : children) std::sort(list.begin(), list.end());

  enum Colour : char { kWhite, kGrey, kBlack };
  std::vector<Colour> colour(count, kWhite);
  std::vector<size_t> finished;
  finished.reserve(count);
  bool cycle = false;
  // (vertex, next child to visit)
  std::vector<std::pair<size_t, size_t>> stack;
  for (size_t root = 0; root < count && !cycle; ++root) {
    if (colour[root] != kWhite) continue;
    colour[root] = kGrey;
    stack.emplace_back(root, 0);
    while (!stack.empty() && !cycle) {
      auto& [v, next] = stack.back();
      if (next == children[v].size()) {
        colour[v] = kBlack;
        finished.push_back(v);
        stack.pop_back();
        continue;
      }
      const size_t child = children[v][next++];
      if (colour[child] == kGrey) {
        cycle = true;
      } else if (colour[child] == kWhite) {
        colour[child] = kGrey;
        stack.emplace_back(child, 0);
      }
    }
  }
  if (!cycle) {
    std::reverse(finished.begin(), finished.end());
    return finished;
  }

  const std::string schema_name =
      schema.types().GetSchemaPath() + " " + schema.types().GetVersion();
  if (schema_name != logged_schema_) {
    logged_schema_ = schema_name;
    std::string names;
    for (const std::string& type : types) names += (names.empty() ? "" : ", ") + type;
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0209",
               "Parent types of the object types %s form a cycle; their objects go in type "
               "name order",
               names.c_str());
  }
  std::vector<size_t> by_name(count);
  std::iota(by_name.begin(), by_name.end(), 0);
  std::sort(by_name.begin(), by_name.end(),
            [&](size_t a, size_t b) { return types[a] < types[b]; });
  return by_name;
}

}  // namespace tarnix
