// CVPackage_Import as the host runs it from its window and from its command line alike: the
// ticks of the embedded preview and the store are looked at before, the store and the log
// after, and the report of the import is made from what changed (cvhost::ImportWatch).
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "ImportReport.h"
#include "Plugin.h"

class QWidget;

namespace corvane {

struct WatchedImport {
    int result = 0;                              // what CVPackage_Import answered
    QStringList log;                             // the messages it logged
    std::optional<cvhost::ImportReport> report;  // none when the host could not follow it
    QString reportError;                         // why not
};

// Imports the package `package` (the argument the preview was embedded with, without the
// import-all marker) for the application object `app`, whose frame sits in `panel`; makes the
// report unless `report` is false.
WatchedImport runWatchedImport(const Plugin& plugin, QObject* app, QWidget* panel,
                               const QString& package, bool report = true);

// The database the import writes to under the host's settings: the application server's in
// the networked style, the local one otherwise.
QString importStore();

}  // namespace corvane
