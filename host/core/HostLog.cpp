#include "HostLog.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <cstdio>
#include <vector>

#include "HostSettings.h"
#include "TextCodec.h"

namespace cvhost {
namespace {

QMutex& captureLock() {
    static QMutex lock;
    return lock;
}

std::vector<LogCapture*>& captures() {
    static std::vector<LogCapture*> open;
    return open;
}

bool append(const QByteArray& line) {
    const QString path = Settings::instance().value("logFile");
    if (path.isEmpty()) {
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        return true;
    }
    QFile log(path);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append)) return false;
    return log.write(line) == line.size() && log.flush();
}

}  // namespace

bool writeLog(const QString& message, int kind, const QString& uuid, const QString& module,
              const QString& subsystem, int level) {
    // The columns are tab-separated and the lines end in a line feed: neither may come from
    // the texts themselves.
    const QString text = cv::logSafeText(message);
    const QByteArray line =
        (QDateTime::currentDateTime().toString(Qt::ISODate) + '\t' + QString::number(kind) + '\t' +
         cv::logSafeText(uuid) + '\t' + cv::logSafeText(module) + '\t' +
         cv::logSafeText(subsystem) + '\t' + QString::number(level) + '\t' + text + '\n')
            .toUtf8();
    // One line at a time, so that the captures list the lines in the file's order.
    const QMutexLocker locked(&captureLock());
    if (!append(line)) return false;
    for (LogCapture* capture : captures()) capture->messages_ << text;
    return true;
}

LogCapture::LogCapture() {
    const QMutexLocker locked(&captureLock());
    captures().push_back(this);
}

LogCapture::~LogCapture() {
    const QMutexLocker locked(&captureLock());
    std::erase(captures(), this);
}

QStringList LogCapture::messages() const {
    const QMutexLocker locked(&captureLock());
    return messages_;
}

}  // namespace cvhost
