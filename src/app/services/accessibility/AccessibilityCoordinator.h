#pragma once

#include "app/services/accessibility/AccessibleElement.h"
#include "app/services/accessibility/ScreenRect.h"
#include "core/models/OTPFieldDescriptor.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace larkpin {

/// Finds the field that has the keyboard focus in another application, tells whether it asks for
/// a one-time code, and types a code into it. Works over the AT-SPI accessibility bus.
///
/// The focused element is followed through "object:state-changed:focused" events, which libatspi
/// delivers on the default GLib main context: the owner must run that context (the Qt event loop
/// does). Each call confirms that the element still holds the focus, so a missed event costs at
/// most a missed field; the focus held when the coordinator starts (or when the bus comes on) is
/// looked up once. What rarely changes (role, process, label) is cached for the focused
/// element and dropped on the events of its application that may change it. The field's text is
/// read only when its shape and label leave the answer open, and then only as far as the length
/// rule needs. Every call to another application is bounded by the call timeout, so a hung
/// application cannot freeze the caller.
///
/// Main thread only, like everything that touches the GLib main context.
class AccessibilityCoordinator {
public:
    /// The screens' rectangles in desktop coordinates.
    using ScreenList = std::function<std::vector<ScreenRect>()>;

    struct FocusedField {
        AccessibleElement element;
        std::int32_t processID = 0;
        ScreenRect frame; ///< in desktop coordinates
        OTPFieldDescriptor descriptor;

        friend bool operator==(const FocusedField&, const FocusedField&) = default;
    };

    class FillError : public std::runtime_error {
    public:
        enum class Kind { focusChanged, notEligible, unavailable };

        static FillError focusChanged();
        static FillError notEligible();
        static FillError unavailable();

        Kind kind() const { return kind_; }
        friend bool operator==(const FillError& a, const FillError& b) { return a.kind_ == b.kind_; }

    private:
        FillError(Kind kind, const char* description);
        Kind kind_;
    };

    static constexpr std::chrono::milliseconds defaultCallTimeout{250};

    explicit AccessibilityCoordinator(ScreenList screens,
                                      std::chrono::milliseconds callTimeout = defaultCallTimeout);
    ~AccessibilityCoordinator();
    AccessibilityCoordinator(const AccessibilityCoordinator&) = delete;
    AccessibilityCoordinator& operator=(const AccessibilityCoordinator&) = delete;

    /// Whether assistive technologies are switched on for the desktop (AccessibilityStatus), as
    /// last announced on the session bus; a change is seen once the main context has run, or a few
    /// seconds later without it.
    bool isTrusted() const;
    /// Switches assistive technologies on; answers whether they are on afterwards. Applications
    /// started before may need a restart before they show their fields.
    bool requestTrust();

    /// The focused element of another application when it is a likely code field on one of the
    /// screens; nothing otherwise, and nothing while assistive technologies are off.
    std::optional<FocusedField> focusedOTPField();

    /// The focused element of another application described in full, code field or not. For
    /// diagnostics and tests: unlike focusedOTPField() it always reads every label text. Its value
    /// is, like there, the field's text only as far as the length rule needs (at least 64 characters).
    std::optional<OTPFieldDescriptor> focusedFieldDescriptor();

    /// Replaces the whole text of `field` with `code`, never submitting anything. Fails with
    /// focusChanged when the focus is no longer on that element (nothing is written), with
    /// notEligible when the element no longer qualifies (nothing is written), and with
    /// unavailable when the text could not be written and read back.
    void fill(std::string_view code, const FocusedField& into);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace larkpin
