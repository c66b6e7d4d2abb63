#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace larkpin {

/// The application's build-time values, looked up by key ("GoogleOAuthClientID", "GIDClientID",
/// "GoogleOAuthClientSecret"). `main()` holds the values compiled in through the CMake cache
/// variables LARKPIN_GOOGLE_OAUTH_CLIENT_ID, LARKPIN_GID_CLIENT_ID and
/// LARKPIN_GOOGLE_OAUTH_CLIENT_SECRET; tests build a bundle of their own.
class Bundle {
public:
    /// A build-time value. Lookups that want text treat the other types as missing.
    using Value = std::variant<std::string, std::int64_t, bool>;
    using Values = std::map<std::string, Value, std::less<>>;

    explicit Bundle(Values values = {});

    /// The values this build was configured with. A cache variable left empty is not in the bundle.
    static Bundle main();

    /// The value under `key`, or nothing when the key is absent.
    std::optional<Value> object(std::string_view key) const;

private:
    Values values_;
};

} // namespace larkpin
