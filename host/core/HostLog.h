// The host's log service, behind the companion library's CVLogWrite: one line per message,
// appended to the log file of the settings (standard error when none is set), with the
// columns time, kind, identifier, module, subsystem, level and message, tab-separated.
//
// The log file is shared: every host process of the user writes to the same one. A process
// hears its own lines (those of its plug-in included) through LogCapture as they are written,
// never by reading the file back.
#pragma once

#include <QString>
#include <QStringList>

namespace cvhost {

// Writes one line. Each text is made safe for a column of one line (cv::logSafeText). Answers
// false when the log refused the line (the file cannot be opened or written whole).
bool writeLog(const QString& message, int kind = 0, const QString& uuid = {},
              const QString& module = QStringLiteral("Corvane"), const QString& subsystem = {},
              int level = 0);

// The messages this process's log service took while the capture lives, in order, as the log
// file shows them: lines another process wrote to the same file are not among them, nor are
// lines the log refused. Lines may come from any thread.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList messages() const;

private:
    friend bool writeLog(const QString&, int, const QString&, const QString&, const QString&, int);
    QStringList messages_;
};

}  // namespace cvhost
