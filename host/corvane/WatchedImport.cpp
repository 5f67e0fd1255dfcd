#include "WatchedImport.h"

#include <QAbstractItemModel>
#include <QGuiApplication>
#include <QWidget>

#include "Busy.h"
#include "EmbeddedTree.h"
#include "HostLog.h"
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

namespace {

QString reasonOf(const std::exception& e) { return QString::fromUtf8(e.what()); }

}  // namespace

WatchedImport runWatchedImport(const Plugin& plugin, QObject* app, QWidget* panel, QWidget* window,
                               const QString& package, PackageReading* reading) {
    WatchedImport run;
    std::optional<cvhost::PackageContents> contents;
    QSet<QString> inPreview;
    if (reading) {
        try {
            contents = reading->contents(window);
            inPreview = personTicks(panel).inTree;
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
    const QList<cvhost::AccountRow> rows = cvhost::readAccount(*account);
    waitWhileBusy(window, QString::fromUtf8("正在生成导入报告…"), [&] {
        run.report = cvhost::composeReport(*contents, rows, inPreview, run.log, run.result);
    });
    return run;
}

}  // namespace corvane
