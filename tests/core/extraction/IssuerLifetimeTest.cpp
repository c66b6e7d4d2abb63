#include "core/extraction/OTPExtractorInternals.h"

#include "core/extraction/IssuerInference.h"
#include "core/extraction/LifetimeInference.h"
#include "core/extraction/UnicodeSupport.h"

#include <gtest/gtest.h>
#include <unicode/regex.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace larkpin {
namespace {

    using Steps = OTPExtractor::Internals;

    /// Random texts of up to `most` pieces.
    std::string randomText(std::mt19937& random, const std::vector<std::string>& pieces, int most)
    {
        std::string text;
        for (int k = static_cast<int>(random() % static_cast<unsigned>(most + 1)); k > 0; --k)
            text += pieces[random() % pieces.size()];
        return text;
    }

    TEST(Issuer, comesFromTheSenderAlone)
    {
        // The corpus holds the usual senders; these are the odd ones.
        const std::vector<std::pair<std::string, std::string>> cases{
            {"  'Acme Bank' <Alerts@Mail.AcmeBank.CO.UK>\r\n", "Acme Bank · mail.acmebank.co.uk"},
            {"<security@example.org>", "example.org"}, {"weird@@host@Example.net@", "example.net"},
            {"Acme Login", "acme login"}, {"Acme <>", "Acme <>"}, {"Acme <@@>", "Acme <@@>"}, {"@", "@"}, {"  \n ", ""},
            {"Acme <no-reply@acme.com", "acme.com"}, {"Acme > <x@y.z>", "Acme > · y.z"}, {"\"\" <x@y.z>", "y.z"},
            {"\"Ünïcode Ltd\" <x@ÜBER.de>", "Ünïcode Ltd · über.de"},
            {"\"Quote \"Inside\"\" <x@y.z>", "Quote \"Inside · y.z"}};
        for (const auto& [sender, expected] : cases)
            EXPECT_EQ(Steps::issuer(sender), expected) << sender;
    }

    TEST(Issuer, asciiShortcutAgreesWithTheCharacterByCharacterReading)
    {
        const std::vector<std::string> pieces{"<", ">", "@", "@@", "\"", "'", " ", "\t", "\v", "\x1C", "\r\n", "\r",
                                              "\n", "a", "Q", "Acme", "MAIL.Example.COM", "x.y", "_", "-", "\x7F"};
        std::mt19937 random(31);
        for (int round = 0; round < 5000; ++round) {
            const std::string sender = randomText(random, pieces, 11);
            ASSERT_EQ(IssuerInference::issuer(sender), IssuerInference::issuerByCharacters(sender))
                << testing::PrintToString(sender);
        }
    }

    TEST(InferredLifetime, readsPhrasesWithinBounds)
    {
        // The corpus holds a phrase of each language; these are the limits.
        const std::vector<std::pair<std::string, std::optional<double>>> cases{
            {"expires in 5 seconds", 5}, {"expires in 3 seconds", std::nullopt}, {"valid for 7 days", 604800},
            {"valid for 8 days", std::nullopt}, {"EXPIRES IN 12 HRS", 43200}, {"20 min before it    expires", 1200},
            // An out-of-range first pattern lets the second try; only the first match of each counts.
            {"expires in 3 seconds. 10 minutes valid", 600}, {"expires in 3 seconds; 10 minutes valid", std::nullopt},
            {"expires in 3 seconds, expires in 10 minutes", std::nullopt},
            // The number takes at most three digits and needs no boundary before it.
            {"expires in 1440 minutes", 26400}, {"expires. 10 minutes", std::nullopt},
            {"expires in\n10 minutes", std::nullopt}, {"10 minutesvalid", 600},
            {"10 minutes invalidated", std::nullopt},
            {"expires in 10 minutesx", std::nullopt}, {"expires in ١٠ minutes", std::nullopt}};
        for (const auto& [text, expected] : cases)
            EXPECT_EQ(Steps::inferredLifetime(text), expected) << text;
    }

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
            const auto startsWithAny = [&unit](std::initializer_list<const char*> prefixes) {
                return std::any_of(prefixes.begin(), prefixes.end(),
                                   [&unit](const char* prefix) { return unit.starts_with(prefix); });
            };
            const double perUnit = startsWithAny({"sec", "seg", "sek"})                      ? 1
                                   : startsWithAny({"min"})                                  ? 60
                                   : startsWithAny({"hour", "hr", "heur", "hora", "stund"}) ? 3600
                                                                                             : 86400;
            const double lifetime = std::stod(number) * perUnit;
            if (lifetime >= 5 && lifetime <= 604800)
                return lifetime;
        }
        return std::nullopt;
    }

    TEST(InferredLifetime, scanAndPatternsFindWhatAWholeTextSearchFinds)
    {
        // Phrases and their parts in random order, with scalars the scan cannot judge by itself
        // (digits of other scripts, white space beyond ASCII, marks after a unit). Both the scan and
        // the patterns (tried only where a match can begin) must agree with a search that tries every
        // position; the scan must decide most texts by itself.
        const std::vector<std::string> pieces{
            "expires", "expire", "expira", "expir", "valid", "validity", "validit", "valido", "valide", "válida",
            "válid", "gültig", "caduca", "before", "it", " ", "  ", "\n", "\t", "\v", ".", ",", "in", "0", "5",
            "10", "1440", "٢", "\u3000", "\u00A0", "minutes", "minute", "mins", "minuten", "secs", "segundo",
            "sekunde", "hrs", "heure", "stunden", "dias", "tag", "jours", "_", "\u0301", "\u00AD", "é", "日", "s",
            "expires in ", "valid for ", " 10 minutes", "30 seconds before it expires", " before  expires", "8 days",
            "MINUTES", "Stunden", "Expires",
            // Fillers that bring gaps to their limits of 40 and 32 code points.
            "qqqqqqqqqq", "qqqqqqqqq", "\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9"};
        std::mt19937 random(29);
        int decided = 0, decidedNonASCII = 0, found = 0;
        const int rounds = 8000;
        for (int round = 0; round < rounds; ++round) {
            const std::string text = randomText(random, pieces, 15);
            const std::string lowercased = UnicodeSupport::lowercased(text);
            const auto expected = lifetimeBySearch(text);
            ASSERT_EQ(Steps::inferredLifetime(text), expected) << testing::PrintToString(text);
            ASSERT_EQ(LifetimeInference::lifetimeByRegularExpressions(lowercased), expected)
                << testing::PrintToString(text);
            const auto scanned = LifetimeInference::scannedLifetime(lowercased);
            if (!scanned.decided)
                continue;
            ASSERT_EQ(scanned.lifetime, expected) << testing::PrintToString(text);
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
                    for (const std::string& text : {word + fill + "7 minutes", "7 minutes" + fill + "valid"}) {
                        const auto scanned = LifetimeInference::scannedLifetime(text);
                        ASSERT_TRUE(scanned.decided) << text;
                        EXPECT_EQ(scanned.lifetime, lifetimeBySearch(text)) << text;
                    }
                }
            }
        }
    }

} // namespace
} // namespace larkpin
