#ifndef TARNIX_SCHEMA_FUZZ_SCHEMA_H_
#define TARNIX_SCHEMA_FUZZ_SCHEMA_H_

// Shared by the libFuzzer targets (*_fuzzer.cc) only; never linked into the
// daemon. They see the compiled example schema as TARNIX_EXAMPLE_SCHEMA.

#include <algorithm>
#include <string>
#include <vector>

#include "schema/schema.h"

namespace tarnix {

// The example schema, loaded once per process.
inline const Schema& ExampleSchema() {
  static const Schema* schema = new Schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix");
  return *schema;
}

// Its object type names, sorted, so that a fuzz byte picks one by index.
inline const std::vector<std::string>& ExampleTypeNames() {
  static const std::vector<std::string>* names = [] {
    auto* out = new std::vector<std::string>;
    for (const auto& [id, name] : ExampleSchema().types().GetObjectTypeNames())
      out->push_back(name);
    std::sort(out->begin(), out->end());
    return out;
  }();
  return *names;
}

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_FUZZ_SCHEMA_H_
