// The import's store operations, in both working styles, on SQLite or on a PostgreSQL server:
// 10,000 ResolveDeptPath calls over 1,000 distinct three-level paths (the first pass
// creates 1,110 departments, the rest find them), then 10,000 people inserted with their
// existence tests, one login name in ten clashing and made unique.
//
//   bench_store_ops [--postgres URL] [work-folder]      (default /tmp/cvbench-store-ops)
// Under scripts/pgserver.sh run (CV_POSTGRES_URL) each style's store is a schema on that server.
#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>

#include "BenchDatabase.h"
#include "BenchHost.h"
#include "TCVPerson.h"

namespace {

constexpr int kResolves = 10000;
constexpr int kPaths = 1000;
constexpr int kPeople = 10000;

void fail(const char* what) {
    std::fprintf(stderr, "bench_store_ops: %s\n", what);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    bench::takeServerOption(argc, argv);
    QCoreApplication app(argc, argv);
    const QString folder = argc > 1 ? QString(argv[1]) : QString("/tmp/cvbench-store-ops");
    QDir().mkpath(folder);
    std::printf("engine: %s\n", qPrintable(bench::engineName()));

    for (std::uint8_t style : {std::uint8_t{2}, std::uint8_t{1}}) {
        const bench::Store database(
            QDir(folder).filePath(QString("ops-%1.sqlite").arg(bench::styleName(style))));
        bench::BenchStore store(database.target(), style);
        QElapsedTimer timer;

        timer.start();
        for (int i = 0; i < kResolves; ++i) {
            const int p = i % kPaths;
            const QString path =
                QString("总部%1_分部%2_小组%3").arg(p / 100).arg(p / 10 % 10).arg(p % 10);
            if (!cv::TCVPerson::ResolveDeptPath(path, "000100020003") ||
                cv::TCVPerson::ResolvedDeptID().size() != 12)
                fail("ResolveDeptPath failed");
        }
        const double resolveSeconds = bench::seconds(timer);

        timer.restart();
        int inserted = 0;
        for (int i = 0; i < kPeople; ++i) {
            cv::TCVPersonInfo person{QString("P%1").arg(i),
                                     "pw",
                                     QString("姓名%1").arg(i),
                                     "男",
                                     "",
                                     QString("user%1").arg(i % (kPeople - kPeople / 10)),
                                     "0001"};
            if (cv::TCVPerson::PersonExists(person.PerUUID)) continue;
            if (cv::TCVPerson::LoginNameExists(person.LoginName))
                person.LoginName = cv::TCVPerson::MakeUniqueLoginName(person.LoginName);
            if (cv::TCVPerson::InsertPerson(person)) ++inserted;
        }
        const double insertSeconds = bench::seconds(timer);
        if (inserted != kPeople) fail("not every person was inserted");

        std::printf(
            "%-9s ResolveDeptPath %6.0f calls/s (%d in %.2f s); person import %6.0f "
            "people/s (%d in %.2f s)\n",
            bench::styleName(style), kResolves / resolveSeconds, kResolves, resolveSeconds,
            kPeople / insertSeconds, kPeople, insertSeconds);
    }
    std::printf("repeat: %s\n", qPrintable(bench::repeatCommand(
                                    QCoreApplication::applicationFilePath(), {folder})));
    return 0;
}
