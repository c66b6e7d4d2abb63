#pragma once

#include "app/services/GLibHandles.h"

#include <cstdint>

typedef struct _AtspiAccessible AtspiAccessible;

namespace larkpin {

/// Finds the element that holds the keyboard focus on the desktop by asking the applications,
/// for when no focus event has said so: the focus was placed before anyone listened. Looks only
/// into each application's active window, and there asks the application itself to search
/// (the Collection interface), or, where it cannot, visits a bounded number of elements.
class FocusedElementSearch {
public:
    enum class Method {
        collection, ///< the application searches; visiting is the fallback
        visit,      ///< always visit, for applications without the Collection interface
    };

    /// Elements visited per window at most when visiting.
    static constexpr int visitLimit = 500;

    /// The focused element of an application other than `excludedProcess` (which must not be asked:
    /// it could be this very process, blocked in this call); none when nothing is found.
    static glib::ObjectRef<AtspiAccessible> find(std::int32_t excludedProcess,
                                                 Method method = Method::collection);
};

} // namespace larkpin
