// The lines that the host's log gains while an operation runs.
#pragma once

#include <QStringList>

namespace corvane {

class LogTail {
public:
    // Remembers where the log file of the settings ends now.
    LogTail();
    // The messages of the lines written since, without their time and identifier columns.
    QStringList newMessages() const;

private:
    QString path_;
    qint64 start_;
};

}  // namespace corvane
