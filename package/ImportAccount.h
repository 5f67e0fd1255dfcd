// What the import did (or would do) with each ticked person, as a table the host reads
// through Qt's model interface: the import's own account, so that the host never works out an
// outcome from rows in a store that other processes write too.
//
// The model is a child of the embedded frame: "ImportAccount" after an import, "ImportPlan"
// from the import preview on (kept to the ticks), found with findChild<QAbstractItemModel*>(). One
// row per ticked person node, in the order the import took them; the columns are texts
// (Qt::DisplayRole): PerUUID, outcome (inserted, renamed, present, not stored), the login name
// stored, this installation's department code, the department path (this installation's when
// stored, else the package's), the reason, and the row of the package's person file the node was
// made from.
#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QString>
#include <functional>
#include <vector>

#include "GetTickedPersons.h"
#include "WindowedImport.h"

namespace cv {

struct AccountRow {
    QString perUUID;
    QString outcome;
    QString loginName;
    QString deptCode;
    QString deptPath;
    QString reason;
    qsizetype sourceRow = -1;
};

// The rows of the ticked people from what an import made of each of their items (`results`,
// one per item as far as it got; those it never reached are not stored for `notReached`), or,
// `planned`, from what a plan foresees.
QList<AccountRow> AccountOf(const QList<TickedPerson>& ticked, const QList<ImportItem>& items,
                            const QList<WindowedImport::Result>& results, const QString& notReached,
                            bool planned = false);

// The same rows made person by person, for an import that holds its items a part at a time;
// this installation's department paths of the people stored are read once, at the end.
class AccountBuilder {
public:
    AccountBuilder(qsizetype people, bool planned);
    // The row of `ticked` from its item and what became of it (null: never reached).
    void add(const TickedPerson& ticked, const ImportItem& item,
             const WindowedImport::Result* result);
    QList<AccountRow> finish(const QString& notReached);

private:
    bool planned_;
    QList<AccountRow> rows_;
    std::vector<qsizetype> unreached_;  // rows whose reason is notReached
    std::vector<qsizetype> stored_;     // rows whose path is this installation's
};

class ImportAccount : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { PerUUID, Outcome, LoginName, DeptCode, DeptPath, Reason, SourceRow, Columns };
    static const QString ImportName;  // "ImportAccount"

    static const QString PlanName;  // "ImportPlan": what an import run now would do
    // The plan's line of counts as the frame shows it, a property of the "ImportPlan" model
    // ("导入预计: 新增 … 人, …", or why there is no plan).
    static constexpr const char* SummaryProperty = "summary";
    // Why there is no plan, in plain words; empty while there is one.
    static constexpr const char* FailureProperty = "failure";

    // A model named `name` under `frame`, replacing one of that name.
    static ImportAccount* attach(QObject& frame, const QString& name, QList<AccountRow> rows);
    // Its rows from now on are what `source` gives, made when first asked for: a plan that
    // changes with every tick is read far less often than it changes.
    void setRowSource(std::function<QList<AccountRow>()> source);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    const QList<AccountRow>& rows() const;

private:
    ImportAccount(QObject* parent, QList<AccountRow> rows);
    mutable QList<AccountRow> rows_;
    mutable std::function<QList<AccountRow>()> source_;
};

}  // namespace cv
