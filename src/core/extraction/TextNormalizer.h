#pragma once

#include <string>
#include <string_view>

namespace larkpin {

/// Turns a subject or a body into the single clean line that candidates are looked for in.
/// Every function is pure and total, takes valid UTF-8 and counts in user-perceived characters.
class TextNormalizer {
public:
    /// Character entities ("&amp;", "&#65;", "&#x41;") replaced, one level of encoding per call.
    static std::string decodeEntities(std::string_view text);
    /// Every tag replaced by spaces; an unterminated "<" swallows the rest of the text.
    static std::string stripTags(std::string_view text);
    /// NFKC, entities decoded twice, tags stripped, white space collapsed, digits of any script
    /// made ASCII, dashes made "-", invisible characters dropped, trimmed.
    static std::string normalized(std::string_view text);
    /// A plain-text body without the quoted earlier message: cut at the first reply marker, then
    /// without lines that begin with ">".
    static std::string stripQuotedPlainText(std::string_view text);
    /// An HTML body with every blockquote element replaced by one space.
    static std::string removeBlockQuotes(std::string_view html);
};

} // namespace larkpin
