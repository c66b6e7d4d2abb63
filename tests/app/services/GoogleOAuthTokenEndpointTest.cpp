// GoogleOAuthTokenEndpoint against the emulator's token endpoint: how the form is encoded, and how
// every kind of answer maps to a token or to GoogleOAuthError. The emulator takes only a POSTed form;
// the exact bodies TokenManager and GoogleOAuthClient send are checked in their own tests.

#include "app/services/GoogleOAuthTokenEndpoint.h"
#include "app/services/GoogleOAuthError.h"
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

    GoogleOAuthToken refresh(const std::string& refreshToken) const
    {
        const Form form = {
            {"client_id", "larkpin-test"}, {"grant_type", "refresh_token"}, {"refresh_token", refreshToken}};
        return GoogleOAuthTokenEndpoint::request(form, emulator_.tokenURL(), session_, clock_);
    }

    test::GoogleEmulator emulator_{LARKPIN_GOOGLE_EMULATOR_PATH};
    HTTPSession session_;
    test::ManualClock clock_{timePointFromSecondsSince1970(start)};
};

TEST(GoogleOAuthTokenEndpointFormTest, EncodesPairsInOrderLeavingOnlyUnreservedSlashAndColonBare)
{
    // clang-format off
    const std::pair<Form, std::string> cases[] = {
        {{}, ""},
        {{{"b", "2"}, {"a", "1"}, {"b", "3"}}, "b=2&a=1&b=3"},
        {{{"r", "http://127.0.0.1:4711/cb"}, {"t", "1//0gAz-._~"}}, "r=http://127.0.0.1:4711/cb&t=1//0gAz-._~"},
        {{{"x", "a+b&c=d?e#f%g"}}, "x=a%2Bb%26c%3Dd%3Fe%23f%25g"},
        {{{"k y", "\xC3\xA9\n"}, {"", ""}}, "k%20y=%C3%A9%0A&="},
    };
    // clang-format on
    for (const auto& [form, body] : cases)
        EXPECT_EQ(GoogleOAuthTokenEndpoint::encodedForm(form), body);
}

// Each answer the token endpoint might give, through the emulator's faults.
TEST_F(GoogleOAuthTokenEndpointTest, MapsEveryStatusAndBodyToATokenOrAnError)
{
    const auto grant = emulator_.addGrant();
    const auto answer = [](int status, const std::string& body) {
        return Fault::httpStatus(status, {}, body);
    };
    const std::string invalid = "Google returned an invalid OAuth response.";
    const struct {
        Fault fault;
        std::string error; ///< empty: a token is expected
        double expiresIn = 0;
        bool refreshToken = false;
    } cases[] = {
        // clang-format off
        {answer(200, R"({"access_token": "a", "expires_in": 3599, "refresh_token": "r"})"), "", 3599, true},
        {answer(201, R"({"access_token": "a", "expires_in": 0.5, "refresh_token": null, "x": [1]})"), "", 0.5},
        {Fault::missingKey("expires_in"), invalid},
        {Fault::missingKey("access_token"), invalid},
        {answer(200, R"({"access_token": "a", "expires_in": "3599"})"), invalid},
        {answer(200, R"({"access_token": "a", "expires_in": 60, "refresh_token": 7})"), invalid},
        {answer(200, R"([{"access_token": "a", "expires_in": 60}])"), invalid},
        {Fault::notJSON(200), invalid},
        {Fault::oauthError("invalid_grant"), "Google OAuth failed: invalid_grant."},
        {Fault::oauthError("invalid_client", 401), "Google OAuth failed: invalid_client."},
        {Fault::notJSON(503), "Google OAuth returned HTTP 503."},
        {answer(500, R"({"error": {"code": 500}})"), "Google OAuth returned HTTP 500."},
        {answer(302, ""), "Google OAuth returned HTTP 302."},
        // clang-format on
    };
    for (const auto& c : cases) {
        emulator_.queueFault("/oauth2/token", c.fault);
        try {
            const GoogleOAuthToken token = refresh(grant.refreshToken);
            EXPECT_EQ(c.error, "") << "a token instead of an error";
            EXPECT_EQ(token.expiresAt, timePointFromSecondsSince1970(start + c.expiresIn));
            EXPECT_EQ(token.refreshToken.has_value(), c.refreshToken);
        } catch (const GoogleOAuthError& error) {
            EXPECT_EQ(error.what(), c.error);
        }
    }
}

TEST_F(GoogleOAuthTokenEndpointTest, TransportFailuresPropagateUnchanged)
{
    emulator_.queueFault("/oauth2/token", Fault::dropConnection());
    EXPECT_THROW(refresh("1//x"), HTTPSession::TransportError);
    emulator_.stop();
    EXPECT_THROW(refresh("1//x"), HTTPSession::TransportError);
}

} // namespace
} // namespace larkpin
