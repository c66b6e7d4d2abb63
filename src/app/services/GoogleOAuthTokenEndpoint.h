#pragma once

#include "app/services/GoogleOAuthToken.h"
#include "core/network/HTTPSession.h"
#include "core/support/Clock.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace larkpin {

/// Google's token endpoint: posts a form (a code exchange or a refresh) and turns the answer into a
/// GoogleOAuthToken or a GoogleOAuthError. Keeps no state.
class GoogleOAuthTokenEndpoint {
public:
    /// Name and value pairs; the wire carries them in this order.
    using Form = std::vector<std::pair<std::string, std::string>>;

    static constexpr std::chrono::seconds timeout{20};

    GoogleOAuthTokenEndpoint() = delete;

    /// POSTs the form to `tokenURL` as application/x-www-form-urlencoded and waits at most
    /// `timeout` for the whole answer. A 2xx answer must hold "access_token" (string) and
    /// "expires_in" (number); `expiresAt` is `clock`'s now on receipt plus "expires_in" seconds.
    /// Any other status is `oauth` when the body is Google's {"error": "..."}, else `response`.
    /// Throws GoogleOAuthError, or HTTPSession::TransportError when no answer arrives.
    static GoogleOAuthToken request(const Form& form, const std::string& tokenURL, const HTTPSession& session,
                                    const Clock& clock);

    /// The form as a body: name=value items joined with "&", each name and value percent-encoded
    /// byte by byte (upper-case hex) except ASCII letters, digits and "-._~/:". A space is %20, a
    /// "+" is %2B; an empty form is an empty body.
    static std::string encodedForm(const Form& form);
};

} // namespace larkpin
