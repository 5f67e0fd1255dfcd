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
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "Packer.h"

// The bookkeeping around each run (clearing the box, the snapshots, the listings) uses the
// system's calls rather than QDir: through Qt it took more than half of every run, mostly in
// allocations, which the sanitizer makes dear.
namespace {

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_extract: %s\n", what);
    std::abort();
}

void removeTree(const std::string& path) {
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

// Every path under a folder with its kind and, for files, content: a snapshot to compare.
std::vector<std::string>* walked = nullptr;
std::size_t walkedPrefix = 0;

int noteEntry(const char* path, const struct stat* info, int kind, FTW* where) {
    if (where->level == 0) return 0;
    std::string line(path + walkedPrefix);
    if (kind == FTW_SL || kind == FTW_SLN) {
        char target[4096];
        const ssize_t n = readlink(path, target, sizeof target);
        line += " -> " + std::string(target, std::size_t(std::max<ssize_t>(n, 0)));
    } else if (kind == FTW_D || kind == FTW_DNR) {
        line += "/";
    } else {
        line += " " + std::to_string(info->st_mode) + " ";
        const int fd = open(path, O_RDONLY | O_NONBLOCK);
        char bytes[4096];
        for (ssize_t n; fd >= 0 && (n = read(fd, bytes, sizeof bytes)) > 0;) line.append(bytes, n);
        if (fd >= 0) close(fd);
    }
    walked->push_back(std::move(line));
    return 0;
}

std::vector<std::string> snapshot(const std::string& folder) {
    std::vector<std::string> lines;
    walked = &lines;
    walkedPrefix = folder.size() + 1;
    nftw(folder.c_str(), noteEntry, 16, FTW_PHYS);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The names in a folder, sorted; {"?"} when it cannot be read.
std::vector<std::string> names(const std::string& folder) {
    std::vector<std::string> found;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return {"?"};
    while (const dirent* entry = readdir(dir))
        if (std::string_view(entry->d_name) != "." && std::string_view(entry->d_name) != "..")
            found.emplace_back(entry->d_name);
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
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
    static const std::string rootPath = root.path().toStdString();
    static const std::string box = rootPath + "/box";
    static const std::string outside = box + "/outside";
    static const std::string dest = box + "/dest";
    static const std::string zipPath = rootPath + "/in.zip";
    static const QString destText = QString::fromStdString(dest);
    static const QString zipText = QString::fromStdString(zipPath);
    static const QString oldFile = destText + "/old-file";

    const bool raw = size >= 2 && data[0] == 'P' && data[1] == 'K';
    const std::uint8_t flags = raw || size == 0 ? 0 : data[0];
    if (raw) {
        cvfuzz::writeFile(zipText, data, size);
    } else {
        const QByteArray zip = buildZip(data, size);
        cvfuzz::writeFile(zipText, zip.constData(), std::size_t(zip.size()));
    }

    removeTree(box);
    check(mkdir(box.c_str(), 0755) == 0 && mkdir(outside.c_str(), 0755) == 0,
          "cannot make the box");
    if (!(flags & 2)) {
        check(mkdir(dest.c_str(), 0755) == 0 && mkdir((dest + "/old-folder").c_str(), 0755) == 0,
              "cannot make the destination");
        if (flags & 1) {
            cvfuzz::writeFile(oldFile, "old", 3);
            check(symlink(outside.c_str(), (dest + "/link").c_str()) == 0, "cannot make a link");
        }
    }
    const std::vector<std::string> before = snapshot(dest);

    cvhost::ExtractLimits limits;
    limits.maxEntries = 64;
    limits.maxTotalBytes = 1 << 20;
    QString error;
    const bool unpacked = cvhost::extractArchive(zipText, destText, &error, limits);

    // An empty folder is the only kind rmdir removes.
    check(rmdir(outside.c_str()) == 0, "something was written outside the destination");
    const std::vector<std::string> inBox = names(box);
    check(inBox.empty() || inBox == std::vector<std::string>{"dest"},
          "something was written beside the destination");
    check(names(rootPath) == std::vector<std::string>({"box", "in.zip"}),
          "something was written above the destination");
    if (!unpacked) {
        check(!error.isEmpty(), "a refusal without a reason");
        check(snapshot(dest) == before, "a refused archive changed the destination");
        check((flags & 2) == 0 || inBox.empty(),
              "a refused archive left the destination it created");
    } else {
        // The staging folder is ".unpack-" and six random characters; a package may name a
        // folder so too, and then the name stands in its bytes (zip names are never packed).
        const std::string_view input(reinterpret_cast<const char*>(data), size);
        for (const std::string& name : names(dest))
            check(name.size() != 14 || name.rfind(".unpack-", 0) != 0 ||
                      input.find(name) != std::string_view::npos,
                  "the staging folder stayed behind");
    }
    return 0;
}
