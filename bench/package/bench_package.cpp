// Person packages at scale: 100,000 people in 5,000 departments (three levels).
//
// export: the frame over the database tree, then the package of everybody, against the
//   engine's shell (sqlite3, or psql on a server) running the package's two statements and
//   writing their rows to files.
// import: the preview and the import of that package into an empty installation, then into
//   the installation that now holds everybody (every person is skipped, the department pass
//   still resolves every department), with the peak memory of the first. Yardsticks, the
//   engine's shell sending each statement on its own under the store's settings: just the
//   rows the import stored (people and new departments), and the statement stream of the
//   person store's per-statement operations.
// The installations are SQLite files, or under scripts/pgserver.sh run (CV_POSTGRES_URL) or
// with --postgres URL schemas on that PostgreSQL server.
//
// Run: QT_QPA_PLATFORM=offscreen bench_package [--postgres URL] [export|import|all]
//      [local|networked|both] [people] [departments per top level x 110]
#include <dlfcn.h>
#include <malloc.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "BenchDatabase.h"
#include "CVCallConv.h"
#include "Database.h"
#include "GetTickedPersons.h"
#include "HostContext.h"
#include "HostSettings.h"
#include "HostString.h"
#include "Installation.h"
#include "PackageOperations.h"
#include "StagedFile.h"
#include "TDM_PersonPack.h"
#include "TextCodec.h"

namespace {

std::uint8_t currentStyle = 2;

}  // namespace

extern "C" {

CV_EXPORT std::uint8_t CVCALL CVGetWorkingStyle(void) { return currentStyle; }

CV_EXPORT void* CVCALL CVGetAppInterface(const char* libraryPath, const char* entry, int32_t) {
    void* handle = libraryPath ? dlopen(libraryPath, RTLD_NOW) : nullptr;
    return handle && entry ? dlsym(handle, entry) : nullptr;
}

CV_EXPORT void CVCALL GetCurUUID(char** result) {
    cv::hostStringClear(result);
    *result = cv::hostStringNew("BENCH");
}

}  // extern "C"

namespace {

constexpr int SecondLevel = 9;  // per top-level department
constexpr int ThirdLevel = 10;  // per second-level department

QString code(int n) { return QStringLiteral("%1").arg(n, 4, 10, QLatin1Char('0')); }

struct Dept {
    QString id;
    QString name;
    QString path;
};

// `tops` x (1 + 9 x (1 + 10)) departments; names repeat under different parents, so the
// import resolves them by parent as well as by name.
QList<Dept> departments(int tops) {
    QList<Dept> depts;
    for (int a = 1; a <= tops; ++a) {
        const Dept top{code(a), QStringLiteral("部门%1").arg(a), QStringLiteral("部门%1").arg(a)};
        depts << top;
        for (int b = 1; b <= SecondLevel; ++b) {
            const Dept second{top.id + code(b), QStringLiteral("科室%1").arg(b),
                              top.path + QStringLiteral("_科室%1").arg(b)};
            depts << second;
            for (int c = 1; c <= ThirdLevel; ++c)
                depts << Dept{second.id + code(c), QStringLiteral("小组%1").arg(c),
                              second.path + QStringLiteral("_小组%1").arg(c)};
        }
    }
    return depts;
}

QString personId(int i) { return QStringLiteral("P%1").arg(i, 8, 10, QLatin1Char('0')); }

void fillStore(const bench::Store& store, const QList<Dept>& depts, int people) {
    auto connection = cvhost::openStore(store.target());
    bench::BulkInsert insertDept(*connection, "CV_DeptInfo", {"DeptID", "DeptName", "DeptMemo"});
    for (const Dept& dept : depts) insertDept.add({dept.id, dept.name, QString("")});
    insertDept.finish();
    bench::BulkInsert insertPerson(
        *connection, "CV_PersonInfo",
        {"PerUUID", "PerName", "PerSex", "PerMemo", "LoginName", "UPassword", "PerDept", "PrjID"});
    for (int i = 0; i < people; ++i) {
        insertPerson.add({personId(i), QStringLiteral("姓名%1").arg(i),
                          i % 2 ? QStringLiteral("男") : QStringLiteral("女"),
                          i % 3 ? QVariant() : QVariant(QStringLiteral("备注")),
                          QStringLiteral("login%1").arg(i), QStringLiteral("pw%1").arg(i),
                          depts[(i * 7) % depts.size()].id, 0});
    }
    insertPerson.finish();
}

double seconds(const std::function<void()>& work) {
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e9;
}

// Runs `statements` through the engine's shell on `store` and answers the seconds taken.
double shell(const bench::Store& store, const QString& statements, const QString& scriptPath) {
    QFile script(scriptPath);
    if (!script.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(scriptPath));
    script.write((store.scriptPrologue() + statements).toUtf8());
    script.close();
    return store.shellSeconds(scriptPath);
}

// "sqlite3 shell, same statements" or "psql shell, same statements", padded to `width`.
QByteArray shellLabel(int width) {
    return QString("%1 shell, same statements")
        .arg(bench::shellName())
        .leftJustified(width)
        .toUtf8();
}

QString q(const QString& value) { return cv::sqlQuote(value); }

// The installation the host points at: its settings and an application object of its own,
// so that the library creates a data module for it.
class Host {
public:
    Host(const QString& database, std::uint8_t style, const QString& folder) {
        currentStyle = style;
        auto& settings = cvhost::Settings::instance();
        settings.set("db", database);
        settings.set("server", database);
        settings.set("style", style == 1 ? "networked" : "local");
        settings.set("packageDir", folder + "/out/");
        settings.set("tempDir", folder + "/temp/");
        settings.set("logFile", folder + "/host.log");
        settings.set("packageVersion", "3");
        QDir().mkpath(folder + "/out/");
        cv::installContext(&application_, nullptr, nullptr);
    }
    ~Host() {
        cv::PackageFree();
        cv::installContext(nullptr, nullptr, nullptr);
        cvhost::closeConnections();
    }

private:
    QObject application_;
};

const char* styleName(std::uint8_t style) { return style == 1 ? "networked" : "local"; }

void copyPackage(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const char* name : {"perinfo.per", "deptinfo.per", "SysPerInfo.XML"}) {
        QFile::remove(to + name);
        if (!QFile::copy(from + name, to + name)) qFatal("cannot copy %s", name);
    }
}

// The best of `runs` runs of `work`, in seconds.
double bestSeconds(int runs, const std::function<void()>& work) {
    double best = seconds(work);
    for (int run = 1; run < runs; ++run) best = std::min(best, seconds(work));
    return best;
}

void benchExport(std::uint8_t style, int people, int tops) {
    constexpr int runs = 3;
    QTemporaryDir work;
    const QList<Dept> depts = departments(tops);
    const bench::Store store(work.filePath("store.sqlite"));
    fillStore(store, depts, people);
    Host host(store.target(), style, work.path());
    QWidget window;

    std::int32_t embedded = 0;
    QString written;
    const double frame = seconds([&] { embedded = cv::PackageExportProc(&window); });
    const double package = bestSeconds(runs, [&] {
        const bench::PerfScope sampled;
        written = cv::PackageExport();
    });
    if (embedded != 1 || !written.endsWith("PerInfo/"))
        qFatal("the export failed: %s", qPrintable(written));

    // The package's own statements: the ticked identifiers as the export lists them (sorted
    // on SQLite, in the tree's order elsewhere).
    const QString selection = cv::TDM_PersonPack::instance()->sortsSelection()
                                  ? cv::GetSortedTickedPersons(0)
                                  : cv::GetTickedPersons(0);
    if (selection.count(QStringLiteral("','")) + 1 != people) qFatal("not everybody is ticked");
    const QString personSql =
        "SELECT * From CV_PersonInfo Left Join CV_DeptInfo On (CV_PersonInfo.PerDept = "
        "CV_DeptInfo.DeptId) Where CV_PersonInfo.PerUUID in ('" +
        selection + "')";
    const QString deptSql =
        "SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo WHERE DeptID in( Select PerDept "
        "From CV_PersonInfo Where PerUUID In ('" +
        selection + "'))";

    // Where the time goes: the package's steps one by one, as PackageExport takes them.
    cv::TDM_PersonPack& module = *cv::TDM_PersonPack::instance();
    const QString scratch = work.filePath("steps.per");
    const auto fetch = [](bool done) {
        if (!done) qFatal("a fetch failed");
    };
    // Streamed where the engine lets the rows go straight into the file (on SQLite and
    // PostgreSQL; elsewhere the export takes the dataset's way below).
    bool streamed = true;
    const double streamPeople = bestSeconds(runs, [&] {
        cv::StagedFile file(scratch);
        if (!file.open()) qFatal("cannot write %s", qPrintable(scratch));
        streamed = module.StreamRows(personSql, file);
        file.abandon();
    });
    const double fetchPeople =
        bestSeconds(runs, [&] { fetch(module.FetchRows(module.CdsExportPer, personSql)); });
    const double savePeople = bestSeconds(runs, [&] { module.CdsExportPer.saveToFile(scratch); });
    const double fetchDepts =
        bestSeconds(runs, [&] { fetch(module.FetchWithDeptPaths(module.CdsExportDept, deptSql)); });
    const double saveDepts = bestSeconds(runs, [&] { module.CdsExportDept.saveToFile(scratch); });
    // The paths alone, on the department rows as the whole table gives them (the rows the
    // export's statement gives, at a fraction of its cost): beyond FetchRows of those rows.
    const QString tableSql = "SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo";
    const double tableRows =
        bestSeconds(9, [&] { fetch(module.FetchRows(module.CdsExportDept, tableSql)); });
    const double paths =
        bestSeconds(9, [&] { fetch(module.FetchWithDeptPaths(module.CdsExportDept, tableSql)); }) -
        tableRows;
    module.setDeptNameSource(cv::TDM_PersonPack::DeptNameSource::LookUps);
    const double lookUps =
        bestSeconds(runs,
                    [&] { fetch(module.FetchWithDeptPaths(module.CdsExportDept, tableSql)); }) -
        tableRows;
    module.setDeptNameSource(cv::TDM_PersonPack::DeptNameSource::OneRead);

    const double byShell = store.shellRowsSeconds({personSql, deptSql}, work.path(), "export", runs);
    const double tableByShell = store.shellRowsSeconds(
        {"SELECT DeptID, DeptName FROM CV_DeptInfo"}, work.path(), "depttable", runs);
    std::printf(
        "export, %s, %d people in %d departments (best of %d):\n"
        "  frame (tree built, ticked)      %8.3f s\n"
        "  package (fetch, paths, files)   %8.3f s\n"
        "    person rows into the file     %s   (through the dataset: fetched %.3f s, written"
        " %.3f s)\n"
        "    department rows with paths    %8.3f s   (the paths %.3f s; with the old"
        " per-department look-ups %.3f s)\n"
        "    department file written       %8.3f s\n"
        "  %s%8.3f s   package / shell = %.2f\n"
        "  %s shell, the department table %7.3f s   paths / shell = %.2f\n",
        styleName(style), people, int(depts.size()), runs, frame, package,
        (streamed ? QString::asprintf("%8.3f s", streamPeople) : QString("  not streamed"))
            .toUtf8()
            .constData(),
        fetchPeople, savePeople,
        fetchDepts, paths, lookUps, saveDepts, shellLabel(32).constData(), byShell,
        package / byShell, bench::shellName(), tableByShell, paths / tableByShell);
}

// The statements the import sends for one person whose department path has `levels`
// levels: existence, login name, per level the lookup and either its re-run or (first
// time) the maximum and the insert, then the person's insert.
QString departmentStatements(const Dept& dept, QSet<QString>& created) {
    QString sql;
    const QStringList names = dept.path.split('_');
    for (int level = 0; level < names.size(); ++level) {
        const QString id = dept.id.left(4 * (level + 1));
        const QString parent = dept.id.left(4 * level);
        QString where =
            "DeptName=" + q(names[level]) +
            (level == 0 ? QString(" and length(DeptID)=4")
                        : " and substr(DeptId,1," + QString::number(4 * level) + ")=" + q(parent) +
                              " and length(DeptId)=" + QString::number(4 * (level + 1)));
        sql += "SELECT DeptName,DeptID FROM CV_DeptInfo WHERE " + where + ";\n";
        if (created.contains(id)) {
            sql += "SELECT DeptName,DeptID FROM CV_DeptInfo WHERE " + where + ";\n";
        } else {
            created.insert(id);
            sql +=
                "Select max(DeptId) as DeptId1 from CV_DeptInfo where " +
                (level == 0 ? QString("length(DeptId)=4")
                            : "substr(DeptId,1," + QString::number(4 * level) + ")=" + q(parent) +
                                  " and length(DeptId)=" + QString::number(4 * (level + 1))) +
                ";\ninsert into CV_DeptInfo(DeptId,DeptName,DeptMemo) values(" + q(id) + "," +
                q(names[level]) + ",'');\n";
        }
    }
    return sql;
}

// Peak resident memory since the last reset, in MB; resetting makes the next figure the
// peak of what runs in between (Linux: writing 5 to clear_refs).
// What the heap keeps free from the set-up (the source installation and its export) goes back
// first, so that the figures are the step's own.
void resetPeakMemory() {
    malloc_trim(0);
    QFile refs("/proc/self/clear_refs");
    if (refs.open(QIODevice::WriteOnly)) refs.write("5");
}
double peakMemoryMB() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ')[0].toDouble() / 1024;
    return 0;
}

// What the import stored, as the INSERT statements that store exactly those rows: the
// yardstick of an import that sends nothing but its rows.
QString rowInserts(const bench::Store& store) {
    auto connection = cvhost::openStore(store.target());
    QString sql;
    QTextStream out(&sql);
    QSqlQuery depts(connection->database());
    depts.exec("SELECT DeptID, DeptName FROM CV_DeptInfo");
    while (depts.next())
        out << "insert into CV_DeptInfo(DeptId,DeptName,DeptMemo) values(" << q(depts.value(0).toString())
            << "," << q(depts.value(1).toString()) << ",'');\n";
    QSqlQuery people(connection->database());
    people.exec(
        "SELECT PerUUID, PerName, PerSex, PerMemo, LoginName, UPassword, PerDept FROM CV_PersonInfo");
    while (people.next()) {
        out << "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, PerMemo, LoginName, UPassword, "
               "PerDept, PrjID) VALUES(";
        for (int i = 0; i < 7; ++i) out << q(people.value(i).toString()) << ", ";
        out << "'0');\n";
    }
    out.flush();
    return sql;
}

void benchImport(std::uint8_t style, int people, int tops) {
    QTemporaryDir work;
    const QList<Dept> depts = departments(tops);
    const QString package = work.filePath("package/");
    {
        const bench::Store source(work.filePath("source.sqlite"));
        fillStore(source, depts, people);
        Host host(source.target(), style, work.path());
        QWidget window;
        if (cv::PackageExportProc(&window) != 1) qFatal("the export frame failed");
        const QString written = cv::PackageExport();
        copyPackage(written, package);
    }

    const bench::Store target(work.filePath("target.sqlite"));
    const QString in = work.filePath("in/");
    // Resident memory before the preview, and the peaks of the preview and of the import.
    double resident = 0, previewPeak = 0, importPeak = 0;
    auto importOnce = [&](double& preview, double& import, bool measureMemory) {
        Host host(target.target(), style, work.path());
        QWidget window;
        copyPackage(package, in);
        std::int32_t shown = 0;
        std::int32_t result = 0;
        if (measureMemory) {
            resetPeakMemory();
            resident = peakMemoryMB();
        }
        preview = seconds([&] { shown = cv::PackageImportProc(in, &window); });
        if (measureMemory) {
            previewPeak = peakMemoryMB();
            resetPeakMemory();
        }
        import = seconds([&] { result = cv::PackageImport(in); });
        if (measureMemory) importPeak = peakMemoryMB();
        if (shown != 1 || result != 1) qFatal("the import failed: %d %d", shown, result);
    };
    double previewEmpty = 0, importEmpty = 0, previewFull = 0, importFull = 0;
    importOnce(previewEmpty, importEmpty, true);
    int stored = 0;
    {
        auto connection = cvhost::openStore(target.target());
        QSqlQuery count(connection->database());
        count.exec("SELECT count(*) FROM CV_PersonInfo");
        count.next();
        stored = count.value(0).toInt();
    }
    const QString inserts = rowInserts(target);
    importOnce(previewFull, importFull, false);

    // Yardsticks through the engine's shell, each statement on its own: just the rows the
    // import stored, and the statement stream of the person store's operations one by one.
    QString intoEmpty;
    QString intoFull;
    QSet<QString> created;
    QTextStream empty(&intoEmpty);
    QTextStream full(&intoFull);
    for (int i = 0; i < people; ++i) {
        const Dept& dept = depts[(i * 7) % depts.size()];
        const QString exists =
            "SELECT PerUUID FROM CV_PersonInfo WHERE PerUUID=" + q(personId(i)) + ";\n";
        empty << exists
              << "SELECT LoginName FROM CV_PersonInfo WHERE LoginName = " +
                     q(QStringLiteral("login%1").arg(i)) + ";\n"
              << departmentStatements(dept, created)
              << "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, PerMemo, LoginName, "
                 "UPassword, PerDept, PrjID) VALUES(" +
                     q(personId(i)) + ", " + q(QStringLiteral("姓名%1").arg(i)) + ", " +
                     q(i % 2 ? QStringLiteral("男") : QStringLiteral("女")) + ", " +
                     q(i % 3 ? QString() : QStringLiteral("备注")) + ", " +
                     q(QStringLiteral("login%1").arg(i)) + ", " + q(QStringLiteral("pw%1").arg(i)) +
                     ", " + q(dept.id) + ", '0');\n";
        full << exists;
    }
    for (const Dept& dept : depts) {
        QSet<QString> all(created);
        const QString resolve = departmentStatements(dept, all);
        empty << resolve;
        full << resolve;
    }
    empty.flush();
    full.flush();
    const bench::Store shellRows(work.filePath("shell-rows.sqlite"));
    const double shellJustRows = shell(shellRows, inserts, work.filePath("rows.sql"));
    const bench::Store shellEmpty(work.filePath("shell-empty.sqlite"));
    const double shellIntoEmpty = shell(shellEmpty, intoEmpty, work.filePath("into-empty.sql"));
    const double shellIntoFull = shell(target, intoFull, work.filePath("into-full.sql"));

    std::printf(
        "import, %s, %d people in %d departments:\n"
        "  into an empty installation: preview %6.2f s, import %7.2f s, %8.0f people/s"
        " (%d stored)\n"
        "    resident memory before the preview %.0f MB, peak of the preview %.0f MB,"
        " peak of the import %.0f MB\n"
        "    %s shell, just the rows' INSERTs      %7.2f s   import / shell = %.2f\n"
        "    %s shell, per-statement stream        %7.2f s   import / shell = %.2f\n"
        "  into one that holds them all: preview %6.2f s, import %7.2f s, %8.0f people/s\n"
        "    %s shell, per-statement stream        %7.2f s   import / shell = %.2f\n",
        styleName(style), people, int(depts.size()), previewEmpty, importEmpty, people / importEmpty,
        stored, resident, previewPeak, importPeak, bench::shellName(), shellJustRows, importEmpty / shellJustRows,
        bench::shellName(), shellIntoEmpty, importEmpty / shellIntoEmpty, previewFull, importFull,
        people / importFull, bench::shellName(), shellIntoFull, importFull / shellIntoFull);
}

}  // namespace

int main(int argc, char** argv) {
    bench::takeServerOption(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString what = args.value(1, "all");
    const QString styles = args.value(2, "local");
    const int people = args.value(3, "100000").toInt();
    const int tops = args.value(4, "50").toInt();
    if (people <= 0 || tops <= 0 || !QStringList{"export", "import", "all"}.contains(what) ||
        !QStringList{"local", "networked", "both"}.contains(styles)) {
        std::fprintf(stderr,
                     "usage: bench_package [export|import|all] [local|networked|both] [people] "
                     "[top-level departments, 110 departments each]\n");
        return 2;
    }
    std::printf("engine: %s\n", qPrintable(bench::engineName()));
    QList<std::uint8_t> styleList;
    if (styles != "networked") styleList << 2;
    if (styles != "local") styleList << 1;
    for (std::uint8_t style : styleList) {
        if (what != "import") benchExport(style, people, tops);
        if (what != "export") benchImport(style, people, tops);
    }
    std::printf("repeat: %s\n", qPrintable(bench::repeatCommand(
                                    QCoreApplication::applicationFilePath(),
                                    {what, styles, QString::number(people), QString::number(tops)},
                                    "QT_QPA_PLATFORM=offscreen")));
    return 0;
}
