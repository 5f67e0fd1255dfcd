// The import-all mode as the host program drives it: with the "@&@" marker there are no tick
// boxes, so what the user does to the tree (select a node, press Space) changes nothing.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include "Database.h"
#include "TestDatabase.h"

namespace {

// Runs corvane with the host settings of `ini`; its exit status, output appended to `log`.
int corvane(const QString& ini, const QStringList& arguments, QString& log) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(CV_CORVANE, arguments + QStringList{"--settings", ini});
    if (!process.waitForFinished(120000)) return -1;
    log += "corvane " + arguments.join(' ') + "\n" + QString::fromUtf8(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QStringList people(const QString& store) {
    auto connection = cv::Connection::open(store);
    cv::Query query(connection.get());
    query.setCommandText("SELECT PerUUID, PerDept FROM CV_PersonInfo ORDER BY PerUUID");
    query.open();
    QStringList rows;
    for (const cv::Row& row : query.data().rows)
        rows << row[0].toString() + '|' + row[1].toString();
    return rows;
}

TEST(ImportAll, UntickingInImportAllModeChangesNothingThatIsStored) {
    QTemporaryDir tmp;
    const QString ini = tmp.filePath("host.ini");
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue("host/packageDir", tmp.filePath("pkg"));
        settings.setValue("host/tempDir", tmp.filePath("temp"));
        settings.setValue("host/logFile", tmp.filePath("host.log"));
    }
    const QString package = tmp.filePath("a.zip");
    QString log;
    QDir(tmp.path()).mkpath("a");
    testdb::FreshStore a(tmp.filePath("a"));
    ASSERT_EQ(corvane(ini, {"init", "--db", a.target(), "--sample"}, log), 0) << log.toStdString();
    ASSERT_EQ(corvane(ini, {"export", "--db", a.target(), "--package", package}, log), 0)
        << log.toStdString();

    // The same package into three copies of the second sample: everything, everything with
    // the department 0001 "unticked", and with tick boxes the same untick, which must count.
    const QStringList runs[] = {{"--all"}, {"--all", "--untick", "0001"}, {"--untick", "0001"}};
    QStringList stored[3];
    for (int i = 0; i < 3; ++i) {
        const QString folder = tmp.filePath("b" + QString::number(i));
        QDir().mkpath(folder);
        testdb::FreshStore b(folder);
        ASSERT_EQ(corvane(ini, {"init", "--db", b.target(), "--sample", "--second"}, log), 0)
            << log.toStdString();
        ASSERT_EQ(
            corvane(ini, QStringList{"import", "--db", b.target(), "--package", package} + runs[i],
                    log),
            0)
            << log.toStdString();
        stored[i] = people(b.target());
    }
    EXPECT_EQ(stored[1], stored[0]) << log.toStdString();
    EXPECT_LT(stored[2].size(), stored[0].size()) << "unticking 0001 stored as many";
}

}  // namespace
