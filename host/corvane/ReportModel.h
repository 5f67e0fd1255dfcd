// The main window's tables. The rows of an import report: one row per person of the
// package, the outcome first. Qt::UserRole of any cell holds the row's outcome name, which
// the window's filter matches.
#pragma once

#include <QAbstractTableModel>

#include "ImportReport.h"

namespace corvane {

class ReportModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Outcome, Name, PerUUID, LoginName, DeptPath, DeptCode, Reason, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    // Answers the report shown until now, for freeing elsewhere.
    cvhost::ImportReport setReport(cvhost::ImportReport report);
    const cvhost::ImportReport& report() const { return report_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    cvhost::ImportReport report_;
};

// The people a package holds, as its person file lists them, for the page after an export.
class PackageModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    void setPeople(QList<cvhost::PackagePerson> people);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QList<cvhost::PackagePerson> people_;
};

}  // namespace corvane
