#pragma once

#include "app/model/QtTime.h"
#include "core/models/OTPCode.h"
#include "core/support/TimePoint.h"
#include "core/support/Uuid.h"

#include <QObject>
#include <QString>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace larkpin {

/// What the suggestion panel shows about a user-started refresh. While a refresh runs, or while its
/// failure is shown, the listed codes stay frozen so that rows do not jump under the pointer.
/// QML reads it through the properties.
struct SuggestionRefreshState {
    Q_GADGET
    Q_PROPERTY(bool isRefreshing MEMBER isRefreshing)
    Q_PROPERTY(QString errorMessage READ errorText)
    Q_PROPERTY(QDateTime lastUpdatedAt READ lastUpdated)

public:
    std::vector<Uuid> visibleCodeIDs;       ///< in display order
    std::optional<TimePoint> lastUpdatedAt; ///< the last complete sync
    bool isRefreshing = false;
    std::optional<std::string> errorMessage; ///< the last refresh failure
    std::set<std::string> failedAccountIDs;  ///< accounts whose last refresh failed

    /// Follows the current codes, unless a refresh runs or its error is shown.
    void observe(const std::vector<OTPCode>& codes, std::optional<TimePoint> lastUpdatedAt);
    /// Marks a refresh as running, freezing `codes` unless codes are already listed. False, and no
    /// change, while a refresh already runs.
    bool begin(const std::vector<OTPCode>& preserving, std::optional<TimePoint> lastUpdatedAt);
    /// Ends the refresh well: shows `codes` and forgets every failure.
    void succeed(const std::vector<OTPCode>& codes, std::optional<TimePoint> lastUpdatedAt);
    /// The listed codes still among `codes`, in the listed order.
    std::vector<OTPCode> visibleCodes(const std::vector<OTPCode>& codes) const;

    /// The error message, empty when there is none.
    QString errorText() const { return errorMessage ? QString::fromStdString(*errorMessage) : QString(); }
    /// Invalid when no complete sync is known.
    QDateTime lastUpdated() const { return toQDateTime(lastUpdatedAt); }

    friend bool operator==(const SuggestionRefreshState&, const SuggestionRefreshState&) = default;
};

} // namespace larkpin
