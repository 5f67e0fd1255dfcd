#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include "TestDatabase.h"

namespace {

QString sqlite3(const QString& file, const QString& sql) {
    QProcess shell;
    shell.start("sqlite3", {file, sql});
    shell.waitForFinished();
    return QString::fromUtf8(shell.readAllStandardOutput()).trimmed();
}

TEST(Installation, InitMakesAStoreThatTheSqliteShellReads) {
    QTemporaryDir tmp;
    const QString db = tmp.filePath("x.sqlite");
    QProcess corvane;
    corvane.start(CV_CORVANE, {"init", "--db", db, "--sample"});
    ASSERT_TRUE(corvane.waitForFinished(60000));
    ASSERT_EQ(corvane.exitCode(), 0) << corvane.readAll().toStdString();

    EXPECT_GE(sqlite3(db, "select count(*) from CV_PersonInfo").toInt(), 30);
    EXPECT_GE(sqlite3(db, "select count(*) from CV_DeptInfo where length(DeptID)=12").toInt(), 1);
    EXPECT_EQ(sqlite3(db, "select count(*) from CV_PersonInfo where PerDept is null"), "1");
    EXPECT_EQ(sqlite3(db, "select DeptName from CV_DeptInfo where DeptID='0002'"), "技术部");

    // A second sample shares one login name with the first, under another person.
    const QString second = tmp.filePath("y.sqlite");
    corvane.start(CV_CORVANE, {"init", "--db", second, "--sample", "--second"});
    ASSERT_TRUE(corvane.waitForFinished(60000));
    ASSERT_EQ(corvane.exitCode(), 0);
    const QString shared = sqlite3(
        second, "attach '" + db +
                    "' as a; select count(*) from CV_PersonInfo b join a.CV_PersonInfo p on "
                    "p.LoginName=b.LoginName and p.PerUUID<>b.PerUUID");
    EXPECT_EQ(shared, "1");

    // init on a path that cannot be made fails with a non-zero status.
    corvane.start(CV_CORVANE, {"init", "--db", tmp.filePath("no/such/dir/z.sqlite")});
    ASSERT_TRUE(corvane.waitForFinished(60000));
    EXPECT_NE(corvane.exitCode(), 0);
}

// The main job end to end, each conversation in a host process of its own: every process
// must also end cleanly (a host that crashes while shutting down reports failure).
TEST(Installation, DemoAndPreviewRunToAnOrderlyEnd) {
    // On a server the installations are its schemas, reached through the application server.
    QTemporaryDir tmp;
    const QString server = testdb::serverUrl();
    const QStringList where = server.isEmpty() ? QStringList{"--dir", tmp.path()}
                                               : QStringList{"--dir", tmp.path(), "--server",
                                                             server,  "--style",  "networked"};
    QProcess corvane;
    corvane.setProcessChannelMode(QProcess::MergedChannels);
    corvane.start(CV_CORVANE, QStringList{"demo"} + where);
    ASSERT_TRUE(corvane.waitForFinished(180000));
    const QString report = QString::fromUtf8(corvane.readAll());
    EXPECT_EQ(corvane.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(corvane.exitCode(), 0) << report.toStdString();
    EXPECT_TRUE(report.contains(QString::fromUtf8("已经被改为zhoujie_1000")))
        << report.toStdString();
    EXPECT_TRUE(report.contains("21 inserted, 1 skipped, 8 departments created"))
        << report.toStdString();
    EXPECT_TRUE(
        report.contains(server.isEmpty() ? "Working style: local" : "Working style: networked"))
        << report.toStdString();

    const QString picture = tmp.filePath("preview.png");
    const QString storeA =
        QSettings(tmp.filePath("A.ini"), QSettings::IniFormat).value("host/db").toString();
    corvane.start(CV_CORVANE,
                  {"view", "--db", storeA, "--style", "networked", "--screenshot", picture});
    ASSERT_TRUE(corvane.waitForFinished(60000));
    EXPECT_EQ(corvane.exitCode(), 0) << corvane.readAll().toStdString();
    EXPECT_TRUE(QFileInfo(picture).size() > 0);
}

}  // namespace
