#pragma once

#include <QAbstractListModel>

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace larkpin {

/// A list of records for QML that is brought up to date in place: rows are removed, moved,
/// inserted and changed one by one, never reset, so that views keep their delegates and a list
/// that did not change redraws nothing. Records are told apart by a unique key.
template <typename Record> class RecordListModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(rows_.size());
    }
    const std::vector<Record>& rows() const { return rows_; }

    /// Makes the rows equal to `next`, whose keys must be unique.
    void update(const std::vector<Record>& next)
    {
        if (rows_ == next)
            return;
        std::unordered_set<std::string> nextKeys;
        for (const auto& record : next)
            nextKeys.insert(keyOf(record));
        for (int row = static_cast<int>(rows_.size()) - 1; row >= 0; --row)
            if (!nextKeys.contains(keyOf(rows_[row]))) {
                beginRemoveRows({}, row, row);
                rows_.erase(rows_.begin() + row);
                endRemoveRows();
            }
        // Every row left is somewhere in `next`: walk it, pulling each record up into its place.
        for (int row = 0; row < static_cast<int>(next.size()); ++row) {
            const std::string key = keyOf(next[row]);
            int found = row;
            while (found < static_cast<int>(rows_.size()) && keyOf(rows_[found]) != key)
                ++found;
            if (found == static_cast<int>(rows_.size())) {
                beginInsertRows({}, row, row);
                rows_.insert(rows_.begin() + row, next[row]);
                endInsertRows();
                continue;
            }
            if (found != row) {
                beginMoveRows({}, found, found, {}, row);
                Record moved = std::move(rows_[found]);
                rows_.erase(rows_.begin() + found);
                rows_.insert(rows_.begin() + row, std::move(moved));
                endMoveRows();
            }
            if (!(rows_[row] == next[row])) {
                rows_[row] = next[row];
                emit dataChanged(index(row), index(row));
            }
        }
    }

protected:
    virtual std::string keyOf(const Record& record) const = 0;

private:
    std::vector<Record> rows_;
};

} // namespace larkpin
