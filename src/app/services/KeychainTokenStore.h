#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace larkpin {

/// The Secret Service store on Linux; the name is the one the whole application uses for it.
/// One refresh token per connected account, kept in the desktop's Secret Service (through
/// libsecret) and nowhere else. An item carries the attributes "service" (this store's service
/// text) and "account" (the account's Google subject id) and lives in the default collection.
/// Keeps no state beyond the service text; every call is a synchronous D-Bus round trip.
class KeychainTokenStore {
public:
    class Error : public std::runtime_error {
    public:
        enum class Kind { status, invalidData };

        /// A libsecret failure: its GError code, described by the GError's message (or, when that
        /// is empty, "Secret Service operation failed (" + code + ").").
        static Error status(int code, const std::string& message);
        static Error invalidData();

        Kind kind() const { return kind_; }
        /// The GError code of `status`; 0 otherwise.
        int code() const { return code_; }

        friend bool operator==(const Error& a, const Error& b)
        {
            return a.kind_ == b.kind_ && a.code_ == b.code_ && std::string_view(a.what()) == b.what();
        }

    private:
        Error(Kind kind, const std::string& description, int code = 0);
        Kind kind_;
        int code_;
    };

    /// The libsecret schema of the items (their "xdg:schema" attribute); lookups match it too, so
    /// items that other programs made with the same attributes are never read or deleted.
    static constexpr std::string_view schemaName = "dev.larkpin.Larkpin.GoogleOAuthRefreshToken";

    /// The application's service text: LARKPIN_KEYRING_SERVICE when set and not empty, else its id
    /// followed by ".google-oauth".
    static std::string applicationService();

    explicit KeychainTokenStore(std::string service);

    const std::string& service() const { return service_; }

    /// Creates the account's item, or replaces the token of the one there.
    void saveRefreshToken(const std::string& token, const std::string& accountID) const;
    /// The account's token; absent when there is no item. `invalidData` when the stored bytes are
    /// not UTF-8 text.
    std::optional<std::string> refreshToken(const std::string& accountID) const;
    /// Deletes the account's item; an account without one is no failure.
    void deleteRefreshToken(const std::string& accountID) const;

private:
    std::string service_;
};

} // namespace larkpin
