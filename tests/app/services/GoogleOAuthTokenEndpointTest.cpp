// GoogleOAuthTokenEndpoint against the emulator's token endpoint: what goes on the wire, and how
// every kind of answer maps to a token or to GoogleOAuthError.

#include "app/services/GoogleOAuthError.h"
#include "app/services/GoogleOAuthTokenEndpoint.h"
#include "support/GoogleEmulator.h"
#include "support/ManualClock.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace larkpin {
namespace {

using Fault = test::GoogleEmulator::Fault;
using Form = GoogleOAuthTokenEndpoint::Form;

constexpr double start = 1'800'000'000;

class GoogleOAuthTokenEndpointTest : public ::testing::Test {
protected:
    void SetUp() override { emulator_.addMailbox("alice@example.com", "alice-mailbox-token"); }

    GoogleOAuthToken request(const Form& form) const
    {
        return GoogleOAuthTokenEndpoint::request(form, emulator_.tokenURL(), session_, clock_);
    }
    Form refreshForm(const std::string& refreshToken) const
    {
        return {{"client_id", "larkpin-test"}, {"grant_type", "refresh_token"}, {"refresh_token", refreshToken}};
    }

    test::GoogleEmulator emulator_{LARKPIN_GOOGLE_EMULATOR_PATH};
    HTTPSession session_;
    test::ManualClock clock_{timePointFromSecondsSince1970(start)};
};

TEST(GoogleOAuthTokenEndpointFormTest, EncodesPairsInOrderLeavingOnlyUnreservedSlashAndColonBare)
{
    const struct {
        Form form;
        std::string body;
    } cases[] = {
        {{}, ""},
        {{{"b", "2"}, {"a", "1"}}, "b=2&a=1"},
        {{{"redirect_uri", "http://127.0.0.1:4711/oauth2/callback"}},
         "redirect_uri=http://127.0.0.1:4711/oauth2/callback"},
        {{{"refresh_token", "1//0gAz-._~"}}, "refresh_token=1//0gAz-._~"},
        {{{"scope", "openid email"}}, "scope=openid%20email"},
        {{{"x", "a+b&c=d?e#f%g"}}, "x=a%2Bb%26c%3Dd%3Fe%23f%25g"},
        {{{"k y", "\xC3\xA9\n"}}, "k%20y=%C3%A9%0A"},
        {{{"empty", ""}, {"", "nameless"}}, "empty=&=nameless"},
        {{{"same", "1"}, {"same", "2"}}, "same=1&same=2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GoogleOAuthTokenEndpoint::encodedForm(c.form), c.body);
}

TEST_F(GoogleOAuthTokenEndpointTest, PostsTheFormAsItsBodyAndReadsTheToken)
{
    const auto grant = emulator_.addGrant();
    emulator_.configureOAuth({.accessTokenLifetime = 1234});
    const GoogleOAuthToken token = request(refreshForm(grant.refreshToken));
    EXPECT_EQ(token.expiresAt, timePointFromSecondsSince1970(start + 1234)) << "receipt time plus expires_in";
    EXPECT_EQ(token.refreshToken, std::nullopt);
    EXPECT_EQ(session_.send({"GET", emulator_.gmailBaseURL() + "/profile", {{"Authorization", "Bearer " + token.accessToken}},
                             std::nullopt, std::chrono::seconds(20)})
                  .status,
              200)
        << "the token opens Gmail";

    const auto requests = emulator_.oauthRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0].body, "client_id=larkpin-test&grant_type=refresh_token&refresh_token=" + grant.refreshToken)
        << "the refresh token's \"/\" and \"-_\" go out as they are";
}

// Each answer the token endpoint might give, through the emulator's faults.
TEST_F(GoogleOAuthTokenEndpointTest, MapsEveryStatusAndBodyToATokenOrAnError)
{
    const auto grant = emulator_.addGrant();
    const auto answer = [](int status, const std::string& body) { return Fault::httpStatus(status, {}, body); };
    const struct {
        const char* what;
        Fault fault;
        std::optional<GoogleOAuthError> error; ///< none: a token is expected
        double expiresIn = 0;
        bool refreshToken = false;
    } cases[] = {
        {"200 with a refresh token", answer(200, R"({"access_token": "a", "expires_in": 3599, "refresh_token": "r"})"),
         std::nullopt, 3599, true},
        {"201, fractional lifetime", answer(201, R"({"access_token": "a", "expires_in": 0.5, "extra": [1]})"),
         std::nullopt, 0.5},
        {"null refresh token", answer(200, R"({"access_token": "a", "expires_in": 60, "refresh_token": null})"),
         std::nullopt, 60},
        {"no expires_in", Fault::missingKey("expires_in"), GoogleOAuthError::invalidResponse()},
        {"no access_token", Fault::missingKey("access_token"), GoogleOAuthError::invalidResponse()},
        {"expires_in as text", answer(200, R"({"access_token": "a", "expires_in": "3599"})"),
         GoogleOAuthError::invalidResponse()},
        {"expires_in as boolean", answer(200, R"({"access_token": "a", "expires_in": true})"),
         GoogleOAuthError::invalidResponse()},
        {"access_token as number", answer(200, R"({"access_token": 7, "expires_in": 60})"),
         GoogleOAuthError::invalidResponse()},
        {"refresh_token as number", answer(200, R"({"access_token": "a", "expires_in": 60, "refresh_token": 7})"),
         GoogleOAuthError::invalidResponse()},
        {"an array", answer(200, R"([{"access_token": "a", "expires_in": 60}])"), GoogleOAuthError::invalidResponse()},
        {"200 that is not JSON", Fault::notJSON(200), GoogleOAuthError::invalidResponse()},
        {"empty 200", answer(200, ""), GoogleOAuthError::invalidResponse()},
        {"invalid_grant", Fault::oauthError("invalid_grant"), GoogleOAuthError::oauth("invalid_grant")},
        {"invalid_client", Fault::oauthError("invalid_client", 401), GoogleOAuthError::oauth("invalid_client")},
        {"HTML error page", Fault::notJSON(400), GoogleOAuthError::response(400)},
        {"HTML outage page", Fault::notJSON(503), GoogleOAuthError::response(503)},
        {"JSON without error", answer(500, R"({"message": "boom"})"), GoogleOAuthError::response(500)},
        {"error that is not text", answer(400, R"({"error": {"code": 400}})"), GoogleOAuthError::response(400)},
        {"a redirect", answer(302, ""), GoogleOAuthError::response(302)},
    };
    for (const auto& c : cases) {
        emulator_.queueFault("/oauth2/token", c.fault);
        try {
            const GoogleOAuthToken token = request(refreshForm(grant.refreshToken));
            EXPECT_FALSE(c.error.has_value()) << c.what << ": a token instead of " << c.error->what();
            EXPECT_EQ(token.expiresAt, timePointFromSecondsSince1970(start + c.expiresIn)) << c.what;
            EXPECT_EQ(token.refreshToken.has_value(), c.refreshToken) << c.what;
        } catch (const GoogleOAuthError& error) {
            ASSERT_TRUE(c.error.has_value()) << c.what << ": " << error.what();
            EXPECT_EQ(error, *c.error) << c.what;
            EXPECT_STREQ(error.what(), c.error->what()) << c.what;
        }
    }
}

TEST(GoogleOAuthErrorTest, DescribesEveryCaseForTheUser)
{
    const struct {
        GoogleOAuthError error;
        const char* description;
    } cases[] = {
        {GoogleOAuthError::oauth("invalid_grant"), "Google OAuth failed: invalid_grant."},
        {GoogleOAuthError::response(503), "Google OAuth returned HTTP 503."},
        {GoogleOAuthError::invalidResponse(), "Google returned an invalid OAuth response."},
        {GoogleOAuthError::missingRefreshToken(), "Google did not return a refresh token. Revoke access and try again."},
        {GoogleOAuthError::missingStoredRefreshToken(), "No saved Google authorization exists for this account."},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(c.error.what(), c.description);
}

TEST_F(GoogleOAuthTokenEndpointTest, TransportFailuresPropagateUnchanged)
{
    emulator_.queueFault("/oauth2/token", Fault::dropConnection());
    EXPECT_THROW(request(refreshForm("1//x")), HTTPSession::TransportError);
    const int port = emulator_.port();
    emulator_.stop();
    EXPECT_THROW(GoogleOAuthTokenEndpoint::request(refreshForm("1//x"),
                                                   "http://127.0.0.1:" + std::to_string(port) + "/oauth2/token",
                                                   session_, clock_),
                 HTTPSession::TransportError);
}

} // namespace
} // namespace larkpin
