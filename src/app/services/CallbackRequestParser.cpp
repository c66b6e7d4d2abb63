#include "app/services/CallbackRequestParser.h"

#include "core/support/Utf8.h"

#include <optional>
#include <string>
#include <vector>

namespace larkpin {
namespace {

using Error = LoopbackCallbackServer::Error;

struct QueryItem {
    std::optional<std::string> name; ///< absent when its decoding is not UTF-8
    std::optional<std::string> value; ///< absent without "=", or when its decoding is not UTF-8
};

std::vector<std::string_view> split(std::string_view text, std::string_view separator)
{
    std::vector<std::string_view> pieces;
    for (;;) {
        const auto at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return pieces;
        text.remove_prefix(at + separator.size());
    }
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

// RFC 3986 pchar without "%": unreserved, sub-delims, ":" and "@".
bool isPathCharacter(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("-._~!$&'()*+,;=:@").find(c) != std::string_view::npos;
}

// A URL component may hold its allowed characters and well-formed percent escapes only.
bool isWellFormed(std::string_view component, std::string_view alsoAllowed)
{
    for (std::size_t i = 0; i < component.size(); ++i) {
        const char c = component[i];
        if (c == '%') {
            if (i + 2 >= component.size() || !isHexDigit(component[i + 1]) || !isHexDigit(component[i + 2]))
                return false;
            i += 2;
        } else if (!isPathCharacter(c) && alsoAllowed.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

// Escapes are known to be well-formed here; "+" stays "+" as in any URL query.
std::optional<std::string> percentDecoded(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    if (!Utf8::isValid(decoded))
        return std::nullopt;
    return decoded;
}

std::vector<QueryItem> queryItems(std::string_view query)
{
    std::vector<QueryItem> items;
    for (const auto piece : split(query, "&")) {
        const auto equals = piece.find('=');
        QueryItem item{percentDecoded(piece.substr(0, equals)), std::nullopt};
        if (equals != std::string_view::npos)
            item.value = percentDecoded(piece.substr(equals + 1));
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<const QueryItem*> itemsNamed(const std::vector<QueryItem>& items, std::string_view name)
{
    std::vector<const QueryItem*> found;
    for (const auto& item : items)
        if (item.name == name)
            found.push_back(&item);
    return found;
}

bool hasNonEmptyValue(const QueryItem& item)
{
    return item.value && !item.value->empty();
}

} // namespace

LoopbackCallbackServer::Callback CallbackRequestParser::parse(std::string_view request,
                                                              std::string_view expectedState,
                                                              std::string_view callbackPath)
{
    if (!Utf8::isValid(request))
        throw Error::malformedRequest();
    const auto requestLine = split(request, "\r\n").front();
    const auto parts = split(requestLine, " ");
    if (parts.size() != 3)
        throw Error::malformedRequest();
    if (parts[0] != "GET")
        throw Error::invalidMethod();

    // The target is origin-form: a path, then an optional query and fragment.
    const auto target = parts[1];
    if (!target.starts_with('/'))
        throw Error::malformedRequest();
    const auto fragmentStart = target.find('#');
    const auto beforeFragment = target.substr(0, fragmentStart);
    const auto queryStart = beforeFragment.find('?');
    const auto path = beforeFragment.substr(0, queryStart);
    const auto query = queryStart == std::string_view::npos ? std::string_view() : beforeFragment.substr(queryStart + 1);
    const auto fragment = fragmentStart == std::string_view::npos ? std::string_view() : target.substr(fragmentStart + 1);
    if (!isWellFormed(path, "/") || !isWellFormed(query, "/?") || !isWellFormed(fragment, "/?"))
        throw Error::malformedRequest();

    // Compared as sent: an encoded path is a different path.
    if (path != callbackPath)
        throw Error::invalidPath();

    const auto items = queryStart == std::string_view::npos ? std::vector<QueryItem>() : queryItems(query);
    const auto states = itemsNamed(items, "state");
    if (states.size() != 1 || !states.front()->value || !constantTimeEqual(*states.front()->value, expectedState))
        throw Error::invalidState();

    const auto errors = itemsNamed(items, "error");
    if (errors.size() == 1 && hasNonEmptyValue(*errors.front()))
        throw Error::oauth(*errors.front()->value);
    if (!errors.empty())
        throw Error::malformedRequest();

    const auto codes = itemsNamed(items, "code");
    if (codes.size() != 1 || !hasNonEmptyValue(*codes.front()))
        throw Error::missingCode();
    return LoopbackCallbackServer::Callback{*codes.front()->value};
}

bool CallbackRequestParser::constantTimeEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace larkpin
