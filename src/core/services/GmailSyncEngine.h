#pragma once

#include "core/extraction/OTPExtractor.h"
#include "core/models/GmailAccount.h"
#include "core/models/SyncResult.h"
#include "core/services/GmailAPIClient.h"
#include "core/services/LocalStore.h"
#include "core/support/Clock.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace larkpin {

/// Brings one Gmail account up to date: lists what arrived since the account's history id (or the
/// newest messages on a first sync or after Gmail expired that history), handles each message once
/// through the store's claims, saves the codes found and advances the account's position only when
/// every claimed message was handled. Keeps no state of its own between syncs.
class GmailSyncEngine {
public:
    static constexpr int boundedResyncSize = 50;
    static constexpr long notFoundStatus = 404;
    /// Codes stay listed as recent for a day after they expire.
    static constexpr double codeRetentionAfterExpiry = 86'400;

    GmailSyncEngine(LocalStore& store, OTPExtractor extractor,
                    std::shared_ptr<const Clock> clock = SystemClock::shared());

    /// One sync at a time per engine. Errors of the client, the store and the token provider are
    /// passed on unchanged; a failed sync leaves nothing that the next one cannot finish.
    SyncResult sync(const GmailAccount& account, const GmailAPIClient& client);

private:
    /// Messages claimed ahead and handled messages waiting for their commit come in groups of this
    /// size: one commit per group instead of three per message.
    static constexpr std::size_t claimGroupSize = 10;

    struct Handled {
        std::string id;
        std::optional<OTPCode> code;
    };

    void handleAll(const std::vector<std::string>& messageIDs, const GmailAccount& account,
                   const GmailAPIClient& client, SyncResult& result);

    LocalStore& store_;
    const OTPExtractor extractor_;
    std::shared_ptr<const Clock> clock_;
    std::mutex mutex_;
};

} // namespace larkpin
