#include "HostLog.h"

#include <QFile>

#include "HostSettings.h"

namespace corvane {

LogTail::LogTail() : path_(cvhost::Settings::instance().value("logFile")) {
    QFile log(path_);
    start_ = log.exists() ? log.size() : 0;
}

QStringList LogTail::newMessages() const {
    QStringList messages;
    QFile log(path_);
    if (path_.isEmpty() || !log.open(QIODevice::ReadOnly) || !log.seek(start_)) return messages;
    // A line is: time, kind, identifier, module, subsystem, level, message (tab-separated).
    for (const QByteArray& line : log.readAll().split('\n'))
        if (!line.isEmpty()) messages << QString::fromUtf8(line).section('\t', 6);
    return messages;
}

}  // namespace corvane
