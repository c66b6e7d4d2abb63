// TokenManager against the emulator's token and revocation endpoints and the session's real Secret
// Service, with a clock the tests move by hand.

#include "app/services/Bundle.h"
#include "app/services/GoogleOAuthError.h"
#include "app/services/TokenManager.h"
#include "core/auth/PKCE.h"
#include "core/services/GmailAPIClient.h"
#include "support/GoogleEmulator.h"
#include "support/ManualClock.h"
#include "support/SecretServiceProbe.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <latch>
#include <thread>

namespace larkpin {
namespace {

using Fault = test::GoogleEmulator::Fault;
using namespace std::chrono_literals;

constexpr const char* clientID = "larkpin-test.apps.googleusercontent.example";
constexpr double start = 1'800'000'000;
constexpr int lifetime = 120;

/// A loopback URL nobody listens on: the port was free a moment ago.
std::string unreachableURL(const std::string& path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + path;
}

class TokenManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto reason = test::SecretServiceProbe::unavailableReason())
            GTEST_SKIP() << *reason;
        emulator_.addMailbox("alice@example.com", "alice-mailbox-token");
        emulator_.addMailbox("bob@example.com", "bob-mailbox-token");
        emulator_.setOAuthClient(clientID);
        emulator_.configureOAuth({.accessTokenLifetime = lifetime});
    }
    void TearDown() override
    {
        if (!IsSkipped())
            for (const auto& account : accounts_)
                keychain_.deleteRefreshToken(account);
    }

    /// The state after connecting the account earlier: a grant at Google and its refresh token stored.
    test::GoogleEmulator::Grant connect(const std::string& accountID, const std::string& mailbox = "alice@example.com")
    {
        const auto grant = emulator_.addGrant(mailbox);
        keychain_.saveRefreshToken(grant.refreshToken, accountID);
        used(accountID);
        emulator_.resetCounters();
        return grant;
    }
    void used(const std::string& accountID) { accounts_.push_back(accountID); }
    std::unique_ptr<TokenManager> managerWith(const std::optional<std::string>& secret, const std::string& tokenURL,
                                              const std::string& revokeURL) const
    {
        return std::make_unique<TokenManager>(clientID, secret, tokenURL, revokeURL, keychain_, session_, clock_);
    }
    std::string mailboxOf(const std::string& accessToken) const
    {
        return GmailAPIClient(session_, emulator_.gmailBaseURL(), [&] { return accessToken; }).profile().emailAddress;
    }
    std::uint64_t tokenRequests() const { return emulator_.counters().tokenRequests; }
    /// Starts a refresh whose answer the emulator holds back, and returns once the request has arrived.
    std::future<std::string> refreshHeldBack(TokenManager& manager, const std::string& accountID)
    {
        emulator_.queueFault("/oauth2/token", Fault::delayed(2s));
        auto refresh = std::async(std::launch::async, [&manager, accountID] { return manager.accessToken(accountID); });
        for (int i = 0; i < 2000 && tokenRequests() == 0; ++i)
            std::this_thread::sleep_for(5ms);
        return refresh;
    }
    template <typename Action> static std::optional<GoogleOAuthError> oauthErrorOf(Action&& action)
    {
        try {
            action();
        } catch (const GoogleOAuthError& error) {
            return error;
        }
        return std::nullopt;
    }

    test::GoogleEmulator emulator_{LARKPIN_GOOGLE_EMULATOR_PATH};
    std::shared_ptr<const HTTPSession> session_ = std::make_shared<HTTPSession>();
    std::shared_ptr<test::ManualClock> clock_ = std::make_shared<test::ManualClock>(timePointFromSecondsSince1970(start));
    KeychainTokenStore keychain_{"dev.larkpin.Larkpin.test-" + PKCE::randomURLSafeString(9) + ".google-oauth"};
    TokenManager manager_{GoogleOAuthConfiguration::load(
                              {{"GOOGLE_OAUTH_CLIENT_ID", clientID}, {"GOOGLE_EMULATOR_URL", emulator_.baseURL()}}, Bundle()),
                          keychain_, session_, clock_};
    std::vector<std::string> accounts_;
};

// --- The cache ------------------------------------------------------------------------------------

TEST_F(TokenManagerTest, ServesTheCachedTokenUntilSixtySecondsBeforeItExpires)
{
    const struct {
        double secondsLeft;
        bool cached;
    } cases[] = {{61, true}, {60, false}, {59, false}};
    for (const auto& c : cases) {
        const std::string account = "left-" + std::to_string(static_cast<int>(c.secondsLeft));
        connect(account);
        const std::string first = manager_.accessToken(account);
        clock_->advance(lifetime - c.secondsLeft);
        const std::string second = manager_.accessToken(account);
        EXPECT_EQ(second == first, c.cached) << c.secondsLeft << " s left";
        EXPECT_EQ(tokenRequests(), c.cached ? 1u : 2u) << c.secondsLeft << " s left";
        EXPECT_EQ(mailboxOf(second), "alice@example.com");
    }
}

TEST_F(TokenManagerTest, ConcurrentCallersShareOneRefreshPerAccount)
{
    connect("111", "alice@example.com");
    connect("222", "bob@example.com");
    // The answers wait, so that every caller arrives while its account's refresh is out.
    emulator_.queueFault("/oauth2/token", Fault::delayed(500ms));
    emulator_.queueFault("/oauth2/token", Fault::delayed(500ms));
    constexpr int callers = 8;
    std::latch ready(callers);
    std::vector<std::string> tokens(callers);
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i)
        threads.emplace_back([&, i] {
            ready.arrive_and_wait();
            try {
                tokens[i] = manager_.accessToken(i % 2 == 0 ? "111" : "222");
            } catch (const std::exception& error) {
                tokens[i] = std::string("error: ") + error.what();
            }
        });
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(tokenRequests(), 2u) << "one per account";
    for (int i = 2; i < callers; ++i)
        EXPECT_EQ(tokens[i], tokens[i % 2]) << "caller " << i;
    EXPECT_EQ(mailboxOf(tokens[0]), "alice@example.com");
    EXPECT_EQ(mailboxOf(tokens[1]), "bob@example.com");
}

// --- Refreshing -----------------------------------------------------------------------------------

TEST_F(TokenManagerTest, ARefreshTokenInTheAnswerReplacesTheStoredOneAndOnlyThen)
{
    for (const bool rotating : {false, true}) {
        const std::string account = rotating ? "rotating" : "steady";
        const auto grant = connect(account);
        emulator_.configureOAuth({.rotateRefreshTokens = rotating});
        manager_.accessToken(account);
        const auto stored = keychain_.refreshToken(account);
        EXPECT_EQ(stored == grant.refreshToken, !rotating) << account;
        EXPECT_EQ(stored, emulator_.grants().back().refreshToken) << account << ": the grant's current one is stored";
        clock_->advance(lifetime);
        EXPECT_NO_THROW(manager_.accessToken(account)) << account << ": and it refreshes again";
        EXPECT_EQ(tokenRequests(), 2u) << account;
    }
}

TEST_F(TokenManagerTest, TheRefreshFormCarriesTheClientSecretOnlyWhenThereIsOne)
{
    const auto grant = connect("111");
    const std::string form = std::string("client_id=") + clientID + "&grant_type=refresh_token&refresh_token=" + grant.refreshToken;
    const struct {
        std::optional<std::string> secret;
        std::string body;
    } cases[] = {{std::nullopt, form}, {"", form}, {"s3cr3t/x", form + "&client_secret=s3cr3t/x"}};
    for (const auto& c : cases) {
        emulator_.resetCounters();
        managerWith(c.secret, emulator_.tokenURL(), emulator_.revokeURL())->accessToken("111");
        const auto requests = emulator_.oauthRequests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].body, c.body);
    }
}

TEST_F(TokenManagerTest, FailedRefreshesPropagateAndLeaveCacheAndItemAsTheyWere)
{
    const auto grant = connect("111");
    const std::string cached = manager_.accessToken("111");
    clock_->advance(lifetime - 30); // stale, but not yet expired
    const struct {
        Fault fault;
        GoogleOAuthError error;
    } cases[] = {
        {Fault::notJSON(400), GoogleOAuthError::response(400)},
        {Fault::notJSON(503), GoogleOAuthError::response(503)},
        {Fault::notJSON(200), GoogleOAuthError::invalidResponse()},
        {Fault::missingKey("expires_in"), GoogleOAuthError::invalidResponse()},
        {Fault::oauthError("invalid_grant"), GoogleOAuthError::oauth("invalid_grant")},
    };
    for (const auto& c : cases) {
        emulator_.queueFault("/oauth2/token", c.fault);
        const auto error = oauthErrorOf([&] { manager_.accessToken("111"); });
        ASSERT_TRUE(error.has_value()) << c.error.what();
        EXPECT_EQ(*error, c.error);
        EXPECT_EQ(keychain_.refreshToken("111"), grant.refreshToken);
    }
    const std::string fresh = manager_.accessToken("111");
    EXPECT_NE(fresh, cached) << "a failed refresh blocks neither the cache nor later refreshes";
    EXPECT_EQ(tokenRequests(), std::size(cases) + 2);
}

TEST_F(TokenManagerTest, AWithdrawnGrantIsInvalidGrantAndTheItemStaysForTheNextTry)
{
    const auto grant = connect("111");
    emulator_.revokeGrants("alice@example.com");
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto error = oauthErrorOf([&] { manager_.accessToken("111"); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, GoogleOAuthError::oauth("invalid_grant"));
        EXPECT_STREQ(error->what(), "Google OAuth failed: invalid_grant.");
    }
    EXPECT_EQ(tokenRequests(), 2u) << "every call asks Google again";
    EXPECT_EQ(keychain_.refreshToken("111"), grant.refreshToken);
}

TEST_F(TokenManagerTest, WithoutAStoredRefreshTokenNothingIsAsked)
{
    used("111");
    EXPECT_EQ(oauthErrorOf([&] { manager_.accessToken("111"); }), GoogleOAuthError::missingStoredRefreshToken());
    EXPECT_EQ(emulator_.counters().totalRequests, 0u);
}

// --- Removing an authorization --------------------------------------------------------------------

TEST_F(TokenManagerTest, RemovingRevokesTheGrantForgetsTheCacheAndDeletesTheItem)
{
    const auto grant = connect("111");
    const std::string accessToken = manager_.accessToken("111");
    emulator_.resetCounters();
    manager_.removeAuthorization("111");

    const auto requests = emulator_.oauthRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/revoke");
    EXPECT_EQ(requests[0].contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0].body, "token=" + grant.refreshToken) << "the refresh token stands for the whole grant";
    EXPECT_FALSE(emulator_.grants().back().active);
    EXPECT_THROW(mailboxOf(accessToken), GmailAPIClient::APIError) << "the access token died with the grant";
    EXPECT_EQ(keychain_.refreshToken("111"), std::nullopt);
    EXPECT_EQ(oauthErrorOf([&] { manager_.accessToken("111"); }), GoogleOAuthError::missingStoredRefreshToken())
        << "the cached token is gone too";
}

TEST_F(TokenManagerTest, RemovingDeletesTheItemWhateverBecomesOfTheRevocation)
{
    const struct {
        const char* what;
        std::string revokeURL;
        std::optional<Fault> fault;
        bool revoked; ///< whether Google got as far as revoking
    } cases[] = {
        {"unreachable", unreachableURL("/revoke"), std::nullopt, false},
        {"refused", emulator_.revokeURL(), Fault::notJSON(503), false},
        {"cut off", emulator_.revokeURL(), Fault::dropConnection(), true},
    };
    for (const auto& c : cases) {
        connect("111");
        if (c.fault)
            emulator_.queueFault("/revoke", *c.fault);
        const auto manager = managerWith(std::nullopt, emulator_.tokenURL(), c.revokeURL);
        manager->accessToken("111");
        EXPECT_NO_THROW(manager->removeAuthorization("111")) << c.what;
        EXPECT_EQ(keychain_.refreshToken("111"), std::nullopt) << c.what;
        EXPECT_EQ(emulator_.grants().back().active, !c.revoked) << c.what;
    }
}

TEST_F(TokenManagerTest, RemovingAnAccountWithNothingStoredMakesNoCall)
{
    used("111");
    EXPECT_NO_THROW(manager_.removeAuthorization("111"));
    EXPECT_EQ(emulator_.counters().totalRequests, 0u);
}

TEST_F(TokenManagerTest, WithoutAStoredItemTheCachedAccessTokenIsRevoked)
{
    used("111");
    const auto grant = emulator_.addGrant();
    manager_.storeAuthorization("111", {grant.accessToken, clock_->now() + Seconds(3599), grant.refreshToken});
    keychain_.deleteRefreshToken("111"); // removed behind the manager's back
    emulator_.resetCounters();
    manager_.removeAuthorization("111");
    const auto requests = emulator_.oauthRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "token=" + grant.accessToken);
    EXPECT_FALSE(emulator_.grants().back().active);
}

// --- What the authorization flow writes -----------------------------------------------------------

TEST_F(TokenManagerTest, StoringAnAuthorizationSavesTheRefreshTokenAndPrimesTheCache)
{
    used("111");
    const auto grant = emulator_.addGrant();
    emulator_.resetCounters();
    manager_.storeAuthorization("111", {grant.accessToken, clock_->now() + Seconds(3599), grant.refreshToken});
    EXPECT_EQ(keychain_.refreshToken("111"), grant.refreshToken);
    EXPECT_EQ(manager_.accessToken("111"), grant.accessToken);
    EXPECT_EQ(emulator_.counters().totalRequests, 0u) << "served from the cache";
}

TEST_F(TokenManagerTest, AnAuthorizationWithoutRefreshTokenNeedsOneStoredEarlier)
{
    used("new");
    const GoogleOAuthToken withoutRefresh{"ya29.fresh", clock_->now() + Seconds(3599), std::nullopt};
    EXPECT_EQ(oauthErrorOf([&] { manager_.storeAuthorization("new", withoutRefresh); }),
              GoogleOAuthError::missingRefreshToken());
    EXPECT_EQ(oauthErrorOf([&] { manager_.accessToken("new"); }), GoogleOAuthError::missingStoredRefreshToken())
        << "nothing was cached for the new account";

    const auto grant = connect("known");
    manager_.storeAuthorization("known", withoutRefresh);
    EXPECT_EQ(keychain_.refreshToken("known"), grant.refreshToken) << "a reconnect keeps the stored one";
    EXPECT_EQ(manager_.accessToken("known"), "ya29.fresh");
}

// --- Races between a refresh and the account's other changes --------------------------------------

TEST_F(TokenManagerTest, ARefreshThatEndsAfterARemovalBringsNothingBack)
{
    connect("111");
    emulator_.configureOAuth({.rotateRefreshTokens = true}); // the late answer carries a refresh token
    // Unreachable revocation: the grant stays valid, so the held-back refresh succeeds at Google.
    const auto manager = managerWith(std::nullopt, emulator_.tokenURL(), unreachableURL("/revoke"));
    auto refresh = refreshHeldBack(*manager, "111");
    manager->removeAuthorization("111");
    EXPECT_EQ(oauthErrorOf([&] { refresh.get(); }), GoogleOAuthError::missingStoredRefreshToken());
    EXPECT_EQ(keychain_.refreshToken("111"), std::nullopt);
    EXPECT_EQ(oauthErrorOf([&] { manager->accessToken("111"); }), GoogleOAuthError::missingStoredRefreshToken());
}

TEST_F(TokenManagerTest, ARefreshThatEndsAfterANewAuthorizationYieldsToIt)
{
    connect("111");
    emulator_.configureOAuth({.rotateRefreshTokens = true});
    auto refresh = refreshHeldBack(manager_, "111");
    const auto newer = emulator_.addGrant();
    manager_.storeAuthorization("111", {newer.accessToken, clock_->now() + Seconds(3599), newer.refreshToken});
    EXPECT_EQ(refresh.get(), newer.accessToken);
    EXPECT_EQ(keychain_.refreshToken("111"), newer.refreshToken);
}

// --- Secrets --------------------------------------------------------------------------------------

TEST_F(TokenManagerTest, NoErrorTextCarriesAToken)
{
    const auto grant = connect("111");
    std::vector<std::string> texts;
    const auto attempt = [&texts](auto&& action) {
        try {
            action();
            texts.emplace_back("<no error>");
        } catch (const std::exception& error) {
            texts.emplace_back(error.what());
        }
    };
    for (const auto& fault : {Fault::notJSON(400), Fault::notJSON(200), Fault::missingKey("expires_in"),
                              Fault::oauthError("invalid_grant"), Fault::dropConnection()}) {
        emulator_.queueFault("/oauth2/token", fault);
        attempt([&] { manager_.accessToken("111"); });
    }
    emulator_.revokeGrants();
    attempt([&] { manager_.accessToken("111"); });
    attempt([&] { managerWith(std::nullopt, unreachableURL("/oauth2/token"), emulator_.revokeURL())->accessToken("111"); });
    used("222");
    attempt([&] { manager_.accessToken("222"); });
    attempt([&] { manager_.storeAuthorization("222", {grant.accessToken, clock_->now(), std::nullopt}); });

    ASSERT_EQ(texts.size(), 9u);
    for (const auto& text : texts) {
        EXPECT_NE(text, "<no error>");
        for (const auto& secret : {grant.refreshToken, grant.accessToken, std::string("emu-")})
            EXPECT_EQ(text.find(secret), std::string::npos) << text;
    }
}

} // namespace
} // namespace larkpin
