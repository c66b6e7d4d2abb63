#include "app/services/GoogleOAuthConfiguration.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace larkpin {
namespace {

using Environment = GoogleOAuthConfiguration::Environment;

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
                      ideographicSpace = "\xE3\x80\x80", nextLine = "\xC2\x85", zeroWidth = "\xE2\x80\x8B";
    const auto none = std::nullopt;
    // clang-format off
    const SourceCase cases[]{
        {"environment beats the build", {{"GOOGLE_OAUTH_CLIENT_ID", "env-id"}, {"GOOGLE_OAUTH_CLIENT_SECRET", "env-secret"}},
         {{"GoogleOAuthClientID", "build-id"}, {"GoogleOAuthClientSecret", "build-secret"}}, "env-id", "env-secret"},
        {"a blank variable is taken and fails, even with a built-in id",
         {{"GOOGLE_OAUTH_CLIENT_ID", " \t "}}, {{"GoogleOAuthClientID", "build-id"}}, none, none},
        {"GoogleOAuthClientID before GIDClientID",
         {}, {{"GoogleOAuthClientID", "build-id"}, {"GIDClientID", "gid-id"}}, "build-id", none},
        {"a number under GoogleOAuthClientID counts as missing",
         {}, {{"GoogleOAuthClientID", std::int64_t{42}}, {"GIDClientID", "gid-id"}}, "gid-id", none},
        {"a blank built-in id is taken and fails",
         {}, {{"GoogleOAuthClientID", "  \n"}, {"GIDClientID", "gid-id"}}, none, none},
        {"Unicode white space and line breaks at both ends, inner space kept",
         {{"GOOGLE_OAUTH_CLIENT_ID", nbsp + emSpace + "\r\n" + "a b" + lineSeparator + ideographicSpace + nextLine}},
         {}, "a b", none},
        {"a zero-width space is not white space", {{"GOOGLE_OAUTH_CLIENT_ID", zeroWidth + "id"}}, {}, zeroWidth + "id", none},
        {"a blank secret variable means no secret, even with a built-in secret",
         {{"GOOGLE_OAUTH_CLIENT_ID", "id"}, {"GOOGLE_OAUTH_CLIENT_SECRET", "   "}},
         {{"GoogleOAuthClientSecret", "build-secret"}}, "id", none},
        {"built-in secret, trimmed, when the variable is absent",
         {{"GOOGLE_OAUTH_CLIENT_ID", "id"}}, {{"GoogleOAuthClientSecret", " build-secret\n"}}, "id", "build-secret"},
    };
    // clang-format on
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        try {
            const auto configuration =
                GoogleOAuthConfiguration::load(testCase.environment, Bundle(testCase.bundle));
            EXPECT_EQ(configuration.clientID(), testCase.clientID.value_or("<load fails>"));
            EXPECT_EQ(configuration.clientSecret(), testCase.clientSecret);
        } catch (const GoogleOAuthConfiguration::Error& error) {
            EXPECT_EQ(testCase.clientID, std::nullopt);
            EXPECT_STREQ(error.what(),
                         "Set GOOGLE_OAUTH_CLIENT_ID, or build Larkpin with LARKPIN_GOOGLE_OAUTH_CLIENT_ID.");
        }
    }
}

// A usable emulator URL takes every endpoint, its own path staying in front. Without one the
// endpoints are Google's: no variable, or a value that is no URL (not trimmed, and no error). The
// build-time values are never asked for an emulator.
TEST(GoogleOAuthConfiguration, derivesEveryEndpointFromTheEmulatorURLOrUsesGooglesOwn)
{
    using Endpoints = std::vector<std::string>;
    const Endpoints google{"https://accounts.google.com/o/oauth2/v2/auth",
                           "https://oauth2.googleapis.com/token", "https://oauth2.googleapis.com/revoke",
                           "https://openidconnect.googleapis.com/v1/userinfo",
                           "https://gmail.googleapis.com/gmail/v1/users/me"};
    const auto under = [](const std::string& base, const std::string& query = "") {
        return Endpoints{base + "o/oauth2/v2/auth" + query, base + "oauth2/token" + query,
                         base + "revoke" + query, base + "oauth2/v2/userinfo" + query,
                         base + "gmail/v1/users/me" + query};
    };
    // clang-format off
    const std::pair<const char*, Endpoints> cases[]{
        {"http://127.0.0.1:8080", under("http://127.0.0.1:8080/")},
        {"http://127.0.0.1:8080/google/", under("http://127.0.0.1:8080/google/")},
        {"HTTP://127.0.0.1:9/a/b?x=1", under("http://127.0.0.1:9/a/b/", "?x=1")},
        {nullptr, google}, {"", google}, {"not a url", google}, {"127.0.0.1:8080", google},
        {" http://127.0.0.1:8080", google}, {"http://127.0.0.1:99999", google},
    };
    // clang-format on
    const Bundle bundle(Bundle::Values{{"GOOGLE_EMULATOR_URL", "http://127.0.0.1:8080"}});
    for (const auto& [value, endpoints] : cases) {
        SCOPED_TRACE(value ? value : "no variable");
        Environment environment{{"GOOGLE_OAUTH_CLIENT_ID", "id"}};
        if (value)
            environment.emplace("GOOGLE_EMULATOR_URL", value);
        const auto c = GoogleOAuthConfiguration::load(environment, bundle);
        EXPECT_EQ(c.serviceBaseURL().has_value(), endpoints != google);
        EXPECT_EQ((Endpoints{c.authorizationEndpoint(), c.tokenEndpoint(), c.revokeEndpoint(),
                             c.userInfoEndpoint(), c.gmailEndpoint()}),
                  endpoints);
    }
}

} // namespace
} // namespace larkpin
