#pragma once

#include "core/support/TimePoint.h"

#include <string>

namespace larkpin {

/// The readable parts of one message, as handed to the extractor. Never persisted.
/// Fields are declared in the order the message's parts are usually given: subject first.
struct EmailContent {
    std::string subject;
    std::string sender;    ///< the From header as the message gives it
    std::string plainText; ///< all plain-text bodies, joined
    std::string htmlText;  ///< all HTML bodies, joined
    TimePoint receivedAt;
    std::string messageID;    ///< Gmail message id
    std::string accountEmail; ///< the mailbox being synced

    friend bool operator==(const EmailContent&, const EmailContent&) = default;
};

} // namespace larkpin

template <> struct std::hash<larkpin::EmailContent> {
    std::size_t operator()(const larkpin::EmailContent& content) const noexcept;
};
