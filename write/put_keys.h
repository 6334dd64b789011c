#ifndef TARNIX_WRITE_PUT_KEYS_H_
#define TARNIX_WRITE_PUT_KEYS_H_

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "schema/key_snapshot.h"

namespace tarnix {

class Schema;

// The keys of the objects of a Put request message, read with the schema's
// key snapshot, one per entry. Any thread, beside the loop: a schema reload
// meanwhile leaves the keys to be read again (KeyReader::Offer).
PreparedKeys ReadPutKeys(const Schema& schema, const caldek::orv::tarnix::PutRequestMsg& request);

}  // namespace tarnix

#endif  // TARNIX_WRITE_PUT_KEYS_H_
