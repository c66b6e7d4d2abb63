#include "app/services/GoogleOAuthConfiguration.h"

#include <curl/curl.h>

#include <array>
#include <memory>
#include <string_view>
#include <utility>

namespace larkpin {
namespace {

// Unicode white space and line breaks in UTF-8: the Zs category, U+0009 to U+000D, U+0085, U+2028
// and U+2029. Each is a whole character, so matching bytes at either end never splits one.
constexpr std::array<std::string_view, 25> whiteSpaceAndNewlines{
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

std::string trimmed(std::string_view text)
{
    const auto stripFront = [&text] {
        for (const auto space : whiteSpaceAndNewlines)
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                return true;
            }
        return false;
    };
    const auto stripBack = [&text] {
        for (const auto space : whiteSpaceAndNewlines)
            if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                return true;
            }
        return false;
    };
    while (stripFront()) {
    }
    while (stripBack()) {
    }
    return std::string(text);
}

std::optional<std::string> environmentValue(const GoogleOAuthConfiguration::Environment& environment,
                                            std::string_view name)
{
    const auto found = environment.find(name);
    if (found == environment.end())
        return std::nullopt;
    return found->second;
}

std::optional<std::string> bundleText(const Bundle& bundle, std::string_view key)
{
    const auto value = bundle.object(key);
    if (!value)
        return std::nullopt;
    if (const auto* text = std::get_if<std::string>(&*value))
        return *text;
    return std::nullopt;
}

// An absolute URL as libcurl understands it (so that requests to it can be made), normalised;
// nothing when libcurl rejects the text.
std::optional<std::string> parsedURL(const std::string& text)
{
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    char* normalised = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &normalised, 0) != CURLUE_OK)
        return std::nullopt;
    std::string result(normalised);
    curl_free(normalised);
    return result;
}

// `path` added to the base's path as further components, one "/" between them; any query or
// fragment of the base stays behind the new path.
std::string appendingPath(std::string_view base, std::string_view path)
{
    const auto authority = base.find("://");
    const auto pathEnd = base.find_first_of("?#", authority == std::string_view::npos ? 0 : authority + 3);
    const auto head = base.substr(0, pathEnd);
    const auto tail = pathEnd == std::string_view::npos ? std::string_view() : base.substr(pathEnd);
    std::string result(head);
    if (!result.ends_with('/'))
        result += '/';
    result += path;
    result += tail;
    return result;
}

} // namespace

GoogleOAuthConfiguration::Error::Error(Kind kind, const std::string& description)
    : std::runtime_error(description)
    , kind_(kind)
{
}

GoogleOAuthConfiguration::Error GoogleOAuthConfiguration::Error::missingClientID()
{
    return Error(Kind::missingClientID,
                 "Set GOOGLE_OAUTH_CLIENT_ID, or build Larkpin with LARKPIN_GOOGLE_OAUTH_CLIENT_ID.");
}

GoogleOAuthConfiguration::GoogleOAuthConfiguration(std::string clientID, std::optional<std::string> clientSecret,
                                                   std::optional<std::string> serviceBaseURL)
    : clientID_(std::move(clientID))
    , clientSecret_(std::move(clientSecret))
    , callbackPath_("/oauth2/callback")
    , scopes_{"openid", "email", "https://www.googleapis.com/auth/gmail.readonly"}
    , serviceBaseURL_(std::move(serviceBaseURL))
{
}

GoogleOAuthConfiguration GoogleOAuthConfiguration::load(const Environment& environment, const Bundle& bundle)
{
    // A variable that is present wins even when blank: the environment overrides the build.
    auto clientID = environmentValue(environment, "GOOGLE_OAUTH_CLIENT_ID");
    if (!clientID)
        clientID = bundleText(bundle, "GoogleOAuthClientID");
    if (!clientID)
        clientID = bundleText(bundle, "GIDClientID");
    if (!clientID)
        throw Error::missingClientID();
    auto trimmedClientID = trimmed(*clientID);
    if (trimmedClientID.empty())
        throw Error::missingClientID();

    auto clientSecret = environmentValue(environment, "GOOGLE_OAUTH_CLIENT_SECRET");
    if (!clientSecret)
        clientSecret = bundleText(bundle, "GoogleOAuthClientSecret");
    if (clientSecret) {
        clientSecret = trimmed(*clientSecret);
        if (clientSecret->empty())
            clientSecret.reset();
    }

    std::optional<std::string> serviceBaseURL;
    if (const auto emulator = environmentValue(environment, "GOOGLE_EMULATOR_URL"))
        serviceBaseURL = parsedURL(*emulator);

    return GoogleOAuthConfiguration(std::move(trimmedClientID), std::move(clientSecret), std::move(serviceBaseURL));
}

std::string GoogleOAuthConfiguration::endpoint(std::string_view emulatorPath, std::string_view googleURL) const
{
    if (serviceBaseURL_)
        return appendingPath(*serviceBaseURL_, emulatorPath);
    return std::string(googleURL);
}

std::string GoogleOAuthConfiguration::authorizationEndpoint() const
{
    return endpoint("o/oauth2/v2/auth", "https://accounts.google.com/o/oauth2/v2/auth");
}

std::string GoogleOAuthConfiguration::tokenEndpoint() const
{
    return endpoint("oauth2/token", "https://oauth2.googleapis.com/token");
}

std::string GoogleOAuthConfiguration::revokeEndpoint() const
{
    return endpoint("revoke", "https://oauth2.googleapis.com/revoke");
}

std::string GoogleOAuthConfiguration::userInfoEndpoint() const
{
    return endpoint("oauth2/v2/userinfo", "https://openidconnect.googleapis.com/v1/userinfo");
}

std::string GoogleOAuthConfiguration::gmailEndpoint() const
{
    return endpoint("gmail/v1/users/me", "https://gmail.googleapis.com/gmail/v1/users/me");
}

} // namespace larkpin
