#include "core/extraction/IssuerInference.h"

#include "core/extraction/CharacterArray.h"
#include "core/extraction/UnicodeSupport.h"

#include <optional>
#include <vector>

namespace larkpin {
namespace {

    /// Characters [from, to) of `chars` without the characters at both ends that satisfy `trim`.
    template <typename Trim>
    std::pair<std::size_t, std::size_t> trimmed(const CharacterArray& chars, std::size_t from, std::size_t to, Trim trim)
    {
        while (from < to && trim(chars[from]))
            ++from;
        while (to > from && trim(chars[to - 1]))
            --to;
        return {from, to};
    }

    bool isWhiteSpaceCharacter(std::string_view character)
    {
        return UnicodeSupport::everyScalar(character, UnicodeSupport::isWhiteSpace);
    }

    bool isQuoteCharacter(std::string_view character) { return character == "\"" || character == "'"; }

    bool isASCIIWhiteSpace(char byte) { return (byte >= 0x09 && byte <= 0x0D) || byte == ' '; }

    std::string_view trimmedASCII(std::string_view text, bool (*trim)(char))
    {
        while (!text.empty() && trim(text.front()))
            text.remove_prefix(1);
        while (!text.empty() && trim(text.back()))
            text.remove_suffix(1);
        return text;
    }

    std::string issuerOfASCII(std::string_view sender)
    {
        const std::string_view trimmedSender = trimmedASCII(sender, isASCIIWhiteSpace);
        std::string_view displayName, address = trimmedSender;
        const std::size_t open = trimmedSender.find('<');
        const std::size_t close = open == std::string_view::npos ? open : trimmedSender.find('>', open + 1);
        if (close != std::string_view::npos) {
            address = trimmedASCII(trimmedSender.substr(open + 1, close - open - 1), isASCIIWhiteSpace);
            displayName = trimmedASCII(trimmedASCII(trimmedSender.substr(0, open), isASCIIWhiteSpace),
                                       [](char byte) { return byte == '"' || byte == '\''; });
        }
        const std::size_t pieceEnd = address.find_last_not_of('@');
        const std::string_view domain =
            pieceEnd == std::string_view::npos ? std::string_view() : address.substr(0, pieceEnd + 1);
        const std::string_view lastPiece = domain.substr(domain.find_last_of('@') + 1);
        if (lastPiece.empty())
            return std::string(trimmedSender);
        std::string result;
        result.reserve(displayName.size() + 4 + lastPiece.size());
        if (!displayName.empty())
            result.append(displayName).append(" \u00B7 ");
        for (const char byte : lastPiece)
            result.push_back(byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte);
        return result;
    }

} // namespace

std::string IssuerInference::issuer(std::string_view sender)
{
    return UnicodeSupport::isASCII(sender) ? issuerOfASCII(sender) : issuerByCharacters(sender);
}

std::string IssuerInference::issuerByCharacters(std::string_view sender)
{
    const CharacterArray senderChars(sender);
    const auto [senderStart, senderEnd] = trimmed(senderChars, 0, senderChars.size(), isWhiteSpaceCharacter);
    const std::string_view trimmedSender = senderChars.slice(senderStart, senderEnd);

    std::string_view displayName, address = trimmedSender;
    std::optional<std::size_t> open, close;
    for (std::size_t index = senderStart; index < senderEnd; ++index) {
        if (!open && senderChars.is(index, '<'))
            open = index;
        else if (open && senderChars.is(index, '>')) {
            close = index;
            break;
        }
    }
    if (open && close) {
        const auto [addressStart, addressEnd] = trimmed(senderChars, *open + 1, *close, isWhiteSpaceCharacter);
        address = senderChars.slice(addressStart, addressEnd);
        const auto [nameStart, nameEnd] = trimmed(senderChars, senderStart, *open, isWhiteSpaceCharacter);
        const auto [unquotedStart, unquotedEnd] = trimmed(senderChars, nameStart, nameEnd, isQuoteCharacter);
        displayName = senderChars.slice(unquotedStart, unquotedEnd);
    }

    // The domain is the last non-empty piece between "@" characters; an address without one is all domain.
    const CharacterArray addressChars(address);
    std::string_view domain;
    for (std::size_t index = addressChars.size(); index > 0;) {
        std::size_t pieceEnd = index;
        while (pieceEnd > 0 && addressChars.is(pieceEnd - 1, '@'))
            --pieceEnd;
        std::size_t pieceStart = pieceEnd;
        while (pieceStart > 0 && !addressChars.is(pieceStart - 1, '@'))
            --pieceStart;
        if (pieceStart < pieceEnd) {
            domain = addressChars.slice(pieceStart, pieceEnd);
            break;
        }
        index = pieceStart;
    }

    if (domain.empty())
        return std::string(trimmedSender);
    const std::string lowercasedDomain = UnicodeSupport::lowercased(domain);
    if (displayName.empty())
        return lowercasedDomain;
    return std::string(displayName) + " \u00B7 " + lowercasedDomain;
}

} // namespace larkpin
