// The emulator's Google OAuth side over HTTP, where the application's own tests do not reach it:
// the checks that refuse what Google refuses. Without them the consent-flow tests would pass a
// client that sends the wrong client, redirect or verifier. What the application drives itself
// (consent, refresh, revocation, userinfo, faults) is pinned down by its own tests against the
// emulator.

#include "core/auth/PKCE.h"
#include "core/network/HTTPSession.h"
#include "support/GoogleEmulator.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace larkpin {
namespace {

using nlohmann::json;
using test::GoogleEmulator;
using Pairs = std::vector<std::pair<std::string, std::string>>;
/// An HTTP status with Google's "error" code.
using Refusal = std::pair<long, std::string>;

constexpr const char* clientID = "larkpin-test.apps.googleusercontent.example";
constexpr const char* redirectURI = "http://127.0.0.1:45678/oauth2/callback";

std::string encoded(const Pairs& pairs)
{
    std::string text;
    for (const auto& [name, value] : pairs)
        text += (text.empty() ? "" : "&") + HTTPSession::escapeQueryValue(name) + "=" +
                HTTPSession::escapeQueryValue(value);
    return text;
}

/// The authorization code of a redirect (it follows the state), percent-decoded.
std::string codeOf(const std::string& location)
{
    const auto from = std::min(location.find("&code="), location.size()) + 6;
    const auto raw = location.substr(std::min(from, location.size()), location.find('&', from) - from);
    int length = 0;
    char* decoded = curl_easy_unescape(nullptr, raw.c_str(), static_cast<int>(raw.size()), &length);
    std::string code(decoded, static_cast<std::size_t>(length));
    curl_free(decoded);
    return code;
}

/// The pairs with `name` replaced by `value`, or left out when `value` is absent.
Pairs changed(const Pairs& pairs, const std::string& name, const std::optional<std::string>& value)
{
    Pairs result;
    for (const auto& pair : pairs)
        if (pair.first != name)
            result.push_back(pair);
        else if (value)
            result.emplace_back(name, *value);
    return result;
}

class GoogleEmulatorOAuthTest : public ::testing::Test {
protected:
    void SetUp() override { emulator_.addMailbox("alice@example.com", "alice-token"); }

    // clang-format off
    /// The authorization request the application makes, with its ten items in its order.
    static Pairs authorizationItems(const PKCE& pkce)
    {
        return {{"access_type", "offline"}, {"client_id", clientID}, {"code_challenge", pkce.challenge()},
                {"code_challenge_method", "S256"}, {"include_granted_scopes", "true"},
                {"prompt", "consent select_account"}, {"redirect_uri", redirectURI}, {"response_type", "code"},
                {"scope", "openid email https://www.googleapis.com/auth/gmail.readonly"}, {"state", "state-1"}};
    }
    static Pairs exchangeForm(const std::string& code, const PKCE& pkce)
    {
        return {{"client_id", clientID}, {"code", code}, {"code_verifier", pkce.verifier()},
                {"grant_type", "authorization_code"}, {"redirect_uri", redirectURI}};
    }
    // clang-format on
    HTTPSession::Response authorize(const Pairs& items) const
    {
        return session_.send(
            {.url = emulator_.authorizationURL() + "?" + encoded(items), .headers = {}, .body = {}});
    }
    HTTPSession::Response post(const std::string& url, const Pairs& form) const
    {
        return session_.send({.method = "POST",
                              .url = url,
                              .headers = {{"Content-Type", "application/x-www-form-urlencoded"}},
                              .body = encoded(form)});
    }

    GoogleEmulator emulator_{LARKPIN_GOOGLE_EMULATOR_PATH};
    HTTPSession session_;
};

TEST_F(GoogleEmulatorOAuthTest, MalformedAuthorizationRequestsGetAnErrorPageAndNoRedirect)
{
    emulator_.setOAuthClient(clientID);
    emulator_.configureOAuth({.consent = "allow"});
    const auto items = authorizationItems(PKCE::generate());
    Pairs repeated = items;
    repeated.emplace_back("state", "again");
    const struct {
        const char* what;
        Pairs items;
        Refusal expected;
    } cases[] = {
        // clang-format off
        {"another client", changed(items, "client_id", "someone-else"), {401, "invalid_client"}},
        {"remote redirect", changed(items, "redirect_uri", "http://attacker.example/cb"), {400, "redirect_uri_mismatch"}},
        {"look-alike host", changed(items, "redirect_uri", "http://127.0.0.1.attacker.example/cb"), {400, "redirect_uri_mismatch"}},
        {"implicit flow", changed(items, "response_type", "token"), {400, "unsupported_response_type"}},
        {"no scope", changed(items, "scope", std::nullopt), {400, "invalid_request"}},
        {"plain method", changed(items, "code_challenge_method", "plain"), {400, "invalid_request"}},
        {"short challenge", changed(items, "code_challenge", "abc"), {400, "invalid_request"}},
        {"state twice", repeated, {400, "invalid_request"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        const auto page = authorize(c.items);
        EXPECT_EQ(page.status, c.expected.first) << c.what;
        EXPECT_FALSE(page.header("Location").has_value()) << c.what;
        EXPECT_NE(page.body.find(": " + c.expected.second), std::string::npos) << c.what << ": " << page.body;
    }
    EXPECT_EQ(authorize(items).status, 302) << "the well-formed request still works";
}

TEST_F(GoogleEmulatorOAuthTest, TheCodeExchangeChecksVerifierRedirectAndClientAndTheCodeIsGoodOnce)
{
    const PKCE pkce = PKCE::generate();
    emulator_.configureOAuth({.consent = "allow"});
    const auto form =
        exchangeForm(codeOf(authorize(authorizationItems(pkce)).header("Location").value_or("")), pkce);
    const struct {
        const char* what;
        Pairs form;
        Refusal expected;
    } cases[] = {
        // clang-format off
        {"another verifier", changed(form, "code_verifier", PKCE::generate().verifier()), {400, "invalid_grant"}},
        {"redirect with a slash more", changed(form, "redirect_uri", std::string(redirectURI) + "/"), {400, "redirect_uri_mismatch"}},
        {"another client", changed(form, "client_id", "someone-else"), {400, "invalid_grant"}},
        {"unknown code", changed(form, "code", "4/0emu-unknown"), {400, "invalid_grant"}},
        // clang-format on
    };
    const auto refusal = [&](const Pairs& pairs) {
        const auto answer = post(emulator_.tokenURL(), pairs);
        return Refusal(answer.status, json::parse(answer.body, nullptr, false).value("error", "<none>"));
    };
    for (const auto& c : cases)
        EXPECT_EQ(refusal(c.form), c.expected) << c.what;
    EXPECT_EQ(post(emulator_.tokenURL(), form).status, 200) << "refusals do not use the code up";
    EXPECT_EQ(refusal(form), Refusal(400, "invalid_grant")) << "a code is good once";
}

} // namespace
} // namespace larkpin
