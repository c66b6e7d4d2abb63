#pragma once

#include "app/services/GLibHandles.h"

#include <cstddef>
#include <string>

typedef struct _AtspiAccessible AtspiAccessible;

namespace larkpin {

/// One element of another application's accessibility tree, kept alive while the handle lives.
/// Two handles are equal when they name the same element (same application connection, same
/// object path), even if they were obtained separately.
class AccessibleElement {
public:
    AccessibleElement() = default;
    explicit AccessibleElement(glib::ObjectRef<AtspiAccessible> accessible);

    AtspiAccessible* get() const { return accessible_.get(); }
    explicit operator bool() const { return static_cast<bool>(accessible_); }
    /// Stable for the element's lifetime; equal elements hash alike.
    std::size_t hash() const;

    friend bool operator==(const AccessibleElement& a, const AccessibleElement& b);

private:
    glib::ObjectRef<AtspiAccessible> accessible_;
};

} // namespace larkpin
