#include "core/models/GmailMessageDecoder.h"

#include "core/models/DecodingError.h"

#include <simdjson.h>

namespace larkpin {
namespace {

// simdjson reads a message an order of magnitude faster than a parser that builds a generic
// document of maps and strings first, and a sync reads a few kilobytes of JSON per message.
using Payload = GmailMessage::Payload;
using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

object asObject(element value, const char* key)
{
    object result;
    if (value.get_object().get(result) != simdjson::SUCCESS)
        throw DecodingError(std::string("Key \"") + key + "\" must be an object");
    return result;
}

array asArray(element value, const char* key)
{
    array result;
    if (value.get_array().get(result) != simdjson::SUCCESS)
        throw DecodingError(std::string("Key \"") + key + "\" must be an array");
    return result;
}

std::string asString(element value, const char* key)
{
    std::string_view result;
    if (value.get_string().get(result) != simdjson::SUCCESS)
        throw DecodingError(std::string("Key \"") + key + "\" must be a string");
    return std::string(result);
}

/// The member, or nothing when it is missing or null.
std::optional<element> optionalMember(object document, const char* key)
{
    element value;
    if (document.at_key(key).get(value) != simdjson::SUCCESS || value.is_null())
        return std::nullopt;
    return value;
}

std::string requiredString(object document, const char* key)
{
    element value;
    if (document.at_key(key).get(value) != simdjson::SUCCESS)
        throw DecodingError(std::string("Missing required key \"") + key + "\"");
    return asString(value, key);
}

std::optional<std::string> optionalString(object document, const char* key)
{
    const auto value = optionalMember(document, key);
    return value ? std::optional(asString(*value, key)) : std::nullopt;
}

Payload decodePayload(element value, int depth)
{
    if (depth > GmailMessageDecoder::maximumDepth)
        throw DecodingError("Message parts are nested more than "
                            + std::to_string(GmailMessageDecoder::maximumDepth) + " levels deep");
    const object document = asObject(value, "payload");
    Payload payload;
    payload.mimeType = optionalString(document, "mimeType");
    if (const auto headers = optionalMember(document, "headers")) {
        payload.headers.emplace();
        for (const element header : asArray(*headers, "headers")) {
            const object fields = asObject(header, "headers");
            payload.headers->push_back({.name = requiredString(fields, "name"), .value = requiredString(fields, "value")});
        }
    }
    if (const auto body = optionalMember(document, "body"))
        payload.body = Payload::Body{.data = optionalString(asObject(*body, "body"), "data")};
    if (const auto parts = optionalMember(document, "parts")) {
        payload.parts.emplace();
        for (const element part : asArray(*parts, "parts"))
            payload.parts->push_back(decodePayload(part, depth + 1));
    }
    return payload;
}

} // namespace

struct GmailMessageDecoder::Parser {
    simdjson::dom::parser parser;
};

GmailMessageDecoder::GmailMessageDecoder() : parser_(std::make_unique<Parser>()) {}

GmailMessageDecoder::~GmailMessageDecoder() = default;

GmailMessage GmailMessageDecoder::decode(std::string_view json)
{
    const std::lock_guard lock(mutex_);
    if (!parser_)
        parser_ = std::make_unique<Parser>();
    // Buffers grown for one huge message are not worth keeping for the ordinary ones.
    struct Trim {
        std::unique_ptr<Parser>& parser;
        ~Trim()
        {
            if (parser->parser.capacity() > retainedCapacity)
                parser.reset();
        }
    } const trim{parser_};
    element document;
    if (const auto error = parser_->parser.parse(json.data(), json.size()).get(document); error != simdjson::SUCCESS)
        throw DecodingError(std::string("Gmail's answer is not JSON: ") + simdjson::error_message(error));
    object fields;
    if (document.get_object().get(fields) != simdjson::SUCCESS)
        throw DecodingError("Expected an object holding \"id\"");
    GmailMessage message;
    message.id = requiredString(fields, "id");
    message.internalDate = optionalString(fields, "internalDate");
    if (const auto payload = optionalMember(fields, "payload"))
        message.payload = decodePayload(*payload, 0);
    return message;
}

} // namespace larkpin
