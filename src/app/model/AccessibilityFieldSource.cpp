#include "app/model/AccessibilityFieldSource.h"

#include <utility>

namespace larkpin {

AccessibilityFieldSource::AccessibilityFieldSource(AccessibilityCoordinator::ScreenList screens)
    : coordinator_(std::move(screens))
{
}

std::optional<AccessibilityFieldSource::FocusedField> AccessibilityFieldSource::focusedOTPField()
{
    return coordinator_.focusedOTPField();
}

void AccessibilityFieldSource::fill(std::string_view code, const FocusedField& field)
{
    coordinator_.fill(code, field);
}

bool AccessibilityFieldSource::isTrusted()
{
    return coordinator_.isTrusted();
}

bool AccessibilityFieldSource::requestTrust()
{
    return coordinator_.requestTrust();
}

} // namespace larkpin
