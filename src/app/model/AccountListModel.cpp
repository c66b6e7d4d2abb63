#include "app/model/AccountListModel.h"

#include "app/model/QtTime.h"

namespace larkpin {

QVariant AccountListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const GmailAccount& account = rows()[index.row()];
    switch (role) {
    case IDRole:
        return QString::fromStdString(account.id);
    case Qt::DisplayRole:
    case EmailRole:
        return QString::fromStdString(account.email);
    case IsEnabledRole:
        return account.isEnabled;
    case LastSyncAtRole:
        return toQDateTime(account.lastSyncAt);
    default:
        return {};
    }
}

QHash<int, QByteArray> AccountListModel::roleNames() const
{
    return {{IDRole, "accountID"},
            {EmailRole, "email"},
            {IsEnabledRole, "isEnabled"},
            {LastSyncAtRole, "lastSyncAt"}};
}

std::string AccountListModel::keyOf(const GmailAccount& account) const
{
    return account.id;
}

} // namespace larkpin
