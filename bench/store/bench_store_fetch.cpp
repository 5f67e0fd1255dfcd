// The export's two fetches over a whole installation: 100,000 people in 5,000 departments of
// three levels. FetchRows and FetchWithDeptPaths (which adds up to three name look-ups per
// department) against the sqlite3 shell running the same two statements on the same file.
//
//   bench_store_fetch [work-folder]      (default /tmp/cvbench-store-fetch; kept for repeats)
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QStringList>
#include <cstdio>
#include <cstdlib>

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

void check(bool ok, QSqlQuery& query) {
    if (!ok) fail(qPrintable(query.lastError().text()));
}

// 20 top-level departments, 15 under each, and 4,680 under those: 5,000 in all, with 20
// people in each.
QStringList generate(const QString& path) {
    QFile::remove(path);
    QFile::remove(path + "-wal");
    QFile::remove(path + "-shm");
    auto connection = cvhost::openStore(path);
    cvhost::createSchema(*connection);
    QSqlDatabase db = connection->database();
    db.transaction();
    QSqlQuery dept(db);
    dept.prepare("INSERT INTO CV_DeptInfo(DeptID, DeptName, DeptMemo) VALUES(?, ?, ?)");
    QStringList codes;
    const auto add = [&](const QString& code, const QString& name) {
        dept.addBindValue(code);
        dept.addBindValue(name);
        dept.addBindValue(QString("备注"));
        check(dept.exec(), dept);
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
    if (codes.size() != 5000) fail("the generator made the wrong number of departments");
    QSqlQuery person(db);
    person.prepare(
        "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, PerMemo, LoginName, UPassword, "
        "PerDept, PrjID) VALUES(?, ?, ?, ?, ?, ?, ?, 0)");
    QStringList ids;
    for (int i = 0; i < kPeople; ++i) {
        const QString id = QString("P%1").arg(i, 8, 10, QChar('0'));
        for (const QString& value :
             {id, QString("姓名%1").arg(i), QString(i % 2 ? "男" : "女"), QString("memo"),
              QString("user%1").arg(i), QString("pw%1").arg(i), codes[i % codes.size()]})
            person.addBindValue(value);
        check(person.exec(), person);
        ids << id;
    }
    db.commit();
    return ids;
}

// Wall time of the sqlite3 shell reading `sqlFile` against `database`, output discarded.
double shellSeconds(const QString& shell, const QString& database, const QString& sqlFile) {
    QProcess process;
    process.setStandardInputFile(sqlFile);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(shell, {"-batch", database});
    if (!process.waitForFinished(-1) || process.exitCode() != 0) fail("the sqlite3 shell failed");
    return bench::seconds(timer);
}

void writeFile(const QString& path, const QString& text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) fail("cannot write a file");
    file.write(text.toUtf8() + ";\n");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString folder = argc > 1 ? QString(argv[1]) : QString("/tmp/cvbench-store-fetch");
    QDir().mkpath(folder);
    const QString database = QDir(folder).filePath("installation.sqlite");
    const QString shell = QStandardPaths::findExecutable("sqlite3");
    if (shell.isEmpty()) fail("no sqlite3 shell on the PATH");

    QElapsedTimer timer;
    timer.start();
    const QStringList ids = generate(database);
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

    const double shellPerson = shellSeconds(shell, database, personFile);
    const double shellDept = shellSeconds(shell, database, deptFile);
    std::printf("sqlite3 shell: person statement %.3f s, department statement %.3f s\n",
                shellPerson, shellDept);

    for (std::uint8_t style : {std::uint8_t{2}, std::uint8_t{1}}) {
        bench::BenchStore store(database, style);
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
    std::printf("repeat: %s %s\n", qPrintable(QCoreApplication::applicationFilePath()),
                qPrintable(folder));
    std::printf("shell alone: time %s -batch %s < %s > /dev/null  (and %s)\n", qPrintable(shell),
                qPrintable(database), qPrintable(personFile), qPrintable(deptFile));
    return 0;
}
