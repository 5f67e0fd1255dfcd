// `corvane export` killed (SIGKILL) at every rename, exchange, sync and write it makes, one
// after the other, by strace's fault injection: whatever moment the writer dies, the package
// directory holds the three files of one export, the earlier one's or the new one's, and the
// next export tidies up after the dead one and packs exactly the package's three files.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include "DataPacket.h"
#include "PackageTest.h"

namespace cv::test {
namespace {

// In the order of a listing that ignores letter case.
const QStringList PackageNames = {"deptinfo.per", "perinfo.per", "SysPerInfo.XML"};

class ExportRuns {
public:
    ExportRuns() : inst_(Content::SampleA, 2, QString()) {
        QSettings ini(dir_.path() + "/host.ini", QSettings::IniFormat);
        ini.setValue("packageDir", inst_.packageDir());
        ini.setValue("tempDir", inst_.tempDir());
        ini.setValue("logFile", inst_.logFile());
        ini.sync();
    }

    // Runs `corvane export` of everyone or without the finance department (0003), under
    // strace when `inject` names a fault ("rename:signal=SIGKILL:when=3"). True when it ran
    // to its end, false when it was killed.
    bool run(bool everyone, const QString& inject = {}) {
        QStringList args{"export", "--settings",   dir_.path() + "/host.ini",
                         "--db",   inst_.target(), "--package",
                         zip()};
        if (!everyone)
            args << "--untick"
                 << "0003";
        QProcess corvane;
        corvane.setProcessChannelMode(QProcess::MergedChannels);
        if (inject.isEmpty()) {
            corvane.start(CV_CORVANE, args);
        } else {
            testhost::startUnderStrace(corvane, inject, CV_CORVANE, args);
        }
        EXPECT_TRUE(corvane.waitForFinished(120000));
        output_ = corvane.readAll();
        if (corvane.exitStatus() == QProcess::CrashExit) return false;
        EXPECT_EQ(corvane.exitCode(), 0) << output_.toStdString();
        return true;
    }

    QString directory() const { return inst_.packageDir() + "PerInfo/"; }
    QString zip() const { return dir_.path() + "/package.zip"; }
    const QByteArray& output() const { return output_; }

    // The package directory's files, each without its export's mark, after checking that
    // the two dataset files carry one mark.
    QList<QByteArray> package() const {
        const QStringList names =
            QDir(directory())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                           QDir::Name | QDir::IgnoreCase);
        EXPECT_EQ(names, PackageNames);
        const auto person = readDataPacketMark(directory() + "perinfo.per");
        const auto dept = readDataPacketMark(directory() + "deptinfo.per");
        EXPECT_TRUE(person && !person->isEmpty() && person == dept)
            << "files of two exports: " << person.value_or("?").toStdString() << " and "
            << dept.value_or("?").toStdString();
        QList<QByteArray> files;
        for (const QString& name : PackageNames)
            files << bytesWithoutExportMark(directory() + name);
        return files;
    }

    // The entries of the zip the last export packed.
    QStringList zipEntries() const {
        QProcess unzip;
        unzip.start("unzip", {"-Z1", zip()});
        EXPECT_TRUE(unzip.waitForFinished());
        QStringList entries =
            QString::fromUtf8(unzip.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        entries.sort(Qt::CaseInsensitive);
        return entries;
    }

    // What the export keeps beside the package directory: nothing but the directory.
    QStringList besideDirectory() const {
        return QDir(inst_.packageDir())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

private:
    QTemporaryDir dir_;
    testhost::Installation inst_;
    QByteArray output_;
};

TEST(ExportKillTest, AKilledExportLeavesOneWholePackageAndTheNextPacksExactlyItsThreeFiles) {
    if (testdb::onPostgres()) GTEST_SKIP() << "runs on an SQLite store";
    if (!testhost::straceInjects()) GTEST_SKIP() << "strace cannot inject faults here (no ptrace)";
    ExportRuns runs;
    // The two packages the directory may hold: everyone, and everyone but finance.
    ASSERT_TRUE(runs.run(true)) << runs.output().toStdString();
    const QList<QByteArray> everyone = runs.package();
    ASSERT_TRUE(runs.run(false)) << runs.output().toStdString();
    const QList<QByteArray> withoutFinance = runs.package();
    ASSERT_NE(everyone, withoutFinance);

    // Each system call the export makes, killed at its first, second, ... call until the
    // export gets through: the writes count the event loop's wake-ups too.
    // renameat puts the files in place one by one where the directory cannot be exchanged
    // whole (not on this file system), so the export may get through without one.
    const struct {
        const char* call;
        bool made;  // by every export here
    } calls[] = {{"rename", true}, {"renameat", false}, {"renameat2", true},
                 {"fsync", true},  {"fdatasync", true}, {"write", true}};
    for (const auto& [call, made] : calls) {
        int kills = 0;
        for (int n = 1; n < 1000; ++n) {
            SCOPED_TRACE(std::string("killed at ") + call + " " + std::to_string(n));
            const bool completed =
                runs.run(true, QString("%1:signal=SIGKILL:when=%2").arg(call).arg(n));
            const QList<QByteArray> left = runs.package();
            EXPECT_TRUE(left == everyone || (!completed && left == withoutFinance))
                << runs.output().toStdString();
            // The next export: the package it writes, exactly its three files packed, and
            // nothing the dead export left beside or inside the directory.
            ASSERT_TRUE(runs.run(false)) << runs.output().toStdString();
            EXPECT_EQ(runs.package(), withoutFinance);
            EXPECT_EQ(runs.zipEntries(), PackageNames);
            EXPECT_EQ(runs.besideDirectory(), QStringList{"PerInfo"});
            if (completed || HasFailure()) break;
            ++kills;
        }
        std::printf("%s: killed %d times before the export got through\n", call, kills);
        EXPECT_TRUE(kills > 0 || !made) << call << " was never made";
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace cv::test
