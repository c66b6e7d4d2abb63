#pragma once

#include <string>
#include <vector>

namespace larkpin {

/// What a history read yields: the messages added since a history id, each once and sorted, and
/// the history id to continue from.
struct GmailHistoryPage {
    std::vector<std::string> messageIDs;
    std::string historyID;

    friend bool operator==(const GmailHistoryPage&, const GmailHistoryPage&) = default;
};

} // namespace larkpin
