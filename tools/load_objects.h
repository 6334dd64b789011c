#ifndef TARNIX_TOOLS_LOAD_OBJECTS_H_
#define TARNIX_TOOLS_LOAD_OBJECTS_H_

#include <cstdint>
#include <string>

#include "caldek/orv/tarnix/tarnix_common.pb.h"

namespace tarnix {
namespace load {

// The objects a load run writes and reads: AuditEntryMsg of the example
// schema (type id 13, key `sequence`, field 1), in no domain and with no
// parents, so a write touches only its own record. tarnix-cli may read and
// write it.
constexpr char kLoadTypeName[] = "caldek.orv.tarnix.AuditEntryMsg";
constexpr int32_t kLoadTypeId = 13;

// Objects fall into this many query groups by sequence: the action text of
// object s is made of letter 'a' + s % kQueryGroups.
constexpr uint32_t kQueryGroups = 16;

// The serialised body of object `sequence`: its key and an `action` text
// padding it to `body_bytes`, or to one byte less where the text's length
// prefix would grow by a byte. Sizes too small for the key and a text are
// the key alone, so they may exceed `body_bytes`. Sequences of one key size
// and one query group have equal action texts.
std::string LoadObjectBody(uint64_t sequence, uint32_t body_bytes);

// Reads the sequence (the key) of a body written by LoadObjectBody, or of
// any body whose first field is the key. False when the body has no key.
bool ReadLoadObjectSequence(const std::string& body, uint64_t* sequence);

// Sets *object to that object, or to a selector of it when `body_bytes` is 0
// (the key alone).
void SetLoadObject(uint64_t sequence, uint32_t body_bytes,
                   caldek::orv::tarnix::TypedObjectMsg* object);

}  // namespace load
}  // namespace tarnix

#endif  // TARNIX_TOOLS_LOAD_OBJECTS_H_
