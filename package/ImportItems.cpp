#include "ImportItems.h"

#include <QHash>

#include "ClientDataSet.h"
#include "Heartbeat.h"
#include "PackageFiles.h"
#include "TextCodec.h"

namespace cv {
namespace {

// Loads a dataset file; the reader's reason when it cannot, or a column it must have is
// missing.
QString load(ClientDataSet& dataset, const QString& path, const QStringList& requiredFields) {
    try {
        dataset.loadFromFile(path);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    for (const QString& field : requiredFields)
        if (dataset.fieldIndex(field) < 0) return QStringLiteral("缺少字段 %1").arg(field);
    return {};
}

// The department path of every code of the department file: the DeptName of the last row
// with that DeptID whose DeptName is not null.
QHash<QString, QString> departmentPaths(const RowSet& depts) {
    const int id = depts.indexOf(QStringLiteral("DeptID"));
    const int name = depts.indexOf(QStringLiteral("DeptName"));
    QHash<QString, QString> paths;
    for (const Row& row : depts.rows)
        if (!row[name].isNull()) paths.insert(valueText(row[id]), valueText(row[name]));
    return paths;
}

// The person file as the import reads it: a row by its number, a field of a row as text (a
// null, and a column the file lacks, read as the empty text), the first row of a PerUUID.
class PersonFile {
public:
    // The columns the import reads, in the order it reads them.
    enum Column { PerDept, PerUUID, PerName, PerSex, PerMemo, LoginName, UPassWord, Columns };

    explicit PersonFile(const RowSet& rows) : rows_(rows) {
        static const char* const names[Columns] = {"PerDept", "PerUUID",   "PerName",  "PerSex",
                                                   "PerMemo", "LoginName", "UPassWord"};
        for (int c = 0; c < Columns; ++c) columns_[c] = rows.indexOf(QLatin1String(names[c]));
        first_.reserve(rows.rows.size());
        for (qsizetype row = rows.rows.size() - 1; row >= 0; --row) {
            heartbeat();
            if (!isNull(row, PerUUID)) first_.insert(text(row, PerUUID), row);
        }
    }

    // The row to import for a ticked node: the row the node was made from when it carries
    // this PerUUID, else the first row that does; -1 when none does.
    qsizetype rowOf(const TickedPerson& ticked) const {
        if (hasRow(ticked.row) && !isNull(ticked.row, PerUUID) &&
            text(ticked.row, PerUUID) == ticked.id)
            return ticked.row;
        return first_.value(ticked.id, -1);
    }

    bool hasRow(qsizetype row) const { return row >= 0 && row < rows_.rows.size(); }

    bool isNull(qsizetype row, Column column) const {
        return columns_[column] < 0 || rows_.rows[row][columns_[column]].isNull();
    }
    // Null (QString()) for a null value or a missing column, which every rule reads as empty.
    QString text(qsizetype row, Column column) const {
        return columns_[column] < 0 ? QString() : valueText(rows_.rows[row][columns_[column]]);
    }

    TCVPersonInfo person(qsizetype row) const {
        TCVPersonInfo person;
        person.PerDept = text(row, PerDept);
        person.PerUUID = text(row, PerUUID);
        person.PerName = text(row, PerName);
        person.PerSex = text(row, PerSex);
        person.PerMemo = text(row, PerMemo);
        person.LoginName = text(row, LoginName);
        person.UPassword = text(row, UPassWord);
        return person;
    }

private:
    const RowSet& rows_;
    int columns_[Columns];
    QHash<QString, qsizetype> first_;
};

// The item of one ticked person node.
ImportItem personItem(const PersonFile& people, const QHash<QString, QString>& deptPaths,
                      const TickedPerson& ticked) {
    ImportItem item;
    const qsizetype row = people.rowOf(ticked);
    if (row < 0) {
        item.person.PerUUID = ticked.id;
        // A row without PerUUID shows in the tree like any other.
        if (people.hasRow(ticked.row) && people.isNull(ticked.row, PersonFile::PerUUID)) {
            item.person.PerName = people.text(ticked.row, PersonFile::PerName);
            item.unreadable = QStringLiteral("人员包中此人没有 PerUUID");
        } else {
            item.unreadable = QStringLiteral("人员文件中没有此 PerUUID");
        }
        return item;
    }
    item.person = people.person(row);
    if (!item.person.PerDept.isEmpty()) item.deptPath = deptPaths.value(item.person.PerDept);
    return item;
}

}  // namespace

QString ReadImportItems(const PackageFiles& files, const QList<TickedPerson>& ticked,
                        ImportItems& items) {
    ClientDataSet peopleFile;
    ClientDataSet deptFile;
    if (const QString why = load(peopleFile, files.personFile, {"PerUUID", "LoginName"});
        !why.isEmpty())
        return QStringLiteral("人员文件无法读取: ") + logSafeText(why);
    if (const QString why = load(deptFile, files.deptFile, {"DeptID", "DeptName"}); !why.isEmpty())
        return QStringLiteral("部门文件无法读取: ") + logSafeText(why);
    items.people.clear();
    items.people.reserve(ticked.size());
    {
        const PersonFile people(peopleFile.data());
        const QHash<QString, QString> deptPaths = departmentPaths(deptFile.data());
        for (const TickedPerson& t : ticked) {
            heartbeat();
            items.people.append(personItem(people, deptPaths, t));
        }
    }
    // The items share the rows' texts; what held them (a value and a list a row) goes now.
    peopleFile.setData({});
    items.deptRows.clear();
    const RowSet& depts = deptFile.data();
    const int id = depts.indexOf(QStringLiteral("DeptID"));
    const int name = depts.indexOf(QStringLiteral("DeptName"));
    for (const Row& row : depts.rows) {
        ImportItem item;
        item.kind = ImportItem::Kind::DeptRow;
        item.deptPath = valueText(row[name]);
        item.deptCode = valueText(row[id]);
        if (!item.deptPath.isEmpty() && !item.deptCode.isEmpty()) items.deptRows.append(item);
    }
    return {};
}

}  // namespace cv
