// Import: the ticked people of a person package into this installation's store.
//
// The package is read whole before anything is stored; then the ticked people, and after
// them every department row of the package, go through WindowedImport: decided against one
// read of the store by the person store's rules, written window by window under the import
// lock, each window's decisions checked against the store first.
//
// Every ticked person is accounted for: in the host's log (a line for each one not stored,
// after any rename line, and a summary whose counts sum to the ticked people), and in the
// "ImportAccount" model the frame carries until it is freed. Every failure answer leaves one
// line saying why.
#include <QFile>
#include <QHash>
#include <QWidget>
#include <algorithm>
#include <optional>

#include "ClientDataSet.h"
#include "DeptPathNames.h"
#include "FrameEmbedding.h"
#include "GetTickedPersons.h"
#include "HostContext.h"
#include "HostServices.h"
#include "ImportAccount.h"
#include "OperationProgress.h"
#include "PackageFiles.h"
#include "PackageOperations.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"
#include "TextCodec.h"
#include "WindowedImport.h"

namespace cv {
namespace {

constexpr std::int32_t Done = 1;
constexpr std::int32_t Failed = -1;
constexpr std::int32_t NothingTicked = -2;

// Deletes the dataset files that the import located, however it ends: in the version-3 case
// these are the package directory's own files.
class DeleteFilesOnExit {
public:
    DeleteFilesOnExit() = default;
    DeleteFilesOnExit(const DeleteFilesOnExit&) = delete;
    DeleteFilesOnExit& operator=(const DeleteFilesOnExit&) = delete;
    ~DeleteFilesOnExit() {
        for (const QString& path : paths_) QFile::remove(path);
    }
    void add(const QString& path) { paths_ << path; }
    void keep() { paths_.clear(); }

private:
    QStringList paths_;
};

std::int32_t refusePackage(const QString& reason) {
    host::writeLog(QStringLiteral("人员包无法导入: ") + reason);
    return Failed;
}

std::int32_t storeUnavailable(const QString& reason) {
    host::writeLog(QStringLiteral("数据库不可用, 人员未导入: ") + reason);
    return Failed;
}

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
    explicit PersonFile(const RowSet& rows) : rows_(rows) {
        for (const char* name :
             {"PerDept", "PerUUID", "PerName", "PerSex", "PerMemo", "LoginName", "UPassWord"})
            columns_.insert(QLatin1String(name), rows.indexOf(QLatin1String(name)));
        const int id = columns_.value("PerUUID");
        for (qsizetype row = rows.rows.size() - 1; row >= 0; --row)
            if (!rows.rows[row][id].isNull()) first_.insert(valueText(rows.rows[row][id]), row);
    }

    // The row to import for a ticked node: the row the node was made from when it carries
    // this PerUUID, else the first row that does; -1 when none does.
    qsizetype rowOf(const TickedPerson& ticked) const {
        const int id = columns_.value("PerUUID");
        if (hasRow(ticked.row) && !rows_.rows[ticked.row][id].isNull() &&
            valueText(rows_.rows[ticked.row][id]) == ticked.id)
            return ticked.row;
        return first_.value(ticked.id, -1);
    }

    bool hasRow(qsizetype row) const { return row >= 0 && row < rows_.rows.size(); }

    // Null (QString()) for a null value or a missing column, which every rule reads as empty.
    QString text(qsizetype row, const char* field) const {
        const int column = columns_.value(QLatin1String(field));
        return column < 0 ? QString() : valueText(rows_.rows[row][column]);
    }

    TCVPersonInfo person(qsizetype row) const {
        TCVPersonInfo person;
        person.PerDept = text(row, "PerDept");
        person.PerUUID = text(row, "PerUUID");
        person.PerName = text(row, "PerName");
        person.PerSex = text(row, "PerSex");
        person.PerMemo = text(row, "PerMemo");
        person.LoginName = text(row, "LoginName");
        person.UPassword = text(row, "UPassWord");
        return person;
    }

private:
    const RowSet& rows_;
    QHash<QString, int> columns_;
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
        if (people.hasRow(ticked.row) && people.text(ticked.row, "PerUUID").isNull()) {
            item.person.PerName = people.text(ticked.row, "PerName");
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

// The import's account of the ticked people, for the host.
QList<AccountRow> account(const QList<TickedPerson>& ticked, const QList<ImportItem>& items,
                          const QList<WindowedImport::Result>& results, const QString& notReached) {
    // This installation's paths of the codes the people were stored under: one read.
    std::optional<DeptPaths> paths;
    try {
        TDM_PersonPack* module = TDM_PersonPack::instance();
        if (module) paths.emplace(module->readTexts(DeptNamesSql()));
    } catch (const std::exception&) {
        // The account still names the codes.
    }
    QList<AccountRow> rows;
    rows.reserve(ticked.size());
    for (qsizetype i = 0; i < ticked.size(); ++i) {
        AccountRow row;
        row.perUUID = ticked[i].id;
        row.sourceRow = ticked[i].row;
        const WindowedImport::Result* result = i < results.size() ? &results[i] : nullptr;
        if (!result || !result->reached) {
            row.outcome = QStringLiteral("not stored");
            row.reason = notReached;
            row.deptPath = items[i].deptPath;
            rows.append(row);
            continue;
        }
        row.outcome = outcomeName(result->outcome);
        row.reason = result->reason;
        const bool stored = result->outcome == ItemPlan::Outcome::Inserted ||
                            result->outcome == ItemPlan::Outcome::Renamed;
        if (stored) {
            row.loginName = result->person.LoginName.isNull() ? "" : result->person.LoginName;
            row.deptCode = result->person.PerDept;
            row.deptPath = paths && !row.deptCode.isEmpty() ? paths->pathOf(row.deptCode) : "";
            if (result->outcome == ItemPlan::Outcome::Renamed)
                row.reason = QStringLiteral("要导入的注册名") + items[i].person.LoginName +
                             QStringLiteral("已经存在,已经被改为") + row.loginName;
        } else {
            row.deptPath = items[i].deptPath;
        }
        rows.append(row);
    }
    return rows;
}

}  // namespace

std::int32_t PackageImport(const QString& packageArgument) {
    if (!TDM_PersonPack::PrepareStore())
        return storeUnavailable(QStringLiteral("数据库连接不可用"));
    DeleteFilesOnExit cleanup;  // runs after the datasets are released
    ClientDataSet peopleFile;
    ClientDataSet deptFile;
    const QList<TickedPerson> ticked = TickedPersonsOfFrame();
    if (ticked.isEmpty()) return NothingTicked;

    // The import's form: the names are appended directly, so a version-3 argument must end
    // with the separator. The "@&@" marker is not looked for here.
    const PackageFiles files = LocatePackageFiles(packageArgument, PackageJoin::Import);
    switch (files.status) {
        case PackageFiles::Status::Found:
            break;
        case PackageFiles::Status::UnpackFailed:
            return refusePackage(QStringLiteral("人员包文件无法解包"));
        case PackageFiles::Status::Ambiguous:
            return refusePackage(QStringLiteral("人员包中同一个数据文件有两个只差大小写的名字"));
        case PackageFiles::Status::FileMissing:
            cleanup.add(files.personFile);
            cleanup.add(files.deptFile);
            return refusePackage(QStringLiteral("人员包中缺少 perinfo.per 或 deptinfo.per"));
    }
    cleanup.add(files.personFile);
    cleanup.add(files.deptFile);
    // The package must still hold what the preview showed.
    if (!MatchesPreviewedPackage(files))
        return refusePackage(QStringLiteral("人员包在预览后已被更改"));

    // Both files are read before anything is stored: a package whose department file is
    // unreadable is refused as a whole rather than imported without departments.
    if (const QString why = load(peopleFile, files.personFile, {"PerUUID", "LoginName"});
        !why.isEmpty())
        return refusePackage(QStringLiteral("人员文件无法读取: ") + logSafeText(why));
    if (const QString why = load(deptFile, files.deptFile, {"DeptID", "DeptName"}); !why.isEmpty())
        return refusePackage(QStringLiteral("部门文件无法读取: ") + logSafeText(why));
    const PersonFile people(peopleFile.data());
    const QHash<QString, QString> deptPaths = departmentPaths(deptFile.data());

    QList<ImportItem> items;
    items.reserve(ticked.size());
    for (const TickedPerson& t : ticked) items.append(personItem(people, deptPaths, t));
    // Every department of the package, also those no imported person needed.
    QList<ImportItem> deptRows;
    {
        const RowSet& depts = deptFile.data();
        const int id = depts.indexOf(QStringLiteral("DeptID"));
        const int name = depts.indexOf(QStringLiteral("DeptName"));
        for (const Row& row : depts.rows) {
            ImportItem item;
            item.kind = ImportItem::Kind::DeptRow;
            item.deptPath = valueText(row[name]);
            item.deptCode = valueText(row[id]);
            if (!item.deptPath.isEmpty() && !item.deptCode.isEmpty()) deptRows.append(item);
        }
    }

    OperationProgress progress(HostWindowOfFrame(), QStringLiteral("正在导入人员: %1 / %2"),
                               ticked.size());
    qint64 shown = 0;
    WindowedImport::Hooks hooks;
    hooks.log = [](const QString& line) { return host::writeLog(line); };
    hooks.step = [&](qint64 done) {
        return progress.step(shown = std::min(done, qint64(ticked.size())));
    };
    hooks.waiting = [&](int) { return progress.step(shown); };
    hooks.alive = [&] { progress.step(shown); };
    std::optional<WindowedImport> run;
    try {
        run.emplace(*TDM_PersonPack::instance(), hooks, WindowedImport::defaultWindow());
    } catch (const std::exception& e) {
        return storeUnavailable(logSafeText(QString::fromUtf8(e.what())));
    }

    WindowedImport::End end = run->run(items);
    QString notReached;
    if (end == WindowedImport::End::Complete) end = run->run(deptRows);
    const WindowedImport::Counts& counts = run->counts();
    if (end == WindowedImport::End::Cancelled) {
        const auto& results = run->results();
        const auto people = results.cbegin() + std::min(results.size(), ticked.size());
        const auto done = std::count_if(results.cbegin(), people,
                                        [](const WindowedImport::Result& r) { return r.reached; });
        host::writeLog(
            QStringLiteral("人员导入已取消: 已处理 %1/%2 人").arg(done).arg(ticked.size()));
        notReached = QStringLiteral("导入已取消, 未处理此人");
        // The package stays where it lies, so the same import can be run again to finish.
        if (host::packageVersion() == 3) cleanup.keep();
    } else if (end == WindowedImport::End::Stopped) {
        host::writeLog(QStringLiteral("人员导入中止: ") + logSafeText(run->stopReason()));
        notReached = QStringLiteral("导入已中止: ") + run->stopReason();
        // As after a cancel: once the store answers again, the same import completes it.
        if (host::packageVersion() == 3) cleanup.keep();
    }
    host::writeLog(QStringLiteral("人员导入结束: 新增 %1 人, 改名后新增 %2 人, 已存在 %3 人, "
                                  "未导入 %4 人, 新建部门 %5 个")
                       .arg(counts.inserted)
                       .arg(counts.renamed)
                       .arg(counts.present)
                       .arg(counts.notStored)
                       .arg(counts.depts));
    if (QWidget* frame = findOwnedWidget(TFramePerson::InstanceName))
        ImportAccount::attach(*frame, ImportAccount::ImportName,
                              account(ticked, items, run->results(), notReached));
    return end == WindowedImport::End::Complete ? Done : Failed;
}

}  // namespace cv
