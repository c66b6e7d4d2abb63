#pragma once

#include <string>

namespace larkpin {

/// The account an authorization connected: Google's stable subject id and its verified address.
struct GoogleOAuthAccount {
    std::string id;
    std::string email;

    friend bool operator==(const GoogleOAuthAccount&, const GoogleOAuthAccount&) = default;
};

} // namespace larkpin
