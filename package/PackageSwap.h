// A package directory's next content, written into a folder of its own and put in place
// whole: the directory holds one export's files or the earlier export's, whatever moment the
// writer dies, and nothing a dead writer left reaches a package.
//
// The new folder is made beside the directory and takes the directory's other entries (hard
// links: nothing is copied); then the two are exchanged in one step (renameat2 with
// RENAME_EXCHANGE), so the directory keeps its path and its permissions, and the earlier
// package, now in the folder, is removed. Where that cannot be (the directory is a mount
// point, its parent takes no new folder, the file system cannot exchange), the new files are
// staged in a hidden folder inside the directory and renamed into place one by one; a writer
// that dies between those renames leaves files of two exports, which the readers refuse by
// their marks.
//
// The folders are held (HeldFolder) while an export runs. The next export to the directory
// tidies up what a dead one left: its package files go, and anything else of the directory it
// held goes back into the directory.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

namespace cv {

class HeldFolder;

class PackageSwap {
public:
    PackageSwap();
    ~PackageSwap();  // removes the new folder unless it was put in place
    PackageSwap(const PackageSwap&) = delete;
    PackageSwap& operator=(const PackageSwap&) = delete;

    enum class Opened {
        Ready,
        NoDirectory,  // the directory is missing and cannot be made, or is not a directory
        Failed,       // no folder for the new files
    };
    // Tidies up after dead exports to `directory` (ending with the separator), then makes the
    // folder that the new files are written into. Nothing of the directory changes yet.
    Opened open(const QString& directory);
    // Where the new files go, ending with the separator.
    QString folder() const;
    // Puts the package files `names` of the folder in place of the directory's, which are
    // dropped with their other spellings and with files a dead writer staged beside them.
    // False when they cannot be (a directory stands under such a name, a system call fails),
    // with the directory as it was.
    bool commit(const QStringList& names);
    // What failed, in plain words; empty while nothing did.
    const QString& errorString() const { return error_; }

private:
    bool fail(const QString& what);
    bool exchange(const QStringList& names);
    bool renameEach(const QStringList& names, int directoryFd);

    QString directory_;  // links resolved, without the trailing separator
    QString parent_;     // ending with the separator, or empty (the current directory)
    QString name_;
    bool exists_ = false;
    bool inside_ = false;  // the folder is inside the directory
    std::unique_ptr<HeldFolder> folder_;
    QString error_;
};

}  // namespace cv
