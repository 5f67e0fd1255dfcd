#include "PackageFiles.h"

#include <QFile>
#include <QFileInfo>

#include "HostServices.h"

namespace cv {

PackageFiles LocatePackageFiles(const QString& packageArgument, PackageJoin join) {
    PackageFiles files;
    QString directory;
    if (host::packageVersion() == 3) {
        directory = join == PackageJoin::Import ? packageArgument : packageArgument + '/';
    } else {
        directory = host::appTempPath(QStringLiteral("XTGL"));
        if (!directory.isEmpty()) {
            QFile::remove(directory + PersonFileName);
            QFile::remove(directory + DeptFileName);
        }
        if (!host::extractFile(packageArgument, directory)) return files;
    }
    files.personFile = directory + PersonFileName;
    files.deptFile = directory + DeptFileName;
    files.status = QFileInfo(files.personFile).isFile() && QFileInfo(files.deptFile).isFile()
                       ? PackageFiles::Status::Found
                       : PackageFiles::Status::FileMissing;
    return files;
}

}  // namespace cv
