#include "StoreLocks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QList>
#include <optional>

namespace cvhost {
namespace {

// The inode numbers this process holds a lock on, from /proc/locks: "1: POSIX ADVISORY READ
// 4711 fe:00:10963915 128 128". A waiter's line ("1: -> POSIX ...") holds nothing. The
// device is not compared: on overlay and btrfs file systems it differs from what stat says.
// None when the kernel's list cannot be read.
std::optional<QList<qulonglong>> lockedInodes() {
    QList<qulonglong> inodes;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly)) return std::nullopt;
    // This process as /proc numbers it: in a PID namespace of its own, getpid() answers its
    // number there, while /proc (mounted outside) lists it under its number outside.
    char link[32] = {};
    const ssize_t length = ::readlink("/proc/self", link, sizeof link - 1);
    const QByteArray self =
        length > 0 ? QByteArray(link, length) : QByteArray::number(qlonglong(::getpid()));
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields[1] == "->" || fields[4] != self) continue;
        bool ok = false;
        const qulonglong inode = fields[5].mid(fields[5].lastIndexOf(':') + 1).toULongLong(&ok);
        if (ok) inodes << inode;
    }
    return inodes;
}

// The inode of `path`, or 0 when there is no such file.
qulonglong inodeOf(const QString& path) {
    struct stat info;
    const QByteArray name = QFile::encodeName(path);
    return ::stat(name.constData(), &info) == 0 ? qulonglong(info.st_ino) : 0;
}

}  // namespace

bool holdsStoreLocks(const QString& database) {
    const qulonglong file = inodeOf(database);
    const qulonglong index = inodeOf(database + QStringLiteral("-shm"));
    const std::optional<QList<qulonglong>> held = lockedInodes();
    if (!held) return true;  // without the kernel's list nothing can be told
    return file != 0 && index != 0 && held->contains(file) && held->contains(index);
}

}  // namespace cvhost
