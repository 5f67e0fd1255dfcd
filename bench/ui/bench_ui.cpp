// The personnel tree at scale: 5,000 departments on three levels with 50,000 and 100,000
// people (by default), every figure side by side for the two sizes, so that the ratio column
// shows how each grows (linear work stays near 2).
//
// - the database tree: its two statements in the engine's shell (sqlite3, or psql on a
//   server) writing their rows to files and through the library's own database layer (into
//   a dataset, and as texts, as the build reads them; the networked build's through the
//   server's broker); the build from them in both working styles, timed in turns with
//   those statements; the build that reads each department's people with a statement of
//   its own (the reference) once;
// - the three places that show it, as a user meets them: the export frame (built, opened one
//   level, everything ticked, painted), the preview dialog (no tick boxes) and the import
//   preview of a package of everybody (its files read as the preview reads them, and loaded
//   into datasets as the reference reads them; the tree built, ticked, painted); then in the
//   export frame expanding the root and ticking the root with a mouse click on its box, each
//   until painted;
// - the peak memory of `corvane view` on the store, beside the same on an installation
//   without anybody;
// - the frame's bulk operations: opening to level 1, setting every state, the root's cascade,
//   a deep toggle, the ticked people as GetTickedPersons, the export and the import list them.
// The walks over every node (listing the ticked people, setting every state, the root's
// cascade, clearing the tree) are timed twice: repeated (their memory stays in the caches
// from one run to the next) and, as a user meets them once after other work, with the caches
// emptied before each run ("cold"). Repeated, the 50,000-people tree stays in this machine's
// shared cache where the larger one does not, so their ratio shows the cache's size and its
// other tenants more than the walk; cold, both start alike.
// The store is an SQLite file, or under scripts/pgserver.sh run (CV_POSTGRES_URL) or with
// --postgres URL a schema on that PostgreSQL server.
//
// Run: QT_QPA_PLATFORM=offscreen bench_ui [--postgres URL] [people people]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchDatabase.h"
#include "CheckTree.h"
#include "ClientDataSet.h"
#include "ConnectionBroker.h"
#include "Database.h"
#include "DeptPathNames.h"
#include "GetTickedPersons.h"
#include "Installation.h"
#include "PackageTree.h"
#include "PacketTable.h"
#include "TFramePerson.h"
#include "TFrm_PersonView.h"
#include "TreeBuilder.h"

namespace {

constexpr int TopDepartments = 50;  // 50 x (1 + 9 x (1 + 10)) = 5,000 departments
constexpr int SecondLevel = 9;
constexpr int ThirdLevel = 10;
constexpr int Runs = 7;       // light operations: the best of these
constexpr int BuildRuns = 5;  // builds and openings
constexpr int Passes = 2;     // of the whole measurement, per size

QString code(int n) { return QStringLiteral("%1").arg(n, 4, 10, QLatin1Char('0')); }

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_ui: %s\n", what);
    std::exit(1);
}

// A store with 5,000 departments on three levels and `people` people spread over them.
void fillStore(cv::Connection& connection, int people) {
    QStringList deptIds;
    for (int a = 1; a <= TopDepartments; ++a) {
        deptIds << code(a);
        for (int b = 1; b <= SecondLevel; ++b) {
            deptIds << code(a) + code(b);
            for (int c = 1; c <= ThirdLevel; ++c) {
                deptIds << code(a) + code(b) + code(c);
            }
        }
    }
    bench::BulkInsert insertDept(connection, "CV_DeptInfo", {"DeptID", "DeptName"});
    for (const QString& id : deptIds) insertDept.add({id, QStringLiteral("部门") + id});
    insertDept.finish();
    bench::BulkInsert insertPerson(connection, "CV_PersonInfo",
                                   {"PerUUID", "PerName", "PerSex", "LoginName", "PerDept"});
    for (int i = 0; i < people; ++i) {
        // People go to the departments of the third level and a few to the upper ones.
        insertPerson.add({QStringLiteral("P%1").arg(i, 8, 10, QLatin1Char('0')),
                          QStringLiteral("姓名%1").arg(i),
                          i % 2 ? QStringLiteral("男") : QStringLiteral("女"),
                          QStringLiteral("login%1").arg(i), deptIds[(i * 7) % deptIds.size()]});
    }
    insertPerson.finish();
}

double timeIt(const std::function<void()>& work) {
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

// The best of `runs` rounds for each of `works`, which take turns within a round, `prepare`
// (when given) before each: a build and its yardstick meet the same state of the machine and
// of the heap (a yardstick timed on a fresh heap against a build timed among the frees of
// earlier builds would flatter the yardstick, and the other way round). The machine is
// shared, and the best run is the least disturbed.
std::vector<double> bestInTurns(int runs, const std::vector<std::function<void()>>& works,
                                const std::function<void()>& prepare) {
    std::vector<double> best(works.size(), 0);
    for (int i = 0; i < runs; ++i) {
        for (std::size_t w = 0; w < works.size(); ++w) {
            if (prepare) prepare();
            const double ms = timeIt(works[w]);
            best[w] = i == 0 ? ms : std::min(best[w], ms);
        }
    }
    return best;
}

double bestOf(int runs, const std::function<void()>& work,
              const std::function<void()>& prepare = {}) {
    return bestInTurns(runs, {work}, prepare)[0];
}

// Pushes everything out of the processor's caches by writing a buffer larger than them
// (this machine's shared cache holds 32 MB).
void evictCaches() {
    static std::vector<char> buffer(std::size_t(512) << 20);
    for (std::size_t i = 0; i < buffer.size(); i += 64) ++buffer[i];
}

// Counts the paints of a widget, to be sure a timing includes the one it claims.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

// Delivers what is pending (layout, expose, paint) and makes sure `viewport` was painted.
void settle(QWidget* viewport) {
    PaintCounter counter(viewport);
    QApplication::processEvents();
    if (counter.paints == 0) viewport->repaint();
}

// The package of everybody, written as the export writes it: the person rows joined with
// their departments, and the departments with their paths.
void writePackage(cv::Connection& connection, const QString& dir) {
    cv::Query people(&connection);
    people.setCommandText(
        "SELECT * From CV_PersonInfo Left Join CV_DeptInfo On (CV_PersonInfo.PerDept = "
        "CV_DeptInfo.DeptId)");
    people.open();
    cv::ClientDataSet personFile;
    personFile.setData(people.data());
    personFile.saveToFile(dir + "/perinfo.per");

    cv::Query depts(&connection);
    depts.setCommandText("SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo");
    depts.open();
    cv::DeptPaths paths(cv::TextRows::of(depts.data()));
    cv::RowSet withPaths = depts.data();
    withPaths.fields[1].width = 0;
    for (cv::Row& row : withPaths.rows) row[1] = paths.pathOf(cv::valueText(row[0]));
    cv::ClientDataSet deptFile;
    deptFile.setData(withPaths);
    deptFile.saveToFile(dir + "/deptinfo.per");
}

struct Figures {
    std::map<std::string, double> ms;
    std::map<std::string, double> mb;  // peak memory of a process
    int nodes = 0;
};

// Runs programs to measure their peak resident memory, from a process forked at the start
// while this one is small: the kernel counts what a process held before its exec in its
// peak, and a child of this benchmark would hold all of the benchmark's memory until then.
class Spawner {
public:
    Spawner() {
        if (pipe(requests_) != 0 || pipe(answers_) != 0) fail("no pipes");
        if (fork() != 0) return;
        // The spawner: an argument list, NUL-terminated words, one request per write; the
        // answer the peak in KB, or -1 when the program failed.
        char request[65536];
        for (ssize_t n; (n = read(requests_[0], request, sizeof request)) > 0;) {
            std::vector<char*> argv;
            for (char* word = request; word < request + n; word += std::strlen(word) + 1)
                argv.push_back(word);
            argv.push_back(nullptr);
            const pid_t child = fork();
            if (child == 0) {
                const int quiet = open("/dev/null", O_WRONLY);  // its report is not ours
                dup2(quiet, STDOUT_FILENO);
                dup2(quiet, STDERR_FILENO);
                execv(argv[0], argv.data());
                _exit(127);
            }
            int status = 0;
            struct rusage usage {};
            long peak = -1;
            if (child > 0 && wait4(child, &status, 0, &usage) == child && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0)
                peak = usage.ru_maxrss;
            if (write(answers_[1], &peak, sizeof peak) != sizeof peak) break;
        }
        _exit(0);
    }

    // The peak resident memory of `program` run with `arguments` to its end, in MB; fails
    // the benchmark when it does not succeed.
    double peakMegabytes(const QString& program, const QStringList& arguments) {
        QByteArray request = QFile::encodeName(program) + '\0';
        for (const QString& argument : arguments) request += argument.toLocal8Bit() + '\0';
        long peak = -1;
        if (write(requests_[1], request.constData(), size_t(request.size())) != request.size() ||
            read(answers_[0], &peak, sizeof peak) != sizeof peak || peak < 0)
            fail("a measured process failed");
        return double(peak) / 1024;
    }

private:
    int requests_[2];
    int answers_[2];
};

Spawner* spawner = nullptr;

Figures measure(int people) {
    Figures figures;
    QTemporaryDir dir;
    const bench::Store store(dir.filePath("bench.sqlite"));
    std::unique_ptr<cv::Connection> connection = cvhost::openStore(store.target());
    fillStore(*connection, people);

    // The yardsticks: the tree's own two statements.
    const QStringList statements{cv::DeptTreeSql(), cv::LocalPeopleTreeSql()};
    figures.ms["tree statements, shell"] =
        1000 * store.shellRowsSeconds(statements, dir.path(), "tree", BuildRuns);

    cv::CheckTree tree;
    tree.resize(400, 600);
    tree.show();
    // Each build into an empty tree (clearing the last one is timed apart, "clear"), taking
    // turns with its statements run alone: into a dataset, and as texts, as the build reads
    // them.
    {
        const auto times = bestInTurns(
            BuildRuns,
            {[&] {
                 for (const QString& sql : statements) {
                     cv::Query query(connection.get());
                     query.setCommandText(sql);
                     query.open();
                 }
             },
             [&] {
                 for (const QString& sql : statements) cv::readTextRows(connection.get(), sql);
             },
             [&] { cv::BuildDeptPersonTree(tree, connection.get()); }},  // last: stays built
            [&] { tree.nodes().clear(); });
        figures.ms["tree statements, in process"] = times[0];
        figures.ms["tree statements, in process, as texts"] = times[1];
        figures.ms["tree build, local"] = times[2];
    }
    {
        // The networked build and its own statements through the server's broker.
        cv::ConnectionBroker broker(cv::Connection::open(store.target()));
        const QStringList networkedSql{cv::DeptTreeSql(), cv::NetworkedPeopleTreeSql()};
        cv::CheckTree networked;
        const auto times = bestInTurns(BuildRuns,
                                       {[&] {
                                            for (const QString& sql : networkedSql)
                                                broker.fetchTexts(QString(), sql);
                                        },
                                        [&] { cv::BuildDeptPersonTree(networked, &broker); }},
                                       [&] { networked.nodes().clear(); });
        figures.ms["tree statements, networked, as texts"] = times[0];
        figures.ms["tree build, networked"] = times[1];
        figures.ms["tree build, local, per department"] = bestOf(
            1,
            [&] {
                cv::BuildDeptPersonTree(networked, connection.get(),
                                        cv::PersonReading::PerDepartment);
            },
            [&] { networked.nodes().clear(); });
    }
    figures.nodes = tree.nodes().size();
    QApplication::processEvents();

    // The host's preview of the store as a user runs it (offscreen it is shown, painted and
    // closed), beside the same of an installation without anybody: what the tree costs.
    const QString corvane = QCoreApplication::applicationDirPath() + "/corvane";
    figures.mb["corvane view"] = spawner->peakMegabytes(corvane, {"view", "--db", store.target()});
    const bench::Store empty(dir.filePath("empty.sqlite"));
    figures.mb["corvane view, nobody (yardstick)"] =
        spawner->peakMegabytes(corvane, {"view", "--db", empty.target()});

    // The export frame as PackageExportProc opens it, in a host window.
    {
        QWidget window;
        window.resize(900, 650);
        window.show();
        QApplication::processEvents();
        std::unique_ptr<cv::TFramePerson> frame;
        figures.ms["export frame opened"] = bestOf(
            BuildRuns,
            [&] {
                frame = std::make_unique<cv::TFramePerson>();
                cv::BuildDeptPersonTree(*frame->CTDeptPerson, connection.get());
                frame->setParentWindow(&window);
                frame->SizePnl->setLockBar(true);
                frame->SizePnl->setPanelWidth(200);
                frame->ExpandToLevel(1);
                frame->CTDeptPerson->setStateAll(cv::CheckTree::Checked);
                settle(frame->CTDeptPerson->viewport());
            },
            [&] {
                frame.reset();
                QApplication::processEvents();
            });
        cv::CheckTree& ct = *frame->CTDeptPerson;
        const QModelIndex root = ct.nodes().indexOf(0);
        figures.ms["export frame: expand the root"] = bestOf(
            Runs,
            [&] {
                ct.expand(root);
                settle(ct.viewport());
            },
            [&] {
                ct.collapse(root);
                settle(ct.viewport());
            });
        // A click on the root's tick box, as the user does it: the whole tree changes.
        figures.ms["export frame: tick the root (click)"] = bestOf(Runs, [&] {
            const int before = ct.stateIndex(0);
            QTest::mouseClick(ct.viewport(), Qt::LeftButton, {}, ct.checkBoxRect(0).center());
            settle(ct.viewport());
            if (ct.stateIndex(0) == before) fail("the click did not tick the root");
        });
    }

    // The preview dialog as PackageView opens it, up to the modal loop.
    {
        std::unique_ptr<cv::TFrm_PersonView> dialog;
        figures.ms["preview dialog opened"] = bestOf(
            BuildRuns,
            [&] {
                dialog = std::make_unique<cv::TFrm_PersonView>();
                auto* frame = new cv::TFramePerson(dialog.get());
                cv::BuildDeptPersonTree(*frame->CTDeptPerson, connection.get());
                dialog->setFrame(frame);
                frame->SizePnl->hide();
                frame->CTDeptPerson->removeCheckBoxes();
                frame->ExpandToLevel(1);
                dialog->show();
                settle(frame->CTDeptPerson->viewport());
            },
            [&] {
                dialog.reset();
                QApplication::processEvents();
            });
    }

    // The import preview of a package of everybody, as PackageImportProc opens it.
    {
        const QString packageDir = dir.filePath("package");
        QDir().mkpath(packageDir);
        writePackage(*connection, packageDir);
        QWidget window;
        window.resize(900, 650);
        window.show();
        QApplication::processEvents();
        // The files as the preview reads them, compact tables, and loaded into datasets (as
        // the preview loaded them before, and as the reference build reads them). The last
        // load's rows are let go before each timing: it is the loading of a package.
        cv::PacketTable depts;
        cv::PacketTable persons;
        figures.ms["import preview: files read as tables"] = bestOf(
            BuildRuns,
            [&] {
                depts = cv::PacketTable::read(packageDir + "/deptinfo.per");
                persons = cv::PacketTable::read(packageDir + "/perinfo.per");
            },
            [&] {
                depts = {};
                persons = {};
            });
        cv::ClientDataSet deptSet;
        cv::ClientDataSet personSet;
        figures.ms["import preview: files loaded as datasets"] = bestOf(
            BuildRuns,
            [&] {
                deptSet.loadFromFile(packageDir + "/deptinfo.per");
                personSet.loadFromFile(packageDir + "/perinfo.per");
            },
            [&] {
                deptSet.close();
                personSet.close();
            });
        std::unique_ptr<cv::TFramePerson> frame;
        figures.ms["import preview: tree built and shown"] = bestOf(
            BuildRuns,
            [&] {
                frame = std::make_unique<cv::TFramePerson>();
                cv::FillPackageTree(*frame->CTDeptPerson, depts, persons);
                frame->setParentWindow(&window);
                frame->TvDeptPerson->hide();
                frame->PnlImport->show();
                frame->SizePnl->setLockBar(true);
                frame->ExpandToLevel(1);
                frame->CTDeptPerson->setStateAll(cv::CheckTree::Checked);
                settle(frame->CTDeptPerson->viewport());
            },
            [&] {
                frame.reset();
                QApplication::processEvents();
            });
        if (frame->CTDeptPerson->nodes().size() != people + 5001)
            fail("the import preview shows another tree");
        cv::CheckTree reference;
        figures.ms["import preview: tree built, filters (reference)"] =
            bestOf(1, [&] { cv::FillPackageTreeFiltered(reference, deptSet, personSet); });
    }

    // The frame's bulk operations on the tree built above.
    figures.ms["ExpandToLevel(1)"] = bestOf(Runs, [&] {
        tree.openAboveLevel(1);
        settle(tree.viewport());
    });
    const int root = 0;
    // Both repeated and, as a user meets them after other work, from emptied caches.
    for (const bool cold : {false, true}) {
        const std::function<void()> prepare = cold ? evictCaches : std::function<void()>();
        const std::string suffix = cold ? ", cold" : "";
        figures.ms["setStateAll" + suffix] = bestOf(
            Runs, [&] { tree.setStateAll(cv::CheckTree::Checked); }, prepare);
        figures.ms["toggle root (cascade)" + suffix] = bestOf(
            Runs, [&] { tree.toggle(root); }, prepare);
    }

    // The last person of the last third-level department: four levels down.
    const int deep = tree.nodes().size() - 1;
    constexpr int Toggles = 1000;
    figures.ms["one deep toggle (avg of 1000)"] = bestOf(Runs,
                                                         [&] {
                                                             for (int i = 0; i < Toggles; ++i) {
                                                                 tree.toggle(deep);
                                                             }
                                                         }) /
                                                  Toggles;

    tree.setStateAll(cv::CheckTree::Checked);
    QString text;
    QList<cv::TickedPerson> ticked;
    for (const bool cold : {false, true}) {
        const std::function<void()> prepare = cold ? evictCaches : std::function<void()>();
        const std::string suffix = cold ? ", cold" : "";
        figures.ms["ticked: GetTickedPersons form 1" + suffix] = bestOf(
            Runs, [&] { text = cv::TickedPersonsText(tree, 1); }, prepare);
        if (text.count(u',') + 1 != people) fail("unexpected ticked count");
        figures.ms["ticked: sorted, for the export" + suffix] = bestOf(
            Runs, [&] { text = cv::SortedTickedPersonsText(tree, 0); }, prepare);
        figures.ms["ticked: people and rows, for the import" + suffix] = bestOf(
            Runs, [&] { ticked = cv::TickedPersons(tree); }, prepare);
    }
    figures.ms["ticked: ID list then its text (reference)"] =
        bestOf(Runs, [&] { text = cv::TickedPersonsText(cv::TickedPersonIds(tree), 1); });
    QApplication::processEvents();
    // Right after a build, its memory is still in the caches where the smaller tree fits;
    // a user closes the frame after other work: both are timed.
    for (const bool cold : {false, true}) {
        figures.ms[cold ? "clear, cold" : "clear"] = bestOf(
            BuildRuns, [&] { tree.nodes().clear(); },
            [&] {
                if (tree.nodes().size() == 0) cv::BuildDeptPersonTree(tree, connection.get());
                if (cold) evictCaches();
            });
    }
    return figures;
}

void keepBest(Figures& best, const Figures& pass) {
    if (best.ms.empty()) {
        best = pass;
        return;
    }
    for (auto& [name, ms] : best.ms) ms = std::min(ms, pass.ms.at(name));
    for (auto& [name, mb] : best.mb) mb = std::min(mb, pass.mb.at(name));
}

}  // namespace

int main(int argc, char** argv) {
    Spawner whileSmall;
    spawner = &whileSmall;
    bench::takeServerOption(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QList<int> sizes;
    for (int i = 1; i < argc; ++i) {
        sizes << QString::fromLocal8Bit(argv[i]).toInt();
    }
    if (sizes.size() != 2) {
        sizes = {50000, 100000};
    }
    const QString repeat =
        bench::repeatCommand(argv[0], {QString::number(sizes[0]), QString::number(sizes[1])},
                             "QT_QPA_PLATFORM=offscreen");
    std::printf("Personnel tree, 5,000 departments, %s; repeat with:\n  %s\n\n",
                qPrintable(bench::engineName()), qPrintable(repeat));
    // Each size is measured in several passes, the sizes taking turns, and each figure is the
    // best of its passes: what disturbs this machine for a while then weighs on both sizes
    // rather than on the one measured at the time, and the ratios show the work's growth.
    Figures small;
    Figures large;
    for (int pass = 0; pass < Passes; ++pass) {
        keepBest(small, measure(sizes[0]));
        keepBest(large, measure(sizes[1]));
    }
    std::printf("%-48s %12d %12d %8s\n", "people", sizes[0], sizes[1], "ratio");
    std::printf("%-48s %12d %12d %8.2f\n", "tree nodes", small.nodes, large.nodes,
                double(large.nodes) / small.nodes);
    for (const auto& [name, ms] : small.ms) {
        const double other = large.ms.at(name);
        std::printf("%-48s %9.1f ms %9.1f ms %8.2f\n", name.c_str(), ms, other, other / ms);
    }
    for (const auto& [name, mb] : small.mb) {
        const double other = large.mb.at(name);
        std::printf("%-48s %9.0f MB %9.0f MB %8.2f\n", ("peak memory: " + name).c_str(), mb, other,
                    other / mb);
    }
    const auto& l = large.ms;
    std::printf(
        "\nat %d people: the tree build takes %.2fx (local) and %.2fx (networked) its statements "
        "in the %s shell; %.2fx and %.2fx its own statements read as the build reads them (as "
        "texts, in process; networked through the broker); the local build %.2fx the same "
        "statements read into a dataset\n",
        sizes[1], l.at("tree build, local") / l.at("tree statements, shell"),
        l.at("tree build, networked") / l.at("tree statements, shell"), bench::shellName(),
        l.at("tree build, local") / l.at("tree statements, in process, as texts"),
        l.at("tree build, networked") / l.at("tree statements, networked, as texts"),
        l.at("tree build, local") / l.at("tree statements, in process"));
    return 0;
}
