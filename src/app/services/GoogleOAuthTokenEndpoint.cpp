#include "app/services/GoogleOAuthTokenEndpoint.h"

#include "app/services/GoogleOAuthError.h"
#include "core/models/JSONFields.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace larkpin {
namespace {

using nlohmann::json;

void appendEncoded(std::string& out, std::string_view text)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
                           || c == '.' || c == '_' || c == '~' || c == '/' || c == ':';
        if (plain) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
    }
}

GoogleOAuthToken decodedToken(const std::string& body, TimePoint receivedAt)
{
    const json answer = json::parse(body, nullptr, false);
    try {
        const auto expiresIn = json_fields::required<json>(answer, "expires_in");
        if (!expiresIn.is_number() || !std::isfinite(expiresIn.get<double>()))
            throw GoogleOAuthError::invalidResponse();
        return GoogleOAuthToken{json_fields::required<std::string>(answer, "access_token"),
                                receivedAt + Seconds(expiresIn.get<double>()),
                                json_fields::optional<std::string>(answer, "refresh_token")};
    } catch (const DecodingError&) {
        throw GoogleOAuthError::invalidResponse();
    }
}

GoogleOAuthError refusal(long status, const std::string& body)
{
    const json answer = json::parse(body, nullptr, false);
    try {
        return GoogleOAuthError::oauth(json_fields::required<std::string>(answer, "error"));
    } catch (const DecodingError&) {
        return GoogleOAuthError::response(static_cast<int>(status));
    }
}

} // namespace

GoogleOAuthToken GoogleOAuthTokenEndpoint::request(const Form& form, const std::string& tokenURL,
                                                   const HTTPSession& session, const Clock& clock)
{
    HTTPSession::Request request;
    request.method = "POST";
    request.url = tokenURL;
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    request.body = encodedForm(form);
    request.timeout = timeout;
    const HTTPSession::Response response = session.send(request);
    if (response.status == 0)
        throw GoogleOAuthError::invalidResponse(); // not an HTTP answer
    if (response.status >= 200 && response.status <= 299)
        return decodedToken(response.body, clock.now());
    throw refusal(response.status, response.body);
}

std::string GoogleOAuthTokenEndpoint::encodedForm(const Form& form)
{
    std::string body;
    for (const auto& [name, value] : form) {
        if (!body.empty())
            body += '&';
        appendEncoded(body, name);
        body += '=';
        appendEncoded(body, value);
    }
    return body;
}

} // namespace larkpin
