#ifndef TARNIX_WRITE_REQUEST_PROCESSOR_TEST_UTIL_H_
#define TARNIX_WRITE_REQUEST_PROCESSOR_TEST_UTIL_H_

#include <list>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "logging/logger.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "schema/schema_test_util.h"
#include "storage/db_access_test_util.h"
#include "write/request_processor.h"

namespace tarnix {

// Sets the log threshold for one scope and restores the previous one.
class ScopedLogLevel {
 public:
  explicit ScopedLogLevel(int level) : previous_(orv::Logger::logLevel) {
    orv::Logger::logLevel = level;
  }
  ~ScopedLogLevel() { orv::Logger::logLevel = previous_; }
  ScopedLogLevel(const ScopedLogLevel&) = delete;
  ScopedLogLevel& operator=(const ScopedLogLevel&) = delete;

 private:
  const int previous_;
};

// A database in a fresh directory, the example schema and one processor,
// with objects of AddressMsg (keyed by "ip").
class RequestProcessorTest : public DbAccessTest {
 protected:
  static constexpr const char* kAddress = "caldek.orv.tarnix.AddressMsg";

  void SetUp() override {
    DbAccessTest::SetUp();
    db_ = OpenDb();
    processor_.reset(new RequestProcessor(&schema_, db_.get()));
  }
  void TearDown() override {
    processor_.reset();
    db_.reset();
    DbAccessTest::TearDown();
  }

  // Serialised message of `type` from its text form.
  std::string Text(const std::string& type, const std::string& text) {
    std::unique_ptr<google::protobuf::Message> message(schema_.types().NewMessage(type));
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, message.get())) << text;
    return message->SerializeAsString();
  }
  // An address body: ip "10.0.0.<host>" and the given prefix length.
  std::string Address(int host, int prefix_length) {
    return Text(kAddress, "ip: \"10.0.0." + std::to_string(host) +
                              "\" prefix_length: " + std::to_string(prefix_length));
  }
  std::string AddressId(int host) {
    return schema_.keys().GetKeyFromSerialized(kAddress, Address(host, 0));
  }
  static ObjectBody Shared(const std::string& body) {
    return std::make_shared<const std::string>(body);
  }

  std::string ObjectKey(int host) {
    std::string key;
    EXPECT_TRUE(MakeObjectRecordKey(schema_, kAddress, AddressId(host), &key));
    return key;
  }
  std::string RecordKey(int host, const VdbIdSet& vdbs) {
    return ObjectKey(host) + EncodeVdbIdSet(vdbs);
  }
  void Store(int host, const VdbIdSet& vdbs, const std::string& value) {
    PutAll(db_.get(), {{RecordKey(host, vdbs), value}});
  }

  void Put(int host, const std::string& body, const VdbIdSet& vdbs) {
    processor_->AddPut(kAddress, AddressId(host), Shared(body), vdbs, nullptr);
  }

  // Runs Build into the members below.
  Status Build(TransactionRequestTable* requests = nullptr, bool trace = false) {
    metrics::LatencyMetric latency(registry_, "test/build");
    return processor_->Build(trace, &puts_, &deletes_, &updates_, &logged_only_, &removals_,
                             latency, requests);
  }
  // The number of latencies Build has recorded so far.
  uint64_t BuildLatencies() {
    metrics::LatencyMetric latency(registry_, "test/build");
    return latency->window(true).v_num;
  }
  // The puts as (key, value) text pairs.
  std::vector<std::pair<std::string, std::string>> Puts() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const DbAccess::TxnPut& put : puts_) out.emplace_back(put.first, *put.second);
    return out;
  }

  Schema schema_{TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"};
  std::unique_ptr<DbAccess> db_;
  std::unique_ptr<RequestProcessor> processor_;
  std::vector<DbAccess::TxnPut> puts_;
  std::vector<std::string> deletes_;
  std::list<UpdateRecord> updates_;
  std::list<UpdateRecord> logged_only_;
  std::list<UpdateRecord> removals_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_REQUEST_PROCESSOR_TEST_UTIL_H_
