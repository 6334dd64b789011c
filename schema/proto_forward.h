#ifndef TARNIX_SCHEMA_PROTO_FORWARD_H_
#define TARNIX_SCHEMA_PROTO_FORWARD_H_

// Generated types of the caldek.orv.tarnix package that the schema classes'
// interfaces name; their definitions come from the generated headers.
namespace caldek {
namespace orv {
namespace tarnix {

class MerkleTreeBlockRangesMsg;
enum OpMsg_Operation : int;

}  // namespace tarnix
}  // namespace orv
}  // namespace caldek

#endif  // TARNIX_SCHEMA_PROTO_FORWARD_H_
