#ifndef TARNIX_WRITE_PREPARED_REQUEST_H_
#define TARNIX_WRITE_PREPARED_REQUEST_H_

#include <cstdint>
#include <string>
#include <vector>

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "schema/key_snapshot.h"

namespace tarnix {

class Schema;

// What a thread other than the loop made of one request message of a write
// stream, for the loop to take instead of doing it again.
struct PreparedRequest {
  PreparedKeys keys;  // a Put's: its objects' keys, one per entry
  bool has_log_unit = false;
  std::string log_unit;  // TarnixTransactionLog::SerializeRequestUnit's
};

// What was prepared of a stream's messages, one per message in order. Once
// the stream's log units together pass `log_bound` bytes the log keeps none
// of them (TarnixTransactionLog::MeasureRequest), so none is held from then.
class PreparedStream {
 public:
  explicit PreparedStream(uint64_t log_bound) : log_bound_(log_bound) {}

  void Add(PreparedRequest request);
  // Frees every message's and starts over.
  void Clear();
  std::vector<PreparedRequest>* requests() { return &requests_; }
  // The bytes of the log units held.
  uint64_t held_unit_bytes() const;

 private:
  const uint64_t log_bound_;
  uint64_t unit_bytes_ = 0;  // of every unit added
  size_t first_held_ = 0;    // no message before it holds a unit
  std::vector<PreparedRequest> requests_;
};

// Reads the keys of a Put request's objects with the schema's key snapshot
// and serialises its transaction-log unit. Any thread, beside the loop: a
// schema reload meanwhile leaves the keys to be read again
// (KeyReader::Offer).
PreparedRequest PrepareRequest(const Schema& schema,
                               const caldek::orv::tarnix::PutRequestMsg& request);

}  // namespace tarnix

#endif  // TARNIX_WRITE_PREPARED_REQUEST_H_
