#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "PackageManifest.h"

namespace cv::test {
namespace {

TEST(ManifestTest, WritesTheListInGb2312WithItsPackName) {
    const QByteArray empty = R"(ResTypeName="" ResClassName="" ResUUID="" ResKeyWord="" )"
                             R"(ResParam="" ResRight="" ResFileFlag="" )";
    const struct {
        QString fileName;
        QByteArray packName;  // as saved: gb2312
    } cases[] = {
        {"SysPerInfo.XML", "SysPerInfo"},
        {QString::fromUtf8("人员包.XML"), "\xC8\xCB\xD4\xB1\xB0\xFC"},
        {"a&b.XML", "a&amp;b"},
        {"abc", ""},
    };
    QTemporaryDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fileName.toStdString());
        const QString path = dir.filePath(c.fileName);
        ASSERT_TRUE(WritePackManifest(path));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(),
                  "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<ReaderPackList PackName=\"" +
                      c.packName + "\">\n  <ReaderNode ResCaption=\"PerInfo\" " + empty +
                      "ResFileName=\"PerInfo.per\"/>\n  <ReaderNode ResCaption=\"DeptInfo\" " +
                      empty + "ResFileName=\"DeptInfo.per\"/>\n</ReaderPackList>\n");
        EXPECT_EQ(QProcess::execute("xmllint", {"--noout", path}), 0);
    }
    EXPECT_FALSE(WritePackManifest(dir.filePath("missing/SysPerInfo.XML")));
    EXPECT_FALSE(WritePackManifest(dir.path()));  // a directory is in the way
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 4);
}

}  // namespace
}  // namespace cv::test
