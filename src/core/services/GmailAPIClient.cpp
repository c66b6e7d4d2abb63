#include "core/services/GmailAPIClient.h"

#include "core/models/JSONFields.h"
#include "core/support/NumberParsing.h"

#include <nlohmann/json.hpp>

#include <set>
#include <utility>

namespace larkpin {

GmailAPIClient::APIError::APIError(Kind kind, const std::string& description, std::optional<double> retryAfter,
                                   int status)
    : std::runtime_error(description)
    , kind_(kind)
    , retryAfter_(retryAfter)
    , status_(status)
{
}

GmailAPIClient::APIError GmailAPIClient::APIError::rateLimited(std::optional<double> retryAfter)
{
    return APIError(Kind::rateLimited, "Gmail temporarily rate-limited this account.", retryAfter);
}

GmailAPIClient::APIError GmailAPIClient::APIError::response(int status)
{
    return APIError(Kind::response, "Gmail returned HTTP " + std::to_string(status) + ".", std::nullopt, status);
}

GmailAPIClient::APIError GmailAPIClient::APIError::invalidHistory()
{
    return APIError(Kind::invalidHistory, "Gmail history expired; a bounded resync is required.");
}

GmailAPIClient::APIError GmailAPIClient::APIError::unauthorized()
{
    return APIError(Kind::unauthorized, "Gmail authorization expired.");
}

GmailAPIClient::APIError GmailAPIClient::APIError::malformedResponse()
{
    return APIError(Kind::malformedResponse, "Gmail returned a malformed response.");
}

GmailAPIClient::GmailAPIClient(std::shared_ptr<const HTTPSession> session, std::string baseURL,
                               AccessTokenProvider accessToken, std::chrono::milliseconds timeout)
    : session_(std::move(session))
    , baseURL_(std::move(baseURL))
    , accessToken_(std::move(accessToken))
    , timeout_(timeout)
{
}

HTTPSession::Request GmailAPIClient::request(const std::vector<std::string>& segments, const QueryItems& query) const
{
    std::string url = baseURL_;
    for (const auto& segment : segments) {
        if (!url.ends_with('/'))
            url += '/';
        url += HTTPSession::escapePathSegment(segment);
    }
    for (std::size_t i = 0; i < query.size(); ++i)
        url += (i == 0 ? "?" : "&") + HTTPSession::escapeQueryValue(query[i].first) + "="
               + HTTPSession::escapeQueryValue(query[i].second);

    HTTPSession::Request request;
    request.url = url;
    request.headers = {{"Authorization", "Bearer " + accessToken_()}};
    request.timeout = timeout_;
    return request;
}

std::string GmailAPIClient::bodyOf(HTTPSession::Response response, bool isHistory)
{
    if (response.status == 0)
        throw APIError::malformedResponse();
    if (response.status == 401)
        throw APIError::unauthorized();
    if (response.status == 429) {
        const auto retryAfter = response.header("Retry-After");
        throw APIError::rateLimited(retryAfter ? parseFiniteDouble(*retryAfter) : std::nullopt);
    }
    if (response.status == 404 && isHistory)
        throw APIError::invalidHistory();
    if (response.status < 200 || response.status > 299)
        throw APIError::response(static_cast<int>(response.status));
    return std::move(response.body);
}

nlohmann::json GmailAPIClient::get(const std::vector<std::string>& segments, const QueryItems& query) const
{
    try {
        const bool isHistory = !segments.empty() && segments.back() == "history";
        return nlohmann::json::parse(bodyOf(session_->send(request(segments, query)), isHistory));
    } catch (const nlohmann::json::parse_error& error) {
        throw DecodingError(std::string("Gmail's answer is not JSON: ") + error.what());
    }
}

GmailProfile GmailAPIClient::profile() const { return get({"profile"}, {}).get<GmailProfile>(); }

std::vector<std::string> GmailAPIClient::recentMessageIDs(int maxResults) const
{
    const auto document = get({"messages"}, {{"maxResults", std::to_string(maxResults)}, {"q", "newer_than:1d"}});
    std::vector<std::string> ids;
    if (const auto* messages = json_fields::optionalMember(document, "messages")) {
        if (!messages->is_array())
            throw DecodingError("Key \"messages\" must be an array");
        for (const auto& item : *messages)
            ids.push_back(json_fields::required<std::string>(item, "id"));
    }
    return ids;
}

GmailHistoryPage GmailAPIClient::history(const std::string& since) const
{
    std::set<std::string> ids;
    std::set<std::string> seenTokens;
    std::optional<std::string> pageToken;
    for (;;) {
        QueryItems query{{"startHistoryId", since}, {"historyTypes", "messageAdded"}};
        if (pageToken)
            query.emplace_back("pageToken", *pageToken);
        const auto document = get({"history"}, query);

        const auto historyId = json_fields::required<std::string>(document, "historyId");
        const auto nextPageToken = json_fields::optional<std::string>(document, "nextPageToken");
        if (const auto* records = json_fields::optionalMember(document, "history")) {
            if (!records->is_array())
                throw DecodingError("Key \"history\" must be an array");
            for (const auto& record : *records) {
                const auto* added = json_fields::optionalMember(record, "messagesAdded");
                if (added == nullptr)
                    continue;
                if (!added->is_array())
                    throw DecodingError("Key \"messagesAdded\" must be an array");
                for (const auto& entry : *added)
                    ids.insert(json_fields::required<std::string>(json_fields::required<nlohmann::json>(entry, "message"), "id"));
            }
        }
        if (!nextPageToken)
            return GmailHistoryPage{.messageIDs = {ids.begin(), ids.end()}, .historyID = historyId};
        // A server that hands out a token it gave before would keep this loop going for ever.
        if (!seenTokens.insert(*nextPageToken).second)
            throw APIError::malformedResponse();
        pageToken = nextPageToken;
    }
}

GmailMessage GmailAPIClient::message(const std::string& id) const { return requestMessage(id).get(); }

GmailAPIClient::MessageRequest GmailAPIClient::requestMessage(const std::string& id) const noexcept
{
    MessageRequest pending;
    try {
        pending.session_ = session_;
        pending.decoder_ = decoder_;
        pending.transfer_.emplace(session_->start(request({"messages", id}, {{"format", "full"}})));
    } catch (...) {
        pending.failure_ = std::current_exception();
    }
    return pending;
}

void GmailAPIClient::MessageRequest::wait()
{
    if (failure_)
        std::rethrow_exception(std::exchange(failure_, nullptr));
    if (body_)
        return;
    if (!transfer_)
        throw std::logic_error("The message request was already answered.");
    auto transfer = std::move(*transfer_);
    transfer_.reset();
    body_ = bodyOf(transfer.finish(), false);
}

GmailMessage GmailAPIClient::MessageRequest::get()
{
    wait();
    const std::string body = std::move(*body_);
    body_.reset();
    return decoder_->decode(body);
}

} // namespace larkpin
