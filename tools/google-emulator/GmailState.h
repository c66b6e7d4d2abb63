#pragma once

#include "NewMessage.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace larkpin::emulator {

/// The mailboxes behind the emulator and Gmail's answers about them. Not thread-safe: the server
/// holds one lock around every call. Control mistakes throw BadRequest; requests Gmail would refuse
/// throw GmailError with Gmail's status.
class GmailState {
public:
    using Params = std::multimap<std::string, std::string>;

    struct Added {
        std::string id;
        std::string threadId;
        std::string historyId;
    };

    void addMailbox(const std::string& email, const std::string& token);
    /// The address of the mailbox the token opens; GmailError 401 for any other token.
    const std::string& mailboxForToken(const std::string& token) const;
    Added addMessage(const NewMessage& message, std::int64_t nowMilliseconds);
    /// Marks the message deleted (fetching it answers 404; its history records stay) and returns the
    /// new history id.
    std::string deleteMessage(const std::optional<std::string>& mailbox, const std::string& id);
    /// From now on a history start point before the current history id answers 404. No mailbox
    /// means all of them. Returns each expired mailbox with its current history id.
    nlohmann::json expireHistory(const std::optional<std::string>& mailbox);
    void setHistoryPageSize(std::size_t size) { historyPageSize_ = size; }
    nlohmann::json mailboxSummaries() const;
    /// Every mailbox's address, in the order added.
    std::vector<std::string> mailboxAddresses() const;

    // Gmail's answers, as JSON bodies of a 200.
    nlohmann::json profile(const std::string& mailbox) const;
    nlohmann::json listMessages(const std::string& mailbox, const Params& query,
                                std::int64_t nowMilliseconds) const;
    nlohmann::json message(const std::string& mailbox, const std::string& id, const Params& query) const;
    nlohmann::json history(const std::string& mailbox, const Params& query) const;

private:
    struct StoredMessage {
        std::string id;
        std::string threadId;
        std::vector<std::string> labelIds;
        std::optional<std::string> internalDate; ///< as served; absent leaves the key out
        std::int64_t receivedMilliseconds = 0;   ///< for ordering and newer_than
        std::uint64_t historyId = 0;             ///< of its latest addition
        std::uint64_t sequence = 0;              ///< order of insertion, for equal times
        nlohmann::json payload;                  ///< null: no payload
        std::string snippet;
        std::size_t sizeEstimate = 0;
        bool deleted = false;
    };
    enum class Change { Added, Deleted };
    struct HistoryRecord {
        std::uint64_t id = 0;
        Change change = Change::Added;
        std::string messageId;
        std::string threadId;
        std::vector<std::string> labelIds;
    };
    struct Mailbox {
        std::string email;
        std::uint64_t historyId = 0;
        std::uint64_t oldestStart = 0; ///< the earliest start point history still answers for
        std::map<std::string, StoredMessage> messages;
        std::vector<HistoryRecord> history; ///< in ascending id order
    };

    Mailbox& mailboxNamed(const std::optional<std::string>& email);
    const Mailbox& mailboxNamed(const std::string& email) const;
    std::string newMessageId(const Mailbox& mailbox);

    std::vector<Mailbox> mailboxes_; ///< in the order added; the first is the default
    std::map<std::string, std::string> tokens_;
    std::size_t historyPageSize_ = 100;
    std::uint64_t sequence_ = 0;
    std::mt19937_64 random_{std::random_device{}()};
};

} // namespace larkpin::emulator
