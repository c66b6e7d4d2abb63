#include "app/model/SuggestionRefreshState.h"

#include <unordered_map>

namespace larkpin {
namespace {

std::vector<Uuid> idsOf(const std::vector<OTPCode>& codes)
{
    std::vector<Uuid> ids;
    ids.reserve(codes.size());
    for (const auto& code : codes)
        ids.push_back(code.id);
    return ids;
}

} // namespace

void SuggestionRefreshState::observe(const std::vector<OTPCode>& codes, std::optional<TimePoint> updatedAt)
{
    if (isRefreshing || errorMessage)
        return;
    visibleCodeIDs = idsOf(codes);
    lastUpdatedAt = updatedAt;
}

bool SuggestionRefreshState::begin(const std::vector<OTPCode>& preserving, std::optional<TimePoint> updatedAt)
{
    if (isRefreshing)
        return false;
    if (visibleCodeIDs.empty()) {
        visibleCodeIDs = idsOf(preserving);
        lastUpdatedAt = updatedAt;
    }
    isRefreshing = true;
    errorMessage.reset();
    return true;
}

void SuggestionRefreshState::succeed(const std::vector<OTPCode>& codes, std::optional<TimePoint> updatedAt)
{
    visibleCodeIDs = idsOf(codes);
    lastUpdatedAt = updatedAt;
    isRefreshing = false;
    errorMessage.reset();
    failedAccountIDs.clear();
}

std::vector<OTPCode> SuggestionRefreshState::visibleCodes(const std::vector<OTPCode>& codes) const
{
    std::unordered_map<Uuid, const OTPCode*> byID;
    for (const auto& code : codes)
        byID.emplace(code.id, &code);
    std::vector<OTPCode> visible;
    for (const auto& id : visibleCodeIDs)
        if (const auto found = byID.find(id); found != byID.end())
            visible.push_back(*found->second);
    return visible;
}

} // namespace larkpin
