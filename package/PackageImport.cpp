// Import: the ticked people of a person package into this installation's store.
#include <QFile>
#include <QHash>

#include "ClientDataSet.h"
#include "GetTickedPersons.h"
#include "HostServices.h"
#include "ImportSelection.h"
#include "PackageFiles.h"
#include "PackageOperations.h"
#include "StoreError.h"
#include "TCVPerson.h"
#include "TDM_PersonPack.h"

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

// A value of the current row as text: null, and a value that cannot be read (a column the
// file lacks), give the empty text.
QString readText(const ClientDataSet& dataset, const QString& field) {
    try {
        return dataset.text(field);
    } catch (const std::exception&) {
        return {};
    }
}

// The department path of every code of the department file: the DeptName of the last row
// with that DeptID whose DeptName is not null.
QHash<QString, QString> departmentPaths(ClientDataSet& depts) {
    QHash<QString, QString> paths;
    for (depts.first(); !depts.eof(); depts.next())
        if (!depts.isNull(QStringLiteral("DeptName")))
            paths.insert(depts.text(QStringLiteral("DeptID")),
                         depts.text(QStringLiteral("DeptName")));
    return paths;
}

// Imports the person `id` of the person file unless a rule says to skip it.
void importPerson(const QString& id, ClientDataSet& people,
                  const QHash<QString, QString>& deptPaths) {
    // An identifier that the person file lacks is skipped; the ones after it still count.
    if (!people.locate(QStringLiteral("PerUUID"), id)) return;
    if (TCVPerson::PersonExists(id)) return;

    TCVPersonInfo person;
    person.PerDept = readText(people, QStringLiteral("PerDept"));
    person.PerUUID = readText(people, QStringLiteral("PerUUID"));
    person.PerName = readText(people, QStringLiteral("PerName"));
    person.PerSex = readText(people, QStringLiteral("PerSex"));
    person.PerMemo = readText(people, QStringLiteral("PerMemo"));
    person.LoginName = readText(people, QStringLiteral("LoginName"));
    person.UPassword = readText(people, QStringLiteral("UPassWord"));

    const QString loginName = people.text(QStringLiteral("LoginName"));
    if (TCVPerson::LoginNameExists(loginName)) {
        try {
            person.LoginName = TCVPerson::MakeUniqueLoginName(person.LoginName);
        } catch (const LoginNameExhausted&) {
            return;  // every candidate is taken: the person cannot get a login name
        }
        const QString message = QStringLiteral("要导入的注册名") + loginName +
                                QStringLiteral("已经存在,已经被改为") + person.LoginName;
        if (host::writeLog(message) != 1) return;
    }

    if (!person.PerDept.isEmpty()) {
        const QString path = deptPaths.value(person.PerDept);
        if (path.isEmpty()) {
            person.PerDept.clear();
        } else {
            if (!TCVPerson::ResolveDeptPath(path, person.PerDept)) return;
            person.PerDept = TCVPerson::ResolvedDeptID();
        }
    }
    TCVPerson::InsertPerson(person);
}

}  // namespace

std::int32_t PackageImport(const QString& packageArgument) {
    if (!TDM_PersonPack::PrepareStore()) return Failed;
    DeleteFilesOnExit cleanup;  // runs after the datasets are released
    ClientDataSet people;
    ClientDataSet depts;
    try {
        const QString selection = GetTickedPersons(1);
        if (selection.isEmpty()) return NothingTicked;
        const QStringList ids = SplitCommaText(selection);

        // The import's form: the names are appended directly, so a version-3 argument must
        // end with the separator. The "@&@" marker is not looked for here.
        const PackageFiles files = LocatePackageFiles(packageArgument, PackageJoin::Import);
        if (files.status == PackageFiles::Status::UnpackFailed) return Failed;
        cleanup.add(files.personFile);
        cleanup.add(files.deptFile);
        if (!files.found()) return Failed;

        // Both files are read before anything is stored: a package whose department file
        // is unreadable is refused as a whole rather than imported without departments.
        if (!load(people, files.personFile, {"PerUUID", "LoginName"}) ||
            !load(depts, files.deptFile, {"DeptID", "DeptName"}))
            return Failed;
        const QHash<QString, QString> deptPaths = departmentPaths(depts);

        for (const QString& id : ids) importPerson(id, people, deptPaths);

        // Every department of the package, also those no imported person needed.
        for (depts.first(); !depts.eof(); depts.next()) {
            try {
                const QString path = depts.text(QStringLiteral("DeptName"));
                const QString code = depts.text(QStringLiteral("DeptID"));
                if (!path.isEmpty() && !code.isEmpty()) TCVPerson::ResolveDeptPath(path, code);
            } catch (const std::exception&) {
                // this department stays as it is; the others are still created
            }
        }
        // The steps above carry on past a store that stopped answering (a person or a
        // department that fails is skipped), so success is only claimed while it answers.
        return TDM_PersonPack::PrepareStore() ? Done : Failed;
    } catch (const std::exception&) {
        // A store operation failed outside its protected steps: the people handled before
        // stay imported, and the dataset files are still deleted.
        return Failed;
    }
}

}  // namespace cv
