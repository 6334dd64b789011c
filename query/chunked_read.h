#ifndef TARNIX_QUERY_CHUNKED_READ_H_
#define TARNIX_QUERY_CHUNKED_READ_H_

#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "util/status.h"

namespace tarnix {

// A read whose answer is made in steps, a chunk at a time, so that the
// caller can serve others between steps and make chunks only as its client
// takes them. The read keeps its storage snapshot until it ends.
template <class Chunk>
class ChunkedRead {
 public:
  virtual ~ChunkedRead() = default;

  // Visits at most `max_records` more records, stopping early once a chunk
  // is complete, and appends the complete chunks to *ready. True once the
  // read has ended: at its end, with its last chunk appended, or at a
  // failure (see status()), after which nothing more is appended.
  virtual bool Step(size_t max_records, std::vector<Chunk>* ready) = 0;

  // OK, or the failure that ended the read.
  const Status& status() const { return status_; }

 protected:
  Status status_;
};

// Runs `read` to its end in one go: its status, and on success every chunk
// appended to *chunks (none on failure).
template <class Chunk>
Status ReadAllChunks(ChunkedRead<Chunk>* read, std::vector<Chunk>* chunks) {
  const size_t before = chunks->size();
  while (!read->Step(std::numeric_limits<size_t>::max(), chunks)) {
  }
  if (!read->status().ok()) chunks->resize(before);
  return read->status();
}

}  // namespace tarnix

#endif  // TARNIX_QUERY_CHUNKED_READ_H_
