// larkpin-google-emulator: Gmail's read-only REST endpoints on 127.0.0.1, plus a control API.
//
// Gmail; every request needs "Authorization: Bearer <token>" naming a mailbox's token, else 401:
//   GET /gmail/v1/users/me/profile
//   GET /gmail/v1/users/me/messages       maxResults (1-500, default 100), q=newer_than:<n>d|m|y, pageToken
//   GET /gmail/v1/users/me/messages/{id}  format=full (default) or minimal; 404 when unknown or deleted
//   GET /gmail/v1/users/me/history        startHistoryId (required), historyTypes, pageToken; 404 for a
//                                         start point older than the retained history
//
// Google OAuth, answering as Google does ({"error", "error_description"} on failure):
//   GET  /o/oauth2/v2/auth               client_id, redirect_uri (loopback), response_type=code, scope,
//                                        code_challenge + code_challenge_method=S256, state?, access_type?,
//                                        prompt?: the consent page, or at once a 302 to redirect_uri with
//                                        state, code, scope, authuser (and prompt), or with error and state;
//                                        a malformed request gets a 400 page and no redirect
//   POST /o/oauth2/v2/auth/consent       the consent page's form: request, mailbox, decision=allow|deny
//   POST /oauth2/token                   form: grant_type=authorization_code (client_id, code, code_verifier,
//                                        redirect_uri, client_secret?) or refresh_token (client_id,
//                                        refresh_token, client_secret?) -> {"access_token", "expires_in",
//                                        "scope", "token_type", "refresh_token"?}
//   POST /revoke                         form (or query): token -> {}; 400 invalid_token when unknown
//   GET  /oauth2/v2/userinfo             Bearer access token -> {"sub", "email", "email_verified"}
// Issued access tokens open their mailbox's Gmail endpoints until they expire or their grant ends.
//
// Control; JSON in, JSON out, no authorization; a mistake answers 400 {"error": "..."}:
//   GET  /_emulator/mailboxes            -> {"mailboxes": [{"email", "historyId", "oldestHistoryId",
//                                            "messages"}]}
//   POST /_emulator/mailboxes            {"email", "token"} -> {"email", "historyId"}
//   POST /_emulator/messages             {"mailbox"?, "from"?, "to"?, "subject"?, "plain"?, "html"?,
//                                         "structure"?: plain|html|alternative|nested|raw, "payload"? (raw),
//                                         one of "receivedAt" (s), "age" (s) or "internalDate" (ms, any
//                                         text, or null), "id"?, "threadId"?, "labelIds"?, "snippet"?}
//                                        -> {"id", "threadId", "historyId"}
//   POST /_emulator/messages/delete      {"mailbox"?, "id"} -> {"id", "historyId"}
//   POST /_emulator/history/expire       {"mailbox"?} -> {"expired": [{"mailbox", "historyId"}]}
//   POST /_emulator/history/page-size    {"size"} -> {"size"}
//   POST /_emulator/faults               {"path", "kind"?: status|delay|notJSON|missingKey|drop|trickle|
//                                         stall, "delayMs"?, "status"?, "headers"?: {name: value}, "body"?,
//                                         "key"?, "bytes"? (trickle), "intervalMs"? (trickle, stall)}
//                                        -> {"path", "pending"}
//   GET  /_emulator/faults               -> {"faults": {path: [fault, ...]}}
//   POST /_emulator/faults/clear         -> {"cleared"}
//   GET  /_emulator/counters             -> {"requests": {path: n}, "totalRequests", "connections",
//                                            "tokenRequests"}
//   GET  /_emulator/gmail/requests       -> {"requests": [{"path", "query", "mailbox", "at"}]}: what
//                                            reached the Gmail endpoints, whose mailbox its token opens
//                                            ("" for none) and when (ms since 1970), oldest first (the
//                                            newest 10,000)
//   POST /_emulator/counters/reset       -> the counters, zeroed (and both request logs emptied)
//   POST /_emulator/oauth/client         {"clientId"?, "clientSecret"?} -> the same; without: any client
//   GET  /_emulator/oauth/settings       -> {"accessTokenLifetime", "refreshTokenOnExchange",
//                                            "rotateRefreshTokens", "consent", "consentMailbox", "denyError"}
//   POST /_emulator/oauth/settings       any of those keys -> all of them
//                                        (consent: ask, the page | allow, redirect at once with a code
//                                        for consentMailbox or the first | deny, redirect with denyError)
//   POST /_emulator/oauth/accounts       {"mailbox", "sub"?, "email"?, "emailVerified"?} -> the userinfo
//   POST /_emulator/oauth/grants         {"mailbox"?, "clientId"?, "scopes"?} -> a token answer plus
//                                        {"mailbox", "sub"}: as if the user had consented before
//   GET  /_emulator/oauth/grants         -> {"grants": [{"mailbox", "clientId", "scopes", "refreshToken",
//                                            "active"}]}
//   POST /_emulator/oauth/grants/revoke  {"mailbox"?} -> {"revoked"}: the user withdrew access
//   GET  /_emulator/oauth/requests       -> {"requests": [{"method", "path", "query", "contentType",
//                                            "body"}]}: what reached the OAuth endpoints, oldest first
//
// "mailbox" defaults to the first mailbox added. Faults are kept per exact path (no query); each is
// used once, in the order queued. The counters leave the control API out, so that a test's own
// control calls do not disturb what it measures; "connections" counts distinct client address and
// port pairs, which is one per TCP connection.

#include "EmulatorServer.h"

#include "BadRequest.h"
#include "GmailError.h"
#include "FormEncoding.h"
#include "JSONReading.h"
#include "OAuthError.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace larkpin::emulator {

using nlohmann::json;
using namespace json_reading;

namespace {

std::int64_t nowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

constexpr const char* gmailPrefix = "/gmail/v1/users/me/";
constexpr const char* controlPrefix = "/_emulator/";
constexpr const char* authorizationPath = "/o/oauth2/v2/auth";
constexpr const char* consentPath = "/o/oauth2/v2/auth/consent";
constexpr const char* tokenPath = "/oauth2/token";
constexpr const char* revokePath = "/revoke";
constexpr const char* userInfoPath = "/oauth2/v2/userinfo";
constexpr const char* htmlType = "text/html; charset=UTF-8";
constexpr const char* jsonType = "application/json; charset=UTF-8";

std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

/// Google's error envelope, as Gmail sends it.
json gmailError(int status, const std::string& message) {
    struct Kind {
        int status;
        const char* name;
        const char* reason;
    };
    static constexpr Kind kinds[] = {
        {400, "INVALID_ARGUMENT", "invalidArgument"},
        {401, "UNAUTHENTICATED", "authError"},
        {403, "PERMISSION_DENIED", "forbidden"},
        {404, "NOT_FOUND", "notFound"},
        {429, "RESOURCE_EXHAUSTED", "rateLimitExceeded"},
        {500, "INTERNAL", "backendError"},
        {503, "UNAVAILABLE", "backendError"},
    };
    const char* name = "UNKNOWN";
    const char* reason = "unknown";
    for (const auto& kind : kinds) {
        if (kind.status == status) {
            name = kind.name;
            reason = kind.reason;
        }
    }
    return {{"error",
             {{"code", status},
              {"message", message},
              {"errors", json::array({{{"message", message}, {"domain", "global"}, {"reason", reason}}})},
              {"status", name}}}};
}

std::string defaultMessage(int status) {
    switch (status) {
    case 401:
        return "Request had invalid authentication credentials.";
    case 404:
        return "Requested entity was not found.";
    case 429:
        return "Too many concurrent requests for user.";
    case 503:
        return "The service is currently unavailable.";
    default:
        return status >= 500 ? "Internal error encountered." : "HTTP " + std::to_string(status);
    }
}

bool isOAuthPath(const std::string& path) {
    return path == authorizationPath || path == consentPath || path == tokenPath || path == revokePath ||
           path == userInfoPath;
}

/// What a status fault sends when it names no body: the endpoint's own kind of error.
std::string faultBody(const std::string& path, int status) {
    if (path == authorizationPath || path == consentPath)
        return "<!DOCTYPE html>\n<html><body><h1>Error " + std::to_string(status) + "</h1></body></html>\n";
    if (isOAuthPath(path)) {
        if (status < 400)
            return "{}";
        const char* error = status == 401 ? "invalid_client" : status < 500 ? "invalid_request" : "internal_failure";
        return dump({{"error", error}, {"error_description", defaultMessage(status)}});
    }
    return status >= 400 ? dump(gmailError(status, defaultMessage(status))) : "{}";
}

/// The form of an OAuth request's body; refused as Google refuses it when it is not one.
form_encoding::Pairs formOf(const httplib::Request& request) {
    if (!request.get_header_value("Content-Type").starts_with("application/x-www-form-urlencoded"))
        throw OAuthError(400, "invalid_request", "The body must be application/x-www-form-urlencoded.");
    auto pairs = form_encoding::decode(request.body);
    if (!pairs)
        throw OAuthError(400, "invalid_request", "The form body is malformed.");
    return *pairs;
}

std::string bearerToken(const httplib::Request& request) {
    const std::string header = request.get_header_value("Authorization");
    const std::string scheme = "bearer ";
    if (header.size() <= scheme.size())
        return {};
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i])
            return {};
    return header.substr(scheme.size());
}

/// The key that a missing-key fault removes when it names none: the one every client must read.
std::string mainKey(const std::string& path) {
    if (path == tokenPath)
        return "access_token";
    if (path == userInfoPath)
        return "sub";
    const std::string relative = path.substr(std::min(path.size(), std::string(gmailPrefix).size()));
    if (relative == "profile")
        return "emailAddress";
    if (relative == "history")
        return "historyId";
    return "id"; // a message, or every listed message
}

/// Removes the key from the object and from each object directly inside its arrays (the listed
/// messages), where the required keys of Gmail's answers live.
void removeKey(json& body, const std::string& key) {
    if (!body.is_object())
        return;
    body.erase(key);
    for (auto& [name, value] : body.items()) {
        if (!value.is_array())
            continue;
        for (auto& element : value)
            if (element.is_object())
                element.erase(key);
    }
}

void checkDepth(const json& value, int remaining) {
    // JSON values are copied and written recursively; a bounded depth keeps a hostile request from
    // exhausting the stack. Gmail trees of a few dozen levels stay far below it.
    if (remaining == 0)
        throw BadRequest("the body is nested too deeply");
    if (value.is_structured())
        for (const auto& element : value)
            checkDepth(element, remaining - 1);
}

} // namespace

EmulatorServer::EmulatorServer(GmailState state, Options options)
    : options_(options)
    , state_(std::move(state)) {
    // Each kept-alive connection holds a worker while it is open, and a delay fault holds one while it
    // waits: leave room for many.
    server_.new_task_queue = [] { return new httplib::ThreadPool(64); };
    // A whole sync must be able to travel over one connection, however many requests it makes.
    server_.set_keep_alive_max_count(100000);
    server_.set_keep_alive_timeout(60);
    server_.set_tcp_nodelay(true);
    server_.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        count(request);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server_.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            response.status = 500;
            response.set_content(dump(gmailError(500, "Internal error encountered.")), jsonType);
        });
    if (options_.logRequests) {
        server_.set_logger([](const httplib::Request& request, const httplib::Response& response) {
            std::fprintf(stderr, "%s %s -> %d\n", request.method.c_str(), request.target.c_str(),
                         response.status);
        });
    }
    addControlRoutes();
    addOAuthRoutes();
    addRoutes();
}

int EmulatorServer::bind(int port) {
    int listening = -1;
    server_.set_socket_options([&listening](int socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listening = socket;
    });
    const int bound = port == 0 ? server_.bind_to_any_port("127.0.0.1")
                                : (server_.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0)
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    // cpp-httplib listens with a backlog of 5; tests that open many connections at once need more.
    if (listening >= 0)
        ::listen(listening, SOMAXCONN);
    return bound;
}

bool EmulatorServer::serve() {
    {
        std::lock_guard lock(stopMutex_);
        if (stopping_)
            return true;
        serving_ = true;
    }
    const bool served = server_.listen_after_bind();
    {
        std::lock_guard lock(stopMutex_);
        served_ = true;
    }
    stopChanged_.notify_all();
    return served;
}

void EmulatorServer::addMessage(const NewMessage& message) {
    std::lock_guard lock(mutex_);
    state_.addMessage(message, nowMilliseconds());
}

void EmulatorServer::stop() {
    std::unique_lock lock(stopMutex_);
    stopping_ = true;
    stopChanged_.notify_all();
    while (serving_ && !served_) {
        lock.unlock();
        // Retried because a stop before the accept loop has started is ignored by cpp-httplib.
        server_.stop();
        closeClientConnections();
        lock.lock();
        stopChanged_.wait_for(lock, std::chrono::milliseconds(20), [this] { return served_; });
    }
}

void EmulatorServer::closeClientConnections() {
    // cpp-httplib's workers wait out the keep-alive timeout on idle connections before they notice
    // the server stopped. Once the listening socket is closed, every connected socket in this
    // process is a client's: shutting them down lets the workers finish at once.
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr)
        return;
    while (const dirent* entry = ::readdir(folder)) {
        const int fd = std::atoi(entry->d_name);
        struct stat status {};
        if (fd <= STDERR_FILENO || fd == ::dirfd(folder) || ::fstat(fd, &status) != 0 ||
            !S_ISSOCK(status.st_mode))
            continue;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
            ::shutdown(fd, SHUT_RDWR);
    }
    ::closedir(folder);
}

bool EmulatorServer::pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(stopMutex_);
    return !stopChanged_.wait_for(lock, delay, [this] { return stopping_; });
}

void EmulatorServer::count(const httplib::Request& request) {
    if (request.path.starts_with(controlPrefix))
        return;
    std::lock_guard lock(mutex_);
    ++counters_.requests[request.path];
    ++counters_.total;
    if (request.path.starts_with(gmailPrefix)) {
        const auto query = request.target.find('?');
        std::string mailbox;
        try {
            mailbox = mailboxFor(bearerToken(request));
        } catch (const GmailError&) {
        }
        counters_.gmailRequests.push_back({request.path,
                                           query == std::string::npos ? "" : request.target.substr(query + 1),
                                           std::move(mailbox), nowMilliseconds()});
        if (counters_.gmailRequests.size() > maximumLoggedRequests)
            counters_.gmailRequests.pop_front();
    }
    counters_.clients.emplace(request.remote_addr, request.remote_port);
    if (request.path == tokenPath)
        ++counters_.tokenRequests;
}

void EmulatorServer::record(const httplib::Request& request) {
    const auto query = request.target.find('?');
    std::lock_guard lock(mutex_);
    oauth_.record({{"method", request.method},
                   {"path", request.path},
                   {"query", query == std::string::npos ? "" : request.target.substr(query + 1)},
                   {"contentType", request.get_header_value("Content-Type")},
                   {"body", request.body}});
}

json EmulatorServer::countersJSON() const {
    return {{"requests", counters_.requests},
            {"totalRequests", counters_.total},
            {"connections", counters_.clients.size()},
            {"tokenRequests", counters_.tokenRequests}};
}

std::optional<Fault> EmulatorServer::takeFault(const std::string& path) {
    std::lock_guard lock(mutex_);
    const auto found = faults_.find(path);
    if (found == faults_.end())
        return std::nullopt;
    Fault fault = std::move(found->second.front());
    found->second.pop_front();
    if (found->second.empty())
        faults_.erase(found);
    return fault;
}

void EmulatorServer::addRoutes() {
    const std::string base = gmailPrefix;
    server_.Get(base + "profile", [this](const httplib::Request& request, httplib::Response& response) {
        serveGmail(request, response, [this](const std::string& mailbox) { return state_.profile(mailbox); });
    });
    server_.Get(base + "messages", [this](const httplib::Request& request, httplib::Response& response) {
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        serveGmail(request, response, [&](const std::string& mailbox) {
            return state_.listMessages(mailbox, request.params, now);
        });
    });
    server_.Get(base + "messages/([^/]+)",
                [this](const httplib::Request& request, httplib::Response& response) {
                    const std::string id = request.matches[1];
                    serveGmail(request, response, [&](const std::string& mailbox) {
                        return state_.message(mailbox, id, request.params);
                    });
                });
    server_.Get(base + "history", [this](const httplib::Request& request, httplib::Response& response) {
        serveGmail(request, response,
                   [&](const std::string& mailbox) { return state_.history(mailbox, request.params); });
    });
    // Anything else answers like Google does for an unknown URL, with its JSON error. A queued
    // fault still applies, so that endpoints the emulator does not serve yet can fail on purpose.
    const auto notFound = [this](const httplib::Request& request, httplib::Response& response) {
        const auto fault = takeFault(request.path);
        if (fault && !pause(fault->delay))
            return;
        if (fault && fault->kind == Fault::Kind::Status) {
            response.status = fault->status;
            for (const auto& [name, value] : fault->headers)
                response.set_header(name, value);
            response.set_content(
                fault->body.value_or(dump(gmailError(fault->status, defaultMessage(fault->status)))),
                jsonType);
            return;
        }
        response.status = 404;
        response.set_content(
            dump(gmailError(404, "No such endpoint: " + request.method + " " + request.path)), jsonType);
    };
    server_.Get(".*", notFound);
    server_.Post(".*", notFound);
}

void EmulatorServer::serve(const httplib::Request& request, httplib::Response& response,
                           const std::function<Reply()>& answer) {
    const std::optional<Fault> fault = takeFault(request.path);
    if (fault && fault->delay.count() > 0 && !pause(fault->delay)) {
        response.status = 503;
        return;
    }
    // A fault of kind Delay alone leaves the normal answer untouched.
    const Fault::Kind kind = fault ? fault->kind : Fault::Kind::Delay;
    if (kind == Fault::Kind::Status) {
        response.status = fault->status;
        for (const auto& [name, value] : fault->headers)
            response.set_header(name, value);
        response.set_content(fault->body.value_or(faultBody(request.path, fault->status)), jsonType);
        return;
    }
    if (kind == Fault::Kind::NotJSON) {
        response.status = fault->status;
        for (const auto& [name, value] : fault->headers)
            response.set_header(name, value);
        response.set_content(
            fault->body.value_or("<html><body>Service temporarily unavailable</body></html>"), htmlType);
        return;
    }

    Reply reply;
    {
        std::lock_guard lock(mutex_);
        reply = answer();
    }
    for (const auto& [name, value] : reply.headers)
        response.set_header(name, value);
    if (kind == Fault::Kind::MissingKey)
        removeKey(reply.body, fault->key.value_or(mainKey(request.path)));
    response.status = reply.status;
    if (kind == Fault::Kind::Trickle || kind == Fault::Kind::Stall) {
        // Content-Length announces the whole body, which then arrives late: piece by piece, or
        // after a silence half-way. A stopping server gives up at once.
        auto text = std::make_shared<const std::string>(dump(reply.body));
        response.set_content_provider(
            text->size(), jsonType,
            [this, text, paced = *fault](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                const std::size_t half = text->size() / 2;
                if (paced.kind == Fault::Kind::Stall && offset < half)
                    return sink.write(text->data(), half);
                if (!pause(paced.interval))
                    return false;
                const std::size_t piece = paced.kind == Fault::Kind::Trickle ? paced.bytes : text->size();
                return sink.write(text->data() + offset, std::min(piece, text->size() - offset));
            });
        return;
    }
    if (kind != Fault::Kind::Drop) {
        response.set_content(dump(reply.body), jsonType);
        return;
    }
    // Content-Length promises the whole body; the provider sends half and then gives up, which makes
    // cpp-httplib close the connection part-way through.
    auto text = std::make_shared<const std::string>(fault->body.value_or(dump(reply.body)));
    response.set_content_provider(text->size(), jsonType,
                                  [text](std::size_t, std::size_t, httplib::DataSink& sink) {
                                      sink.write(text->data(), text->size() / 2);
                                      return false;
                                  });
}

void EmulatorServer::serveGmail(const httplib::Request& request, httplib::Response& response,
                                const GmailAnswer& answer) {
    serve(request, response, [&]() -> Reply {
        try {
            return {200, answer(mailboxFor(bearerToken(request))), {}};
        } catch (const GmailError& error) {
            Reply reply{error.status(), gmailError(error.status(), error.what()), {}};
            if (error.status() == 401)
                reply.headers.emplace_back("WWW-Authenticate",
                                           "Bearer realm=\"https://accounts.google.com/\", error=\"invalid_token\"");
            return reply;
        }
    });
}

void EmulatorServer::serveOAuth(const httplib::Request& request, httplib::Response& response,
                                const OAuthAnswer& answer) {
    record(request);
    serve(request, response, [&]() -> Reply {
        // Token answers are never to be cached, as Google's are.
        std::vector<std::pair<std::string, std::string>> headers{{"Cache-Control", "no-store"}};
        try {
            return {200, answer(), headers};
        } catch (const OAuthError& error) {
            if (error.status() == 401 && request.path == userInfoPath)
                headers.emplace_back("WWW-Authenticate",
                                     "Bearer realm=\"https://accounts.google.com/\", error=\"invalid_token\"");
            return {error.status(), {{"error", error.error()}, {"error_description", error.what()}}, headers};
        }
    });
}

void EmulatorServer::serveBrowser(const httplib::Request& request, httplib::Response& response,
                                  const BrowserAnswer& answer) {
    record(request);
    const std::optional<Fault> fault = takeFault(request.path);
    if (fault && fault->delay.count() > 0 && !pause(fault->delay)) {
        response.status = 503;
        return;
    }
    if (fault && (fault->kind == Fault::Kind::Status || fault->kind == Fault::Kind::NotJSON)) {
        response.status = fault->status;
        for (const auto& [name, value] : fault->headers)
            response.set_header(name, value);
        response.set_content(fault->body.value_or(faultBody(request.path, fault->status)), htmlType);
        return;
    }
    OAuthState::BrowserAnswer page;
    {
        std::lock_guard lock(mutex_);
        page = answer();
    }
    response.status = page.status;
    if (page.location)
        response.set_header("Location", *page.location);
    response.set_content(page.html, htmlType);
}

std::string EmulatorServer::mailboxFor(const std::string& token) const {
    if (const auto mailbox = oauth_.gmailMailbox(token, OAuthState::Clock::now()))
        return *mailbox;
    return state_.mailboxForToken(token);
}

void EmulatorServer::addOAuthRoutes() {
    server_.Get(authorizationPath, [this](const httplib::Request& request, httplib::Response& response) {
        serveBrowser(request, response,
                     [&] { return oauth_.authorize(state_, request.params, OAuthState::Clock::now()); });
    });
    server_.Post(consentPath, [this](const httplib::Request& request, httplib::Response& response) {
        serveBrowser(request, response, [&] {
            return oauth_.decide(state_, form_encoding::decode(request.body).value_or(form_encoding::Pairs{}),
                                 OAuthState::Clock::now());
        });
    });
    server_.Post(tokenPath, [this](const httplib::Request& request, httplib::Response& response) {
        serveOAuth(request, response, [&] { return oauth_.token(formOf(request), OAuthState::Clock::now()); });
    });
    server_.Post(revokePath, [this](const httplib::Request& request, httplib::Response& response) {
        serveOAuth(request, response, [&] {
            // Google takes the token from the form or from the query.
            auto token = request.body.empty() ? std::nullopt : form_encoding::value(formOf(request), "token");
            if (!token && request.has_param("token"))
                token = request.get_param_value("token");
            if (!token)
                throw OAuthError(400, "invalid_request", "Missing required parameter: token");
            oauth_.revoke(*token);
            return json::object();
        });
    });
    server_.Get(userInfoPath, [this](const httplib::Request& request, httplib::Response& response) {
        serveOAuth(request, response,
                   [&] { return oauth_.userInfo(state_, bearerToken(request), OAuthState::Clock::now()); });
    });
}

void EmulatorServer::control(const httplib::Request& request, httplib::Response& response,
                             const ControlAction& action) {
    try {
        const json body = request.body.empty() ? json::object() : json::parse(request.body);
        checkDepth(body, 256);
        json answer;
        {
            std::lock_guard lock(mutex_);
            answer = action(body);
        }
        response.set_content(dump(answer), jsonType);
    } catch (const json::parse_error& error) {
        response.status = 400;
        response.set_content(dump({{"error", std::string("the body is not valid JSON: ") + error.what()}}),
                             jsonType);
    } catch (const BadRequest& error) {
        response.status = 400;
        response.set_content(dump({{"error", error.what()}}), jsonType);
    } catch (const json::exception& error) {
        response.status = 400;
        response.set_content(dump({{"error", error.what()}}), jsonType);
    }
}

void EmulatorServer::addControlRoutes() {
    const std::string base = controlPrefix;
    const auto route = [this](const ControlAction& action) {
        return [this, action](const httplib::Request& request, httplib::Response& response) {
            control(request, response, action);
        };
    };
    server_.Get(base + "mailboxes", route([this](const json&) {
                    return json{{"mailboxes", state_.mailboxSummaries()}};
                }));
    server_.Post(base + "mailboxes", route([this](const json& body) {
                     requireObject(body, "the body");
                     allowOnly(body, {"email", "token"});
                     const auto email = requiredString(body, "email");
                     state_.addMailbox(email, requiredString(body, "token"));
                     return json{{"email", email}, {"historyId", state_.profile(email)["historyId"]}};
                 }));
    server_.Post(base + "messages", route([this](const json& body) {
                     const auto added = state_.addMessage(NewMessage::fromJSON(body), nowMilliseconds());
                     return json{{"id", added.id}, {"threadId", added.threadId}, {"historyId", added.historyId}};
                 }));
    server_.Post(
        base + "messages/delete", route([this](const json& body) {
            requireObject(body, "the body");
            allowOnly(body, {"mailbox", "id"});
            const auto id = requiredString(body, "id");
            return json{{"id", id}, {"historyId", state_.deleteMessage(optionalString(body, "mailbox"), id)}};
        }));
    server_.Post(base + "history/expire", route([this](const json& body) {
                     requireObject(body, "the body");
                     allowOnly(body, {"mailbox"});
                     return json{{"expired", state_.expireHistory(optionalString(body, "mailbox"))}};
                 }));
    server_.Post(base + "history/page-size", route([this](const json& body) {
                     requireObject(body, "the body");
                     allowOnly(body, {"size"});
                     const auto size = optionalInteger(body, "size", 1, 500);
                     if (!size)
                         throw BadRequest("\"size\" is required");
                     state_.setHistoryPageSize(static_cast<std::size_t>(*size));
                     return json{{"size", *size}};
                 }));
    server_.Post(base + "faults", route([this](const json& body) {
                     requireObject(body, "the body");
                     const auto path = requiredString(body, "path");
                     if (!path.starts_with("/") || path.find_first_of("?# ") != std::string::npos)
                         throw BadRequest("\"path\" must be an absolute path without a query, such as " +
                                          std::string(gmailPrefix) + "history");
                     auto& queue = faults_[path];
                     queue.push_back(Fault::fromJSON(body));
                     return json{{"path", path}, {"pending", queue.size()}};
                 }));
    server_.Get(base + "faults", route([this](const json&) {
                    json faults = json::object();
                    for (const auto& [path, queue] : faults_)
                        for (const auto& fault : queue)
                            faults[path].push_back(fault.toJSON());
                    return json{{"faults", faults}};
                }));
    server_.Post(base + "faults/clear", route([this](const json&) {
                     std::size_t cleared = 0;
                     for (const auto& [path, queue] : faults_)
                         cleared += queue.size();
                     faults_.clear();
                     return json{{"cleared", cleared}};
                 }));
    server_.Get(base + "counters", route([this](const json&) { return countersJSON(); }));
    server_.Get(base + "gmail/requests", route([this](const json&) {
                    json requests = json::array();
                    for (const auto& logged : counters_.gmailRequests)
                        requests.push_back({{"path", logged.path},
                                            {"query", logged.query},
                                            {"mailbox", logged.mailbox},
                                            {"at", logged.at}});
                    return json{{"requests", requests}};
                }));
    server_.Post(base + "counters/reset", route([this](const json&) {
                     counters_ = Counters{};
                     oauth_.clearRequests();
                     return countersJSON();
                 }));
    addOAuthControlRoutes(route);
    const auto unknown = [](const httplib::Request& request, httplib::Response& response) {
        response.status = 404;
        response.set_content(dump({{"error", "no control route " + request.method + " " + request.path}}),
                             jsonType);
    };
    server_.Get(base + ".*", unknown);
    server_.Post(base + ".*", unknown);
}

void EmulatorServer::addOAuthControlRoutes(
    const std::function<httplib::Server::Handler(const ControlAction&)>& route) {
    const std::string base = std::string(controlPrefix) + "oauth/";
    server_.Post(base + "client", route([this](const json& body) { return oauth_.setClient(body); }));
    server_.Get(base + "settings", route([this](const json&) { return oauth_.settingsJSON(); }));
    server_.Post(base + "settings", route([this](const json& body) { return oauth_.updateSettings(state_, body); }));
    server_.Post(base + "accounts", route([this](const json& body) { return oauth_.setAccount(state_, body); }));
    server_.Post(base + "grants", route([this](const json& body) {
                     return oauth_.addGrant(state_, body, OAuthState::Clock::now());
                 }));
    server_.Get(base + "grants", route([this](const json&) { return oauth_.grantsJSON(); }));
    server_.Post(base + "grants/revoke",
                 route([this](const json& body) { return oauth_.revokeGrants(state_, body); }));
    server_.Get(base + "requests", route([this](const json&) { return json{{"requests", oauth_.requestsJSON()}}; }));
}

} // namespace larkpin::emulator
