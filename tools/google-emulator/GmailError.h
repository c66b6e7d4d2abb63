#pragma once

#include <stdexcept>
#include <string>

namespace larkpin::emulator {

/// A Gmail request that Gmail itself would refuse (bad token, unknown message, expired history).
/// The server turns it into a Gmail-style JSON error with this status.
class GmailError : public std::runtime_error {
public:
    GmailError(int status, const std::string& message)
        : std::runtime_error(message)
        , status_(status) {}

    int status() const { return status_; }

private:
    int status_;
};

} // namespace larkpin::emulator
