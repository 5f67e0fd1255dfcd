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
    py.start("python3", {"-c", "import zipfile,stat\nzf=zipfile.ZipFile('" + path + "','w')\n" +
                                   body + "\nzf.close()"});
    ASSERT_TRUE(py.waitForFinished());
    ASSERT_EQ(py.exitCode(), 0) << py.readAllStandardError().toStdString();
}

QStringList filesUnder(const QString& dir) {
    QStringList files;
    QDirIterator it(
        dir, QDir::Files | QDir::Hidden | QDir::System | QDir::AllDirs | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

TEST(Packer, PacksThePackageFilesThatTheZipToolReadsAndUnpacksWhatTheZipToolWrites) {
    QTemporaryDir tmp;
    const QString pkg = tmp.filePath("PerInfo/");
    writeFile(pkg + "perinfo.per", "<DATAPACKET/>");
    writeFile(pkg + "deptinfo.per", QByteArray("部门"));
    writeFile(pkg + "SysPerInfo.XML", "<ReaderPackList/>");
    // What a writer that died staged, and anything else the directory holds, stays out.
    writeFile(pkg + "perinfo.per.k3x9q1", "<DATAPACKET/> of another installation");
    writeFile(pkg + "notes.txt", "not a package file");
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

// Every refusal leaves the destination as it was: a folder the call created is gone again,
// and what an earlier package left there is untouched.
TEST(Packer, RefusesHostileArchivesAndWritesNothing) {
    QTemporaryDir tmp;
    writeFile(tmp.filePath("garbage.zip"), QByteArray(4096, 'x'));
    writeFile(tmp.filePath("empty.zip"), QByteArray());
    writeFile(tmp.filePath("truncated.zip"), "PK\x03\x04\x14\x00\x00\x00");
    // Found by fuzzing: libarchive refuses it without giving a reason.
    writeFile(tmp.filePath("reasonless.zip"),
              QByteArray::fromHex(
                  "504b03046e666f2e7065722b4e4dcecf4b0100504b01021403140000000800ca05885d57ee71"
                  "9207000000050000000b0000000000000000000000800100000000706572696e666f2e706572"
                  "504b01021403140000000800ca05885dcc4add0000000080015d000000706572696e666f2e70"
                  "6572504b05060000000003000300ac0000008e0000000000"));
    const QString deflated =
        "zf.close()\nzf=zipfile.ZipFile(zf.filename,'w',zipfile.ZIP_DEFLATED)\n";
    cvhost::ExtractLimits small;
    small.maxTotalBytes = 1 << 20;

    struct Case {
        const char* name;
        QString script;  // python3 body; empty: the file above
        cvhost::ExtractLimits limits = {};
        bool needsEarlierPackage = false;
    } cases[] = {
        {"dotdot.zip", "zf.writestr('../evil.txt','x')"},
        {"nested-dotdot.zip",
         "zf.writestr('perinfo.per','ok')\nzf.writestr('a/../../evil.txt','x')"},
        {"absolute.zip", "zf.writestr('/tmp/evil-absolute.txt','x')"},
        {"backslash.zip", "zf.writestr('..\\\\evil.txt','x')"},
        {"symlink.zip",
         "i=zipfile.ZipInfo('perinfo.per')\ni.create_system=3\n"
         "i.external_attr=(stat.S_IFLNK|0o777)<<16\nzf.writestr(i,'/etc/passwd')"},
        {"over-the-cap.zip", deflated + "zf.writestr('perinfo.per',b'0'*(2*1024*1024))", small},
        {"too-many-entries.zip", "for i in range(1001): zf.writestr('f%d' % i, '')"},
        // Checked level by level, 2,000 levels took seconds a name; a thousand of them, hours.
        {"too-deep.zip", "zf.writestr('perinfo.per','ok')\nzf.writestr('a/'*65+'f','x')"},
        {"too-long.zip", "zf.writestr('perinfo.per','ok')\nzf.writestr('n'*1025,'x')"},
        // Two entries for one path: the second would replace the first once it was placed.
        {"duplicate.zip",
         "import warnings\nwarnings.simplefilter('ignore')\n"
         "zf.writestr('perinfo.per','first')\nzf.writestr('deptinfo.per','d')\n"
         "zf.writestr('perinfo.per','second')"},
        {"duplicate-spelled-apart.zip",
         "zf.writestr('a/perinfo.per','1')\nzf.writestr('a//perinfo.per','2')"},
        {"folder-then-file.zip",
         "zf.writestr('deptinfo.per/','')\nzf.writestr('deptinfo.per','x')"},
        {"file-then-folder.zip",
         "zf.writestr('deptinfo.per','x')\nzf.writestr('deptinfo.per/','')"},
        {"file-as-folder.zip",
         "zf.writestr('deptinfo.per','x')\nzf.writestr('deptinfo.per/a','y')"},
        // An earlier package left a folder where this one has a file, or a file where it has
        // a folder (see below).
        {"file-over-folder.zip",
         "zf.writestr('ok.txt','1')\nzf.writestr('left/','')\nzf.writestr('old-folder','x')",
         {},
         true},
        {"folder-over-file.zip",
         "zf.writestr('ok.txt','1')\nzf.writestr('old-file/a','x')",
         {},
         true},
        {"garbage.zip", {}},
        {"empty.zip", {}},
        {"truncated.zip", {}},
        {"reasonless.zip", {}},
        {"missing.zip", {}},
    };
    for (const bool existing : {false, true}) {
        // A destination that is missing, or that holds what an earlier package left.
        const QString dest = tmp.filePath(existing ? "existing/dest" : "missing/dest");
        QStringList before;
        if (existing) {
            writeFile(dest + "/old-file", "old");
            QDir().mkpath(dest + "/old-folder/inner");
            before = filesUnder(dest);
        }
        for (const Case& c : cases) {
            if (c.needsEarlierPackage && !existing) continue;
            SCOPED_TRACE(std::string(c.name) + (existing ? " into an existing folder" : ""));
            const QString archive = tmp.filePath(c.name);
            if (!c.script.isEmpty() && !QFile::exists(archive)) pythonZip(archive, c.script);
            QString error;
            EXPECT_FALSE(cvhost::extractArchive(archive, dest, &error, c.limits));
            EXPECT_FALSE(error.isEmpty());
            EXPECT_EQ(filesUnder(dest), before);
            EXPECT_EQ(QFileInfo::exists(tmp.filePath("missing")), false);
            EXPECT_FALSE(QFile::exists(tmp.filePath("evil.txt")));
        }
        if (existing) {
            QFile old(dest + "/old-file");
            ASSERT_TRUE(old.open(QIODevice::ReadOnly));
            EXPECT_EQ(old.readAll(), "old");
        }
    }
    EXPECT_FALSE(QFile::exists("/tmp/evil-absolute.txt"));
}

// A package of long repetitive values packs a thousandfold and is still unpacked; a bomb
// is refused by the free space of the destination (a small file system of the test's own,
// which needs the right to mount one).
TEST(Packer, UnpacksWhatFitsAndRefusesWhatWouldFillTheDisk) {
    QTemporaryDir tmp;
    const QString deflated =
        "zf.close()\nzf=zipfile.ZipFile(zf.filename,'w',zipfile.ZIP_DEFLATED)\n";
    pythonZip(tmp.filePath("repetitive.zip"),
              deflated +
                  "zf.writestr('perinfo.per', b'<ROW PerMemo=\"' + b'ab'*(24*1024*1024) + "
                  "b'\"/>')\nzf.writestr('deptinfo.per','d')");
    ASSERT_LT(QFileInfo(tmp.filePath("repetitive.zip")).size() * 466, 48 << 20);
    ASSERT_TRUE(cvhost::extractArchive(tmp.filePath("repetitive.zip"), tmp.filePath("out")));
    EXPECT_EQ(QFileInfo(tmp.filePath("out/perinfo.per")).size(), 48 * 1024 * 1024 + 17);

    const QString small = tmp.filePath("small");
    QDir().mkpath(small);
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=16m", "tmpfs", small}) != 0)
        GTEST_SKIP() << "cannot mount a small file system here (needs root)";
    struct Unmount {
        QString path;
        ~Unmount() { QProcess::execute("umount", {path}); }
    } unmount{small};
    // Half of 16 MiB is free for the package: 7 MiB fits, 9 MiB does not.
    for (const int mebibytes : {9, 7}) {
        SCOPED_TRACE(mebibytes);
        const QString zip = tmp.filePath(QString("fill%1.zip").arg(mebibytes));
        pythonZip(
            zip,
            deflated + QString("zf.writestr('perinfo.per', b'0'*(%1*1024*1024))").arg(mebibytes));
        QString error;
        EXPECT_EQ(cvhost::extractArchive(zip, small + "/dest", &error), mebibytes == 7)
            << error.toStdString();
        EXPECT_EQ(filesUnder(small),
                  mebibytes == 7 ? QStringList({"dest", "dest/perinfo.per"}) : QStringList());
    }
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
