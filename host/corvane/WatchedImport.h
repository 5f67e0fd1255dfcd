// CVPackage_Import as the host runs it from its window and from its command line alike: the
// package is read for the report from the moment its preview opens, on a thread of its own;
// which people the embedded preview shows is looked at before the import; the import's own
// account and its log lines make the report after it, each outcome the plan made just before
// the import did not foresee noted as such. None of the host's own work freezes the
// window (Busy.h).
#pragma once

#include <QString>
#include <QStringList>
#include <future>
#include <optional>
#include <thread>

#include "ImportReport.h"
#include "Plugin.h"

class QWidget;

namespace corvane {

// The package's person and department rows, read on a thread of its own from construction.
class PackageReading {
public:
    explicit PackageReading(const QString& package);
    ~PackageReading();  // waits for the reading to end
    PackageReading(const PackageReading&) = delete;
    PackageReading& operator=(const PackageReading&) = delete;
    // Waits while busy (Busy.h) over `parent`; throws std::runtime_error, with the reason in
    // Chinese, when the package cannot be read.
    cvhost::PackageContents contents(QWidget* parent);
    // The contents, for freeing elsewhere once the reading has ended; contents() may not be
    // asked for after.
    std::shared_future<cvhost::PackageContents> release() { return std::move(future_); }

private:
    std::shared_future<cvhost::PackageContents> future_;
    std::thread thread_;
};

struct WatchedImport {
    int result = 0;                              // what CVPackage_Import answered
    QStringList log;                             // the messages it logged
    cvhost::ImportEnding ending;                 // how it ended, told by those
    std::optional<cvhost::ImportReport> report;  // none when the host could not follow it
    QString reportError;                         // why not, in Chinese
};

// What the import would do with the people ticked now: the embedded frame's plan (its
// "ImportPlan" model) as a planned report, and the plan's line of counts. Nothing is stored.
struct PlannedImport {
    std::optional<cvhost::ImportReport> report;  // none when there is no plan
    QString summary;                             // "导入预计: 新增 … 人, …"
    QString error;                               // why there is no report, in Chinese
};
PlannedImport planImport(QWidget* panel, QWidget* window, PackageReading& reading);

// Imports the package `package` (the argument the preview was embedded with, without the
// import-all marker) for the application object `app`, whose frame sits in `panel`; makes the
// report from `reading` (the package's rows) unless it is null. `window` is what the host's
// busy dialogs sit over.
WatchedImport runWatchedImport(const Plugin& plugin, QObject* app, QWidget* panel, QWidget* window,
                               const QString& package, PackageReading* reading);

}  // namespace corvane
