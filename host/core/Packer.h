// The host's packing of package directories into zip files, and the safe unpacking behind
// ExtractFile. A packed file comes from another installation: every entry is checked before
// anything is written.
#pragma once

#include <QString>

namespace cvhost {

// Packs the package's own files of `directory` (perinfo.per, deptinfo.per, SysPerInfo.XML, in
// whatever letter case, the regular files among them) at the root of a new zip file, written
// under a temporary name, then renamed; nothing else the directory holds, such as the staged
// files of a writer that died, reaches the zip. Returns false with `error` set on failure.
bool packDirectory(const QString& directory, const QString& zipFile, QString* error = nullptr);

// What an archive may unpack to. A person package is three files of some megabytes (a few
// hundred for 100,000 people); a bomb is an archive that unpacks to far more than it holds,
// or to a great many entries. The ratio of the two sizes says nothing about which is which:
// a package of long repetitive values packs a thousandfold. So the limits are on what the
// unpacking costs the machine: the total unpacked size against a generous cap and against
// the free space of the destination, and the number of entries, their names' length and
// depth (a package's files lie at the top or a folder or two down; a name of thousands of
// levels makes thousands of folders to check and create).
struct ExtractLimits {
    int maxEntries = 1000;
    int maxNameLength = 1024;                // characters
    int maxDepth = 64;                       // components of a name
    qint64 maxTotalBytes = qint64(4) << 30;  // 4 GiB unpacked
    // The share of the destination's free space (as the file system reports it when the
    // unpacking starts) that the unpacked files may take, in percent: a bomb never fills
    // the disk that the store and the log share.
    int maxPercentOfFreeSpace = 50;
};

// Unpacks `archive` into `destination` (created when missing). Refuses the whole archive,
// writing nothing, when an entry has an absolute path, a ".." component, is a link, a device
// or anything but a plain file or directory, when two entries name the same path (or one
// names a file where another needs a directory), when an entry would replace a directory or
// pass through a link in the destination, or when a limit is exceeded; also refuses a file
// that is not a readable archive. Files are unpacked into a staging folder inside the
// destination and moved into place only once every entry has unpacked; should a move fail,
// the ones already made are undone (replaced files come back). A destination that the call
// created is removed again on refusal.
bool extractArchive(const QString& archive, const QString& destination, QString* error = nullptr,
                    const ExtractLimits& limits = {});

}  // namespace cvhost
