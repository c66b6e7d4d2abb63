#pragma once

#include "app/services/GLibHandles.h"

#include <vector>

typedef struct _AtspiAccessible AtspiAccessible;

namespace larkpin {

/// The element's children, in order. Stops at the first child the application fails to give, so a
/// hung application costs one call timeout rather than one per child.
std::vector<glib::ObjectRef<AtspiAccessible>> accessibleChildren(AtspiAccessible* element);

} // namespace larkpin
