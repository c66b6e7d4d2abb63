#pragma once

#include <optional>
#include <string>

namespace larkpin::test {

/// Tells whether a Secret Service is running on the session bus, without starting one: D-Bus
/// activation could launch a keyring that asks for a password.
class SecretServiceProbe {
public:
    /// Nothing when the service is there; otherwise why not, for a GTEST_SKIP message.
    static std::optional<std::string> unavailableReason();
};

} // namespace larkpin::test
