// The package version rule: how a reader finds the two dataset files of a person package
// from the package argument that the host passes.
//
// With package version 3 the argument is the package directory and the files are read where
// they lie; with any other version (0 when the reader-pack library lacks the entry) it is a
// packed package file, unpacked into the temporary directory of the module key "XTGL".
#pragma once

#include <QString>

namespace cv {

inline const QString PersonFileName = QStringLiteral("perinfo.per");
inline const QString DeptFileName = QStringLiteral("deptinfo.per");
inline const QString ManifestFileName = QStringLiteral("SysPerInfo.XML");

// How the version-3 directory and a file name are joined. The import appends the name
// directly, so its argument must end with the separator; the preview puts a separator in
// between, so it finds the files either way (a doubled separator is harmless).
enum class PackageJoin { Import, Preview };

struct PackageFiles {
    enum class Status {
        Found,         // both files exist
        UnpackFailed,  // the packed file could not be unpacked; no path is set
        FileMissing,   // the paths are set, but at least one of the files does not exist
    };
    Status status = Status::UnpackFailed;
    QString personFile;
    QString deptFile;

    bool found() const { return status == Status::Found; }
};

// Applies the rule to `packageArgument`. Before unpacking, dataset files left in the
// temporary directory by an earlier package are removed, so that a package lacking a file
// never lends one from another package.
PackageFiles LocatePackageFiles(const QString& packageArgument, PackageJoin join);

}  // namespace cv
