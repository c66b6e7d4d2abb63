#pragma once

#include "MimePayload.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace larkpin::emulator {

/// A message to put into a mailbox, as a control request or a message file describes it. Every field
/// but the texts is optional; the mailbox defaults to the first one added.
struct NewMessage {
    std::optional<std::string> mailbox;
    std::string from = "Larkpin Emulator <noreply@emulator.example>";
    std::optional<std::string> to; ///< defaults to the mailbox's address
    std::string subject;
    std::string plain;
    std::string html;
    MimePayload::Structure structure = MimePayload::Structure::Plain;
    nlohmann::json payload;                     ///< `Raw` only: the tree served verbatim, null for none
    std::optional<double> receivedAt;           ///< seconds since 1970
    std::optional<double> age;                  ///< seconds before now
    std::optional<nlohmann::json> internalDate; ///< served as given: integer ms, any text, or null (left out)
    std::optional<std::string> id; ///< re-using an id re-adds that message (another history record)
    std::optional<std::string> threadId;
    std::optional<std::vector<std::string>> labelIds;
    std::optional<std::string> snippet;

    /// Reads and checks the JSON object; any unknown key, wrong type or contradiction is a BadRequest.
    static NewMessage fromJSON(const nlohmann::json& object);
};

} // namespace larkpin::emulator
