#pragma once

#include "app/services/accessibility/AccessibilityCoordinator.h"

#include <optional>
#include <string_view>

namespace larkpin {

/// Where the model finds the focused code field and fills it. Main thread only.
class FocusedFieldSource {
public:
    using FocusedField = AccessibilityCoordinator::FocusedField;

    virtual ~FocusedFieldSource() = default;

    /// The focused field of another application when it asks for a one-time code.
    virtual std::optional<FocusedField> focusedOTPField() = 0;
    /// Writes `code` into `field`; throws AccessibilityCoordinator::FillError.
    virtual void fill(std::string_view code, const FocusedField& field) = 0;
};

} // namespace larkpin
