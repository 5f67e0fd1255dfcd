#include "ImportItems.h"

#include <algorithm>

#include "Heartbeat.h"
#include "PackageFiles.h"
#include "PacketTable.h"
#include "TextCodec.h"

namespace cv {
namespace {

// Reads a dataset file as a compact table; the reader's reason when it cannot, or a column it
// must have is missing.
QString load(PacketTable& table, const QString& path, const QStringList& requiredFields) {
    try {
        table = PacketTable::read(path);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    for (const QString& field : requiredFields)
        if (table.indexOf(field) < 0) return QStringLiteral("缺少字段 %1").arg(field);
    return {};
}

// A cell as the import reads it: null (QString()) for a null value or a missing column, which
// every rule reads as empty; any other value a text, the empty one too.
QString textOf(const PacketTable& table, qsizetype row, int column) {
    if (column < 0 || table.isNull(row, column)) return {};
    const QStringView text = table.text(row, column);
    return text.isEmpty() ? QStringLiteral("") : text.toString();
}

}  // namespace

// The person file's columns the import reads, in the order it reads them.
enum ImportItemReader::Column : int {
    PerDept,
    PerUUID,
    PerName,
    PerSex,
    PerMemo,
    LoginName,
    UPassWord,
};

QString ImportItemReader::open(const PackageFiles& files, const QList<TickedPerson>& ticked) {
    ticked_ = ticked;
    if (const QString why = load(people_, files.personFile, {"PerUUID", "LoginName"});
        !why.isEmpty())
        return QStringLiteral("人员文件无法读取: ") + logSafeText(why);
    PacketTable depts;
    if (const QString why = load(depts, files.deptFile, {"DeptID", "DeptName"}); !why.isEmpty())
        return QStringLiteral("部门文件无法读取: ") + logSafeText(why);
    static const char* const names[Columns] = {"PerDept", "PerUUID",   "PerName",  "PerSex",
                                               "PerMemo", "LoginName", "UPassWord"};
    for (int c = 0; c < Columns; ++c) columns_[c] = people_.indexOf(QLatin1String(names[c]));

    // The department path of every code: the DeptName of the last row with that DeptID whose
    // DeptName is not null. Then every row with a path and a code, in file order.
    const int id = depts.indexOf(QStringLiteral("DeptID"));
    const int name = depts.indexOf(QStringLiteral("DeptName"));
    deptRows_.clear();
    for (qsizetype row = 0; row < depts.size(); ++row) {
        heartbeat();
        const QString code = textOf(depts, row, id);
        const QString path = textOf(depts, row, name);
        if (!depts.isNull(row, name)) deptPaths_.insert(code, path);
        if (!path.isEmpty() && !code.isEmpty()) {
            ImportItem& item = deptRows_.emplace_back();
            item.kind = ImportItem::Kind::DeptRow;
            item.deptPath = path;
            item.deptCode = code;
        }
    }
    return {};
}

QList<ImportItem> ImportItemReader::people(qsizetype from, qsizetype count) const {
    QList<ImportItem> items;
    const qsizetype end = std::min(ticked_.size(), from + count);
    items.reserve(std::max<qsizetype>(0, end - from));
    for (qsizetype i = from; i < end; ++i) {
        heartbeat();
        items.append(person(ticked_[i]));
    }
    return items;
}

// The item of one ticked person node: the row the node was made from when it carries the
// node's PerUUID, else the first row that does.
ImportItem ImportItemReader::person(const TickedPerson& ticked) const {
    const auto text = [this](qsizetype row, Column column) {
        return textOf(people_, row, columns_[column]);
    };
    const bool hasRow = ticked.row >= 0 && ticked.row < people_.size();
    const bool rowHasId = hasRow && !people_.isNull(ticked.row, columns_[PerUUID]);
    qsizetype row = rowHasId && people_.text(ticked.row, columns_[PerUUID]) == ticked.id
                        ? ticked.row
                        : people_.find(columns_[PerUUID], ticked.id);
    ImportItem item;
    if (row < 0) {
        item.person.PerUUID = ticked.id;
        // A row without PerUUID shows in the tree like any other.
        if (hasRow && !rowHasId) {
            item.person.PerName = text(ticked.row, PerName);
            item.unreadable = QStringLiteral("人员包中此人没有 PerUUID");
        } else {
            item.unreadable = QStringLiteral("人员文件中没有此 PerUUID");
        }
        return item;
    }
    TCVPersonInfo& person = item.person;
    person.PerDept = text(row, PerDept);
    person.PerUUID = text(row, PerUUID);
    person.PerName = text(row, PerName);
    person.PerSex = text(row, PerSex);
    person.PerMemo = text(row, PerMemo);
    person.LoginName = text(row, LoginName);
    person.UPassword = text(row, UPassWord);
    if (!person.PerDept.isEmpty()) item.deptPath = deptPaths_.value(person.PerDept);
    return item;
}

QString ReadImportItems(const PackageFiles& files, const QList<TickedPerson>& ticked,
                        ImportItems& items) {
    ImportItemReader reader;
    if (const QString why = reader.open(files, ticked); !why.isEmpty()) return why;
    items.people = reader.people(0, ticked.size());
    items.deptRows = reader.takeDeptRows();
    return {};
}

}  // namespace cv
