// KeychainTokenStore against the real Secret Service of the session (gnome-keyring under
// scripts/test-session). Every test uses a service text of its own and deletes what it stored.

#include "app/services/KeychainTokenStore.h"
#include "app/services/GLibHandles.h"
#include "core/auth/PKCE.h"
#include "support/ChildProcess.h"
#include "support/SecretServiceProbe.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace larkpin {
namespace {

/// The store's items seen directly through libsecret, as another program on the desktop sees them.
class SecretItems {
public:
    SecretItems()
    {
        schema_.name = KeychainTokenStore::schemaName.data();
        schema_.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        schema_.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    }

    /// How many items with these attributes the default collection holds (the session collection
    /// would lose them at logout).
    unsigned itemsInDefaultCollection(const std::string& service, const std::string& account) const
    {
        const auto secrets = glib::ObjectRef<SecretService>::adopt(
            secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr));
        const auto collection = glib::ObjectRef<SecretCollection>::adopt(secret_collection_for_alias_sync(
            secrets.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr));
        const glib::Handle<GHashTable, g_hash_table_unref> attributes(secret_attributes_build(
            &schema_, "service", service.c_str(), "account", account.c_str(), nullptr));
        const glib::ObjectList items(secret_collection_search_sync(
            collection.get(), &schema_, attributes.get(), SECRET_SEARCH_ALL, nullptr, nullptr));
        return g_list_length(items.get());
    }

    /// Stores raw bytes where the store keeps the account's token.
    void storeBytes(const std::string& service, const std::string& account, const std::string& bytes) const
    {
        const glib::Handle<SecretValue, secret_value_unref> value(
            secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "application/octet-stream"));
        glib::Error error;
        secret_password_store_binary_sync(&schema_, SECRET_COLLECTION_DEFAULT, "raw", value.get(), nullptr,
                                          glib::ErrorOut(error), "service", service.c_str(), "account",
                                          account.c_str(), nullptr);
        if (error)
            throw std::runtime_error(error->message);
    }

private:
    SecretSchema schema_{};
};

class KeychainTokenStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto reason = test::SecretServiceProbe::unavailableReason())
            GTEST_SKIP() << *reason;
    }
    void TearDown() override
    {
        if (!IsSkipped())
            for (const auto* store : {&store_, &other_})
                for (const char* account : {"111", "222"})
                    store->deleteRefreshToken(account);
    }

    KeychainTokenStore store_{"dev.larkpin.Larkpin.test-" + PKCE::randomURLSafeString(9) + ".google-oauth"};
    KeychainTokenStore other_{"dev.larkpin.Larkpin.test-" + PKCE::randomURLSafeString(9) + ".google-oauth"};
    SecretItems items_;
};

TEST_F(KeychainTokenStoreTest, CreatesReplacesAndDeletesOneItemPerServiceAndAccount)
{
    EXPECT_EQ(store_.refreshToken("111"), std::nullopt) << "read missing";
    store_.saveRefreshToken("1//first-token", "111");
    store_.saveRefreshToken("beta", "222");
    other_.saveRefreshToken("gamma", "111");
    store_.saveRefreshToken("1//second-token", "111");
    EXPECT_EQ(store_.refreshToken("111"), "1//second-token");
    EXPECT_EQ(items_.itemsInDefaultCollection(store_.service(), "111"), 1u) << "replaced, not added";

    store_.deleteRefreshToken("111");
    EXPECT_EQ(store_.refreshToken("111"), std::nullopt);
    EXPECT_EQ(items_.itemsInDefaultCollection(store_.service(), "111"), 0u);
    EXPECT_NO_THROW(store_.deleteRefreshToken("111")) << "delete missing";
    EXPECT_EQ(store_.refreshToken("222"), "beta");
    EXPECT_EQ(other_.refreshToken("111"), "gamma");
}

TEST_F(KeychainTokenStoreTest, ReturnsTokensByteForByteAndRefusesBytesThatAreNotUTF8)
{
    for (const std::string& token :
         {std::string("1//0gLarkpin-_.~/:+=&?%20"), std::string(),
          std::string("Schl\xC3\xBCssel \xF0\x9F\x94\x91") + std::string(4096, 'x')}) {
        store_.saveRefreshToken(token, "111");
        EXPECT_EQ(store_.refreshToken("111"), token) << token.substr(0, 40);
    }
    for (const std::string& bytes :
         {std::string("\xFF\xFE token"), std::string("to\0ken", 6), std::string("\xC3")}) {
        items_.storeBytes(store_.service(), "111", bytes);
        try {
            store_.refreshToken("111");
            ADD_FAILURE() << "no error for stored bytes of length " << bytes.size();
        } catch (const KeychainTokenStore::Error& error) {
            EXPECT_EQ(error.kind(), KeychainTokenStore::Error::Kind::invalidData);
            EXPECT_STREQ(error.what(), "Stored refresh token is invalid.");
        }
    }
}

// A process whose session bus cannot be reached: every operation fails with the `status` case,
// described by libsecret's own message, and the token never shows up in what is printed.
TEST(KeychainTokenStoreFailureTest, AnUnreachableSecretServiceIsTheStatusCaseWithLibsecretsMessage)
{
    for (const std::string operation : {"save", "read", "delete"}) {
        const auto result =
            test::ChildProcess::run({LARKPIN_KEYCHAIN_CHILD_PATH, operation,
                                     "dev.larkpin.Larkpin.test.google-oauth", "111", "1//secret-token"},
                                    {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/larkpin-bus"}});
        EXPECT_EQ(result.status, 1) << operation << ": " << result.out << result.err;
        EXPECT_TRUE(result.out.starts_with("status ")) << operation << ": " << result.out;
        EXPECT_GT(result.out.size(), std::string("status 0: \n").size()) << "a message of libsecret's own";
        EXPECT_EQ((result.out + result.err).find("secret-token"), std::string::npos);
    }
    EXPECT_STREQ(KeychainTokenStore::Error::status(5, "").what(), "Secret Service operation failed (5).")
        << "when libsecret gives no message";
}

// LARKPIN_KEYRING_SERVICE replaces the application's service text; unset or empty leaves the default.
TEST(KeychainTokenStoreServiceTest, TheEnvironmentChoosesTheApplicationsService)
{
    ASSERT_EQ(unsetenv("LARKPIN_KEYRING_SERVICE"), 0);
    const auto standard = KeychainTokenStore::applicationService();
    EXPECT_EQ(standard, "dev.larkpin.Larkpin.google-oauth");
    for (const auto& [value, expected] : std::vector<std::pair<std::string, std::string>>{
             {"dev.larkpin.Larkpin.demo", "dev.larkpin.Larkpin.demo"}, {"", standard}}) {
        ASSERT_EQ(setenv("LARKPIN_KEYRING_SERVICE", value.c_str(), 1), 0);
        EXPECT_EQ(KeychainTokenStore::applicationService(), expected) << '"' << value << '"';
    }
    unsetenv("LARKPIN_KEYRING_SERVICE");
}

} // namespace
} // namespace larkpin
