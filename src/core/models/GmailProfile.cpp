#include "core/models/GmailProfile.h"

#include "core/models/JSONFields.h"

namespace larkpin {

void from_json(const nlohmann::json& document, GmailProfile& profile)
{
    profile = GmailProfile{
        .emailAddress = json_fields::required<std::string>(document, "emailAddress"),
        .historyId = json_fields::required<std::string>(document, "historyId"),
    };
}

} // namespace larkpin
