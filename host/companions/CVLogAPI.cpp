// The host's log: one line per call, appended to the log file of the settings (standard
// error when none is set). Text that is not valid GBK is written with its bad bytes escaped:
// a line is never lost for what it says.
#include <QDateTime>
#include <QFile>
#include <cstdio>

#include "CVHostServices.h"
#include "HostSettings.h"
#include "TextCodec.h"

extern "C" int32_t CVCALL CVLogWrite(const char* message, int32_t kind, const char* uuid,
                                     const char* module, const char* subsystem, int32_t level) {
    try {
        // The columns are tab-separated and the lines end in a line feed: neither may come
        // from the texts themselves.
        auto text = [](const char* bytes) {
            return cv::logSafeText(cv::fromGbkEscaped(QByteArray(bytes ? bytes : "")));
        };
        const QByteArray line =
            (QDateTime::currentDateTime().toString(Qt::ISODate) + '\t' + QString::number(kind) +
             '\t' + text(uuid) + '\t' + text(module) + '\t' + text(subsystem) + '\t' +
             QString::number(level) + '\t' + text(message) + '\n')
                .toUtf8();
        const QString path = cvhost::Settings::instance().value("logFile");
        if (path.isEmpty()) {
            std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
            return 1;
        }
        QFile log(path);
        if (!log.open(QIODevice::WriteOnly | QIODevice::Append)) return 0;
        return log.write(line) == line.size() && log.flush() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}
