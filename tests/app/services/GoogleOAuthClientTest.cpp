// The whole consent flow: the real loopback server, the real browser launch through a desktop entry
// (a stand-in browser that follows the emulator's redirect), the emulator's OAuth endpoints and the
// real Secret Service. Runs inside scripts/test-session.

#include "app/services/GoogleOAuthClient.h"
#include "app/services/KeychainTokenStore.h"
#include "core/support/Uuid.h"
#include "support/GoogleEmulator.h"
#include "support/SecretServiceProbe.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <thread>
#include <tuple>

namespace larkpin {
namespace {

using namespace std::chrono_literals;
using test::GoogleEmulator;
using Fault = GoogleEmulator::Fault;

constexpr auto clientID = "test-client.apps.example";
constexpr auto userInfoPath = "/oauth2/v2/userinfo";

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
        for (const auto& [id, mode] : {std::pair{"larkpin-test-browser", "follow"},
                                       {"larkpin-test-idle-browser", "idle"},
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
        arrangeConsent();
    }
    /// Consent at once for a verified account, no secret, no faults, no requests seen.
    void arrangeConsent()
    {
        emulator.clearFaults();
        emulator.resetCounters();
        emulator.setOAuthClient(clientID);
        emulator.configureOAuth({.refreshTokenOnExchange = true, .consent = "allow"});
        emulator.setOAuthAccount("me@example.com",
                                 {.sub = "sub-1", .email = "me@example.com", .emailVerified = true});
    }
    void TearDown() override
    {
        if (!IsSkipped())
            keychain.deleteRefreshToken("sub-1");
    }

    GoogleOAuthClient client(const std::string& browser = "larkpin-test-browser",
                             const std::optional<std::string>& secret = std::nullopt)
    {
        GoogleOAuthConfiguration::Environment environment = {{"GOOGLE_OAUTH_CLIENT_ID", clientID},
                                                             {"GOOGLE_EMULATOR_URL", emulator.baseURL()},
                                                             {GoogleOAuthClient::browserVariable, browser}};
        if (secret)
            environment.emplace("GOOGLE_OAUTH_CLIENT_SECRET", *secret);
        auto configuration = GoogleOAuthConfiguration::load(environment, Bundle());
        auto tokens = std::make_shared<TokenManager>(configuration, keychain, session);
        return GoogleOAuthClient(configuration, tokens, session, environment);
    }

    /// Runs an attempt that must fail and returns what it threw. One that never ends meets the suite's
    /// ctest timeout.
    static std::string failureOf(const GoogleOAuthClient& oauth, std::chrono::milliseconds timeout,
                                 std::stop_token stop)
    {
        try {
            oauth.authorize(timeout, stop);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "the authorization succeeded";
    }

    /// The body of the code exchange, which comes after the consent page and before userinfo.
    std::string exchangeBody() const { return emulator.oauthRequests().at(1).body; }

    GoogleEmulator emulator{LARKPIN_GOOGLE_EMULATOR_PATH};
    std::shared_ptr<HTTPSession> session = std::make_shared<HTTPSession>();
    // A service of its own: ctest runs tests of this suite side by side against one keyring.
    KeychainTokenStore keychain{"dev.larkpin.Larkpin.tests." + Uuid::random().toString() + ".google-oauth"};
};

TEST_F(GoogleOAuthClientTest, connectsAnAccountThroughTheBrowserAndPrimesItsAccessToken)
{
    const auto oauth = client();
    const auto account = oauth.authorize(20s);
    EXPECT_EQ(account, (GoogleOAuthAccount{.id = "sub-1", .email = "me@example.com"}));
    ASSERT_TRUE(keychain.refreshToken("sub-1"));

    // The exchange ended with the consent URL's redirect URI, byte for byte: no secret came after it.
    const auto query = emulator.oauthRequests().at(0).query;
    const auto start = query.find("redirect_uri=");
    const auto redirect = query.substr(start, query.find('&', start) - start);
    EXPECT_TRUE(exchangeBody().ends_with("&" + redirect)) << exchangeBody();

    // The access token is in the cache: asking for it makes no token request.
    const auto tokenRequests = emulator.counters().tokenRequests;
    EXPECT_FALSE(oauth.tokenManager().accessToken(account.id).empty());
    EXPECT_EQ(emulator.counters().tokenRequests, tokenRequests);
}

// Each way an attempt can end short of an account: the description the user sees, nothing stored.
TEST_F(GoogleOAuthClientTest, reportsEveryWayAnAttemptCanFailAndStoresNothing)
{
    const std::string invalid = "Google returned invalid account information.";
    const std::string notBoolean = R"({"sub": "sub-1", "email": "me@example.com", "email_verified": "true"})";
    struct {
        std::string browser = "larkpin-test-browser";
        std::optional<std::string> secret;
        std::chrono::milliseconds timeout = 20s;
        bool cancel = false;
    } attempt, usual;
    const auto userInfo = [&](const Fault& fault) {
        return [&, fault] { emulator.queueFault(userInfoPath, fault); };
    };
    // clang-format off
    const std::vector<std::tuple<const char*, std::function<void()>, std::string>> cases = {
        {"consent denied", [&] { emulator.configureOAuth({.consent = "deny"}); }, "Google authorization failed: access_denied."},
        {"tampered state", [&] { attempt.browser = "larkpin-test-tampering-browser"; }, "Google callback state did not match."},
        {"no answer in time", [&] { attempt.browser = "larkpin-test-idle-browser"; attempt.timeout = 300ms; }, "Google authorization timed out."},
        {"cancelled", [&] { attempt.browser = "larkpin-test-idle-browser"; attempt.cancel = true; }, "Google authorization was cancelled."},
        {"no secret", [&] { emulator.setOAuthClient(clientID, "s"); }, "Google OAuth failed: invalid_client."},
        {"wrong secret", [&] { emulator.setOAuthClient(clientID, "s"); attempt.secret = "t"; }, "Google OAuth failed: invalid_client."},
        {"userinfo refused", userInfo(Fault::httpStatus(503)), "Google OAuth returned HTTP 503."},
        {"userinfo not JSON", userInfo(Fault::notJSON()), invalid},
        {"email_verified missing", userInfo(Fault::missingKey("email_verified")), invalid},
        {"email_verified not a boolean", userInfo(Fault::httpStatus(200, {}, notBoolean)), invalid},
        {"empty sub", [&] { emulator.setOAuthAccount("me@example.com", {.sub = ""}); }, invalid},
        {"email not verified", [&] { emulator.setOAuthAccount("me@example.com", {.emailVerified = false}); },
         "Google account email is not verified."},
        {"no refresh token", [&] { emulator.configureOAuth({.refreshTokenOnExchange = false}); },
         "Google did not return a refresh token. Revoke access and try again."},
    };
    // clang-format on
    for (const auto& [name, arrange, description] : cases) {
        SCOPED_TRACE(name);
        arrangeConsent();
        attempt = usual;
        arrange();
        std::stop_source stop;
        // Cancels once the browser shows the consent page, whether or not the wait has begun.
        std::jthread canceller([&](std::stop_token done) {
            while (attempt.cancel && !done.stop_requested() &&
                   emulator.counters().requestsTo("/o/oauth2/v2/auth") == 0)
                std::this_thread::sleep_for(10ms);
            if (attempt.cancel)
                stop.request_stop();
        });
        EXPECT_EQ(failureOf(client(attempt.browser, attempt.secret), attempt.timeout, stop.get_token()),
                  description);
        EXPECT_FALSE(keychain.refreshToken("sub-1"));
    }
}

// Reconnecting keeps the stored refresh token when Google sends none. A client with a secret must
// send it in the code exchange to be served.
TEST_F(GoogleOAuthClientTest, reconnectsWithTheClientSecretKeepingTheStoredRefreshToken)
{
    // A browser that is not installed gives way to the default one.
    client("no-such-browser").authorize(20s);
    const auto stored = keychain.refreshToken("sub-1");
    ASSERT_TRUE(stored);

    const std::string secret = "GOCSPX-s3cr+t/=";
    emulator.setOAuthClient(clientID, secret);
    emulator.configureOAuth({.refreshTokenOnExchange = false});
    emulator.resetCounters();
    EXPECT_EQ(client("larkpin-test-browser", secret).authorize(20s).id, "sub-1");
    EXPECT_EQ(keychain.refreshToken("sub-1"), stored);
    EXPECT_TRUE(exchangeBody().ends_with("&client_secret=GOCSPX-s3cr%2Bt/%3D")) << exchangeBody();
}

TEST_F(GoogleOAuthClientTest, buildsTheConsentURLFromTheEndpointAlone)
{
    // clang-format off
    EXPECT_EQ(client().authorizationURL("http://127.0.0.1:5/oauth2/callback", "challenge", "state value"),
              emulator.baseURL() + "/o/oauth2/v2/auth?access_type=offline&client_id=test-client.apps.example"
              "&code_challenge=challenge&code_challenge_method=S256&include_granted_scopes=true"
              "&prompt=consent%20select_account&redirect_uri=http://127.0.0.1:5/oauth2/callback&response_type=code"
              "&scope=openid%20email%20https://www.googleapis.com/auth/gmail.readonly&state=state%20value");
    // clang-format on
}

} // namespace
} // namespace larkpin
