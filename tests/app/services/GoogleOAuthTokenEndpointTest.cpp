// GoogleOAuthTokenEndpoint against the emulator's token endpoint: what goes on the wire, and how
// every kind of answer maps to a token or to GoogleOAuthError.

#include "app/services/GoogleOAuthTokenEndpoint.h"
#include "app/services/GoogleOAuthError.h"
#include "core/auth/PKCE.h"
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
    static Form refreshForm(const std::string& refreshToken)
    {
        return {
            {"client_id", "larkpin-test"}, {"grant_type", "refresh_token"}, {"refresh_token", refreshToken}};
    }
    std::string errorOf(const Form& form) const
    {
        try {
            request(form);
            return "";
        } catch (const GoogleOAuthError& error) {
            return error.what();
        }
    }
    /// The user's consent through the emulator's authorization endpoint: the code its redirect carries.
    std::string authorizationCode(const PKCE& pkce, const std::string& redirectURI) const
    {
        HTTPSession::Request consent;
        consent.url = emulator_.authorizationURL() +
                      "?client_id=larkpin-test&response_type=code&scope=openid" +
                      "&access_type=offline&code_challenge_method=S256&code_challenge=" + pkce.challenge() +
                      "&redirect_uri=" + HTTPSession::escapeQueryValue(redirectURI);
        const auto answer = session_.send(consent);
        const std::string location = answer.header("Location").value_or("");
        const auto start = location.find("code=");
        std::string code = start == std::string::npos
                               ? ""
                               : location.substr(start + 5, location.find('&', start) - start - 5);
        for (std::size_t slash; (slash = code.find("%2F")) != std::string::npos;)
            code.replace(slash, 3, "/"); // Google's codes ("4/0...") hold no other escaped character
        return code;
    }

    test::GoogleEmulator emulator_{LARKPIN_GOOGLE_EMULATOR_PATH};
    HTTPSession session_;
    test::ManualClock clock_{timePointFromSecondsSince1970(start)};
};

TEST(GoogleOAuthTokenEndpointFormTest, EncodesPairsInOrderLeavingOnlyUnreservedSlashAndColonBare)
{
    const std::pair<Form, std::string> cases[] = {
        {{}, ""},
        {{{"b", "2"}, {"a", "1"}, {"b", "3"}}, "b=2&a=1&b=3"},
        {{{"redirect_uri", "http://127.0.0.1:4711/cb"}, {"t", "1//0gAz-._~"}},
         "redirect_uri=http://127.0.0.1:4711/cb&t=1//0gAz-._~"},
        {{{"x", "a+b&c=d?e#f%g"}}, "x=a%2Bb%26c%3Dd%3Fe%23f%25g"},
        {{{"k y", "\xC3\xA9\n"}, {"", ""}}, "k%20y=%C3%A9%0A&="},
    };
    for (const auto& [form, body] : cases)
        EXPECT_EQ(GoogleOAuthTokenEndpoint::encodedForm(form), body);
}

TEST_F(GoogleOAuthTokenEndpointTest, PostsTheFormAsItsBodyAndReadsTheToken)
{
    const auto grant = emulator_.addGrant();
    emulator_.configureOAuth({.accessTokenLifetime = 1234});
    const GoogleOAuthToken token = request(refreshForm(grant.refreshToken));
    EXPECT_EQ(token.expiresAt, timePointFromSecondsSince1970(start + 1234)) << "receipt time plus expires_in";
    EXPECT_EQ(token.refreshToken, std::nullopt);
    const auto requests = emulator_.oauthRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0].body,
              "client_id=larkpin-test&grant_type=refresh_token&refresh_token=" + grant.refreshToken);
}

TEST_F(GoogleOAuthTokenEndpointTest, ExchangesACodeWithTheClientSecretInTheForm)
{
    emulator_.setOAuthClient("larkpin-test", "s3cr3t/+x");
    emulator_.configureOAuth({.consent = "allow"});
    const PKCE pkce = PKCE::generate();
    const std::string redirectURI = "http://127.0.0.1:4711/oauth2/callback";
    Form form = {{"client_id", "larkpin-test"},
                 {"code", authorizationCode(pkce, redirectURI)},
                 {"code_verifier", pkce.verifier()},
                 {"grant_type", "authorization_code"},
                 {"redirect_uri", redirectURI}};
    ASSERT_NE(form[1].second, "");
    EXPECT_EQ(errorOf(form), "Google OAuth failed: invalid_client.") << "a client with a secret must send it";
    form.emplace_back("client_secret", "s3cr3t/+x");
    EXPECT_TRUE(request(form).refreshToken.has_value());
    EXPECT_TRUE(emulator_.oauthRequests().back().body.ends_with("&client_secret=s3cr3t/%2Bx"));
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
        {answer(200, R"({"access_token": "a", "expires_in": 3599, "refresh_token": "r"})"), "", 3599, true},
        {answer(201, R"({"access_token": "a", "expires_in": 0.5, "refresh_token": null, "x": [1]})"), "",
         0.5},
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
    };
    for (const auto& c : cases) {
        emulator_.queueFault("/oauth2/token", c.fault);
        try {
            const GoogleOAuthToken token = request(refreshForm(grant.refreshToken));
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
    EXPECT_THROW(request(refreshForm("1//x")), HTTPSession::TransportError);
    emulator_.stop();
    EXPECT_THROW(request(refreshForm("1//x")), HTTPSession::TransportError);
}

} // namespace
} // namespace larkpin
