// The host's log: one line per call, appended to the log file of the settings (standard
// error when none is set).
#include <QDateTime>
#include <QFile>
#include <cstdio>

#include "CVHostServices.h"
#include "HostSettings.h"
#include "TextCodec.h"

extern "C" int32_t CVCALL CVLogWrite(const char* message, int32_t kind, const char* uuid,
                                     const char* module, const char* subsystem, int32_t level) {
    QByteArray line;
    try {
        line = (QDateTime::currentDateTime().toString(Qt::ISODate) + '\t' +
                QString::number(kind) + '\t' + cv::fromGbk(uuid) + '\t' + cv::fromGbk(module) +
                '\t' + cv::fromGbk(subsystem) + '\t' + QString::number(level) + '\t' +
                cv::fromGbk(message) + '\n')
                   .toUtf8();
    } catch (...) {
        return 0;
    }
    const QString path = cvhost::Settings::instance().value("logFile");
    if (path.isEmpty()) {
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        return 1;
    }
    QFile log(path);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append)) return 0;
    return log.write(line) == line.size() ? 1 : 0;
}
