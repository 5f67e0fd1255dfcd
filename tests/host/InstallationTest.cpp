#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

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

}  // namespace
