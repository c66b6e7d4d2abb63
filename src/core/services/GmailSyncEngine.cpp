#include "core/services/GmailSyncEngine.h"

namespace larkpin {

GmailSyncEngine::GmailSyncEngine(LocalStore& store, OTPExtractor extractor, std::shared_ptr<const Clock> clock)
    : store_(store)
    , extractor_(std::move(extractor))
    , clock_(std::move(clock))
{
}

SyncResult GmailSyncEngine::sync(const GmailAccount& account, const GmailAPIClient& client)
{
    const std::lock_guard lock(mutex_);
    SyncResult result;
    std::vector<std::string> messageIDs;

    const auto boundedResync = [&] {
        // The history id is read before listing, so a message arriving in between is picked up by
        // the next incremental sync instead of being lost.
        result.historyID = client.profile().historyId;
        messageIDs = client.recentMessageIDs(boundedResyncSize);
        result.performedFullSync = true;
    };
    if (!account.lastHistoryID) {
        boundedResync();
    } else {
        try {
            auto page = client.history(*account.lastHistoryID);
            messageIDs = std::move(page.messageIDs);
            result.historyID = std::move(page.historyID);
        } catch (const GmailAPIClient::APIError& error) {
            if (error.kind() != GmailAPIClient::APIError::Kind::invalidHistory)
                throw;
            boundedResync();
        }
    }

    for (const auto& messageID : messageIDs)
        if (store_.claim(messageID, account.id))
            handle(messageID, account, client, result);

    store_.updateSync(account.id, result.historyID, clock_->now());
    store_.prune(clock_->now() - Seconds(codeRetentionAfterExpiry));
    return result;
}

void GmailSyncEngine::handle(const std::string& messageID, const GmailAccount& account,
                             const GmailAPIClient& client, SyncResult& result)
{
    try {
        const auto message = client.message(messageID);
        ++result.fetchedMessages;
        if (const auto code = extractor_.extract(message.content(account.email, clock_->now()))) {
            store_.save(*code);
            ++result.newCodes;
        }
        store_.complete(messageID, account.id);
    } catch (const GmailAPIClient::APIError& error) {
        if (error.kind() == GmailAPIClient::APIError::Kind::response && error.status() == notFoundStatus) {
            // Deleted since it was listed: nothing to handle, and nothing to retry.
            store_.complete(messageID, account.id);
            return;
        }
        store_.release(messageID, account.id);
        throw;
    } catch (...) {
        // Let a later sync retry the message. Should the release fail, its error is the one reported.
        store_.release(messageID, account.id);
        throw;
    }
}

} // namespace larkpin
