// The whole consent flow: the real loopback server, the real browser launch through a desktop entry
// (a stand-in browser that follows the emulator's redirect), the emulator's OAuth endpoints and the
// real Secret Service. Runs inside scripts/test-session.

#include "app/services/GoogleOAuthClient.h"
#include "app/services/GoogleOAuthError.h"
#include "app/services/KeychainTokenStore.h"
#include "app/services/LoopbackCallbackServer.h"
#include "core/extraction/OTPExtractor.h"
#include "core/services/GmailSyncEngine.h"
#include "support/GoogleEmulator.h"
#include "support/SecretServiceProbe.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace larkpin {
namespace {

using test::GoogleEmulator;
using ServerError = LoopbackCallbackServer::Error;

/// Desktop entries for the stand-in browser, in a data folder of the test's own, written before
/// GIO first looks: it reads the folders once per process.
class DesktopEntries : public ::testing::Environment {
public:
    void SetUp() override
    {
        ::setenv("XDG_DATA_HOME", (folder.path() / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (folder.path() / "config").c_str(), 1);
        const auto applications = folder.path() / "data" / "applications";
        std::filesystem::create_directories(applications);
        std::filesystem::create_directories(folder.path() / "config");
        for (const auto& [id, mode] : {std::pair{"larkpin-test-browser", "follow"}, {"larkpin-test-idle-browser", "idle"},
                                       {"larkpin-test-tampering-browser", "tamper-state"}})
            std::ofstream(applications / (std::string(id) + ".desktop"))
                << "[Desktop Entry]\nType=Application\nName=" << id << "\nExec=" << LARKPIN_TEST_BROWSER_PATH
                << " --mode=" << mode << " %u\nMimeType=x-scheme-handler/http;\n";
        // The default browser, for the fall-back when the named one does not exist.
        std::ofstream(folder.path() / "config" / "mimeapps.list")
            << "[Default Applications]\nx-scheme-handler/http=larkpin-test-browser.desktop\n";
    }

private:
    test::TemporaryFolder folder;
};

const auto* const desktopEntries = ::testing::AddGlobalTestEnvironment(new DesktopEntries);

class GoogleOAuthClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto reason = test::SecretServiceProbe::unavailableReason())
            GTEST_SKIP() << "needs the Secret Service of scripts/test-session: " << *reason;
        emulator.addMailbox("me@example.com", "mailbox-token");
        emulator.setOAuthClient("test-client.apps.example");
        emulator.configureOAuth({.consent = "allow"});
        emulator.setOAuthAccount("me@example.com", {.sub = "sub-1", .email = "me@example.com", .emailVerified = true});
    }
    void TearDown() override
    {
        if (!IsSkipped())
            keychain.deleteRefreshToken("sub-1");
    }

    GoogleOAuthClient client(const std::string& browser = "larkpin-test-browser")
    {
        GoogleOAuthConfiguration::Environment environment = {{"GOOGLE_OAUTH_CLIENT_ID", "test-client.apps.example"},
                                                             {"GOOGLE_EMULATOR_URL", emulator.baseURL()},
                                                             {GoogleOAuthClient::browserVariable, browser}};
        auto configuration = GoogleOAuthConfiguration::load(environment, Bundle());
        auto tokens = std::make_shared<TokenManager>(configuration, keychain, session);
        return GoogleOAuthClient(configuration, tokens, session, environment);
    }

    /// Runs an attempt that must fail and returns what it threw, as text.
    template <typename ErrorType> std::optional<ErrorType> failureOf(const GoogleOAuthClient& oauth,
                                                                      std::chrono::milliseconds timeout = std::chrono::seconds(20),
                                                                      std::stop_token stop = {})
    {
        try {
            oauth.authorize(timeout, stop);
            ADD_FAILURE() << "the authorization succeeded";
        } catch (const ErrorType& error) {
            return error;
        } catch (const std::exception& error) {
            ADD_FAILURE() << "unexpected error: " << error.what();
        }
        return std::nullopt;
    }

    GoogleEmulator emulator{LARKPIN_GOOGLE_EMULATOR_PATH};
    std::shared_ptr<HTTPSession> session = std::make_shared<HTTPSession>();
    // A service of its own: ctest runs tests of this suite side by side against one keyring.
    KeychainTokenStore keychain{"dev.larkpin.Larkpin.tests." + Uuid::random().toString() + ".google-oauth"};
};

std::vector<std::pair<std::string, std::string>> queryItems(const std::string& query)
{
    std::vector<std::pair<std::string, std::string>> items;
    std::size_t start = 0;
    while (start <= query.size()) {
        const auto end = std::min(query.find('&', start), query.size());
        const auto item = query.substr(start, end - start);
        const auto equals = item.find('=');
        items.emplace_back(item.substr(0, equals), equals == std::string::npos ? "" : item.substr(equals + 1));
        start = end + 1;
    }
    return items;
}

TEST_F(GoogleOAuthClientTest, connectsAnAccountThroughTheBrowserAndServesItsSyncs)
{
    const auto oauth = client();
    const auto account = oauth.authorize(std::chrono::seconds(20));
    EXPECT_EQ(account, (GoogleOAuthAccount{.id = "sub-1", .email = "me@example.com"}));
    ASSERT_TRUE(keychain.refreshToken("sub-1"));

    // The consent URL carried exactly the ten items, in order; the exchange repeated the redirect URI.
    const auto requests = emulator.oauthRequests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[0].path, "/o/oauth2/v2/auth");
    const auto items = queryItems(requests[0].query);
    std::vector<std::string> names;
    for (const auto& [name, value] : items)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"access_type", "client_id", "code_challenge", "code_challenge_method",
                                               "include_granted_scopes", "prompt", "redirect_uri", "response_type",
                                               "scope", "state"}));
    EXPECT_EQ(items[5].second, "consent%20select_account");
    EXPECT_EQ(items[8].second, "openid%20email%20https://www.googleapis.com/auth/gmail.readonly");
    EXPECT_TRUE(items[6].second.starts_with("http://127.0.0.1:")) << items[6].second;
    EXPECT_EQ(items[2].second.size(), 43u);
    EXPECT_EQ(items[9].second.size(), 43u);
    EXPECT_EQ(requests[1].path, "/oauth2/token");
    EXPECT_NE(requests[1].body.find("&redirect_uri=" + items[6].second), std::string::npos) << requests[1].body;
    EXPECT_EQ(requests[1].body.find("client_secret"), std::string::npos);

    // The access token is in the cache: a sync needs no token request.
    const auto tokenRequests = emulator.counters().tokenRequests;
    emulator.addMessage({.from = "GitHub <noreply@github.com>", .subject = "Your code",
                         .plain = "Your GitHub verification code is 482913.", .age = 10});
    test::TemporaryFolder folder;
    LocalStore store(folder.path() / "larkpin.sqlite");
    GmailSyncEngine engine(store, OTPExtractor(600));
    const GmailAPIClient gmail(session, oauth.configuration().gmailEndpoint(),
                               [&] { return oauth.tokenManager().accessToken(account.id); });
    const auto result = engine.sync({.id = account.id, .email = account.email, .isEnabled = true}, gmail);
    EXPECT_EQ(result.newCodes, 1);
    EXPECT_EQ(emulator.counters().tokenRequests, tokenRequests);
}

TEST_F(GoogleOAuthClientTest, reportsEveryWayAnAttemptCanEndWithoutStoringAnything)
{
    emulator.configureOAuth({.consent = "deny"});
    auto denied = failureOf<ServerError>(client());
    ASSERT_TRUE(denied);
    EXPECT_STREQ(denied->what(), "Google authorization failed: access_denied.");

    emulator.configureOAuth({.consent = "allow"});
    auto tampered = failureOf<ServerError>(client("larkpin-test-tampering-browser"));
    ASSERT_TRUE(tampered);
    EXPECT_EQ(tampered->kind(), ServerError::Kind::invalidState);

    auto late = failureOf<ServerError>(client("larkpin-test-idle-browser"), std::chrono::milliseconds(300));
    ASSERT_TRUE(late);
    EXPECT_STREQ(late->what(), "Google authorization timed out.");

    std::stop_source stop;
    std::jthread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request_stop();
    });
    auto cancelled = failureOf<ServerError>(client("larkpin-test-idle-browser"), std::chrono::seconds(30), stop.get_token());
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(cancelled->kind(), ServerError::Kind::cancelled);

    emulator.setOAuthAccount("me@example.com", {.emailVerified = false});
    auto unverified = failureOf<GoogleOAuthClient::Error>(client());
    ASSERT_TRUE(unverified);
    EXPECT_STREQ(unverified->what(), "Google account email is not verified.");

    emulator.setOAuthAccount("me@example.com", {.sub = "", .emailVerified = true});
    auto anonymous = failureOf<GoogleOAuthClient::Error>(client());
    ASSERT_TRUE(anonymous);
    EXPECT_STREQ(anonymous->what(), "Google returned invalid account information.");

    emulator.setOAuthAccount("me@example.com", {.sub = "sub-1"});
    emulator.configureOAuth({.refreshTokenOnExchange = false});
    auto noRefreshToken = failureOf<GoogleOAuthError>(client());
    ASSERT_TRUE(noRefreshToken);
    EXPECT_STREQ(noRefreshToken->what(), "Google did not return a refresh token. Revoke access and try again.");

    EXPECT_FALSE(keychain.refreshToken("sub-1"));
}

TEST_F(GoogleOAuthClientTest, reconnectingKeepsTheStoredRefreshTokenWhenGoogleSendsNone)
{
    client().authorize(std::chrono::seconds(20));
    const auto stored = keychain.refreshToken("sub-1");
    ASSERT_TRUE(stored);

    emulator.configureOAuth({.refreshTokenOnExchange = false});
    EXPECT_EQ(client().authorize(std::chrono::seconds(20)).id, "sub-1");
    EXPECT_EQ(keychain.refreshToken("sub-1"), stored);
}

TEST_F(GoogleOAuthClientTest, anUnknownBrowserFallsBackToTheDefaultOne)
{
    EXPECT_EQ(client("no-such-browser").authorize(std::chrono::seconds(20)).id, "sub-1");
}

TEST_F(GoogleOAuthClientTest, buildsTheConsentURLFromTheEndpointAlone)
{
    const auto oauth = client();
    const auto url = oauth.authorizationURL("http://127.0.0.1:5/oauth2/callback", "challenge", "state value");
    ASSERT_TRUE(url);
    EXPECT_EQ(*url, emulator.baseURL()
                        + "/o/oauth2/v2/auth?access_type=offline&client_id=test-client.apps.example&code_challenge="
                          "challenge&code_challenge_method=S256&include_granted_scopes=true&prompt=consent%20select_"
                          "account&redirect_uri=http://127.0.0.1:5/oauth2/callback&response_type=code&scope=openid%"
                          "20email%20https://www.googleapis.com/auth/gmail.readonly&state=state%20value");
}

} // namespace
} // namespace larkpin
