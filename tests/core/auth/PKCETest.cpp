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

// RFC 7636 appendix B, then verifiers whose digests need "-" and "_" in base64url.
TEST(PKCE, derivesTheS256ChallengeOfKnownVerifiers)
{
    const struct {
        std::string verifier;
        const char* challenge;
    } cases[]{
        {"dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk", "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"},
        {std::string(43, 'a'), "ZtNPunH49FD35FWYhT5Tv8I7vRKQJ8uxMaL0_9eHjNA"},
        {std::string(128, '~'), "zNhOm5Jyonenca7bQzzpjUpwFDVrfhrbbOGCqgWA6HU"},
        {"abc.DEF-123_xyz~abc.DEF-123_xyz~abc.DEF-123_xyz~", "xAcO9OzyL9pEWxiPNtVIg5xc7qwQXI3loW1uyFCxK3Q"},
    };
    for (const auto& [verifier, challenge] : cases) {
        const PKCE pkce(verifier);
        EXPECT_EQ(pkce.verifier(), verifier);
        EXPECT_EQ(pkce.challenge(), challenge) << verifier;
    }
}

TEST(PKCE, acceptsOnlyVerifiersOf43To128UnreservedCharacters)
{
    const std::string valid(43, 'x');
    const struct {
        std::string verifier;
        bool accepted;
    } cases[]{
        {std::string(42, 'x'), false},
        {std::string(43, 'x'), true},
        {std::string(128, 'x'), true},
        {std::string(129, 'x'), false},
        {"", false},
        {valid + ".", true},
        {valid + "~", true},
        {valid + "-_", true},
        {valid + "+", false},
        {valid + "/", false},
        {valid + "=", false},
        {valid + " ", false},
        {valid + "%41", false},
        {valid + std::string(1, '\0'), false},
        // 42 letters and an é: 44 bytes, but not ASCII.
        {std::string(42, 'x') + "\xC3\xA9", false},
    };
    for (const auto& [verifier, accepted] : cases) {
        if (accepted) {
            EXPECT_NO_THROW(PKCE{verifier}) << verifier;
        } else {
            try {
                PKCE pkce(verifier);
                ADD_FAILURE() << "accepted " << verifier;
            } catch (const PKCE::Error& error) {
                EXPECT_EQ(error, PKCE::Error::invalidVerifier());
                // The verifier is a secret: it never appears in an error.
                if (!verifier.empty()) {
                    EXPECT_EQ(std::string(error.what()).find(verifier), std::string::npos);
                }
            }
        }
    }
}

TEST(PKCE, randomURLSafeStringHasTheUnpaddedBase64URLLengthOfItsBytes)
{
    const struct {
        int byteCount;
        std::size_t length;
    } cases[]{{0, 0}, {1, 2}, {2, 3}, {3, 4}, {31, 42}, {32, 43}, {33, 44}, {96, 128}};
    for (const auto& [byteCount, length] : cases) {
        const auto text = PKCE::randomURLSafeString(byteCount);
        EXPECT_EQ(text.size(), length) << byteCount;
        for (const char c : text)
            EXPECT_TRUE(isBase64URLCharacter(c)) << byteCount << ": " << text;
    }
    EXPECT_THROW(PKCE::randomURLSafeString(-1), std::invalid_argument);
}

// Across many draws every one of the 64 characters turns up (so "+" and "/" really are mapped and
// the bytes are spread), and no draw repeats.
TEST(PKCE, randomURLSafeStringsAreDistinctAndUseTheWholeAlphabet)
{
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

TEST(PKCE, generateMakesAFreshVerifierWithItsChallenge)
{
    const auto first = PKCE::generate();
    const auto second = PKCE::generate();
    EXPECT_EQ(first.verifier().size(), 43u);
    EXPECT_EQ(first, PKCE(first.verifier()));
    EXPECT_NE(first.verifier(), second.verifier());
    EXPECT_NE(first.challenge(), second.challenge());
    EXPECT_EQ(first.challenge().size(), 43u);
}

} // namespace
} // namespace larkpin
