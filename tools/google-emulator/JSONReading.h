#pragma once

#include "BadRequest.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace larkpin::emulator::json_reading {

// Checked access to control request bodies: every mistake becomes a BadRequest that names the key,
// never a crash or a silent default.

inline void requireObject(const nlohmann::json& value, std::string_view what) {
    if (!value.is_object())
        throw BadRequest(std::string(what) + " must be a JSON object");
}

inline void allowOnly(const nlohmann::json& object, std::initializer_list<std::string_view> keys) {
    for (const auto& [key, value] : object.items()) {
        bool known = false;
        for (const auto allowed : keys)
            known = known || key == allowed;
        if (!known)
            throw BadRequest("unknown key \"" + key + "\"");
    }
}

inline std::optional<std::string> optionalString(const nlohmann::json& object, const std::string& key) {
    const auto found = object.find(key);
    if (found == object.end())
        return std::nullopt;
    if (!found->is_string())
        throw BadRequest("\"" + key + "\" must be a string");
    return found->get<std::string>();
}

inline std::string requiredString(const nlohmann::json& object, const std::string& key) {
    auto value = optionalString(object, key);
    if (!value)
        throw BadRequest("\"" + key + "\" is required");
    return *value;
}

inline std::optional<double> optionalNumber(const nlohmann::json& object, const std::string& key) {
    const auto found = object.find(key);
    if (found == object.end())
        return std::nullopt;
    if (!found->is_number() || !std::isfinite(found->get<double>()))
        throw BadRequest("\"" + key + "\" must be a finite number");
    return found->get<double>();
}

/// An integer within [minimum, maximum].
inline std::optional<std::int64_t> optionalInteger(const nlohmann::json& object, const std::string& key,
                                                   std::int64_t minimum, std::int64_t maximum) {
    const auto found = object.find(key);
    if (found == object.end())
        return std::nullopt;
    const auto fail = [&] {
        return BadRequest("\"" + key + "\" must be an integer from " + std::to_string(minimum) + " to " +
                          std::to_string(maximum));
    };
    if (!found->is_number_integer())
        throw fail();
    if (found->is_number_unsigned() && found->get<std::uint64_t>() > static_cast<std::uint64_t>(maximum))
        throw fail();
    const auto value = found->get<std::int64_t>();
    if (value < minimum || value > maximum)
        throw fail();
    return value;
}

} // namespace larkpin::emulator::json_reading
