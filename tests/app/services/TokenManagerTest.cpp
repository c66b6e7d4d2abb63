// TokenManager against the emulator's token and revocation endpoints and the session's real Secret
// Service, with a clock the tests move by hand.

#include "app/services/TokenManager.h"
#include "app/services/GoogleOAuthError.h"
#include "core/auth/PKCE.h"
#include "core/services/GmailAPIClient.h"
#include "support/GoogleEmulator.h"
#include "support/ManualClock.h"
#include "support/SecretServiceProbe.h"

#include <gtest/gtest.h>

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

/// Nothing listens on port 1 of the loopback interface: connecting is refused at once.
constexpr const char* unreachableRevokeURL = "http://127.0.0.1:1/revoke";

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
    test::GoogleEmulator::Grant connect(const std::string& accountID,
                                        const std::string& mailbox = "alice@example.com")
    {
        const auto grant = emulator_.addGrant(mailbox);
        keychain_.saveRefreshToken(grant.refreshToken, accountID);
        used(accountID);
        emulator_.resetCounters();
        return grant;
    }
    void used(const std::string& accountID) { accounts_.push_back(accountID); }
    std::unique_ptr<TokenManager> managerWith(const std::optional<std::string>& secret,
                                              const std::string& tokenURL, const std::string& revokeURL) const
    {
        return std::make_unique<TokenManager>(clientID, secret, tokenURL, revokeURL, keychain_, session_,
                                              clock_);
    }
    std::string mailboxOf(const std::string& accessToken) const
    {
        return GmailAPIClient(session_, emulator_.gmailBaseURL(), [&] { return accessToken; })
            .profile()
            .emailAddress;
    }
    std::uint64_t tokenRequests() const { return emulator_.counters().tokenRequests; }
    /// Starts a refresh whose answer the emulator holds back, and returns once the request has arrived
    /// (or the refresh has already ended). What a test does meanwhile normally ends well before the
    /// answer; the tests check only outcomes that hold whichever ends first.
    std::future<std::string> refreshHeldBack(TokenManager& manager, const std::string& accountID)
    {
        emulator_.queueFault("/oauth2/token", Fault::delayed(3s));
        auto refresh =
            std::async(std::launch::async, [&manager, accountID] { return manager.accessToken(accountID); });
        while (tokenRequests() == 0 && refresh.wait_for(10ms) != std::future_status::ready) {
        }
        return refresh;
    }
    /// The description of what the action throws; "none" when it succeeds.
    template <typename Action> static std::string errorOf(Action&& action)
    {
        try {
            action();
        } catch (const std::exception& error) {
            return error.what();
        }
        return "none";
    }

    test::GoogleEmulator emulator_{LARKPIN_GOOGLE_EMULATOR_PATH};
    std::shared_ptr<const HTTPSession> session_ = std::make_shared<HTTPSession>();
    std::shared_ptr<test::ManualClock> clock_ =
        std::make_shared<test::ManualClock>(timePointFromSecondsSince1970(start));
    KeychainTokenStore keychain_{"dev.larkpin.Larkpin.test-" + PKCE::randomURLSafeString(9) +
                                 ".google-oauth"};
    std::unique_ptr<TokenManager> manager_ =
        managerWith(std::nullopt, emulator_.tokenURL(), emulator_.revokeURL());
    std::vector<std::string> accounts_;
};

// --- The cache ------------------------------------------------------------------------------------

TEST_F(TokenManagerTest, ServesTheCachedTokenUntilSixtySecondsBeforeItExpires)
{
    for (const double secondsLeft : {61, 60, 59}) {
        const std::string account = "left-" + std::to_string(static_cast<int>(secondsLeft));
        connect(account);
        const std::string first = manager_->accessToken(account);
        clock_->advance(lifetime - secondsLeft);
        const std::string second = manager_->accessToken(account);
        EXPECT_EQ(second == first, secondsLeft > 60) << secondsLeft << " s left";
        EXPECT_EQ(tokenRequests(), secondsLeft > 60 ? 1u : 2u) << secondsLeft << " s left";
        EXPECT_EQ(mailboxOf(second), "alice@example.com");
    }
}

TEST_F(TokenManagerTest, ConcurrentCallersShareOneRefreshPerAccount)
{
    connect("111", "alice@example.com");
    connect("222", "bob@example.com");
    // The answers wait, so that callers arrive while their account's refresh is out; a late one finds
    // the cache filled, which makes no request either.
    emulator_.queueFault("/oauth2/token", Fault::delayed(500ms));
    emulator_.queueFault("/oauth2/token", Fault::delayed(500ms));
    constexpr int callers = 8;
    std::latch ready(callers);
    std::vector<std::future<std::string>> tokens;
    for (int i = 0; i < callers; ++i)
        tokens.push_back(std::async(std::launch::async, [&, i] {
            ready.arrive_and_wait();
            return manager_->accessToken(i % 2 == 0 ? "111" : "222");
        }));
    std::vector<std::string> values;
    for (auto& token : tokens)
        values.push_back(token.get());
    EXPECT_EQ(tokenRequests(), 2u) << "one per account";
    for (int i = 2; i < callers; ++i)
        EXPECT_EQ(values[i], values[i % 2]) << "caller " << i;
    EXPECT_EQ(mailboxOf(values[0]), "alice@example.com");
    EXPECT_EQ(mailboxOf(values[1]), "bob@example.com");
}

// --- Refreshing -----------------------------------------------------------------------------------

TEST_F(TokenManagerTest, ANewRefreshTokenTheKeyringRefusesFailsTheCallButIsNotLost)
{
    const auto grant = connect("111");
    emulator_.configureOAuth({.rotateRefreshTokens = true}); // Google retires the stored token at once
    {
        const test::SecretServiceProbe::RefusedWrites refused;
        EXPECT_THROW(manager_->accessToken("111"), KeychainTokenStore::Error);
        EXPECT_THROW(manager_->accessToken("111"), KeychainTokenStore::Error) << "no token was cached";
    }
    EXPECT_EQ(keychain_.refreshToken("111"), grant.refreshToken);
    EXPECT_EQ(mailboxOf(manager_->accessToken("111")), "alice@example.com") << "works once the keyring does";
    EXPECT_EQ(keychain_.refreshToken("111"), emulator_.grants().back().refreshToken)
        << "the newest is stored";
    EXPECT_EQ(tokenRequests(), 3u);
}

TEST_F(TokenManagerTest, TheRefreshFormCarriesTheClientSecretOnlyWhenThereIsOne)
{
    const auto grant = connect("111");
    const std::string form = std::string("client_id=") + clientID +
                             "&grant_type=refresh_token&refresh_token=" + grant.refreshToken;
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, form}, {"", form}, {"s3cr3t/x", form + "&client_secret=s3cr3t/x"}};
    for (const auto& [secret, body] : cases) {
        emulator_.resetCounters();
        managerWith(secret, emulator_.tokenURL(), emulator_.revokeURL())->accessToken("111");
        const auto requests = emulator_.oauthRequests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].body, body);
    }
}

TEST_F(TokenManagerTest, FailedRefreshesPropagateAndLeaveCacheAndItemAsTheyWere)
{
    const auto grant = connect("111");
    const std::string cached = manager_->accessToken("111");
    clock_->advance(lifetime - 30); // stale, but not yet expired
    for (const auto& fault : {Fault::notJSON(503), Fault::oauthError("invalid_grant")}) {
        emulator_.queueFault("/oauth2/token", fault);
        EXPECT_THROW(manager_->accessToken("111"), GoogleOAuthError);
    }
    emulator_.revokeGrants("alice@example.com"); // the user withdrew access: every call asks again
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_EQ(errorOf([&] { manager_->accessToken("111"); }), "Google OAuth failed: invalid_grant.");
    EXPECT_EQ(keychain_.refreshToken("111"), grant.refreshToken) << "the item stays for the next try";
    EXPECT_EQ(tokenRequests(), 5u);
}

// --- Removing an authorization --------------------------------------------------------------------

TEST_F(TokenManagerTest, RemovingRevokesTheGrantForgetsTheCacheAndDeletesTheItem)
{
    const auto grant = connect("111");
    const std::string accessToken = manager_->accessToken("111");
    emulator_.resetCounters();
    manager_->removeAuthorization("111");

    const auto requests = emulator_.oauthRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path + " " + requests[0].contentType, "/revoke application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0].body, "token=" + grant.refreshToken)
        << "the refresh token stands for the whole grant";
    EXPECT_THROW(mailboxOf(accessToken), GmailAPIClient::APIError) << "the access token died with the grant";
    EXPECT_EQ(keychain_.refreshToken("111"), std::nullopt);
    EXPECT_EQ(errorOf([&] { manager_->accessToken("111"); }),
              GoogleOAuthError::missingStoredRefreshToken().what())
        << "the cached token is gone too";
}

TEST_F(TokenManagerTest, RemovingDeletesTheItemWhateverBecomesOfTheRevocation)
{
    const struct {
        std::string revokeURL;
        std::optional<Fault> fault;
        bool revoked; ///< whether Google got as far as revoking
    } cases[] = {
        {unreachableRevokeURL, std::nullopt, false},
        {emulator_.revokeURL(), Fault::notJSON(503), false},
        {emulator_.revokeURL(), Fault::dropConnection(), true},
    };
    for (const auto& c : cases) {
        connect("111");
        if (c.fault)
            emulator_.queueFault("/revoke", *c.fault);
        const auto manager = managerWith(std::nullopt, emulator_.tokenURL(), c.revokeURL);
        manager->accessToken("111");
        EXPECT_NO_THROW(manager->removeAuthorization("111")) << c.revokeURL;
        EXPECT_EQ(keychain_.refreshToken("111"), std::nullopt) << c.revokeURL;
        EXPECT_EQ(emulator_.grants().back().active, !c.revoked) << c.revokeURL;
    }
}

TEST_F(TokenManagerTest, WithoutAStoredItemTheCachedAccessTokenIsRevoked)
{
    used("111");
    const auto grant = emulator_.addGrant();
    manager_->storeAuthorization("111",
                                 {grant.accessToken, clock_->now() + Seconds(3599), grant.refreshToken});
    keychain_.deleteRefreshToken("111"); // removed behind the manager's back
    emulator_.resetCounters();
    manager_->removeAuthorization("111");
    const auto requests = emulator_.oauthRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "token=" + grant.accessToken);
    EXPECT_FALSE(emulator_.grants().back().active);
}

// --- What the authorization flow writes -----------------------------------------------------------

TEST_F(TokenManagerTest, StoringAnAuthorizationSavesItsRefreshTokenOrNeedsOneStoredEarlier)
{
    const auto grant = connect("known");
    const GoogleOAuthToken withoutRefresh{"ya29.fresh", clock_->now() + Seconds(3599), std::nullopt};
    manager_->storeAuthorization("known", withoutRefresh);
    EXPECT_EQ(keychain_.refreshToken("known"), grant.refreshToken) << "a reconnect keeps the stored one";
    EXPECT_EQ(manager_->accessToken("known"), "ya29.fresh");
    manager_->storeAuthorization("known", {"ya29.newer", clock_->now() + Seconds(3599), "1//newer"});
    EXPECT_EQ(keychain_.refreshToken("known"), "1//newer");
    EXPECT_EQ(manager_->accessToken("known"), "ya29.newer");

    used("new");
    EXPECT_EQ(errorOf([&] { manager_->storeAuthorization("new", withoutRefresh); }),
              "Google did not return a refresh token. Revoke access and try again.");
    EXPECT_EQ(errorOf([&] { manager_->accessToken("new"); }),
              "No saved Google authorization exists for this account.")
        << "nothing was cached for the new account";
    EXPECT_NO_THROW(manager_->removeAuthorization("new")) << "nothing to revoke or delete";
    EXPECT_EQ(emulator_.counters().totalRequests, 0u) << "served from the cache; no call without a token";
}

// --- Races between a refresh and the account's other changes --------------------------------------

TEST_F(TokenManagerTest, ARefreshThatEndsAfterARemovalBringsNothingBack)
{
    connect("111");
    emulator_.configureOAuth({.rotateRefreshTokens = true}); // the late answer carries a refresh token
    // Unreachable revocation: the grant stays valid, so the held-back refresh succeeds at Google.
    const auto manager = managerWith(std::nullopt, emulator_.tokenURL(), unreachableRevokeURL);
    auto refresh = refreshHeldBack(*manager, "111");
    manager->removeAuthorization("111");
    const std::string lateError = errorOf([&] { refresh.get(); });
    EXPECT_TRUE(lateError == "none" || lateError == GoogleOAuthError::missingStoredRefreshToken().what())
        << lateError;
    EXPECT_EQ(keychain_.refreshToken("111"), std::nullopt);
    EXPECT_EQ(errorOf([&] { manager->accessToken("111"); }),
              GoogleOAuthError::missingStoredRefreshToken().what());
}

TEST_F(TokenManagerTest, ARefreshThatEndsAfterANewAuthorizationYieldsToIt)
{
    connect("111");
    emulator_.configureOAuth({.rotateRefreshTokens = true});
    auto refresh = refreshHeldBack(*manager_, "111");
    const auto newer = emulator_.addGrant();
    manager_->storeAuthorization("111",
                                 {newer.accessToken, clock_->now() + Seconds(3599), newer.refreshToken});
    refresh.get();
    EXPECT_EQ(keychain_.refreshToken("111"), newer.refreshToken);
    EXPECT_EQ(manager_->accessToken("111"), newer.accessToken);
}

} // namespace
} // namespace larkpin
