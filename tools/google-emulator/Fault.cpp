#include "Fault.h"

#include "JSONReading.h"

#include <cctype>
#include <string_view>

namespace larkpin::emulator {

using namespace json_reading;
using nlohmann::json;

namespace {

constexpr std::pair<Fault::Kind, const char*> kindNames[] = {
    {Fault::Kind::Status, "status"},         {Fault::Kind::Delay, "delay"}, {Fault::Kind::NotJSON, "notJSON"},
    {Fault::Kind::MissingKey, "missingKey"}, {Fault::Kind::Drop, "drop"},   {Fault::Kind::Trickle, "trickle"},
    {Fault::Kind::Stall, "stall"},
};

bool isHeaderName(const std::string& name) {
    if (name.empty())
        return false;
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) &&
            std::string_view("!#$%&'*+-.^_`|~").find(c) == std::string_view::npos)
            return false;
    return true;
}

} // namespace

Fault Fault::fromJSON(const json& object) {
    requireObject(object, "a fault");
    allowOnly(object, {"path", "kind", "delayMs", "status", "headers", "body", "key", "bytes", "intervalMs"});
    Fault fault;
    if (const auto name = optionalString(object, "kind")) {
        bool known = false;
        for (const auto& [kind, kindName] : kindNames) {
            if (*name == kindName) {
                fault.kind = kind;
                known = true;
            }
        }
        if (!known)
            throw BadRequest(
                "\"kind\" must be one of status, delay, notJSON, missingKey, drop, trickle, stall");
    } else if (object.contains("status")) {
        fault.kind = Kind::Status;
    } else if (object.contains("delayMs")) {
        fault.kind = Kind::Delay;
    } else {
        throw BadRequest("a fault needs a \"kind\" (or a \"status\", or a \"delayMs\")");
    }

    fault.delay = std::chrono::milliseconds(optionalInteger(object, "delayMs", 0, 600000).value_or(0));
    if (fault.kind == Kind::Delay && !object.contains("delayMs"))
        throw BadRequest("a delay fault needs \"delayMs\"");
    const bool answersItself = fault.kind == Kind::Status || fault.kind == Kind::NotJSON;
    if (object.contains("status") && !answersItself)
        throw BadRequest("\"status\" goes only with the status and notJSON kinds");
    if (fault.kind == Kind::Status && !object.contains("status"))
        throw BadRequest("a status fault needs \"status\"");
    fault.status = static_cast<int>(optionalInteger(object, "status", 100, 599).value_or(200));
    if (const auto found = object.find("headers"); found != object.end()) {
        if (!answersItself)
            throw BadRequest("\"headers\" go only with the status and notJSON kinds");
        if (!found->is_object())
            throw BadRequest("\"headers\" must be an object of header names to text values");
        for (const auto& [name, value] : found->items()) {
            if (!isHeaderName(name) || !value.is_string() ||
                value.get<std::string>().find_first_of("\r\n") != std::string::npos)
                throw BadRequest("header \"" + name + "\" must be a valid name with a one-line text value");
            fault.headers.emplace_back(name, value.get<std::string>());
        }
    }
    fault.body = optionalString(object, "body");
    if (fault.body && fault.kind != Kind::Status && fault.kind != Kind::NotJSON && fault.kind != Kind::Drop)
        throw BadRequest("\"body\" goes only with the status, notJSON and drop kinds");
    fault.key = optionalString(object, "key");
    if (fault.key && (fault.kind != Kind::MissingKey || fault.key->empty()))
        throw BadRequest("\"key\" must be a non-empty key name, and goes only with the missingKey kind");
    const bool paced = fault.kind == Kind::Trickle || fault.kind == Kind::Stall;
    if (object.contains("intervalMs") != paced)
        throw BadRequest("the trickle and stall kinds need \"intervalMs\", and no other kind takes it");
    fault.interval = std::chrono::milliseconds(optionalInteger(object, "intervalMs", 1, 600000).value_or(0));
    if (object.contains("bytes") != (fault.kind == Kind::Trickle))
        throw BadRequest("the trickle kind needs \"bytes\", and no other kind takes it");
    fault.bytes = static_cast<std::size_t>(optionalInteger(object, "bytes", 1, 1 << 20).value_or(0));
    return fault;
}

json Fault::toJSON() const {
    json object = {{"delayMs", delay.count()}};
    for (const auto& [kind, name] : kindNames)
        if (kind == this->kind)
            object["kind"] = name;
    if (kind == Kind::Status || kind == Kind::NotJSON)
        object["status"] = status;
    if (!headers.empty()) {
        object["headers"] = json::object();
        for (const auto& [name, value] : headers)
            object["headers"][name] = value;
    }
    if (body)
        object["body"] = *body;
    if (key)
        object["key"] = *key;
    if (kind == Kind::Trickle)
        object["bytes"] = bytes;
    if (kind == Kind::Trickle || kind == Kind::Stall)
        object["intervalMs"] = interval.count();
    return object;
}

} // namespace larkpin::emulator
