// The emulator's Google OAuth side over HTTP. What the application relies on (consent at once,
// refresh, token lifetimes, the request log, faults) is pinned down by the application's own tests
// against it; these cover the consent page and the checks that refuse what Google refuses.

#include "core/auth/PKCE.h"
#include "core/network/HTTPSession.h"
#include "support/GoogleEmulator.h"

#include <gtest/gtest.h>

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
        text += (text.empty() ? "" : "&") + HTTPSession::escapeQueryValue(name) + "="
                + HTTPSession::escapeQueryValue(value);
    return text;
}

std::string percentDecoded(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

/// The query items of a URL, decoded, in order.
Pairs queryItems(const std::string& url)
{
    Pairs items;
    const auto question = url.find('?');
    std::string query = question == std::string::npos ? "" : url.substr(question + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string piece = query.substr(0, amp);
        query = amp == std::string::npos ? "" : query.substr(amp + 1);
        const auto equals = piece.find('=');
        items.emplace_back(percentDecoded(piece.substr(0, equals)),
                           equals == std::string::npos ? "" : percentDecoded(piece.substr(equals + 1)));
    }
    return items;
}

std::optional<std::string> item(const Pairs& items, const std::string& name)
{
    for (const auto& [key, value] : items)
        if (key == name)
            return value;
    return std::nullopt;
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

json parsed(const HTTPSession::Response& response) { return json::parse(response.body, nullptr, false); }
/// Google's error code of a refused request, with its status.
Refusal refusal(const HTTPSession::Response& response) { return {response.status, parsed(response).value("error", "<none>")}; }

class GoogleEmulatorOAuthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        emulator_.addMailbox("alice@example.com", "alice-token");
        emulator_.addMailbox("bob@example.com", "bob-token");
    }

    /// The authorization request the application makes, with its ten items in its order.
    static Pairs authorizationItems(const PKCE& pkce, const std::string& state = "state-1")
    {
        return {{"access_type", "offline"},
                {"client_id", clientID},
                {"code_challenge", pkce.challenge()},
                {"code_challenge_method", "S256"},
                {"include_granted_scopes", "true"},
                {"prompt", "consent select_account"},
                {"redirect_uri", redirectURI},
                {"response_type", "code"},
                {"scope", "openid email https://www.googleapis.com/auth/gmail.readonly"},
                {"state", state}};
    }
    static Pairs exchangeForm(const std::string& code, const PKCE& pkce)
    {
        return {{"client_id", clientID},
                {"code", code},
                {"code_verifier", pkce.verifier()},
                {"grant_type", "authorization_code"},
                {"redirect_uri", redirectURI}};
    }
    static Pairs refreshForm(const std::string& refreshToken)
    {
        return {{"client_id", clientID}, {"grant_type", "refresh_token"}, {"refresh_token", refreshToken}};
    }
    HTTPSession::Response authorize(const Pairs& items) const
    {
        return session_.send({.url = emulator_.authorizationURL() + "?" + encoded(items)});
    }
    HTTPSession::Response post(const std::string& url, const std::string& body,
                               const std::string& type = "application/x-www-form-urlencoded") const
    {
        return session_.send({.method = "POST", .url = url, .headers = {{"Content-Type", type}}, .body = body});
    }
    HTTPSession::Response post(const std::string& url, const Pairs& form) const { return post(url, encoded(form)); }
    HTTPSession::Response bearerGet(const std::string& url, const std::string& token) const
    {
        return session_.send({.url = url, .headers = {{"Authorization", "Bearer " + token}}});
    }
    /// The request id of a consent page, which its form posts back.
    static std::string requestOf(const std::string& page)
    {
        const auto start = page.find("name=\"request\" value=\"") + 22;
        return page.substr(start, page.find('"', start) - start);
    }

    GoogleEmulator emulator_{LARKPIN_GOOGLE_EMULATOR_PATH};
    HTTPSession session_;
};

TEST_F(GoogleEmulatorOAuthTest, TheConsentPageSignsInTheChosenMailboxWhoseCodeBuysTokensForItsGmail)
{
    const PKCE pkce = PKCE::generate();
    const auto page = authorize(authorizationItems(pkce, "s/1 +x"));
    ASSERT_EQ(page.status, 200);
    for (const char* text : {">Allow</button>", ">Deny</button>", "value=\"alice@example.com\"",
                             "value=\"bob@example.com\"", clientID})
        EXPECT_NE(page.body.find(text), std::string::npos) << text;

    const std::string consent = emulator_.baseURL() + "/o/oauth2/v2/auth/consent";
    const auto allowed = post(consent, Pairs{{"request", requestOf(page.body)}, {"mailbox", "bob@example.com"}, {"decision", "allow"}});
    ASSERT_EQ(allowed.status, 302);
    const std::string location = allowed.header("Location").value_or("");
    EXPECT_TRUE(location.starts_with(std::string(redirectURI) + "?state=")) << location;
    EXPECT_NE(location.find("code=4%2F"), std::string::npos) << "the code's \"/\" travels percent-encoded";
    EXPECT_EQ(item(queryItems(location), "state"), "s/1 +x");
    EXPECT_EQ(post(consent, Pairs{{"request", requestOf(page.body)}, {"decision", "allow"}}).status, 400) << "answered already";

    const auto answer = post(emulator_.tokenURL(), exchangeForm(item(queryItems(location), "code").value_or(""), pkce));
    ASSERT_EQ(answer.status, 200) << answer.body;
    const json token = parsed(answer);
    EXPECT_TRUE(token.contains("refresh_token"));
    EXPECT_EQ(parsed(bearerGet(emulator_.gmailBaseURL() + "/profile", token["access_token"]))["emailAddress"],
              "bob@example.com");
    EXPECT_EQ(parsed(bearerGet(emulator_.userInfoURL(), token["access_token"]))["email"], "bob@example.com");

    const auto second = authorize(authorizationItems(pkce, "state-2"));
    const auto denied = post(consent, Pairs{{"request", requestOf(second.body)}, {"decision", "deny"}});
    ASSERT_EQ(denied.status, 302);
    EXPECT_EQ(queryItems(denied.header("Location").value_or("")), (Pairs{{"error", "access_denied"}, {"state", "state-2"}}));
    emulator_.configureOAuth({.consent = "deny", .denyError = "org_internal"});
    EXPECT_EQ(authorize(authorizationItems(pkce, "abc")).header("Location"),
              std::string(redirectURI) + "?error=org_internal&state=abc");
}

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
        {"another client", changed(items, "client_id", "someone-else"), {401, "invalid_client"}},
        {"remote redirect", changed(items, "redirect_uri", "http://attacker.example/cb"), {400, "redirect_uri_mismatch"}},
        {"look-alike host", changed(items, "redirect_uri", "http://127.0.0.1.attacker.example/cb"),
         {400, "redirect_uri_mismatch"}},
        {"implicit flow", changed(items, "response_type", "token"), {400, "unsupported_response_type"}},
        {"no scope", changed(items, "scope", std::nullopt), {400, "invalid_request"}},
        {"plain method", changed(items, "code_challenge_method", "plain"), {400, "invalid_request"}},
        {"short challenge", changed(items, "code_challenge", "abc"), {400, "invalid_request"}},
        {"state twice", repeated, {400, "invalid_request"}},
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
    const auto code = item(queryItems(authorize(authorizationItems(pkce)).header("Location").value_or("")), "code");
    ASSERT_TRUE(code);
    const auto form = exchangeForm(*code, pkce);
    const struct {
        const char* what;
        Pairs form;
        Refusal expected;
    } cases[] = {
        {"another verifier", changed(form, "code_verifier", PKCE::generate().verifier()), {400, "invalid_grant"}},
        {"no verifier", changed(form, "code_verifier", std::nullopt), {400, "invalid_grant"}},
        {"redirect with a slash more", changed(form, "redirect_uri", std::string(redirectURI) + "/"),
         {400, "redirect_uri_mismatch"}},
        {"another client", changed(form, "client_id", "someone-else"), {400, "invalid_grant"}},
        {"unknown code", changed(form, "code", "4/0emu-unknown"), {400, "invalid_grant"}},
        {"no code", changed(form, "code", std::nullopt), {400, "invalid_request"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(refusal(post(emulator_.tokenURL(), c.form)), c.expected) << c.what;
    EXPECT_EQ(post(emulator_.tokenURL(), form).status, 200) << "refusals do not use the code up";
    EXPECT_EQ(refusal(post(emulator_.tokenURL(), form)), Refusal(400, "invalid_grant")) << "a code is good once";
}

TEST_F(GoogleEmulatorOAuthTest, TokenRequestsGoogleRefuses)
{
    emulator_.setOAuthClient(clientID, "the-secret");
    const auto grant = emulator_.addGrant("alice@example.com", "another-client");
    const std::string refresh = encoded(refreshForm(grant.refreshToken));
    const struct {
        const char* what;
        Refusal answer;
        Refusal expected;
    } cases[] = {
        {"JSON body", refusal(post(emulator_.tokenURL(), R"({"grant_type": "refresh_token"})", "application/json")),
         {400, "invalid_request"}},
        {"twice", refusal(post(emulator_.tokenURL(), refresh + "&client_id=x")), {400, "invalid_request"}},
        {"unknown grant type",
         refusal(post(emulator_.tokenURL(), "grant_type=password&client_id=" + std::string(clientID) + "&client_secret=the-secret")),
         {400, "unsupported_grant_type"}},
        {"no secret", refusal(post(emulator_.tokenURL(), refresh)), {401, "invalid_client"}},
        {"wrong secret", refusal(post(emulator_.tokenURL(), refresh + "&client_secret=guess")), {401, "invalid_client"}},
        {"grant of another client", refusal(post(emulator_.tokenURL(), refresh + "&client_secret=the-secret")),
         {401, "unauthorized_client"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.answer, c.expected) << c.what;
    EXPECT_EQ(emulator_.counters().tokenRequests, std::size(cases));
}

TEST_F(GoogleEmulatorOAuthTest, RevokingRotatingOrWithdrawingEndsARefreshToken)
{
    for (const bool byAccessToken : {false, true}) {
        const auto grant = emulator_.addGrant();
        const auto answer = post(emulator_.revokeURL(), Pairs{{"token", byAccessToken ? grant.accessToken : grant.refreshToken}});
        EXPECT_EQ(answer.status, 200) << answer.body;
        EXPECT_EQ(refusal(post(emulator_.tokenURL(), refreshForm(grant.refreshToken))), Refusal(400, "invalid_grant"));
        EXPECT_EQ(bearerGet(emulator_.gmailBaseURL() + "/profile", grant.accessToken).status, 401);
    }
    EXPECT_EQ(refusal(post(emulator_.revokeURL(), Pairs{{"token", "ya29.unknown"}})), Refusal(400, "invalid_token"));

    emulator_.configureOAuth({.rotateRefreshTokens = true});
    const auto rotating = emulator_.addGrant("bob@example.com");
    EXPECT_TRUE(parsed(post(emulator_.tokenURL(), refreshForm(rotating.refreshToken))).contains("refresh_token"));
    EXPECT_EQ(refusal(post(emulator_.tokenURL(), refreshForm(rotating.refreshToken))), Refusal(400, "invalid_grant"))
        << "a rotated refresh token is retired";

    const auto alice = emulator_.addGrant("alice@example.com");
    const auto bob = emulator_.addGrant("bob@example.com");
    EXPECT_EQ(emulator_.revokeGrants("alice@example.com"), 1u);
    EXPECT_EQ(refusal(post(emulator_.tokenURL(), refreshForm(alice.refreshToken))), Refusal(400, "invalid_grant"));
    EXPECT_EQ(post(emulator_.tokenURL(), refreshForm(bob.refreshToken)).status, 200);
}

TEST_F(GoogleEmulatorOAuthTest, UserInfoAndGmailFollowTheGrantedScopesAndTheTokensLifetime)
{
    const json narrow = emulator_.control("POST", "oauth/grants", {{"scopes", {"openid"}}});
    const json info = parsed(bearerGet(emulator_.userInfoURL(), narrow["access_token"]));
    EXPECT_TRUE(info.size() == 1 && info.contains("sub")) << info.dump();
    EXPECT_EQ(bearerGet(emulator_.gmailBaseURL() + "/profile", narrow["access_token"]).status, 403);
    EXPECT_TRUE(bearerGet(emulator_.userInfoURL(), "ya29.unknown").header("WWW-Authenticate").has_value());

    emulator_.configureOAuth({.accessTokenLifetime = 0});
    const auto expired = emulator_.addGrant();
    EXPECT_EQ(bearerGet(emulator_.gmailBaseURL() + "/profile", expired.accessToken).status, 401);
    EXPECT_EQ(bearerGet(emulator_.userInfoURL(), expired.accessToken).status, 401);
}

TEST_F(GoogleEmulatorOAuthTest, MalformedOAuthControlRequestsAreRefused)
{
    const std::vector<std::pair<std::string, json>> mistakes = {
        {"oauth/settings", {{"consent", "maybe"}}},
        {"oauth/settings", {{"accessTokenLifetime", -1}}},
        {"oauth/settings", {{"lifetime", 5}}},
        {"oauth/accounts", {{"mailbox", "nobody@example.com"}}},
        {"oauth/client", {{"clientId", ""}}},
    };
    for (const auto& [path, body] : mistakes)
        EXPECT_THROW(emulator_.control("POST", path, body), std::runtime_error) << path << " " << body.dump();
    const auto settings = emulator_.control("GET", "oauth/settings");
    EXPECT_TRUE(settings["consent"] == "ask" && settings["accessTokenLifetime"] == 3599) << "changed: " << settings.dump();
    EXPECT_TRUE(emulator_.grants().empty());
}

} // namespace
} // namespace larkpin
