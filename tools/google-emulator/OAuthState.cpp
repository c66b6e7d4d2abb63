#include "OAuthState.h"

#include "BadRequest.h"
#include "GmailError.h"
#include "JSONReading.h"
#include "OAuthError.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace larkpin::emulator {

using nlohmann::json;
using namespace json_reading;
namespace form = form_encoding;

namespace {

constexpr auto codeLifetime = std::chrono::minutes(10);
constexpr std::size_t pendingLimit = 100;
constexpr std::size_t requestLimit = 1000;
constexpr const char* urlSafe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

const std::vector<std::string> gmailScopes = {
    "https://www.googleapis.com/auth/gmail.readonly",
    "https://www.googleapis.com/auth/gmail.modify",
    "https://mail.google.com/",
};
const std::vector<std::string> emailScopes = {"email", "https://www.googleapis.com/auth/userinfo.email"};

bool hasAny(const std::vector<std::string>& scopes, const std::vector<std::string>& wanted) {
    return std::any_of(scopes.begin(), scopes.end(), [&](const std::string& scope) {
        return std::find(wanted.begin(), wanted.end(), scope) != wanted.end();
    });
}

std::vector<std::string> splitScopes(const std::string& text) {
    std::vector<std::string> scopes;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = std::min(text.find(' ', start), text.size());
        if (end > start)
            scopes.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return scopes;
}

std::string joined(const std::vector<std::string>& scopes) {
    std::string text;
    for (const auto& scope : scopes)
        text += (text.empty() ? "" : " ") + scope;
    return text;
}

/// base64url without padding of SHA-256, the S256 transformation of RFC 7636.
std::string s256(const std::string& verifier) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(verifier.data(), verifier.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (unsigned int i = 0; i < length; ++i) {
        buffer = (buffer << 8) | digest[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += urlSafe[(buffer >> bits) & 0x3F];
        }
    }
    if (bits > 0)
        out += urlSafe[(buffer << (6 - bits)) & 0x3F];
    return out;
}

/// RFC 7636: 43 to 128 characters of letters, digits and "-._~".
bool isVerifier(const std::string& text) {
    return text.size() >= 43 && text.size() <= 128 && std::all_of(text.begin(), text.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' ||
                      c == '~';
           });
}

bool isChallenge(const std::string& text) {
    return text.size() == 43 && text.find_first_not_of(urlSafe) == std::string::npos;
}

/// http on 127.0.0.1, [::1] or localhost, any port and path: what Google accepts from a desktop
/// client. The check is on the text, so the exact string is what later has to match.
bool isLoopbackRedirect(const std::string& uri) {
    for (const std::string host : {"http://127.0.0.1", "http://[::1]", "http://localhost"}) {
        if (!uri.starts_with(host))
            continue;
        std::string_view rest = std::string_view(uri).substr(host.size());
        if (rest.starts_with(":")) {
            const auto digits = rest.substr(1, rest.find_first_not_of("0123456789", 1) - 1);
            if (digits.empty() || digits.size() > 5)
                return false;
            rest.remove_prefix(1 + digits.size());
        }
        return (rest.empty() || rest.starts_with("/") || rest.starts_with("?")) &&
               std::none_of(uri.begin(), uri.end(), [](char c) {
                   const auto byte = static_cast<unsigned char>(c);
                   return byte <= 0x20 || byte == 0x7F || c == '#';
               });
    }
    return false;
}

std::string htmlEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

/// Google's error page for an authorization request it will not send back to the application.
OAuthState::BrowserAnswer errorPage(int status, const std::string& error, const std::string& detail) {
    const std::string title = "Error " + std::to_string(status) + ": " + error;
    return {status,
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + htmlEscaped(title) +
                "</title></head>\n<body><h1>Access blocked: authorization error</h1>\n<p>" + htmlEscaped(title) +
                "</p>\n<p>" + htmlEscaped(detail) + "</p></body></html>\n",
            std::nullopt};
}

std::optional<std::string> single(const OAuthState::Params& query, const std::string& name) {
    const auto found = query.find(name);
    if (found == query.end())
        return std::nullopt;
    return found->second;
}

std::string redirectTo(const std::string& uri, const form::Pairs& items) {
    return uri + (uri.find('?') == std::string::npos ? "?" : "&") + form::encode(items);
}

OAuthError missing(const std::string& name) {
    return OAuthError(400, "invalid_request", "Missing required parameter: " + name);
}

/// Digits in the shape of Google's subject identifiers, the same for the same address every run.
std::string defaultSub(const std::string& email) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : email)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    std::string digits = std::to_string(hash % 10000000000000000000ull);
    return "11" + std::string(19 - digits.size(), '0') + digits;
}

} // namespace

// --- Google's endpoints -----------------------------------------------------------------------------

OAuthState::BrowserAnswer OAuthState::authorize(const GmailState& gmail, const Params& query, Clock::time_point now) {
    for (auto it = query.begin(); it != query.end(); it = query.upper_bound(it->first))
        if (query.count(it->first) > 1)
            return errorPage(400, "invalid_request", "Parameter not allowed more than once: " + it->first);
    const auto clientId = single(query, "client_id");
    if (!clientId || clientId->empty())
        return errorPage(400, "invalid_request", "Missing required parameter: client_id");
    if (clientId_ && *clientId != *clientId_)
        return errorPage(401, "invalid_client", "The OAuth client was not found.");
    const auto redirectUri = single(query, "redirect_uri");
    if (!redirectUri || !isLoopbackRedirect(*redirectUri))
        return errorPage(400, "redirect_uri_mismatch",
                         "The redirect URI must be a loopback address such as http://127.0.0.1:PORT/path.");
    if (single(query, "response_type") != "code")
        return errorPage(400, "unsupported_response_type", "response_type must be code.");
    const auto scope = single(query, "scope");
    if (!scope || splitScopes(*scope).empty())
        return errorPage(400, "invalid_request", "Missing required parameter: scope");
    const auto challenge = single(query, "code_challenge");
    if (!challenge)
        return errorPage(400, "invalid_request", "Missing required parameter: code_challenge");
    if (single(query, "code_challenge_method") != "S256")
        return errorPage(400, "invalid_request", "code_challenge_method must be S256.");
    if (!isChallenge(*challenge))
        return errorPage(400, "invalid_request", "Invalid code_challenge.");

    AuthorizationRequest request{*clientId, *redirectUri, single(query, "state"), *challenge, splitScopes(*scope),
                                 single(query, "access_type") == "offline", single(query, "prompt")};
    switch (settings_.consent) {
    case Consent::deny:
        return errorRedirect(request, settings_.denyError);
    case Consent::allow: {
        const auto addresses = gmail.mailboxAddresses();
        if (addresses.empty())
            return errorPage(400, "invalid_request", "The emulator has no mailbox to sign in with.");
        const bool chosen = settings_.consentMailbox &&
                            std::find(addresses.begin(), addresses.end(), *settings_.consentMailbox) != addresses.end();
        return codeRedirect(request, chosen ? *settings_.consentMailbox : addresses.front(), now);
    }
    case Consent::ask:
        break;
    }
    return consentPage(gmail, request);
}

OAuthState::BrowserAnswer OAuthState::decide(const GmailState& gmail, const form::Pairs& pairs, Clock::time_point now) {
    const auto id = form::value(pairs, "request");
    const auto found = id ? pending_.find(*id) : pending_.end();
    if (found == pending_.end())
        return errorPage(400, "invalid_request", "This authorization request has expired or was already answered.");
    const AuthorizationRequest request = found->second;
    pending_.erase(found);
    pendingOrder_.erase(std::find(pendingOrder_.begin(), pendingOrder_.end(), *id));
    if (form::value(pairs, "decision") != "allow")
        return errorRedirect(request, "access_denied");
    const auto addresses = gmail.mailboxAddresses();
    const auto mailbox = form::value(pairs, "mailbox");
    if (!mailbox || std::find(addresses.begin(), addresses.end(), *mailbox) == addresses.end())
        return errorPage(400, "invalid_request", "Choose one of the listed accounts.");
    return codeRedirect(request, *mailbox, now);
}

json OAuthState::token(const form::Pairs& pairs, Clock::time_point now) {
    if (const auto name = form::repeatedName(pairs))
        throw OAuthError(400, "invalid_request", "Parameter not allowed more than once: " + *name);
    const auto grantType = form::value(pairs, "grant_type");
    if (!grantType)
        throw missing("grant_type");
    const auto clientId = form::value(pairs, "client_id");
    if (!clientId || clientId->empty())
        throw missing("client_id");
    checkClient(*clientId, form::value(pairs, "client_secret"));
    if (*grantType == "authorization_code")
        return exchange(pairs, *clientId, now);
    if (*grantType == "refresh_token")
        return refresh(pairs, *clientId, now);
    throw OAuthError(400, "unsupported_grant_type", "Invalid grant_type: " + *grantType);
}

void OAuthState::revoke(const std::string& token) {
    std::optional<std::size_t> grant;
    if (const auto found = refreshTokens_.find(token); found != refreshTokens_.end())
        grant = found->second;
    else if (const auto issued = accessTokens_.find(token); issued != accessTokens_.end())
        grant = issued->second.grant;
    if (!grant || !grants_[*grant].active)
        throw OAuthError(400, "invalid_token", "Token expired or revoked");
    grants_[*grant].active = false;
}

json OAuthState::userInfo(const GmailState& gmail, const std::string& accessToken, Clock::time_point now) const {
    bool known = false;
    const Grant* grant = liveGrant(accessToken, now, known);
    const OAuthError invalidCredentials(401, "invalid_request", "Invalid Credentials");
    std::string mailbox;
    bool email = true;
    if (grant != nullptr) {
        mailbox = grant->mailbox;
        email = hasAny(grant->scopes, emailScopes);
    } else if (known) {
        throw invalidCredentials; // expired or revoked
    } else {
        try {
            mailbox = gmail.mailboxForToken(accessToken); // a mailbox's own token sees everything
        } catch (const GmailError&) {
            throw invalidCredentials;
        }
    }
    const ResolvedAccount resolved = account(mailbox);
    json answer = {{"sub", resolved.sub}};
    if (email) {
        answer["email"] = resolved.email;
        answer["email_verified"] = resolved.emailVerified;
    }
    return answer;
}

std::optional<std::string> OAuthState::gmailMailbox(const std::string& accessToken, Clock::time_point now) const {
    bool known = false;
    const Grant* grant = liveGrant(accessToken, now, known);
    if (!known)
        return std::nullopt;
    if (grant == nullptr)
        throw GmailError(401, "Request had invalid authentication credentials. Expected OAuth 2 access token, "
                              "login cookie or other valid authentication credential.");
    if (!hasAny(grant->scopes, gmailScopes))
        throw GmailError(403, "Request had insufficient authentication scopes.");
    return grant->mailbox;
}

// --- Token requests ---------------------------------------------------------------------------------

void OAuthState::checkClient(const std::string& clientId, const std::optional<std::string>& secret) const {
    if (clientId_ && clientId != *clientId_)
        throw OAuthError(401, "invalid_client", "The OAuth client was not found.");
    if (clientSecret_ && secret != clientSecret_)
        throw OAuthError(401, "invalid_client", "Unauthorized");
}

json OAuthState::exchange(const form::Pairs& pairs, const std::string& clientId, Clock::time_point now) {
    const auto code = form::value(pairs, "code");
    if (!code)
        throw missing("code");
    const auto found = codes_.find(*code);
    if (found == codes_.end() || found->second.used || now - found->second.issuedAt > codeLifetime)
        throw OAuthError(400, "invalid_grant", "Malformed auth code.");
    const Code& issued = found->second;
    if (issued.request.clientId != clientId)
        throw OAuthError(400, "invalid_grant", "The authorization code was issued to another client.");
    if (form::value(pairs, "redirect_uri") != issued.request.redirectUri)
        throw OAuthError(400, "redirect_uri_mismatch", "Bad Request");
    const auto verifier = form::value(pairs, "code_verifier");
    if (!verifier)
        throw OAuthError(400, "invalid_grant", "Missing code verifier.");
    if (!isVerifier(*verifier) || s256(*verifier) != issued.request.challenge)
        throw OAuthError(400, "invalid_grant", "Invalid code verifier.");

    found->second.used = true;
    Grant grant{issued.mailbox, clientId, issued.request.scopes, std::nullopt, true};
    if (issued.request.offline && settings_.refreshTokenOnExchange)
        grant.refreshToken = "1//emu-" + randomText(64);
    grants_.push_back(grant);
    if (grant.refreshToken)
        refreshTokens_.emplace(*grant.refreshToken, grants_.size() - 1);
    return issue(grants_.size() - 1, grant.refreshToken, now);
}

json OAuthState::refresh(const form::Pairs& pairs, const std::string& clientId, Clock::time_point now) {
    const auto refreshToken = form::value(pairs, "refresh_token");
    if (!refreshToken)
        throw missing("refresh_token");
    const auto found = refreshTokens_.find(*refreshToken);
    if (found == refreshTokens_.end() || !grants_[found->second].active)
        throw OAuthError(400, "invalid_grant", "Token has been expired or revoked.");
    const std::size_t index = found->second;
    if (!grants_[index].clientId.empty() && grants_[index].clientId != clientId)
        throw OAuthError(401, "unauthorized_client", "Unauthorized");
    if (!settings_.rotateRefreshTokens)
        return issue(index, std::nullopt, now);
    refreshTokens_.erase(found);
    const std::string rotated = "1//emu-" + randomText(64);
    grants_[index].refreshToken = rotated;
    refreshTokens_.emplace(rotated, index);
    return issue(index, rotated, now);
}

json OAuthState::issue(std::size_t grant, const std::optional<std::string>& refreshToken, Clock::time_point now) {
    const std::string accessToken = "ya29.emu-" + randomText(48);
    accessTokens_.emplace(accessToken,
                          AccessToken{grant, now + std::chrono::seconds(settings_.accessTokenLifetime)});
    json answer = {{"access_token", accessToken},
                   {"expires_in", settings_.accessTokenLifetime},
                   {"scope", joined(grants_[grant].scopes)},
                   {"token_type", "Bearer"}};
    if (refreshToken)
        answer["refresh_token"] = *refreshToken;
    return answer;
}

const OAuthState::Grant* OAuthState::liveGrant(const std::string& accessToken, Clock::time_point now,
                                               bool& known) const {
    const auto found = accessTokens_.find(accessToken);
    known = found != accessTokens_.end();
    if (!known || now >= found->second.expiresAt || !grants_[found->second.grant].active)
        return nullptr;
    return &grants_[found->second.grant];
}

// --- The browser's side -----------------------------------------------------------------------------

OAuthState::BrowserAnswer OAuthState::codeRedirect(const AuthorizationRequest& request, const std::string& mailbox,
                                                   Clock::time_point now) {
    // Google's codes carry a "/", so the redirect always has something to percent-encode.
    const std::string code = "4/0emu-" + randomText(64);
    codes_[code] = Code{request, mailbox, now, false};
    form::Pairs items;
    if (request.state)
        items.emplace_back("state", *request.state);
    items.emplace_back("code", code);
    items.emplace_back("scope", joined(request.scopes));
    items.emplace_back("authuser", "0");
    if (request.prompt)
        items.emplace_back("prompt", *request.prompt);
    return {302, {}, redirectTo(request.redirectUri, items)};
}

OAuthState::BrowserAnswer OAuthState::errorRedirect(const AuthorizationRequest& request,
                                                    const std::string& error) const {
    form::Pairs items{{"error", error}};
    if (request.state)
        items.emplace_back("state", *request.state);
    return {302, {}, redirectTo(request.redirectUri, items)};
}

OAuthState::BrowserAnswer OAuthState::consentPage(const GmailState& gmail, const AuthorizationRequest& request) {
    const std::string id = randomText(32);
    pending_.emplace(id, request);
    pendingOrder_.push_back(id);
    if (pendingOrder_.size() > pendingLimit) {
        pending_.erase(pendingOrder_.front());
        pendingOrder_.pop_front();
    }
    std::string accounts;
    bool first = true;
    for (const auto& address : gmail.mailboxAddresses()) {
        accounts += "<p><label><input type=\"radio\" name=\"mailbox\" value=\"" + htmlEscaped(address) + "\"" +
                    (first ? " checked" : "") + "> " + htmlEscaped(address) + "</label></p>\n";
        first = false;
    }
    std::string scopes;
    for (const auto& scope : request.scopes)
        scopes += "<li>" + htmlEscaped(scope) + "</li>";
    return {200,
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sign in - Google Accounts (emulator)</title>"
            "</head>\n<body><h1>Choose an account</h1>\n<p>to continue to " +
                htmlEscaped(request.clientId) + "</p>\n<p>It asks for:</p><ul>" + scopes +
                "</ul>\n<form method=\"post\" action=\"/o/oauth2/v2/auth/consent\">\n"
                "<input type=\"hidden\" name=\"request\" value=\"" +
                id + "\">\n" + accounts +
                "<button type=\"submit\" name=\"decision\" value=\"allow\">Allow</button>\n"
                "<button type=\"submit\" name=\"decision\" value=\"deny\">Deny</button>\n</form></body></html>\n",
            std::nullopt};
}

// --- Control ----------------------------------------------------------------------------------------

json OAuthState::setClient(const json& body) {
    requireObject(body, "the body");
    allowOnly(body, {"clientId", "clientSecret"});
    clientId_ = optionalString(body, "clientId");
    clientSecret_ = optionalString(body, "clientSecret");
    if ((clientId_ && clientId_->empty()) || (clientSecret_ && clientSecret_->empty()))
        throw BadRequest("\"clientId\" and \"clientSecret\" must not be empty");
    if (clientSecret_ && !clientId_)
        throw BadRequest("\"clientSecret\" needs a \"clientId\"");
    json answer = json::object();
    if (clientId_)
        answer["clientId"] = *clientId_;
    if (clientSecret_)
        answer["clientSecret"] = *clientSecret_;
    return answer;
}

json OAuthState::updateSettings(const GmailState& gmail, const json& body) {
    requireObject(body, "the body");
    allowOnly(body, {"accessTokenLifetime", "refreshTokenOnExchange", "rotateRefreshTokens", "consent",
                     "consentMailbox", "denyError"});
    Settings next = settings_;
    if (const auto lifetime = optionalInteger(body, "accessTokenLifetime", 0, 86400))
        next.accessTokenLifetime = static_cast<int>(*lifetime);
    for (const auto& [key, target] : {std::pair{"refreshTokenOnExchange", &next.refreshTokenOnExchange},
                                      std::pair{"rotateRefreshTokens", &next.rotateRefreshTokens}}) {
        if (const auto found = body.find(key); found != body.end()) {
            if (!found->is_boolean())
                throw BadRequest("\"" + std::string(key) + "\" must be true or false");
            *target = found->get<bool>();
        }
    }
    if (const auto consent = optionalString(body, "consent")) {
        if (*consent == "ask")
            next.consent = Consent::ask;
        else if (*consent == "allow")
            next.consent = Consent::allow;
        else if (*consent == "deny")
            next.consent = Consent::deny;
        else
            throw BadRequest("\"consent\" must be ask, allow or deny");
    }
    if (body.contains("consentMailbox")) {
        next.consentMailbox = body["consentMailbox"].is_null() ? std::nullopt : optionalString(body, "consentMailbox");
        if (next.consentMailbox) {
            const auto addresses = gmail.mailboxAddresses();
            if (std::find(addresses.begin(), addresses.end(), *next.consentMailbox) == addresses.end())
                throw BadRequest("no mailbox " + *next.consentMailbox);
        }
    }
    if (const auto error = optionalString(body, "denyError")) {
        if (error->empty())
            throw BadRequest("\"denyError\" must not be empty");
        next.denyError = *error;
    }
    settings_ = next;
    return settingsJSON();
}

json OAuthState::settingsJSON() const {
    static constexpr const char* consentNames[] = {"ask", "allow", "deny"};
    return {{"accessTokenLifetime", settings_.accessTokenLifetime},
            {"refreshTokenOnExchange", settings_.refreshTokenOnExchange},
            {"rotateRefreshTokens", settings_.rotateRefreshTokens},
            {"consent", consentNames[static_cast<int>(settings_.consent)]},
            {"consentMailbox", settings_.consentMailbox ? json(*settings_.consentMailbox) : json(nullptr)},
            {"denyError", settings_.denyError}};
}

json OAuthState::setAccount(const GmailState& gmail, const json& body) {
    requireObject(body, "the body");
    allowOnly(body, {"mailbox", "sub", "email", "emailVerified"});
    const std::string mailbox = mailboxOrFirst(gmail, requiredString(body, "mailbox"));
    Account& entry = accounts_[mailbox];
    if (const auto sub = optionalString(body, "sub"))
        entry.sub = sub;
    if (const auto email = optionalString(body, "email"))
        entry.email = email;
    if (const auto found = body.find("emailVerified"); found != body.end()) {
        if (!found->is_boolean())
            throw BadRequest("\"emailVerified\" must be true or false");
        entry.emailVerified = found->get<bool>();
    }
    const ResolvedAccount resolved = account(mailbox);
    return {{"mailbox", mailbox}, {"sub", resolved.sub}, {"email", resolved.email},
            {"emailVerified", resolved.emailVerified}};
}

json OAuthState::addGrant(const GmailState& gmail, const json& body, Clock::time_point now) {
    requireObject(body, "the body");
    allowOnly(body, {"mailbox", "clientId", "scopes"});
    Grant grant;
    grant.mailbox = mailboxOrFirst(gmail, optionalString(body, "mailbox"));
    grant.clientId = optionalString(body, "clientId").value_or(clientId_.value_or(""));
    grant.scopes = {"openid", "email", gmailScopes.front()};
    if (const auto found = body.find("scopes"); found != body.end()) {
        if (!found->is_array() || !std::all_of(found->begin(), found->end(), [](const json& s) { return s.is_string(); }))
            throw BadRequest("\"scopes\" must be an array of strings");
        grant.scopes = found->get<std::vector<std::string>>();
    }
    grant.refreshToken = "1//emu-" + randomText(64);
    grants_.push_back(grant);
    refreshTokens_.emplace(*grant.refreshToken, grants_.size() - 1);
    json answer = issue(grants_.size() - 1, grant.refreshToken, now);
    answer["mailbox"] = grant.mailbox;
    answer["sub"] = account(grant.mailbox).sub;
    return answer;
}

json OAuthState::grantsJSON() const {
    json list = json::array();
    for (const auto& grant : grants_)
        list.push_back({{"mailbox", grant.mailbox},
                        {"clientId", grant.clientId},
                        {"scopes", grant.scopes},
                        {"refreshToken", grant.refreshToken ? json(*grant.refreshToken) : json(nullptr)},
                        {"active", grant.active}});
    return {{"grants", list}};
}

json OAuthState::revokeGrants(const GmailState& gmail, const json& body) {
    requireObject(body, "the body");
    allowOnly(body, {"mailbox"});
    const auto mailbox = optionalString(body, "mailbox");
    if (mailbox)
        mailboxOrFirst(gmail, mailbox); // an unknown mailbox is a mistake, not "nothing to revoke"
    std::size_t revoked = 0;
    for (auto& grant : grants_) {
        if (grant.active && (!mailbox || grant.mailbox == *mailbox)) {
            grant.active = false;
            ++revoked;
        }
    }
    return {{"revoked", revoked}};
}

void OAuthState::record(json request) {
    requests_.push_back(std::move(request));
    if (requests_.size() > requestLimit)
        requests_.pop_front();
}

// --- Helpers ----------------------------------------------------------------------------------------

OAuthState::ResolvedAccount OAuthState::account(const std::string& mailbox) const {
    ResolvedAccount resolved{defaultSub(mailbox), mailbox, true};
    if (const auto found = accounts_.find(mailbox); found != accounts_.end()) {
        resolved.sub = found->second.sub.value_or(resolved.sub);
        resolved.email = found->second.email.value_or(resolved.email);
        resolved.emailVerified = found->second.emailVerified;
    }
    return resolved;
}

std::string OAuthState::mailboxOrFirst(const GmailState& gmail, const std::optional<std::string>& mailbox) const {
    const auto addresses = gmail.mailboxAddresses();
    if (addresses.empty())
        throw BadRequest("add a mailbox first");
    if (!mailbox)
        return addresses.front();
    if (std::find(addresses.begin(), addresses.end(), *mailbox) == addresses.end())
        throw BadRequest("no mailbox " + *mailbox);
    return *mailbox;
}

std::string OAuthState::randomText(std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i)
        text += urlSafe[random_() % 64];
    return text;
}

} // namespace larkpin::emulator
