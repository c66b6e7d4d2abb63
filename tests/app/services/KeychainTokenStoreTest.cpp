// KeychainTokenStore against the real Secret Service of the session (gnome-keyring under
// scripts/test-session). Every test uses a service text of its own and deletes what it stored.

#include "app/services/KeychainTokenStore.h"
#include "core/auth/PKCE.h"
#include "support/ChildProcess.h"
#include "support/SecretServiceProbe.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <memory>
#include <string>
#include <vector>

namespace larkpin {
namespace {

struct ObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
struct HashTableUnref {
    void operator()(GHashTable* table) const noexcept { g_hash_table_unref(table); }
};
struct ListFree {
    void operator()(GList* list) const noexcept { g_list_free_full(list, g_object_unref); }
};
struct GFree {
    void operator()(gpointer memory) const noexcept { g_free(memory); }
};
struct ErrorFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};
struct ValueUnref {
    void operator()(SecretValue* value) const noexcept { secret_value_unref(value); }
};

/// The store's items seen directly through libsecret, as another program on the desktop sees them.
class SecretItems {
public:
    SecretItems()
    {
        schema_.name = KeychainTokenStore::schemaName.data();
        schema_.flags = SECRET_SCHEMA_NONE;
        schema_.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        schema_.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    }

    /// The labels of the items with these attributes in the default collection.
    std::vector<std::string> labelsInDefaultCollection(const std::string& service, const std::string& account) const
    {
        GError* raw = nullptr;
        const std::unique_ptr<SecretService, ObjectUnref> secrets(
            secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &raw));
        std::unique_ptr<GError, ErrorFree> error(raw);
        if (!secrets)
            throw std::runtime_error(std::string("no Secret Service: ") + (error ? error->message : "none"));
        raw = nullptr;
        const std::unique_ptr<SecretCollection, ObjectUnref> collection(secret_collection_for_alias_sync(
            secrets.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &raw));
        error.reset(raw);
        if (!collection)
            throw std::runtime_error(std::string("no default collection: ") + (error ? error->message : "none"));
        const std::unique_ptr<GHashTable, HashTableUnref> attributes(g_hash_table_new(g_str_hash, g_str_equal));
        g_hash_table_insert(attributes.get(), const_cast<char*>("service"), const_cast<char*>(service.c_str()));
        g_hash_table_insert(attributes.get(), const_cast<char*>("account"), const_cast<char*>(account.c_str()));
        const std::unique_ptr<GList, ListFree> items(secret_collection_search_sync(
            collection.get(), &schema_, attributes.get(), SECRET_SEARCH_ALL, nullptr, nullptr));
        std::vector<std::string> labels;
        for (GList* item = items.get(); item != nullptr; item = item->next) {
            const std::unique_ptr<gchar, GFree> label(secret_retrievable_get_label(SECRET_RETRIEVABLE(item->data)));
            labels.emplace_back(label ? label.get() : "");
        }
        return labels;
    }

    /// Stores raw bytes where the store keeps the account's token.
    void storeBytes(const std::string& service, const std::string& account, const std::string& bytes) const
    {
        const std::unique_ptr<SecretValue, ValueUnref> value(
            secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "application/octet-stream"));
        GError* raw = nullptr;
        secret_password_store_binary_sync(&schema_, SECRET_COLLECTION_DEFAULT, "raw", value.get(), nullptr, &raw,
                                          "service", service.c_str(), "account", account.c_str(), nullptr);
        const std::unique_ptr<GError, ErrorFree> error(raw);
        if (error)
            throw std::runtime_error(error->message);
    }

private:
    SecretSchema schema_{};
};

std::string uniqueService()
{
    return "dev.larkpin.Larkpin.test-" + PKCE::randomURLSafeString(9) + ".google-oauth";
}

class KeychainTokenStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto reason = test::SecretServiceProbe::unavailableReason())
            GTEST_SKIP() << *reason;
    }
    void TearDown() override
    {
        if (IsSkipped())
            return;
        for (const auto* store : {&store_, &other_})
            for (const char* account : {"111", "222"})
                store->deleteRefreshToken(account);
    }

    KeychainTokenStore store_{uniqueService()};
    KeychainTokenStore other_{uniqueService()};
    SecretItems items_;
};

TEST_F(KeychainTokenStoreTest, CreatesReadsReplacesAndDeletesOneItemInTheDefaultCollection)
{
    EXPECT_EQ(store_.refreshToken("111"), std::nullopt) << "read missing";
    store_.saveRefreshToken("1//first-token", "111");
    EXPECT_EQ(store_.refreshToken("111"), "1//first-token");
    const auto labels = items_.labelsInDefaultCollection(store_.service(), "111");
    ASSERT_EQ(labels.size(), 1u);
    EXPECT_NE(labels[0].find("Larkpin"), std::string::npos) << labels[0];
    EXPECT_NE(labels[0].find("111"), std::string::npos) << labels[0];

    store_.saveRefreshToken("1//second-token", "111");
    EXPECT_EQ(store_.refreshToken("111"), "1//second-token");
    EXPECT_EQ(items_.labelsInDefaultCollection(store_.service(), "111").size(), 1u) << "replaced, not added";

    store_.deleteRefreshToken("111");
    EXPECT_EQ(store_.refreshToken("111"), std::nullopt);
    EXPECT_TRUE(items_.labelsInDefaultCollection(store_.service(), "111").empty());
    EXPECT_NO_THROW(store_.deleteRefreshToken("111")) << "delete missing";
}

TEST_F(KeychainTokenStoreTest, AccountsAndServicesKeepTheirOwnItems)
{
    store_.saveRefreshToken("alpha", "111");
    store_.saveRefreshToken("beta", "222");
    other_.saveRefreshToken("gamma", "111");
    store_.deleteRefreshToken("111");
    EXPECT_EQ(store_.refreshToken("111"), std::nullopt);
    EXPECT_EQ(store_.refreshToken("222"), "beta");
    EXPECT_EQ(other_.refreshToken("111"), "gamma");
}

TEST_F(KeychainTokenStoreTest, TokensComeBackByteForByte)
{
    const std::vector<std::string> tokens = {
        "1//0gLarkpin-_.~/:+=&?%20",
        "",
        "Schl\xC3\xBCssel \xE2\x82\xAC \xF0\x9F\x94\x91",
        std::string(4096, 'x') + "end",
    };
    for (const auto& token : tokens) {
        store_.saveRefreshToken(token, "111");
        EXPECT_EQ(store_.refreshToken("111"), token) << token.substr(0, 40);
    }
}

TEST_F(KeychainTokenStoreTest, BytesThatAreNotUTF8AreInvalidData)
{
    for (const std::string& bytes : {std::string("\xFF\xFE token"), std::string("to\0ken", 6), std::string("\xC3")}) {
        items_.storeBytes(store_.service(), "111", bytes);
        try {
            store_.refreshToken("111");
            ADD_FAILURE() << "no error for stored bytes of length " << bytes.size();
        } catch (const KeychainTokenStore::Error& error) {
            EXPECT_EQ(error, KeychainTokenStore::Error::invalidData());
            EXPECT_STREQ(error.what(), "Stored refresh token is invalid.");
        }
    }
}

TEST_F(KeychainTokenStoreTest, TheApplicationsServiceIsItsIdWithTheOAuthSuffix)
{
    EXPECT_EQ(KeychainTokenStore::applicationService(), "dev.larkpin.Larkpin.google-oauth");
}

// A process whose session bus cannot be reached: every operation fails with the `status` case,
// described by libsecret's own message, and the token never shows up in what is printed.
TEST(KeychainTokenStoreFailureTest, AnUnreachableSecretServiceIsTheStatusCaseWithLibsecretsMessage)
{
    for (const std::string operation : {"save", "read", "delete"}) {
        const auto result = test::ChildProcess::run(
            {LARKPIN_KEYCHAIN_CHILD_PATH, operation, "dev.larkpin.Larkpin.test.google-oauth", "111", "1//secret-token"},
            {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/larkpin-bus"}});
        EXPECT_EQ(result.status, 1) << operation << ": " << result.out << result.err;
        EXPECT_TRUE(result.out.starts_with("status ")) << operation << ": " << result.out;
        EXPECT_GT(result.out.size(), std::string("status 0: \n").size()) << "a message of libsecret's own";
        EXPECT_EQ(result.out.find("secret-token"), std::string::npos);
        EXPECT_EQ(result.err.find("secret-token"), std::string::npos);
    }
}

} // namespace
} // namespace larkpin
