// What the harnesses share: a scratch folder on a memory file system where there is one,
// and writing the input to a file (the readers under test take paths).
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <cstdint>
#include <cstdlib>

namespace cvfuzz {

inline QString scratchFolder() {
    const QByteArray chosen = qgetenv("CV_FUZZ_SCRATCH");
    if (!chosen.isEmpty()) return QString::fromLocal8Bit(chosen);
    return QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
}

inline void writeFile(const QString& path, const void* data, std::size_t size) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(static_cast<const char*>(data), qint64(size)) != qint64(size))
        std::abort();
}

}  // namespace cvfuzz
