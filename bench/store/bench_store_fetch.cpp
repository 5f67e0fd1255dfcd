// The export's two fetches over a whole installation of 5,000 departments on three levels,
// at two sizes (50,000 and 100,000 people by default), side by side with the engine's own
// shell (sqlite3, or psql on a server) running the same statements and writing their rows to
// files, in the store's own settings.
//
// FetchWithDeptPaths reads every department's name in one statement; the department paths
// alone are what it takes beyond FetchRows of the same rows, compared with one
// statement reading the department table, in the shell and through the library's own
// database layer. The per-department
// look-ups that it used to make (GetDeptPathName, each code asked once) run beside it.
//
//   bench_store_fetch [--postgres URL] [work-folder] [people people]
//     (default /tmp/cvbench-store-fetch 50000 100000; the SQLite files are kept for repeats)
// Under scripts/pgserver.sh run (CV_POSTGRES_URL) the installations are schemas on that server.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

#include "BenchDatabase.h"
#include "BenchHost.h"
#include "ClientDataSet.h"
#include "Database.h"
#include "Installation.h"
#include "TDM_PersonPack.h"

namespace {

constexpr int kDepartments = 5000;
constexpr int kRuns = 3;

void fail(const char* what) {
    std::fprintf(stderr, "bench_store_fetch: %s\n", what);
    std::exit(1);
}

// 20 top-level departments, 15 under each, and 4,680 under those: 5,000 in all, `people`
// spread over them.
QStringList generate(const bench::Store& store, int people) {
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
    if (codes.size() != kDepartments) fail("the generator made the wrong number of departments");
    bench::BulkInsert person(
        *connection, "CV_PersonInfo",
        {"PerUUID", "PerName", "PerSex", "PerMemo", "LoginName", "UPassword", "PerDept", "PrjID"});
    QStringList ids;
    for (int i = 0; i < people; ++i) {
        const QString id = QString("P%1").arg(i, 8, 10, QChar('0'));
        person.add({id, QString("姓名%1").arg(i), QString(i % 2 ? "男" : "女"), QString("memo"),
                    QString("user%1").arg(i), QString("pw%1").arg(i), codes[i % codes.size()], 0});
        ids << id;
    }
    person.finish();
    return ids;
}

double bestOf(int runs, const std::function<void()>& work) {
    double best = 0;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        work();
        const double seconds = bench::seconds(timer);
        best = run == 0 ? seconds : std::min(best, seconds);
    }
    return best;
}

using Figures = std::map<std::string, double>;  // seconds by name

Figures measure(const QString& folder, int people) {
    Figures figures;
    const QString work = QDir(folder).filePath(QString::number(people));
    QDir().mkpath(work);
    const bench::Store store(QDir(work).filePath("installation.sqlite"));
    QElapsedTimer timer;
    timer.start();
    const QStringList ids = generate(store, people);
    std::printf("generated %d people in %d departments in %.2f s: %s\n", people, kDepartments,
                bench::seconds(timer), qPrintable(store.target()));

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
    const QString tableSql = "SELECT DeptID, DeptName FROM CV_DeptInfo";

    figures["shell: person statement"] = store.shellRowsSeconds({personSql}, work, "person", kRuns);
    figures["shell: department statement"] = store.shellRowsSeconds({deptSql}, work, "dept", kRuns);
    figures["shell: department table"] = store.shellRowsSeconds({tableSql}, work, "table", kRuns);
    {
        auto connection = cvhost::openStore(store.target());
        figures["in process: department table"] = bestOf(kRuns, [&] {
            cv::Query query(connection.get());
            query.setCommandText(tableSql);
            query.open();
        });
    }
    if (!store.onServer())  // a schema on a server is dropped at the end, a file stays
        std::printf("shell alone: time %s  (and dept.sql, table.sql)\n",
                    qPrintable(store.shellCommand(QDir(work).filePath("person.sql"))));

    for (std::uint8_t style : {std::uint8_t{2}, std::uint8_t{1}}) {
        bench::BenchStore host(store.target(), style);
        cv::TDM_PersonPack& module = *cv::TDM_PersonPack::instance();
        const std::string name = bench::styleName(style);
        figures[name + ": FetchRows, person statement"] = bestOf(kRuns, [&] {
            if (!module.FetchRows(module.CdsExportPer, personSql)) fail("FetchRows failed");
        });
        if (module.CdsExportPer.recordCount() != people) fail("FetchRows missed rows");
        figures[name + ": FetchRows, department statement"] = bestOf(kRuns, [&] {
            if (!module.FetchRows(module.CdsExportDept, deptSql)) fail("FetchRows failed");
        });
        QString paths;
        for (const auto source : {cv::TDM_PersonPack::DeptNameSource::OneRead,
                                  cv::TDM_PersonPack::DeptNameSource::LookUps}) {
            module.setDeptNameSource(source);
            const bool oneRead = source == cv::TDM_PersonPack::DeptNameSource::OneRead;
            figures[name + (oneRead ? ": FetchWithDeptPaths" : ": FetchWithDeptPaths, look-ups")] =
                bestOf(kRuns, [&] {
                    if (!module.FetchWithDeptPaths(module.CdsExportDept, deptSql))
                        fail("FetchWithDeptPaths failed");
                });
            if (module.CdsExportDept.recordCount() != kDepartments)
                fail("FetchWithDeptPaths missed rows");
            // Both ways give the same paths.
            QString text;
            for (const cv::Row& row : module.CdsExportDept.data().rows)
                text += cv::valueText(row.value(1)) + '\n';
            if (oneRead) {
                paths = text;
            } else if (text != paths) {
                fail("the look-ups give other paths than the one read");
            }
        }
        module.setDeptNameSource(cv::TDM_PersonPack::DeptNameSource::OneRead);
        // The paths alone: on the rows of the whole department table (the 5,000 rows the
        // export's statement gives as well, fetched at a fraction of its cost), what
        // FetchWithDeptPaths takes beyond FetchRows.
        const QString rowsSql = "SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo";
        const double withPaths = bestOf(5 * kRuns, [&] {
            if (!module.FetchWithDeptPaths(module.CdsExportDept, rowsSql))
                fail("FetchWithDeptPaths failed");
        });
        const double rowsAlone = bestOf(5 * kRuns, [&] {
            if (!module.FetchRows(module.CdsExportDept, rowsSql)) fail("FetchRows failed");
        });
        figures[name + ": department paths"] = withPaths - rowsAlone;
    }
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    bench::takeServerOption(argc, argv);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString folder = args.value(1, "/tmp/cvbench-store-fetch");
    const int small = args.value(2, "50000").toInt();
    const int large = args.value(3, "100000").toInt();
    if (small <= 0 || large <= 0) fail("usage: bench_store_fetch [folder] [people people]");
    QDir().mkpath(folder);
    std::printf("engine: %s; best of %d runs each\n", qPrintable(bench::engineName()), kRuns);

    const Figures a = measure(folder, small);
    const Figures b = measure(folder, large);
    std::printf("\n%-48s %10d %10d %7s\n", "seconds", small, large, "ratio");
    for (const auto& [name, seconds] : a)
        std::printf("%-48s %10.3f %10.3f %7.2f\n", name.c_str(), seconds, b.at(name),
                    b.at(name) / seconds);

    std::printf("\nat %d people, against the %s shell:\n", large, bench::shellName());
    for (const char* style : {"local", "networked"}) {
        const std::string s = style;
        std::printf(
            "  %-9s FetchRows %.2fx the person statement; FetchWithDeptPaths %.2fx the "
            "department statement (look-ups %.2fx); department paths %.2fx the department "
            "table (%.2fx the same statement in process)\n",
            style, b.at(s + ": FetchRows, person statement") / b.at("shell: person statement"),
            b.at(s + ": FetchWithDeptPaths") / b.at("shell: department statement"),
            b.at(s + ": FetchWithDeptPaths, look-ups") / b.at("shell: department statement"),
            b.at(s + ": department paths") / b.at("shell: department table"),
            b.at(s + ": department paths") / b.at("in process: department table"));
    }
    std::printf("repeat: %s\n", qPrintable(bench::repeatCommand(
                                    QCoreApplication::applicationFilePath(),
                                    {folder, QString::number(small), QString::number(large)})));
    return 0;
}
