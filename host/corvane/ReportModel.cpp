#include "ReportModel.h"

#include <QBrush>
#include <QColor>
#include <utility>

namespace corvane {
namespace {

struct Look {
    QColor text;
    QColor background;
};

Look lookOf(cvhost::Outcome outcome) {
    switch (outcome) {
        case cvhost::Outcome::Inserted:
            return {QColor(0x1B, 0x6E, 0x33), QColor(0xE3, 0xF3, 0xE6)};
        case cvhost::Outcome::Renamed:
            return {QColor(0x8A, 0x55, 0x00), QColor(0xFF, 0xF1, 0xD6)};
        case cvhost::Outcome::Present:
            return {QColor(0x1F, 0x4E, 0x8C), QColor(0xE4, 0xEE, 0xFA)};
        case cvhost::Outcome::NotTicked:
            return {QColor(0x6B, 0x6B, 0x6B), QColor(0xF0, 0xF0, 0xF0)};
        case cvhost::Outcome::NotStored:
            break;
    }
    return {QColor(0xA8, 0x1D, 0x16), QColor(0xFC, 0xE4, 0xE2)};
}

}  // namespace

cvhost::ImportReport ReportModel::setReport(cvhost::ImportReport report) {
    beginResetModel();
    cvhost::ImportReport before = std::exchange(report_, std::move(report));
    endResetModel();
    return before;
}

int ReportModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(report_.rows.size());
}

int ReportModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ReportModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= report_.rows.size()) return {};
    const cvhost::ReportRow& row = report_.rows[index.row()];
    if (role == Qt::UserRole) return cvhost::outcomeName(row.outcome);
    if (index.column() == Outcome && (role == Qt::ForegroundRole || role == Qt::BackgroundRole)) {
        const Look look = lookOf(row.outcome);
        return QBrush(role == Qt::ForegroundRole ? look.text : look.background);
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    switch (index.column()) {
        case Outcome:
            return report_.planned ? cvhost::plannedLabel(row.outcome)
                                   : cvhost::outcomeLabel(row.outcome);
        case Name:
            return row.perName;
        case PerUUID:
            return row.perUUID;
        case LoginName:
            return row.loginName;
        case DeptPath:
            return row.deptPath;
        case DeptCode:
            return row.deptCode;
        case Reason:
            return row.reason;
        default:
            return {};
    }
}

QVariant ReportModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const titles[] = {"结果",     "姓名",           "人员编号", "登录名",
                                         "部门路径", "本系统部门编码", "原因"};
    return section >= 0 && section < ColumnCount ? QString::fromUtf8(titles[section]) : QVariant();
}

void PackageModel::setPeople(QList<cvhost::PackagePerson> people) {
    beginResetModel();
    people_ = std::move(people);
    endResetModel();
}

int PackageModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(people_.size());
}

int PackageModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 4; }

QVariant PackageModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= people_.size() ||
        (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    const cvhost::PackagePerson& person = people_[index.row()];
    switch (index.column()) {
        case 0:
            return person.perName;
        case 1:
            return person.perUUID;
        case 2:
            return person.loginName;
        case 3:
            return person.deptPath;
        default:
            return {};
    }
}

QVariant PackageModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const titles[] = {"姓名", "人员编号", "登录名", "部门路径"};
    return section >= 0 && section < 4 ? QString::fromUtf8(titles[section]) : QVariant();
}

}  // namespace corvane
