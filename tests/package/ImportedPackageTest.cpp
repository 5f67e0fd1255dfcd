// What the import stores is the package the user saw in the preview, found whatever the
// letter case of its file names, and nothing it unpacked stays behind.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>

#include "PackageTest.h"
#include "Packer.h"
#include "TCVPerson.h"

namespace cv::test {
namespace {

class ImportedPackageTest : public PackageTest {
public:
    // Package A (two people, one department) and package B (other people), as directories
    // and zip files in every form a case needs.
    void makePackages() {
        const bool made = root_ != nullptr;
        if (made) {
            // The packages made for the first case, afresh for this one.
            auto fresh = std::make_unique<QTemporaryDir>();
            ASSERT_EQ(QProcess::execute("cp", {"-a", template_->path() + "/.", fresh->path()}), 0);
            root_ = std::move(fresh);
            return;
        }
        root_ = std::make_unique<QTemporaryDir>();
        const QString a = path("a/");
        const QString b = path("b/");
        QDir().mkpath(a);
        QDir().mkpath(b);
        writePackage(a,
                     {{"a1", "甲一", "男", "jiayi", "00010001", "备注", "pw1"},
                      {"a2", "甲二", "女", "jiaer", "<null>", "<null>", "<null>"}},
                     {{"00010001", "总部_研发"}});
        writePackage(b,
                     {{"b1", "乙一", "男", "jiayi", "00010001", "别人", "other"},
                      {"b2", "乙二", "女", "yier", "<null>", "<null>", "<null>"}},
                     {{"00010001", "别处_别组"}});
        ASSERT_TRUE(cvhost::packDirectory(a, path("a.zip")));
        ASSERT_TRUE(cvhost::packDirectory(a, path("copy-of-a.zip")));
        ASSERT_TRUE(cvhost::packDirectory(b, path("b.zip")));
        const QString per = a + "perinfo.per";
        const QString dept = a + "deptinfo.per";
        python(
            "z.write(a + 'perinfo.per', 'PerInfo.per'); z.write(a + 'deptinfo.per', "
            "'DEPTINFO.PER')",
            path("mixed.zip"));
        python(
            "z.write(a + 'perinfo.per', 'perinfo.per'); z.write(a + 'perinfo.per', "
            "'PerInfo.per'); z.write(a + 'deptinfo.per', 'deptinfo.per')",
            path("twice.zip"));
        python("z.write(a + 'perinfo.per', 'perinfo.per'); z.writestr('deptinfo.per/', '')",
               path("folder.zip"));
        QDir().mkpath(path("mixed/"));
        QFile::copy(per, path("mixed/PerInfo.per"));
        QFile::copy(dept, path("mixed/DEPTINFO.PER"));
        template_ = std::make_unique<QTemporaryDir>();
        ASSERT_EQ(QProcess::execute("cp", {"-a", root_->path() + "/.", template_->path()}), 0);
    }
    QString path(const QString& name) const { return root_->path() + "/" + name; }
    void python(const QString& statements, const QString& zip) {
        ASSERT_EQ(QProcess::execute("python3", {"-c",
                                                "import sys, zipfile\na = sys.argv[2]\n"
                                                "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                                "    " +
                                                    statements,
                                                zip, path("a/")}),
                  0);
    }
    // A directory package is read where it lies (version 3), a zip file unpacked.
    void versionFor(const QString& argument) { setPackageVersion(argument.endsWith('/') ? 3 : 1); }
    QStringList stored() {
        return rows(
                   "SELECT PerUUID, PerName, PerSex, PerMemo, LoginName, UPassword, PerDept, "
                   "PrjID FROM CV_PersonInfo ORDER BY PerUUID") +
               rows("SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo ORDER BY DeptID");
    }
    QString log() {
        QFile file(inst().logFile());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    std::unique_ptr<QTemporaryDir> root_;
    std::unique_ptr<QTemporaryDir> template_;
};
CV_BOTH_STYLES(ImportedPackageTest);

TEST_P(ImportedPackageTest, StoresWhatThePreviewShowedOrNothing) {
    const QString changed = "人员包无法导入: 人员包在预览后已被更改";
    struct Case {
        const char* what;
        QString previewed;  // the package argument of the preview
        int previewResult;
        std::function<void(ImportedPackageTest&)> between;
        QString imported;  // of the import
        int importResult;
        bool storesA;  // else nothing
    };
    auto nothing = [](ImportedPackageTest&) {};
    auto replace = [](const QString& from, const QString& to) {
        return [=](ImportedPackageTest& t) {
            QFile::remove(t.path(to));
            ASSERT_TRUE(QFile::copy(t.path(from), t.path(to)));
        };
    };
    const Case cases[] = {
        {"the zip as previewed", "a.zip", 1, nothing, "a.zip", 1, true},
        {"an identical copy elsewhere", "a.zip", 1, nothing, "copy-of-a.zip", 1, true},
        {"the import-all marker", "@&@a.zip", 1, nothing, "a.zip", 1, true},
        {"the manifest's letter case, zipped", "mixed.zip", 1, nothing, "mixed.zip", 1, true},
        {"the manifest's letter case, a directory", "mixed/", 1, nothing, "mixed/", 1, true},
        {"the zip replaced after the preview", "a.zip", 1, replace("b.zip", "a.zip"), "a.zip", -1,
         false},
        {"the person file replaced after the preview", "a/", 1,
         replace("b/perinfo.per", "a/perinfo.per"), "a/", -1, false},
        {"the department file replaced after the preview", "a/", 1,
         replace("b/deptinfo.per", "a/deptinfo.per"), "a/", -1, false},
        {"a frame built from another package", "b.zip", 1, nothing, "a.zip", -1, false},
        {"the frame of an export", "a.zip", 1,
         [](ImportedPackageTest& t) {
             PackageFree();
             t.inst().exec(
                 "INSERT INTO CV_PersonInfo(PerUUID, PerName, LoginName, PerDept, PrjID) "
                 "VALUES('a1', 'x', 'y', NULL, 0)");
             ASSERT_EQ(PackageExportProc(&t.hostWindow), 1);
             t.inst().exec("DELETE FROM CV_PersonInfo");
         },
         "a.zip", -1, false},
        // Which of the two is the person file? Neither is read.
        {"a file under two names", "twice.zip", -1, nothing, "twice.zip", -2, false},
        // A folder named like a dataset file blocks nothing after it.
        {"a folder named like the department file", "folder.zip", -1,
         [](ImportedPackageTest& t) {
             PackageFree();
             ASSERT_EQ(PackageImportProc(t.path("a.zip"), &t.hostWindow), 1);
         },
         "a.zip", 1, true},
    };
    QStringList storedA;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        makePackages();
        install(Content::Empty);
        const QString previewed =
            c.previewed.startsWith("@&@") ? "@&@" + path(c.previewed.sliced(3)) : path(c.previewed);
        versionFor(path(c.imported));
        EXPECT_EQ(PackageImportProc(previewed, &hostWindow), c.previewResult);
        c.between(*this);
        EXPECT_EQ(PackageImport(path(c.imported)), c.importResult);
        if (storedA.isEmpty() && c.storesA) storedA = stored();
        EXPECT_EQ(stored(), c.storesA ? storedA : QStringList());
        EXPECT_EQ(log().contains(changed), c.importResult == -1) << log().toStdString();
        // The import deletes the dataset files it read, under their own names.
        if (c.imported.endsWith('/') && c.importResult == 1) {
            EXPECT_EQ(QDir(path(c.imported)).entryList(QDir::Files), QStringList());
        }
        EXPECT_EQ(QDir(inst().tempDir() + "XTGL/")
                      .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  QStringList());
    }
    EXPECT_EQ(storedA.size(), 4) << storedA.join('\n').toStdString();
}

}  // namespace
}  // namespace cv::test
