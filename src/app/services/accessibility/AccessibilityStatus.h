#pragma once

#include <chrono>

namespace larkpin {

/// The desktop's switch for assistive technologies: the IsEnabled property of org.a11y.Status on
/// the session bus. Applications expose their accessibility trees only while it is on (some only
/// when it was on at their start), so it is what "trusted for accessibility" means here.
class AccessibilityStatus {
public:
    /// False when there is no session bus, no accessibility bus service or no answer in time.
    static bool isEnabled(std::chrono::milliseconds timeout);
    /// Switches it on (or off), as the desktop's "assistive technologies" setting does. Answers
    /// whether the bus accepted the change.
    static bool setEnabled(bool enabled, std::chrono::milliseconds timeout);
};

} // namespace larkpin
