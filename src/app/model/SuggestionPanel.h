#pragma once

#include "app/model/SuggestionRefreshState.h"
#include "app/services/accessibility/AccessibilityCoordinator.h"
#include "core/models/OTPCode.h"

#include <functional>
#include <vector>

namespace larkpin {

/// The floating panel beside a focused code field, as the model drives it. Main thread only.
class SuggestionPanel {
public:
    using FocusedField = AccessibilityCoordinator::FocusedField;

    virtual ~SuggestionPanel() = default;

    /// Shows (or keeps showing) `codes` beside `field`. `refresh` starts a refresh; `fill` fills the
    /// chosen code into the field. The panel may call either later, on the main thread.
    virtual void show(const std::vector<OTPCode>& codes, const SuggestionRefreshState& refreshState,
                      bool isSyncing, const FocusedField& field, std::function<void()> refresh,
                      std::function<void(const OTPCode&)> fill) = 0;
    virtual void hide() = 0;
};

} // namespace larkpin
