#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace larkpin {

/// A mailbox's profile: its address and current history id (opaque text, never a number).
struct GmailProfile {
    std::string emailAddress;
    std::string historyId;

    friend bool operator==(const GmailProfile&, const GmailProfile&) = default;
};

void from_json(const nlohmann::json& document, GmailProfile& profile);

} // namespace larkpin
