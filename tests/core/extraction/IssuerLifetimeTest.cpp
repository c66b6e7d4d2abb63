#include "core/extraction/OTPExtractorInternals.h"

#include "core/extraction/IssuerInference.h"
#include "core/extraction/LifetimeInference.h"
#include "core/extraction/UnicodeSupport.h"

#include <gtest/gtest.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace larkpin {
namespace {

    using Steps = OTPExtractor::Internals;

    struct IssuerCase {
        std::string sender;
        std::string expected;
    };

    void PrintTo(const IssuerCase& c, std::ostream* os) { *os << '"' << c.sender << '"'; }

    class Issuer : public testing::TestWithParam<IssuerCase> {};

    TEST_P(Issuer, comesFromTheSenderAlone) { EXPECT_EQ(Steps::issuer(GetParam().sender), GetParam().expected); }

    INSTANTIATE_TEST_SUITE_P(
        IssuerForms, Issuer,
        testing::Values(
            IssuerCase{"\"GitHub\" <noreply@GitHub.com>", "GitHub · github.com"},
            IssuerCase{"  'Acme Bank' <Alerts@Mail.AcmeBank.CO.UK>\r\n", "Acme Bank · mail.acmebank.co.uk"},
            IssuerCase{"Stripe <support@stripe.com>", "Stripe · stripe.com"},
            IssuerCase{"<security@example.org>", "example.org"}, IssuerCase{"No-Reply@Example.COM", "example.com"},
            IssuerCase{"weird@@host@Example.net@", "example.net"}, IssuerCase{"Acme Login", "acme login"},
            IssuerCase{"Acme <>", "Acme <>"}, IssuerCase{"Acme <@@>", "Acme <@@>"}, IssuerCase{"@", "@"},
            IssuerCase{"", ""}, IssuerCase{"  \n ", ""}, IssuerCase{"Unknown sender", "unknown sender"},
            IssuerCase{"Acme <no-reply@acme.com", "acme.com"}, IssuerCase{"Acme > <x@y.z>", "Acme > · y.z"},
            IssuerCase{"\"\" <x@y.z>", "y.z"}, IssuerCase{"\"Ünïcode Ltd\" <x@ÜBER.de>", "Ünïcode Ltd · über.de"},
            IssuerCase{"\"Quote \"Inside\"\" <x@y.z>", "Quote \"Inside · y.z"}));

    TEST(Issuer, asciiShortcutAgreesWithTheCharacterByCharacterReading)
    {
        const std::vector<std::string> pieces{"<", ">", "@", "@@", "\"", "'", " ", "\t", "\v", "\x1C", "\r\n", "\r",
                                              "\n", "a", "Q", "Acme", "MAIL.Example.COM", "x.y", "_", "-", "\x7F"};
        std::mt19937 random(31);
        for (int round = 0; round < 5000; ++round) {
            std::string sender;
            const int length = static_cast<int>(random() % 12);
            for (int k = 0; k < length; ++k)
                sender += pieces[random() % pieces.size()];
            ASSERT_EQ(IssuerInference::issuer(sender), IssuerInference::issuerByCharacters(sender))
                << testing::PrintToString(sender);
        }
    }

    struct LifetimeCase {
        std::string text;
        std::optional<double> expected;
    };

    void PrintTo(const LifetimeCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

    class InferredLifetime : public testing::TestWithParam<LifetimeCase> {};

    TEST_P(InferredLifetime, readsPhrasesWithinBounds)
    {
        EXPECT_EQ(Steps::inferredLifetime(GetParam().text), GetParam().expected);
    }

    INSTANTIATE_TEST_SUITE_P(
        Lifetimes, InferredLifetime,
        testing::Values(
            // Every language and unit family the patterns cover.
            LifetimeCase{"It expires in 10 minutes.", 600}, LifetimeCase{"Valid for 2 hours", 7200},
            LifetimeCase{"Caduca en 5 minutos", 300}, LifetimeCase{"Gültig für 1 Stunde", 3600},
            LifetimeCase{"30 seconds before it expires", 30}, LifetimeCase{"Expira em 15 minutos", 900},
            LifetimeCase{"Válido por 3 horas", 10800}, LifetimeCase{"válida durante 1 dia", 86400},
            LifetimeCase{"Ce code expire dans 20 secondes", 20}, LifetimeCase{"valable 2 heures expire 2 heures", 7200},
            LifetimeCase{"gültig 45 Sekunden", 45}, LifetimeCase{"45 Sekunden gültig", std::nullopt}, LifetimeCase{"gültig: 2 Tage", 172800},
            LifetimeCase{"expire dans 1 jour", 86400}, LifetimeCase{"Validity: 90 secs", 90},
            LifetimeCase{"expires in 12 hrs", 43200}, LifetimeCase{"EXPIRES IN 5 MINS", 300},
            LifetimeCase{"Valide 10 minuten", 600}, LifetimeCase{"validade de 7 days", 604800},
            LifetimeCase{"code valid 4 min", 240}, LifetimeCase{"expiring after 3 days", 259200},
            LifetimeCase{"10 minutes valid", 600}, LifetimeCase{"for 2 hours this code is valid", 7200},
            LifetimeCase{"use within 5 minutes before expires", 300},
            LifetimeCase{"20 min before it    expires", 1200},
            // Bounds: 5 seconds to 7 days inclusive; an out-of-range first pattern lets the second try.
            LifetimeCase{"expires in 5 seconds", 5}, LifetimeCase{"expires in 3 seconds", std::nullopt},
            LifetimeCase{"valid for 8 days", std::nullopt}, LifetimeCase{"valid for 7 days", 604800},
            LifetimeCase{"expires in 3 seconds. 10 minutes valid", 600},
            LifetimeCase{"expires in 3 seconds; 10 minutes valid", std::nullopt},
            // Only the first match of each pattern counts.
            LifetimeCase{"expires in 3 seconds, expires in 10 minutes", std::nullopt},
            // The number takes at most three digits and needs no boundary before it.
            LifetimeCase{"expires in 1440 minutes", 26400},
            LifetimeCase{"expires. 10 minutes", std::nullopt},
            LifetimeCase{"expires " + std::string(41, 'x') + " 10 minutes", std::nullopt},
            LifetimeCase{"expires " + std::string(38, 'x') + " 10 minutes", 600},
            LifetimeCase{"expires in\n10 minutes", std::nullopt}, LifetimeCase{"10 minutesvalid", 600}, LifetimeCase{"10 minutes invalidated", std::nullopt},
            LifetimeCase{"expires in 10 minutesx", std::nullopt}, LifetimeCase{"expires in ١٠ minutes", std::nullopt},
            LifetimeCase{"no lifetime here", std::nullopt}, LifetimeCase{"", std::nullopt}));

    /// The lifetime as a plain left-to-right search of each pattern over the whole text finds it.
    std::optional<double> lifetimeBySearch(const std::string& text)
    {
        static const char* const patterns[] = {
            "(?:expires?|expir(?:e|es|a)?|valid(?:ity|o|a|e)?|válid[oa]|gültig|caduca)[^.\\n]{0,40}?(\\d{1,3})\\s*"
            "(seconds?|secs?|secondes?|segundos?|sekunden?|minutes?|mins?|minutos?|minuten?|hours?|hrs?|heures?|"
            "horas?|stunden?|days?|jours?|dias?|tage?)\\b",
            "(\\d{1,3})\\s*(seconds?|secs?|secondes?|segundos?|sekunden?|minutes?|mins?|minutos?|minuten?|hours?|hrs?|"
            "heures?|horas?|stunden?|days?|jours?|dias?|tage?)[^.\\n]{0,32}?(?:valid(?:ity)?|before\\s+(?:it\\s+)?"
            "expires?)\\b",
        };
        const auto lowercased = icu::UnicodeString::fromUTF8(UnicodeSupport::lowercased(text));
        for (const char* pattern : patterns) {
            UErrorCode status = U_ZERO_ERROR;
            icu::RegexMatcher matcher(icu::UnicodeString::fromUTF8(pattern), lowercased, 0, status);
            if (!matcher.find(status))
                continue;
            std::string number, unit;
            matcher.group(1, status).toUTF8String(number);
            matcher.group(2, status).toUTF8String(unit);
            if (number.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const double perUnit = unit.starts_with("sec") || unit.starts_with("seg") || unit.starts_with("sek") ? 1
                                   : unit.starts_with("min")                                                    ? 60
                                   : unit.starts_with("hour") || unit.starts_with("hr") || unit.starts_with("heur") ||
                                           unit.starts_with("hora") || unit.starts_with("stund")
                                       ? 3600
                                       : 86400;
            const double lifetime = std::stod(number) * perUnit;
            if (lifetime >= 5 && lifetime <= 604800)
                return lifetime;
        }
        return std::nullopt;
    }

    TEST(InferredLifetime, findsWhatAWholeTextSearchFinds)
    {
        // The search only tries positions where a match can begin; on random phrase soup it must
        // agree with a search that tries every position.
        const std::vector<std::string> pieces{
            "expires", "expire", "expira", "valid", "validity", "valido", "válida", "gültig", "caduca", "before",
            "it", " ", "  ", "\n", ".", ",", "in", "for", "10", "1440", "3", "7", "١", "x", "é", "\u3000",
            "minutes", "min", "seconds", "secs", "hours", "hrs", "days", "tage", "jours", "Stunden", "MINUTES"};
        std::mt19937 random(7);
        for (int round = 0; round < 4000; ++round) {
            std::string text;
            const int length = static_cast<int>(random() % 16);
            for (int k = 0; k < length; ++k)
                text += pieces[random() % pieces.size()];
            ASSERT_EQ(Steps::inferredLifetime(text), lifetimeBySearch(text)) << testing::PrintToString(text);
        }
    }

    TEST(InferredLifetime, scanAgreesWithTheRegularExpressions)
    {
        // Phrases and their parts in random order, with scalars the scan cannot judge by itself
        // (digits of other scripts, white space beyond ASCII, marks after a unit): whenever the scan
        // decides, it must give what the patterns give, and it must decide most texts.
        const std::vector<std::string> pieces{
            "expires", "expire", "expira", "expir", "valid", "validity", "validit", "valido", "valide", "válida",
            "válid", "gültig", "caduca", "before", "it", " ", "  ", "\n", "\t", "\v", ".", ",", "in", "0", "5",
            "10", "1440", "٢", "\u3000", "\u00A0", "minutes", "minute", "mins", "minuten", "secs", "segundo",
            "sekunde", "hrs", "heure", "stunden", "dias", "tag", "jours", "_", "\u0301", "\u00AD", "é", "日", "s",
            "expires in ", "valid for ", " 10 minutes", "30 seconds before it expires", " before  expires", "8 days",
            // Fillers that bring gaps to their limits of 40 and 32 code points.
            "qqqqqqqqqq", "qqqqqqqqq", "\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9"};
        std::mt19937 random(29);
        int decided = 0, decidedNonASCII = 0, found = 0;
        const int rounds = 6000;
        for (int round = 0; round < rounds; ++round) {
            std::string text;
            const int length = static_cast<int>(random() % 14);
            for (int k = 0; k < length; ++k)
                text += pieces[random() % pieces.size()];
            const auto byPatterns = LifetimeInference::lifetimeByRegularExpressions(text);
            ASSERT_EQ(byPatterns, lifetimeBySearch(text)) << testing::PrintToString(text);
            const auto scanned = LifetimeInference::scannedLifetime(text);
            if (!scanned.decided)
                continue;
            ASSERT_EQ(scanned.lifetime, byPatterns) << testing::PrintToString(text);
            ++decided;
            decidedNonASCII += !UnicodeSupport::isASCII(text);
            found += scanned.lifetime.has_value();
        }
        EXPECT_GT(decided, rounds * 3 / 4);
        EXPECT_GT(decidedNonASCII, rounds / 4);
        EXPECT_GT(found, rounds / 20);
    }

    TEST(InferredLifetime, scanCountsGapsInCodePointsUpToTheirLimits)
    {
        // Gaps around the limits (40 after the leading word, 32 before the closing one), of one- and
        // two-byte scalars, after each form of the leading word.
        for (const std::string filler : {"q", "\u00E9"}) {
            for (int gap = 30; gap <= 42; ++gap) {
                std::string fill;
                for (int k = 0; k < gap; ++k)
                    fill += filler;
                for (const std::string word : {"expires", "expire", "expira", "expir", "validity", "valide", "valid",
                                               "caduca", "v\u00E1lido", "g\u00FCltig"}) {
                    const std::string first = word + fill + "7 minutes";
                    const std::string second = "7 minutes" + fill + "valid";
                    for (const std::string& text : {first, second}) {
                        const auto scanned = LifetimeInference::scannedLifetime(text);
                        ASSERT_TRUE(scanned.decided) << text;
                        EXPECT_EQ(scanned.lifetime, LifetimeInference::lifetimeByRegularExpressions(text)) << text;
                    }
                }
            }
        }
    }

    TEST(InferredLifetime, patternClassesAreTheScalarPropertiesTheScanUses)
    {
        // The scan takes \d for u_isdigit and \s for u_isUWhiteSpace: check them on every scalar.
        icu::UnicodeString everyScalar;
        for (UChar32 scalar = 0; scalar <= 0x10FFFF; ++scalar)
            if (scalar < 0xD800 || scalar > 0xDFFF)
                everyScalar.append(scalar);
        for (const auto& [pattern, property] :
             {std::pair{"\\d", &u_isdigit}, std::pair{"\\s", &u_isUWhiteSpace}}) {
            UErrorCode status = U_ZERO_ERROR;
            icu::RegexMatcher matcher(icu::UnicodeString::fromUTF8(pattern), everyScalar, 0, status);
            ASSERT_TRUE(U_SUCCESS(status));
            std::vector<UChar32> matched, expected;
            while (matcher.find(status))
                matched.push_back(everyScalar.char32At(matcher.start(status)));
            for (UChar32 scalar = 0; scalar <= 0x10FFFF; ++scalar)
                if ((scalar < 0xD800 || scalar > 0xDFFF) && property(scalar))
                    expected.push_back(scalar);
            EXPECT_EQ(matched, expected) << pattern;
        }
    }

    TEST(InferredLifetime, scanLeavesUnicodePropertiesToTheRegularExpressions)
    {
        for (const std::string text : {"expires in \u0661\u0660 minutes", "expires in 1\u0660 minutes",
                                       "valid for 5 minutes\u0301", "10\u3000minutes valid", "5 minutes valid\u00E9"})
            EXPECT_FALSE(LifetimeInference::scannedLifetime(text).decided) << text;
        // Scalars that are neither digits nor white space are judged without asking.
        EXPECT_EQ(LifetimeInference::scannedLifetime("caduca \u00E9n 5 minutos").lifetime, 300);
        EXPECT_EQ(LifetimeInference::scannedLifetime("g\u00FCltig f\u00FCr 1 stunde").lifetime, 3600);
        EXPECT_EQ(LifetimeInference::scannedLifetime("v\u00E1lido por 2 horas").lifetime, 7200);
        EXPECT_EQ(LifetimeInference::scannedLifetime("5 minutes \u65E5 valid").lifetime, 300);
    }

} // namespace
} // namespace larkpin
