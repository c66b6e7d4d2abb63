#pragma once

#include <string>
#include <string_view>

namespace larkpin {

/// What is known about one text field of another application: enough to decide whether it asks for
/// a one-time code. A plain value with no platform dependency; the roles use the vocabulary below,
/// into which each platform's accessibility layer translates its own roles.
struct OTPFieldDescriptor {
    /// Single-line text entry.
    static constexpr std::string_view textFieldRole = "AXTextField";
    /// Multi-line text entry.
    static constexpr std::string_view textAreaRole = "AXTextArea";
    /// Subrole of a password entry.
    static constexpr std::string_view secureTextFieldSubrole = "AXSecureTextField";

    std::string role;    ///< "" when unavailable
    std::string subrole; ///< "" when unavailable
    std::string label;   ///< every text that describes the field, joined with single spaces
    std::string value;   ///< the field's current text; "" when unavailable
    bool isSettable = false;

    /// Settable, not a password field, a text field or area, a label naming a code, and at most
    /// eight characters already in it. The rules are tried in that order.
    bool isLikelyOTP() const;

    /// The rules that need no label (settable, subrole, role, value length): a field failing them
    /// is never a code field, whatever its label says, so the label need not be read at all.
    bool passesRulesOtherThanLabel() const;

    /// Whether `label`, folded for case and diacritics, contains one of the code keywords anywhere
    /// (no word boundaries: "pin" matches "spinning").
    static bool labelNamesCode(std::string_view label);

    /// Case folding after dropping diacritics: decompose, drop non-spacing marks, fold case.
    static std::string folded(std::string_view text);

    friend bool operator==(const OTPFieldDescriptor&, const OTPFieldDescriptor&) = default;
};

} // namespace larkpin
