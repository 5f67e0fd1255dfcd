// Packing and unpacking of packages: archives made by standard tools (zip, python3's
// zipfile), and hostile archives that must each be refused with nothing written.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "Packer.h"
#include "SmallDisk.h"

namespace {

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

// Runs python3 to build an archive from a short script with `zf` open for writing at `path`.
void pythonZip(const QString& path, const QString& body) {
    QProcess py;
    py.start("python3", {"-c", "import zipfile,stat\nzf=zipfile.ZipFile('" + path +
                                   "','w')\n" + body + "\nzf.close()"});
    ASSERT_TRUE(py.waitForFinished());
    ASSERT_EQ(py.exitCode(), 0) << py.readAllStandardError().toStdString();
}

QStringList filesUnder(const QString& dir) {
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System | QDir::AllDirs |
                             QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

TEST(Packer, PacksADirectoryThatTheZipToolReadsAndUnpacksWhatTheZipToolWrites) {
    QTemporaryDir tmp;
    const QString pkg = tmp.filePath("PerInfo/");
    writeFile(pkg + "perinfo.per", "<DATAPACKET/>");
    writeFile(pkg + "deptinfo.per", QByteArray("部门"));
    writeFile(pkg + "SysPerInfo.XML", "<ReaderPackList/>");
    ASSERT_TRUE(cvhost::packDirectory(pkg, tmp.filePath("ours.zip")));

    QProcess unzip;
    unzip.start("unzip", {"-Z1", tmp.filePath("ours.zip")});
    ASSERT_TRUE(unzip.waitForFinished());
    QStringList listed = QString(unzip.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    listed.sort();
    EXPECT_EQ(listed, QStringList({"SysPerInfo.XML", "deptinfo.per", "perinfo.per"}));

    QProcess zip;
    zip.setWorkingDirectory(pkg);
    zip.start("zip", {"-q", tmp.filePath("theirs.zip"), "perinfo.per", "deptinfo.per"});
    ASSERT_TRUE(zip.waitForFinished());
    ASSERT_EQ(zip.exitCode(), 0);
    const QString out = tmp.filePath("out/");
    ASSERT_TRUE(cvhost::extractArchive(tmp.filePath("theirs.zip"), out));
    EXPECT_EQ(filesUnder(out), QStringList({"deptinfo.per", "perinfo.per"}));
    QFile dept(out + "deptinfo.per");
    ASSERT_TRUE(dept.open(QIODevice::ReadOnly));
    EXPECT_EQ(dept.readAll(), QByteArray("部门"));
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

TEST(Packer, ADiskThatFillsAnywhereGivesAWholeZipOrKeepsTheEarlierOne) {
    QTemporaryDir tmp;
    const QString pkg = tmp.filePath("PerInfo/");
    QByteArray people;  // text that deflates to about half: the zip spans many pages
    for (quint32 i = 0, x = 1; i < 600000; ++i) {
        x = x * 1103515245u + 12345u;
        people.append(char('A' + (x >> 16) % 16));
    }
    writeFile(pkg + "perinfo.per", people);
    writeFile(pkg + "deptinfo.per", QByteArray("部门").repeated(3000));
    writeFile(pkg + "SysPerInfo.XML", "<ReaderPackList/>");
    ASSERT_TRUE(cvhost::packDirectory(pkg, tmp.filePath("whole.zip")));
    writeFile(tmp.filePath("small/perinfo.per"), "<DATAPACKET/>");
    ASSERT_TRUE(cvhost::packDirectory(tmp.filePath("small/"), tmp.filePath("earlier.zip")));

    using testhost::SmallDisk;
    const qint64 earlier = SmallDisk::pages(QFileInfo(tmp.filePath("earlier.zip")).size());
    const qint64 needed = SmallDisk::pages(QFileInfo(tmp.filePath("whole.zip")).size());
    QList<qint64> extras = {0, 1, 2, 3, needed - 2, needed - 1, needed, needed + 1};
    for (int i = 1; i < 12; ++i) extras << needed * i / 12;
    const QString disk = tmp.filePath("disk/");
    int packed = 0;
    for (const qint64 extra : extras) {
        SCOPED_TRACE("room for " + std::to_string(extra) + " of " + std::to_string(needed) +
                     " pages");
        SmallDisk small(disk, (earlier + extra) * SmallDisk::Page);
        if (!small.mounted()) GTEST_SKIP() << small.why().toStdString();
        ASSERT_TRUE(QFile::copy(tmp.filePath("earlier.zip"), disk + "package.zip"));
        QString error;
        const bool ok = cvhost::packDirectory(pkg, disk + "package.zip", &error);
        EXPECT_EQ(ok, extra >= needed) << error.toStdString();
        EXPECT_EQ(ok, error.isEmpty()) << error.toStdString();
        EXPECT_EQ(filesUnder(disk), QStringList{"package.zip"});
        EXPECT_TRUE(fileBytes(disk + "package.zip") ==
                    fileBytes(tmp.filePath(ok ? "whole.zip" : "earlier.zip")));
        if (ok) {
            EXPECT_EQ(QProcess::execute("unzip", {"-tqq", disk + "package.zip"}), 0);
        }
        packed += ok;
    }
    EXPECT_EQ(packed, 2);
}

TEST(Packer, RefusesHostileArchivesAndWritesNothing) {
    QTemporaryDir tmp;
    const QString dest = tmp.filePath("dest");
    writeFile(tmp.filePath("garbage.zip"), QByteArray(4096, 'x'));
    writeFile(tmp.filePath("empty.zip"), QByteArray());
    writeFile(tmp.filePath("truncated.zip"), "PK\x03\x04\x14\x00\x00\x00");

    struct Case {
        const char* name;
        QString script;  // python3 body; empty: the file above
    } cases[] = {
        {"dotdot.zip", "zf.writestr('../evil.txt','x')"},
        {"nested-dotdot.zip", "zf.writestr('perinfo.per','ok')\nzf.writestr('a/../../evil.txt','x')"},
        {"absolute.zip", "zf.writestr('/tmp/evil-absolute.txt','x')"},
        {"backslash.zip", "zf.writestr('..\\\\evil.txt','x')"},
        {"symlink.zip",
         "i=zipfile.ZipInfo('perinfo.per')\ni.create_system=3\n"
         "i.external_attr=(stat.S_IFLNK|0o777)<<16\nzf.writestr(i,'/etc/passwd')"},
        {"bomb.zip",
         "zf.close()\nzf=zipfile.ZipFile(zf.filename,'w',zipfile.ZIP_DEFLATED)\n"
         "zf.writestr('perinfo.per',b'0'*(50*1024*1024))"},
        {"garbage.zip", {}},
        {"empty.zip", {}},
        {"truncated.zip", {}},
        {"missing.zip", {}},
    };
    for (const Case& c : cases) {
        const QString archive = tmp.filePath(c.name);
        if (!c.script.isEmpty()) pythonZip(archive, c.script);
        QString error;
        EXPECT_FALSE(cvhost::extractArchive(archive, dest, &error)) << c.name;
        EXPECT_FALSE(error.isEmpty()) << c.name;
        EXPECT_EQ(filesUnder(dest), QStringList()) << c.name;
        EXPECT_FALSE(QFile::exists(tmp.filePath("evil.txt"))) << c.name;
    }
    EXPECT_FALSE(QFile::exists("/tmp/evil-absolute.txt"));
}

TEST(Packer, NeverWritesThroughALinkInTheDestination) {
    QTemporaryDir tmp;
    const QString dest = tmp.filePath("dest");
    QDir().mkpath(dest);
    QDir().mkpath(tmp.filePath("outside"));
    ASSERT_TRUE(QFile::link(tmp.filePath("outside"), dest + "/sub"));
    pythonZip(tmp.filePath("a.zip"), "zf.writestr('sub/perinfo.per','x')");
    EXPECT_FALSE(cvhost::extractArchive(tmp.filePath("a.zip"), dest));
    EXPECT_EQ(filesUnder(tmp.filePath("outside")), QStringList());
}

}  // namespace
