// The host's window under a large import: how long its event loop goes without turning while
// the user previews a package of `people` people and imports it into an empty installation,
// then previews and imports it again into the installation that now holds them all (every
// person present). A timer on the event loop notes every gap between its turns; a gap is a
// stall the user sees as a frozen window. Each stall is split between the plug-in's calls
// (timed by wrapping its exports) and the host's own work, and marked by whether a modal
// dialog (the plug-in's progress dialog, the host's busy dialog) was up when it began. The
// yardstick is the same timer's longest gap while the window idles, in the same run.
//
// Run: QT_QPA_PLATFORM=offscreen bench_host [--postgres URL] [people] [departments]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <vector>

#include "Application.h"
#include "BenchDatabase.h"
#include "Database.h"
#include "HostSettings.h"
#include "Installation.h"
#include "MainWindow.h"
#include "Plugin.h"

namespace {

QElapsedTimer& stopwatch() {
    static QElapsedTimer timer;
    return timer;
}

// The plug-in's calls, as intervals of the clock.
struct Call {
    const char* name;
    qint64 start, end;  // ms
};
std::vector<Call>& calls() {
    static std::vector<Call> all;
    return all;
}

corvane::Plugin real;

int timed(const char* name, const std::function<int()>& work) {
    const qint64 start = stopwatch().elapsed();
    const int result = work();
    calls().push_back({name, start, stopwatch().elapsed()});
    return result;
}

int32_t CVCALL importProc(void* app, void* screen, void* hint, intptr_t s, const char* package,
                          void* panel) {
    return timed("CVPackage_ImportProc",
                 [&] { return real.importProc(app, screen, hint, s, package, panel); });
}
int32_t CVCALL importPackage(void* app, void* screen, void* hint, intptr_t s, const char* package) {
    return timed("CVPackage_Import",
                 [&] { return real.importPackage(app, screen, hint, s, package); });
}
int32_t CVCALL freeFrame(void* app, void* screen, void* hint, intptr_t s, intptr_t flag) {
    return timed("CVPackage_Free", [&] { return real.freeFrame(app, screen, hint, s, flag); });
}

// The event loop's gaps: a timer that should turn every 5 ms notes every longer gap.
struct Gap {
    qint64 start, end;
    bool dialogUp;  // a modal dialog was up both when the loop stopped turning and after
};

class StallWatch : public QObject {
public:
    StallWatch() {
        connect(&timer_, &QTimer::timeout, this, [this] {
            const qint64 now = stopwatch().elapsed();
            const bool dialogUp = QApplication::activeModalWidget() != nullptr;
            if (now - last_ > 20) gaps_.push_back({last_, now, dialogUp_ && dialogUp});
            last_ = now;
            dialogUp_ = dialogUp;
        });
        timer_.start(5);
        last_ = stopwatch().elapsed();
    }
    // The gaps since the last call.
    std::vector<Gap> take() {
        std::vector<Gap> taken;
        taken.swap(gaps_);
        return taken;
    }

private:
    QTimer timer_;
    qint64 last_ = 0;
    bool dialogUp_ = false;
    std::vector<Gap> gaps_;
};

// How much of [start, end) the plug-in's calls took, and the name of the one that took most.
std::pair<qint64, const char*> inPlugin(qint64 start, qint64 end) {
    qint64 total = 0, most = 0;
    const char* name = "";
    for (const Call& call : calls()) {
        const qint64 overlap = std::min(end, call.end) - std::max(start, call.start);
        if (overlap <= 0) continue;
        total += overlap;
        if (overlap > most) {
            most = overlap;
            name = call.name;
        }
    }
    return {total, name};
}

void step(StallWatch& watch, const char* what, const std::function<void()>& action) {
    watch.take();
    const qint64 start = stopwatch().elapsed();
    action();
    QTest::qWait(50);  // the loop turns once more after the last stall
    const qint64 wall = stopwatch().elapsed() - start;
    Gap longest{0, 0, false}, longestNoDialog{0, 0, false}, longestHost{0, 0, false};
    qint64 hostLongest = 0;
    for (const Gap& gap : watch.take()) {
        const qint64 length = gap.end - gap.start;
        if (length > longest.end - longest.start) longest = gap;
        if (!gap.dialogUp && length > longestNoDialog.end - longestNoDialog.start)
            longestNoDialog = gap;
        const qint64 host = length - inPlugin(gap.start, gap.end).first;
        if (host > hostLongest) {
            hostLongest = host;
            longestHost = gap;
        }
    }
    auto describe = [](const Gap& gap) {
        const qint64 length = gap.end - gap.start;
        const auto [plugin, name] = inPlugin(gap.start, gap.end);
        return QString("%1 ms (plug-in %2 ms%3, host %4 ms)")
            .arg(length)
            .arg(plugin)
            .arg(plugin ? QString(" in ") + name : QString())
            .arg(length - plugin);
    };
    std::printf("%s: %.2f s\n", what, double(wall) / 1000);
    std::printf("  longest stall:                     %s\n", qPrintable(describe(longest)));
    std::printf("  longest without a dialog up:       %s\n", qPrintable(describe(longestNoDialog)));
    std::printf("  most of the host's own work in one: %s\n", qPrintable(describe(longestHost)));
    std::fflush(stdout);
}

QString code(int n) { return QStringLiteral("%1").arg(n, 4, 10, QLatin1Char('0')); }

void fill(const bench::Store& store, int people, int departments) {
    auto connection = cvhost::openStore(store.target());
    bench::BulkInsert depts(*connection, "CV_DeptInfo", {"DeptID", "DeptName", "DeptMemo"});
    QStringList ids;
    for (int a = 1; ids.size() < departments; ++a) {
        ids << code(a);
        depts.add({code(a), QStringLiteral("部门%1").arg(a), QString()});
        for (int b = 1; b <= 9 && ids.size() < departments; ++b) {
            ids << code(a) + code(b);
            depts.add({code(a) + code(b), QStringLiteral("科室%1").arg(b), QString()});
        }
    }
    depts.finish();
    bench::BulkInsert persons(
        *connection, "CV_PersonInfo",
        {"PerUUID", "PerName", "PerSex", "LoginName", "UPassword", "PerDept", "PrjID"});
    for (int i = 0; i < people; ++i)
        persons.add({QStringLiteral("P%1").arg(i, 8, 10, QLatin1Char('0')),
                     QStringLiteral("姓名%1").arg(i), QStringLiteral("男"),
                     QStringLiteral("login%1").arg(i), QStringLiteral("pw"),
                     ids[(i * 7) % ids.size()], 0});
    persons.finish();
}

}  // namespace

int main(int argc, char** argv) {
    bench::takeServerOption(argc, argv);
    QApplication app(argc, argv);
    corvane::setUpApplication();
    const QStringList args = app.arguments().mid(1);
    const int people = args.value(0, "100000").toInt();
    const int departments = args.value(1, "5000").toInt();
    stopwatch().start();

    QTemporaryDir work(QDir::tempPath() + "/cvbench-host-XXXXXX");
    bench::Store source(work.filePath("a.sqlite"));
    bench::Store target(work.filePath("b.sqlite"));
    fill(source, people, departments);
    fill(target, 0, 0);
    const QString package = work.filePath("people.zip");
    {
        const QString ini = work.filePath("a.ini");
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue("host/db", source.target());
        settings.setValue("host/logFile", work.filePath("a.log"));
        settings.sync();
        QProcess corvane;
        corvane.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        corvane.start(QCoreApplication::applicationDirPath() + "/corvane",
                      {"export", "--settings", ini, "--package", package});
        if (!corvane.waitForFinished(-1) || corvane.exitCode() != 0)
            qFatal("corvane export failed: %s", corvane.readAll().constData());
    }

    auto& settings = cvhost::Settings::instance();
    settings.set("logFile", work.filePath("b.log"));
    settings.set("packageVersion", "1");
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, work.filePath("home"));
    QString error;
    if (!real.load(&error)) qFatal("%s", qPrintable(error));
    corvane::Plugin plugin = real;
    plugin.importProc = importProc;
    plugin.importPackage = importPackage;
    plugin.freeFrame = freeFrame;
    corvane::MainWindow window(plugin);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) qFatal("the window did not show");

    std::printf("%s, %d people in %d departments\n", qPrintable(bench::engineName()), people,
                departments);
    StallWatch watch;
    step(watch, "the window idling for 2 s (the yardstick)", [] { QTest::qWait(2000); });
    step(watch, "opening the empty installation", [&] {
        window.databaseEdit->setText(target.target());
        QTest::mouseClick(window.openButton, Qt::LeftButton);
    });
    for (const char* into : {"into the empty installation", "again: everybody present"}) {
        step(watch, qPrintable(QString("preview (导入人员…) ") + into), [&] {
            window.nextPackageToRead = package;
            QTest::mouseClick(window.importButton, Qt::LeftButton);
        });
        step(watch, qPrintable(QString("import (导入选中人员) ") + into),
             [&] { QTest::mouseClick(window.runImportButton, Qt::LeftButton); });
    }
    std::printf("repeat: %s\n",
                qPrintable(bench::repeatCommand(
                    "build/bin/bench_host", {QString::number(people), QString::number(departments)},
                    "QT_QPA_PLATFORM=offscreen")));
    return 0;
}
