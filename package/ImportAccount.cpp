#include "ImportAccount.h"

namespace cv {

const QString ImportAccount::ImportName = QStringLiteral("ImportAccount");

ImportAccount::ImportAccount(QObject* parent, QList<AccountRow> rows)
    : QAbstractTableModel(parent), rows_(std::move(rows)) {}

ImportAccount* ImportAccount::attach(QObject& frame, const QString& name, QList<AccountRow> rows) {
    for (QObject* old : frame.findChildren<ImportAccount*>(name, Qt::FindDirectChildrenOnly))
        delete old;
    auto* model = new ImportAccount(&frame, std::move(rows));
    model->setObjectName(name);
    return model;
}

int ImportAccount::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int ImportAccount::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Columns;
}

QVariant ImportAccount::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rows_.size()) return {};
    const AccountRow& row = rows_[index.row()];
    switch (index.column()) {
        case PerUUID:
            return row.perUUID;
        case Outcome:
            return row.outcome;
        case LoginName:
            return row.loginName;
        case DeptCode:
            return row.deptCode;
        case DeptPath:
            return row.deptPath;
        case Reason:
            return row.reason;
        case SourceRow:
            return QString::number(row.sourceRow);
        default:
            return {};
    }
}

QVariant ImportAccount::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const names[Columns] = {"PerUUID",         "outcome", "LoginName", "DeptID",
                                               "department path", "reason",  "source row"};
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= Columns)
        return {};
    return QString::fromLatin1(names[section]);
}

}  // namespace cv
