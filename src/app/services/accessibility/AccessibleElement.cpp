#include "app/services/accessibility/AccessibleElement.h"

#include <atspi/atspi.h>

#include <cstring>
#include <functional>
#include <string_view>

namespace larkpin {
namespace {

std::string_view busName(AtspiAccessible* accessible) {
    const AtspiApplication* application = accessible->parent.app;
    return application && application->bus_name ? std::string_view(application->bus_name)
                                                : std::string_view();
}

std::string_view objectPath(AtspiAccessible* accessible) {
    return accessible->parent.path ? std::string_view(accessible->parent.path) : std::string_view();
}

} // namespace

AccessibleElement::AccessibleElement(glib::ObjectRef<AtspiAccessible> accessible)
    : accessible_(std::move(accessible)) {}

std::size_t AccessibleElement::hash() const {
    if (!accessible_)
        return 0;
    const std::hash<std::string_view> hasher;
    return hasher(busName(get())) * 31 + hasher(objectPath(get()));
}

bool operator==(const AccessibleElement& a, const AccessibleElement& b) {
    if (a.get() == b.get())
        return true;
    if (!a.get() || !b.get())
        return false;
    return busName(a.get()) == busName(b.get()) && objectPath(a.get()) == objectPath(b.get());
}

} // namespace larkpin
