// The package version rule: how a reader finds the two dataset files of a person package
// from the package argument that the host passes.
//
// With package version 3 the argument is the package directory and the files are read where
// they lie; with any other version (0 when the reader-pack library lacks the entry) it is a
// packed package file, unpacked into a folder of its own inside the temporary directory of
// the module key "XTGL". That folder lives exactly as long as the PackageFiles that name it:
// whatever a package holds, nothing of it outlives the reader that unpacked it. The folder is
// held (HeldFolder) while it lives; one whose reader died is removed by the next reader.
//
// The dataset files are found whatever the letter case of their names ("PerInfo.per" as the
// manifest names it, "perinfo.per" as the export writes it, "DEPTINFO.PER"): ASCII letters
// only, so that no look-alike character stands in for a letter. A package that holds two
// names for one file, differing only in case, is ambiguous and refused.
//
// The export marks its two dataset files with one mark of its own (appendDataPacketMark): a
// person file and a department file with different marks, or one marked and one not, come
// from two exports and are refused. Files without marks, from older packages, are read.
#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

class QObject;

namespace cv {

class HeldFolder;

inline const QString PersonFileName = QStringLiteral("perinfo.per");
inline const QString DeptFileName = QStringLiteral("deptinfo.per");
inline const QString ManifestFileName = QStringLiteral("SysPerInfo.XML");

// How the version-3 directory and a file name are joined. The import appends the name
// directly, so its argument must end with the separator; the preview puts a separator in
// between, so it finds the files either way (a doubled separator is harmless).
enum class PackageJoin { Import, Preview };

struct PackageFiles {
    enum class Status {
        Found,         // both files exist as plain files
        UnpackFailed,  // the packed file could not be unpacked; no path is set
        FileMissing,   // the paths are set, but at least one is not a plain file
        Ambiguous,     // a file is there under two names differing in case; no path is set
        Mismatched,    // the two files were written by two exports; no path is set
    };
    Status status = Status::UnpackFailed;
    QString personFile;
    QString deptFile;
    // The folder a packed package was unpacked into; removed with the last copy of this.
    std::shared_ptr<HeldFolder> unpacked;
    // Why the files were not found, in plain words; empty when they were.
    QString reason;

    bool found() const { return status == Status::Found; }
};

// Applies the rule to `packageArgument`. Unpacking folders that no reader holds any more (its
// process was killed in the middle of a read) are removed first.
PackageFiles LocatePackageFiles(const QString& packageArgument, PackageJoin join);

// What the user approved in the import preview is what the import stores. When the preview
// locates a package, the fingerprint of its two dataset files (BLAKE2b-256 over their bytes, fast
// enough to hash a large package twice) is kept; once the preview frame shows it,
// RecordPreviewedPackage ties that fingerprint to the frame. MatchesPreviewedPackage tells whether
// `files` (located by the import) hold exactly those bytes and the frame of the preview is still
// the registered one.
void RecordPreviewedPackage(QObject& frame);
bool MatchesPreviewedPackage(const PackageFiles& files);

// The fingerprint of two dataset files; empty when either cannot be read.
QByteArray PackageFingerprint(const QString& personFile, const QString& deptFile);

}  // namespace cv
