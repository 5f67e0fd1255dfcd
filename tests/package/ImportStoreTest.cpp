// The store, not the people, decides how an import ends: a store that refuses every write
// (read-only, or a role without the right to insert into one of the tables) ends it with one
// line saying why and every person named not stored; a store another program holds is waited
// for, and the people are stored once it lets go, or the import ends when the wait runs out.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include "ConnectionBroker.h"
#include "Database.h"
#include "OperationProgress.h"
#include "PackageTest.h"
#include "WindowedImport.h"
#include "WindowedWriter.h"

namespace cv::test {
namespace {

constexpr int People = 30;

class ImportStoreTest : public PackageTest {
public:
    void SetUp() override { WindowedImport::setDefaultWindow(7); }
    // The package, written anew: a completed version-3 import deletes its files.
    void writeFaultPackage() {
        QList<QStringList> people;
        for (int i = 0; i < People; ++i)
            people << QStringList{"p" + QString::number(i),
                                  "人" + QString::number(i),
                                  "男",
                                  "u" + QString::number(i),
                                  i % 2 ? "0001" : "00010001",
                                  "",
                                  "pw"};
        writePackage(dir(), people, {{"0001", "总部"}, {"00010001", "总部_研发"}});
    }
    void TearDown() override {
        WindowedImport::setDefaultWindow(WindowedImport::DefaultWindow);
        WindowedImport::setLockWait(WindowedImport::DefaultLockWait);
        OperationProgress::setShowDelay(500);
        PackageTest::TearDown();
    }
    QString dir() const { return packages_.path() + "/"; }

    // The connection the import writes on: the host's own, or the application server's.
    Connection& storeConnection() {
        return GetParam() == 1 ? cvhost::connectionBroker()->serverConnection()
                               : *cvhost::baseConnection();
    }
    void execOn(Connection& connection, const QString& sql) {
        Command command(&connection);
        command.setCommandText(sql);
        command.execute();
    }
    QStringList log() {
        QFile file(inst().logFile());
        QStringList lines;
        if (file.open(QIODevice::ReadOnly))
            for (const QString& line : QString::fromUtf8(file.readAll()).split('\n'))
                if (!line.isEmpty()) lines << line.section('\t', 6);
        return lines;
    }
    int stored() { return inst().count("SELECT count(*) FROM CV_PersonInfo"); }

    QTemporaryDir packages_;
};
CV_BOTH_STYLES(ImportStoreTest);

TEST_P(ImportStoreTest, AStoreThatRefusesEveryWriteEndsTheImportWithItsReason) {
    struct Case {
        const char* what;
        bool postgresOnly;
        std::function<void(ImportStoreTest&)> arrange;
        QString plain;  // the plain words the stop line starts with
    };
    // A role of the test's own that may read both tables but insert into one only.
    const auto roleWithout = [](const char* table) {
        return [table](ImportStoreTest& t) {
            const QString role = "cv_" + QUuid::createUuid().toString(QUuid::Id128).left(12);
            t.inst().exec("CREATE ROLE " + role + " LOGIN");
            const QString schema = t.inst().scalar("SELECT current_schema()");
            t.inst().exec("GRANT USAGE ON SCHEMA " + schema + " TO " + role);
            t.inst().exec("GRANT SELECT ON CV_PersonInfo, CV_DeptInfo TO " + role);
            const QString other = QString(table) == "CV_DeptInfo" ? "CV_PersonInfo" : "CV_DeptInfo";
            t.inst().exec("GRANT INSERT ON " + other + " TO " + role);
            QUrl url(t.inst().target());
            url.setUserName(role);
            url.setPassword({});
            cvhost::Settings::instance().set("db", url.toString());
            if (t.GetParam() == 1) cvhost::Settings::instance().set("server", url.toString());
        };
    };
    const Case cases[] = {
        {"a read-only store", false,
         [](ImportStoreTest& t) {
             t.execOn(t.storeConnection(), testdb::onPostgres()
                                               ? "SET default_transaction_read_only = on"
                                               : "PRAGMA query_only = ON");
         },
         "数据库是只读的"},
        {"a role without the right to insert departments", true, roleWithout("CV_DeptInfo"),
         "没有写入数据库的权限"},
        {"a role without the right to insert people", true, roleWithout("CV_PersonInfo"),
         "没有写入数据库的权限"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.postgresOnly && !testdb::onPostgres()) continue;
        install(Content::Empty);
        setPackageVersion(3);
        writeFaultPackage();
        c.arrange(*this);
        ASSERT_EQ(PackageImportProc(dir(), &hostWindow), 1);
        EXPECT_EQ(PackageImport(dir()), -1);
        const QStringList lines = log();
        EXPECT_EQ(lines.filter("人员导入中止: " + c.plain).size(), 1)
            << lines.join('\n').toStdString();
        EXPECT_EQ(lines.filter("人员未导入: ").size(), People);
        EXPECT_EQ(
            lines
                .filter("人员导入结束: 新增 0 人, 改名后新增 0 人, 已存在 0 人, 未导入 30 人, "
                        "新建部门 0 个")
                .size(),
            1);
        EXPECT_EQ(stored(), 0);
        EXPECT_EQ(inst().count("SELECT count(*) FROM CV_DeptInfo"), 0);
        // Nothing of the import's transactions is left on the connection.
        EXPECT_FALSE(WindowedWriter(storeConnection(), {}).inWindow());
    }
}

TEST_P(ImportStoreTest, AStoreHeldByAnotherProgramIsWaitedForAsLongAsStated) {
    OperationProgress::setShowDelay(0);
    WindowedImport::setLockWait(3000);
    struct Case {
        const char* what;
        int holdMs;
        int result;
    };
    const Case cases[] = {
        {"let go within the wait", 1000, 1},
        {"held past the wait", 6000, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        install(Content::Empty);
        setPackageVersion(3);
        writeFaultPackage();
        ASSERT_EQ(PackageImportProc(dir(), &hostWindow), 1);
        // Another program: SQLite's write lock, or the lock every import takes on the server.
        const QString key = QString::number(WindowedWriter::LockKey);
        const bool postgres = testdb::onPostgres();
        execOn(inst().db(), postgres ? "SELECT pg_advisory_lock(" + key + ")" : "BEGIN IMMEDIATE");
        bool released = false;
        QTimer::singleShot(c.holdMs, [&] {
            execOn(inst().db(), postgres ? "SELECT pg_advisory_unlock(" + key + ")" : "ROLLBACK");
            released = true;
        });
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(PackageImport(dir()), c.result) << log().join('\n').toStdString();
        EXPECT_GE(clock.elapsed(), std::min(c.holdMs, 3000) - 100);
        const QStringList lines = log();
        if (c.result == 1) {
            EXPECT_EQ(stored(), People);
            EXPECT_EQ(lines.filter("人员未导入: ").size(), 0) << lines.join('\n').toStdString();
        } else {
            EXPECT_EQ(lines.filter("人员导入中止: 数据库被其他程序占用").size(), 1)
                << lines.join('\n').toStdString();
            EXPECT_EQ(stored(), 0);
        }
        while (!released) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
}

}  // namespace
}  // namespace cv::test
