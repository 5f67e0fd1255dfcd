#include "WatchedImport.h"

#include <QAbstractItemModel>
#include <QGuiApplication>
#include <QWidget>
#include <memory>

#include "Busy.h"
#include "Database.h"
#include "EmbeddedTree.h"
#include "HostLog.h"
#include "HostSettings.h"
#include "Installation.h"
#include "TextCodec.h"

namespace corvane {

PackageReading::PackageReading(const QString& package)
    : future_(std::async(std::launch::async, [package] {
                  return cvhost::readPackage(package);
              }).share()) {}

cvhost::PackageContents PackageReading::contents(QWidget* parent) {
    if (future_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        waitWhileBusy(parent, QString::fromUtf8("正在读取人员包…"), [this] { future_.wait(); });
    return future_.get();
}

QString importStore() {
    const auto& settings = cvhost::Settings::instance();
    return settings.workingStyle() == 1 ? settings.value("server", settings.value("db"))
                                        : settings.value("db");
}

namespace {

QString reasonOf(const std::exception& e) { return QString::fromUtf8(e.what()); }

}  // namespace

WatchedImport runWatchedImport(const Plugin& plugin, QObject* app, QWidget* panel, QWidget* window,
                               const QString& package, PackageReading* reading) {
    WatchedImport run;
    std::optional<cvhost::PackageContents> contents;
    PersonTicks ticks;
    std::unique_ptr<cvhost::ImportWatch> watch;
    if (reading) {
        try {
            contents = reading->contents(window);
            ticks = personTicks(panel);
            // For a plug-in that keeps no account of its import: the store as it was.
            if (!panel->findChild<QAbstractItemModel*>(QStringLiteral("ImportPlan"))) {
                const QString store = importStore();
                waitWhileBusy(window, QString::fromUtf8("正在读取数据库中已有的人员…"), [&] {
                    watch = std::make_unique<cvhost::ImportWatch>(*contents, store, ticks.ticks,
                                                                  ticks.inTree);
                });
            }
        } catch (const cv::DbError& e) {
            run.reportError = cvhost::plainDatabaseError(reasonOf(e));
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
    try {
        if (account) {
            const QList<cvhost::AccountRow> rows = cvhost::readAccount(*account);
            waitWhileBusy(window, QString::fromUtf8("正在生成导入报告…"), [&] {
                run.report =
                    cvhost::composeReport(*contents, rows, ticks.inTree, run.log, run.result);
            });
        } else if (watch) {
            waitWhileBusy(window, QString::fromUtf8("正在生成导入报告…"),
                          [&] { run.report = watch->finish(run.log, run.result); });
        } else {
            run.reportError = QString::fromUtf8("插件没有给出导入明细");
        }
    } catch (const cv::DbError& e) {
        run.reportError = cvhost::plainDatabaseError(reasonOf(e));
    } catch (const std::exception& e) {
        run.reportError = reasonOf(e);
    }
    return run;
}

}  // namespace corvane
