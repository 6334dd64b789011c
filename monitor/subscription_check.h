#ifndef TARNIX_MONITOR_SUBSCRIPTION_CHECK_H_
#define TARNIX_MONITOR_SUBSCRIPTION_CHECK_H_

#include <string>

#include "schema/object.h"
#include "util/status.h"

namespace tarnix {

class Schema;

// Whether the subscription tree watches the where clause (`op`, `value`) of
// `object_type` as Query matches it. Changes nothing; callers check every
// clause of a request before they add any, so that no clause is accepted
// and then ignored.
//
// OK for a clause without op message or without a set field (the whole
// type), and for one predicate on one attribute, possibly nested, that the
// tree keys on. INVALID_ARGUMENT, with a text that names the type and the
// attribute path, for anything else: an unknown type; op or value messages
// of another type; no value message beside a predicate; more than one
// attribute at a level; "self" on the whole object; an attribute the type
// lacks; a nested op message on a scalar attribute; a nested predicate on
// a repeated attribute other than "self"; a "self" that holds no OpMsg; an
// operation other than EQUALS, NOT_EQUALS, EXISTS, CONTAINS_ANY and
// CONTAINS_ALL; CONTAINS_ANY or CONTAINS_ALL on a singular attribute;
// EQUALS or NOT_EQUALS on a message attribute other than through "self";
// and any operation but EXISTS whose value message does not hold the
// attribute (an empty list included).
Status CheckSubscription(const Schema& schema, const std::string& object_type,
                         const TarnixObject& op, const TarnixObject& value);

}  // namespace tarnix

#endif  // TARNIX_MONITOR_SUBSCRIPTION_CHECK_H_
