// The database server stops in the middle of an import.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "Database.h"
#include "PackageTest.h"
#include "TCVPerson.h"
#include "TDM_PersonPack.h"

namespace cv::test {
namespace {

// A PostgreSQL server of the test's own, started and stopped through the project's script:
// the run's server keeps serving other suites while this one is crashed.
class PrivateServer {
public:
    PrivateServer() {
        script_ = qEnvironmentVariable("CV_SOURCE_DIR") + "/scripts/pgserver.sh";
        run("start");
        QFile file(dir_.filePath("url"));
        if (file.open(QIODevice::ReadOnly)) url_ = QString::fromUtf8(file.readAll()).trimmed();
    }
    ~PrivateServer() { run("stop"); }

    const QString& url() const { return url_; }
    bool restart() { return run("restart"); }

    // A process that waits until some session of the server sleeps in pg_sleep, then crashes
    // the server; it gives up after 30 seconds.
    void crashWhenASessionSleeps(QProcess& watcher) const {
        const QString loop =
            "for i in $(seq 600); do "
            "  n=$(psql \"$1\" -tAc \"SELECT count(*) FROM pg_stat_activity "
            "                       WHERE wait_event = 'PgSleep'\" 2>/dev/null); "
            "  if [ \"$n\" = 1 ]; then exec \"$2\" crash \"$3\"; fi; sleep 0.05; "
            "done; exit 1";
        watcher.start("bash", {"-c", loop, "watcher", url_, script_, dir_.path()});
        watcher.waitForStarted();
    }

private:
    bool run(const QString& command) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(script_, {command, dir_.path()});
        return process.waitForFinished(120000) && process.exitCode() == 0;
    }

    QTemporaryDir dir_;
    QString script_;
    QString url_;
};

using ImportFaultTest = PackageTest;
CV_BOTH_STYLES(ImportFaultTest);

TEST_P(ImportFaultTest, AServerThatStopsMidImportFailsTheImportAndLosesNothingStored) {
    if (!testdb::onPostgres()) GTEST_SKIP() << "runs with the suites on PostgreSQL";
    PrivateServer server;
    ASSERT_FALSE(server.url().isEmpty());

    // The server stops while the sixth of eight people is being stored, and while the last
    // one is: then only the department pass is left, which carries on past failures.
    for (const int before : {5, 7}) {
        SCOPED_TRACE(before);
        QTemporaryDir packages;
        const QString packageDir = packages.path() + "/";
        QList<QStringList> people;
        for (int i = 1; i <= 8; ++i) {
            const QString n = QString::number(i);
            people << QStringList{"p" + n, "人" + n, "男", "login" + n, i % 2 ? "0001" : "00010002",
                                  "",      "pw"};
        }
        writePackage(packageDir, people, {{"0001", "总部"}, {"00010002", "总部_研发"}});

        testhost::Installation& store = install(Content::Empty, server.url());
        setPackageVersion(3);
        ASSERT_EQ(PackageImportProc(packageDir, &hostWindow), 1);
        // The insert after `before` people waits inside the server until the server is gone.
        store.exec(
            "CREATE FUNCTION hold() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN "
            "IF (SELECT count(*) FROM CV_PersonInfo) >= " +
            QString::number(before) + " THEN PERFORM pg_sleep(60); END IF; RETURN NEW; END$$");
        store.exec(
            "CREATE TRIGGER hold BEFORE INSERT ON CV_PersonInfo FOR EACH ROW EXECUTE "
            "FUNCTION hold()");

        QProcess watcher;
        server.crashWhenASessionSleeps(watcher);
        EXPECT_EQ(PackageImport(packageDir), -1);
        ASSERT_TRUE(watcher.waitForFinished(60000));
        EXPECT_EQ(watcher.exitCode(), 0) << "the server was not crashed during the import";

        // The next store check fails cleanly, and so does the next import.
        EXPECT_FALSE(TDM_PersonPack::PrepareStore());
        EXPECT_EQ(PackageImport(packageDir), -1);
        EXPECT_EQ(QDir(packageDir).entryList({"*.per"}, QDir::Files), QStringList());

        // Back up, the server holds the people stored before it stopped (which ones follows
        // the preview's order), each in the department its path names.
        ASSERT_TRUE(server.restart());
        auto check = Connection::open(store.target());
        Query query(check.get());
        query.setCommandText("SELECT PerUUID, PerDept FROM CV_PersonInfo");
        query.open();
        EXPECT_EQ(query.data().rows.size(), before);
        for (const Row& row : query.data().rows) {
            const int n = row[0].toString().mid(1).toInt();
            EXPECT_EQ(row[1].toString(), n % 2 ? "0001" : "00010001")
                << qPrintable(row[0].toString());
        }
        query.setCommandText("SELECT DeptID, DeptName FROM CV_DeptInfo ORDER BY DeptID");
        query.open();
        QStringList depts;
        for (const Row& row : query.data().rows)
            depts << row[0].toString() + "|" + row[1].toString();
        EXPECT_EQ(depts, QStringList({"0001|总部", "00010001|研发"}));
    }
}

}  // namespace
}  // namespace cv::test
