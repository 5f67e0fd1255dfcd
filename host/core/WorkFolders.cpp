#include "WorkFolders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "TextCodec.h"

namespace cvhost {
namespace {

// $VARIABLE when it names an absolute path (the XDG rule), else the folder below home.
QString xdgFolder(const char* variable, const QString& belowHome) {
    const QString set = qEnvironmentVariable(variable);
    return QDir::isAbsolutePath(set) ? set : QDir::homePath() + '/' + belowHome;
}

bool makePrivateFolder(const QString& path) {
    if (!QDir().mkpath(path)) return false;
    return ::chmod(QFile::encodeName(path).constData(), 0700) == 0;
}

bool gbkNameable(const QString& path) {
    try {
        cv::toGbk(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// An exclusive flock on `folder`: held (and the descriptor kept) for as long as the process
// lives; -1 when the folder cannot be opened or another process holds it.
int lockFolder(const QString& folder, bool wait) {
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Removes the run folders under `base` that no living process holds, and folders that a
// process died making (named new-*) when they are an hour old.
void removeAbandoned(const QString& base) {
    const QDir dir(base);
    for (const QFileInfo& entry :
         dir.entryInfoList({"run-*", "new-*"}, QDir::Dirs | QDir::Hidden)) {
        if (entry.isSymLink()) continue;
        if (entry.fileName().startsWith(QLatin1String("new-"))) {
            std::error_code ignored;
            if (entry.lastModified().secsTo(QDateTime::currentDateTime()) > 3600)
                std::filesystem::remove_all(QFile::encodeName(entry.filePath()).toStdString(),
                                            ignored);
            continue;
        }
        const int fd = lockFolder(entry.filePath(), false);
        if (fd < 0) continue;  // its process lives
        std::error_code ignored;
        std::filesystem::remove_all(QFile::encodeName(entry.filePath()).toStdString(), ignored);
        ::close(fd);
    }
}

std::string& madeFolder() {
    static std::string path;
    return path;
}

void removeRunFolder() {
    std::error_code ignored;
    if (!madeFolder().empty()) std::filesystem::remove_all(madeFolder(), ignored);
}

// Makes a run folder under `base`: made as new-XXXXXX, locked, then renamed to run-XXXXXX,
// so that a run-* folder is always held by its process while the process lives.
QString makeRunFolder(const QString& base) {
    if (!gbkNameable(base) || !makePrivateFolder(base)) return {};
    removeAbandoned(base);
    QByteArray made = QFile::encodeName(base + QStringLiteral("/new-XXXXXX"));
    if (!::mkdtemp(made.data())) return {};  // mode 0700
    const QString fresh = QFile::decodeName(made);
    if (lockFolder(fresh, true) < 0) {
        QDir(fresh).removeRecursively();
        return {};
    }
    const QString run = base + QStringLiteral("/run-") + QFileInfo(fresh).fileName().mid(4);
    if (!QFile::rename(fresh, run)) {
        QDir(fresh).removeRecursively();
        return {};
    }
    madeFolder() = QFile::encodeName(run).toStdString();
    std::atexit(removeRunFolder);
    return run + '/';
}

}  // namespace

QString defaultLogFile() {
    const QString folder =
        xdgFolder("XDG_STATE_HOME", QStringLiteral(".local/state")) + QStringLiteral("/corvane");
    makePrivateFolder(folder);
    return folder + QStringLiteral("/corvane.log");
}

QString runFolder() {
    static const QString folder = [] {
        const QString cache =
            xdgFolder("XDG_CACHE_HOME", QStringLiteral(".cache")) + QStringLiteral("/corvane");
        QString made = makeRunFolder(cache);
        if (made.isEmpty())
            made = makeRunFolder(QDir::tempPath() + QStringLiteral("/corvane-") +
                                 QString::number(::getuid()));
        return made;
    }();
    return folder;
}

}  // namespace cvhost
