#ifndef TARNIX_SCHEMA_SCHEMA_TEST_UTIL_H_
#define TARNIX_SCHEMA_SCHEMA_TEST_UTIL_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <google/protobuf/descriptor.pb.h>

#include "logging/log_capture.h"
#include "schema/schema.h"

namespace tarnix {

// Read access to the key-kind table, which has no public getter.
class SchemaTestPeer {
 public:
  explicit SchemaTestPeer(const Schema& schema) : s_(schema) {}
  const std::unordered_map<int32_t, int32_t>& key_kinds() const { return s_.types().key_kinds_; }

 private:
  const Schema& s_;
};

// True when `capture` holds a line of level `level` ("ERROR", "DEBUG" for
// VERBOSE) tagged with error code `code` (no tag when empty) whose text is
// exactly `text`.
inline bool Logged(const orv::LogCapture& capture, const std::string& level,
                   const std::string& code, const std::string& text) {
  std::string tail = "level=\"" + level + "\"";
  if (!code.empty()) tail += " errorCode=\"" + code + "\"";
  tail += "] " + text;
  for (const std::string& line : capture.lines()) {
    if (line.size() >= tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
      return true;
    }
  }
  return false;
}

inline std::string FixturePath(const std::string& name) {
  return std::string(TARNIX_TEST_DATA_DIR) + "/testdata/" + name + ".pb";
}

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "schema-test-XXXXXX").string();
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

  // Writes `bytes` to <dir>/<name> and returns the file's path ("" and
  // nothing written when the directory could not be made).
  std::string Write(const std::string& name, const std::string& bytes) const {
    if (path_.empty()) return std::string();
    std::string file = path_ + "/" + name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    return file;
  }

  std::string WriteSet(const std::string& name,
                       const google::protobuf::FileDescriptorSet& set) const {
    return Write(name, set.SerializeAsString());
  }

 private:
  std::string path_;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_SCHEMA_TEST_UTIL_H_
