// The export of person packages at scale: 100,000 people in 5,000 departments (three levels).
//
// The frame over the database tree, then the package of everybody, against the engine's shell
// (sqlite3, or psql on a server) running the package's two statements and writing their rows
// to files; then the package's steps one by one. The import has a benchmark of its own
// (bench_import).
// The installations are SQLite files, or under scripts/pgserver.sh run (CV_POSTGRES_URL) or
// with --postgres URL schemas on that PostgreSQL server.
//
// Run: QT_QPA_PLATFORM=offscreen bench_package [--postgres URL] [local|networked|both]
//      [people] [top-level departments, 100 departments each]
#include <QApplication>
#include <QTemporaryDir>
#include <QWidget>
#include <cstdio>

#include "BenchDatabase.h"
#include "BenchPackageHost.h"
#include "GetTickedPersons.h"
#include "PackageOperations.h"
#include "StagedFile.h"
#include "TDM_PersonPack.h"

namespace {

// "sqlite3 shell, same statements" or "psql shell, same statements", padded to `width`.
QByteArray shellLabel(int width) {
    return QString("%1 shell, same statements")
        .arg(bench::shellName())
        .leftJustified(width)
        .toUtf8();
}

using bench::bestSeconds;
using bench::seconds;

void benchExport(std::uint8_t style, int people, int tops) {
    constexpr int runs = 3;
    QTemporaryDir work;
    const QList<bench::Dept> depts = bench::departments(100 * tops);
    const bench::Store store(work.filePath("store.sqlite"));
    bench::fillStore(store, depts, people);
    const bench::PackageHost host(store.target(), style, work.path());
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

    const double byShell =
        store.shellRowsSeconds({personSql, deptSql}, work.path(), "export", runs);
    const double tableByShell = store.shellRowsSeconds({"SELECT DeptID, DeptName FROM CV_DeptInfo"},
                                                       work.path(), "depttable", runs);
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
        bench::styleName(style), people, int(depts.size()), runs, frame, package,
        (streamed ? QString::asprintf("%8.3f s", streamPeople) : QString("  not streamed"))
            .toUtf8()
            .constData(),
        fetchPeople, savePeople, fetchDepts, paths, lookUps, saveDepts, shellLabel(32).constData(),
        byShell, package / byShell, bench::shellName(), tableByShell, paths / tableByShell);
}

}  // namespace

int main(int argc, char** argv) {
    bench::takeServerOption(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString styles = args.value(1, "local");
    const int people = args.value(2, "100000").toInt();
    const int tops = args.value(3, "50").toInt();
    if (people <= 0 || tops <= 0 || !QStringList{"local", "networked", "both"}.contains(styles)) {
        std::fprintf(stderr,
                     "usage: bench_package [--postgres URL] [local|networked|both] [people] "
                     "[top-level departments, 100 departments each]\n");
        return 2;
    }
    std::printf("engine: %s\n", qPrintable(bench::engineName()));
    if (styles != "networked") benchExport(2, people, tops);
    if (styles != "local") benchExport(1, people, tops);
    std::printf("repeat: %s\n", qPrintable(bench::repeatCommand(
                                    QCoreApplication::applicationFilePath(),
                                    {styles, QString::number(people), QString::number(tops)},
                                    "QT_QPA_PLATFORM=offscreen")));
    return 0;
}
