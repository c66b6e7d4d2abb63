// The emulator's Google OAuth side as the application and a browser see it over HTTP: consent,
// the code exchange with PKCE, refresh, revocation, userinfo, and the Gmail access its tokens give.

#include "core/auth/PKCE.h"
#include "core/network/HTTPSession.h"
#include "support/GoogleEmulator.h"

#include <gtest/gtest.h>

#include <map>
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
constexpr const char* gmailScope = "https://www.googleapis.com/auth/gmail.readonly";

HTTPSession::Request request(std::string method, std::string url, Pairs headers = {},
                             std::optional<std::string> body = std::nullopt) {
    HTTPSession::Request request;
    request.method = std::move(method);
    request.url = std::move(url);
    request.headers = std::move(headers);
    request.body = std::move(body);
    return request;
}

std::string encoded(const Pairs& pairs) {
    std::string text;
    for (const auto& [name, value] : pairs)
        text += (text.empty() ? "" : "&") + HTTPSession::escapeQueryValue(name) + "=" +
                HTTPSession::escapeQueryValue(value);
    return text;
}

std::string percentDecoded(const std::string& text) {
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
Pairs queryItems(const std::string& url) {
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

std::optional<std::string> item(const Pairs& items, const std::string& name) {
    for (const auto& [key, value] : items)
        if (key == name)
            return value;
    return std::nullopt;
}

class GoogleEmulatorOAuthTest : public ::testing::Test {
protected:
    void SetUp() override {
        emulator_.addMailbox("alice@example.com", "alice-token");
        emulator_.addMailbox("bob@example.com", "bob-token");
    }

    /// The authorization request the application makes, with its ten items in its order.
    Pairs authorizationItems(const PKCE& pkce, const std::string& state = "state-1") const {
        return {{"access_type", "offline"},
                {"client_id", clientID},
                {"code_challenge", pkce.challenge()},
                {"code_challenge_method", "S256"},
                {"include_granted_scopes", "true"},
                {"prompt", "consent select_account"},
                {"redirect_uri", redirectURI},
                {"response_type", "code"},
                {"scope", std::string("openid email ") + gmailScope},
                {"state", state}};
    }
    HTTPSession::Response authorize(const Pairs& items) const {
        return session_.send(request("GET", emulator_.authorizationURL() + "?" + encoded(items)));
    }
    HTTPSession::Response post(const std::string& url, const Pairs& form) const {
        return session_.send(
            request("POST", url, {{"Content-Type", "application/x-www-form-urlencoded"}}, encoded(form)));
    }
    HTTPSession::Response bearerGet(const std::string& url, const std::string& token) const {
        return session_.send(request("GET", url, {{"Authorization", "Bearer " + token}}));
    }
    /// Consent given at once: the code the redirect carries.
    std::string codeFor(const PKCE& pkce) {
        emulator_.configureOAuth({.consent = "allow"});
        const auto redirect = authorize(authorizationItems(pkce));
        EXPECT_EQ(redirect.status, 302);
        return item(queryItems(redirect.header("Location").value_or("")), "code").value_or("");
    }
    Pairs exchangeForm(const std::string& code, const PKCE& pkce) const {
        return {{"client_id", clientID},
                {"code", code},
                {"code_verifier", pkce.verifier()},
                {"grant_type", "authorization_code"},
                {"redirect_uri", redirectURI}};
    }
    Pairs refreshForm(const std::string& refreshToken) const {
        return {{"client_id", clientID}, {"grant_type", "refresh_token"}, {"refresh_token", refreshToken}};
    }
    static json parsed(const HTTPSession::Response& response) { return json::parse(response.body, nullptr, false); }
    /// Google's error code of a refused request, with its status.
    static Refusal refusal(const HTTPSession::Response& response) {
        return {response.status, parsed(response).value("error", "<none>")};
    }

    static constexpr const char* redirectURI = "http://127.0.0.1:45678/oauth2/callback";
    GoogleEmulator emulator_{LARKPIN_GOOGLE_EMULATOR_PATH};
    HTTPSession session_;
};

// --- Authorization --------------------------------------------------------------------------------

TEST_F(GoogleEmulatorOAuthTest, ConsentGivenAtOnceRedirectsWithACodeThatBuysTokensForGmail) {
    const PKCE pkce = PKCE::generate();
    emulator_.configureOAuth({.consent = "allow", .consentMailbox = "bob@example.com"});
    const auto redirect = authorize(authorizationItems(pkce, "s/1 +x"));
    ASSERT_EQ(redirect.status, 302) << redirect.body;
    const std::string location = redirect.header("Location").value_or("");
    EXPECT_TRUE(location.starts_with(std::string(redirectURI) + "?state=")) << location;
    EXPECT_NE(location.find("code=4%2F"), std::string::npos) << "the code's \"/\" travels percent-encoded";
    const Pairs items = queryItems(location);
    EXPECT_EQ(item(items, "state"), "s/1 +x");
    EXPECT_EQ(item(items, "scope"), std::string("openid email ") + gmailScope);
    EXPECT_EQ(item(items, "prompt"), "consent select_account");

    const auto answer = post(emulator_.tokenURL(), exchangeForm(*item(items, "code"), pkce));
    ASSERT_EQ(answer.status, 200) << answer.body;
    const json token = parsed(answer);
    EXPECT_EQ(token["expires_in"], 3599);
    EXPECT_EQ(token["token_type"], "Bearer");
    EXPECT_TRUE(token.contains("refresh_token"));
    EXPECT_EQ(answer.header("Cache-Control"), "no-store");
    EXPECT_EQ(parsed(bearerGet(emulator_.gmailBaseURL() + "/profile", token["access_token"]))["emailAddress"],
              "bob@example.com");
    const json user = parsed(bearerGet(emulator_.userInfoURL(), token["access_token"]));
    EXPECT_EQ(user["email"], "bob@example.com");
    EXPECT_EQ(user["email_verified"], true);
    EXPECT_EQ(user["sub"].get<std::string>().size(), 21u);
    EXPECT_EQ(emulator_.counters().tokenRequests, 1u);
}

TEST_F(GoogleEmulatorOAuthTest, TheConsentPageOffersEveryMailboxWithAllowAndDeny) {
    const PKCE pkce = PKCE::generate();
    const auto page = authorize(authorizationItems(pkce));
    ASSERT_EQ(page.status, 200);
    EXPECT_FALSE(page.header("Location").has_value());
    for (const char* text : {">Allow</button>", ">Deny</button>", "value=\"alice@example.com\"",
                             "value=\"bob@example.com\"", clientID})
        EXPECT_NE(page.body.find(text), std::string::npos) << text;
    const auto idStart = page.body.find("name=\"request\" value=\"") + 22;
    const std::string request = page.body.substr(idStart, page.body.find('"', idStart) - idStart);

    const std::string consent = emulator_.baseURL() + "/o/oauth2/v2/auth/consent";
    const auto allowed = post(consent, {{"request", request}, {"mailbox", "bob@example.com"}, {"decision", "allow"}});
    ASSERT_EQ(allowed.status, 302);
    const auto code = item(queryItems(allowed.header("Location").value_or("")), "code");
    ASSERT_TRUE(code);
    const auto token = parsed(post(emulator_.tokenURL(), exchangeForm(*code, pkce)));
    EXPECT_EQ(parsed(bearerGet(emulator_.userInfoURL(), token["access_token"]))["email"], "bob@example.com");
    EXPECT_EQ(post(consent, {{"request", request}, {"decision", "allow"}}).status, 400) << "answered already";

    const auto second = authorize(authorizationItems(pkce, "state-2")).body;
    const auto secondStart = second.find("name=\"request\" value=\"") + 22;
    const auto denied = post(consent, {{"request", second.substr(secondStart, second.find('"', secondStart) - secondStart)},
                                       {"decision", "deny"}});
    ASSERT_EQ(denied.status, 302);
    EXPECT_EQ(queryItems(denied.header("Location").value_or("")),
              (Pairs{{"error", "access_denied"}, {"state", "state-2"}}));
}

TEST_F(GoogleEmulatorOAuthTest, DenialAtOnceCarriesTheConfiguredError) {
    emulator_.configureOAuth({.consent = "deny", .denyError = "org_internal"});
    const auto redirect = authorize(authorizationItems(PKCE::generate(), "abc"));
    ASSERT_EQ(redirect.status, 302);
    EXPECT_EQ(redirect.header("Location"), std::string(redirectURI) + "?error=org_internal&state=abc");
}

TEST_F(GoogleEmulatorOAuthTest, MalformedAuthorizationRequestsGetAnErrorPageAndNoRedirect) {
    emulator_.setOAuthClient(clientID);
    const PKCE pkce = PKCE::generate();
    const auto with = [&](const std::string& name, const std::optional<std::string>& value) {
        Pairs items;
        for (const auto& pair : authorizationItems(pkce))
            if (pair.first != name)
                items.push_back(pair);
            else if (value)
                items.emplace_back(name, *value);
        return items;
    };
    Pairs repeated = authorizationItems(pkce);
    repeated.emplace_back("state", "again");
    const struct {
        const char* what;
        Pairs items;
        long status;
        const char* error;
    } cases[] = {
        {"no client id", with("client_id", std::nullopt), 400, "invalid_request"},
        {"another client", with("client_id", "someone-else"), 401, "invalid_client"},
        {"no redirect", with("redirect_uri", std::nullopt), 400, "redirect_uri_mismatch"},
        {"remote redirect", with("redirect_uri", "http://attacker.example/cb"), 400, "redirect_uri_mismatch"},
        {"https loopback", with("redirect_uri", "https://127.0.0.1:4000/cb"), 400, "redirect_uri_mismatch"},
        {"look-alike host", with("redirect_uri", "http://127.0.0.1.attacker.example/cb"), 400, "redirect_uri_mismatch"},
        {"fragment", with("redirect_uri", "http://127.0.0.1:4000/cb#x"), 400, "redirect_uri_mismatch"},
        {"implicit flow", with("response_type", "token"), 400, "unsupported_response_type"},
        {"no scope", with("scope", std::nullopt), 400, "invalid_request"},
        {"no challenge", with("code_challenge", std::nullopt), 400, "invalid_request"},
        {"plain method", with("code_challenge_method", "plain"), 400, "invalid_request"},
        {"short challenge", with("code_challenge", "abc"), 400, "invalid_request"},
        {"state twice", repeated, 400, "invalid_request"},
    };
    emulator_.configureOAuth({.consent = "allow"});
    for (const auto& c : cases) {
        const auto page = authorize(c.items);
        EXPECT_EQ(page.status, c.status) << c.what;
        EXPECT_FALSE(page.header("Location").has_value()) << c.what;
        EXPECT_NE(page.body.find(std::string(": ") + c.error), std::string::npos) << c.what << ": " << page.body;
    }
    EXPECT_EQ(authorize(authorizationItems(pkce)).status, 302) << "the well-formed request still works";
}

// --- Token endpoint -------------------------------------------------------------------------------

TEST_F(GoogleEmulatorOAuthTest, TheCodeExchangeChecksVerifierRedirectAndClient) {
    const PKCE pkce = PKCE::generate();
    const std::string code = codeFor(pkce);
    const auto changed = [&](const std::string& name, const std::optional<std::string>& value) {
        Pairs form;
        for (const auto& pair : exchangeForm(code, pkce))
            if (pair.first != name)
                form.push_back(pair);
            else if (value)
                form.emplace_back(name, *value);
        return form;
    };
    const struct {
        const char* what;
        Pairs form;
        long status;
        const char* error;
    } cases[] = {
        {"another verifier", changed("code_verifier", PKCE::generate().verifier()), 400, "invalid_grant"},
        {"no verifier", changed("code_verifier", std::nullopt), 400, "invalid_grant"},
        {"the challenge as verifier", changed("code_verifier", pkce.challenge() + "x"), 400, "invalid_grant"},
        {"short verifier", changed("code_verifier", "abc"), 400, "invalid_grant"},
        {"redirect with a slash more", changed("redirect_uri", std::string(redirectURI) + "/"), 400,
         "redirect_uri_mismatch"},
        {"no redirect", changed("redirect_uri", std::nullopt), 400, "redirect_uri_mismatch"},
        {"another client", changed("client_id", "someone-else"), 400, "invalid_grant"},
        {"unknown code", changed("code", "4/0emu-unknown"), 400, "invalid_grant"},
        {"no code", changed("code", std::nullopt), 400, "invalid_request"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(refusal(post(emulator_.tokenURL(), c.form)), Refusal(c.status, c.error))
            << c.what;
    EXPECT_EQ(post(emulator_.tokenURL(), exchangeForm(code, pkce)).status, 200) << "refusals do not use the code up";
    EXPECT_EQ(refusal(post(emulator_.tokenURL(), exchangeForm(code, pkce))),
              Refusal(400, "invalid_grant"))
        << "a code is good once";
}

TEST_F(GoogleEmulatorOAuthTest, AnExchangeReturnsARefreshTokenOnlyWhenOfflineAndConfigured) {
    const struct {
        const char* accessType;
        bool configured;
        bool expected;
    } cases[] = {{"offline", true, true}, {"offline", false, false}, {"online", true, false}};
    for (const auto& c : cases) {
        emulator_.configureOAuth({.refreshTokenOnExchange = c.configured, .consent = "allow"});
        const PKCE pkce = PKCE::generate();
        Pairs items = authorizationItems(pkce);
        items.front().second = c.accessType;
        const auto code = item(queryItems(authorize(items).header("Location").value_or("")), "code");
        ASSERT_TRUE(code) << c.accessType;
        const auto token = parsed(post(emulator_.tokenURL(), exchangeForm(*code, pkce)));
        EXPECT_EQ(token.contains("refresh_token"), c.expected) << c.accessType << " " << c.configured;
        EXPECT_TRUE(token.contains("access_token"));
    }
}

TEST_F(GoogleEmulatorOAuthTest, RefreshIssuesAccessTokensOfTheConfiguredLifetimeAndMayRotate) {
    const auto grant = emulator_.addGrant("alice@example.com");
    emulator_.configureOAuth({.accessTokenLifetime = 120});
    const auto plain = parsed(post(emulator_.tokenURL(), refreshForm(grant.refreshToken)));
    EXPECT_EQ(plain["expires_in"], 120);
    EXPECT_FALSE(plain.contains("refresh_token"));
    EXPECT_NE(plain["access_token"], grant.accessToken);
    EXPECT_EQ(bearerGet(emulator_.gmailBaseURL() + "/profile", plain["access_token"]).status, 200);
    EXPECT_EQ(bearerGet(emulator_.gmailBaseURL() + "/profile", grant.accessToken).status, 200)
        << "earlier access tokens live on until they expire";

    emulator_.configureOAuth({.rotateRefreshTokens = true});
    const auto rotated = parsed(post(emulator_.tokenURL(), refreshForm(grant.refreshToken)));
    ASSERT_TRUE(rotated.contains("refresh_token"));
    EXPECT_NE(rotated["refresh_token"], grant.refreshToken);
    EXPECT_EQ(refusal(post(emulator_.tokenURL(), refreshForm(grant.refreshToken))),
              Refusal(400, "invalid_grant"));
    const auto next = parsed(post(emulator_.tokenURL(), refreshForm(rotated["refresh_token"])));
    EXPECT_EQ(emulator_.grants().at(0).refreshToken, next["refresh_token"]) << "the grant holds the newest";
}

TEST_F(GoogleEmulatorOAuthTest, ExpiredAccessTokensOpenNothing) {
    emulator_.configureOAuth({.accessTokenLifetime = 0});
    const auto grant = emulator_.addGrant();
    EXPECT_EQ(grant.expiresIn, 0);
    EXPECT_EQ(bearerGet(emulator_.gmailBaseURL() + "/profile", grant.accessToken).status, 401);
    EXPECT_EQ(bearerGet(emulator_.userInfoURL(), grant.accessToken).status, 401);
}

TEST_F(GoogleEmulatorOAuthTest, TokenRequestsGoogleRefuses) {
    emulator_.setOAuthClient(clientID, "the-secret");
    const auto grant = emulator_.addGrant("alice@example.com", "another-client");
    const auto send = [&](const std::string& body, const std::string& type = "application/x-www-form-urlencoded") {
        return refusal(session_.send(request("POST", emulator_.tokenURL(), {{"Content-Type", type}}, body)));
    };
    const std::string refresh = encoded(refreshForm(grant.refreshToken));
    const struct {
        const char* what;
        Refusal answer;
        Refusal expected;
    } cases[] = {
        {"JSON body", send(R"({"grant_type": "refresh_token"})", "application/json"), {400, "invalid_request"}},
        {"bad escape", send("grant_type=refresh_token&client_id=%zz"), {400, "invalid_request"}},
        {"twice", send(refresh + "&client_id=x"), {400, "invalid_request"}},
        {"no grant type", send("client_id=x"), {400, "invalid_request"}},
        {"unknown grant type", send("grant_type=password&client_id=" + std::string(clientID) + "&client_secret=the-secret"),
         {400, "unsupported_grant_type"}},
        {"no client", send("grant_type=refresh_token"), {400, "invalid_request"}},
        {"unknown client", send("grant_type=refresh_token&client_id=x&client_secret=the-secret"), {401, "invalid_client"}},
        {"no secret", send(refresh), {401, "invalid_client"}},
        {"wrong secret", send(refresh + "&client_secret=guess"), {401, "invalid_client"}},
        {"grant of another client", send(refresh + "&client_secret=the-secret"), {401, "unauthorized_client"}},
        {"unknown refresh token", send(encoded(refreshForm("1//emu-unknown")) + "&client_secret=the-secret"),
         {400, "invalid_grant"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.answer, c.expected) << c.what;
    EXPECT_EQ(emulator_.counters().tokenRequests, std::size(cases));
}

// --- Revocation and userinfo ----------------------------------------------------------------------

TEST_F(GoogleEmulatorOAuthTest, RevokingEitherTokenEndsTheWholeGrant) {
    for (const bool byAccessToken : {false, true}) {
        const auto grant = emulator_.addGrant();
        const auto answer = post(emulator_.revokeURL(), {{"token", byAccessToken ? grant.accessToken : grant.refreshToken}});
        EXPECT_EQ(answer.status, 200) << answer.body;
        EXPECT_EQ(refusal(post(emulator_.tokenURL(), refreshForm(grant.refreshToken))),
                  Refusal(400, "invalid_grant"));
        EXPECT_EQ(bearerGet(emulator_.gmailBaseURL() + "/profile", grant.accessToken).status, 401);
        EXPECT_EQ(refusal(post(emulator_.revokeURL(), {{"token", grant.refreshToken}})),
                  Refusal(400, "invalid_token"))
            << "a second revocation finds nothing";
    }
    EXPECT_EQ(refusal(post(emulator_.revokeURL(), {{"token", "ya29.unknown"}})),
              Refusal(400, "invalid_token"));
    EXPECT_EQ(post(emulator_.revokeURL() + "?token=" + emulator_.addGrant().refreshToken, {}).status, 200)
        << "the token may also come in the query";
    for (const auto& grant : emulator_.grants())
        EXPECT_FALSE(grant.active);
}

TEST_F(GoogleEmulatorOAuthTest, WithdrawnAccessRefusesRefreshesOfThatMailboxOnly) {
    const auto alice = emulator_.addGrant("alice@example.com");
    const auto bob = emulator_.addGrant("bob@example.com");
    EXPECT_EQ(emulator_.revokeGrants("alice@example.com"), 1u);
    EXPECT_EQ(refusal(post(emulator_.tokenURL(), refreshForm(alice.refreshToken))),
              Refusal(400, "invalid_grant"));
    EXPECT_EQ(post(emulator_.tokenURL(), refreshForm(bob.refreshToken)).status, 200);
}

TEST_F(GoogleEmulatorOAuthTest, UserInfoFollowsTheAccountSettingsAndTheGrantedScopes) {
    const auto grant = emulator_.addGrant("alice@example.com");
    const json defaults = parsed(bearerGet(emulator_.userInfoURL(), grant.accessToken));
    EXPECT_EQ(defaults["sub"], grant.sub);
    emulator_.setOAuthAccount("alice@example.com", {.sub = "42", .email = "", .emailVerified = false});
    EXPECT_EQ(parsed(bearerGet(emulator_.userInfoURL(), grant.accessToken)),
              (json{{"sub", "42"}, {"email", ""}, {"email_verified", false}}));
    EXPECT_EQ(parsed(bearerGet(emulator_.userInfoURL(), "alice-token"))["sub"], "42") << "the mailbox's own token";

    const json narrow = emulator_.control("POST", "oauth/grants", {{"scopes", {"openid"}}});
    EXPECT_EQ(parsed(bearerGet(emulator_.userInfoURL(), narrow["access_token"])), (json{{"sub", "42"}}));
    EXPECT_EQ(bearerGet(emulator_.gmailBaseURL() + "/profile", narrow["access_token"]).status, 403);

    const auto refused = bearerGet(emulator_.userInfoURL(), "ya29.unknown");
    EXPECT_EQ(refusal(refused), Refusal(401, "invalid_request"));
    EXPECT_TRUE(refused.header("WWW-Authenticate").has_value());
}

// --- Faults, the request log and control mistakes --------------------------------------------------

TEST_F(GoogleEmulatorOAuthTest, FaultsOnOAuthPathsAnswerInGooglesShape) {
    const auto grant = emulator_.addGrant();
    emulator_.queueFault("/oauth2/token", GoogleEmulator::Fault::httpStatus(503));
    emulator_.queueFault("/oauth2/token", GoogleEmulator::Fault::oauthError("invalid_grant"));
    emulator_.queueFault("/oauth2/token", GoogleEmulator::Fault::missingKey());
    emulator_.queueFault("/oauth2/v2/userinfo", GoogleEmulator::Fault::notJSON(500));
    EXPECT_EQ(refusal(post(emulator_.tokenURL(), refreshForm(grant.refreshToken))),
              Refusal(503, "internal_failure"));
    EXPECT_EQ(refusal(post(emulator_.tokenURL(), refreshForm(grant.refreshToken))),
              Refusal(400, "invalid_grant"));
    const auto spoiled = parsed(post(emulator_.tokenURL(), refreshForm(grant.refreshToken)));
    EXPECT_FALSE(spoiled.contains("access_token"));
    EXPECT_TRUE(spoiled.contains("expires_in"));
    const auto page = bearerGet(emulator_.userInfoURL(), grant.accessToken);
    EXPECT_EQ(page.status, 500);
    EXPECT_TRUE(parsed(page).is_discarded());
}

TEST_F(GoogleEmulatorOAuthTest, TheRequestLogKeepsWhatArrivedByteForByte) {
    const auto grant = emulator_.addGrant();
    const std::string body = encoded(refreshForm(grant.refreshToken));
    post(emulator_.tokenURL(), refreshForm(grant.refreshToken));
    bearerGet(emulator_.userInfoURL(), grant.accessToken);
    const auto requests = emulator_.oauthRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/oauth2/token");
    EXPECT_EQ(requests[0].contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0].body, body);
    EXPECT_EQ(requests[1].path, "/oauth2/v2/userinfo");
    emulator_.resetCounters();
    EXPECT_TRUE(emulator_.oauthRequests().empty());
}

TEST_F(GoogleEmulatorOAuthTest, MalformedOAuthControlRequestsAreRefused) {
    const std::vector<std::pair<std::string, json>> mistakes = {
        {"oauth/settings", {{"consent", "maybe"}}},
        {"oauth/settings", {{"accessTokenLifetime", -1}}},
        {"oauth/settings", {{"rotateRefreshTokens", "yes"}}},
        {"oauth/settings", {{"consentMailbox", "nobody@example.com"}}},
        {"oauth/settings", {{"lifetime", 5}}},
        {"oauth/accounts", {{"sub", "1"}}},
        {"oauth/accounts", {{"mailbox", "nobody@example.com"}}},
        {"oauth/accounts", {{"mailbox", "alice@example.com"}, {"emailVerified", "no"}}},
        {"oauth/grants", {{"mailbox", "nobody@example.com"}}},
        {"oauth/grants", {{"scopes", "openid"}}},
        {"oauth/client", {{"clientSecret", "s"}}},
        {"oauth/client", {{"clientId", ""}}},
    };
    for (const auto& [path, body] : mistakes)
        EXPECT_THROW(emulator_.control("POST", path, body), std::runtime_error) << path << " " << body.dump();
    EXPECT_EQ(emulator_.control("GET", "oauth/settings"),
              (json{{"accessTokenLifetime", 3599},
                    {"refreshTokenOnExchange", true},
                    {"rotateRefreshTokens", false},
                    {"consent", "ask"},
                    {"consentMailbox", nullptr},
                    {"denyError", "access_denied"}}))
        << "nothing changed";
    EXPECT_TRUE(emulator_.grants().empty());
}

} // namespace
} // namespace larkpin
