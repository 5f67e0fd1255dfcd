// libFuzzer harness: the unpacking of packed packages (cvhost::extractArchive).
//
// An input starting with "PK" is taken as a zip file as it is. Any other input describes the
// entries of an archive that the harness builds with libarchive, so that the fuzzer reaches
// names, kinds and clashes without first having to find the zip format's checksums:
//   byte 0: bit 0 the destination already holds a link to the outside, a file and a folder;
//           bit 1 the destination does not exist yet
//   then entries: kind (byte % 4: file, folder, symbolic link, hard link), name length
//   (byte), name, content length (byte), content (a link's target).
// After every run nothing exists outside the destination, and after a refusal the
// destination is exactly as it was before.
#include <archive.h>
#include <archive_entry.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "FuzzSupport.h"
#include "Packer.h"

namespace {

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_extract: %s\n", what);
    std::abort();
}

// Every path under `folder` with its kind and, for files, content: a snapshot to compare.
QStringList snapshot(const QString& folder) {
    QStringList lines;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        QString line = QDir(folder).relativeFilePath(path);
        if (info.isSymLink()) {
            line += " -> " + info.symLinkTarget();
        } else if (info.isDir()) {
            line += "/";
        } else {
            QFile file(path);
            line += file.open(QIODevice::ReadOnly)
                        ? " " + QString::fromLatin1(file.readAll().toHex())
                        : QString(" unreadable");
        }
        lines << line;
    }
    lines.sort();
    return lines;
}

QByteArray buildZip(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<archive, int (*)(archive*)> writer(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(writer.get());
    QByteArray zip(size_t(64 * 1024) + size * 4, '\0');
    size_t used = 0;
    if (archive_write_open_memory(writer.get(), zip.data(), size_t(zip.size()), &used) !=
        ARCHIVE_OK)
        return {};
    std::size_t at = 1;
    auto take = [&](std::size_t n) {
        const std::size_t k = std::min(n, size - at);
        QByteArray bytes(reinterpret_cast<const char*>(data + at), qsizetype(k));
        at += k;
        return bytes;
    };
    while (at + 2 <= size) {
        const int kind = data[at++] % 4;
        const QByteArray name = take(data[at++]);
        const QByteArray content = at < size ? take(data[at++]) : QByteArray();
        std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(),
                                                                       archive_entry_free);
        archive_entry_copy_pathname(entry.get(), name.constData());
        archive_entry_set_perm(entry.get(), 0644);
        if (kind == 0) {
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_size(entry.get(), content.size());
        } else if (kind == 1) {
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
        } else if (kind == 2) {
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_copy_symlink(entry.get(), content.constData());
        } else {
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_copy_hardlink(entry.get(), content.constData());
        }
        if (archive_write_header(writer.get(), entry.get()) < ARCHIVE_WARN) return {};
        if (kind == 0)
            archive_write_data(writer.get(), content.constData(), size_t(content.size()));
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) return {};
    zip.truncate(qsizetype(used));
    return zip;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir root(cvfuzz::scratchFolder() + "/extract-XXXXXX");
    const QString box = root.filePath("box");
    const QString outside = box + "/outside";
    const QString dest = box + "/dest";
    const QString zipPath = root.filePath("in.zip");

    const bool raw = size >= 2 && data[0] == 'P' && data[1] == 'K';
    const std::uint8_t flags = raw || size == 0 ? 0 : data[0];
    if (raw) {
        cvfuzz::writeFile(zipPath, data, size);
    } else {
        const QByteArray zip = buildZip(data, size);
        cvfuzz::writeFile(zipPath, zip.constData(), std::size_t(zip.size()));
    }

    QDir(box).removeRecursively();
    QDir().mkpath(outside);
    if (!(flags & 2)) {
        QDir().mkpath(dest + "/old-folder");
        if (flags & 1) {
            cvfuzz::writeFile(dest + "/old-file", "old", 3);
            QFile::link(outside, dest + "/link");
        }
    }
    const QStringList before = snapshot(dest);

    cvhost::ExtractLimits limits;
    limits.maxEntries = 64;
    limits.maxTotalBytes = 1 << 20;
    QString error;
    const bool unpacked = cvhost::extractArchive(zipPath, dest, &error, limits);

    check(snapshot(outside).isEmpty(), "something was written outside the destination");
    QStringList inBox =
        QDir(box).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    inBox.removeAll("outside");
    inBox.removeAll("dest");
    check(inBox.isEmpty(), "something was written beside the destination");
    check(QDir(root.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot) ==
              QStringList({"box", "in.zip"}),
          "something was written above the destination");
    if (!unpacked) {
        check(!error.isEmpty(), "a refusal without a reason");
        check(snapshot(dest) == before, "a refused archive changed the destination");
        check((flags & 2) == 0 || !QFileInfo::exists(dest),
              "a refused archive left the destination it created");
    } else {
        for (const QString& line : snapshot(dest))
            check(!line.startsWith(".unpack-"), "the staging folder stayed behind");
    }
    return 0;
}
