#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace larkpin::emulator {

/// One misbehaviour queued for a path: it replaces or spoils the next answer there, once.
struct Fault {
    enum class Kind {
        Status,     ///< answer with `status`, `headers` and `body` instead
        Delay,      ///< only wait `delay`, then answer normally
        NotJSON,    ///< answer `status` (2xx by default) with a body that is not JSON
        MissingKey, ///< the normal answer without `key`
        Drop,       ///< announce the normal answer in full, send half of it, close the connection
        Trickle,    ///< send the normal answer `bytes` at a time, one piece every `interval`
        Stall,      ///< send half the normal answer, fall silent for `interval`, then send the rest
    };

    Kind kind = Kind::Delay;
    std::chrono::milliseconds delay{0}; ///< waited before any kind answers
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
    std::optional<std::string> key; ///< MissingKey; absent: the endpoint's main required key
    std::size_t bytes = 0;          ///< Trickle
    std::chrono::milliseconds interval{0}; ///< Trickle and Stall

    /// Reads `{"kind", "delayMs", "status", "headers", "body", "key", "bytes", "intervalMs"}`; the path
    /// is read by the caller.
    static Fault fromJSON(const nlohmann::json& object);
    nlohmann::json toJSON() const;
};

} // namespace larkpin::emulator
