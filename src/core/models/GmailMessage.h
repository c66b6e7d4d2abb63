#pragma once

#include "core/models/EmailContent.h"
#include "core/support/TimePoint.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkpin {

/// One Gmail message fetched in full format, and its conversion into the text the extractor reads.
struct GmailMessage {
    /// One node of the MIME tree; every field may be missing.
    struct Payload {
        struct Header {
            std::string name;
            std::string value;
            friend bool operator==(const Header&, const Header&) = default;
        };
        struct Body {
            std::optional<std::string> data; ///< base64url (standard base64 is read too)
            friend bool operator==(const Body&, const Body&) = default;
        };

        std::optional<std::string> mimeType;
        std::optional<std::vector<Header>> headers;
        std::optional<Body> body;
        std::optional<std::vector<Payload>> parts;

        friend bool operator==(const Payload&, const Payload&) = default;
    };

    /// The walk over the parts stops at these limits, so a hostile or huge message costs little.
    static constexpr int maximumDepth = 20;
    static constexpr std::int64_t maximumParts = 200;
    static constexpr std::int64_t maximumBodyBytes = 1'000'000;

    std::string id;
    std::optional<std::string> internalDate; ///< milliseconds since 1970 as decimal text
    std::optional<Payload> payload;

    /// Subject, sender, the plain and HTML bodies and the received time. Never fails: a missing or
    /// unreadable `internalDate` gives `now`.
    EmailContent content(const std::string& accountEmail, TimePoint now) const;

    struct Bodies {
        std::vector<std::string> plain;
        std::vector<std::string> html;
    };
    /// Depth-first walk, parent before children, spending the shared part and byte budgets.
    static Bodies collectBodies(const Payload& payload, int depth, std::int64_t& remainingParts,
                                std::int64_t& remainingBytes);
    /// Strict base64url, which also reads standard base64's "+" and "/": any character outside both
    /// alphabets fails. Bytes that are not UTF-8 are read as Latin-1. More than `maximumBytes`
    /// decoded bytes give nothing.
    static std::optional<std::string> decodeBase64URL(std::string_view text, std::int64_t maximumBytes);

    friend bool operator==(const GmailMessage&, const GmailMessage&) = default;
};

} // namespace larkpin
