#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "PackageManifest.h"

namespace cv::test {
namespace {

QByteArray manifestBytes(const QByteArray& packName) {
    const QByteArray node =
        "ResTypeName=\"\" ResClassName=\"\" ResUUID=\"\" ResKeyWord=\"\" ResParam=\"\" "
        "ResRight=\"\" ResFileFlag=\"\" ";
    return "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n"
           "<ReaderPackList PackName=\"" +
           packName +
           "\">\n"
           "  <ReaderNode ResCaption=\"PerInfo\" " +
           node +
           "ResFileName=\"PerInfo.per\"/>\n"
           "  <ReaderNode ResCaption=\"DeptInfo\" " +
           node +
           "ResFileName=\"DeptInfo.per\"/>\n"
           "</ReaderPackList>\n";
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

TEST(ManifestTest, WritesTheListInGb2312WithItsPackName) {
    QTemporaryDir dir;
    struct Case {
        QString fileName;
        QByteArray packName;  // as saved: gb2312 bytes
    };
    const Case cases[] = {
        {"SysPerInfo.XML", "SysPerInfo"},
        {QString::fromUtf8("人员包.XML"), "\xC8\xCB\xD4\xB1\xB0\xFC"},
        {"a&b.XML", "a&amp;b"},
        {"abc", ""},  // fewer than four characters: nothing is left
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileName.toStdString());
        const QString path = dir.filePath(c.fileName);
        ASSERT_TRUE(WritePackManifest(path));
        EXPECT_EQ(readAll(path), manifestBytes(c.packName));
        QProcess lint;
        lint.start("xmllint", {"--noout", path});
        ASSERT_TRUE(lint.waitForFinished());
        EXPECT_EQ(lint.exitCode(), 0) << lint.readAllStandardError().toStdString();
    }
}

TEST(ManifestTest, ReplacesAnEarlierManifestAndFailsWithoutADirectory) {
    QTemporaryDir dir;
    const QString path = dir.filePath("SysPerInfo.XML");
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(
            "an older manifest that is longer than the new one ..................."
            "..................................................................."
            "...................................................................");
    }
    ASSERT_TRUE(WritePackManifest(path));
    EXPECT_EQ(readAll(path), manifestBytes("SysPerInfo"));

    EXPECT_FALSE(WritePackManifest(dir.filePath("missing/SysPerInfo.XML")));
    EXPECT_FALSE(QDir(dir.filePath("missing")).exists());
    EXPECT_FALSE(WritePackManifest(dir.path()));  // a directory is in the way
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"SysPerInfo.XML"}));
}

}  // namespace
}  // namespace cv::test
