#ifndef TARNIX_WRITE_WRITE_TEST_UTIL_H_
#define TARNIX_WRITE_WRITE_TEST_UTIL_H_

#include <memory>
#include <string>

#include "logging/log_capture.h"
#include "schema/schema.h"
#include "schema/schema_test_util.h"
#include "storage/db_access_test_util.h"

namespace tarnix {

// An open database in a fresh directory, the example schema and a capture of
// every log line.
class WriteTest : public DbAccessTest {
 protected:
  void SetUp() override {
    DbAccessTest::SetUp();
    orv::Logger::logLevel = orv::VERBOSE;
    db_ = OpenDb();
  }
  void TearDown() override {
    db_.reset();
    DbAccessTest::TearDown();
  }

  // Closes and opens the database again, as a restart does.
  void Reopen() {
    db_.reset();
    db_ = OpenDb();
  }

  bool HasLine(const std::string& level, const std::string& code, const std::string& text) {
    return Logged(capture_, level, code, text);
  }

  Schema schema_{TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"};
  orv::LogCapture capture_;
  std::unique_ptr<DbAccess> db_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_TEST_UTIL_H_
