#pragma once

#include "app/model/RecordListModel.h"
#include "core/models/OTPCode.h"

namespace larkpin {

/// Codes for QML, one row each, updated in place.
class CodeListModel final : public RecordListModel<OTPCode> {
    Q_OBJECT

public:
    enum Role {
        IDRole = Qt::UserRole + 1,
        ValueRole,
        IssuerRole,
        AccountEmailRole,
        ReceivedAtRole,
        ExpiresAtRole,
        UsedAtRole,
        IsUsedRole
    };

    using RecordListModel::RecordListModel;

    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

protected:
    std::string keyOf(const OTPCode& code) const override;
};

} // namespace larkpin
