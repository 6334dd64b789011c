#ifndef TARNIX_STORAGE_DB_ACCESS_TEST_UTIL_H_
#define TARNIX_STORAGE_DB_ACCESS_TEST_UTIL_H_

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "logging/logger.h"
#include "metrics/metric.h"
#include "platform/metrics/metric_registry.h"
#include "storage/db_access.h"

namespace tarnix {

// A fresh temporary directory per test, removed afterwards, and a registry.
class DbAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "tarnix_storage_XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    root_ = pattern;
    db_dir_ = root_ + "/db";
    saved_level_ = orv::Logger::logLevel;
  }
  void TearDown() override {
    orv::Logger::logLevel = saved_level_;
    boost::system::error_code ignored;
    boost::filesystem::remove_all(root_, ignored);
  }

  std::unique_ptr<DbAccess> OpenDb(leveldb::Env* env = nullptr) {
    std::unique_ptr<DbAccess> db(new DbAccess(registry_, env));
    const DbAccessStatus status = db->Open(db_dir_);
    EXPECT_EQ(status.code, DbAccessCode::OK) << status.message;
    return db;
  }

  static void PutAll(DbAccess* db, const DbAccess::Records& records) {
    std::vector<int32_t> codes;
    ASSERT_TRUE(db->Put(records, false, &codes).ok());
  }

  static DbAccess::Records All(DbAccess* db) {
    DbAccess::Records records;
    EXPECT_TRUE(db->PrefixFilter(nullptr, "", &records).ok());
    return records;
  }

  // Names in the database directory, or in `dir`.
  std::set<std::string> Files(const std::string& dir = "") const {
    std::set<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(dir.empty() ? db_dir_ : dir)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }

  uint64_t Samples(const std::string& name) {
    metrics::LatencyMetric metric(registry_, name);
    return metric->window(true).v_num;
  }

  orv::metrics::MetricRegistry registry_;
  std::string root_;
  std::string db_dir_;
  int saved_level_ = 4;
};

}  // namespace tarnix

#endif  // TARNIX_STORAGE_DB_ACCESS_TEST_UTIL_H_
