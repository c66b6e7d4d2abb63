#include "core/services/GmailSyncEngine.h"

#include <deque>
#include <optional>
#include <vector>

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

    handleAll(messageIDs, account, client, result);
    store_.updateSync(account.id, result.historyID, clock_->now());
    store_.prune(clock_->now() - Seconds(codeRetentionAfterExpiry));
    return result;
}

void GmailSyncEngine::handleAll(const std::vector<std::string>& messageIDs, const GmailAccount& account,
                                const GmailAPIClient& client, SyncResult& result)
{
    // The round trips to Gmail set the pace of a sync, so nothing else waits on the connection: the
    // next request goes out as soon as an answer is in and the answered message is converted and
    // searched while Gmail works on the next; and the database is written once per group of
    // messages rather than three times per message, each commit saving and completing what was
    // handled since the last one and claiming the next group. Every message still goes claim,
    // fetch, convert, extract, save, complete, its claim committed before it is requested. On
    // failure, what was handled is committed and every other claim released.
    std::deque<std::size_t> held;   // claimed and not yet handled, in order; the first is on its way
    std::vector<Handled> handled;   // handled since the last commit
    std::size_t unclaimed = 0;      // where claiming goes on

    const auto saveAndComplete = [&](const Handled& message) {
        if (message.code)
            store_.save(*message.code);
        store_.complete(message.id, account.id);
    };
    const auto commit = [&](std::size_t claims) {
        std::vector<std::size_t> claimed;
        store_.transaction([&] {
            for (const auto& message : handled)
                saveAndComplete(message);
            for (; claimed.size() < claims && unclaimed < messageIDs.size(); ++unclaimed)
                if (store_.claim(messageIDs[unclaimed], account.id))
                    claimed.push_back(unclaimed);
        });
        handled.clear();
        held.insert(held.end(), claimed.begin(), claimed.end());
    };
    const auto claimAhead = [&](std::size_t count) {
        if (held.size() < count && unclaimed < messageIDs.size())
            commit(claimGroupSize);
    };

    try {
        claimAhead(2);
        std::optional<GmailAPIClient::MessageRequest> request;
        if (!held.empty())
            request = client.requestMessage(messageIDs[held.front()]);
        while (request) {
            auto answered = std::move(*request);
            request.reset();
            bool deleted = false;
            try {
                answered.wait();
            } catch (const GmailAPIClient::APIError& error) {
                // Deleted since it was listed: nothing to handle, and nothing to retry.
                deleted = error.kind() == GmailAPIClient::APIError::Kind::response && error.status() == notFoundStatus;
                if (!deleted)
                    throw;
            }
            claimAhead(2); // a safety net: the commit below keeps two messages claimed ahead
            if (held.size() > 1)
                request = client.requestMessage(messageIDs[held[1]]);
            claimAhead(3); // the one after next, while Gmail answers

            Handled message{.id = messageIDs[held.front()], .code = std::nullopt};
            if (!deleted) {
                message.code = extractor_.extract(answered.get().content(account.email, clock_->now()));
                ++result.fetchedMessages;
                if (message.code)
                    ++result.newCodes;
            }
            handled.push_back(std::move(message));
            held.pop_front();
        }
        if (!handled.empty())
            commit(0);
    } catch (...) {
        // What was handled is committed message by message, in order, as far as it goes: one that
        // cannot be saved must keep neither the messages before it from their codes nor itself
        // and the later ones from being released. Should a release fail, its error is the one
        // reported; a later sync takes over what is left pending once its claim has gone stale.
        std::size_t committed = 0;
        try {
            for (; committed < handled.size(); ++committed)
                store_.transaction([&] { saveAndComplete(handled[committed]); });
        } catch (...) {
        }
        for (auto message = handled.begin() + static_cast<std::ptrdiff_t>(committed); message != handled.end(); ++message)
            store_.release(message->id, account.id);
        for (const auto index : held)
            store_.release(messageIDs[index], account.id);
        throw;
    }
}

} // namespace larkpin
