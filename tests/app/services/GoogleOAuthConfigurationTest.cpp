#include "app/services/GoogleOAuthConfiguration.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace larkpin {
namespace {

using Environment = GoogleOAuthConfiguration::Environment;

const std::string gmailReadOnly = "https://www.googleapis.com/auth/gmail.readonly";

struct SourceCase {
    const char* name;
    Environment environment;
    Bundle::Values bundle;
    std::optional<std::string> clientID; ///< nothing: load fails with missingClientID
    std::optional<std::string> clientSecret;
};

// Which source supplies the client id and secret, and how they are trimmed.
TEST(GoogleOAuthConfiguration, takesClientIDAndSecretFromTheFirstSourcePresentAndTrimsThem)
{
    const std::string nbsp = "\xC2\xA0", emSpace = "\xE2\x80\x83", lineSeparator = "\xE2\x80\xA8",
                      ideographicSpace = "\xE3\x80\x80", nextLine = "\xC2\x85", zeroWidthSpace = "\xE2\x80\x8B";
    const SourceCase cases[]{
        {"environment beats the bundle",
         {{"GOOGLE_OAUTH_CLIENT_ID", "env-id"}, {"GOOGLE_OAUTH_CLIENT_SECRET", "env-secret"}},
         {{"GoogleOAuthClientID", "build-id"}, {"GoogleOAuthClientSecret", "build-secret"}},
         "env-id", "env-secret"},
        {"a blank variable is taken and fails, even with a bundle id",
         {{"GOOGLE_OAUTH_CLIENT_ID", " \t "}},
         {{"GoogleOAuthClientID", "build-id"}, {"GIDClientID", "gid-id"}},
         std::nullopt, std::nullopt},
        {"an empty variable is taken and fails",
         {{"GOOGLE_OAUTH_CLIENT_ID", ""}}, {{"GoogleOAuthClientID", "build-id"}}, std::nullopt, std::nullopt},
        {"GoogleOAuthClientID before GIDClientID",
         {}, {{"GoogleOAuthClientID", "build-id"}, {"GIDClientID", "gid-id"}}, "build-id", std::nullopt},
        {"GIDClientID when GoogleOAuthClientID is absent", {}, {{"GIDClientID", "gid-id"}}, "gid-id", std::nullopt},
        {"a number under GoogleOAuthClientID counts as missing",
         {}, {{"GoogleOAuthClientID", std::int64_t{42}}, {"GIDClientID", "gid-id"}}, "gid-id", std::nullopt},
        {"a flag under GIDClientID counts as missing", {}, {{"GIDClientID", true}}, std::nullopt, std::nullopt},
        {"a blank bundle id is taken and fails",
         {}, {{"GoogleOAuthClientID", "  \n"}, {"GIDClientID", "gid-id"}}, std::nullopt, std::nullopt},
        {"nothing configured", {}, {}, std::nullopt, std::nullopt},
        {"other variables do not count",
         {{"GOOGLE_CLIENT_ID", "x"}, {"google_oauth_client_id", "y"}}, {}, std::nullopt, std::nullopt},
        {"leading blanks and a trailing line break",
         {{"GOOGLE_OAUTH_CLIENT_ID", "   id-1.apps.googleusercontent.com\n"}}, {},
         "id-1.apps.googleusercontent.com", std::nullopt},
        {"Unicode white space at both ends, inner space kept",
         {{"GOOGLE_OAUTH_CLIENT_ID", nbsp + emSpace + "\r\n" + "a b" + lineSeparator + ideographicSpace + nextLine}},
         {}, "a b", std::nullopt},
        {"a zero-width space is not white space",
         {{"GOOGLE_OAUTH_CLIENT_ID", zeroWidthSpace + "id"}}, {}, zeroWidthSpace + "id", std::nullopt},
        {"only Unicode white space fails",
         {{"GOOGLE_OAUTH_CLIENT_ID", nbsp + "\v\f" + ideographicSpace}}, {}, std::nullopt, std::nullopt},
        {"secret trimmed", {{"GOOGLE_OAUTH_CLIENT_ID", "id"}, {"GOOGLE_OAUTH_CLIENT_SECRET", "\t s3cret \r\n"}}, {},
         "id", "s3cret"},
        {"a blank secret variable means no secret, even with a bundle secret",
         {{"GOOGLE_OAUTH_CLIENT_ID", "id"}, {"GOOGLE_OAUTH_CLIENT_SECRET", "   "}},
         {{"GoogleOAuthClientSecret", "build-secret"}}, "id", std::nullopt},
        {"bundle secret when the variable is absent",
         {{"GOOGLE_OAUTH_CLIENT_ID", "id"}}, {{"GoogleOAuthClientSecret", " build-secret\n"}}, "id", "build-secret"},
        {"a blank bundle secret is no secret",
         {{"GOOGLE_OAUTH_CLIENT_ID", "id"}}, {{"GoogleOAuthClientSecret", nbsp}}, "id", std::nullopt},
        {"a non-text bundle secret is no secret",
         {{"GOOGLE_OAUTH_CLIENT_ID", "id"}}, {{"GoogleOAuthClientSecret", std::int64_t{7}}}, "id", std::nullopt},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const Bundle bundle(testCase.bundle);
        if (!testCase.clientID) {
            try {
                GoogleOAuthConfiguration::load(testCase.environment, bundle);
                ADD_FAILURE() << "loaded";
            } catch (const GoogleOAuthConfiguration::Error& error) {
                EXPECT_EQ(error, GoogleOAuthConfiguration::Error::missingClientID());
                EXPECT_STREQ(error.what(), "Set GOOGLE_OAUTH_CLIENT_ID, or build Larkpin with LARKPIN_GOOGLE_OAUTH_CLIENT_ID.");
            }
            continue;
        }
        const auto configuration = GoogleOAuthConfiguration::load(testCase.environment, bundle);
        EXPECT_EQ(configuration.clientID(), *testCase.clientID);
        EXPECT_EQ(configuration.clientSecret(), testCase.clientSecret);
    }
}

TEST(GoogleOAuthConfiguration, usesGoogleEndpointsTheFixedCallbackPathAndTheThreeScopes)
{
    const auto configuration = GoogleOAuthConfiguration::load({{"GOOGLE_OAUTH_CLIENT_ID", "id"}}, Bundle());
    EXPECT_EQ(configuration.serviceBaseURL(), std::nullopt);
    EXPECT_EQ(configuration.authorizationEndpoint(), "https://accounts.google.com/o/oauth2/v2/auth");
    EXPECT_EQ(configuration.tokenEndpoint(), "https://oauth2.googleapis.com/token");
    EXPECT_EQ(configuration.revokeEndpoint(), "https://oauth2.googleapis.com/revoke");
    EXPECT_EQ(configuration.userInfoEndpoint(), "https://openidconnect.googleapis.com/v1/userinfo");
    EXPECT_EQ(configuration.gmailEndpoint(), "https://gmail.googleapis.com/gmail/v1/users/me");
    EXPECT_EQ(configuration.callbackPath(), "/oauth2/callback");
    EXPECT_EQ(configuration.scopes(), (std::vector<std::string>{"openid", "email", gmailReadOnly}));
}

TEST(GoogleOAuthConfiguration, derivesEveryEndpointFromTheEmulatorBaseURL)
{
    const struct {
        const char* base;
        const char* prefix; ///< what every endpoint starts with
        const char* suffix; ///< what every endpoint ends with, after its path
    } cases[]{
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080/", ""},
        {"http://127.0.0.1:8080/", "http://127.0.0.1:8080/", ""},
        {"http://127.0.0.1:8080/google", "http://127.0.0.1:8080/google/", ""},
        {"http://127.0.0.1:8080/google/", "http://127.0.0.1:8080/google/", ""},
        {"HTTP://127.0.0.1:9/a/b?x=1", "http://127.0.0.1:9/a/b/", "?x=1"},
    };
    for (const auto& [base, prefix, suffix] : cases) {
        SCOPED_TRACE(base);
        const auto configuration =
            GoogleOAuthConfiguration::load({{"GOOGLE_OAUTH_CLIENT_ID", "id"}, {"GOOGLE_EMULATOR_URL", base}}, Bundle());
        ASSERT_TRUE(configuration.serviceBaseURL().has_value());
        const std::string p = prefix, s = suffix;
        EXPECT_EQ(configuration.authorizationEndpoint(), p + "o/oauth2/v2/auth" + s);
        EXPECT_EQ(configuration.tokenEndpoint(), p + "oauth2/token" + s);
        EXPECT_EQ(configuration.revokeEndpoint(), p + "revoke" + s);
        EXPECT_EQ(configuration.userInfoEndpoint(), p + "oauth2/v2/userinfo" + s);
        EXPECT_EQ(configuration.gmailEndpoint(), p + "gmail/v1/users/me" + s);
    }
}

// A value that is no URL leaves Google's endpoints in place, without an error; the value is not
// trimmed, and the bundle is never asked for an emulator.
TEST(GoogleOAuthConfiguration, ignoresAnEmulatorValueThatIsNoURL)
{
    for (const char* value : {"", "not a url", "127.0.0.1:8080", " http://127.0.0.1:8080", "http://127.0.0.1:8080\n",
                              "http://127.0.0.1:99999", "http://exa mple"}) {
        SCOPED_TRACE(value);
        const auto configuration =
            GoogleOAuthConfiguration::load({{"GOOGLE_OAUTH_CLIENT_ID", "id"}, {"GOOGLE_EMULATOR_URL", value}}, Bundle());
        EXPECT_EQ(configuration.serviceBaseURL(), std::nullopt);
        EXPECT_EQ(configuration.tokenEndpoint(), "https://oauth2.googleapis.com/token");
    }
    const auto configuration = GoogleOAuthConfiguration::load(
        {{"GOOGLE_OAUTH_CLIENT_ID", "id"}}, Bundle(Bundle::Values{{"GOOGLE_EMULATOR_URL", "http://127.0.0.1:8080"}}));
    EXPECT_EQ(configuration.serviceBaseURL(), std::nullopt);
}

} // namespace
} // namespace larkpin
