// The host program's commands; each answers the process exit status (0 when the operation
// answered success).
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include "Installation.h"

namespace corvane {

struct Options {
    QString package;      // export: the zip file to write; import: the package argument
    QStringList untick;   // node IDs the user unticks before the operation
    bool all = false;     // import: the import-all marker, no tick boxes
    QString screenshot;   // PNG of what the user sees
    QString report;       // import: the CSV report of what became of each person
    bool dryRun = false;  // import: the plan's report only; nothing is stored
    QString directory;    // demo: where the two installations are made
    QString server;       // demo: a PostgreSQL server for them instead (postgresql:// URL)
    QString style;        // demo: the working style of both hosts (local or networked)
};

int runInit(const QString& target, cvhost::Sample sample, QTextStream& out);
int runView(const Options& options, QTextStream& out);
int runExport(const Options& options, QTextStream& out);
int runImport(const Options& options, QTextStream& out);
int runDemo(const Options& options, QTextStream& out);

}  // namespace corvane
