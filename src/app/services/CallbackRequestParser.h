#pragma once

#include "app/services/LoopbackCallbackServer.h"

#include <string_view>

namespace larkpin {

/// Reads the bytes of the loopback redirect request. Pure: no I/O and no state, so that hostile
/// input can be explored by the fuzzer. Only the request line is examined; headers are ignored.
class CallbackRequestParser {
public:
    /// The authorization code of a GET for `callbackPath` whose query carries exactly one "state"
    /// equal to `expectedState` and exactly one non-empty "code". Otherwise throws
    /// LoopbackCallbackServer::Error, the first failure winning: malformedRequest, invalidMethod,
    /// invalidPath, invalidState (checked before "error" and "code"), oauth(error value),
    /// malformedRequest (an unusable "error" item), missingCode. Query values are percent-decoded.
    static LoopbackCallbackServer::Callback parse(std::string_view request, std::string_view expectedState,
                                                  std::string_view callbackPath);

    /// Byte-wise equality whose running time depends only on the length, so that a client cannot
    /// learn the expected state from how quickly a guess is refused.
    static bool constantTimeEqual(std::string_view a, std::string_view b);
};

} // namespace larkpin
