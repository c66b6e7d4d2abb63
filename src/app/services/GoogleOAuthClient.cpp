#include "app/services/GoogleOAuthClient.h"

#include "app/services/Bundle.h"
#include "app/services/GoogleOAuthError.h"
#include "app/services/GoogleOAuthTokenEndpoint.h"
#include "app/services/KeychainTokenStore.h"
#include "app/services/LoopbackCallbackServer.h"
#include "app/services/platform/DesktopLauncher.h"
#include "core/auth/PKCE.h"

#include <nlohmann/json.hpp>

extern char** environ;

namespace larkpin {
namespace {

GoogleOAuthConfiguration::Environment processEnvironment()
{
    GoogleOAuthConfiguration::Environment environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string_view::npos)
            environment.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    return environment;
}

std::string joined(const std::vector<std::string>& words, const std::string& separator)
{
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i)
        text += (i == 0 ? "" : separator) + words[i];
    return text;
}

} // namespace

GoogleOAuthClient::Error::Error(Kind kind, const std::string& description)
    : std::runtime_error(description)
    , kind_(kind)
{
}

GoogleOAuthClient::Error GoogleOAuthClient::Error::invalidAuthorizationURL()
{
    return Error(Kind::invalidAuthorizationURL, "Could not create Google authorization URL.");
}

GoogleOAuthClient::Error GoogleOAuthClient::Error::browserOpenFailed()
{
    return Error(Kind::browserOpenFailed, "Could not open Google authorization in the browser.");
}

GoogleOAuthClient::Error GoogleOAuthClient::Error::invalidUserInfo()
{
    return Error(Kind::invalidUserInfo, "Google returned invalid account information.");
}

GoogleOAuthClient::Error GoogleOAuthClient::Error::unverifiedEmail()
{
    return Error(Kind::unverifiedEmail, "Google account email is not verified.");
}

GoogleOAuthClient::GoogleOAuthClient(GoogleOAuthConfiguration configuration, std::shared_ptr<TokenManager> tokenManager,
                                     std::shared_ptr<const HTTPSession> session,
                                     GoogleOAuthConfiguration::Environment environment,
                                     std::shared_ptr<const Clock> clock)
    : configuration_(std::move(configuration))
    , session_(std::move(session))
    , tokenManager_(tokenManager ? std::move(tokenManager)
                                 : std::make_shared<TokenManager>(configuration_,
                                                                  KeychainTokenStore(KeychainTokenStore::applicationService()),
                                                                  session_, clock))
    , environment_(std::move(environment))
    , clock_(std::move(clock))
{
}

std::unique_ptr<GoogleOAuthClient> GoogleOAuthClient::fromProcess()
{
    auto environment = processEnvironment();
    auto configuration = GoogleOAuthConfiguration::load(environment, Bundle::main());
    return std::make_unique<GoogleOAuthClient>(std::move(configuration), nullptr, std::make_shared<HTTPSession>(),
                                               std::move(environment));
}

std::optional<std::string> GoogleOAuthClient::authorizationURL(const std::string& redirectURI,
                                                               const std::string& challenge,
                                                               const std::string& state) const
{
    std::string endpoint = configuration_.authorizationEndpoint();
    if (!endpoint.starts_with("https://") && !endpoint.starts_with("http://"))
        return std::nullopt;
    // The endpoint's own query and fragment give way to ours.
    endpoint = endpoint.substr(0, endpoint.find_first_of("?#"));
    const std::vector<std::pair<std::string, std::string>> items = {
        {"access_type", "offline"},
        {"client_id", configuration_.clientID()},
        {"code_challenge", challenge},
        {"code_challenge_method", "S256"},
        {"include_granted_scopes", "true"},
        {"prompt", "consent select_account"},
        {"redirect_uri", redirectURI},
        {"response_type", "code"},
        {"scope", joined(configuration_.scopes(), " ")},
        {"state", state},
    };
    std::string url = endpoint;
    for (std::size_t i = 0; i < items.size(); ++i)
        url += (i == 0 ? "?" : "&") + HTTPSession::escapeQueryValue(items[i].first) + "="
               + HTTPSession::escapeQueryValue(items[i].second);
    return url;
}

void GoogleOAuthClient::openAuthorizationURL(const std::string& url) const
{
    const auto browser = environment_.find(browserVariable);
    if (browser != environment_.end() && DesktopLauncher::hasApplication(browser->second)) {
        DesktopLauncher::openWith(browser->second, url);
        return;
    }
    if (!DesktopLauncher::openWithDefaultHandler(url))
        throw Error::browserOpenFailed();
}

GoogleOAuthClient::UserInfo GoogleOAuthClient::userInfo(const std::string& accessToken) const
{
    HTTPSession::Request request;
    request.url = configuration_.userInfoEndpoint();
    request.headers = {{"Authorization", "Bearer " + accessToken}};
    request.timeout = std::chrono::seconds(20);
    const auto response = session_->send(request);
    if (response.status == 0)
        throw Error::invalidUserInfo();
    if (response.status < 200 || response.status > 299)
        throw GoogleOAuthError::response(static_cast<int>(response.status));

    const auto document = nlohmann::json::parse(response.body, nullptr, false);
    if (!document.is_object())
        throw Error::invalidUserInfo();
    const auto sub = document.find("sub");
    const auto email = document.find("email");
    const auto verified = document.find("email_verified");
    if (sub == document.end() || !sub->is_string() || email == document.end() || !email->is_string()
        || verified == document.end() || !verified->is_boolean())
        throw Error::invalidUserInfo();
    UserInfo info{.sub = sub->get<std::string>(), .email = email->get<std::string>(),
                  .emailVerified = verified->get<bool>()};
    if (info.sub.empty() || info.email.empty())
        throw Error::invalidUserInfo();
    return info;
}

GoogleOAuthAccount GoogleOAuthClient::authorize(std::chrono::milliseconds timeout, std::stop_token stopToken) const
{
    // The server listens from here on and closes its socket however the attempt ends.
    LoopbackCallbackServer server(configuration_.callbackPath());
    const PKCE pkce(PKCE::randomURLSafeString(32));
    const std::string state = PKCE::randomURLSafeString(32);
    const std::string redirectURI = server.redirectURI();

    const auto url = authorizationURL(redirectURI, pkce.challenge(), state);
    if (!url)
        throw Error::invalidAuthorizationURL();
    openAuthorizationURL(*url);

    const auto callback = server.callback(state, timeout, std::move(stopToken));

    GoogleOAuthTokenEndpoint::Form form = {
        {"client_id", configuration_.clientID()},
        {"code", callback.code},
        {"code_verifier", pkce.verifier()},
        {"grant_type", "authorization_code"},
        {"redirect_uri", redirectURI},
    };
    if (configuration_.clientSecret() && !configuration_.clientSecret()->empty())
        form.emplace_back("client_secret", *configuration_.clientSecret());
    const auto token = GoogleOAuthTokenEndpoint::request(form, configuration_.tokenEndpoint(), *session_, *clock_);

    const auto info = userInfo(token.accessToken);
    if (!info.emailVerified)
        throw Error::unverifiedEmail();
    tokenManager_->storeAuthorization(info.sub, token);
    return GoogleOAuthAccount{.id = info.sub, .email = info.email};
}

} // namespace larkpin
