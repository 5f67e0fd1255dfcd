// A disk that fills: a tmpfs of a given size mounted on a folder for as long as the object
// lives. Mounting needs root (the CI runs the tests as root); where it is not allowed,
// mounted() is false and why() says so, for the test to skip with.
#pragma once

#include <sys/mount.h>

#include <QDir>
#include <QFile>
#include <QString>
#include <cerrno>
#include <cstring>

namespace testhost {

class SmallDisk {
public:
    SmallDisk(const QString& folder, qint64 bytes) : folder_(QFile::encodeName(folder)) {
        QDir().mkpath(folder);
        const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
        mounted_ = ::mount("tmpfs", folder_.constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                           options.constData()) == 0;
        if (!mounted_)
            why_ = "cannot mount a small tmpfs on " + folder + " (" +
                   QString::fromLocal8Bit(std::strerror(errno)) + "); it needs root";
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(folder_.constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    // Makes the disk `bytes` large, keeping what it holds.
    bool grow(qint64 bytes) {
        const QByteArray options = "size=" + QByteArray::number(bytes);
        return mounted_ && ::mount("tmpfs", folder_.constData(), "tmpfs",
                                   MS_REMOUNT | MS_NOSUID | MS_NODEV, options.constData()) == 0;
    }
    const QString& why() const { return why_; }

    static constexpr qint64 Page = 4096;  // what a tmpfs counts in
    static qint64 pages(qint64 bytes) { return (bytes + Page - 1) / Page; }

private:
    QByteArray folder_;
    bool mounted_ = false;
    QString why_;
};

}  // namespace testhost
