#include "core/auth/PKCE.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

namespace larkpin {
namespace {

bool isBase64URLCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

TEST(PKCE, derivesTheChallengeOfTheRFC7636Example)
{
    const PKCE pkce("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");
    EXPECT_EQ(pkce.challenge(), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(PKCE, acceptsOnlyVerifiersOf43To128UnreservedCharacters)
{
    const std::string x42(42, 'x'), x43(43, 'x');
    // clang-format off
    const std::pair<std::string, bool> cases[]{
        {x42, false}, {x43, true}, {std::string(128, 'x'), true}, {std::string(129, 'x'), false}, {x43 + ".~-_", true},
        {x43 + "+", false}, {x43 + "/", false}, {x43 + "=", false}, {x43 + " ", false}, {x43 + "%41", false},
        {x42 + "\xC3\xA9", false}, // 44 bytes, not ASCII
    };
    // clang-format on
    for (const auto& [verifier, accepted] : cases) {
        try {
            EXPECT_EQ(PKCE(verifier).verifier(), verifier);
            EXPECT_TRUE(accepted) << verifier;
        } catch (const PKCE::Error& error) {
            EXPECT_FALSE(accepted) << verifier;
            EXPECT_EQ(error, PKCE::Error::invalidVerifier());
            // The verifier is a secret: it never appears in an error.
            EXPECT_EQ(std::string(error.what()).find(verifier), std::string::npos);
        }
    }
}

// Lengths are those of unpadded base64url. Across many draws every one of the 64 characters turns
// up (so "+" and "/" really are mapped and the bytes are spread), and no draw repeats.
TEST(PKCE, randomURLSafeStringsAreDistinctUnpaddedBase64URL)
{
    EXPECT_EQ(PKCE::randomURLSafeString(0), "");
    EXPECT_THROW(PKCE::randomURLSafeString(-1), std::invalid_argument);
    std::set<std::string> draws;
    std::set<char> seen;
    for (int i = 0; i < 500; ++i) {
        const auto text = PKCE::randomURLSafeString(32);
        ASSERT_EQ(text.size(), 43u);
        for (const char c : text) {
            ASSERT_TRUE(isBase64URLCharacter(c)) << text;
            seen.insert(c);
        }
        draws.insert(text);
    }
    EXPECT_EQ(draws.size(), 500u);
    EXPECT_EQ(seen.size(), 64u);
}

} // namespace
} // namespace larkpin
