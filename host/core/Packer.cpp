#include "Packer.h"

#include <archive.h>
#include <archive_entry.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
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

// True when a component of `name` below `root` already exists as a link there: writing through
// it could land outside the destination.
bool passesThroughLink(const QDir& root, const QString& name) {
    QString prefix;
    for (const QString& part : QString(name).replace('\\', '/').split('/', Qt::SkipEmptyParts)) {
        prefix = prefix.isEmpty() ? part : prefix + '/' + part;
        if (QFileInfo(root.filePath(prefix)).isSymLink()) return true;
    }
    return false;
}

}  // namespace

bool packDirectory(const QString& directory, const QString& zipFile, QString* error) {
    const QFileInfoList files = QDir(directory).entryInfoList(QDir::Files, QDir::Name);
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
        return fail(error, archive_error_string(writer.get()));

    for (const QFileInfo& info : files) {
        QFile in(info.filePath());
        if (!in.open(QIODevice::ReadOnly)) return fail(error, "cannot read " + info.filePath());
        const QByteArray content = in.readAll();
        if (in.error() != QFileDevice::NoError || content.size() != info.size())
            return fail(error, "cannot read " + info.filePath());
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
            return fail(error, archive_error_string(writer.get()));
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        return fail(error, archive_error_string(writer.get()));
    if (!out.commit()) return fail(error, out.errorString());  // a failed write included
    return true;
}

bool extractArchive(const QString& archivePath, const QString& destination, QString* error,
                    const ExtractLimits& limits) {
    const qint64 packedSize = QFileInfo(archivePath).size();
    ArchivePtr reader(archive_read_new(), archive_read_free);
    archive_read_support_format_zip(reader.get());
    archive_read_support_filter_none(reader.get());
    const QByteArray path = QFile::encodeName(archivePath);
    if (archive_read_open_filename(reader.get(), path.constData(), 64 * 1024) != ARCHIVE_OK)
        return fail(error, archive_error_string(reader.get()));

    // Everything is unpacked into a staging folder inside the destination first, so that a
    // refused archive leaves nothing behind and a reader never sees half a file.
    if (!QDir().mkpath(destination)) return fail(error, "cannot create " + destination);
    QTemporaryDir staging(QDir(destination).filePath(".unpack-XXXXXX"));
    if (!staging.isValid()) return fail(error, "cannot create a staging folder");

    struct Unpacked {
        QString name;
        bool directory;
    };
    std::vector<Unpacked> unpacked;
    qint64 total = 0;
    archive_entry* entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        if (int(unpacked.size()) >= limits.maxEntries) return fail(error, "too many entries");
        const char* utf8 = archive_entry_pathname_utf8(entry);
        const QString name = utf8 ? QString::fromUtf8(utf8)
                                  : QString::fromLocal8Bit(archive_entry_pathname(entry));
        if (!safeEntryName(name)) return fail(error, "unsafe entry name: " + name);
        const mode_t type = archive_entry_filetype(entry);
        if (type != AE_IFREG && type != AE_IFDIR)
            return fail(error, "entry is not a plain file: " + name);
        if (archive_entry_hardlink(entry) || archive_entry_symlink(entry))
            return fail(error, "entry is a link: " + name);

        const QString target = staging.filePath(name);
        if (type == AE_IFDIR) {
            if (!QDir().mkpath(target)) return fail(error, "cannot create " + name);
            unpacked.push_back({name, true});
            continue;
        }
        if (!QDir().mkpath(QFileInfo(target).path())) return fail(error, "cannot create " + name);
        QFile out(target);
        if (!out.open(QIODevice::WriteOnly)) return fail(error, "cannot write " + name);
        char buffer[64 * 1024];
        la_ssize_t n;
        while ((n = archive_read_data(reader.get(), buffer, sizeof buffer)) > 0) {
            total += n;
            if (total > limits.maxTotalBytes ||
                (packedSize > 0 && total / packedSize > limits.maxRatio))
                return fail(error, "archive unpacks to more than allowed");
            if (out.write(buffer, n) != n) return fail(error, "cannot write " + name);
        }
        if (n < 0) return fail(error, archive_error_string(reader.get()));
        unpacked.push_back({name, false});
    }
    if (rc != ARCHIVE_EOF) return fail(error, archive_error_string(reader.get()));
    if (unpacked.empty()) return fail(error, "archive holds no entry");

    const QDir target(destination);
    for (const Unpacked& item : unpacked)
        if (passesThroughLink(target, item.name))
            return fail(error, "destination holds a link at " + item.name);
    for (const Unpacked& item : unpacked) {
        const QString to = target.filePath(item.name);
        if (item.directory) {
            QDir().mkpath(to);
            continue;
        }
        QDir().mkpath(QFileInfo(to).path());
        QFile::remove(to);
        if (!QFile::rename(staging.filePath(item.name), to))
            return fail(error, "cannot place " + item.name);
    }
    return true;
}

}  // namespace cvhost
