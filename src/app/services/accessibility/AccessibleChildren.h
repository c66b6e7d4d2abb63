#pragma once

#include "app/services/GLibHandles.h"

#include <vector>

typedef struct _AtspiAccessible AtspiAccessible;

namespace larkpin {

/// The element's children, in order. Stops at the first child the application fails to give, so a
/// hung application costs one call timeout rather than one per child.
std::vector<glib::ObjectRef<AtspiAccessible>> accessibleChildren(AtspiAccessible* element);

/// At most `limit` children of the element, in order: those nearest the child at `index` (the
/// first ones when the index is unknown, i.e. negative). Each child is one call to the application,
/// and a container may hold thousands.
std::vector<glib::ObjectRef<AtspiAccessible>> accessibleChildrenAround(AtspiAccessible* element, int index,
                                                                       int limit);

} // namespace larkpin
