#include "Packer.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/statvfs.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <algorithm>
#include <memory>
#include <vector>

#include "StagedFile.h"

namespace cvhost {
namespace {

using ArchivePtr = std::unique_ptr<archive, int (*)(archive*)>;

bool fail(QString* error, const QString& message) {
    if (error) *error = message;
    return false;
}

// A relative path of plain components: no absolute path, no "..", no empty name.
bool safeEntryName(const QString& name) {
    if (name.isEmpty() || name.startsWith('/') || name.startsWith('\\') || name.contains(':'))
        return false;
    const QStringList parts = QString(name).replace('\\', '/').split('/', Qt::SkipEmptyParts);
    if (parts.isEmpty()) return false;
    for (const QString& part : parts)
        if (part == ".." || part == ".") return false;
    return true;
}

// A package file of the name `name`, its ASCII letter case aside.
bool isPackageFile(const QString& name) {
    static const QStringList names = {"perinfo.per", "deptinfo.per", "sysperinfo.xml"};
    for (const QString& package : names) {
        if (name.size() != package.size()) continue;
        bool same = true;
        for (qsizetype i = 0; same && i < name.size(); ++i) {
            const char16_t c = name[i].unicode();
            same = (c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c) == package[i].unicode();
        }
        if (same) return true;
    }
    return false;
}

// libarchive's reason for a failed write, behind the host's words.
QString writeError(archive* writer) {
    const char* reason = archive_error_string(writer);
    return QString::fromUtf8("无法写出 zip 文件") +
           (reason && *reason ? QStringLiteral(" (") + QString::fromLocal8Bit(reason) + ')'
                              : QString());
}

}  // namespace

bool packDirectory(const QString& directory, const QString& zipFile, QString* error) {
    QFileInfoList files;
    for (const QFileInfo& info : QDir(directory).entryInfoList(QDir::Files, QDir::Name))
        if (isPackageFile(info.fileName()) && !info.isSymLink()) files << info;
    // Every byte libarchive hands over is written whole or the packing fails; a zip is
    // renamed into place only once its last byte is on the disk. The callback takes every block
    // even after a failed write (libarchive leaks an entry's compressor when a write fails in
    // the middle of it); the failure stays with the staged file and is answered at the end.
    cv::StagedFile out(zipFile);
    if (!out.open()) return fail(error, out.errorString());

    ArchivePtr writer(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(writer.get());
    auto writeCallback = [](archive*, void* file, const void* buffer, size_t length) {
        static_cast<cv::StagedFile*>(file)->write(static_cast<const char*>(buffer),
                                                  qsizetype(length));
        return la_ssize_t(length);
    };
    if (archive_write_open(writer.get(), &out, nullptr, writeCallback, nullptr) != ARCHIVE_OK)
        return fail(error, writeError(writer.get()));

    for (const QFileInfo& info : files) {
        QFile in(info.filePath());
        if (!in.open(QIODevice::ReadOnly))
            return fail(error, QString::fromUtf8("无法读取文件 ") + info.filePath());
        const QByteArray content = in.readAll();
        if (in.error() != QFileDevice::NoError || content.size() != info.size())
            return fail(error, QString::fromUtf8("无法读取文件 ") + info.filePath());
        std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(),
                                                                       archive_entry_free);
        const QByteArray name = info.fileName().toUtf8();
        archive_entry_set_pathname_utf8(entry.get(), name.constData());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_size(entry.get(), content.size());
        archive_entry_set_mtime(entry.get(), info.lastModified().toSecsSinceEpoch(), 0);
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK ||
            archive_write_data(writer.get(), content.constData(), size_t(content.size())) !=
                content.size())
            return fail(error, writeError(writer.get()));
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        return fail(error, writeError(writer.get()));
    if (!out.commit()) return fail(error, out.errorString());  // a failed write included
    return true;
}

namespace {

// libarchive's reason for a failed read; it gives none for some broken archives.
QString readError(archive* reader) {
    const char* reason = archive_error_string(reader);
    const QString unreadable = QString::fromUtf8("不是可读的 zip 文件");
    return reason && *reason
               ? unreadable + QStringLiteral(" (") + QString::fromLocal8Bit(reason) + ')'
               : unreadable;
}

// The components of an entry name: "a//b/" and "a/b" are one path.
QStringList components(const QString& name) {
    return QString(name).replace('\\', '/').split('/', Qt::SkipEmptyParts);
}

// The paths an archive creates, checked as they are read: a path named twice, or a file that
// another entry needs as a directory, would make the second entry replace or break the
// first, so the archive is refused.
class EntryPaths {
public:
    // The error, or an empty text when the entry fits with the ones before it.
    QString add(const QStringList& parts, bool directory) {
        QString path;
        for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
            path = path.isEmpty() ? parts[i] : path + '/' + parts[i];
            if (files_.contains(path)) return QString::fromUtf8("有一项把文件当作文件夹: ") + path;
            if (!directories_.contains(path)) {
                directories_.insert(path);
                order_ << path;
            }
        }
        path = parts.join('/');
        if (files_.contains(path) || (!directory && directories_.contains(path)))
            return QString::fromUtf8("同一个名字出现两次: ") + path;
        if (directory) {
            if (!directories_.contains(path)) {
                directories_.insert(path);
                order_ << path;
            }
        } else {
            files_.insert(path);
        }
        return {};
    }
    // Every folder, each after its parent.
    const QStringList& directories() const { return order_; }

private:
    QSet<QString> files_;
    QSet<QString> directories_;
    QStringList order_;
};

// The bytes of the destination's file system that an unprivileged writer may still use.
qint64 freeBytes(const QString& directory) {
    struct statvfs info;
    const QByteArray path = QFile::encodeName(directory);
    if (statvfs(path.constData(), &info) != 0) return 0;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
}

// Moves the unpacked files into the destination, all or nothing: a move that fails undoes
// the moves and folders made before it, and puts back the files they replaced.
class Placement {
public:
    Placement(const QDir& target, const QDir& staging) : target_(target), staging_(staging) {}
    ~Placement() {
        if (done_) {
            for (const QString& backup : backups_) QFile::remove(backup);
            return;
        }
        for (auto it = moved_.rbegin(); it != moved_.rend(); ++it) {
            QFile::remove(it->first);
            if (!it->second.isEmpty()) QFile::rename(it->second, it->first);
        }
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) QDir().rmdir(*it);
    }
    Placement(const Placement&) = delete;
    Placement& operator=(const Placement&) = delete;

    bool makeDirectory(const QString& name) {
        const QString to = target_.filePath(name);
        if (QFileInfo(to).isDir()) return true;
        if (!QDir().mkdir(to)) return false;
        created_ << to;
        return true;
    }
    bool moveFile(const QString& name, const QString& stagedName) {
        const QString to = target_.filePath(name);
        QString backup;
        if (QFileInfo::exists(to)) {
            backup = staging_.filePath(QStringLiteral("replaced-%1").arg(moved_.size()));
            if (!QFile::rename(to, backup)) return false;
            backups_ << backup;
        }
        if (!QFile::rename(staging_.filePath(stagedName), to)) {
            if (!backup.isEmpty()) QFile::rename(backup, to);
            return false;
        }
        moved_.push_back({to, backup});
        return true;
    }
    void commit() { done_ = true; }

private:
    QDir target_;
    QDir staging_;
    std::vector<std::pair<QString, QString>> moved_;  // placed file, what it replaced
    QStringList backups_;
    QStringList created_;
    bool done_ = false;
};

// The topmost folder of `path` that does not exist yet (empty when `path` exists).
QString firstMissing(const QString& path) {
    QString missing;
    for (QFileInfo info(QDir::cleanPath(QDir(path).absolutePath())); !info.exists();
         info = QFileInfo(info.path())) {
        missing = info.filePath();
        if (info.isRoot()) break;
    }
    return missing;
}

}  // namespace

bool extractArchive(const QString& archivePath, const QString& destination, QString* error,
                    const ExtractLimits& limits) {
    ArchivePtr reader(archive_read_new(), archive_read_free);
    archive_read_support_format_zip(reader.get());
    archive_read_support_filter_none(reader.get());
    const QByteArray path = QFile::encodeName(archivePath);
    if (archive_read_open_filename(reader.get(), path.constData(), 64 * 1024) != ARCHIVE_OK)
        return fail(error, readError(reader.get()));

    // A destination that this call creates goes again when the archive is refused.
    const QString created = firstMissing(destination);
    struct RemoveCreated {
        QString path;
        bool keep = false;
        ~RemoveCreated() {
            if (!keep && !path.isEmpty()) QDir(path).removeRecursively();
        }
    } removeCreated{created};
    if (!QDir().mkpath(destination))
        return fail(error, QString::fromUtf8("无法建立文件夹 ") + destination);

    // Everything is unpacked into a staging folder inside the destination first, so that a
    // refused archive leaves nothing behind and a reader never sees half a file.
    QTemporaryDir staging(QDir(destination).filePath(".unpack-XXXXXX"));
    if (!staging.isValid()) return fail(error, QString::fromUtf8("无法建立解包用的临时文件夹"));
    const QString stagingName = QFileInfo(staging.path()).fileName();

    const qint64 allowed =
        std::min(limits.maxTotalBytes, freeBytes(destination) / 100 * limits.maxPercentOfFreeSpace);
    struct Unpacked {
        QString name;
        QString staged;  // the file's name inside the staging folder
    };
    std::vector<Unpacked> files;
    EntryPaths paths;
    qint64 total = 0;
    int entries = 0;
    archive_entry* entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        if (++entries > limits.maxEntries)
            return fail(
                error,
                QString::fromUtf8("zip 文件中的项目太多 (超过 %1 个)").arg(limits.maxEntries));
        const char* utf8 = archive_entry_pathname_utf8(entry);
        const char* raw = archive_entry_pathname(entry);
        const QString name = utf8 ? QString::fromUtf8(utf8) : QString::fromLocal8Bit(raw);
        if (name.size() > limits.maxNameLength)
            return fail(error, QString::fromUtf8("项目名字太长: ") + name.left(64) + "...");
        if (!safeEntryName(name))
            return fail(error, QString::fromUtf8("项目名字不安全 (绝对路径或 ..): ") + name);
        const mode_t type = archive_entry_filetype(entry);
        if (type != AE_IFREG && type != AE_IFDIR)
            return fail(error, QString::fromUtf8("项目不是普通文件: ") + name);
        if (archive_entry_hardlink(entry) || archive_entry_symlink(entry))
            return fail(error, QString::fromUtf8("项目是链接: ") + name);
        const QStringList parts = components(name);
        if (parts.size() > limits.maxDepth)
            return fail(error, QString::fromUtf8("项目的文件夹层次太深: ") + name.left(64) + "...");
        if (parts.first() == stagingName)
            return fail(error, QString::fromUtf8("项目名字不安全 (绝对路径或 ..): ") + name);
        const QString clash = paths.add(parts, type == AE_IFDIR);
        if (!clash.isEmpty()) return fail(error, clash);
        if (type == AE_IFDIR) continue;

        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > allowed - total)
            return fail(error,
                        QString::fromUtf8("解包后太大 (超过上限, 或超过目标磁盘剩余空间的一半)"));
        // Staged under a number: the folders of the name are made only when placing.
        Unpacked file{parts.join('/'), QString::number(files.size())};
        QFile out(staging.filePath(file.staged));
        if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return fail(error, QString::fromUtf8("无法写出 ") + name);
        char buffer[64 * 1024];
        la_ssize_t n;
        while ((n = archive_read_data(reader.get(), buffer, sizeof buffer)) > 0) {
            total += n;
            if (total > allowed)
                return fail(error, QString::fromUtf8(
                                       "解包后太大 (超过上限, 或超过目标磁盘剩余空间的一半)"));
            if (out.write(buffer, n) != n)
                return fail(error, QString::fromUtf8("无法写出 ") + name);
        }
        if (n < 0) return fail(error, readError(reader.get()));
        out.close();
        if (out.error() != QFileDevice::NoError)
            return fail(error, QString::fromUtf8("无法写出 ") + name);
        files.push_back(std::move(file));
    }
    if (rc != ARCHIVE_EOF) return fail(error, readError(reader.get()));
    if (entries == 0) return fail(error, QString::fromUtf8("zip 文件是空的"));

    // What the destination holds already must not turn a move into a write elsewhere or the
    // loss of a folder. Every folder comes after its parent and every file after its folders,
    // so looking at each path itself finds a link at any level of the ones after it (looking
    // at every level of every path again cost the cube of a deep name's depth).
    const QDir target(destination);
    for (const QString& directory : paths.directories()) {
        const QFileInfo info(target.filePath(directory));
        if (info.isSymLink())
            return fail(error, QString::fromUtf8("目标文件夹中已有同名链接: ") + directory);
        if (info.exists() && !info.isDir())
            return fail(error, QString::fromUtf8("目标文件夹中已有同名文件: ") + directory);
    }
    for (const Unpacked& file : files) {
        const QFileInfo info(target.filePath(file.name));
        if (info.isSymLink())
            return fail(error, QString::fromUtf8("目标文件夹中已有同名链接: ") + file.name);
        if (info.exists() && !info.isFile())
            return fail(error, QString::fromUtf8("目标文件夹中已有同名文件夹: ") + file.name);
    }

    Placement placement(target, QDir(staging.path()));
    for (const QString& directory : paths.directories())
        if (!placement.makeDirectory(directory))
            return fail(error, QString::fromUtf8("无法建立文件夹 ") + directory);
    for (const Unpacked& file : files)
        if (!placement.moveFile(file.name, file.staged))
            return fail(error, QString::fromUtf8("无法放置 ") + file.name);
    placement.commit();
    removeCreated.keep = true;
    return true;
}

}  // namespace cvhost
