#include "StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>

namespace cv {

StagedFile::StagedFile(QString target) : target_(std::move(target)) {}

StagedFile::~StagedFile() { abandon(); }

bool StagedFile::failed(const QString& what, int error) {
    if (error_.isEmpty()) {
        error_ = QStringLiteral("cannot %1 %2: %3")
                     .arg(what, target_, QString::fromLocal8Bit(std::strerror(error)));
    }
    abandon();
    return false;
}

bool StagedFile::open() {
    if (fd_ >= 0 || !error_.isEmpty()) return false;
    const QByteArray target = QFile::encodeName(target_);
    // A replaced file keeps its permissions; a new one gets what the process's umask allows.
    struct stat existing;
    const bool replaces = ::stat(target.constData(), &existing) == 0;
    if (replaces && S_ISDIR(existing.st_mode)) return failed("write", EISDIR);
    const mode_t mode = replaces ? (existing.st_mode & 07777) : 0666;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name =
            target + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            fd_ = fd;
            temporary_ = name;
            if (replaces && ::fchmod(fd_, mode) != 0) return failed("write", errno);
            return true;
        }
        if (errno != EEXIST) return failed("write", errno);
    }
    return failed("write", EEXIST);
}

bool StagedFile::write(const char* data, qsizetype size) {
    if (fd_ < 0 || finished_) return false;
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size_t(std::min<qsizetype>(size, 1 << 30)));
        if (n < 0 && errno == EINTR) continue;
        // A write that takes nothing and reports nothing is as full as ENOSPC.
        if (n <= 0) return failed("write", n < 0 ? errno : ENOSPC);
        data += n;
        size -= n;
    }
    return true;
}

bool StagedFile::finish() {
    if (finished_) return true;
    if (fd_ < 0) return false;
    if (::fdatasync(fd_) != 0) return failed("write", errno);
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) return failed("write", errno);
    finished_ = true;
    return true;
}

bool StagedFile::commit() {
    if (!finish()) return false;
    if (::rename(temporary_.constData(), QFile::encodeName(target_).constData()) != 0) {
        return failed("replace", errno);
    }
    temporary_.clear();
    return true;
}

void StagedFile::abandon() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (!temporary_.isEmpty()) ::unlink(std::exchange(temporary_, {}).constData());
    finished_ = false;
}

bool commitTogether(std::span<StagedFile* const> files, QString* error) {
    const auto fail = [&](const QString& why) {
        if (error) *error = why;
        for (StagedFile* file : files) file->abandon();
        return false;
    };
    for (StagedFile* file : files) {
        if (!file->finish()) return fail(file->errorString());
        if (QFileInfo(file->target()).isDir()) {
            return fail("cannot replace " + file->target() + ": it is a directory");
        }
    }
    for (StagedFile* file : files) {
        if (!file->commit()) return fail(file->errorString());
    }
    return true;
}

}  // namespace cv
