#include "PackageSwap.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "HeldFolder.h"
#include "PackageFiles.h"

namespace cv {
namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

int openFolder(const QString& path) {
    const QByteArray name = QFile::encodeName(path.isEmpty() ? QStringLiteral(".") : path);
    return ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The names in the folder open as `fd`, as the file system has them.
std::vector<QByteArray> entries(int fd) {
    std::vector<QByteArray> names;
    const int copy = ::dup(fd);
    if (copy < 0) return names;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return names;
    }
    ::rewinddir(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

const QList<QByteArray>& packageNames() {
    static const QList<QByteArray> names = {PersonFileName.toLatin1(), DeptFileName.toLatin1(),
                                            ManifestFileName.toLatin1()};
    return names;
}

// A package file under any spelling: the readers take them whatever their letter case, so
// another spelling left beside the new file would make the package ambiguous.
bool isPackageName(const QByteArray& name) {
    for (const QByteArray& package : packageNames())
        if (name.compare(package, Qt::CaseInsensitive) == 0) return true;
    return false;
}

// A file that a writer staged beside a package file (StagedFile: the name, a dot, a random
// number in base 36) and that a dead writer left.
bool isStagedName(const QByteArray& name) {
    for (const QByteArray& package : packageNames()) {
        if (name.size() <= package.size() + 1 || !name.startsWith(package) ||
            name[package.size()] != '.')
            continue;
        const QByteArray rest = name.sliced(package.size() + 1);
        if (rest.size() <= 7 && std::all_of(rest.begin(), rest.end(), [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
            }))
            return true;
    }
    return false;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Empties a folder that held (or was to hold) the content of `directory`: its package files
// and staged files go, an entry the directory lacks goes back into it, a second link of an
// entry the directory has goes; anything else stays, and so does the folder then.
void tidyInto(const QString& folder, const QString& directory) {
    const Fd from(openFolder(folder));
    if (!from.valid()) return;
    const Fd into(openFolder(directory));
    for (const QByteArray& name : entries(from.get())) {
        struct stat entry;
        if (::fstatat(from.get(), name.constData(), &entry, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (isPackageName(name) || isStagedName(name)) {
            if (!S_ISDIR(entry.st_mode)) ::unlinkat(from.get(), name.constData(), 0);
            continue;
        }
        if (!into.valid()) continue;
        struct stat there;
        if (::fstatat(into.get(), name.constData(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT &&
                ::renameat2(from.get(), name.constData(), into.get(), name.constData(),
                            RENAME_NOREPLACE) != 0 &&
                errno == EINVAL) {
                ::renameat(from.get(), name.constData(), into.get(), name.constData());
            }
        } else if (sameFile(entry, there)) {
            ::unlinkat(from.get(), name.constData(), 0);
        }
    }
    ::rmdir(QFile::encodeName(folder).constData());
}

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

}  // namespace

PackageSwap::PackageSwap() = default;

PackageSwap::~PackageSwap() = default;

bool PackageSwap::fail(const QString& what) {
    if (error_.isEmpty()) error_ = what;
    return false;
}

PackageSwap::Opened PackageSwap::open(const QString& directory) {
    QString path = directory;
    while (path.size() > 1 && path.endsWith('/')) path.chop(1);
    const QFileInfo link(path);
    if (link.isSymLink()) {
        path = link.canonicalFilePath();
        if (path.isEmpty()) {
            fail(QStringLiteral("人员包目录 %1 是一个指向不存在之处的链接").arg(directory));
            return Opened::NoDirectory;
        }
    }
    directory_ = path;
    const qsizetype slash = path.lastIndexOf('/');
    parent_ = path.left(slash + 1);
    name_ = path.sliced(slash + 1);
    const QByteArray encoded = QFile::encodeName(path);
    struct stat own;
    if (::lstat(encoded.constData(), &own) == 0) {
        if (!S_ISDIR(own.st_mode)) {
            fail(QStringLiteral("%1 不是目录, 不能存放人员包").arg(directory));
            return Opened::NoDirectory;
        }
        exists_ = true;
    } else if (errno != ENOENT) {
        fail(QStringLiteral("无法访问人员包目录 %1: %2").arg(directory, systemError()));
        return Opened::NoDirectory;
    }

    const QString besidePrefix = '.' + name_ + QStringLiteral("-export-");
    const QString insidePrefix = QStringLiteral(".export-");
    const auto tidy = [this](const QString& folder) { tidyInto(folder, directory_); };
    TidyAbandonedFolders(parent_, besidePrefix, tidy);
    if (exists_) TidyAbandonedFolders(directory_ + '/', insidePrefix, tidy);

    // A folder beside the directory must lie on its file system to be exchanged with it.
    struct stat above;
    const bool mountPoint =
        exists_ &&
        (::stat(QFile::encodeName(parent_.isEmpty() ? QStringLiteral(".") : parent_).constData(),
                &above) != 0 ||
         above.st_dev != own.st_dev);
    if (!mountPoint) {
        folder_ = std::make_unique<HeldFolder>(parent_, besidePrefix, 0777);
        if (folder_->isValid()) return Opened::Ready;
        if (!exists_) {
            fail(
                QStringLiteral("无法建立人员包目录 %1: %2").arg(directory, folder_->errorString()));
            return Opened::NoDirectory;
        }
    }
    inside_ = true;
    folder_ = std::make_unique<HeldFolder>(directory_ + '/', insidePrefix);
    if (!folder_->isValid()) {
        fail(QStringLiteral("无法在人员包目录中写入: ") + folder_->errorString());
        return Opened::Failed;
    }
    return Opened::Ready;
}

QString PackageSwap::folder() const { return folder_ ? folder_->path() + '/' : QString(); }

bool PackageSwap::renameEach(const QStringList& names, int directoryFd) {
    const int from = folder_->descriptor();
    for (const QString& name : names) {
        const QByteArray file = QFile::encodeName(name);
        if (::renameat(from, file.constData(), directoryFd, file.constData()) != 0)
            return fail(QStringLiteral("无法替换 %1/%2: %3").arg(directory_, name, systemError()));
    }
    ::fsync(directoryFd);
    return true;
}

bool PackageSwap::commit(const QStringList& names) {
    if (!folder_ || !folder_->isValid()) return fail(QStringLiteral("没有写出新文件的目录"));
    if (!inside_) return exchange(names);
    const Fd directory(openFolder(directory_));
    if (!directory.valid())
        return fail(QStringLiteral("无法打开人员包目录 %1: %2").arg(directory_, systemError()));
    // Dead writers' staged files go before the new files come.
    for (const QByteArray& name : entries(directory.get()))
        if (isStagedName(name)) ::unlinkat(directory.get(), name.constData(), 0);
    for (const QString& name : names) {
        struct stat there;
        const QByteArray file = QFile::encodeName(name);
        if (::fstatat(directory.get(), file.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(there.st_mode))
            return fail(QStringLiteral("无法替换 %1/%2: 那里是一个目录").arg(directory_, name));
    }
    return renameEach(names, directory.get());
}

bool PackageSwap::exchange(const QStringList& names) {
    const int folder = folder_->descriptor();
    const Fd parent(openFolder(parent_));
    if (!parent.valid())
        return fail(QStringLiteral("无法打开目录 %1: %2").arg(parent_, systemError()));
    const QByteArray folderName = QFile::encodeName(QFileInfo(folder_->path()).fileName());
    const QByteArray directoryName = QFile::encodeName(name_);

    if (!exists_) {
        ::fsync(folder);
        if (::renameat2(parent.get(), folderName.constData(), parent.get(),
                        directoryName.constData(), RENAME_NOREPLACE) == 0) {
            ::fsync(parent.get());
            folder_->keepFolder();  // it is the package directory now
            return true;
        }
        if (errno != EEXIST) {
            return fail(QStringLiteral("无法建立人员包目录 %1: %2").arg(directory_, systemError()));
        }
        exists_ = true;  // made meanwhile by another export
    }

    const Fd directory(openFolder(directory_));
    struct stat own;
    if (!directory.valid() || ::fstat(directory.get(), &own) != 0)
        return fail(QStringLiteral("无法打开人员包目录 %1: %2").arg(directory_, systemError()));
    // The directory's other entries come along; a package file keeps its permissions.
    for (const QByteArray& name : entries(directory.get())) {
        struct stat entry;
        if (::fstatat(directory.get(), name.constData(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (isPackageName(name)) {
            if (S_ISDIR(entry.st_mode)) {
                return fail(QStringLiteral("无法替换 %1/%2: 那里是一个目录")
                                .arg(directory_, QFile::decodeName(name)));
            }
            if (names.contains(QFile::decodeName(name)))
                ::fchmodat(folder, name.constData(), entry.st_mode & 07777, 0);
            continue;
        }
        if (isStagedName(name)) continue;
        // What cannot be linked (a folder) is moved back after the exchange.
        ::linkat(directory.get(), name.constData(), folder, name.constData(), 0);
    }
    ::fchmod(folder, own.st_mode & 07777);
    if (::geteuid() == 0) (void)::fchown(folder, own.st_uid, own.st_gid);
    ::fsync(folder);

    if (::renameat2(parent.get(), folderName.constData(), parent.get(), directoryName.constData(),
                    RENAME_EXCHANGE) != 0) {
        // A file system that cannot exchange: the files one by one, marked.
        if (errno != EINVAL && errno != ENOSYS && errno != EXDEV && errno != EBUSY &&
            errno != EOPNOTSUPP)
            return fail(QStringLiteral("无法替换人员包目录 %1: %2").arg(directory_, systemError()));
        if (!renameEach(names, directory.get())) return false;
    }
    ::fsync(parent.get());
    // The folder holds the earlier package now (or, after the renames, second links).
    folder_->keepFolder();
    tidyInto(folder_->path(), directory_);
    return true;
}

}  // namespace cv
