#pragma once

namespace larkpin {

/// Whether the desktop lets this process read and fill other applications' fields. Main thread only.
class AccessibilityTrust {
public:
    virtual ~AccessibilityTrust() = default;

    virtual bool isTrusted() = 0;
    /// Asks for trust (the desktop may prompt); answers whether it is granted now.
    virtual bool requestTrust() = 0;
};

} // namespace larkpin
