#pragma once

#include "app/model/AccessibilityTrust.h"
#include "app/model/FocusedFieldSource.h"
#include "app/services/accessibility/AccessibilityCoordinator.h"

namespace larkpin {

/// The real fields and trust: the AT-SPI coordinator and the desktop's accessibility switch.
class AccessibilityFieldSource final : public FocusedFieldSource, public AccessibilityTrust {
public:
    explicit AccessibilityFieldSource(AccessibilityCoordinator::ScreenList screens);

    std::optional<FocusedField> focusedOTPField() override;
    void fill(std::string_view code, const FocusedField& field) override;
    bool isTrusted() override;
    bool requestTrust() override;

private:
    AccessibilityCoordinator coordinator_;
};

} // namespace larkpin
