// Import: the ticked people of a person package into this installation's store.
//
// The store is read once (StoreImage) and every person is decided against that image by the
// person store's rules: whether the person is present, whether the login name clashes and
// what it becomes (the same generator draws in the same order), where the department walk
// finds or creates each level (the same new codes). Only the writes go to the store, each
// its own statement. Where a write shows that the store changed since it was read (the
// person is there now, a department code is taken), that person goes on through the person
// store's own per-statement operations and the image is read again.
//
// Every ticked person is accounted for in the host's log: a line for each one not stored
// (for a reason other than being present already), after any rename line, and a summary.
#include <QFile>
#include <QHash>
#include <QWidget>
#include <optional>

#include "ClientDataSet.h"
#include "DeptPathPlan.h"
#include "FrameEmbedding.h"
#include "GetTickedPersons.h"
#include "HostContext.h"
#include "HostServices.h"
#include "ImportWriter.h"
#include "LoginNames.h"
#include "OperationProgress.h"
#include "PackageFiles.h"
#include "PackageOperations.h"
#include "StoreError.h"
#include "StoreImage.h"
#include "TCVPerson.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"

namespace cv {
namespace {

constexpr std::int32_t Done = 1;
constexpr std::int32_t Failed = -1;
constexpr std::int32_t NothingTicked = -2;

// How often the image is read again after the store was seen to change; beyond that the
// writes still find every change that refuses them, person by person.
constexpr int MaxImageReads = 16;

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

bool load(ClientDataSet& dataset, const QString& path, const QStringList& requiredFields) {
    try {
        dataset.loadFromFile(path);
    } catch (const std::exception&) {
        return false;
    }
    for (const QString& field : requiredFields)
        if (dataset.fieldIndex(field) < 0) return false;
    return true;
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
        for (const char* name : {"PerDept", "PerUUID", "PerName", "PerSex", "PerMemo",
                                 "LoginName", "UPassWord"})
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

struct Counts {
    int inserted = 0;
    int renamed = 0;
    int present = 0;
    int notStored = 0;
    int depts = 0;
};

// The import stopped part-way: the store stopped answering, or refused a statement that the
// person store does not guard.
class Abort : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PersonImport {
public:
    PersonImport(TDM_PersonPack& module, const PersonFile& people,
                 const QHash<QString, QString>& deptPaths)
        : module_(module),
          people_(people),
          deptPaths_(deptPaths),
          networked_(host::workingStyle() == 1),
          image_(StoreImage::read(module)),
          writer_(module),
          ask_(StoreDeptQuestions()) {}

    void importPerson(const TickedPerson& ticked);
    // Makes sure the department of `path` exists, as ResolveDeptPath does; failures pass.
    void resolveDept(const QString& path, const QString& code);

    void notStored(const QString& name, const QString& id, const QString& reason) {
        ++counts_.notStored;
        host::writeLog(QStringLiteral("人员未导入: %1 (PerUUID %2): %3").arg(name, id, reason));
    }
    const Counts& counts() const { return counts_; }

private:
    struct Walk {
        bool result = false;
        QString code;
        QString failure;  // why the person cannot be stored, when result is false
    };
    Walk walk(const QString& path, const QString& oldCode, const DeptPathPlan& plan);
    Walk walkByStatements(const QString& path, const QString& oldCode);
    // Stores the plan's new departments in order; false at the first refused one, with
    // `changed` set when the store had taken its code meanwhile, else `failure` set.
    bool createDepts(const DeptPathPlan& plan, bool& changed, QString& failure);
    // The store changed since the image was read: read it again, up to a limit.
    void reread();

    TDM_PersonPack& module_;
    const PersonFile& people_;
    const QHash<QString, QString>& deptPaths_;
    bool networked_;
    StoreImage image_;
    ImportWriter writer_;
    DeptQuestions ask_;
    Counts counts_;
    int reads_ = 1;
};

void PersonImport::reread() {
    if (reads_ >= MaxImageReads) return;
    ++reads_;
    image_ = StoreImage::read(module_);
}

QString planFailure(const DeptPathPlan& plan, const QString& path, const QString& oldCode) {
    switch (plan.end) {
        case DeptPathPlan::End::NoLevel:
            return QStringLiteral("部门编码 \"%1\" 不足 4 位, 无法确定部门").arg(oldCode);
        case DeptPathPlan::End::LevelFull:
            return QStringLiteral("部门 %1 所在的一级已满 (编码已用到 9999), 无法新建部门 %2")
                .arg(path, plan.failedName);
        case DeptPathPlan::End::ReadFailed:
            return QStringLiteral("查找部门 %1 时数据库出错").arg(plan.failedName);
        case DeptPathPlan::End::Error:
        case DeptPathPlan::End::Complete:
            break;
    }
    return {};
}

bool PersonImport::createDepts(const DeptPathPlan& plan, bool& changed, QString& failure) {
    for (const DeptPathPlan::NewDept& dept : plan.creates) {
        const QString refused = writer_.insertDept(dept.code, dept.name);
        if (refused.isEmpty()) {
            image_.addDept(dept.code, dept.name);
            ++counts_.depts;
            continue;
        }
        // A code the image thought free is taken: another writer stored it meanwhile.
        changed = !TDM_PersonPack::instance()->IsEmptyResult(
            QStringLiteral("SELECT DeptID FROM CV_DeptInfo WHERE DeptID=") + sqlQuote(dept.code));
        failure = QStringLiteral("部门 %1 未能保存: %2").arg(dept.name, refused);
        return false;
    }
    return true;
}

PersonImport::Walk PersonImport::walk(const QString& path, const QString& oldCode,
                                      const DeptPathPlan& plan) {
    bool changed = false;
    QString failure;
    const bool created = createDepts(plan, changed, failure);
    if (changed) return walkByStatements(path, oldCode);
    // Failures the person store does not guard end the import, after what was stored.
    if (plan.end == DeptPathPlan::End::Error) throw StoreError(plan.error.toStdString());
    if (!created) return {false, {}, failure};
    if (!plan.result) return {false, {}, planFailure(plan, path, oldCode)};
    return {true, plan.resolved, {}};
}

PersonImport::Walk PersonImport::walkByStatements(const QString& path, const QString& oldCode) {
    const bool resolved = TCVPerson::ResolveDeptPath(path, oldCode);
    const QString code = TCVPerson::ResolvedDeptID();
    // The levels the image lacks were created now (or by the other writer); they go into the
    // image with the walk's names, should it not be read again.
    const QStringList names = path.split(QLatin1Char('_'));
    for (qsizetype k = 1; 4 * k <= code.size(); ++k) {
        const QString level = code.left(4 * k);
        if (image_.hasDept(level)) continue;
        image_.addDept(level, names.value(k - 1));
        ++counts_.depts;
    }
    reread();
    return {resolved, code,
            resolved ? QString() : QStringLiteral("部门 %1 未能建立").arg(path)};
}

void PersonImport::resolveDept(const QString& path, const QString& code) {
    const DeptPathPlan plan = PlanDeptPath(image_, path, code, networked_, ask_);
    bool changed = false;
    QString failure;
    createDepts(plan, changed, failure);
    if (changed) walkByStatements(path, code);
}

void PersonImport::importPerson(const TickedPerson& ticked) {
    const qsizetype row = people_.rowOf(ticked);
    if (row < 0) {
        // A row without PerUUID shows in the tree like any other.
        if (people_.hasRow(ticked.row) && people_.text(ticked.row, "PerUUID").isNull())
            return notStored(people_.text(ticked.row, "PerName"), ticked.id,
                             QStringLiteral("人员包中此人没有 PerUUID"));
        return notStored({}, ticked.id, QStringLiteral("人员文件中没有此 PerUUID"));
    }
    if (image_.hasPerson(ticked.id)) {
        ++counts_.present;
        return;
    }
    TCVPersonInfo person = people_.person(row);
    const QString loginName = person.LoginName;
    const auto skip = [&](const QString& reason) { notStored(person.PerName, ticked.id, reason); };

    // Decide before any effect: the clash, and the department walk (whose plan draws no
    // numbers and writes nothing).
    const bool clash = image_.hasLogin(loginName);
    QString path;
    std::optional<DeptPathPlan> plan;
    if (!person.PerDept.isEmpty()) {
        path = deptPaths_.value(person.PerDept);
        if (path.isEmpty()) {
            person.PerDept.clear();
        } else {
            plan = PlanDeptPath(image_, path, person.PerDept, networked_, ask_);
        }
    }
    // A person about to leave traces of its own (a log line, new departments) is first asked
    // for in the store: had it appeared since the image was read, those would be wrong.
    if ((clash || (plan && !plan->creates.isEmpty())) && TCVPerson::PersonExists(ticked.id)) {
        reread();
        ++counts_.present;
        return;
    }

    if (clash) {
        try {
            person.LoginName = UniqueLoginName(
                person.LoginName, [this](const QString& name) { return image_.hasLogin(name); });
        } catch (const LoginNameExhausted&) {
            return skip(QStringLiteral("注册名 %1 的候选名 %1_1000 至 %1_9999 都已被占用")
                            .arg(loginName));
        }
        const QString message = QStringLiteral("要导入的注册名") + loginName +
                                QStringLiteral("已经存在,已经被改为") + person.LoginName;
        if (host::writeLog(message) != 1)
            return skip(QStringLiteral("改名的日志未能写入, 人员未保存"));
    }

    if (plan) {
        const Walk resolved = walk(path, person.PerDept, *plan);
        if (!resolved.result) return skip(resolved.failure);
        person.PerDept = resolved.code;
    }

    const QString refused = writer_.insertPerson(person);
    if (refused.isEmpty()) {
        image_.addPerson(person.PerUUID, person.LoginName);
        ++(clash ? counts_.renamed : counts_.inserted);
        return;
    }
    if (TCVPerson::PersonExists(ticked.id)) {  // stored meanwhile by another writer
        reread();
        ++counts_.present;
        return;
    }
    skip(refused);
}

}  // namespace

std::int32_t PackageImport(const QString& packageArgument) {
    if (!TDM_PersonPack::PrepareStore()) return Failed;
    DeleteFilesOnExit cleanup;  // runs after the datasets are released
    ClientDataSet peopleFile;
    ClientDataSet deptFile;
    const QList<TickedPerson> ticked = TickedPersonsOfFrame();
    if (ticked.isEmpty()) return NothingTicked;

    // The import's form: the names are appended directly, so a version-3 argument must end
    // with the separator. The "@&@" marker is not looked for here.
    const PackageFiles files = LocatePackageFiles(packageArgument, PackageJoin::Import);
    if (files.status == PackageFiles::Status::UnpackFailed) return Failed;
    cleanup.add(files.personFile);
    cleanup.add(files.deptFile);
    if (!files.found()) return Failed;
    // The package must still hold what the preview showed.
    if (!MatchesPreviewedPackage(files)) return Failed;

    // Both files are read before anything is stored: a package whose department file is
    // unreadable is refused as a whole rather than imported without departments.
    if (!load(peopleFile, files.personFile, {"PerUUID", "LoginName"}) ||
        !load(deptFile, files.deptFile, {"DeptID", "DeptName"}))
        return Failed;
    const PersonFile people(peopleFile.data());
    const QHash<QString, QString> deptPaths = departmentPaths(deptFile.data());

    std::optional<PersonImport> run;
    try {
        run.emplace(*TDM_PersonPack::instance(), people, deptPaths);
    } catch (const std::exception&) {
        return Failed;  // the store refuses to be read: nothing was stored
    }

    OperationProgress progress(HostWindowOfFrame(), QStringLiteral("正在导入人员: %1 / %2"),
                               ticked.size());
    qsizetype done = 0;
    QString stopped;
    for (; done < ticked.size(); ++done) {
        if (!progress.step(done)) break;
        try {
            run->importPerson(ticked[done]);
        } catch (const std::exception& e) {
            // Not a refusal of this person's values: the store stopped answering, or refused
            // a statement the person store does not guard. The people before stay stored.
            stopped = TDM_PersonPack::PrepareStore()
                          ? QStringLiteral("导入因错误中止: ") + QString::fromUtf8(e.what())
                          : QStringLiteral("数据库已停止响应");
            break;
        }
    }
    if (!stopped.isEmpty()) {
        for (qsizetype k = done; k < ticked.size(); ++k) {
            const qsizetype row = people.rowOf(ticked[k]);
            run->notStored(row < 0 ? QString() : people.text(row, "PerName"), ticked[k].id,
                           stopped);
        }
    } else if (progress.cancelled()) {
        host::writeLog(QStringLiteral("人员导入已取消: 已处理 %1/%2 人").arg(done).arg(ticked.size()));
        // The package stays where it lies, so the same import can be run again to finish.
        if (host::packageVersion() == 3) cleanup.keep();
    } else {
        // Every department of the package, also those no imported person needed.
        const int id = deptFile.data().indexOf(QStringLiteral("DeptID"));
        const int name = deptFile.data().indexOf(QStringLiteral("DeptName"));
        for (const Row& row : deptFile.data().rows) {
            const QString path = valueText(row[name]);
            const QString code = valueText(row[id]);
            if (path.isEmpty() || code.isEmpty()) continue;
            try {
                run->resolveDept(path, code);
            } catch (const std::exception&) {
                // this department stays as it is; the others are still created
            }
        }
    }

    const Counts& counts = run->counts();
    host::writeLog(QStringLiteral("人员导入结束: 新增 %1 人, 改名后新增 %2 人, 已存在 %3 人, "
                                  "未导入 %4 人, 新建部门 %5 个")
                       .arg(counts.inserted)
                       .arg(counts.renamed)
                       .arg(counts.present)
                       .arg(counts.notStored)
                       .arg(counts.depts));
    if (!stopped.isEmpty() || progress.cancelled()) return Failed;
    // The steps above carry on past a store that stopped answering (a department that fails
    // is passed over), so success is only claimed while it answers.
    return TDM_PersonPack::PrepareStore() ? Done : Failed;
}

}  // namespace cv
