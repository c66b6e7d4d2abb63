#include "app/model/CodeListModel.h"

#include "app/model/QtTime.h"

namespace larkpin {

QVariant CodeListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const OTPCode& code = rows()[index.row()];
    switch (role) {
    case IDRole:
        return QString::fromStdString(code.id.toString());
    case Qt::DisplayRole:
    case ValueRole:
        return QString::fromStdString(code.value);
    case IssuerRole:
        return QString::fromStdString(code.issuer);
    case AccountEmailRole:
        return QString::fromStdString(code.accountEmail);
    case ReceivedAtRole:
        return toQDateTime(code.receivedAt);
    case ExpiresAtRole:
        return toQDateTime(code.expiresAt);
    case UsedAtRole:
        return toQDateTime(code.usedAt);
    case IsUsedRole:
        return code.isUsed();
    default:
        return {};
    }
}

QHash<int, QByteArray> CodeListModel::roleNames() const
{
    return {{IDRole, "codeID"},
            {ValueRole, "value"},
            {IssuerRole, "issuer"},
            {AccountEmailRole, "accountEmail"},
            {ReceivedAtRole, "receivedAt"},
            {ExpiresAtRole, "expiresAt"},
            {UsedAtRole, "usedAt"},
            {IsUsedRole, "isUsed"}};
}

std::string CodeListModel::keyOf(const OTPCode& code) const
{
    const auto& bytes = code.id.bytes();
    return std::string(bytes.begin(), bytes.end());
}

} // namespace larkpin
