#include "app/services/Bundle.h"

#include "app/services/BundleValues.h"

#include <utility>

namespace larkpin {

Bundle::Bundle(Values values)
    : values_(std::move(values))
{
}

Bundle Bundle::main()
{
    Values values;
    // An empty build option means "not configured", so that the next key in a lookup order is tried.
    const auto add = [&values](std::string key, std::string_view value) {
        if (!value.empty())
            values.emplace(std::move(key), std::string(value));
    };
    add("GoogleOAuthClientID", bundle_values::googleOAuthClientID);
    add("GIDClientID", bundle_values::gidClientID);
    add("GoogleOAuthClientSecret", bundle_values::googleOAuthClientSecret);
    return Bundle(std::move(values));
}

std::optional<Bundle::Value> Bundle::object(std::string_view key) const
{
    const auto found = values_.find(key);
    if (found == values_.end())
        return std::nullopt;
    return found->second;
}

} // namespace larkpin
