#ifndef TARNIX_SCHEMA_FIELD_EDITING_H_
#define TARNIX_SCHEMA_FIELD_EDITING_H_

// Field editing by reflection; `from` and `to` share one type. Bad indexes
// and singular fields passed to element operations are logged (DRX0208)
// and change nothing. They read nothing of the schema.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

namespace tarnix {

// Appends every element of a repeated field; copies a singular one over
// (an unset one as unset).
void CopyField(const google::protobuf::Message* from,
               const google::protobuf::FieldDescriptor* field, google::protobuf::Message* to);
// Appends element `index` of `from` to `to`.
void CopyRepeatedFieldElement(const google::protobuf::Message* from,
                              const google::protobuf::FieldDescriptor* field, int index,
                              google::protobuf::Message* to);
// Overwrites element `to_index` of `to` with element `from_index` of `from`.
void UpdateRepeatedField(const google::protobuf::Message* from,
                         const google::protobuf::FieldDescriptor* field, int from_index,
                         int to_index, google::protobuf::Message* to);
// Removes element `index`, keeping the order of the others.
void RemoveRepeatedField(const google::protobuf::FieldDescriptor* field, int index,
                         google::protobuf::Message* message);
// Inserts a copy of element `from_index` of `from` before element
// `to_index` of `to` (at the end when it is the size); `from` may be `to`.
void InsertRepeatedField(const google::protobuf::Message* from,
                         const google::protobuf::FieldDescriptor* field, int from_index,
                         int to_index, google::protobuf::Message* to);

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_FIELD_EDITING_H_
