#include "FormEncoding.h"

#include <cctype>
#include <set>

namespace larkpin::emulator::form_encoding {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> decodeComponent(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string encodeComponent(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
    }
    return out;
}

} // namespace

std::optional<Pairs> decode(std::string_view text) {
    Pairs pairs;
    while (!text.empty()) {
        const auto end = text.find('&');
        const std::string_view piece = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (piece.empty())
            continue;
        const auto equals = piece.find('=');
        auto name = decodeComponent(piece.substr(0, equals));
        auto value = decodeComponent(equals == std::string_view::npos ? std::string_view() : piece.substr(equals + 1));
        if (!name || !value)
            return std::nullopt;
        pairs.emplace_back(std::move(*name), std::move(*value));
    }
    return pairs;
}

std::string encode(const Pairs& pairs) {
    std::string out;
    for (const auto& [name, value] : pairs) {
        if (!out.empty())
            out += '&';
        out += encodeComponent(name);
        out += '=';
        out += encodeComponent(value);
    }
    return out;
}

std::optional<std::string> value(const Pairs& pairs, std::string_view name) {
    for (const auto& [key, value] : pairs)
        if (key == name)
            return value;
    return std::nullopt;
}

std::optional<std::string> repeatedName(const Pairs& pairs) {
    std::set<std::string_view> seen;
    for (const auto& [name, value] : pairs)
        if (!seen.insert(name).second)
            return name;
    return std::nullopt;
}

} // namespace larkpin::emulator::form_encoding
