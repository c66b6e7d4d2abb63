#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace larkpin {

/// The Unicode services the extractor needs, all through ICU, each with a shortcut for ASCII text
/// (where every character is one scalar, NFKC changes nothing and lowercasing is a table).
///
/// Every function expects valid UTF-8 except `repairedUTF8`, which makes it so.
class UnicodeSupport {
public:
    /// The text with every ill-formed sequence replaced by U+FFFD (one per maximal ill-formed
    /// subpart, as ICU's converters do). Valid text comes back unchanged.
    static std::string repairedUTF8(std::string_view bytes);
    /// True when repairedUTF8 would change nothing.
    static bool isValidUTF8(std::string_view bytes);

    static bool isASCII(std::string_view text);

    /// Compatibility composition (NFKC).
    static std::string nfkc(std::string_view text);

    /// Lowercasing with the root locale (context-sensitive rules such as final sigma included).
    static std::string lowercased(std::string_view text);
    /// The same, always through ICU; lowercased() does without it when no non-ASCII scalar has case.
    static std::string lowercasedByICU(std::string_view text);

    /// One character compared with one ASCII character without regard to case and without locale
    /// (default case folding): "ſ" matches "s", "K" (Kelvin) matches "k".
    static bool equalsIgnoringCase(std::string_view character, char lowercaseASCII);

    // Scalar classes, as the extractor defines them.

    /// Zs, Zl, Zp, U+0009 to U+000D and U+0085.
    static bool isWhiteSpace(char32_t scalar);
    /// Zs and the tab.
    static bool isHorizontalWhiteSpace(char32_t scalar);
    /// U+200B, U+200C, U+200D, U+2060 and U+FEFF.
    static bool isInvisible(char32_t scalar);
    /// The dashes that become "-": U+2010 to U+2015, U+2212, U+FE58, U+FE63, U+FF0D.
    static bool isDash(char32_t scalar);
    /// The whole-number value 0 to 9 of the scalar, or -1 when it has none.
    static int digitValue(char32_t scalar);
    /// True when the scalar has any numeric type (digits, fractions, numerals of any script).
    static bool isNumeric(char32_t scalar);

    /// True when the character is not empty and every scalar in it satisfies `test`.
    template <typename Test> static bool everyScalar(std::string_view character, Test test)
    {
        if (character.empty())
            return false;
        for (std::size_t offset = 0; offset < character.size();)
            if (!test(nextScalar(character, offset)))
                return false;
        return true;
    }

    /// The scalar at `offset`, advancing `offset` past it.
    static char32_t nextScalar(std::string_view text, std::size_t& offset);
    static bool isSingleScalar(std::string_view character);
    static char32_t firstScalar(std::string_view character);

    static void appendScalar(std::string& text, char32_t scalar);

private:
    /// The scalar at `offset` (negative when ill-formed), advancing `offset` past what it read.
    static std::int32_t decodeNext(std::string_view text, std::size_t& offset);
};

} // namespace larkpin
