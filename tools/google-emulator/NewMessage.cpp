#include "NewMessage.h"

#include "JSONReading.h"

namespace larkpin::emulator {

using namespace json_reading;
using nlohmann::json;

NewMessage NewMessage::fromJSON(const json& object) {
    requireObject(object, "a message");
    allowOnly(object, {"mailbox", "from", "to", "subject", "plain", "html", "structure", "payload",
                       "receivedAt", "age", "internalDate", "id", "threadId", "labelIds", "snippet"});
    NewMessage message;
    message.mailbox = optionalString(object, "mailbox");
    message.from = optionalString(object, "from").value_or(message.from);
    message.to = optionalString(object, "to");
    message.subject = optionalString(object, "subject").value_or("");
    message.plain = optionalString(object, "plain").value_or("");
    message.html = optionalString(object, "html").value_or("");
    message.threadId = optionalString(object, "threadId");
    message.snippet = optionalString(object, "snippet");

    const bool hasPayload = object.contains("payload");
    if (const auto name = optionalString(object, "structure")) {
        const auto structure = MimePayload::structureNamed(*name);
        if (!structure)
            throw BadRequest("\"structure\" must be one of plain, html, alternative, nested, raw");
        message.structure = *structure;
    } else if (hasPayload) {
        message.structure = MimePayload::Structure::Raw;
    } else if (!message.html.empty()) {
        message.structure =
            message.plain.empty() ? MimePayload::Structure::HTML : MimePayload::Structure::Alternative;
    }
    if (hasPayload) {
        if (message.structure != MimePayload::Structure::Raw)
            throw BadRequest("\"payload\" goes only with the raw structure");
        if (!object["payload"].is_object() && !object["payload"].is_null())
            throw BadRequest("\"payload\" must be a JSON object, or null for a message without one");
        message.payload = object["payload"];
    }

    message.receivedAt = optionalNumber(object, "receivedAt");
    message.age = optionalNumber(object, "age");
    if (message.age && *message.age < 0)
        throw BadRequest("\"age\" must not be negative");
    if (const auto found = object.find("internalDate"); found != object.end()) {
        if (!found->is_null() && !found->is_string() && !found->is_number_integer())
            throw BadRequest("\"internalDate\" must be an integer (milliseconds), a string or null");
        message.internalDate = *found;
    }
    if (int(message.receivedAt.has_value()) + int(message.age.has_value()) +
            int(message.internalDate.has_value()) >
        1)
        throw BadRequest("give at most one of \"receivedAt\", \"age\" and \"internalDate\"");

    if (const auto id = optionalString(object, "id")) {
        // The id is a path segment of the message URL; a slash could never be routed back to it.
        if (id->empty() || id->size() > 256 || id->find('/') != std::string::npos)
            throw BadRequest("\"id\" must be 1 to 256 characters without \"/\"");
        message.id = id;
    }
    if (const auto found = object.find("labelIds"); found != object.end()) {
        if (!found->is_array())
            throw BadRequest("\"labelIds\" must be an array of strings");
        std::vector<std::string> labels;
        for (const auto& label : *found) {
            if (!label.is_string())
                throw BadRequest("\"labelIds\" must be an array of strings");
            labels.push_back(label.get<std::string>());
        }
        message.labelIds = std::move(labels);
    }
    return message;
}

} // namespace larkpin::emulator
