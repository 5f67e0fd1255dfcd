// The plan of an import, as the import preview makes it: 100,000 ticked people planned against
// an installation of 100,000 people in 5,000 departments, beside its yardstick, the read of the
// store's image alone (what any import must read first), measured in the same run; then the
// plan made again after the user unticks one person (at the start, the middle and the end of
// the list), which is what the preview does on every click; best of 5 each. As in the preview,
// the login names of the people stored are made when they are shown; the time to make all of
// them, as a dry run's report does, is shown beside.
//
// The package's people are new to the store; every other one's login name is taken there (so
// that it is renamed, drawing from the login-name generator), and one in twenty lies in a
// department path the store lacks.
//
// Run:  build/bin/bench_plan [--postgres URL] [people [departments]]
//       scripts/pgserver.sh run --durable build/bin/bench_plan     (SQLite and PostgreSQL)
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QTemporaryDir>
#include <cstdio>
#include <vector>

#include "BenchDatabase.h"
#include "BenchPackageHost.h"
#include "ImportLimits.h"
#include "ImportPlanSession.h"
#include "StoreImage.h"
#include "TDM_PersonPack.h"
#include "WindowedImport.h"

namespace {

std::vector<cv::ImportItem> packagePeople(int people, const QList<bench::Dept>& depts) {
    std::vector<cv::ImportItem> items(static_cast<std::size_t>(people));
    // The people of one department share its path's text, as the package's reader gives it.
    QHash<std::pair<int, int>, QString> newPaths;
    for (int i = 0; i < people; ++i) {
        cv::ImportItem& item = items[std::size_t(i)];
        item.person.PerUUID = QStringLiteral("new-%1").arg(i);
        item.person.PerName = QStringLiteral("新人%1").arg(i);
        item.person.PerSex = QStringLiteral("男");
        item.person.LoginName =
            i % 2 ? QStringLiteral("login%1").arg(i) : QStringLiteral("fresh%1").arg(i);
        const bench::Dept& dept = depts[(i * 13) % depts.size()];
        item.person.PerDept = dept.id;
        if (i % 20) {
            item.deptPath = dept.path;
        } else {
            QString& path = newPaths[{(i * 13) % depts.size(), i % 7}];
            if (path.isNull()) path = dept.path + QStringLiteral("_新部门%1").arg(i % 7);
            item.deptPath = path;
        }
        if (i % 20 == 0) item.person.PerDept += QStringLiteral("0001");
    }
    return items;
}

double ms(const QElapsedTimer& timer) { return timer.nsecsElapsed() / 1e6; }

void measure(const QString& target, std::uint8_t style, const QString& folder, int people,
             const QList<bench::Dept>& depts) {
    const bench::PackageHost host(target, style, folder);
    if (!cv::TDM_PersonPack::PrepareStore()) {
        std::fprintf(stderr, "bench_plan: the store cannot be used\n");
        std::exit(1);
    }
    cv::TDM_PersonPack& module = *cv::TDM_PersonPack::instance();
    const std::vector<cv::ImportItem> items = packagePeople(people, depts);

    std::vector<qsizetype> all(items.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = qsizetype(i);
    // The read and the plan take turns, so that a machine whose speed drifts (a shared one)
    // weighs on both alike.
    double readBest = 1e300;
    double planBest = 1e300;
    double namedBest = 1e300;
    cv::WindowedImport::Counts counts;
    std::unique_ptr<cv::ImportPlanSession> session;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer timer;
        timer.start();
        {
            const cv::ImportLimits limits = cv::ImportLimits::read(module);
            const cv::StoreImage image = cv::StoreImage::read(module);
            readBest = std::min(readBest, ms(timer));
        }
        session.reset();
        timer.restart();
        session = std::make_unique<cv::ImportPlanSession>(module, items,
                                                          std::span<const cv::ImportItem>());
        counts = session->decide(all).counts;
        planBest = std::min(planBest, ms(timer));
        session->named();
        namedBest = std::min(namedBest, ms(timer));
    }
    std::printf("  %-9s read of the store's image  %8.1f ms   (yardstick)\n",
                bench::styleName(style), readBest);
    std::printf(
        "  %-9s read and plan of everyone  %8.1f ms   %.2fx the read   (%d new, %d renamed, "
        "%d present, %d not storable, %d departments)\n",
        bench::styleName(style), planBest, planBest / readBest, counts.inserted, counts.renamed,
        counts.present, counts.notStored, counts.depts);
    std::printf(
        "  %-9s ... with every login name made %8.1f ms   %.2fx the read   (a dry run's report)\n",
        bench::styleName(style), namedBest, namedBest / readBest);
    for (const auto& [where, at] :
         {std::pair{"first", std::size_t(0)}, std::pair{"middle", all.size() / 2},
          std::pair{"last", all.size() - 1}}) {
        std::vector<qsizetype> ticked = all;
        ticked.erase(ticked.begin() + qsizetype(at));
        double untick = 1e300;
        double tick = 1e300;
        for (int run = 0; run < 5; ++run) {
            QElapsedTimer timer;
            timer.start();
            session->decide(ticked);
            untick = std::min(untick, ms(timer));
            timer.restart();
            session->decide(all);
            tick = std::min(tick, ms(timer));
        }
        std::printf("  %-9s untick the %-6s person: %7.1f ms, tick again %7.1f ms\n",
                    bench::styleName(style), where, untick, tick);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bench::takeServerOption(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int people = args.size() > 1 ? args[1].toInt() : 100000;
    const int departments = args.size() > 2 ? args[2].toInt() : 5000;
    QTemporaryDir folder(QDir::temp().filePath("cvbench-plan-XXXXXX"));
    const QList<bench::Dept> depts = bench::departments(departments);

    std::printf(
        "bench_plan: %d ticked people planned against an installation of %d people in %d "
        "departments, best of 5, the read and the plan in turn\n",
        people, people, departments);
    QStringList servers{QString()};  // SQLite first
    if (!bench::serverUrl().isEmpty()) servers << bench::serverUrl();
    for (const QString& server : servers) {
        const bench::Store store(folder.filePath("plan.sqlite"), server);
        bench::fillStore(store, depts, people);
        std::printf("%s\n", qPrintable(bench::engineNameOf(server)));
        for (std::uint8_t style : {std::uint8_t(2), std::uint8_t(1)})
            measure(store.target(), style, folder.path(), people, depts);
    }
    std::printf("repeat: %s\n",
                qPrintable(bench::repeatCommand(QCoreApplication::applicationFilePath(),
                                                args.mid(1), "QT_QPA_PLATFORM=offscreen")));
    return 0;
}
