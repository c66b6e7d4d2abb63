#include "app/services/accessibility/AccessibleChildren.h"

#include <atspi/atspi.h>

namespace larkpin {

std::vector<glib::ObjectRef<AtspiAccessible>> accessibleChildren(AtspiAccessible* element)
{
    using Accessible = glib::ObjectRef<AtspiAccessible>;
    glib::Error error;
    const gint count = atspi_accessible_get_child_count(element, glib::ErrorOut(error));
    std::vector<Accessible> result;
    for (gint index = 0; index < count && !error; ++index) {
        glib::Error childError;
        if (auto child
            = Accessible::adopt(atspi_accessible_get_child_at_index(element, index, glib::ErrorOut(childError))))
            result.push_back(std::move(child));
        else if (childError)
            break;
    }
    return result;
}

} // namespace larkpin
