#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "HeldFolder.h"
#include "HostSettings.h"
#include "PackageFiles.h"
#include "PackageTest.h"
#include "Packer.h"
#include "TestHost.h"

namespace cv::test {
namespace {

using Status = PackageFiles::Status;

// Zips the files of `folder` under the names given (python3's zipfile, as a tool packing by
// the manifest would), adding `extra` (a python statement on `zf`).
void zipAs(const QString& zip, const QList<std::pair<QString, QString>>& files,
           const QString& extra = {}) {
    QString body = "import zipfile,sys\nzf=zipfile.ZipFile(sys.argv[1],'w')\n";
    QStringList args{"-c", "", zip};
    for (qsizetype i = 0; i < files.size(); ++i) {
        body += QString("zf.write(sys.argv[%1],sys.argv[%2])\n").arg(2 * i + 2).arg(2 * i + 3);
        args << files[i].first << files[i].second;
    }
    args[1] = body + extra + "\nzf.close()";
    ASSERT_EQ(QProcess::execute("python3", args), 0);
}

// Packages in every form, built from one package directory "pkg/PerInfo/".
struct Fixture {
    testhost::Installation inst;
    QString directory = inst.packageDir() + "PerInfo/";
    QString mixedDir = inst.packageDir() + "Mixed/";
    QString twiceDir = inst.packageDir() + "Twice/";
    QString folderDir = inst.packageDir() + "Folder/";
    QString zip = inst.packageDir() + "package.zip";
    QString halfZip = inst.packageDir() + "halfpackage.zip";
    QString mixedZip = inst.packageDir() + "mixed.zip";
    QString twiceZip = inst.packageDir() + "twice.zip";
    QString folderZip = inst.packageDir() + "folder.zip";
    // Marked by the exports that wrote them: one export, two, one file of an older one.
    QString oneExportDir = inst.packageDir() + "OneExport/";
    QString twoExportsDir = inst.packageDir() + "TwoExports/";
    QString olderDeptDir = inst.packageDir() + "OlderDept/";
    QString twoExportsZip = inst.packageDir() + "twoexports.zip";
    QString temp = inst.tempDir() + "XTGL/";

    Fixture() {
        QDir().mkpath(directory);
        writePackage(directory, {{"p1", "n", "男", "l", "<null>", "<null>", "<null>"}}, {});
        const QString per = directory + "perinfo.per";
        const QString dept = directory + "deptinfo.per";
        EXPECT_TRUE(cvhost::packDirectory(directory, zip));
        zipAs(halfZip, {{per, "perinfo.per"}});
        // The names of the manifest, and an upper-case one.
        zipAs(mixedZip, {{per, "PerInfo.per"}, {dept, "DEPTINFO.PER"}});
        // One file under two names that differ in case only: which one is meant?
        zipAs(twiceZip, {{per, "perinfo.per"}, {per, "PerInfo.per"}, {dept, "deptinfo.per"}});
        // A folder named like the department file.
        zipAs(folderZip, {{per, "perinfo.per"}}, "zf.writestr('deptinfo.per/','')");
        for (const QString& d : {mixedDir, twiceDir, folderDir}) QDir().mkpath(d);
        QFile::copy(per, mixedDir + "PerInfo.per");
        QFile::copy(dept, mixedDir + "DEPTINFO.PER");
        QFile::copy(per, twiceDir + "perinfo.per");
        QFile::copy(dept, twiceDir + "deptinfo.per");
        QFile::copy(dept, twiceDir + "DeptInfo.per");
        QFile::copy(per, folderDir + "perinfo.per");
        QDir().mkpath(folderDir + "deptinfo.per");
        const auto marked = [&](const QString& from, const QString& to, const QByteArray& mark) {
            QDir().mkpath(QFileInfo(to).path());
            QFile::copy(from, to);
            QFile file(to);
            EXPECT_TRUE(file.open(QIODevice::Append));
            if (!mark.isEmpty()) file.write("<?cvpersonpack export=\"" + mark + "\"?>\n\n");
        };
        marked(per, oneExportDir + "perinfo.per", "0a1b");
        marked(dept, oneExportDir + "deptinfo.per", "0a1b");
        marked(per, twoExportsDir + "perinfo.per", "0a1b");
        marked(dept, twoExportsDir + "deptinfo.per", "2c3d");
        marked(per, olderDeptDir + "perinfo.per", "0a1b");
        marked(dept, olderDeptDir + "deptinfo.per", "");
        EXPECT_TRUE(cvhost::packDirectory(twoExportsDir, twoExportsZip));
    }
};

TEST(PackageVersionRuleTest, FindsTheDatasetFilesForEachVersionFormAndLetterCase) {
    Fixture f;
    // Folders that readers killed in the middle left behind go, whatever process their names
    // name (one that has ended, or pid 1, which always runs); a folder its reader holds stays.
    QProcess ended;
    ended.start("true");
    ASSERT_TRUE(ended.waitForStarted());
    const qint64 endedPid = ended.processId();
    ended.waitForFinished();
    const QStringList deadFolders = {f.temp + QString("CVPersonPack-%1-abcdef").arg(endedPid),
                                     f.temp + "CVPersonPack-1-abcdef"};
    QDir().mkpath(f.temp);
    const HeldFolder live(f.temp, "CVPersonPack-1-");
    ASSERT_TRUE(live.isValid()) << live.errorString().toStdString();
    const QString liveFolder = live.path();
    const QStringList leftFolders = QStringList(deadFolders) << liveFolder;
    for (const QString& folder : leftFolders) {
        QDir().mkpath(folder + "/deptinfo.per/inner");
        QFile::copy(f.directory + "perinfo.per", folder + "/perinfo.per");
    }

    struct Case {
        int version;  // 0: the reader-pack library lacks the entry
        PackageJoin join;
        QString argument;
        Status status;
        QString personFile;  // "<unpacked>/" stands for the reader's unpacking folder
        QString deptFile;
    };
    const QString dir = f.directory;
    const QString bare = dir.chopped(1);  // without the trailing separator
    const QString u = "<unpacked>/";
    const Case cases[] = {
        {3, PackageJoin::Import, dir, Status::Found, dir + "perinfo.per", dir + "deptinfo.per"},
        {3, PackageJoin::Import, bare, Status::FileMissing, bare + "perinfo.per",
         bare + "deptinfo.per"},
        {3, PackageJoin::Preview, bare, Status::Found, bare + "/perinfo.per",
         bare + "/deptinfo.per"},
        {3, PackageJoin::Preview, dir, Status::Found, dir + "/perinfo.per", dir + "/deptinfo.per"},
        {3, PackageJoin::Import, f.zip, Status::FileMissing, f.zip + "perinfo.per",
         f.zip + "deptinfo.per"},
        {1, PackageJoin::Import, f.zip, Status::Found, u + "perinfo.per", u + "deptinfo.per"},
        {1, PackageJoin::Preview, f.zip, Status::Found, u + "perinfo.per", u + "deptinfo.per"},
        {0, PackageJoin::Import, f.zip, Status::Found, u + "perinfo.per", u + "deptinfo.per"},
        {0, PackageJoin::Preview, f.zip, Status::Found, u + "perinfo.per", u + "deptinfo.per"},
        {1, PackageJoin::Import, dir, Status::UnpackFailed, "", ""},
        {1, PackageJoin::Preview, f.zip + ".missing", Status::UnpackFailed, "", ""},
        {1, PackageJoin::Preview, f.halfZip, Status::FileMissing, u + "perinfo.per",
         u + "deptinfo.per"},
        // Letter case: found under the names the package gives them.
        {1, PackageJoin::Import, f.mixedZip, Status::Found, u + "PerInfo.per", u + "DEPTINFO.PER"},
        {1, PackageJoin::Preview, f.mixedZip, Status::Found, u + "PerInfo.per", u + "DEPTINFO.PER"},
        {3, PackageJoin::Import, f.mixedDir, Status::Found, f.mixedDir + "PerInfo.per",
         f.mixedDir + "DEPTINFO.PER"},
        {3, PackageJoin::Preview, f.mixedDir, Status::Found, f.mixedDir + "/PerInfo.per",
         f.mixedDir + "/DEPTINFO.PER"},
        {1, PackageJoin::Preview, f.twiceZip, Status::Ambiguous, "", ""},
        {3, PackageJoin::Import, f.twiceDir, Status::Ambiguous, "", ""},
        // A folder is not a dataset file, and it does not stay to block the next package.
        {1, PackageJoin::Preview, f.folderZip, Status::FileMissing, u + "perinfo.per",
         u + "deptinfo.per"},
        {3, PackageJoin::Import, f.folderDir, Status::FileMissing, f.folderDir + "perinfo.per",
         f.folderDir + "deptinfo.per"},
        {1, PackageJoin::Import, f.zip, Status::Found, u + "perinfo.per", u + "deptinfo.per"},
        // The two files of one export, of two, a marked one beside one of an older export.
        {3, PackageJoin::Import, f.oneExportDir, Status::Found, f.oneExportDir + "perinfo.per",
         f.oneExportDir + "deptinfo.per"},
        {3, PackageJoin::Import, f.twoExportsDir, Status::Mismatched, "", ""},
        {3, PackageJoin::Preview, f.twoExportsDir, Status::Mismatched, "", ""},
        {3, PackageJoin::Import, f.olderDeptDir, Status::Mismatched, "", ""},
        {1, PackageJoin::Import, f.twoExportsZip, Status::Mismatched, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString("version %1, %2, %3")
                         .arg(c.version)
                         .arg(c.join == PackageJoin::Import ? "import" : "preview", c.argument)
                         .toStdString());
        testhost::answers().appInterfaceAvailable = c.version != 0;
        cvhost::Settings::instance().set("packageVersion", QString::number(c.version));
        {
            const PackageFiles files = LocatePackageFiles(c.argument, c.join);
            const QString unpacked = files.unpacked ? files.unpacked->path() + '/' : "";
            EXPECT_EQ(files.unpacked != nullptr,
                      c.version != 3 && c.status != Status::UnpackFailed);
            EXPECT_TRUE(unpacked.isEmpty() || unpacked.startsWith(f.temp + "CVPersonPack-"));
            EXPECT_EQ(files.status, c.status);
            EXPECT_EQ(files.personFile, QString(c.personFile).replace(u, unpacked));
            EXPECT_EQ(files.deptFile, QString(c.deptFile).replace(u, unpacked));
            EXPECT_EQ(files.reason.isEmpty(), files.found()) << files.reason.toStdString();
            if (files.found()) {
                EXPECT_TRUE(QFileInfo(files.personFile).isFile());
                EXPECT_TRUE(QFileInfo(files.deptFile).isFile());
            }
        }
        // Whatever the package held, nothing of it outlives the reader.
        QStringList left =
            QDir(f.temp).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        for (const QString& folder : leftFolders) left.removeAll(QFileInfo(folder).fileName());
        EXPECT_EQ(left, QStringList());
    }
    for (const QString& folder : deadFolders) EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_TRUE(QFileInfo(liveFolder + "/perinfo.per").isFile());
}

class MixedExportsTest : public PackageTest {};
CV_BOTH_STYLES(MixedExportsTest);

// The person file of one export beside the department file of another, as a writer that died
// between its renames would leave them: the preview refuses them, and so does the import of
// a package that became such a pair after its preview.
TEST_P(MixedExportsTest, ThePreviewAndTheImportRefuseFilesOfTwoExports) {
    install(Content::SampleA);
    const QString written = inst().packageDir() + "PerInfo/";
    const QString package = inst().folder() + "copy/";
    QDir().mkpath(package);
    ASSERT_EQ(PackageExportProc(&hostWindow), 1);
    ASSERT_EQ(PackageExport(), written);
    for (const char* name : {"perinfo.per", "deptinfo.per"})
        ASSERT_TRUE(QFile::copy(written + name, package + name));
    tree().setStateIndex(findNode(tree(), "0003", "0"), CheckTree::Unchecked);
    ASSERT_EQ(PackageExport(), written);
    PackageFree();
    const auto mix = [&] {
        QFile::remove(package + "deptinfo.per");
        ASSERT_TRUE(QFile::copy(written + "deptinfo.per", package + "deptinfo.per"));
    };
    const QString refused = "不是同一次导出写出的";
    setPackageVersion(3);
    QFile log(inst().logFile());

    const QStringList stored = rows("SELECT PerUUID, LoginName FROM CV_PersonInfo ORDER BY 1");
    ASSERT_EQ(PackageImportProc(package, &hostWindow), 1);
    mix();
    EXPECT_EQ(PackageImport(package), -1);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString importLines = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(
        importLines.contains("人员包无法导入: 人员包的 perinfo.per 和 deptinfo.per " + refused))
        << importLines.toStdString();
    EXPECT_EQ(rows("SELECT PerUUID, LoginName FROM CV_PersonInfo ORDER BY 1"), stored);
    PackageFree();

    EXPECT_EQ(PackageImportProc(package, &hostWindow), -1);
    const QString previewLines = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(previewLines.startsWith("人员包无法预览: ") ||
                previewLines.contains("\t人员包无法预览: "))
        << previewLines.toStdString();
    EXPECT_TRUE(previewLines.contains(refused)) << previewLines.toStdString();
}

}  // namespace
}  // namespace cv::test
