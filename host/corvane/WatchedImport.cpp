#include "WatchedImport.h"

#include <QCursor>
#include <QGuiApplication>
#include <memory>

#include "Database.h"
#include "EmbeddedTree.h"
#include "HostLog.h"
#include "HostSettings.h"
#include "TextCodec.h"

namespace corvane {
namespace {

// The host reading the package or the store on its own: a busy pointer meanwhile.
struct Busy {
    Busy() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~Busy() { QGuiApplication::restoreOverrideCursor(); }
};

}  // namespace

QString importStore() {
    const auto& settings = cvhost::Settings::instance();
    return settings.workingStyle() == 1 ? settings.value("server", settings.value("db"))
                                        : settings.value("db");
}

WatchedImport runWatchedImport(const Plugin& plugin, QObject* app, QWidget* panel,
                               const QString& package, bool report) {
    WatchedImport run;
    std::unique_ptr<cvhost::ImportWatch> watch;
    if (report) {
        const Busy busy;
        try {
            PersonTicks ticks = personTicks(panel);
            watch = std::make_unique<cvhost::ImportWatch>(
                package, importStore(), std::move(ticks.ticks), std::move(ticks.inTree));
        } catch (const std::exception& e) {
            run.reportError = QString::fromUtf8(e.what());
        }
    }
    const cvhost::LogCapture log;
    const QByteArray argument = cv::toGbk(package);
    run.result = plugin.importPackage(app, QGuiApplication::primaryScreen(), nullptr, 0,
                                      argument.constData());
    run.log = log.messages();
    if (watch) {
        const Busy busy;
        try {
            run.report = watch->finish(run.log, run.result);
        } catch (const std::exception& e) {
            run.reportError = QString::fromUtf8(e.what());
        }
    }
    return run;
}

}  // namespace corvane
