#include "HeldFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>
#include <utility>

namespace cv {
namespace {

int lockFolder(int fd, int how) {
    int result;
    do {
        result = ::flock(fd, how);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Whether the folder open as `fd` is still the one at `path`: a tidier may have removed it
// (or another folder taken its name) before its lock was taken.
bool stillAt(int fd, const QByteArray& path) {
    struct stat open, named;
    return ::fstat(fd, &open) == 0 && open.st_nlink > 0 && ::lstat(path.constData(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

QString randomName() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString name;
    for (int i = 0; i < 6; ++i)
        name += QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters) - 1)]);
    return name;
}

}  // namespace

HeldFolder::HeldFolder(const QString& parent, const QString& prefix, mode_t mode) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString path = parent + prefix + randomName();
        const QByteArray encoded = QFile::encodeName(path);
        if (::mkdir(encoded.constData(), mode) != 0) {
            if (errno == EEXIST) continue;
            error_ = QStringLiteral("cannot create %1: %2").arg(path, strerror(errno));
            return;
        }
        const int fd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            error_ = QStringLiteral("cannot open %1: %2").arg(path, strerror(errno));
            ::rmdir(encoded.constData());
            return;
        }
        // A tidier holds a folder only while it removes it.
        if (lockFolder(fd, LOCK_EX) == 0 && stillAt(fd, encoded)) {
            fd_ = fd;
            path_ = path;
            return;
        }
        ::close(fd);
    }
    error_ = QStringLiteral("cannot create a folder %1%2* that stays").arg(parent, prefix);
}

HeldFolder::~HeldFolder() {
    if (fd_ < 0) return;
    if (!keep_) QDir(path_).removeRecursively();
    ::close(std::exchange(fd_, -1));  // and the lock with it
}

void TidyAbandonedFolders(const QString& parent, const QString& prefix,
                          const std::function<void(const QString& folder)>& tidy) {
    const QDir directory(parent.isEmpty() ? QStringLiteral(".") : parent);
    const QStringList names =
        directory.entryList({prefix + '*'}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (!name.startsWith(prefix)) continue;  // the pattern's letter case aside
        const QString path = parent + name;
        const QByteArray encoded = QFile::encodeName(path);
        const int fd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        // Locks belong to the open folder, not to the process: this process's own folders
        // are held through other descriptors and are skipped as well.
        if (lockFolder(fd, LOCK_EX | LOCK_NB) == 0 && stillAt(fd, encoded)) tidy(path);
        ::close(fd);
    }
}

}  // namespace cv
