// The host's packing of package directories into zip files, and the safe unpacking behind
// ExtractFile. A packed file comes from another installation: every entry is checked before
// anything is written.
#pragma once

#include <QString>

namespace cvhost {

// Packs the regular files directly inside `directory` at the root of a new zip file
// (written under a temporary name, then renamed). Returns false with `error` set on failure.
bool packDirectory(const QString& directory, const QString& zipFile, QString* error = nullptr);

struct ExtractLimits {
    int maxEntries = 1000;
    qint64 maxTotalBytes = qint64(2) << 30;  // 2 GiB unpacked
    qint64 maxRatio = 200;                   // unpacked size per packed byte, whole archive
};

// Unpacks `archive` into `destination` (created when missing). Refuses the whole archive,
// writing nothing, when an entry has an absolute path, a ".." component, is a link, a device
// or anything but a plain file or directory, or when a limit is exceeded; also refuses a file
// that is not a readable archive. Files are written under temporary names and renamed into
// place only once every entry has unpacked.
bool extractArchive(const QString& archive, const QString& destination, QString* error = nullptr,
                    const ExtractLimits& limits = {});

}  // namespace cvhost
