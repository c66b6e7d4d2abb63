#pragma once

#include "app/model/RecordListModel.h"
#include "core/models/GmailAccount.h"

namespace larkpin {

/// Connected accounts for QML, one row each, updated in place.
class AccountListModel final : public RecordListModel<GmailAccount> {
    Q_OBJECT

public:
    enum Role { IDRole = Qt::UserRole + 1, EmailRole, IsEnabledRole, LastSyncAtRole };

    using RecordListModel::RecordListModel;

    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

protected:
    std::string keyOf(const GmailAccount& account) const override;
};

} // namespace larkpin
