#include "app/services/accessibility/AccessibleChildren.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <limits>

namespace larkpin {
namespace {

using Accessible = glib::ObjectRef<AtspiAccessible>;

std::vector<Accessible> children(AtspiAccessible* element, gint first, gint end)
{
    std::vector<Accessible> result;
    for (gint index = first; index < end; ++index) {
        glib::Error childError;
        if (auto child = Accessible::adopt(
                atspi_accessible_get_child_at_index(element, index, glib::ErrorOut(childError))))
            result.push_back(std::move(child));
        else if (childError)
            break;
    }
    return result;
}

gint childCount(AtspiAccessible* element)
{
    glib::Error error;
    const gint count = atspi_accessible_get_child_count(element, glib::ErrorOut(error));
    return error ? 0 : count;
}

} // namespace

std::vector<Accessible> accessibleChildren(AtspiAccessible* element)
{
    return accessibleChildrenAround(element, -1, std::numeric_limits<int>::max());
}

std::vector<Accessible> accessibleChildrenAround(AtspiAccessible* element, int index, int limit)
{
    const gint count = childCount(element);
    const gint wanted = std::min(count, std::max(limit, 0));
    const gint first = index < 0 ? 0 : std::clamp(index - wanted / 2, 0, count - wanted);
    return children(element, first, first + wanted);
}

} // namespace larkpin
