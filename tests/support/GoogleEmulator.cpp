#include "support/GoogleEmulator.h"

#include <httplib.h>

#include <stdexcept>
#include <thread>

namespace larkpin::test {

using nlohmann::json;

namespace {

constexpr auto startTimeout = std::chrono::seconds(20);
constexpr auto stopTimeout = std::chrono::seconds(10);

/// Sets the key only when there is a value: the emulator's defaults stand for the rest.
template <typename T> void setIfPresent(json& body, const char* key, const std::optional<T>& value) {
    if (value)
        body[key] = *value;
}

std::string gmailPath(const std::string& path) {
    return path.starts_with("/") ? path : "/gmail/v1/users/me/" + path;
}

} // namespace

GoogleEmulator::Fault GoogleEmulator::Fault::httpStatus(int status,
                                                        std::map<std::string, std::string> headers,
                                                        std::optional<std::string> body) {
    Fault fault;
    fault.kind = "status";
    fault.status = status;
    fault.headers = std::move(headers);
    fault.body = std::move(body);
    return fault;
}

GoogleEmulator::Fault GoogleEmulator::Fault::delayed(std::chrono::milliseconds delay) {
    Fault fault;
    fault.kind = "delay";
    fault.delay = delay;
    return fault;
}

GoogleEmulator::Fault GoogleEmulator::Fault::notJSON(int status) {
    Fault fault;
    fault.kind = "notJSON";
    fault.status = status;
    return fault;
}

GoogleEmulator::Fault GoogleEmulator::Fault::missingKey(std::string key) {
    Fault fault;
    fault.kind = "missingKey";
    if (!key.empty())
        fault.key = std::move(key);
    return fault;
}

GoogleEmulator::Fault GoogleEmulator::Fault::dropConnection() {
    Fault fault;
    fault.kind = "drop";
    return fault;
}

GoogleEmulator::Fault GoogleEmulator::Fault::trickle(std::size_t bytes, std::chrono::milliseconds interval) {
    Fault fault;
    fault.kind = "trickle";
    fault.bytes = bytes;
    fault.interval = interval;
    return fault;
}

GoogleEmulator::Fault GoogleEmulator::Fault::stall(std::chrono::milliseconds silence) {
    Fault fault;
    fault.kind = "stall";
    fault.interval = silence;
    return fault;
}

GoogleEmulator::Fault GoogleEmulator::Fault::after(std::chrono::milliseconds wait) const {
    Fault fault = *this;
    fault.delay = wait;
    return fault;
}

GoogleEmulator::Fault GoogleEmulator::Fault::oauthError(const std::string& error, int status) {
    return httpStatus(status, {},
                      json{{"error", error}, {"error_description", "Emulated " + error + " answer"}}.dump());
}

std::uint64_t GoogleEmulator::Counters::requestsTo(const std::string& path) const {
    const auto found = requests.find(gmailPath(path));
    return found == requests.end() ? 0 : found->second;
}

namespace {

std::vector<std::string> commandLine(const std::filesystem::path& executable, const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{executable.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

} // namespace

GoogleEmulator::GoogleEmulator(const std::filesystem::path& executable, const std::vector<std::string>& arguments)
    : process_(commandLine(executable, arguments))
{
    // The first line is the base URL, printed once the emulator accepts connections.
    const auto line = process_.readLine(startTimeout);
    const std::string prefix = "http://127.0.0.1:";
    std::string failure;
    if (!line)
        failure = "did not print its URL within " + std::to_string(startTimeout.count()) + " seconds";
    else if (!line->starts_with(prefix))
        failure = "printed \"" + *line + "\" instead of its URL";
    else {
        baseURL_ = *line;
        try {
            port_ = std::stoi(baseURL_.substr(prefix.size()));
        } catch (const std::exception&) {
            failure = "printed a URL without a port: " + baseURL_;
        }
    }
    if (!failure.empty()) {
        const int status = stop();
        throw std::runtime_error("google emulator " + executable.string() + " " + failure + " (exit status " +
                                 std::to_string(status) + ")");
    }
}

int GoogleEmulator::stop() { return process_.stop(stopTimeout); }

json GoogleEmulator::control(const std::string& method, const std::string& path, const json& body) const {
    const std::string target = path.starts_with("/") ? path : "/_emulator/" + path;
    // A fresh connection per call: calls may come from several threads, and the emulator counts
    // only the connections of Gmail requests.
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(5);
    client.set_read_timeout(30);
    httplib::Result result{nullptr, httplib::Error::Unknown};
    if (method == "GET")
        result = client.Get(target);
    else if (method == "POST")
        result = client.Post(target, body.dump(), "application/json");
    else
        throw std::invalid_argument("google emulator: control calls are GET or POST, not " + method);
    const std::string call = "google emulator: " + method + " " + target;
    if (!result)
        throw std::runtime_error(call + " failed: " + httplib::to_string(result.error()));
    if (result->status < 200 || result->status > 299)
        throw std::runtime_error(call + " answered " + std::to_string(result->status) + ": " + result->body);
    json answer = json::parse(result->body, nullptr, false);
    if (answer.is_discarded())
        throw std::runtime_error(call + " answered something that is not JSON: " + result->body);
    return answer;
}

void GoogleEmulator::addMailbox(const std::string& email, const std::string& token) {
    control("POST", "mailboxes", {{"email", email}, {"token", token}});
}

std::string GoogleEmulator::addMessage(const Message& message) {
    json body = json::object();
    const auto text = [&body](const char* key, const std::string& value) {
        if (!value.empty())
            body[key] = value;
    };
    text("mailbox", message.mailbox);
    text("from", message.from);
    text("subject", message.subject);
    text("plain", message.plain);
    text("html", message.html);
    text("structure", message.structure);
    setIfPresent(body, "receivedAt", message.receivedAt);
    setIfPresent(body, "age", message.age);
    setIfPresent(body, "internalDate", message.internalDate);
    setIfPresent(body, "id", message.id);
    setIfPresent(body, "payload", message.payload);
    return control("POST", "messages", body).at("id").get<std::string>();
}

void GoogleEmulator::deleteMessage(const std::string& id, const std::string& mailbox) {
    json body = {{"id", id}};
    if (!mailbox.empty())
        body["mailbox"] = mailbox;
    control("POST", "messages/delete", body);
}

void GoogleEmulator::expireHistory(const std::string& mailbox) {
    control("POST", "history/expire", mailbox.empty() ? json::object() : json{{"mailbox", mailbox}});
}

void GoogleEmulator::setHistoryPageSize(int size) {
    control("POST", "history/page-size", {{"size", size}});
}

void GoogleEmulator::queueFault(const std::string& path, const Fault& fault) {
    json body = {{"path", gmailPath(path)}, {"kind", fault.kind}};
    if (fault.delay.count() > 0 || fault.kind == "delay")
        body["delayMs"] = fault.delay.count();
    setIfPresent(body, "status", fault.status);
    if (!fault.headers.empty())
        body["headers"] = fault.headers;
    setIfPresent(body, "body", fault.body);
    setIfPresent(body, "key", fault.key);
    if (fault.kind == "trickle")
        body["bytes"] = fault.bytes;
    if (fault.kind == "trickle" || fault.kind == "stall")
        body["intervalMs"] = fault.interval.count();
    control("POST", "faults", body);
}

void GoogleEmulator::clearFaults() {
    control("POST", "faults/clear");
}

GoogleEmulator::Counters GoogleEmulator::counters() const {
    const json answer = control("GET", "counters");
    Counters counters;
    counters.requests = answer.at("requests").get<std::map<std::string, std::uint64_t>>();
    counters.totalRequests = answer.at("totalRequests").get<std::uint64_t>();
    counters.connections = answer.at("connections").get<std::uint64_t>();
    counters.tokenRequests = answer.at("tokenRequests").get<std::uint64_t>();
    return counters;
}

void GoogleEmulator::resetCounters() {
    control("POST", "counters/reset");
}

std::vector<GoogleEmulator::GmailRequest> GoogleEmulator::gmailRequests() const {
    std::vector<GmailRequest> requests;
    const json answer = control("GET", "gmail/requests");
    for (const json& request : answer.at("requests"))
        requests.push_back({request.at("path").get<std::string>(), request.at("query").get<std::string>()});
    return requests;
}

void GoogleEmulator::setOAuthClient(const std::string& clientID, const std::optional<std::string>& clientSecret) {
    json body = {{"clientId", clientID}};
    setIfPresent(body, "clientSecret", clientSecret);
    control("POST", "oauth/client", body);
}

void GoogleEmulator::configureOAuth(const OAuthSettings& settings) {
    json body = json::object();
    setIfPresent(body, "accessTokenLifetime", settings.accessTokenLifetime);
    setIfPresent(body, "refreshTokenOnExchange", settings.refreshTokenOnExchange);
    setIfPresent(body, "rotateRefreshTokens", settings.rotateRefreshTokens);
    setIfPresent(body, "consent", settings.consent);
    setIfPresent(body, "consentMailbox", settings.consentMailbox);
    setIfPresent(body, "denyError", settings.denyError);
    control("POST", "oauth/settings", body);
}

void GoogleEmulator::setOAuthAccount(const std::string& mailbox, const OAuthAccount& account) {
    json body = {{"mailbox", mailbox}};
    setIfPresent(body, "sub", account.sub);
    setIfPresent(body, "email", account.email);
    setIfPresent(body, "emailVerified", account.emailVerified);
    control("POST", "oauth/accounts", body);
}

GoogleEmulator::Grant GoogleEmulator::addGrant(const std::string& mailbox, const std::string& clientID) {
    json body = json::object();
    if (!mailbox.empty())
        body["mailbox"] = mailbox;
    if (!clientID.empty())
        body["clientId"] = clientID;
    const json answer = control("POST", "oauth/grants", body);
    return {answer.at("mailbox").get<std::string>(), answer.at("sub").get<std::string>(),
            answer.at("access_token").get<std::string>(), answer.at("refresh_token").get<std::string>(),
            answer.at("expires_in").get<int>()};
}

std::vector<GoogleEmulator::GrantState> GoogleEmulator::grants() const {
    std::vector<GrantState> grants;
    const json answer = control("GET", "oauth/grants"); // kept: the loop runs over a part of it
    for (const json& grant : answer.at("grants")) {
        const json& refreshToken = grant.at("refreshToken");
        grants.push_back({grant.at("mailbox").get<std::string>(), grant.at("clientId").get<std::string>(),
                          grant.at("scopes").get<std::vector<std::string>>(),
                          refreshToken.is_null() ? std::nullopt : std::optional(refreshToken.get<std::string>()),
                          grant.at("active").get<bool>()});
    }
    return grants;
}

std::size_t GoogleEmulator::revokeGrants(const std::string& mailbox) {
    return control("POST", "oauth/grants/revoke", mailbox.empty() ? json::object() : json{{"mailbox", mailbox}})
        .at("revoked")
        .get<std::size_t>();
}

std::vector<GoogleEmulator::OAuthRequest> GoogleEmulator::oauthRequests() const {
    std::vector<OAuthRequest> requests;
    const json answer = control("GET", "oauth/requests");
    for (const json& request : answer.at("requests"))
        requests.push_back({request.at("method").get<std::string>(), request.at("path").get<std::string>(),
                            request.at("query").get<std::string>(), request.at("contentType").get<std::string>(),
                            request.at("body").get<std::string>()});
    return requests;
}

} // namespace larkpin::test
