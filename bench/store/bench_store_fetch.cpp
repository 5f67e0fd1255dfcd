// The export's two fetches over a whole installation: 100,000 people in 5,000 departments of
// three levels. FetchRows and FetchWithDeptPaths (which adds up to three name look-ups per
// department) against the engine's own shell (sqlite3, or psql on a server) running the same
// two statements on the same installation.
//
//   bench_store_fetch [--postgres URL] [work-folder]   (default /tmp/cvbench-store-fetch; the
//                                                      SQLite file is kept for repeats)
// Under scripts/pgserver.sh run (CV_POSTGRES_URL) the installation is a schema on that server.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <cstdio>
#include <cstdlib>

#include "BenchDatabase.h"
#include "BenchHost.h"
#include "ClientDataSet.h"
#include "Database.h"
#include "Installation.h"
#include "TDM_PersonPack.h"

namespace {

constexpr int kPeople = 100000;

void fail(const char* what) {
    std::fprintf(stderr, "bench_store_fetch: %s\n", what);
    std::exit(1);
}

// 20 top-level departments, 15 under each, and 4,680 under those: 5,000 in all, with 20
// people in each.
QStringList generate(const bench::Store& store) {
    auto connection = cvhost::openStore(store.target());
    bench::BulkInsert dept(*connection, "CV_DeptInfo", {"DeptID", "DeptName", "DeptMemo"});
    QStringList codes;
    const auto add = [&](const QString& code, const QString& name) {
        dept.add({code, name, QString("备注")});
        codes << code;
    };
    const auto part = [](int n) { return QString::number(n).rightJustified(4, '0'); };
    int mid = 0;
    for (int t = 1; t <= 20; ++t) {
        add(part(t), QString("部门%1").arg(t));
        for (int m = 1; m <= 15; ++m, ++mid) {
            add(part(t) + part(m), QString("科室%1_%2").arg(t).arg(m));
            for (int l = 1; l <= (mid < 180 ? 16 : 15); ++l)
                add(part(t) + part(m) + part(l), QString("小组%1-%2-%3").arg(t).arg(m).arg(l));
        }
    }
    dept.finish();
    if (codes.size() != 5000) fail("the generator made the wrong number of departments");
    bench::BulkInsert person(
        *connection, "CV_PersonInfo",
        {"PerUUID", "PerName", "PerSex", "PerMemo", "LoginName", "UPassword", "PerDept", "PrjID"});
    QStringList ids;
    for (int i = 0; i < kPeople; ++i) {
        const QString id = QString("P%1").arg(i, 8, 10, QChar('0'));
        person.add({id, QString("姓名%1").arg(i), QString(i % 2 ? "男" : "女"), QString("memo"),
                    QString("user%1").arg(i), QString("pw%1").arg(i), codes[i % codes.size()], 0});
        ids << id;
    }
    person.finish();
    return ids;
}

void writeFile(const QString& path, const QString& text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) fail("cannot write a file");
    file.write(text.toUtf8() + ";\n");
}

}  // namespace

int main(int argc, char** argv) {
    bench::takeServerOption(argc, argv);
    QCoreApplication app(argc, argv);
    const QString folder = argc > 1 ? QString(argv[1]) : QString("/tmp/cvbench-store-fetch");
    QDir().mkpath(folder);
    const bench::Store store(QDir(folder).filePath("installation.sqlite"));
    const QString& database = store.target();
    std::printf("engine: %s\n", qPrintable(bench::engineName()));

    QElapsedTimer timer;
    timer.start();
    const QStringList ids = generate(store);
    std::printf("generated %d people in 5000 departments in %.2f s: %s\n", kPeople,
                bench::seconds(timer), qPrintable(database));

    // The export's two statements, every person selected.
    const QString selection = ids.join("','");
    const QString personSql =
        "SELECT * From CV_PersonInfo Left Join CV_DeptInfo On (CV_PersonInfo.PerDept = "
        "CV_DeptInfo.DeptId) Where CV_PersonInfo.PerUUID in ('" +
        selection + "')";
    const QString deptSql =
        "SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo WHERE DeptID in( Select PerDept "
        "From CV_PersonInfo Where PerUUID In ('" +
        selection + "'))";
    const QString personFile = QDir(folder).filePath("person.sql");
    const QString deptFile = QDir(folder).filePath("dept.sql");
    writeFile(personFile, personSql);
    writeFile(deptFile, deptSql);

    const double shellPerson = store.shellSeconds(personFile);
    const double shellDept = store.shellSeconds(deptFile);
    std::printf("%s shell: person statement %.3f s, department statement %.3f s\n",
                bench::shellName(), shellPerson, shellDept);

    for (std::uint8_t style : {std::uint8_t{2}, std::uint8_t{1}}) {
        bench::BenchStore host(database, style);
        cv::TDM_PersonPack& module = *cv::TDM_PersonPack::instance();
        timer.restart();
        if (!module.FetchRows(module.CdsExportPer, personSql)) fail("FetchRows failed");
        const double rows = bench::seconds(timer);
        if (module.CdsExportPer.recordCount() != kPeople) fail("FetchRows missed rows");
        timer.restart();
        if (!module.FetchWithDeptPaths(module.CdsExportDept, deptSql))
            fail("FetchWithDeptPaths failed");
        const double paths = bench::seconds(timer);
        if (module.CdsExportDept.recordCount() != 5000) fail("FetchWithDeptPaths missed rows");
        std::printf(
            "%-9s FetchRows %.3f s (%.1fx the shell), FetchWithDeptPaths %.3f s (%.1fx the "
            "shell)\n",
            bench::styleName(style), rows, rows / shellPerson, paths, paths / shellDept);
    }
    std::printf("repeat: %s\n", qPrintable(bench::repeatCommand(
                                    QCoreApplication::applicationFilePath(), {folder})));
    // A schema on the server is dropped at the end; an SQLite file stays for the shell alone.
    if (!store.onServer())
        std::printf("shell alone: time %s  (and %s)\n", qPrintable(store.shellCommand(personFile)),
                    qPrintable(deptFile));
    return 0;
}
