#include "schema/field_editing.h"

#include "logging/logger.h"
#include "schema/field_access.h"
#include "schema/field_checks.h"

namespace tarnix {

namespace pb = google::protobuf;

namespace {

void CopySingularField(const pb::Message& from, const pb::FieldDescriptor* field, pb::Message* to) {
  if (!from.GetReflection()->HasField(from, field)) {
    to->GetReflection()->ClearField(to, field);
    return;
  }
  AccessOf(field).copy(from, field, to);
}

}  // namespace

void CopyField(const pb::Message* from, const pb::FieldDescriptor* field, pb::Message* to) {
  if (!CheckEditArguments(from, field, to, true) || from == to) return;
  if (!field->is_repeated()) {
    CopySingularField(*from, field, to);
    return;
  }
  const int size = from->GetReflection()->FieldSize(*from, field);
  for (int i = 0; i < size; ++i) AccessOf(field).append(*from, field, i, to);
}

void CopyRepeatedFieldElement(const pb::Message* from, const pb::FieldDescriptor* field, int index,
                              pb::Message* to) {
  if (!CheckRepeatedEditArguments(from, field, to, true)) return;
  if (index < 0 || index >= from->GetReflection()->FieldSize(*from, field)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Index provided in CopyRepeatedFieldElement is greater than field size");
    return;
  }
  AccessOf(field).append(*from, field, index, to);
}

void UpdateRepeatedField(const pb::Message* from, const pb::FieldDescriptor* field, int from_index,
                         int to_index, pb::Message* to) {
  if (!CheckRepeatedEditArguments(from, field, to, true)) return;
  if (from_index < 0 || from_index >= from->GetReflection()->FieldSize(*from, field) ||
      to_index < 0 || to_index >= to->GetReflection()->FieldSize(*to, field)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Index provided in UpdateRepeatedField is greater than field size");
    return;
  }
  if (from == to && from_index == to_index) return;
  AccessOf(field).set_element(*from, field, from_index, to_index, to);
}

void RemoveRepeatedField(const pb::FieldDescriptor* field, int index, pb::Message* message) {
  if (!CheckRepeatedEditArguments(nullptr, field, message, false)) return;
  const pb::Reflection* r = message->GetReflection();
  const int size = r->FieldSize(*message, field);
  if (index < 0 || index >= size) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Index provided in RemoveRepeatedField is greater than field size");
    return;
  }
  // Bubble the element to the end, keeping the order of the others.
  for (int j = index + 1; j < size; ++j) r->SwapElements(message, field, j - 1, j);
  r->RemoveLast(message, field);
}

void InsertRepeatedField(const pb::Message* from, const pb::FieldDescriptor* field, int from_index,
                         int to_index, pb::Message* to) {
  if (!CheckRepeatedEditArguments(from, field, to, true)) return;
  if (from_index < 0 || from_index >= from->GetReflection()->FieldSize(*from, field)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Src index provided in InsertRepeatedField is greater than field size");
    return;
  }
  const pb::Reflection* r = to->GetReflection();
  const int size = r->FieldSize(*to, field);
  if (to_index < 0 || to_index > size) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Dst index provided in InsertRepeatedField is greater than field size");
    return;
  }
  // Append a copy of the source element (taken before anything moves, so a
  // message may insert from itself), then move it down into place.
  AccessOf(field).append(*from, field, from_index, to);
  for (int j = size; j > to_index; --j) r->SwapElements(to, field, j, j - 1);
}

}  // namespace tarnix
