#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "HostSettings.h"
#include "PackageFiles.h"
#include "PackageTest.h"
#include "Packer.h"
#include "TestHost.h"

namespace cv::test {
namespace {

using Status = PackageFiles::Status;

// A package directory "pkg/PerInfo/" with both dataset files, its zip "pkg/package.zip", and
// a zip "pkg/halfpackage.zip" that lacks the department file.
struct Fixture {
    testhost::Installation inst;
    QString directory = inst.packageDir() + "PerInfo/";
    QString zip = inst.packageDir() + "package.zip";
    QString halfZip = inst.packageDir() + "halfpackage.zip";
    QString temp = inst.tempDir() + "XTGL/";

    Fixture() {
        QDir().mkpath(inst.packageDir() + "half/");
        QDir().mkpath(directory);
        writePackage(directory, {{"p1", "n", "男", "l", "<null>", "<null>", "<null>"}}, {});
        QFile::copy(directory + "perinfo.per", inst.packageDir() + "half/perinfo.per");
        EXPECT_TRUE(cvhost::packDirectory(directory, zip));
        EXPECT_TRUE(cvhost::packDirectory(inst.packageDir() + "half/", halfZip));
    }
};

TEST(PackageVersionRuleTest, FindsTheDatasetFilesForEachVersionAndForm) {
    Fixture f;
    struct Case {
        int version;  // 0: the reader-pack library lacks the entry
        PackageJoin join;
        QString argument;
        Status status;
        QString personFile;  // the department file is the same with "deptinfo.per"
    };
    const QString dir = f.directory;
    const QString bare = dir.chopped(1);  // without the trailing separator
    const Case cases[] = {
        {3, PackageJoin::Import, dir, Status::Found, dir + "perinfo.per"},
        {3, PackageJoin::Import, bare, Status::FileMissing, bare + "perinfo.per"},
        {3, PackageJoin::Preview, bare, Status::Found, bare + "/perinfo.per"},
        {3, PackageJoin::Preview, dir, Status::Found, dir + "/perinfo.per"},
        {3, PackageJoin::Import, f.zip, Status::FileMissing, f.zip + "perinfo.per"},
        {1, PackageJoin::Import, f.zip, Status::Found, f.temp + "perinfo.per"},
        {1, PackageJoin::Preview, f.zip, Status::Found, f.temp + "perinfo.per"},
        {0, PackageJoin::Import, f.zip, Status::Found, f.temp + "perinfo.per"},
        {0, PackageJoin::Preview, f.zip, Status::Found, f.temp + "perinfo.per"},
        {1, PackageJoin::Import, dir, Status::UnpackFailed, ""},
        {1, PackageJoin::Preview, f.zip + ".missing", Status::UnpackFailed, ""},
        // The department file of the previous case's package is not lent to this one.
        {1, PackageJoin::Import, f.zip, Status::Found, f.temp + "perinfo.per"},
        {1, PackageJoin::Preview, f.halfZip, Status::FileMissing, f.temp + "perinfo.per"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString("version %1, %2, %3")
                         .arg(c.version)
                         .arg(c.join == PackageJoin::Import ? "import" : "preview", c.argument)
                         .toStdString());
        testhost::answers().appInterfaceAvailable = c.version != 0;
        cvhost::Settings::instance().set("packageVersion", QString::number(c.version));
        const PackageFiles files = LocatePackageFiles(c.argument, c.join);
        EXPECT_EQ(files.status, c.status);
        EXPECT_EQ(files.personFile, c.personFile);
        EXPECT_EQ(files.deptFile,
                  c.personFile.isEmpty() ? "" : c.personFile.chopped(11) + "deptinfo.per");
    }
}

}  // namespace
}  // namespace cv::test
