// libFuzzer harness: the unpacking of packed packages (cvhost::extractArchive).
//
// An input starting with "PK" is taken as a zip file as it is. Any other input describes the
// entries of a zip file that the harness writes, so that the fuzzer reaches names, kinds and
// clashes without first having to find the zip format's checksums:
//   byte 0: bit 0 the destination already holds a link to the outside, a file and a folder;
//           bit 1 the destination does not exist yet
//   then entries: kind (byte % 4: file, folder, symbolic link, device), name length
//   (byte), name, content length (byte), content (a link's target).
// After every run nothing exists outside the destination, and after a refusal the
// destination is exactly as it was before.
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

std::uint32_t crc32(const QByteArray& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= std::uint8_t(c);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put16(QByteArray& out, std::uint32_t v) {
    out.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF));
}
void put32(QByteArray& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A zip file of stored entries, written byte by byte so that any name (empty, with NUL,
// twice) and any Unix kind (in the external attributes) can be expressed.
QByteArray buildZip(const std::uint8_t* data, std::size_t size) {
    static const std::uint32_t modes[] = {0100644, 040755, 0120777, 020644};
    QByteArray zip;
    QByteArray directory;
    std::uint16_t count = 0;
    std::size_t at = 1;
    auto take = [&](std::size_t n) {
        const std::size_t k = std::min(n, size - at);
        QByteArray bytes(reinterpret_cast<const char*>(data + at), qsizetype(k));
        at += k;
        return bytes;
    };
    while (at + 2 <= size) {
        const int kind = data[at++] % 4;
        QByteArray name = take(data[at++]);
        const QByteArray content = at < size ? take(data[at++]) : QByteArray();
        if (kind == 1 && !name.endsWith('/')) name += '/';
        const QByteArray stored = kind == 1 ? QByteArray() : content;
        const std::uint32_t crc = crc32(stored);
        const auto offset = std::uint32_t(zip.size());
        auto common = [&](QByteArray& out) {
            put16(out, 20);      // version needed
            put16(out, 0x0800);  // names in UTF-8
            put16(out, 0);       // stored
            put16(out, 0);       // time
            put16(out, 0x21);    // date: 1980-01-01
            put32(out, crc);
            put32(out, std::uint32_t(stored.size()));
            put32(out, std::uint32_t(stored.size()));
            put16(out, std::uint32_t(name.size()));
            put16(out, 0);  // extra field
        };
        put32(zip, 0x04034b50);
        common(zip);
        zip += name;
        zip += stored;
        put32(directory, 0x02014b50);
        put16(directory, (3 << 8) | 20);  // made on Unix
        common(directory);
        put16(directory, 0);  // comment
        put16(directory, 0);  // disk
        put16(directory, 0);  // internal attributes
        put32(directory, modes[kind] << 16);
        put32(directory, offset);
        directory += name;
        ++count;
    }
    const auto directoryOffset = std::uint32_t(zip.size());
    zip += directory;
    put32(zip, 0x06054b50);
    put16(zip, 0);
    put16(zip, 0);
    put16(zip, count);
    put16(zip, count);
    put32(zip, std::uint32_t(directory.size()));
    put32(zip, directoryOffset);
    put16(zip, 0);
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
