#include "WatchedImport.h"

#include <QAbstractItemModel>
#include <QGuiApplication>
#include <QWidget>

#include "Busy.h"
#include "EmbeddedTree.h"
#include "HostLog.h"
#include "TextCodec.h"

namespace corvane {

// A joined thread, for the reason Busy.cpp gives.
PackageReading::PackageReading(const QString& package) {
    std::packaged_task<cvhost::PackageContents()> task(
        [package] { return cvhost::readPackage(package); });
    future_ = task.get_future().share();
    thread_ = std::thread(std::move(task));
}

PackageReading::~PackageReading() { thread_.join(); }

cvhost::PackageContents PackageReading::contents(QWidget* parent) {
    if (future_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        waitWhileBusy(parent, QString::fromUtf8("正在读取人员包…"), [this] { future_.wait(); });
    return future_.get();
}

namespace {

QString reasonOf(const std::exception& e) { return QString::fromUtf8(e.what()); }

}  // namespace

PlannedImport planImport(QWidget* panel, QWidget* window, PackageReading& reading) {
    PlannedImport planned;
    const auto* plan = panel->findChild<QAbstractItemModel*>(QStringLiteral("ImportPlan"));
    if (!plan) {
        planned.error = QString::fromUtf8("插件没有给出导入预演 (ImportPlan)");
        return planned;
    }
    // The rows first: a plan the plug-in makes only when asked is made by reading them.
    const QList<cvhost::AccountRow> rows = cvhost::readAccount(*plan);
    planned.summary = plan->property("summary").toString();
    if (const QString why = plan->property("failure").toString(); !why.isEmpty()) {
        planned.error = QString::fromUtf8("无法预演导入: ") + why;
        return planned;
    }
    try {
        const cvhost::PackageContents contents = reading.contents(window);
        const QSet<QString> inPreview = peopleInTree(panel);
        waitWhileBusy(window, QString::fromUtf8("正在生成预演报告…"), [&] {
            planned.report = cvhost::composePlannedReport(contents, rows, inPreview);
        });
    } catch (const std::exception& e) {
        planned.error = reasonOf(e);
    }
    return planned;
}

WatchedImport runWatchedImport(const Plugin& plugin, QObject* app, QWidget* panel, QWidget* window,
                               const QString& package, PackageReading* reading) {
    WatchedImport run;
    std::optional<cvhost::PackageContents> contents;
    QSet<QString> inPreview;
    if (reading) {
        try {
            contents = reading->contents(window);
            inPreview = peopleInTree(panel);
        } catch (const std::exception& e) {
            run.reportError = reasonOf(e);
        }
    }
    const cvhost::LogCapture log;
    const QByteArray argument = cv::toGbk(package);
    run.result = plugin.importPackage(app, QGuiApplication::primaryScreen(), nullptr, 0,
                                      argument.constData());
    run.log = log.messages();
    run.ending = cvhost::importEnding(run.result, run.log);
    if (!contents || !run.reportError.isEmpty()) return run;

    const auto* account = panel->findChild<QAbstractItemModel*>(QStringLiteral("ImportAccount"));
    if (!account) {
        run.reportError = QString::fromUtf8("插件没有给出这次导入的逐人明细 (ImportAccount)");
        return run;
    }
    const auto* plan = panel->findChild<QAbstractItemModel*>(QStringLiteral("ImportPlan"));
    // The two accounts are read off the window's thread too: nothing changes them while the
    // busy dialog holds the window's input, and a large one takes a while.
    waitWhileBusy(window, QString::fromUtf8("正在生成导入报告…"), [&] {
        QList<cvhost::AccountRow> rows = cvhost::readAccount(*account);
        if (plan) rows = cvhost::notedDepartures(std::move(rows), cvhost::readAccount(*plan));
        run.report = cvhost::composeReport(*contents, rows, inPreview, run.log, run.result);
    });
    return run;
}

}  // namespace corvane
