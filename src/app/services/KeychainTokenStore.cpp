#include "app/services/KeychainTokenStore.h"

#include "app/services/ApplicationID.h"
#include "app/services/GLibHandles.h"

#include <libsecret/secret.h>

#include <cstdlib>

namespace larkpin {
namespace {

static_assert(KeychainTokenStore::schemaName.starts_with(applicationID));

using SecretValuePointer = glib::Handle<SecretValue, secret_value_unref>;

/// A libsecret failure as the store's error.
KeychainTokenStore::Error statusError(const glib::Error& error)
{
    return KeychainTokenStore::Error::status(error->code, error->message != nullptr ? error->message : "");
}

const SecretSchema& tokenSchema()
{
    static const SecretSchema schema = [] {
        SecretSchema made{};
        made.name = KeychainTokenStore::schemaName.data();
        made.flags = SECRET_SCHEMA_NONE;
        made.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        made.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return made;
    }();
    return schema;
}

} // namespace

KeychainTokenStore::Error::Error(Kind kind, const std::string& description, int code)
    : std::runtime_error(description)
    , kind_(kind)
    , code_(code)
{
}

KeychainTokenStore::Error KeychainTokenStore::Error::status(int code, const std::string& message)
{
    return Error(
        Kind::status,
        message.empty() ? "Secret Service operation failed (" + std::to_string(code) + ")." : message, code);
}

KeychainTokenStore::Error KeychainTokenStore::Error::invalidData()
{
    return Error(Kind::invalidData, "Stored refresh token is invalid.");
}

std::string KeychainTokenStore::applicationService()
{
    // A demo or a second setup keeps its tokens apart from the user's under a service of its own.
    if (const char* chosen = std::getenv("LARKPIN_KEYRING_SERVICE"); chosen != nullptr && *chosen != '\0')
        return chosen;
    return std::string(applicationID) + ".google-oauth";
}

KeychainTokenStore::KeychainTokenStore(std::string service) : service_(std::move(service)) {}

void KeychainTokenStore::saveRefreshToken(const std::string& token, const std::string& accountID) const
{
    // libsecret keeps the copy in non-pageable memory and replaces an item with equal attributes.
    const SecretValuePointer value(secret_value_new(token.data(), static_cast<gssize>(token.size()), "text/plain"));
    const std::string label = "Larkpin Google authorization (account " + accountID + ")";
    glib::Error error;
    const gboolean stored = secret_password_store_binary_sync(
        &tokenSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr, glib::ErrorOut(error),
        "service", service_.c_str(), "account", accountID.c_str(), nullptr);
    if (error)
        throw statusError(error);
    if (stored == FALSE)
        throw Error::status(0, {});
}

std::optional<std::string> KeychainTokenStore::refreshToken(const std::string& accountID) const
{
    glib::Error error;
    const SecretValuePointer value(
        secret_password_lookup_binary_sync(&tokenSchema(), nullptr, glib::ErrorOut(error), "service",
                                           service_.c_str(), "account", accountID.c_str(), nullptr));
    if (error)
        throw statusError(error);
    if (!value)
        return std::nullopt;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    // An embedded NUL also fails here: no token holds one.
    if (bytes == nullptr || g_utf8_validate_len(bytes, length, nullptr) == FALSE)
        throw Error::invalidData();
    return std::string(bytes, length);
}

void KeychainTokenStore::deleteRefreshToken(const std::string& accountID) const
{
    glib::Error error;
    // FALSE without an error means there was nothing to delete.
    secret_password_clear_sync(&tokenSchema(), nullptr, glib::ErrorOut(error), "service", service_.c_str(),
                               "account", accountID.c_str(), nullptr);
    if (error)
        throw statusError(error);
}

} // namespace larkpin
