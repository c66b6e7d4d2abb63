#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace larkpin::test {

/// Tells whether a Secret Service is running on the session bus, without starting one: D-Bus
/// activation could launch a keyring that asks for a password.
class SecretServiceProbe {
public:
    /// Nothing when the service is there; otherwise why not, for a GTEST_SKIP message.
    static std::optional<std::string> unavailableReason();

    /// While it lives, the session's gnome-keyring cannot write its keyring files, so it refuses to
    /// create or change items while reads go on working. The keyring folder is made immutable (a
    /// read-only mode does not stop root), else read-only; throws when neither stops new files.
    class RefusedWrites {
    public:
        RefusedWrites();
        ~RefusedWrites();
        RefusedWrites(const RefusedWrites&) = delete;
        RefusedWrites& operator=(const RefusedWrites&) = delete;

    private:
        std::filesystem::path folder_;
    };
};

} // namespace larkpin::test
