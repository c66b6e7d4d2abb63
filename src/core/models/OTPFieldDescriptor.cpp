#include "core/models/OTPFieldDescriptor.h"

#include "core/support/CharacterCount.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>

namespace larkpin {
namespace {

constexpr std::array<std::string_view, 11> keywords = {
    "otp", "one-time", "one time",   "verification",        "security code",     "passcode",
    "pin", "2fa",      "two-factor", "authentication code", "confirmation code",
};

constexpr std::size_t maximumValueLength = 8;

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

std::string OTPFieldDescriptor::folded(std::string_view text) {
    // Labels are mostly ASCII, where folding is plain lowercasing and there is nothing to decompose.
    if (isASCII(text)) {
        std::string result(text);
        std::transform(result.begin(), result.end(), result.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        return result;
    }

    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    const auto source =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    icu::UnicodeString decomposed = U_SUCCESS(status) ? nfd->normalize(source, status) : source;
    if (U_FAILURE(status))
        decomposed = source;

    icu::UnicodeString bare;
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 scalar = decomposed.char32At(i);
        if (u_charType(scalar) != U_NON_SPACING_MARK)
            bare.append(scalar);
        i += U16_LENGTH(scalar);
    }
    // Default (locale-independent) folding: under a Turkish locale "PIN" must still read as "pin".
    bare.foldCase();

    std::string result;
    bare.toUTF8String(result);
    return result;
}

bool OTPFieldDescriptor::labelNamesCode(std::string_view label) {
    const std::string text = folded(label);
    return std::any_of(keywords.begin(), keywords.end(),
                       [&](std::string_view keyword) { return text.find(keyword) != std::string::npos; });
}

bool OTPFieldDescriptor::passesRulesOtherThanLabel() const {
    return isSettable && subrole != secureTextFieldSubrole &&
           (role == textFieldRole || role == textAreaRole) && characterCount(value) <= maximumValueLength;
}

bool OTPFieldDescriptor::isLikelyOTP() const {
    if (!isSettable)
        return false;
    if (subrole == secureTextFieldSubrole)
        return false;
    if (role != textFieldRole && role != textAreaRole)
        return false;
    if (!labelNamesCode(label))
        return false;
    return characterCount(value) <= maximumValueLength;
}

} // namespace larkpin
