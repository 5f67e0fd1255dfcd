#include "ImportAccount.h"

#include <utility>

#include "DeptPathNames.h"
#include "Heartbeat.h"
#include "TDM_PersonPack.h"

namespace cv {
namespace {

QString outcomeName(ItemPlan::Outcome outcome) {
    switch (outcome) {
        case ItemPlan::Outcome::Present:
            return QStringLiteral("present");
        case ItemPlan::Outcome::Inserted:
            return QStringLiteral("inserted");
        case ItemPlan::Outcome::Renamed:
            return QStringLiteral("renamed");
        default:
            return QStringLiteral("not stored");
    }
}

}  // namespace

AccountBuilder::AccountBuilder(qsizetype people, bool planned) : planned_(planned) {
    rows_.reserve(people);
}

void AccountBuilder::add(const TickedPerson& ticked, const ImportItem& item,
                         const WindowedImport::Result* result) {
    heartbeat();
    AccountRow& row = rows_.emplace_back();
    row.perUUID = ticked.id;
    row.sourceRow = ticked.row;
    if (!result || !result->reached) {
        row.outcome = QStringLiteral("not stored");
        row.deptPath = item.deptPath;
        unreached_.push_back(rows_.size() - 1);
        return;
    }
    row.outcome = outcomeName(result->outcome);
    row.reason = result->reason;
    const bool stored = result->outcome == ItemPlan::Outcome::Inserted ||
                        result->outcome == ItemPlan::Outcome::Renamed;
    if (stored) {
        row.loginName = result->loginName;
        row.deptCode = result->deptCode;
        // A plan's new departments are not in the store yet: their path is the package's.
        if (planned_) {
            row.deptPath = item.deptPath;
        } else {
            row.deptPath = QStringLiteral("");
            if (!row.deptCode.isEmpty()) stored_.push_back(rows_.size() - 1);
        }
        if (result->outcome == ItemPlan::Outcome::Renamed)
            row.reason = QStringLiteral("要导入的注册名") + item.person.LoginName +
                         QStringLiteral("已经存在,已经被改为") + row.loginName;
    } else {
        row.deptPath = item.deptPath;
    }
}

QList<AccountRow> AccountBuilder::finish(const QString& notReached) {
    for (const qsizetype row : unreached_) rows_[row].reason = notReached;
    if (!stored_.empty()) {
        // This installation's paths of the codes the people were stored under: one read.
        try {
            if (TDM_PersonPack* module = TDM_PersonPack::instance()) {
                DeptPaths paths(module->readTexts(DeptNamesSql()));
                for (const qsizetype row : stored_) {
                    heartbeat();
                    rows_[row].deptPath = paths.pathOf(rows_[row].deptCode);
                }
            }
        } catch (const std::exception&) {
            // The account still names the codes.
        }
    }
    unreached_.clear();
    stored_.clear();
    return std::exchange(rows_, {});
}

QList<AccountRow> AccountOf(const QList<TickedPerson>& ticked, const QList<ImportItem>& items,
                            const QList<WindowedImport::Result>& results, const QString& notReached,
                            bool planned) {
    AccountBuilder account(ticked.size(), planned);
    for (qsizetype i = 0; i < ticked.size(); ++i)
        account.add(ticked[i], items[i], i < results.size() ? &results[i] : nullptr);
    return account.finish(notReached);
}

const QString ImportAccount::ImportName = QStringLiteral("ImportAccount");
const QString ImportAccount::PlanName = QStringLiteral("ImportPlan");

ImportAccount::ImportAccount(QObject* parent, QList<AccountRow> rows)
    : QAbstractTableModel(parent), rows_(std::move(rows)) {}

ImportAccount* ImportAccount::attach(QObject& frame, const QString& name, QList<AccountRow> rows) {
    for (QObject* old : frame.findChildren<ImportAccount*>(name, Qt::FindDirectChildrenOnly))
        delete old;
    auto* model = new ImportAccount(&frame, std::move(rows));
    model->setObjectName(name);
    return model;
}

void ImportAccount::setRowSource(std::function<QList<AccountRow>()> source) {
    beginResetModel();
    rows_.clear();
    source_ = std::move(source);
    endResetModel();
}

const QList<AccountRow>& ImportAccount::rows() const {
    if (source_) rows_ = std::exchange(source_, {})();
    return rows_;
}

int ImportAccount::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows().size());
}

int ImportAccount::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Columns;
}

QVariant ImportAccount::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rows().size()) return {};
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
