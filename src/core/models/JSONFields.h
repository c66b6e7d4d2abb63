#pragma once

#include "core/models/DecodingError.h"
#include "core/support/TimePoint.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// Reading record fields from JSON objects: a required key must be present with the right type; an
// optional key may be missing (or null) but, when present, must have the right type. Unknown keys
// are ignored. Every failure is a DecodingError naming the key.
namespace larkpin::json_fields {

template <typename T> T decodeValue(const nlohmann::json& value, const char* key)
{
    try {
        if constexpr (std::is_same_v<T, TimePoint>) {
            if (!value.is_number())
                throw DecodingError(std::string("Key \"") + key + "\" must be a number of seconds");
            return timePointFromSecondsSince1970(value.get<double>());
        } else {
            return value.get<T>();
        }
    } catch (const nlohmann::json::exception& error) {
        throw DecodingError(std::string("Key \"") + key + "\" has the wrong type: " + error.what());
    }
}

template <typename T> T required(const nlohmann::json& object, const char* key)
{
    if (!object.is_object())
        throw DecodingError(std::string("Expected an object holding \"") + key + "\"");
    const auto found = object.find(key);
    if (found == object.end())
        throw DecodingError(std::string("Missing required key \"") + key + "\"");
    return decodeValue<T>(*found, key);
}

template <typename T> std::optional<T> optional(const nlohmann::json& object, const char* key)
{
    if (!object.is_object())
        throw DecodingError(std::string("Expected an object holding \"") + key + "\"");
    const auto found = object.find(key);
    if (found == object.end() || found->is_null())
        return std::nullopt;
    return decodeValue<T>(*found, key);
}

/// The member itself, without copying it; null when it is missing or JSON null.
inline const nlohmann::json* optionalMember(const nlohmann::json& object, const char* key)
{
    if (!object.is_object())
        throw DecodingError(std::string("Expected an object holding \"") + key + "\"");
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

} // namespace larkpin::json_fields
