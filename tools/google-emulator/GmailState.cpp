#include "GmailState.h"

#include "BadRequest.h"
#include "GmailError.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>

namespace larkpin::emulator {

using nlohmann::json;

namespace {

constexpr std::int64_t millisecondsPerDay = 24LL * 60 * 60 * 1000;
constexpr std::uint64_t firstHistoryIdStep = 10000; // each mailbox starts at its own distinct history id

std::optional<std::uint64_t> decimal(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<std::string> parameter(const GmailState::Params& query, const std::string& name) {
    const auto found = query.find(name);
    if (found == query.end())
        return std::nullopt;
    return found->second;
}

/// RFC 5322 date in UTC, written without the C library's locale.
std::string mailDate(std::int64_t milliseconds) {
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    std::tm utc{};
    if (::gmtime_r(&seconds, &utc) == nullptr)
        return "Thu, 01 Jan 1970 00:00:00 +0000";
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", days[utc.tm_wday], utc.tm_mday,
                  months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string domainOf(const std::string& address) {
    const auto at = address.rfind('@');
    if (at == std::string::npos)
        return "emulator.example";
    const auto end = address.find_first_of("> ", at);
    const auto domain = address.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    return domain.empty() ? "emulator.example" : domain;
}

/// Gmail's snippet: the start of the visible text on one line, cut on a character boundary.
std::string snippetOf(const std::string& text) {
    constexpr std::size_t limit = 120;
    std::string out;
    bool space = false;
    for (const char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            space = !out.empty();
            continue;
        }
        if (space)
            out += ' ';
        space = false;
        out += c;
        if (out.size() >= limit)
            break;
    }
    // A cut in the middle of a multi-byte character leaves a lead byte with too few followers.
    std::size_t i = out.size();
    while (i > 0 && (static_cast<unsigned char>(out[i - 1]) & 0xC0) == 0x80)
        --i;
    if (i > 0) {
        const auto lead = static_cast<unsigned char>(out[i - 1]);
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (out.size() - (i - 1) < length)
            out.resize(i - 1);
    }
    return out;
}

json messageReference(const std::string& id, const std::string& threadId) {
    return {{"id", id}, {"threadId", threadId}};
}

} // namespace

void GmailState::addMailbox(const std::string& email, const std::string& token) {
    if (email.empty() || email.find('@') == std::string::npos)
        throw BadRequest("\"email\" must be an e-mail address");
    if (token.empty() || token.find_first_of(" \t\r\n") != std::string::npos)
        throw BadRequest("\"token\" must be non-empty text without white space");
    for (const auto& mailbox : mailboxes_)
        if (mailbox.email == email)
            throw BadRequest("mailbox " + email + " already exists");
    if (tokens_.contains(token))
        throw BadRequest("the token already opens another mailbox");
    Mailbox mailbox;
    mailbox.email = email;
    mailbox.historyId = firstHistoryIdStep * (mailboxes_.size() + 1);
    mailbox.oldestStart = mailbox.historyId;
    mailboxes_.push_back(std::move(mailbox));
    tokens_.emplace(token, email);
}

const std::string& GmailState::mailboxForToken(const std::string& token) const {
    const auto found = tokens_.find(token);
    if (found == tokens_.end())
        throw GmailError(401,
                         "Request had invalid authentication credentials. Expected OAuth 2 access token, "
                         "login cookie or other valid authentication credential.");
    return found->second;
}

GmailState::Mailbox& GmailState::mailboxNamed(const std::optional<std::string>& email) {
    if (mailboxes_.empty())
        throw BadRequest("add a mailbox first");
    if (!email)
        return mailboxes_.front();
    for (auto& mailbox : mailboxes_)
        if (mailbox.email == *email)
            return mailbox;
    throw BadRequest("no mailbox " + *email);
}

const GmailState::Mailbox& GmailState::mailboxNamed(const std::string& email) const {
    for (const auto& mailbox : mailboxes_)
        if (mailbox.email == email)
            return mailbox;
    throw GmailError(404, "Requested entity was not found.");
}

std::string GmailState::newMessageId(const Mailbox& mailbox) {
    for (;;) {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random_()));
        if (!mailbox.messages.contains(text))
            return text;
    }
}

GmailState::Added GmailState::addMessage(const NewMessage& request, std::int64_t nowMilliseconds) {
    Mailbox& mailbox = mailboxNamed(request.mailbox);
    StoredMessage message;
    message.id = request.id ? *request.id : newMessageId(mailbox);
    message.threadId = request.threadId.value_or(message.id);
    message.labelIds =
        request.labelIds.value_or(std::vector<std::string>{"UNREAD", "CATEGORY_UPDATES", "INBOX"});

    std::int64_t received = nowMilliseconds;
    if (request.receivedAt)
        received = std::llround(*request.receivedAt * 1000.0);
    else if (request.age)
        received = nowMilliseconds - std::llround(*request.age * 1000.0);
    message.internalDate = std::to_string(received);
    if (request.internalDate) {
        const json& given = *request.internalDate;
        if (given.is_null())
            message.internalDate.reset();
        else
            message.internalDate = given.is_string() ? given.get<std::string>() : given.dump();
        // An odd served value still needs a time for ordering and the newer_than search.
        const auto parsed = message.internalDate ? decimal(*message.internalDate) : std::nullopt;
        if (parsed)
            received = static_cast<std::int64_t>(*parsed);
    }
    message.receivedMilliseconds = received;

    if (request.structure == MimePayload::Structure::Raw) {
        message.payload = request.payload;
    } else {
        const std::vector<MimePayload::Header> headers = {
            {"MIME-Version", "1.0"},
            {"Date", mailDate(received)},
            {"Message-ID", "<" + message.id + "@" + domainOf(request.from) + ">"},
            {"Subject", request.subject},
            {"From", request.from},
            {"To", request.to.value_or(mailbox.email)},
        };
        message.payload =
            MimePayload::build(request.structure, headers, request.plain, request.html, message.id);
    }
    const std::string visible =
        request.plain.empty() ? MimePayload::plainFromHTML(request.html) : request.plain;
    message.snippet = request.snippet.value_or(snippetOf(visible));
    message.sizeEstimate = message.payload.is_null() ? 0 : message.payload.dump().size();

    message.historyId = ++mailbox.historyId;
    message.sequence = ++sequence_;
    mailbox.history.push_back(
        {message.historyId, Change::Added, message.id, message.threadId, message.labelIds});
    Added added{message.id, message.threadId, std::to_string(message.historyId)};
    mailbox.messages.insert_or_assign(message.id, std::move(message));
    return added;
}

std::string GmailState::deleteMessage(const std::optional<std::string>& email, const std::string& id) {
    Mailbox& mailbox = mailboxNamed(email);
    const auto found = mailbox.messages.find(id);
    if (found == mailbox.messages.end() || found->second.deleted)
        throw BadRequest("no message " + id + " in " + mailbox.email);
    StoredMessage& message = found->second;
    message.deleted = true;
    mailbox.history.push_back(
        {++mailbox.historyId, Change::Deleted, message.id, message.threadId, message.labelIds});
    return std::to_string(mailbox.historyId);
}

json GmailState::expireHistory(const std::optional<std::string>& email) {
    json expired = json::array();
    const auto expire = [&](Mailbox& mailbox) {
        mailbox.oldestStart = mailbox.historyId;
        expired.push_back({{"mailbox", mailbox.email}, {"historyId", std::to_string(mailbox.historyId)}});
    };
    if (email) {
        expire(mailboxNamed(email));
    } else {
        for (auto& mailbox : mailboxes_)
            expire(mailbox);
    }
    return expired;
}

json GmailState::mailboxSummaries() const {
    json list = json::array();
    for (const auto& mailbox : mailboxes_) {
        const auto live = std::count_if(mailbox.messages.begin(), mailbox.messages.end(),
                                        [](const auto& entry) { return !entry.second.deleted; });
        list.push_back({{"email", mailbox.email},
                        {"historyId", std::to_string(mailbox.historyId)},
                        {"oldestHistoryId", std::to_string(mailbox.oldestStart)},
                        {"messages", live}});
    }
    return list;
}

std::vector<std::string> GmailState::mailboxAddresses() const {
    std::vector<std::string> addresses;
    for (const auto& mailbox : mailboxes_)
        addresses.push_back(mailbox.email);
    return addresses;
}

json GmailState::profile(const std::string& email) const {
    const Mailbox& mailbox = mailboxNamed(email);
    std::size_t messages = 0;
    std::set<std::string> threads;
    for (const auto& [id, message] : mailbox.messages) {
        if (message.deleted)
            continue;
        ++messages;
        threads.insert(message.threadId);
    }
    return {{"emailAddress", mailbox.email},
            {"messagesTotal", messages},
            {"threadsTotal", threads.size()},
            {"historyId", std::to_string(mailbox.historyId)}};
}

json GmailState::listMessages(const std::string& email, const Params& query,
                              std::int64_t nowMilliseconds) const {
    const Mailbox& mailbox = mailboxNamed(email);
    std::size_t maxResults = 100;
    if (const auto text = parameter(query, "maxResults")) {
        const auto value = decimal(*text);
        if (!value || *value == 0)
            throw GmailError(400, "Invalid value for maxResults: " + *text);
        maxResults = std::min<std::uint64_t>(*value, 500); // Gmail's own cap
    }
    std::optional<std::int64_t> newerThan;
    if (const auto q = parameter(query, "q"); q && !q->empty()) {
        // The one search the client makes; anything else would silently differ from Gmail.
        const std::string prefix = "newer_than:";
        const char unit = q->back();
        const std::int64_t days = unit == 'd' ? 1 : unit == 'm' ? 30 : unit == 'y' ? 365 : 0;
        std::uint64_t amount = 0;
        if (q->size() > prefix.size() + 1 && q->starts_with(prefix))
            amount = decimal(q->substr(prefix.size(), q->size() - prefix.size() - 1)).value_or(0);
        if (amount == 0 || amount > 100000 || days == 0)
            throw GmailError(400, "The emulator supports only q=newer_than:<n>d, m or y, not: " + *q);
        newerThan = nowMilliseconds - static_cast<std::int64_t>(amount) * days * millisecondsPerDay;
    }
    std::size_t offset = 0;
    if (const auto token = parameter(query, "pageToken")) {
        const auto value = token->starts_with("L") ? decimal(token->substr(1)) : std::nullopt;
        if (!value)
            throw GmailError(400, "Invalid pageToken");
        offset = *value;
    }

    std::vector<const StoredMessage*> matching;
    for (const auto& [id, message] : mailbox.messages)
        if (!message.deleted && (!newerThan || message.receivedMilliseconds >= *newerThan))
            matching.push_back(&message);
    std::sort(matching.begin(), matching.end(), [](const StoredMessage* a, const StoredMessage* b) {
        if (a->receivedMilliseconds != b->receivedMilliseconds)
            return a->receivedMilliseconds > b->receivedMilliseconds;
        return a->sequence > b->sequence;
    });

    json answer = json::object();
    json listed = json::array();
    for (std::size_t i = offset; i < matching.size() && listed.size() < maxResults; ++i)
        listed.push_back(messageReference(matching[i]->id, matching[i]->threadId));
    const std::size_t next = offset + listed.size();
    // Like Gmail, an empty list has no "messages" key at all.
    if (!listed.empty())
        answer["messages"] = std::move(listed);
    if (next < matching.size())
        answer["nextPageToken"] = "L" + std::to_string(next);
    answer["resultSizeEstimate"] = matching.size();
    return answer;
}

json GmailState::message(const std::string& email, const std::string& id, const Params& query) const {
    const Mailbox& mailbox = mailboxNamed(email);
    const std::string format = parameter(query, "format").value_or("full");
    if (format != "full" && format != "minimal")
        throw GmailError(400, "The emulator serves only format=full and format=minimal, not: " + format);
    const auto found = mailbox.messages.find(id);
    if (found == mailbox.messages.end() || found->second.deleted)
        throw GmailError(404, "Requested entity was not found.");
    const StoredMessage& message = found->second;
    json answer = {{"id", message.id},
                   {"threadId", message.threadId},
                   {"labelIds", message.labelIds},
                   {"snippet", message.snippet},
                   {"historyId", std::to_string(message.historyId)}};
    if (message.internalDate)
        answer["internalDate"] = *message.internalDate;
    answer["sizeEstimate"] = message.sizeEstimate;
    if (format == "full" && !message.payload.is_null())
        answer["payload"] = message.payload;
    return answer;
}

json GmailState::history(const std::string& email, const Params& query) const {
    const Mailbox& mailbox = mailboxNamed(email);
    const auto startText = parameter(query, "startHistoryId");
    const auto start = startText ? decimal(*startText) : std::nullopt;
    if (!start)
        throw GmailError(400, startText ? "Invalid startHistoryId: " + *startText : "Missing startHistoryId");
    if (*start < mailbox.oldestStart)
        throw GmailError(404, "Requested entity was not found.");
    std::set<Change> wanted;
    const auto [first, last] = query.equal_range("historyTypes");
    for (auto it = first; it != last; ++it) {
        if (it->second == "messageAdded")
            wanted.insert(Change::Added);
        else if (it->second == "messageDeleted")
            wanted.insert(Change::Deleted);
        else if (it->second != "labelAdded" && it->second != "labelRemoved")
            throw GmailError(400, "Invalid value for historyTypes: " + it->second);
    }
    if (first == last)
        wanted = {Change::Added, Change::Deleted};
    std::uint64_t after = *start;
    if (const auto token = parameter(query, "pageToken")) {
        const auto value = token->starts_with("P") ? decimal(token->substr(1)) : std::nullopt;
        if (!value)
            throw GmailError(400, "Invalid pageToken");
        after = std::max(after, *value);
    }

    json records = json::array();
    std::optional<std::uint64_t> lastShown;
    bool more = false;
    for (const auto& record : mailbox.history) {
        if (record.id <= after || !wanted.contains(record.change))
            continue;
        if (records.size() == historyPageSize_) {
            more = true;
            break;
        }
        const json message = {
            {"id", record.messageId}, {"threadId", record.threadId}, {"labelIds", record.labelIds}};
        const char* key = record.change == Change::Added ? "messagesAdded" : "messagesDeleted";
        records.push_back({{"id", std::to_string(record.id)},
                           {"messages", json::array({messageReference(record.messageId, record.threadId)})},
                           {key, json::array({{{"message", message}}})}});
        lastShown = record.id;
    }
    json answer = json::object();
    if (!records.empty())
        answer["history"] = std::move(records);
    if (more)
        answer["nextPageToken"] = "P" + std::to_string(*lastShown);
    answer["historyId"] = std::to_string(mailbox.historyId);
    return answer;
}

} // namespace larkpin::emulator
