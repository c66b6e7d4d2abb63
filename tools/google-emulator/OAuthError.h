#pragma once

#include <stdexcept>
#include <string>

namespace larkpin::emulator {

/// An OAuth request that Google itself would refuse. The server answers it with this status and
/// Google's error body, {"error": error(), "error_description": what()}.
class OAuthError : public std::runtime_error {
public:
    OAuthError(int status, std::string error, const std::string& description)
        : std::runtime_error(description)
        , status_(status)
        , error_(std::move(error)) {}

    int status() const { return status_; }
    const std::string& error() const { return error_; }

private:
    int status_;
    std::string error_;
};

} // namespace larkpin::emulator
